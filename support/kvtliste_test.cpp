#include "kvtlib.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A configuration whose "AdHostsFile" is liste.txt beside it, and the log.
struct Liste {
    fs::path p;
    Liste()
    {
        char modele[] = "/tmp/kvtliste_test.XXXXXX";
        p = ::mkdtemp(modele);
        std::ofstream(p / "q.conf") << "[HTTP_FTP]\nAdHostsFile=liste.txt\n";
        EXPECT_EQ(0, kvtcfg_init((p / "q.conf").c_str()));
        EXPECT_EQ(0, kvtlog_init((p / "q.log").c_str(), (p / "e.log").c_str()));
        kvtliste_oublie();
    }
    ~Liste()
    {
        kvtliste_oublie();
        fs::remove_all(p);
    }
    void ecrit(const std::string &contenu) const { std::ofstream(p / "liste.txt", std::ios::binary) << contenu; }
    std::string log() const
    {
        std::ifstream f(p / "q.log");
        return {std::istreambuf_iterator<char>(f), {}};
    }
};

int bloque(const char *n) { return kvtliste_bloque(n, std::strlen(n)); }

TEST(KvtListe, ReadsNamesHostsLinesAndAdblockRules)
{
    Liste l;
    l.ecrit("# a hosts file as published\r\n"
            "127.0.0.1 localhost\r\n"
            "127.0.0.1 localhost.localdomain local\r\n"
            "255.255.255.255 broadcasthost\n"
            "::1 ip6-localhost ip6-loopback\n"
            "0.0.0.0 0.0.0.0\n"
            "0.0.0.0 ads.example.com\n"
            "127.0.0.1\ta.example   b.example  # two at once\n"
            "\n"
            "   \n"
            "plain.example\n"
            "Plain.Example.\n"          // a repeat, counted once
            "0.0.0.0 ads.example.com\n" // a repeat
            "10.1.2.3\n"                // an address is not a host name
            "! adblock comment\n"
            "[Adblock Plus 2.0]\n"
            "||adb.example^\n"
            "||imp.example^$important\n"
            "||third.example^$third-party\n"
            "||path.example/ads^\n"
            "@@||allow.example^\n"
            "/banner/*\n"
            "example.org##.ad\n"
            "example.net#@#.ad\n"
            "||nocaret.example\n"
            "trail.example # comment after a name\n");
    EXPECT_EQ(7, kvtliste_demarre());
    for (const char *n : {"ads.example.com", "a.example", "b.example", "plain.example", "adb.example", "imp.example",
                          "trail.example"})
        EXPECT_EQ(1, bloque(n)) << n;
    for (const char *n : {"localhost", "local", "broadcasthost", "ip6-localhost", "0.0.0.0", "10.1.2.3",
                          "third.example", "path.example", "allow.example", "nocaret.example", "example.org", "comment"})
        EXPECT_EQ(0, bloque(n)) << n;
    // Asked again: nothing is loaded again, the count stays.
    l.ecrit("other.example\n");
    EXPECT_EQ(7, kvtliste_demarre());
    EXPECT_EQ(0, bloque("other.example"));
}

TEST(KvtListe, ParentsMatchChildrenAndCaseAndOneTrailingDot)
{
    Liste l;
    l.ecrit("ads.example.com\n");
    ASSERT_EQ(1, kvtliste_demarre());
    for (const char *n : {"ads.example.com", "x.ads.example.com", "a.b.c.ads.example.com", "ADS.Example.COM.",
                          "X.ADS.example.com."})
        EXPECT_EQ(1, bloque(n)) << n;
    for (const char *n : {"example.com", "badads.example.com", "ads.example.co", "ads.example.com..", "com", "",
                          ".", "ads.example.com.evil", "sads.example.com"})
        EXPECT_EQ(0, bloque(n)) << n;
    EXPECT_EQ(0, kvtliste_bloque(nullptr, 3));
    // Only `longueur` bytes count: a name inside a larger buffer.
    EXPECT_EQ(1, kvtliste_bloque("x.ads.example.comXYZ", 17));
    const std::string long_nom(300, 'a');
    EXPECT_EQ(0, kvtliste_bloque(long_nom.c_str(), long_nom.size()));
}

