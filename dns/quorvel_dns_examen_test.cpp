// What the relay does with an allowed client's query: forwarded unread with
// every switch off; FORMERR for a standard query it cannot read; the block
// list before the cache; the query log's lines.
#include "quorvel_dns_examen.h"
#include "quorvel_dns_reglages_outils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "kvtlib.h"
#include "kvt_interne.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_message_outils.h"

namespace {

// A query whose name is a compression pointer to a name written after the
// question, as a client would smuggle "ads.example" past a reader.
Octets pointeur_vers(const std::string &nom)
{
    Octets o = entete(0x4242, 0x0100, 1, 0, 0, 0);
    o.insert(o.end(), {0xC0, 18});  // the name at offset 18, after type and class
    ajoute16(o, 1);
    ajoute16(o, 1);
    const Octets n = nom_fil(nom);
    o.insert(o.end(), n.begin(), n.end());
    return o;
}

Octets avec(Octets o, size_t i, unsigned char v)
{
    o[i] = v;
    return o;
}

int examine(const Octets &d, unsigned char *r, size_t capacite = QUORVEL_DNS_EXAMEN_REPONSE, int tcp = 0,
            uint32_t adresse = KVTNET_ADRESSE_INVALIDE)
{
    return quorvel_dns_examine(d.data(), d.size(), tcp, r, capacite, adresse, adresse == KVTNET_ADRESSE_INVALIDE ? 0 : htons(5353));
}

class QuorvelDnsExamen : public ::testing::Test {
protected:
    std::string dossier;

    void SetUp() override
    {
        char modele[] = "/tmp/qvdnsx.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(modele));
        dossier = modele;
        std::ofstream(dossier + "/liste.txt") << "ads.example\n";
        std::ofstream(dossier + "/quorvel.conf") << "[DNS]\nDNSBlockAds=y\nDNSQueryLog=y\n[HTTP_FTP]\nAdHostsFile="
                                                 << dossier << "/liste.txt\n";
        ASSERT_EQ(0, kvtcfg_init((dossier + "/quorvel.conf").c_str()));
        regle_blocage(0);
        regle_journal(0);
    }

