#include "kvtlib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// Every allocation of this program fails while this is set: the bounded
// lines' first use must come through a memory shortage.
static std::atomic<bool> sans_memoire{false};

static void *prend(std::size_t n) noexcept
{
    return sans_memoire.load() ? nullptr : std::malloc(n != 0 ? n : 1);
}
static void *prend_ou_lance(std::size_t n)
{
    if (void *p = prend(n)) return p;
    throw std::bad_alloc();
}

// Every form the program uses, so that each allocation meets its own release
// (the sanitizers check the pairs).
void *operator new(std::size_t n) { return prend_ou_lance(n); }
void *operator new[](std::size_t n) { return prend_ou_lance(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return prend(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return prend(n); }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A scratch folder with a configuration and both logs open in it.
struct Dossier {
    fs::path p;
    Dossier()
    {
        char modele[] = "/tmp/kvtlog_borne_test.XXXXXX";
        p = ::mkdtemp(modele);
        std::ofstream(p / "q.conf") << "[Main]\n";
        EXPECT_EQ(0, kvtcfg_init((p / "q.conf").c_str()));
        EXPECT_EQ(0, kvtlog_init("q.log", "e.log"));
    }
    ~Dossier()
    {
        kvtlog_init("", "");  // back to stderr before the files go
        fs::remove_all(p);
    }
};

// The lines of a file without their time stamp (the first 20 characters,
// when the line has them).
std::vector<std::string> textes(const fs::path &p, bool horodate = true)
{
    std::ifstream f(p, std::ios::binary);
    std::vector<std::string> r;
    std::string l;
    while (std::getline(f, l)) r.push_back(horodate && l.size() >= 20 ? l.substr(20) : l);
    return r;
}

size_t compte(const std::vector<std::string> &ls, const std::string &t)
{
    size_t n = 0;
    for (const std::string &l : ls) n += l == t;
    return n;
}

// Waits (up to 30 s) until `pret` holds for the lines of `p`.
bool attend(const fs::path &p, bool horodate, const std::function<bool(const std::vector<std::string> &)> &pret)
{
    const auto fin = steady_clock::now() + std::chrono::seconds(30);
    while (steady_clock::now() < fin) {
        if (pret(textes(p, horodate))) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return pret(textes(p, horodate));
}

}  // namespace

TEST(KvtLogBorne, BoundPerServiceThenOneCountWithoutFurtherLines)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_borne(5, 1500));
    const auto debut = steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i < 5 ? 1 : 0, kvtlog_refus("B1", "Query from %s refused (DNS)", "10.77.1.99"));
    }
    // Another service has a bound of its own.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1, kvtlog_refus("B2", "Connection from %s refused (SSL)", "10.0.0.3"));

    const std::string compte_b1 = "45 more refusals not logged (B1)";
    ASSERT_TRUE(attend(d.p / "q.log", true, [&](auto &ls) { return compte(ls, compte_b1) == 1; }));
    // The count comes when the period ends, not before.
    EXPECT_GE(steady_clock::now() - debut, milliseconds(1400));
    const std::vector<std::string> ls = textes(d.p / "q.log");
    EXPECT_EQ(5u, compte(ls, "Query from 10.77.1.99 refused (DNS)"));
    EXPECT_EQ(3u, compte(ls, "Connection from 10.0.0.3 refused (SSL)"));
    EXPECT_EQ(9u, ls.size()) << "no count line for a service that stayed under its bound";
    EXPECT_EQ(compte_b1, ls.back());

    // A new period writes again, with no second count for the old one.
    EXPECT_EQ(1, kvtlog_refus("B1", "Query from %s refused (DNS)", "10.77.1.98"));
    const std::vector<std::string> apres = textes(d.p / "q.log");
    EXPECT_EQ(1u, compte(apres, compte_b1));
    EXPECT_EQ("Query from 10.77.1.98 refused (DNS)", apres.back());
    EXPECT_EQ(0u, textes(d.p / "e.log").size());
}

TEST(KvtLogBorne, CountOfAnEndedPeriodPrecedesTheNextLine)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_borne(2, 300));
    for (int i = 0; i < 6; ++i) kvtlog_refus("B3", "refused %d", i);
    // Whichever writes it, the watcher or the next refusal, the count
    // comes exactly once and before the lines of the next period.
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(1, kvtlog_refus("B3", "refused %d", 6));
    ASSERT_TRUE(attend(d.p / "q.log", true, [](auto &ls) { return ls.size() >= 4; }));
    const std::vector<std::string> ls = textes(d.p / "q.log");
    const std::vector<std::string> attendu = {"refused 0", "refused 1", "4 more refusals not logged (B3)",
                                              "refused 6"};
    EXPECT_EQ(attendu, ls);
}

