#include "kvtlib.h"
#include "kvt_interne.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A scratch folder holding a configuration, so that relative log paths
// resolve into it.
struct Dossier {
    fs::path p;
    Dossier()
    {
        char modele[] = "/tmp/kvtlog_test.XXXXXX";
        p = ::mkdtemp(modele);
        std::ofstream(p / "q.conf") << "[Main]\n";
        EXPECT_EQ(kvtcfg_init((p / "q.conf").c_str()), 0);
    }
    ~Dossier() { fs::remove_all(p); }
};

std::vector<std::string> lignes(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    const std::string t = s.str();
    EXPECT_TRUE(t.empty() || t.back() == '\n') << "last line not ended";
    std::vector<std::string> r;
    std::string l;
    std::istringstream in(t);
    while (std::getline(in, l)) r.push_back(l);
    return r;
}

// Splits "YYYY-MM-DD HH:MM:SS text" into its six numbers and its text.
bool decoupe(const std::string &l, int champs[6], std::string *t)
{
    static const char modele[] = "dddd-dd-dd dd:dd:dd ";
    if (l.size() < 20) return false;
    for (int i = 0; i < 20; ++i) {
        const bool ok = modele[i] == 'd' ? (l[i] >= '0' && l[i] <= '9') : l[i] == modele[i];
        if (!ok) return false;
    }
    const int debuts[6] = {0, 5, 8, 11, 14, 17}, longueurs[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) champs[i] = std::stoi(l.substr(debuts[i], longueurs[i]));
    if (t) *t = l.substr(20);
    return true;
}

// The text of a stamped line, or "<bad line>".
std::string texte(const std::string &l)
{
    int champs[6];
    std::string t;
    return decoupe(l, champs, &t) ? t : "<bad line>";
}

// Writes `n` numbered lines of varying length from thread `t`.
void ecrit_lot(int t, int n, bool erreur)
{
    for (int i = 0; i < n; ++i) {
        const std::string pad((i * 37 + t * 11) % 300, static_cast<char>('a' + t));
        if (erreur)
            kvtlog_erreur("E t%d n%d %s", t, i, pad.c_str());
        else
            kvtlog_log("t%d n%d %s", t, i, pad.c_str());
    }
}

// Every line well formed and each (thread, number) exactly once.
void verifie_lots(const std::vector<std::string> &ls, const std::string &prefixe, size_t attendues)
{
    std::set<std::pair<int, int>> vus;
    int mauvaises = 0;
    for (const std::string &l : ls) {
        const std::string t = texte(l);
        if (t == "Logs reopened") continue;
        int th = -1, i = -1;
        bool ok = t.compare(0, prefixe.size(), prefixe) == 0 &&
                  std::sscanf(t.c_str() + prefixe.size(), "t%d n%d", &th, &i) == 2 && th >= 0 && i >= 0;
        if (ok) {
            const std::string pad((i * 37 + th * 11) % 300, static_cast<char>('a' + th));
            ok = t == prefixe + "t" + std::to_string(th) + " n" + std::to_string(i) + " " + pad;
        }
        if (!ok) {
            if (++mauvaises < 5) ADD_FAILURE() << "bad line: " << l.substr(0, 120);
            continue;
        }
        EXPECT_TRUE(vus.emplace(th, i).second) << "twice: " << l.substr(0, 60);
    }
    EXPECT_EQ(mauvaises, 0);
    EXPECT_EQ(vus.size(), attendues);
}

}  // namespace

TEST(KvtLog, BeforeInitLinesGoToStderr)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            kvtlog_log("early %d", 1);
            kvtlog_erreur("early error");
            std::exit(kvtlog_reouvre() == -1 ? 0 : 1);  // nothing to reopen yet
        },
        testing::ExitedWithCode(0),
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} early 1\n.*:[0-9]{2} early error\n");
}