TEST(KvtListe, ReloadReplacesOrKeepsTheListAndOffLoadsNothing)
{
    Liste l;
    l.ecrit("one.example\n");
    // Never asked for: a reload loads nothing.
    EXPECT_EQ(0, kvtliste_recharge());
    EXPECT_EQ(0, bloque("one.example"));
    ASSERT_EQ(1, kvtliste_demarre());
    l.ecrit("two.example\nthree.example\n");
    EXPECT_EQ(2, kvtliste_recharge());
    EXPECT_EQ(0, bloque("one.example"));
    EXPECT_EQ(1, bloque("two.example"));
    // An unreadable list keeps the old one, with the reason in the log.
    fs::remove(l.p / "liste.txt");
    EXPECT_EQ(-1, kvtliste_recharge());
    EXPECT_EQ(1, bloque("two.example"));
    const std::string log = l.log();
    EXPECT_NE(std::string::npos, log.find(" Ad-domain list reload failed: " + (l.p / "liste.txt").string() +
                                          ": No such file or directory; the previous list stays\n"))
        << log;
    fs::create_directory(l.p / "liste.txt");
    EXPECT_EQ(-1, kvtliste_recharge());
    EXPECT_EQ(1, bloque("three.example"));
}

TEST(KvtListe, LookupsDuringReloadsSeeAWholeList)
{
    Liste l;
    // Two lists that share 2,000 names: whichever a lookup sees, a shared
    // name is on it; a list seen half built would miss some.
    std::string a, b;
    for (int i = 0; i < 2000; ++i) {
        a += "c" + std::to_string(i) + ".example\na" + std::to_string(i) + ".example\n";
        b += "b" + std::to_string(i) + ".example\nc" + std::to_string(i) + ".example\n";
    }
    l.ecrit(a);
    ASSERT_EQ(4000, kvtliste_demarre());
    std::atomic<bool> fin{false};
    std::atomic<long> manques{0}, tours{0};
    std::vector<std::thread> lecteurs;
    for (int t = 0; t < 2; ++t)
        lecteurs.emplace_back([&, t] {
            char nom[32];
            for (int i = t; !fin.load(); i = (i + 7) % 2000) {
                std::snprintf(nom, sizeof nom, "x.c%d.example", i);
                if (bloque(nom) != 1) ++manques;
                ++tours;
            }
        });
    for (int i = 0; i < 40; ++i) {
        l.ecrit(i % 2 == 0 ? b : a);
        EXPECT_EQ(4000, kvtliste_recharge());
    }
    fin = true;
    for (auto &t : lecteurs) t.join();
    EXPECT_EQ(0, manques.load());
    EXPECT_GT(tours.load(), 0);
}

// Whatever "AdHostsFile" names instead of a list, a reload returns at once
// with the reason and keeps the list in force, and a start prints the line
// it always has: nothing blocks (a FIFO without a writer), spins or grows
// (/dev/zero, directly or through a symlink).
TEST(KvtListe, WhatIsNotARegularFileWithin256MiBIsNeverRead)
{
    Liste l;
    const fs::path liste = l.p / "liste.txt";
    struct Cas {
        const char *nom;
        std::string fichier;  // "AdHostsFile"
        std::function<void()> prepare;
        std::string raison;
    } cas[] = {
        {"a FIFO", "liste.txt", [&] { ASSERT_EQ(::mkfifo(liste.c_str(), 0600), 0); }, "not a regular file"},
        {"/dev/zero", "/dev/zero", [] {}, "not a regular file"},
        {"a symlink to /dev/zero", "liste.txt", [&] { fs::create_symlink("/dev/zero", liste); }, "not a regular file"},
        {"a folder", "liste.txt", [&] { fs::create_directory(liste); }, "Is a directory"},
        {"256 MiB and one byte, sparse", "liste.txt",
         [&] {
             l.ecrit("kept.example\n");
             ASSERT_EQ(::truncate(liste.c_str(), 256LL * 1024 * 1024 + 1), 0);
         },
         "larger than 256 MiB"},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        fs::remove_all(liste);
        l.ecrit("before.example\n");
        std::ofstream(l.p / "q.conf") << "[HTTP_FTP]\nAdHostsFile=liste.txt\n";
        ASSERT_EQ(0, kvtcfg_init((l.p / "q.conf").c_str()));
        kvtliste_oublie();
        ASSERT_EQ(1, kvtliste_demarre());
        std::ofstream(l.p / "q.conf") << "[HTTP_FTP]\nAdHostsFile=" << c.fichier << "\n";
        ASSERT_EQ(0, kvtcfg_init((l.p / "q.conf").c_str()));
        const std::string nom = c.fichier[0] == '/' ? c.fichier : liste.string();
        fs::remove_all(liste);
        c.prepare();
        EXPECT_EQ(-1, kvtliste_recharge());
        EXPECT_EQ(1, bloque("before.example"));
        const std::string log = l.log();
        EXPECT_NE(std::string::npos,
                  log.find(" Ad-domain list reload failed: " + nom + ": " + c.raison + "; the previous list stays\n"))
            << log;
        // At start: nothing loaded, and the start's line.
        kvtliste_oublie();
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, kvtliste_demarre());
        EXPECT_EQ("Unable to open adhosts file\n", testing::internal::GetCapturedStdout());
        EXPECT_EQ(0, bloque("before.example"));
    }
}

