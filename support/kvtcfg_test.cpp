#include "kvtlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

struct Dossier {
    fs::path p;
    Dossier()
    {
        char modele[] = "/tmp/kvtcfg_test.XXXXXX";
        p = ::mkdtemp(modele);
    }
    ~Dossier() { fs::remove_all(p); }
    std::string ecrit(const char *nom, const std::string &contenu) const
    {
        std::ofstream(p / nom, std::ios::binary) << contenu;
        return (p / nom).string();
    }
};

std::string lit(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Warnings on stderr carry a time stamp once a log has been opened.
bool finit_par(const std::string &s, const std::string &fin)
{
    return s.size() >= fin.size() && s.compare(s.size() - fin.size(), fin.size(), fin) == 0;
}

std::string valeur(const char *section, const char *cle, const char *defaut = "<default>")
{
    char b[256];
    EXPECT_GE(kvtcfg_recup_E(section, cle, b, sizeof b, defaut), 0);
    return b;
}

// Line 1 is "; comment"; the numbers in the warnings below count from it.
const char kFichier[] =
    "; comment\n"                          // 1
    "   # indented comment\n"              // 2
    "KeyBefore=global\n"                   // 3
    "[Main]\n"                             // 4
    "LogFile = my.log   \n"                // 5
    "AllowedHost0=192.168.1.*\n"           // 6
    "  allowedhost1  =  10.0.0.1  \n"      // 7
    "\t[ ssl ]\n"                          // 8
    "SSLEnabled=\" yes\"\n"                // 9
    "SSLPort = \"8080 \"\n"                // 10
    "Quoted=\"\"\n"                        // 11
    "Empty=\n"                             // 12
    "Dup=first\n"                          // 13
    "DUP=second\n"                         // 14 duplicate
    "Eq=a=b\n"                             // 15
    "Semi=value ; kept\n"                  // 16
    "Lone=\"open\n"                        // 17 malformed
    "[Main]\n"                             // 18
    "LogFile=second.log\n"                 // 19 duplicate
    "Extra=x\n"                            // 20
    "[Bad\n"                               // 21 malformed
    "AllowedHost9=*\n"                     // 22 ignored: no known section
    "[DNS] ; a comment\r\n"                // 23
    "DNSEnabled=yes\r\n"                   // 24
    "no equals here\n"                     // 25 malformed
    " = novalue\n"                         // 26 malformed
    "[]\n"                                 // 27 malformed
    "Tail=1\n"                             // 28 ignored
    "[Last]\n"                             // 29
    "NoNewline=end";                       // 30

}  // namespace

