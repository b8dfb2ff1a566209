#include "kvtlib.h"

#include <gtest/gtest.h>

#include <atomic>
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