TEST(KvtLog, LineFormatAndLocalTime)
{
    Dossier d;
    // A fixed zone three hours east of UTC: the stamp must be local time.
    const char *ancien = std::getenv("TZ");
    const std::string tz_avant = ancien ? ancien : "";
    ::setenv("TZ", "KVT-3", 1);
    ASSERT_EQ(kvtlog_init("q.log", "sub-less-errors.log"), 0);  // relative: beside q.conf
    const time_t avant = ::time(nullptr);
    kvtlog_log("hello %d %s", 5, "world");
    kvtlog_log("two\nlines\r\nin one\n");  // one call, one line
    kvtlog_log("%s", "");
    const std::string long_texte(20000, 'L');
    kvtlog_log("%s", long_texte.c_str());
    kvtlog_log("Client application connected to SSL Proxy for something else than CONNECT");
    kvtlog_erreur("to the error log %s", "only");
    const time_t apres = ::time(nullptr);
    if (ancien) ::setenv("TZ", tz_avant.c_str(), 1); else ::unsetenv("TZ");

    const std::vector<std::string> ls = lignes(d.p / "q.log");
    ASSERT_EQ(ls.size(), 5u);
    const std::vector<std::string> attendus = {
        "hello 5 world", "two lines  in one", "", long_texte,
        "Client application connected to SSL Proxy for something else than CONNECT"};
    for (size_t i = 0; i < ls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(texte(ls[i]), attendus[i]);
    }
    int c[6];
    ASSERT_TRUE(decoupe(ls[0], c, nullptr));
    struct tm tm {};
    tm.tm_year = c[0] - 1900;
    tm.tm_mon = c[1] - 1;
    tm.tm_mday = c[2];
    tm.tm_hour = c[3];
    tm.tm_min = c[4];
    tm.tm_sec = c[5];
    const time_t estampe = ::timegm(&tm) - 3 * 3600;  // back from UTC+3
    EXPECT_GE(estampe, avant);
    EXPECT_LE(estampe, apres);

    const std::vector<std::string> es = lignes(d.p / "sub-less-errors.log");
    ASSERT_EQ(es.size(), 1u);
    EXPECT_EQ(texte(es[0]), "to the error log only");
}

TEST(KvtLog, EightThreadsLoseAndInterleaveNothing)
{
    Dossier d;
    ASSERT_EQ(kvtlog_init((d.p / "q.log").c_str(), (d.p / "e.log").c_str()), 0);  // absolute paths
    constexpr int kThreads = 8, kLignes = 2000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) ts.emplace_back(ecrit_lot, t, kLignes, t % 2 == 1);
    for (std::thread &t : ts) t.join();
    // Even threads wrote to the log, odd ones to the error log.
    verifie_lots(lignes(d.p / "q.log"), "", kThreads / 2 * kLignes);
    verifie_lots(lignes(d.p / "e.log"), "E ", kThreads / 2 * kLignes);
}

TEST(KvtLog, ReopenAfterRotationWhileOthersLog)
{
    Dossier d;
    ASSERT_EQ(kvtlog_init("q.log", "e.log"), 0);
    constexpr int kThreads = 4, kLignes = 3000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) ts.emplace_back(ecrit_lot, t, kLignes, false);
    // Rotate once the writers are under way (on a loaded machine they may
    // start late; if they are done by then, the rotation is still checked).
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fs::file_size(d.p / "q.log") == 0 && std::chrono::steady_clock::now() < limite)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fs::rename(d.p / "q.log", d.p / "q.log.1");
    fs::rename(d.p / "e.log", d.p / "e.log.1");
    EXPECT_EQ(kvtlog_reouvre(), 0);
    for (std::thread &t : ts) t.join();
    kvtlog_erreur("after");

    std::vector<std::string> tout = lignes(d.p / "q.log.1");
    const std::vector<std::string> neuf = lignes(d.p / "q.log");
    ASSERT_FALSE(neuf.empty());
    int reouvert = 0;
    for (const std::string &l : neuf) reouvert += texte(l) == "Logs reopened";
    EXPECT_EQ(reouvert, 1);
    tout.insert(tout.end(), neuf.begin(), neuf.end());
    verifie_lots(tout, "", kThreads * kLignes);  // nothing lost across the switch
    const std::vector<std::string> e = lignes(d.p / "e.log");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(texte(e[0]), "after");
}

