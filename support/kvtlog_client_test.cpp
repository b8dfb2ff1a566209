#include "kvtlib.h"
#include "kvt_interne.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A scratch folder with a configuration, the logs and an access log.
struct Dossier {
    fs::path p;
    Dossier()
    {
        char modele[] = "/tmp/kvtlog_client_test.XXXXXX";
        p = ::mkdtemp(modele);
        std::ofstream(p / "q.conf") << "[Main]\n";
        EXPECT_EQ(0, kvtcfg_init((p / "q.conf").c_str()));
        EXPECT_EQ(0, kvtlog_init("q.log", "e.log"));
        EXPECT_EQ(0, kvtlog_acces_ouvre("acces.log"));
    }
    ~Dossier()
    {
        kvtlog_acces_ouvre("");
        kvtlog_client_regle_essai(0, 0);
        fs::remove_all(p);
    }
    std::string acces() const
    {
        std::ifstream f(p / "acces.log", std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

sockaddr_in v4(const char *texte)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5353);
    ::inet_pton(AF_INET, texte, &a.sin_addr);
    return a;
}

int compte(const sockaddr_in &a) { return kvtlog_acces_client("dns", reinterpret_cast<const sockaddr *>(&a), sizeof a); }

// Waits up to 60 s for `texte` in the access log.
bool attend(const Dossier &d, const std::string &texte)
{
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (d.acces().find(texte) == std::string::npos) {
        if (std::chrono::steady_clock::now() > limite) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

// Each address has its own bound (the port does not count, nor the other
// family); the count line comes when the minute ends though the client
// sends nothing more, and the next line opens a new minute.
TEST(KvtLogClient, BoundPerAddressThenCountWithoutFurtherLines)
{
    Dossier d;
    kvtlog_client_regle_essai(5, 400);
    sockaddr_in a = v4("10.1.2.3");
    std::string vus;
    for (int i = 0; i < 12; ++i) {
        a.sin_port = htons(static_cast<uint16_t>(1000 + i));
        vus += compte(a) == 1 ? '1' : '0';
    }
    EXPECT_EQ("111110000000", vus);
    sockaddr_in6 b{};
    b.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "fd00::7", &b.sin6_addr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1, kvtlog_acces_client("dns", reinterpret_cast<const sockaddr *>(&b), sizeof b));
    EXPECT_EQ(1, compte(v4("10.1.2.4")));
    ASSERT_TRUE(attend(d, " dns client=10.1.2.3 status=not-logged count=7\n")) << d.acces();
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    // Clients under the bound have no count line.
    EXPECT_EQ(std::string::npos, d.acces().find("fd00::7")) << d.acces();
    EXPECT_EQ(std::string::npos, d.acces().find("10.1.2.4")) << d.acces();
    EXPECT_EQ(1, compte(a));

    // Bad arguments.
    EXPECT_EQ(-1, kvtlog_acces_client(nullptr, reinterpret_cast<const sockaddr *>(&a), sizeof a));
    EXPECT_EQ(-1, kvtlog_acces_client("dns", nullptr, 0));
    EXPECT_EQ(-1, kvtlog_acces_client("dns", reinterpret_cast<const sockaddr *>(&a), 4));
}

// A flood from many addresses grows nothing: past the table's room, the
// lines of new clients are counted together and told as `client=-`.
TEST(KvtLogClient, FullTableCountsNewClientsTogether)
{
    Dossier d;
    kvtlog_client_regle_essai(1000, 1500);
    int ecrites = 0, comptees = 0;
    for (uint32_t i = 0; i < 20000; ++i) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x0A000000u + i);
        (compte(a) == 1 ? ecrites : comptees)++;
    }
    EXPECT_LE(ecrites, 4096);
    EXPECT_GT(ecrites, 2000);  // the table is not much smaller than its size
    ASSERT_GT(comptees, 0);
    EXPECT_TRUE(attend(d, " dns client=- status=not-logged count=" + std::to_string(comptees) + "\n"));
}

// Eight threads on one client: exactly the bound is written, the rest
// counted once.
TEST(KvtLogClient, EightThreadsOneClient)
{
    Dossier d;
    kvtlog_client_regle_essai(1000, 3000);
    std::atomic<int> ecrites{0};
    std::vector<std::thread> fils;
    const auto debut = std::chrono::steady_clock::now();
    for (int t = 0; t < 8; ++t)
        fils.emplace_back([&] {
            const sockaddr_in a = v4("192.168.9.9");
            for (int i = 0; i < 500; ++i) ecrites += compte(a);
        });
    for (std::thread &f : fils) f.join();
    if (std::chrono::steady_clock::now() - debut > std::chrono::milliseconds(2500))
        GTEST_SKIP() << "the machine is too slow for one minute of 3 s";
    EXPECT_EQ(1000, ecrites.load());
    EXPECT_TRUE(attend(d, " dns client=192.168.9.9 status=not-logged count=3000\n")) << d.acces();
}