TEST(KvtLogBorne, EightThreadsLoseNoCount)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_borne(100, 1000));
    constexpr int NB_FILS = 8, PAR_FIL = 3000;
    std::vector<std::thread> fils;
    for (int t = 0; t < NB_FILS; ++t)
        fils.emplace_back([t] {
            for (int i = 0; i < PAR_FIL; ++i) kvtlog_refus("B4", "Connection from 10.0.%d.%d refused (SSL)", t, i % 250);
        });
    for (std::thread &f : fils) f.join();
    // Every refusal is either a line or part of a count, whatever periods
    // the run spanned; each period wrote at most its 100 lines.
    size_t lignes = 0, comptes = 0;
    long total = 0;
    const bool complet = attend(d.p / "q.log", true, [&](auto &ls) {
        lignes = comptes = 0;
        total = 0;
        for (const std::string &l : ls) {
            int n = 0;
            if (std::sscanf(l.c_str(), "%d more refusals not logged (B4)", &n) == 1) {
                ++comptes;
                total += n;
            } else if (l.rfind("Connection from 10.0.", 0) == 0) {
                ++lignes;
                ++total;
            }
        }
        return total >= NB_FILS * PAR_FIL;
    });
    EXPECT_TRUE(complet);
    EXPECT_EQ(NB_FILS * PAR_FIL, total);
    EXPECT_LE(lignes, 100 * (comptes + 1));
    EXPECT_GE(comptes, 1u);
}

TEST(KvtLogBorne, NetworkTracesAreBoundedOnStderr)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_borne(3, 500));
    const fs::path sortie = d.p / "stderr";
    std::fflush(stderr);
    const int ancien = ::dup(2);
    const int f = ::open(sortie.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(ancien, 0);
    ASSERT_GE(f, 0);
    ::dup2(f, 2);
    ::close(f);
    int ecrites = 0;
    for (int i = 0; i < 10; ++i) ecrites += kvtlog_trace_reseau("B5", "dns/quorvel_dns.cpp", 111);
    // A refusal of the same service keeps its own count.
    const int refus = kvtlog_refus("B5", "Query from %s refused (DNS)", "10.1.1.1");
    const bool vu = attend(sortie, false, [](auto &ls) { return compte(ls, "7 more traces not written (B5)") == 1; });
    std::fflush(stderr);
    ::dup2(ancien, 2);
    ::close(ancien);
    EXPECT_EQ(3, ecrites);
    EXPECT_EQ(1, refus);
    EXPECT_TRUE(vu);
    const std::vector<std::string> ls = textes(sortie, false);
    EXPECT_EQ(3u, compte(ls, "ERREUR: dns/quorvel_dns.cpp ligne 111"));
    EXPECT_EQ(4u, ls.size());
    EXPECT_EQ(1u, compte(textes(d.p / "q.log"), "Query from 10.1.1.1 refused (DNS)"));
}

TEST(KvtLogBorne, NullArgumentsAndBadBounds)
{
    EXPECT_EQ(-1, kvtlog_refus(nullptr, "x"));
    EXPECT_EQ(-1, kvtlog_refus("B6", nullptr));
    EXPECT_EQ(-1, kvtlog_trace_reseau(nullptr, "f", 1));
    EXPECT_EQ(-1, kvtlog_trace_reseau("B6", nullptr, 1));
    EXPECT_EQ(-1, kvtlog_borne(0, 1000));
    EXPECT_EQ(-1, kvtlog_borne(10, 0));
    EXPECT_EQ(0, kvtlog_borne(100, 60000));
}

// The first refusal line, network trace and per-client count of a process
// may come under a flood that has taken all memory: their state must need
// none, or the throw would end the process from a noexcept caller.
TEST(KvtlogBorneMemoire, FirstBoundedLinesNeedNoMemory)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing used yet
    EXPECT_EXIT(
        {
            sans_memoire = true;
            const int refus = kvtlog_refus("DNS", "Query from %s refused (DNS)", "10.0.0.9");
            const int trace = kvtlog_trace_reseau("DNS", "essai.cpp", 1);
            sockaddr_in client{};
            client.sin_family = AF_INET;
            (void)kvtlog_acces_client("DNS", reinterpret_cast<const sockaddr *>(&client), sizeof client);
            sans_memoire = false;
            std::_Exit(refus == 1 && trace == 1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}