    void TearDown() override
    {
        regle_blocage(0);
        regle_journal(0);
        if (quorvel_dns_cache *c = quorvel_dns_antememoire.exchange(nullptr)) quorvel_dns_cache_detruit(c);
        std::filesystem::remove_all(dossier);
    }
};

TEST_F(QuorvelDnsExamen, EverySwitchOffForwardsEveryDatagramUnread)
{
    unsigned char r[QUORVEL_DNS_EXAMEN_REPONSE];
    for (const Octets &d : {pointeur_vers("ads.example"), requete("ads.example"), Octets{1, 2, 3}})
        EXPECT_EQ(0, examine(d, r));
}

TEST_F(QuorvelDnsExamen, WhatIsAnsweredFormerrAndWhatGoesOn)
{
    quorvel_dns_blocage_lit();
    ASSERT_EQ(1, quorvel_dns_reglages_courants().blocage);
    const Octets bon = requete("www.example");
    Octets long_label = requete(std::string(64, 'a') + ".example");
    Octets long_nom = requete(std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                              std::string(62, 'd'));  // 256 bytes on the wire
    Octets coupe(bon.begin(), bon.end() - 3);
    Octets deux = avec(bon, 5, 2);
    Octets point = requete("www.example");
    point[13] = '.';  // "w.w" as one label
    struct {
        const char *quoi;
        Octets d;
        int attendu;  // 1 FORMERR, 3 NXDOMAIN, 0 forwarded
    } cas[] = {
        {"a pointer to a listed name", pointeur_vers("ads.example"), 1},
        {"a label of 64 bytes", long_label, 1},
        {"a name of 256 bytes", long_nom, 1},
        {"a question cut short", coupe, 1},
        {"two questions", deux, 1},
        {"no question", avec(bon, 5, 0), 0},
        {"a dot inside a label", point, 0},
        {"an answer (QR set)", avec(bon, 2, 0x81), 0},
        {"opcode 4 (notify)", avec(bon, 2, 0x21), 0},
        {"a header cut short", Octets(bon.begin(), bon.begin() + 11), 0},
        {"a listed name", requete("x.ADS.example"), 3},
        {"a plain query", bon, 0},
    };
    for (const auto &c : cas) {
        unsigned char r[QUORVEL_DNS_EXAMEN_REPONSE];
        const int l = examine(c.d, r);
        if (c.attendu == 0) {
            EXPECT_EQ(0, l) << c.quoi;
            continue;
        }
        ASSERT_GE(l, 12) << c.quoi;
        EXPECT_EQ(c.d[0], r[0]) << c.quoi;
        EXPECT_EQ(c.d[1], r[1]) << c.quoi;
        EXPECT_EQ(0x81, r[2]) << c.quoi;  // QR, RD as asked
        EXPECT_EQ(0x80 | c.attendu, r[3]) << c.quoi;
        if (c.attendu == 1) {
            EXPECT_EQ(12, l) << c.quoi;
            for (int i = 4; i < 12; ++i) EXPECT_EQ(0, r[i]) << c.quoi << " count byte " << i;
        }
    }
}

// The cache alone turns reading on; the block list comes first, so a name
// listed after its answer was kept is never served from the cache.
TEST_F(QuorvelDnsExamen, CacheAnswersAfterTheBlockList)
{
    quorvel_dns_cache *c = quorvel_dns_cache_cree(8, 0);
    ASSERT_NE(nullptr, c);
    quorvel_dns_antememoire.store(c);
    unsigned char r[QUORVEL_DNS_EXAMEN_REPONSE];
    EXPECT_EQ(12, examine(pointeur_vers("www.example"), r)) << "FORMERR with the cache alone";
    for (const char *nom : {"www.example", "ads.example"}) {
        const Octets q = requete(nom);
        EXPECT_EQ(0, examine(q, r)) << nom << ": a miss";
        const Octets rep = reponse(nom, 1, 0, {rr_a(100)});
        ASSERT_EQ(1, quorvel_dns_cache_garde_requete(c, q.data(), q.size(), rep.data(), rep.size(),
                                                     kvtthread_maintenant_s()));
        EXPECT_EQ(static_cast<int>(rep.size()), examine(q, r)) << nom << ": a hit";
    }
    EXPECT_EQ(0, examine(requete("www.example"), r, 512)) << "no room for a cached answer: forwarded";
    quorvel_dns_blocage_lit();
    const Octets q = requete("ads.example");
    EXPECT_EQ(static_cast<int>(q.size()), examine(q, r));
    EXPECT_EQ(0x83, r[3]) << "NXDOMAIN, not the cached answer";
}

// The query log: one line per query read, with its status; `name=- type=-`
// for FORMERR.
TEST_F(QuorvelDnsExamen, QueryLogLines)
{
    ASSERT_EQ(0, kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()));
    ASSERT_EQ(0, kvtlog_acces_ouvre((dossier + "/acces.log").c_str()));
    quorvel_dns_journal_lit();
    quorvel_dns_blocage_lit();
    quorvel_dns_cache *c = quorvel_dns_cache_cree(8, 0);
    ASSERT_NE(nullptr, c);
    quorvel_dns_antememoire.store(c);
    const uint32_t client = 0x0100007F;
    unsigned char r[QUORVEL_DNS_EXAMEN_REPONSE];
    EXPECT_EQ(12, examine(pointeur_vers("ads.example"), r, sizeof r, 0, client));
    EXPECT_EQ(0, examine(requete("www.example"), r, sizeof r, 0, client));
    const Octets q = requete("www.example", 28);
    const Octets rep = reponse("www.example", 28, 0, {rr_a(100)});
    ASSERT_EQ(1, quorvel_dns_cache_garde_requete(c, q.data(), q.size(), rep.data(), rep.size(), kvtthread_maintenant_s()));
    EXPECT_LT(0, examine(q, r, sizeof r, 1, client));
    EXPECT_LT(0, examine(requete("ads.example"), r, sizeof r, 0, client));
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    std::string tout;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        std::ifstream f(dossier + "/acces.log");
        tout.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        if (tout.find("status=blocked") != std::string::npos || std::chrono::steady_clock::now() > limite) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const char *ligne : {" dns client=127.0.0.1:5353 name=- type=- status=formerr\n",
                              " dns client=127.0.0.1:5353 name=www.example type=A status=forwarded\n",
                              " dns client=127.0.0.1:5353 name=www.example type=AAAA status=cached\n",
                              " dns client=127.0.0.1:5353 name=ads.example type=A status=blocked\n"})
        EXPECT_NE(std::string::npos, tout.find(ligne)) << ligne << tout;
    EXPECT_EQ(std::string::npos, tout.find("ads.example type=A status=f")) << "the smuggled name is not logged";
    kvtlog_acces_ouvre("");
}

}  // namespace
