// The answer cache: which answers are kept and for how long, the countdown
// of the TTLs served, negative answers, the key, the least-recently-used
// rule, truncation for UDP clients, emptying, and lookups and stores from
// several threads at once (run under TSan too).
#include "quorvel_dns_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorvel_dns_message_outils.h"

namespace {

using Cache = std::unique_ptr<quorvel_dns_cache, decltype(&quorvel_dns_cache_detruit)>;

Cache cache(unsigned taille, unsigned min_ttl = 0)
{
    return Cache{quorvel_dns_cache_cree(taille, min_ttl), &quorvel_dns_cache_detruit};
}

// Looks `q` up at `t`: the answer given, empty on a miss (or -1 result).
Octets cherche(quorvel_dns_cache *c, const Octets &q, uint32_t t, int tcp = 0)
{
    std::vector<unsigned char> s(QUORVEL_DNS_CACHE_REPONSE_MAX);
    const int n = quorvel_dns_cache_cherche(c, q.data(), q.size(), tcp, s.data(), s.size(), t);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

int garde(quorvel_dns_cache *c, const Octets &q, const Octets &r, uint32_t t)
{
    return quorvel_dns_cache_garde_requete(c, q.data(), q.size(), r.data(), r.size(), t);
}

// The TTLs of every record but OPT, in order.
std::vector<uint32_t> ttls(const Octets &d)
{
    quorvel_dns_msg_resume r;
    uint16_t pos[64];
    size_t nb = 0;
    EXPECT_EQ(0, quorvel_dns_msg_parcourt(d.data(), d.size(), &r, pos, 64, &nb));
    std::vector<uint32_t> v;
    for (size_t i = 0; i < nb; ++i) v.push_back(quorvel_dns_msg_u32(d.data() + pos[i]));
    return v;
}

quorvel_dns_cache_compteurs compteurs(const quorvel_dns_cache *c)
{
    quorvel_dns_cache_compteurs k{};
    quorvel_dns_cache_compte(c, &k);
    return k;
}

TEST(QuorvelDnsCache, SettingValues)
{
    struct Cas {
        const char *texte;
        int resultat;
        unsigned valeur;
    } cas[] = {
        {"", 0, 0},          {"0", 0, 0},   {"5000", 0, 5000}, {"1000000", 0, 1000000}, {"1000001", 1, 1000000},
        {"99999999999999999999999", 1, 1000000}, {"-1", -1, 0}, {"12k", -1, 0},  {" 12", -1, 0},
        {"1.5", -1, 0},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.texte);
        unsigned v = 7;
        EXPECT_EQ(c.resultat, quorvel_dns_cache_nombre(c.texte, QUORVEL_DNS_CACHE_TAILLE_MAX, &v));
        EXPECT_EQ(c.valeur, v);
    }
    unsigned v = 0;
    EXPECT_EQ(1, quorvel_dns_cache_nombre("3601", QUORVEL_DNS_CACHE_MIN_TTL_MAX, &v));
    EXPECT_EQ(3600u, v);
}

TEST(QuorvelDnsCache, HowLongAnAnswerIsKept)
{
    Rr tsig{nom_fil("cle"), 250, 255, 0, {1, 2, 3}};
    Octets gros = reponse("gros.example", 1, 0, {});
    for (int i = 0; i < 260; ++i) ajoute_rr(gros, rr_a(300, static_cast<unsigned char>(i)));
    gros[6] = 260 >> 8, gros[7] = 260 & 0xFF;  // 12 + 18 + 260 * 16 = 4190 bytes
    Octets requete_qr = reponse("a.example", 1, 0, {rr_a(60)});
    requete_qr[2] &= 0x7F;
    Octets chaos = reponse("a.example", 16, 0, {rr_a(60)});
    chaos[12 + 11 + 3] = 3;  // question class CH
    Octets tc = reponse("a.example", 1, 0, {rr_a(60)}, {}, {}, 0x1234, 0x8380);
    Octets notify = reponse("a.example", 1, 0, {rr_a(60)}, {}, {}, 0x1234, 0x8180 | 4 << 11);
    const Rr cookie = rr_opt(1232, false, {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8});
    struct Cas {
        const char *quoi;
        Octets d;
        unsigned min_ttl;
        uint32_t attendu;
    } cas[] = {
        {"positive: smallest TTL", reponse("a.example", 1, 0, {rr_cname(300, "b.example"), rr_a(120)}), 0, 120},
        {"additional records count too", reponse("a.example", 1, 0, {rr_a(120)}, {}, {rr_a(40)}), 0, 40},
        {"least time raises a short one", reponse("a.example", 1, 0, {rr_a(5)}), 60, 60},
        {"least time leaves a longer one", reponse("a.example", 1, 0, {rr_a(300)}), 60, 300},
        {"least time bounded to an hour", reponse("a.example", 1, 0, {rr_a(5)}), 10000, 3600},
        {"a day at most", reponse("a.example", 1, 0, {rr_a(200000)}), 0, 86400},
        {"TTL 0 never, whatever the least time", reponse("a.example", 1, 0, {rr_a(0)}), 60, 0},
        {"top-bit TTL is 0", reponse("a.example", 1, 0, {rr_a(0x80000000u)}), 0, 0},
        {"NXDOMAIN: SOA MINIMUM below its TTL", reponse("x.example", 1, 3, {}, {rr_soa(900, 60)}), 0, 60},
        {"NXDOMAIN: SOA TTL below MINIMUM", reponse("x.example", 1, 3, {}, {rr_soa(30, 600)}), 0, 30},
        {"negative never raised", reponse("x.example", 1, 3, {}, {rr_soa(30, 600)}), 600, 30},
        {"NODATA with SOA", reponse("x.example", 28, 0, {}, {rr_soa(900, 120)}), 0, 120},
        {"NXDOMAIN without SOA", reponse("x.example", 1, 3, {}), 0, 0},
        {"NODATA without SOA", reponse("x.example", 1, 0, {}, {}, {rr_opt(1232)}), 0, 0},
        {"SERVFAIL", reponse("x.example", 1, 2, {}, {rr_soa(900, 60)}), 0, 0},
        {"REFUSED", reponse("x.example", 1, 5, {rr_a(60)}), 0, 0},
        {"extended RCODE in OPT", reponse("a.example", 1, 0, {rr_a(60)}, {}, {rr_opt(1232, false, {}, 1)}), 0, 0},
        {"TC set", tc, 0, 0},
        {"not an answer", requete_qr, 0, 0},
        {"opcode 4", notify, 0, 0},
        {"class CH", chaos, 0, 0},
        {"TSIG", reponse("a.example", 1, 0, {rr_a(60)}, {}, {tsig}), 0, 0},
        {"over 4096 bytes", gros, 0, 0},
        {"OPT options, OPT last", reponse("a.example", 1, 0, {rr_a(60)}, {}, {cookie}), 0, 60},
        {"OPT options, OPT not last", reponse("a.example", 1, 0, {rr_a(60)}, {}, {cookie, rr_a(60)}), 0, 0},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        EXPECT_EQ(c.attendu, quorvel_dns_cache_duree(c.d.data(), c.d.size(), c.min_ttl));
    }
}

TEST(QuorvelDnsCache, TtlsCountDownAndTheEntryEnds)
{
    Cache c = cache(10);
    const Octets q = requete("www.example", 1, 1232, true);
    const Octets r = reponse("www.example", 1, 0, {rr_cname(300, "web.example"), rr_a(120)}, {}, {rr_opt(1232, true)});
    ASSERT_EQ(1, garde(c.get(), q, r, 1000));
    struct Cas {
        uint32_t t;
        std::vector<uint32_t> attendus;  // empty: a miss
    } cas[] = {{1000, {300, 120}}, {1030, {270, 90}}, {1119, {181, 1}}, {1120, {}}, {1000, {}}};
    for (const Cas &k : cas) {
        SCOPED_TRACE(k.t);
        const Octets s = cherche(c.get(), q, k.t);
        if (k.attendus.empty()) {
            EXPECT_TRUE(s.empty());
            continue;
        }
        ASSERT_EQ(r.size(), s.size());
        EXPECT_EQ(k.attendus, ttls(s));
        // The OPT record's TTL field (extended RCODE, version, DO) stays.
        EXPECT_EQ(Octets(r.end() - 6, r.end()), Octets(s.end() - 6, s.end()));
    }
    const quorvel_dns_cache_compteurs k = compteurs(c.get());
    EXPECT_EQ(3u, k.succes);
    EXPECT_EQ(2u, k.echecs);
    EXPECT_EQ(0u, k.entrees) << "the expired entry left at its lookup";

    // Raised by the least time, counting down from it.
    Cache m = cache(10, 60);
    const Octets q2 = requete("court.example");
    ASSERT_EQ(1, garde(m.get(), q2, reponse("court.example", 1, 0, {rr_a(5), rr_a(90, 2)}), 500));
    EXPECT_EQ((std::vector<uint32_t>{60, 90}), ttls(cherche(m.get(), q2, 500)));
    EXPECT_EQ((std::vector<uint32_t>{50, 80}), ttls(cherche(m.get(), q2, 510)));
    EXPECT_TRUE(cherche(m.get(), q2, 560).empty());
}

TEST(QuorvelDnsCache, NegativeAnswers)
{
    Cache c = cache(10, 600);
    const Octets q = requete("absent.example");
    const Octets nx = reponse("absent.example", 1, 3, {}, {rr_soa(900, 60)});
    ASSERT_EQ(1, garde(c.get(), q, nx, 0));
    Octets s = cherche(c.get(), q, 59);
    ASSERT_EQ(nx.size(), s.size());
    EXPECT_EQ(3, s[3] & 0x0F);
    EXPECT_EQ(std::vector<uint32_t>{841}, ttls(s));
    EXPECT_TRUE(cherche(c.get(), q, 60).empty()) << "the least time never lengthens a negative answer";

    const Octets q6 = requete("absent.example", 28);
    ASSERT_EQ(1, garde(c.get(), q6, reponse("absent.example", 28, 0, {}, {rr_soa(30, 600)}), 0));
    EXPECT_FALSE(cherche(c.get(), q6, 29).empty());
    EXPECT_TRUE(cherche(c.get(), q6, 30).empty());

    EXPECT_EQ(0, garde(c.get(), q, reponse("absent.example", 1, 3, {}), 0)) << "no SOA";
    EXPECT_EQ(0, garde(c.get(), q, reponse("absent.example", 1, 2, {}, {rr_soa(900, 60)}), 0)) << "SERVFAIL";
}

TEST(QuorvelDnsCache, TheKey)
{
    Cache c = cache(10);
    const Octets stocke = requete("Www.Example", 1, 0, false, false, 0x1111);
    ASSERT_EQ(1, garde(c.get(), stocke, reponse("Www.Example", 1, 0, {rr_a(300)}, {}, {}, 0x1111), 0));

    // Another client, other letter case and identifier: its own bytes back.
    const Octets autre = requete("wWW.exAMPLE", 1, 0, false, false, 0x2222);
    const Octets s = cherche(c.get(), autre, 10);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(0x22, s[0]);
    EXPECT_EQ(0x22, s[1]);
    EXPECT_EQ(Octets(autre.begin() + 12, autre.end()), Octets(s.begin() + 12, s.begin() + 12 + 17));

    struct Cas {
        const char *quoi;
        Octets q;
    } absents[] = {
        {"with OPT", requete("www.example", 1, 1232)},
        {"with OPT and DO", requete("www.example", 1, 1232, true)},
        {"CD set", requete("www.example", 1, 0, false, true)},
        {"type AAAA", requete("www.example", 28)},
        {"other name", requete("www.example.net")},
    };
    for (const Cas &k : absents) {
        SCOPED_TRACE(k.quoi);
        EXPECT_TRUE(cherche(c.get(), k.q, 10).empty());
    }

    // Each way of asking keeps its own answer.
    const Octets avec_do = requete("www.example", 1, 1232, true);
    ASSERT_EQ(1, garde(c.get(), avec_do, reponse("www.example", 1, 0, {rr_a(300, 7)}, {}, {rr_opt(1232, true)}), 0));
    const Octets sans_do = requete("www.example", 1, 1232);
    EXPECT_TRUE(cherche(c.get(), sans_do, 10).empty());
    EXPECT_EQ(7, cherche(c.get(), avec_do, 10)[12 + 17 + 2 + 10 + 3]);
    EXPECT_EQ(1, cherche(c.get(), autre, 10)[12 + 17 + 2 + 10 + 3]);

    // The question of the answer must be the query's.
    EXPECT_EQ(0, garde(c.get(), requete("a.example"), reponse("b.example", 1, 0, {rr_a(300)}), 0));
    EXPECT_EQ(0, garde(c.get(), requete("a.example", 28), reponse("a.example", 1, 0, {rr_a(300)}), 0));
    // Queries the cache does not answer are neither answered nor counted.
    const uint64_t echecs = compteurs(c.get()).echecs;
    Octets deux = requete("www.example");
    deux[5] = 2;
    Octets ch = requete("www.example");
    ch.back() = 3;
    for (const Octets *q : {&deux, &ch}) {
        std::vector<unsigned char> t(QUORVEL_DNS_CACHE_REPONSE_MAX);
        EXPECT_EQ(-1, quorvel_dns_cache_cherche(c.get(), q->data(), q->size(), 0, t.data(), t.size(), 10));
    }
    std::vector<unsigned char> petit(QUORVEL_DNS_CACHE_REPONSE_MAX - 1);
    EXPECT_EQ(-1, quorvel_dns_cache_cherche(c.get(), autre.data(), autre.size(), 0, petit.data(), petit.size(), 10))
        << "a buffer too small for any kept answer";
    EXPECT_EQ(echecs, compteurs(c.get()).echecs);
}

TEST(QuorvelDnsCache, LeastRecentlyUsedGoesFirst)
{
    Cache c = cache(3);
    auto q = [](const char *n) { return requete(n); };
    auto r = [](const char *n) { return reponse(n, 1, 0, {rr_a(300)}); };
    for (const char *n : {"a.example", "b.example", "c.example"}) ASSERT_EQ(1, garde(c.get(), q(n), r(n), 0));
    ASSERT_FALSE(cherche(c.get(), q("a.example"), 1).empty());  // a is now the most recent
    ASSERT_EQ(1, garde(c.get(), q("d.example"), r("d.example"), 2));
    EXPECT_TRUE(cherche(c.get(), q("b.example"), 3).empty()) << "the least recently used went";
    for (const char *n : {"a.example", "c.example", "d.example"})
        EXPECT_FALSE(cherche(c.get(), q(n), 3).empty()) << n;
    quorvel_dns_cache_compteurs k = compteurs(c.get());
    EXPECT_EQ(1u, k.evictions);
    EXPECT_EQ(3u, k.entrees);

    // A new answer for a held key replaces it: nothing pushed out.
    ASSERT_EQ(1, garde(c.get(), q("c.example"), reponse("c.example", 1, 0, {rr_a(300, 9)}), 4));
    EXPECT_EQ(9, cherche(c.get(), q("c.example"), 4).back());
    k = compteurs(c.get());
    EXPECT_EQ(1u, k.evictions);
    EXPECT_EQ(3u, k.entrees);

    // Emptied by a reload, and a new size taken up; the counters stay.
    ASSERT_EQ(0, quorvel_dns_cache_vide(c.get(), 1, 0));
    EXPECT_EQ(0u, compteurs(c.get()).entrees);
    EXPECT_TRUE(cherche(c.get(), q("a.example"), 5).empty());
    ASSERT_EQ(1, garde(c.get(), q("a.example"), r("a.example"), 5));
    ASSERT_EQ(1, garde(c.get(), q("b.example"), r("b.example"), 5));
    EXPECT_TRUE(cherche(c.get(), q("a.example"), 5).empty());
    EXPECT_EQ(2u, compteurs(c.get()).evictions);
    EXPECT_EQ(nullptr, quorvel_dns_cache_cree(0, 0));
}

TEST(QuorvelDnsCache, TruncatedForUdpClientsWholeOverTcp)
{
    Cache c = cache(10);
    std::vector<Rr> an;
    for (int i = 0; i < 40; ++i) an.push_back(rr_a(300, static_cast<unsigned char>(i)));
    const Octets grande = reponse("big.example", 1, 0, an);  // 12 + 17 + 40 * 16 = 669 bytes
    const Octets avec_opt = reponse("big.example", 1, 0, an, {}, {rr_opt(1232)});
    ASSERT_EQ(1, garde(c.get(), requete("big.example"), grande, 0));
    ASSERT_EQ(1, garde(c.get(), requete("big.example", 1, 1232), avec_opt, 0));

    Octets q = requete("BIG.example", 1, 0, false, false, 0x4321);
    q[2] = 0x00;  // RD clear
    const Octets t = cherche(c.get(), q, 1);
    Octets attendu = q;
    attendu[2] = 0x82;  // QR, TC
    attendu[3] = 0x80;  // RA
    EXPECT_EQ(attendu, t) << "512 bytes without OPT: header and question, TC set";
    EXPECT_EQ(grande.size(), cherche(c.get(), q, 1, 1).size()) << "over TCP";
    EXPECT_EQ(0x80, cherche(c.get(), q, 1, 1)[2]) << "RD as asked";

    EXPECT_EQ(avec_opt.size(), cherche(c.get(), requete("big.example", 1, 1232), 1).size());
    const Octets petite = cherche(c.get(), requete("big.example", 1, 600), 1);
    EXPECT_EQ(12u + 17, petite.size()) << "an OPT size below the answer";
    EXPECT_EQ(0x83, petite[2]);
    EXPECT_EQ(12u + 17, cherche(c.get(), requete("big.example", 1, 100), 1).size()) << "OPT size taken as 512";
}

TEST(QuorvelDnsCache, OptOptionsAreNotServedToOthers)
{
    Cache c = cache(10);
    const Octets q = requete("a.example", 1, 1232);
    const Octets r = reponse("a.example", 1, 0, {rr_a(60)}, {},
                             {rr_opt(1232, false, {0, 10, 0, 16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9, 9, 9, 9, 9})});
    ASSERT_EQ(1, garde(c.get(), q, r, 0));
    const Octets s = cherche(c.get(), q, 0);
    ASSERT_EQ(r.size() - 20, s.size());
    EXPECT_EQ(Octets({0, 0}), Octets(s.end() - 2, s.end())) << "OPT kept, without its options";
    quorvel_dns_msg_resume m;
    ASSERT_EQ(0, quorvel_dns_msg_parcourt(s.data(), s.size(), &m, nullptr, 0, nullptr));
    EXPECT_EQ(1, m.opt);
    EXPECT_EQ(1232, m.opt_taille);

    // Bytes after the last record are not the message's: not kept.
    const Octets q2 = requete("b.example");
    Octets r2 = reponse("b.example", 1, 0, {rr_a(60)});
    const size_t l = r2.size();
    r2.insert(r2.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    ASSERT_EQ(1, garde(c.get(), q2, r2, 0));
    EXPECT_EQ(l, cherche(c.get(), q2, 0).size());
    // Names that read what the cache rewrites: not kept.
    Rr vers_ttl = rr_a(60);
    vers_ttl.nom = {0xC0, 12 + 11 + 4 + 6};  // the TTL of the record before
    EXPECT_EQ(0, garde(c.get(), q2, reponse("b.example", 1, 0, {rr_a(60), vers_ttl}), 0));
}

TEST(QuorvelDnsCache, ThreadsLookUpStoreAndEmptyAtOnce)
{
    Cache c = cache(64);
    std::vector<Octets> q, r;
    for (int i = 0; i < 100; ++i) {
        const std::string n = "n" + std::to_string(i) + ".example";
        q.push_back(requete(n, 1, 0, false, false, static_cast<uint16_t>(i)));
        r.push_back(reponse(n, 1, 0, {rr_a(300, static_cast<unsigned char>(i))}, {}, {},
                            static_cast<uint16_t>(i)));
    }
    std::atomic<int> fautes{0};
    auto travail = [&](int graine) {
        std::vector<unsigned char> s(QUORVEL_DNS_CACHE_REPONSE_MAX);
        for (int k = 0; k < 20000; ++k) {
            const size_t i = static_cast<size_t>(k * 7 + graine) % q.size();
            if (k % 3 == 0) {
                if (garde(c.get(), q[i], r[i], 0) != 1) ++fautes;
                continue;
            }
            const int n = quorvel_dns_cache_cherche(c.get(), q[i].data(), q[i].size(), 0, s.data(), s.size(), 1);
            if (n > 0 && (static_cast<size_t>(n) != r[i].size() || s[1] != i || s[static_cast<size_t>(n) - 1] != i))
                ++fautes;
        }
    };
    std::thread a(travail, 0), b(travail, 1), vidage([&] {
        for (int k = 0; k < 50; ++k) (void)quorvel_dns_cache_vide(c.get(), 64, 0);
    });
    a.join();
    b.join();
    vidage.join();
    EXPECT_EQ(0, fautes.load());
    const quorvel_dns_cache_compteurs k = compteurs(c.get());
    EXPECT_LE(k.entrees, 64u);
    EXPECT_EQ(2u * 20000 - 2u * 6667, k.succes + k.echecs);
}

}  // namespace