// A line is at most 4,096 bytes: a longer one is skipped and never held
// whole, even 200 MiB of it, and the lines after it load.
TEST(KvtListe, LinesOverFourKiBAreSkippedAndTheNextOnesLoad)
{
    Liste l;
    // Exactly 4,096 bytes is still a line; one more is not.
    l.ecrit("a.example\n" + std::string("max.example") + std::string(4085, ' ') + "\n" + "over.example" +
            std::string(4085, ' ') + "\nb.example\n" + std::string(5000, 'x') + "\nc.example");
    ASSERT_EQ(4, kvtliste_demarre());
    for (const char *n : {"a.example", "max.example", "b.example", "c.example"}) EXPECT_EQ(1, bloque(n)) << n;
    EXPECT_EQ(0, bloque("over.example"));

    // A sparse file: 200 MiB of NUL bytes on one line, then a name.
    {
        std::ofstream(l.p / "liste.txt", std::ios::binary) << "first.example\n";
    }
    constexpr long long kLongue = 200LL * 1024 * 1024;
    ASSERT_EQ(0, ::truncate((l.p / "liste.txt").c_str(), 14 + kLongue));
    {
        std::ofstream(l.p / "liste.txt", std::ios::binary | std::ios::app) << "\nnext.example\n";
    }
    rusage avant{}, apres{};
    ::getrusage(RUSAGE_SELF, &avant);
    EXPECT_EQ(2, kvtliste_recharge());
    ::getrusage(RUSAGE_SELF, &apres);
    EXPECT_EQ(1, bloque("first.example"));
    EXPECT_EQ(1, bloque("next.example"));
    // The peak resident size grew by far less than the line (in KiB).
    EXPECT_LT(apres.ru_maxrss - avant.ru_maxrss, 32 * 1024);
}

// A reload of a list whose lines yield no name keeps the list in force: a
// file in another format or garbage must not turn blocking off. A list
// emptied, or only comments (and a hosts file's usual header), is taken:
// that is how an operator stops blocking. At start such a list loads 0.
TEST(KvtListe, ReloadKeepsTheListWhenNoLineYieldsAName)
{
    Liste l;
    struct Cas {
        const char *nom;
        std::string texte;
        int noms;            // names taken, or -1 when refused
        std::string raison;  // after the path
    } cas[] = {
        {"empty", "", 0, ""},
        {"blank lines", "\n  \n\r\n", 0, ""},
        {"comments", "# c\n! adblock comment\n[Adblock Plus 2.0]\n", 0, ""},
        {"a hosts file's header", "127.0.0.1 localhost\n::1 ip6-localhost ip6-loopback\n# none\n", 0, ""},
        {"garbage", "\x01\x02\x03\n%%%% $$$\n", -1, ": no name could be read from its 2 lines"},
        {"other rules only", "@@||allow.example^\n/banner/*\nexample.org##.ad\n||x.example/path^\n", -1,
         ": no name could be read from its 4 lines"},
        {"a line over 4,096 bytes", "# c\n" + std::string(5000, 'a') + "\n", -1,
         ": no name could be read from its 1 lines"},
        {"one name among garbage", "\x01\x02\n%%%%\nok.example\n", 1, ""},
    };
    l.ecrit("before.example\n");
    ASSERT_EQ(1, kvtliste_demarre());
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.nom);
        l.ecrit(c.texte);
        EXPECT_EQ(c.noms, kvtliste_recharge());
        EXPECT_EQ(c.noms < 0 ? 1 : 0, bloque("before.example"));
        if (c.noms < 0) {
            const std::string log = l.log();
            EXPECT_NE(std::string::npos, log.find(" Ad-domain list reload failed: " + (l.p / "liste.txt").string() +
                                                  c.raison + "; the previous list stays\n"))
                << log;
        }
        l.ecrit("before.example\n");
        ASSERT_EQ(1, kvtliste_recharge());
    }
    // At start nothing runs that could stay: a nameless list loads 0.
    kvtliste_oublie();
    l.ecrit("%%%%\n");
    EXPECT_EQ(0, kvtliste_demarre());
}

}  // namespace