TEST(KvtCfg, DefaultsBeforeInit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, never initialised
    EXPECT_EXIT(
        {
            char b[16];
            bool ok = kvtcfg_recup_E("SSL", "SSLPort", b, sizeof b, "8080") == 4 && std::string(b) == "8080" &&
                      std::string(kvtcfg_dossier()).empty();
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(KvtCfg, IniRules)
{
    Dossier d;
    const std::string chemin = d.ecrit("q.conf", kFichier);
    testing::internal::CaptureStderr();
    ASSERT_EQ(kvtcfg_init(chemin.c_str()), 0);
    const std::string avert = testing::internal::GetCapturedStderr();

    struct Cas { const char *section, *cle, *attendu; } cas[] = {
        {"", "KeyBefore", "global"},
        {"main", "LOGFILE", "my.log"},            // names without regard to case; first wins
        {"Main", "AllowedHost0", "192.168.1.*"},
        {"MAIN", "AllowedHost1", "10.0.0.1"},     // blanks trimmed
        {"SSL", "SSLEnabled", " yes"},            // quoted: verbatim
        {"SSL", "SSLPort", "8080 "},
        {"SSL", "Quoted", ""},
        {"SSL", "Empty", ""},                     // present and empty is not absent
        {"SSL", "Dup", "first"},
        {"SSL", "Eq", "a=b"},
        {"SSL", "Semi", "value ; kept"},
        {"SSL", "Lone", "<default>"},
        {"Main", "Extra", "x"},                   // a repeated section adds to the first
        {"Main", "AllowedHost9", "<default>"},    // under a broken header: not filed under Main
        {"Bad", "AllowedHost9", "<default>"},
        {"DNS", "DNSEnabled", "yes"},             // CR LF line end
        {"DNS", "Tail", "<default>"},
        {"Last", "NoNewline", "end"},
        {"Nope", "LogFile", "<default>"},
        {"SSL", "LogFile", "<default>"},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.cle);
        EXPECT_EQ(valeur(c.section, c.cle), c.attendu);
    }

    for (int ligne : {14, 17, 19, 21, 25, 26, 27}) {
        SCOPED_TRACE(ligne);
        EXPECT_NE(avert.find(chemin + " line " + std::to_string(ligne) + ":"), std::string::npos) << avert;
    }
    for (int ligne : {9, 22, 23, 24, 28, 30}) {
        SCOPED_TRACE(ligne);
        EXPECT_EQ(avert.find(" line " + std::to_string(ligne) + ":"), std::string::npos) << avert;
    }
}

TEST(KvtCfg, RecupTruncatesWithinSize)
{
    Dossier d;
    ASSERT_EQ(kvtcfg_init(d.ecrit("q.conf", "[Main]\nLogFile=my.log\n").c_str()), 0);
    struct Cas { const char *cle, *defaut; int taille, longueur; const char *attendu; } cas[] = {
        {"LogFile", "", 256, 6, "my.log"},
        {"LogFile", "", 7, 6, "my.log"},
        {"LogFile", "", 6, 5, "my.lo"},
        {"LogFile", "", 1, 0, ""},
        {"Absent", "quorvel.log", 5, 4, "quor"},  // a default is truncated the same way
        {"Absent", nullptr, 8, 0, ""},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(std::string(c.cle) + " size " + std::to_string(c.taille));
        std::string b(300, '#');
        EXPECT_EQ(kvtcfg_recup_E("Main", c.cle, b.data(), c.taille, c.defaut), c.longueur);
        EXPECT_STREQ(b.c_str(), c.attendu);
        EXPECT_EQ(b[static_cast<size_t>(c.taille)], '#');  // nothing written past the size
    }
    char b[4] = "abc";
    EXPECT_EQ(kvtcfg_recup_E("Main", "LogFile", b, 0, ""), -1);
    EXPECT_STREQ(b, "abc");
    EXPECT_EQ(kvtcfg_recup_E("Main", "LogFile", nullptr, 10, ""), -1);
    EXPECT_EQ(kvtcfg_recup_E(nullptr, "LogFile", b, 4, "d"), 1);
    EXPECT_STREQ(b, "d");
}

TEST(KvtCfg, MissingFileGivesDefaultsAndOneWarning)
{
    Dossier d;
    ASSERT_EQ(kvtcfg_init(d.ecrit("q.conf", "[Main]\nLogFile=my.log\n").c_str()), 0);
    const std::string absent = (d.p / "none.conf").string();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtcfg_init(absent.c_str()), -1);
    const std::string avert = testing::internal::GetCapturedStderr();
    EXPECT_NE(avert.find(absent), std::string::npos);
    EXPECT_EQ(std::count(avert.begin(), avert.end(), '\n'), 1) << avert;
    EXPECT_EQ(valeur("Main", "LogFile", "quorvel.log"), "quorvel.log");  // the old file no longer counts
    EXPECT_EQ(kvtcfg_dossier(), d.p.string() + "/");

    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtcfg_init(d.p.c_str()), -1);  // a folder is not a file
    EXPECT_NE(testing::internal::GetCapturedStderr().find(d.p.string()), std::string::npos);
}

TEST(KvtCfg, DossierIsAbsoluteWithTrailingSlash)
{
    Dossier d;
    fs::create_directory(d.p / "sub");
    d.ecrit("sub/q.conf", "");
    const fs::path avant = fs::current_path();
    fs::current_path(d.p);
    struct Cas { std::string chemin, attendu; } cas[] = {
        {(d.p / "sub/q.conf").string(), (d.p / "sub").string() + "/"},
        {"sub/q.conf", (d.p / "sub").string() + "/"},
        {"q.conf", d.p.string() + "/"},
        {"/q.conf", "/"},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.chemin);
        testing::internal::CaptureStderr();
        kvtcfg_init(c.chemin.c_str());
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(kvtcfg_dossier(), c.attendu);
    }
    fs::current_path(avant);
}