TEST(KvtLog, FallbacksToStderr)
{
    Dossier d;
    // Unopenable log: stderr takes it, with a warning naming the path.
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtlog_init("no/such/folder/q.log", "e.log"), -1);
    kvtlog_log("on stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(d.p.string() + "/no/such/folder/q.log"), std::string::npos) << err;
    EXPECT_NE(err.find(" on stderr\n"), std::string::npos) << err;
    const std::vector<std::string> e = lignes(d.p / "e.log");
    ASSERT_EQ(e.size(), 1u);  // the warning is in the error log too
    EXPECT_NE(e[0].find("no/such/folder/q.log"), std::string::npos);

    // A log that cannot be reopened after a rotation keeps its file.
    ASSERT_EQ(kvtlog_init("q.log", "e.log"), 0);
    fs::rename(d.p / "q.log", d.p / "q.log.1");
    fs::create_directory(d.p / "q.log");  // the path can no longer be opened for writing
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtlog_reouvre(), -1);
    kvtlog_log("kept");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("q.log"), std::string::npos) << err;
    EXPECT_EQ(err.find(" kept\n"), std::string::npos) << err;
    const std::vector<std::string> ancien = lignes(d.p / "q.log.1");
    ASSERT_EQ(ancien.size(), 2u);
    EXPECT_EQ(texte(ancien[0]), "Logs reopened");
    EXPECT_EQ(texte(ancien[1]), "kept");

    // Empty paths are refused the same way; null ones are a caller fault.
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtlog_init("", ""), -1);
    kvtlog_erreur("to stderr");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" No path given for the error log: errors go to standard error\n"), std::string::npos) << err;
    EXPECT_NE(err.find(" to stderr\n"), std::string::npos) << err;
    EXPECT_EQ(kvtlog_init(nullptr, "e.log"), -1);
    const char *nul = nullptr;
    EXPECT_EQ(kvtlog_log(nul), -1);
}

// The access log: off until opened, relative to the configuration's folder,
// whole lines from many threads (long ones too), reopened after a rotation,
// moved to a new path, and closed by the empty path.
TEST(KvtLog, AccessLogOpenRotateMoveClose)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_init("q.log", "q-err.log"));
    ASSERT_EQ(0, kvtlog_acces_ouvre(""));
    EXPECT_EQ(0, kvtlog_acces_actif());
    EXPECT_EQ(0, kvtlog_acces("ssl lost"));

    ASSERT_EQ(0, kvtlog_acces_ouvre("acces.log"));
    EXPECT_NE(0, kvtlog_acces_actif());
    std::vector<std::thread> fils;
    for (int t = 0; t < 6; ++t)
        fils.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                // Some lines past the stack buffer; a line end inside stays inside.
                const std::string pad((i * 37 + t * 11) % 300 + (i % 50 == 0 ? 3000 : 0), static_cast<char>('a' + t));
                kvtlog_acces("t%d n%d %s", t, i, pad.c_str());
            }
        });
    // Rotation while they write: each line lands whole in one file or the other.
    fs::rename(d.p / "acces.log", d.p / "acces.log.1");
    EXPECT_EQ(0, kvtlog_reouvre());
    for (std::thread &f : fils) f.join();
    ASSERT_EQ(0, kvtlog_acces_vide(60000));  // the writer thread has them all out
    std::vector<std::string> toutes = lignes(d.p / "acces.log.1");
    for (const std::string &l : lignes(d.p / "acces.log")) toutes.push_back(l);
    size_t n = 0;
    std::set<std::pair<int, int>> vus;
    for (const std::string &l : toutes) {
        int th = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(texte(l).c_str(), "t%d n%d", &th, &i)) << l.substr(0, 80);
        const std::string pad((i * 37 + th * 11) % 300 + (i % 50 == 0 ? 3000 : 0), static_cast<char>('a' + th));
        EXPECT_EQ(texte(l), "t" + std::to_string(th) + " n" + std::to_string(i) + " " + pad);
        vus.emplace(th, i);
        ++n;
    }
    EXPECT_EQ(1800u, n);
    EXPECT_EQ(1800u, vus.size());

    kvtlog_acces("one\nline");
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    EXPECT_EQ("one line", texte(lignes(d.p / "acces.log").back()));

    ASSERT_EQ(0, kvtlog_acces_ouvre("autre.log"));
    kvtlog_acces("moved");
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    EXPECT_EQ("moved", texte(lignes(d.p / "autre.log").back()));
    EXPECT_EQ("one line", texte(lignes(d.p / "acces.log").back()));

    EXPECT_EQ(-1, kvtlog_acces_ouvre("nowhere/x.log"));
    EXPECT_EQ(0, kvtlog_acces_actif());
    ASSERT_EQ(0, kvtlog_acces_ouvre(""));
    EXPECT_EQ(0, kvtlog_acces("after"));
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    EXPECT_EQ("moved", texte(lignes(d.p / "autre.log").back()));
}

