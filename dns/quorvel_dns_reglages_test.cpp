// The relay's reloadable settings: each key's values, the bounds and the
// error-log lines for values out of range or not whole numbers, and a
// reading published whole.
#include "quorvel_dns_reglages.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "kvtlib.h"

namespace {

struct Cas {
    const char *section;  // the [DNS] lines
    int blocage, journal, par_client;
    unsigned taille, min_ttl;
    const char *erreur;  // a line the error log must hold, or ""
};

TEST(QuorvelDnsReglages, KeysBoundsAndErrorLines)
{
    const Cas cas[] = {
        {"", 0, 0, 8, 0, 0, ""},
        {"DNSBlockAds=no\nDNSQueryLog=Yes\nDNSTCPMaxPerClient=3\nDNSCacheSize=500\nDNSCacheMinTTL=60\n", 0, 1, 3,
         500, 60, ""},
        {"DNSCacheSize=2000000\n", 0, 0, 8, 1000000, 0, "DNS relay: DNSCacheSize=2000000 is above 1000000; taken as 1000000"},
        {"DNSCacheSize=lots\n", 0, 0, 8, 0, 0, "DNS relay: DNSCacheSize=lots is not a whole number; no cache"},
        {"DNSCacheSize=10\nDNSCacheMinTTL=7200\n", 0, 0, 8, 10, 3600,
         "DNS relay: DNSCacheMinTTL=7200 is above 3600; taken as 3600"},
        {"DNSCacheMinTTL=-5\n", 0, 0, 8, 0, 0, "DNS relay: DNSCacheMinTTL=-5 is not a whole number; taken as 0"},
        {"DNSTCPMaxPerClient=0\n", 0, 0, 8, 0, 0,
         "DNS relay: DNSTCPMaxPerClient=0 is not a whole number from 1 to 64; taken as 8"},
        {"DNSTCPMaxPerClient=65\n", 0, 0, 8, 0, 0,
         "DNS relay: DNSTCPMaxPerClient=65 is not a whole number from 1 to 64; taken as 8"},
        {"DNSTCPMaxPerClient=64\n", 0, 0, 64, 0, 0, ""},
    };
    char modele[] = "/tmp/qvdnsr.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(modele));
    const std::string dossier = modele;
    for (const Cas &c : cas) {
        std::ofstream(dossier + "/quorvel.conf") << "[DNS]\n" << c.section;
        ASSERT_EQ(0, kvtcfg_init((dossier + "/quorvel.conf").c_str()));
        std::filesystem::remove(dossier + "/e.log");
        ASSERT_EQ(0, kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()));
        const quorvel_dns_reglages r = quorvel_dns_reglages_lit();
        const quorvel_dns_reglages publies = quorvel_dns_reglages_courants();
        for (const quorvel_dns_reglages *x : {&r, &publies}) {
            EXPECT_EQ(c.blocage, x->blocage) << c.section;
            EXPECT_EQ(c.journal, x->journal) << c.section;
            EXPECT_EQ(c.par_client, x->tcp_par_client) << c.section;
            EXPECT_EQ(c.taille, x->cache_taille) << c.section;
            EXPECT_EQ(c.min_ttl, x->cache_min_ttl) << c.section;
        }
        std::ifstream f(dossier + "/e.log");
        const std::string erreurs{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        if (*c.erreur != '\0')
            EXPECT_NE(std::string::npos, erreurs.find(c.erreur)) << c.section << erreurs;
        else
            EXPECT_EQ("", erreurs) << c.section;
    }
    quorvel_dns_reglages_publie(quorvel_dns_reglages{0, 0, 8, 0, 0});
    std::filesystem::remove_all(dossier);
}

}  // namespace