TEST(KvtCfg, WarningFloodIsCapped)
{
    Dossier d;
    std::string garbage;
    for (int i = 0; i < 1000; ++i) garbage += "garbage line\n";
    garbage += "[Main]\nLogFile=still.read\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtcfg_init(d.ecrit("q.conf", garbage).c_str()), 0);
    const std::string avert = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(avert.begin(), avert.end(), '\n'), 51) << avert.substr(0, 500);
    EXPECT_NE(avert.find("950 more malformed lines skipped"), std::string::npos);
    EXPECT_EQ(valeur("Main", "LogFile"), "still.read");
}

TEST(KvtCfg, WarningsReachTheErrorLogOnceOpen)
{
    // A fresh process in which the logs were never opened; it checks the
    // error log itself, since it runs the test body on its own.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Dossier d;
            const std::string chemin = d.ecrit("q.conf", "[Main]\nbroken\n");
            kvtcfg_init(chemin.c_str());
            kvtlog_init("q.log", "q-errors.log");  // beside the configuration
            kvtcfg_init(chemin.c_str());           // now written at once
            const std::string err = lit(d.p / "q-errors.log");
            size_t n = 0;
            for (size_t pos = 0; (pos = err.find(chemin + " line 2:", pos)) != std::string::npos; ++pos) ++n;
            const bool ok = n == 2 && lit(d.p / "q.log").empty();
            if (!ok) std::fprintf(stderr, "error log:\n%s\n", err.c_str());
            d.~Dossier();
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "line 2");
}

TEST(KvtCfg, ReinitWhileOtherThreadsRead)
{
    Dossier d;
    const std::string a = d.ecrit("a.conf", "[Main]\nLogFile=aaaaaaaa.log\n");
    const std::string b = d.ecrit("b.conf", "[Main]\nLogFile=bb.log\n[Other]\nPad=" + std::string(500, 'p') + "\n");
    ASSERT_EQ(kvtcfg_init(a.c_str()), 0);
    std::atomic<bool> fin{false};
    std::atomic<int> mauvais{0}, lectures{0}, partis{0};
    std::vector<std::thread> lecteurs;
    for (int i = 0; i < 4; ++i) {
        lecteurs.emplace_back([&] {
            ++partis;
            while (!fin.load()) {
                char v[64];
                kvtcfg_recup_E("Main", "LogFile", v, sizeof v, "");
                const std::string s = v;
                if (s != "aaaaaaaa.log" && s != "bb.log") ++mauvais;
                if (std::string(kvtcfg_dossier()) != d.p.string() + "/") ++mauvais;
                ++lectures;
            }
        });
    }
    // A loaded machine may run the readers late: the re-inits start once
    // every reader runs, and go on until the readers have read meanwhile.
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (partis.load() < 4 && std::chrono::steady_clock::now() < limite) std::this_thread::yield();
    const int avant = lectures.load();
    for (int i = 0; i < 200 || (lectures.load() < avant + 200 && std::chrono::steady_clock::now() < limite); ++i) {
        if (kvtcfg_init((i % 2 ? a : b).c_str()) != 0) {
            ADD_FAILURE() << "re-init " << i << " failed";
            break;
        }
    }
    const int pendant = lectures.load() - avant;
    fin = true;
    for (std::thread &t : lecteurs) t.join();
    EXPECT_EQ(mauvais.load(), 0);
    EXPECT_GE(pendant, 200) << "reads while the configuration was re-read";
}