namespace {

// Waits up to 60 s for `condition`; true when it held.
template <class F> bool attend(F condition)
{
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limite) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The counts of the "Access log: N lines dropped (RAISON)" lines of `e`.
std::vector<unsigned long long> rapports(const fs::path &e, const std::string &raison)
{
    std::vector<unsigned long long> r;
    const std::string fin = " lines dropped (" + raison + ")";
    for (const std::string &l : lignes(e)) {
        const std::string t = texte(l);
        unsigned long long n = 0;
        if (t.size() > fin.size() && t.compare(t.size() - fin.size(), fin.size(), fin) == 0 &&
            std::sscanf(t.c_str(), "Access log: %llu lines dropped", &n) == 1)
            r.push_back(n);
    }
    return r;
}

unsigned long long somme(const std::vector<unsigned long long> &v)
{
    unsigned long long s = 0;
    for (unsigned long long n : v) s += n;
    return s;
}

// The text of access line `i`: "n<i> " then a pad of `longueur` bytes.
std::string ligne_n(int i, size_t longueur) { return "n" + std::to_string(i) + " " + std::string(longueur, 'x'); }

}  // namespace

// A pipe whose reader stops: callers go on at once, the lines that do not
// fit are counted, one report says so within the minute, and a reopen or a
// new path does not wait for the pipe. What the pipe got is whole lines.
TEST(KvtLog, StalledPipeNeverHoldsCallers)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_init("q.log", "e.log"));
    const fs::path fifo = d.p / "acces.fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const int lecteur = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(lecteur, 0);
    ASSERT_EQ(0, kvtlog_acces_ouvre(fifo.c_str()));
    const unsigned long long avant = kvtlog_acces_perdues();
    // 9 MB: more than the pipe and the queue together.
    int64_t pire_us = 0;
    for (int i = 0; i < 45000; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        kvtlog_acces("%s", ligne_n(i, 180).c_str());
        const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        if (us > pire_us) pire_us = us;
    }
    const unsigned long long perdues = kvtlog_acces_perdues() - avant;
    EXPECT_GT(perdues, 20000u);
    EXPECT_LT(pire_us, 1000000) << "a caller waited";  // microseconds normally; generous for a loaded machine
    ASSERT_TRUE(attend([&] { return !rapports(d.p / "e.log", "queue full").empty(); }));
    // More drops within the minute: counted, not reported yet.
    for (int i = 0; i < 1000; ++i) kvtlog_acces("%s", ligne_n(i, 180).c_str());
    const auto r = rapports(d.p / "e.log", "queue full");
    ASSERT_EQ(1u, r.size());
    EXPECT_GT(r[0], 0u);
    EXPECT_LE(r[0], perdues);

    // Neither reopening nor a new path waits for the stalled pipe.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, kvtlog_reouvre());
    ASSERT_EQ(0, kvtlog_acces_ouvre("apres.log"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // The lines the pipe did not take go on into the new file.
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    kvtlog_acces("after");
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    EXPECT_EQ("after", texte(lignes(d.p / "apres.log").back()));

    // The pipe holds whole lines, each in order; at most its last is cut
    // (the rest of that line went with the switch, never glued to another).
    std::string recu;
    char b[65536];
    for (ssize_t n; (n = ::read(lecteur, b, sizeof b)) > 0;) recu.append(b, static_cast<size_t>(n));
    ::close(lecteur);
    ASSERT_FALSE(recu.empty());
    size_t debut = 0;
    int precedent = -1, entieres = 0;
    for (size_t fin; (fin = recu.find('\n', debut)) != std::string::npos; debut = fin + 1) {
        const std::string t = texte(recu.substr(debut, fin - debut));
        int i = -1;
        ASSERT_EQ(1, std::sscanf(t.c_str(), "n%d", &i)) << t.substr(0, 60);
        EXPECT_EQ(ligne_n(i, 180), t);
        EXPECT_GT(i, precedent);
        precedent = i;
        ++entieres;
    }
    EXPECT_GT(entieres, 100);
    ASSERT_EQ(0, kvtlog_acces_ouvre(""));
}

// A short write is followed by the rest of its line; a write that fails
// loses whole lines only, and the file gets the line feed it is owed before
// the next line. Failures are reported with their reason (here a file-size
// limit, then a full device), every dropped line counted.
TEST(KvtLog, FailedWritesLoseWholeLinesAndAreReported)
{
    Dossier d;
    ASSERT_EQ(0, kvtlog_init("q.log", "e.log"));
    kvtlog_regle_essai(200);
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, kvtlog_acces_ouvre("court.log"));
    rlimit ancienne{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &ancienne));
    rlimit limite = ancienne;
    limite.rlim_cur = 10000;  // inside a line: the write that crosses it is short
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limite));
    const unsigned long long avant = kvtlog_acces_perdues();
    for (int i = 0; i < 300; ++i) kvtlog_acces("%s", ligne_n(i, 80).c_str());
    const int vide = kvtlog_acces_vide(60000);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &ancienne));
    ASSERT_EQ(0, vide);
    for (int i = 1000; i < 1003; ++i) kvtlog_acces("%s", ligne_n(i, 80).c_str());
    ASSERT_EQ(0, kvtlog_acces_vide(60000));

    const std::vector<std::string> ls = lignes(d.p / "court.log");
    int entieres = 0, coupees = 0;
    for (size_t k = 0; k < ls.size(); ++k) {
        const std::string t = texte(ls[k]);
        if (k + 3 >= ls.size()) {
            EXPECT_EQ(ligne_n(1000 + static_cast<int>(k + 3 - ls.size()), 80), t);
        } else if (t == ligne_n(static_cast<int>(k), 80)) {
            ++entieres;
        } else {
            // Only the last line before the limit may be a cut one.
            EXPECT_EQ(k + 4, ls.size()) << ls[k];
            EXPECT_EQ(0u, (ligne_n(static_cast<int>(k), 80) + "\n").find(ls[k].substr(std::min<size_t>(20, ls[k].size()))))
                << ls[k];
            ++coupees;
        }
    }
    int tiennent = 0;  // the lines wholly below the limit
    for (size_t taille = 0; (taille += 20 + ligne_n(tiennent, 80).size() + 1) <= 10000;) ++tiennent;
    EXPECT_EQ(tiennent, entieres);
    EXPECT_EQ(1, coupees);
    const unsigned long long perdues = kvtlog_acces_perdues() - avant;
    EXPECT_EQ(300u - static_cast<unsigned>(entieres), perdues);
    EXPECT_TRUE(attend([&] { return somme(rapports(d.p / "e.log", std::strerror(EFBIG))) == perdues; }));

    ASSERT_EQ(0, kvtlog_acces_ouvre("/dev/full"));
    for (int i = 0; i < 50; ++i) kvtlog_acces("%s", ligne_n(i, 80).c_str());
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    EXPECT_TRUE(attend([&] { return somme(rapports(d.p / "e.log", "No space left on device")) == 50u; }));
    // At most one report per period: far fewer lines than failures.
    EXPECT_LE(rapports(d.p / "e.log", "No space left on device").size(), 10u);
    kvtlog_regle_essai(0);
    ASSERT_EQ(0, kvtlog_acces_ouvre(""));
}

