#include "kvtlib.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

}  // namespace