TEST(KvtCfg, ReloadTakesTheNewFileAndKeepsTheRunningOneWhenUnreadable)
{
    Dossier d;
    const std::string chemin = d.ecrit("q.conf", "[Main]\nLogFile=un.log\nAllowedHost0=10.*\n");
    ASSERT_EQ(kvtcfg_init(chemin.c_str()), 0);
    d.ecrit("q.conf", "[Main]\nLogFile=deux.log\n");
    char raison[256] = "stale";
    EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), 0);
    EXPECT_STREQ(raison, "");
    EXPECT_EQ(valeur("Main", "LogFile"), "deux.log");
    EXPECT_EQ(valeur("Main", "AllowedHost0"), "<default>");  // a key removed from the file is gone

    // Missing, then a folder in its place, then unreadable for a moment: each
    // time the reason, and the last good file stays whole, never the defaults.
    struct Cas {
        const char *nom;
        std::function<void()> prepare;
        std::string raison;
    } cas[] = {
        {"missing", [&] { fs::remove(chemin); }, chemin + ": No such file or directory"},
        {"a folder", [&] { fs::create_directory(chemin); }, chemin + ": Is a directory"},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        c.prepare();
        EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), -1);
        EXPECT_EQ(std::string(raison), c.raison);
        EXPECT_EQ(valeur("Main", "LogFile"), "deux.log");
        EXPECT_EQ(kvtcfg_dossier(), d.p.string() + "/");
    }
    fs::remove(chemin);
    // A short buffer still holds a cut, terminated reason; a null one is allowed.
    char court[8];
    EXPECT_EQ(kvtcfg_recharge(court, sizeof court), -1);
    EXPECT_EQ(std::string(court), chemin.substr(0, 7));
    EXPECT_EQ(kvtcfg_recharge(nullptr, 0), -1);

    // Back in place: the reload takes it, malformed lines warned about as at init.
    d.ecrit("q.conf", "[Main]\nLogFile=trois.log\nbroken\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(chemin + " line 3:"), std::string::npos);
    EXPECT_EQ(valeur("Main", "LogFile"), "trois.log");
}