// The log on a pipe that is not read: one line waits for it (half a
// second at most), the next ones are dropped at once until it takes bytes
// again; then lines come out whole, after a line feed if one was cut.
TEST(KvtLog, LogOnStalledPipeHoldsOneLineAtMost)
{
    Dossier d;
    const fs::path fifo = d.p / "log.fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const int lecteur = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(lecteur, 0);
    ASSERT_EQ(0, kvtlog_init(fifo.c_str(), "e.log"));
    const std::string pad(200, 'p');
    int64_t pire_ms = 0;
    const auto debut = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {  // 450 KB: the pipe holds 64 KiB
        const auto t0 = std::chrono::steady_clock::now();
        kvtlog_log("n%d %s", i, pad.c_str());
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (ms > pire_ms) pire_ms = ms;
    }
    EXPECT_LT(pire_ms, 2000);  // half a second, with room for a loaded machine
    EXPECT_LT(std::chrono::steady_clock::now() - debut, std::chrono::seconds(10));
    std::string recu;
    char b[65536];
    for (ssize_t n; (n = ::read(lecteur, b, sizeof b)) > 0;) recu.append(b, static_cast<size_t>(n));
    kvtlog_log("after");
    for (ssize_t n; (n = ::read(lecteur, b, sizeof b)) > 0;) recu.append(b, static_cast<size_t>(n));
    ::close(lecteur);
    // Whole lines in order, but for at most one cut line, never glued.
    std::istringstream in(recu);
    std::string l;
    int precedent = -1, coupees = 0;
    bool fin = false;
    while (std::getline(in, l)) {
        const std::string t = texte(l);
        int i = -1;
        if (t == "after") {
            fin = true;
            continue;
        }
        if (std::sscanf(t.c_str(), "n%d", &i) == 1 && t == "n" + std::to_string(i) + " " + pad) {
            EXPECT_GT(i, precedent);
            precedent = i;
        } else {
            ++coupees;
        }
    }
    EXPECT_LE(coupees, 1);
    EXPECT_TRUE(fin) << "the log took lines again once read";
    ASSERT_EQ(0, kvtlog_init("q.log", "e.log"));
}