// Eight readers while one thread reloads: every read sees one whole
// snapshot's value, and the snapshots replaced are freed under them (ASan
// and TSan see a reader inside a freed one).
TEST(KvtCfg, ReloadWhileEightThreadsRead)
{
    Dossier d;
    const std::string un = "[Main]\nLogFile=aaaaaaaa.log\n";
    const std::string deux = "[Main]\nLogFile=bb.log\n[Other]\nPad=" + std::string(500, 'p') + "\n";
    const std::string chemin = d.ecrit("q.conf", un);
    ASSERT_EQ(kvtcfg_init(chemin.c_str()), 0);
    std::atomic<bool> fin{false};
    std::atomic<int> mauvais{0}, lectures{0};
    std::vector<std::thread> lecteurs;
    for (int i = 0; i < 8; ++i) {
        lecteurs.emplace_back([&] {
            while (!fin.load()) {
                char v[64];
                kvtcfg_recup_E("Main", "LogFile", v, sizeof v, "");
                const std::string s = v;
                if (s != "aaaaaaaa.log" && s != "bb.log") ++mauvais;
                if (std::string(kvtcfg_dossier()) != d.p.string() + "/") ++mauvais;
                ++lectures;
            }
        });
    }
    for (int i = 0; i < 10000 && lectures.load() < 8; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int echecs = 0;
    // Few rounds: with eight busy readers on fewer cores, each replacement
    // waits for a preempted reader's next time slice.
    for (int i = 0; i < 40; ++i) {
        d.ecrit("q.conf", i % 2 ? un : deux);
        if (kvtcfg_recharge(nullptr, 0) != 0) ++echecs;
    }
    fin = true;
    for (std::thread &t : lecteurs) t.join();
    EXPECT_EQ(echecs, 0);
    EXPECT_EQ(mauvais.load(), 0);
    EXPECT_GT(lectures.load(), 0);
}

// Whatever the path names instead of a file, a reload returns at once with
// the reason and keeps the running configuration, and a start takes the
// defaults with the start's warning: nothing blocks (a FIFO without a
// writer), spins or grows (/dev/zero, directly or through a symlink).
TEST(KvtCfg, WhatIsNotARegularFileWithinOneMiBIsNeverRead)
{
    Dossier d;
    const std::string chemin = (d.p / "q.conf").string();
    const std::string bon = "[Main]\nLogFile=bon.log\n";
    // Exactly 1 MiB is still a configuration.
    std::string plein = bon;
    while (plein.size() < 1024 * 1024) plein += "; " + std::string(std::min<size_t>(60, 1024 * 1024 - plein.size()), 'c') + "\n";
    plein.resize(1024 * 1024 - 1);
    plein += "\n";
    struct Cas {
        const char *nom;
        std::function<void()> prepare;
        std::string raison;  // "" when the file is taken
    } cas[] = {
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(chemin.c_str(), 0600), 0); }, "not a regular file"},
        {"a symlink to /dev/zero", [&] { fs::create_symlink("/dev/zero", chemin); }, "not a regular file"},
        {"a folder", [&] { fs::create_directory(chemin); }, "Is a directory"},
        {"1 MiB and one byte, sparse",
         [&] {
             d.ecrit("q.conf", bon);
             ASSERT_EQ(::truncate(chemin.c_str(), 1024 * 1024 + 1), 0);
         },
         "larger than 1 MiB"},
        {"exactly 1 MiB", [&] { d.ecrit("q.conf", plein); }, ""},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        fs::remove_all(chemin);
        d.ecrit("q.conf", "[Main]\nLogFile=avant.log\n");
        ASSERT_EQ(kvtcfg_init(chemin.c_str()), 0);
        fs::remove_all(chemin);
        c.prepare();
        char raison[256];
        if (c.raison.empty()) {
            EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), 0) << raison;
            EXPECT_EQ(valeur("Main", "LogFile"), "bon.log");
            continue;
        }
        EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), -1);
        EXPECT_EQ(std::string(raison), chemin + ": " + c.raison);
        EXPECT_EQ(valeur("Main", "LogFile"), "avant.log");
        // At start: the defaults, and the reason in the start's warning.
        testing::internal::CaptureStderr();
        EXPECT_EQ(kvtcfg_init(chemin.c_str()), -1);
        EXPECT_TRUE(finit_par(testing::internal::GetCapturedStderr(),
                              " Configuration file " + chemin + " cannot be read (" + c.raison +
                                  "): every setting takes its default\n"));
        EXPECT_EQ(valeur("Main", "LogFile"), "<default>");
    }
    // /dev/zero named directly.
    testing::internal::CaptureStderr();
    EXPECT_EQ(kvtcfg_init("/dev/zero"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("/dev/zero cannot be read (not a regular file)"),
              std::string::npos);
    char raison[256];
    EXPECT_EQ(kvtcfg_recharge(raison, sizeof raison), -1);
    EXPECT_STREQ(raison, "/dev/zero: not a regular file");
}

// A line is at most 4,096 bytes: a longer one is skipped with a warning and
// never held, wherever it falls against the reader's blocks, and the lines
// after it load.
TEST(KvtCfg, LinesOverFourKiBAreSkippedAndTheNextOnesLoad)
{
    Dossier d;
    const std::string max = "Max=" + std::string(4092, 'm');           // 4,096 bytes
    const std::string trop = "Over=" + std::string(4092, 'o');         // 4,097 bytes
    // Lines that run across the 64 KiB blocks of the reader.
    std::string texte = "[Main]\n" + max + "\n" + trop + "\nAfter=1\n";
    while (texte.size() < 65536 - 10) texte += "; pad\n";
    texte += "Across=" + std::string(30, 'a') + "\n" + std::string(8000, 'x') + "\r\nLast=2";
    testing::internal::CaptureStderr();
    ASSERT_EQ(kvtcfg_init(d.ecrit("q.conf", texte).c_str()), 0);
    const std::string avert = testing::internal::GetCapturedStderr();
    EXPECT_NE(avert.find(" line 3: malformed line skipped (longer than 4096 bytes)"), std::string::npos) << avert;
    EXPECT_EQ(std::count(avert.begin(), avert.end(), '\n'), 2) << avert;
    char b[5000];
    EXPECT_EQ(kvtcfg_recup_E("Main", "Max", b, sizeof b, ""), 4092);
    EXPECT_EQ(valeur("Main", "Over"), "<default>");
    EXPECT_EQ(valeur("Main", "After"), "1");
    EXPECT_EQ(valeur("Main", "Across"), std::string(30, 'a'));
    EXPECT_EQ(valeur("Main", "Last"), "2");
}

// A reload never turns an emptied or overwritten file into every default:
// without a section, or with more lines that are not settings than lines
// that are, the running configuration stays. Half is still taken.
TEST(KvtCfg, ReloadRefusesAFileThatIsNotAConfiguration)
{
    Dossier d;
    const std::string chemin = d.ecrit("q.conf", "[Main]\nLogFile=avant.log\n");
    ASSERT_EQ(kvtcfg_init(chemin.c_str()), 0);
    // Bytes of a fixed generator: the same "random" file every run.
    std::string hasard(200 * 1024, '\0');
    uint32_t x = 12345;
    for (char &c : hasard) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    struct Cas {
        const char *nom;
        std::string texte;
        std::string raison;  // "" when taken
    } cas[] = {
        {"empty", "", "the file has no section"},
        {"blank lines", "\n  \n\t\r\n", "the file has no section"},
        {"comments only", "; nothing\n# here\n", "the file has no section"},
        {"keys without a section", "LogFile=x.log\nAllowedHost0=*\n", "the file has no section"},
        {"random bytes", hasard, ""},  // reason checked below: it depends on the bytes
        {"3 of 4 lines not settings", "[Main]\nno equals\n = nokey\n\x01\x02\x03\n", "3 of 4 lines are not settings"},
        {"3 of 5, a comment counts as a setting", "; c\n[Main]\ngarbage\n[bad\n\0\n"s,
         "3 of 5 lines are not settings"},
        {"lines over 4,096 bytes count against",
         "[Main]\n" + std::string(5000, 'z') + "\n" + std::string(5000, 'y'), "2 of 3 lines are not settings"},
        {"exactly half", "[Main]\nLogFile=half.log\nbroken\n[]\n", ""},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        d.ecrit("q.conf", c.texte);
        char raison[256];
        testing::internal::CaptureStderr();  // the malformed lines' warnings
        const int r = kvtcfg_recharge(raison, sizeof raison);
        testing::internal::GetCapturedStderr();
        if (std::string(c.nom) == "random bytes") {
            EXPECT_EQ(r, -1);
            EXPECT_TRUE(std::string(raison) == "the file has no section" ||
                        std::string(raison).find(" lines are not settings") != std::string::npos)
                << raison;
        } else if (c.raison.empty()) {
            EXPECT_EQ(r, 0) << raison;
            EXPECT_EQ(valeur("Main", "LogFile"), "half.log");
            d.ecrit("q.conf", "[Main]\nLogFile=avant.log\n");
            ASSERT_EQ(kvtcfg_recharge(nullptr, 0), 0);
            continue;
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(std::string(raison), c.raison);
        }
        EXPECT_EQ(valeur("Main", "LogFile"), "avant.log");
    }
}

// At start a file without a section is still taken (nothing runs that could
// stay), and the operator is told when it had keys; an empty file, or one
// of comments, stays silent as before.
TEST(KvtCfg, StartWithoutASectionWarnsOnlyWhenTheFileHasLines)
{
    Dossier d;
    struct Cas {
        std::string texte, avert;
    } cas[] = {
        {"", ""},
        {"; only a comment\n\n", ""},
        {"LogFile=x.log\n", "has no section: every setting takes its default\n"},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.texte);
        const std::string chemin = d.ecrit("q.conf", c.texte);
        testing::internal::CaptureStderr();
        EXPECT_EQ(kvtcfg_init(chemin.c_str()), 0);
        const std::string avert = testing::internal::GetCapturedStderr();
        if (c.avert.empty())
            EXPECT_EQ(avert, "");
        else
            EXPECT_TRUE(finit_par(avert, " Configuration file " + chemin + " " + c.avert)) << avert;
        EXPECT_EQ(valeur("Main", "LogFile"), "<default>");
    }
}
