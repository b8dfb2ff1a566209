// The message reader: header, question and its text, the fate of each kind
// of query, the FORMERR bytes, the record walk with its compression and OPT
// rules, and every truncation and one-byte change of valid queries and
// answers (each in a buffer of its exact size: under ASan an over-read
// faults at once).
#include "quorvel_dns_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvel_dns_message_outils.h"

namespace {

TEST(QuorvelDnsMessage, HeaderFields)
{
    const Octets d = {0xAB, 0xCD, 0x85, 0xA3, 0, 1, 0, 2, 0, 3, 1, 4};
    quorvel_dns_msg_entete e;
    ASSERT_EQ(0, quorvel_dns_msg_entete_lit(d.data(), d.size(), &e));
    EXPECT_EQ(0xABCD, e.id);
    EXPECT_EQ(0x85A3, e.drapeaux);
    EXPECT_EQ(0u, quorvel_dns_msg_opcode(&e));
    EXPECT_EQ(3u, quorvel_dns_msg_rcode(&e));
    EXPECT_EQ(1, e.nb_questions);
    EXPECT_EQ(2, e.nb_reponses);
    EXPECT_EQ(3, e.nb_autorite);
    EXPECT_EQ(260, e.nb_additionnels);
    EXPECT_EQ(-1, quorvel_dns_msg_entete_lit(d.data(), 11, &e));
}

TEST(QuorvelDnsMessage, QuestionTextWireFormAndLimits)
{
    quorvel_dns_msg_question q;
    Octets d = requete("Ads.Example.COM", 28);
    ASSERT_EQ(0, quorvel_dns_msg_question_lit(d.data(), d.size(), &q));
    EXPECT_STREQ("Ads.Example.COM", q.texte);  // case as written: the query log shows it so
    EXPECT_EQ(15u, q.longueur);
    EXPECT_EQ(1, q.texte_fidele);
    EXPECT_EQ(12u + 17, q.nom_fin);
    EXPECT_EQ(12u + 17 + 4, q.fin);
    EXPECT_EQ(28, q.type);
    EXPECT_EQ(1, q.classe);

    d = requete("");
    ASSERT_EQ(0, quorvel_dns_msg_question_lit(d.data(), d.size(), &q));
    EXPECT_STREQ("", q.texte);
    EXPECT_EQ(17u, q.fin);

    // A dot or a NUL inside a label: read, but no faithful text.
    for (unsigned char c : {'.', '\0'}) {
        d = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a', c, 'b', 0, 0, 1, 0, 1};
        ASSERT_EQ(0, quorvel_dns_msg_question_lit(d.data(), d.size(), &q)) << int{c};
        EXPECT_EQ(0, q.texte_fidele);
        EXPECT_STREQ("", q.texte);
        EXPECT_EQ(17u, q.nom_fin);
    }

    // 255 wire bytes at most: labels of 63, 63, 63 and 61 (253 as text).
    const std::string l63(63, 'y');
    const std::string le_plus = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'z');
    d = requete(le_plus);
    ASSERT_EQ(0, quorvel_dns_msg_question_lit(d.data(), d.size(), &q));
    EXPECT_EQ(253u, q.longueur);
    EXPECT_EQ(le_plus, q.texte);
    d = requete(le_plus + "z");
    EXPECT_EQ(-1, quorvel_dns_msg_question_lit(d.data(), d.size(), &q)) << "256-byte name";
    d = requete(std::string(63, 'x') + ".example");
    EXPECT_EQ(0, quorvel_dns_msg_question_lit(d.data(), d.size(), &q)) << "63-byte label";
    d = requete(std::string(64, 'x') + ".example");
    EXPECT_EQ(-1, quorvel_dns_msg_question_lit(d.data(), d.size(), &q)) << "64-byte label";
    for (unsigned char t : {0xC0, 0x40, 0x80}) {
        d = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', t, 12, 0, 1, 0, 1};
        EXPECT_EQ(-1, quorvel_dns_msg_question_lit(d.data(), d.size(), &q)) << "label byte " << int{t};
    }
}

TEST(QuorvelDnsMessage, WhatBecomesOfEachQuery)
{
    const Octets bon = requete("www.example");
    Octets pointeur = entete(0x1234, 0x0100, 1, 0, 0, 0);
    pointeur.insert(pointeur.end(), {0xC0, 0x0C, 0, 1, 0, 1});
    Octets coupee = bon;
    coupee.resize(coupee.size() - 2);
    Octets deux = bon;
    deux[5] = 2;
    Octets aucune = entete(0x1234, 0x0100, 0, 0, 0, 1);
    ajoute_rr(aucune, rr_opt(1232, false, {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}));  // a cookie alone
    Octets reponse_qr = bon;
    reponse_qr[2] |= 0x80;
    Octets notify = bon;
    notify[2] = 4 << 3;
    Octets point = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a', '.', 'b', 0, 0, 1, 0, 1};
    struct Cas {
        const char *quoi;
        Octets d;
        int attendu;
    } cas[] = {
        {"one plain question", bon, QUORVEL_DNS_MSG_LUE},
        {"a dot inside a label", point, QUORVEL_DNS_MSG_LUE},
        {"name as a compression pointer", pointeur, QUORVEL_DNS_MSG_FORMERR},
        {"label over 63", requete(std::string(64, 'x')), QUORVEL_DNS_MSG_FORMERR},
        {"name over 255", requete(std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                  "." + std::string(62, 'd')),
         QUORVEL_DNS_MSG_FORMERR},
        {"question cut short", coupee, QUORVEL_DNS_MSG_FORMERR},
        {"two questions", deux, QUORVEL_DNS_MSG_FORMERR},
        {"no question (cookie)", aucune, QUORVEL_DNS_MSG_TRANSMET},
        {"an answer", reponse_qr, QUORVEL_DNS_MSG_TRANSMET},
        {"opcode 4", notify, QUORVEL_DNS_MSG_TRANSMET},
        {"shorter than a header", Octets(bon.begin(), bon.begin() + 11), QUORVEL_DNS_MSG_TRANSMET},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        quorvel_dns_msg_question q;
        EXPECT_EQ(c.attendu, quorvel_dns_msg_classe(c.d.data(), c.d.size(), &q));
    }
}

TEST(QuorvelDnsMessage, SameQuestion)
{
    const Octets q = requete("Www.Example", 28, 1232);
    Octets deux = reponse("www.example", 28, 0, {});
    deux[5] = 2;
    Octets ch = reponse("www.example", 28, 0, {});
    ch[12 + 13 + 3] = 3;
    struct Cas {
        const char *quoi;
        Octets r;
        int attendu;
    } cas[] = {
        {"other letter case", reponse("wWW.EXAMPLE", 28, 0, {rr_a(60)}), 1},
        {"other type", reponse("www.example", 1, 0, {}), 0},
        {"other class", ch, 0},
        {"longer name", reponse("www.example.net", 28, 0, {}), 0},
        {"other label split", reponse("ww.wexample", 28, 0, {}), 0},
        {"two questions", deux, 0},
        {"cut short", Octets(q.begin(), q.begin() + 20), 0},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        EXPECT_EQ(c.attendu, quorvel_dns_msg_meme_question(q.data(), q.size(), c.r.data(), c.r.size()));
        EXPECT_EQ(c.attendu, quorvel_dns_msg_meme_question(c.r.data(), c.r.size(), q.data(), q.size()));
    }
}

TEST(QuorvelDnsMessage, FormerrBytes)
{
    Octets d = requete("x.example", 1, 1232);
    d[3] = 0x30;  // AD, CD asked: not carried over
    unsigned char r[16];
    ASSERT_EQ(12, quorvel_dns_msg_formerr(d.data(), d.size(), r, sizeof r));
    EXPECT_EQ(Octets({0x12, 0x34, 0x81, 0x81, 0, 0, 0, 0, 0, 0, 0, 0}), Octets(r, r + 12));
    d[2] = 0x00;  // RD clear stays clear
    ASSERT_EQ(12, quorvel_dns_msg_formerr(d.data(), d.size(), r, sizeof r));
    EXPECT_EQ(0x80, r[2]);
    EXPECT_EQ(0x81, r[3]);
    EXPECT_EQ(-1, quorvel_dns_msg_formerr(d.data(), 11, r, sizeof r));
    EXPECT_EQ(-1, quorvel_dns_msg_formerr(d.data(), d.size(), r, 11));
}

// An answer with every kind of record the cache reads: a CNAME then an A in
// the answer section, an SOA in authority, an A with a written-out name and
// an OPT in additional.
Octets reponse_complete()
{
    Rr glue = rr_a(50, 9);
    glue.nom = nom_fil("ns.example");
    return reponse("www.example", 1, 0, {rr_cname(300, "web.example"), rr_a(120)}, {rr_soa(900, 60)},
                   {glue, rr_opt(1232, true)});
}

TEST(QuorvelDnsMessage, WalkFindsTtlsSoaAndOpt)
{
    const Octets d = reponse_complete();
    quorvel_dns_msg_resume r;
    uint16_t ttl[8];
    size_t nb = 0;
    ASSERT_EQ(0, quorvel_dns_msg_parcourt(d.data(), d.size(), &r, ttl, 8, &nb));
    EXPECT_EQ(d.size(), r.fin);
    EXPECT_EQ(12u + 13 + 4, r.fin_questions);
    EXPECT_EQ(50u, r.ttl_min);
    EXPECT_EQ(1, r.soa);
    EXPECT_EQ(900u, r.soa_ttl);
    EXPECT_EQ(60u, r.soa_minimum);
    EXPECT_EQ(1, r.opt);
    EXPECT_EQ(1232, r.opt_taille);
    EXPECT_EQ(1, r.opt_do);
    EXPECT_EQ(1, r.opt_dernier);
    EXPECT_EQ(0, r.tsig);
    ASSERT_EQ(4u, nb) << "every record but OPT";
    const uint32_t attendus[] = {300, 120, 900, 50};
    for (size_t i = 0; i < nb; ++i) EXPECT_EQ(attendus[i], quorvel_dns_msg_u32(d.data() + ttl[i])) << i;
    EXPECT_EQ(-1, quorvel_dns_msg_parcourt(d.data(), d.size(), &r, ttl, 3, &nb)) << "more TTLs than room";

    // A TTL with its top bit set counts as 0.
    const Octets haut = reponse("a.example", 1, 0, {rr_a(0x80000010u), rr_a(30)});
    ASSERT_EQ(0, quorvel_dns_msg_parcourt(haut.data(), haut.size(), &r, nullptr, 0, nullptr));
    EXPECT_EQ(0u, r.ttl_min);
}

TEST(QuorvelDnsMessage, WalkRejectsMalformedRecords)
{
    const Octets soa_court = [] {
        Rr s = rr_soa(60, 60);
        s.donnees.pop_back();
        return reponse("a.example", 1, 3, {}, {s});
    }();
    Rr soi = rr_a(60);
    soi.nom = {0xC0, 27};  // the record's own offset: a pointer to itself
    Rr en_avant = rr_a(60);
    en_avant.nom = {0xC0, 40};
    Rr en_tete = rr_a(60);
    en_tete.nom = {0xC0, 2};
    Rr opt_nomme = rr_opt(1232);
    opt_nomme.nom = vers_question();
    Octets compte_en_trop = reponse("a.example", 1, 0, {rr_a(60)});
    compte_en_trop[7] = 2;
    Octets donnees_longues = reponse("a.example", 1, 0, {rr_a(60)});
    donnees_longues[donnees_longues.size() - 5] = 5;  // RDLENGTH 5, 4 bytes follow
    struct Cas {
        const char *quoi;
        Octets d;
    } cas[] = {
        {"pointer to itself", reponse("a.example", 1, 0, {soi})},
        {"pointer forwards", reponse("a.example", 1, 0, {en_avant, rr_a(1)})},
        {"pointer into the header", reponse("a.example", 1, 0, {en_tete})},
        {"two OPT records", reponse("a.example", 1, 0, {rr_a(60)}, {}, {rr_opt(512), rr_opt(512)})},
        {"OPT in the answer section", reponse("a.example", 1, 0, {rr_opt(512)})},
        {"OPT not owned by the root", reponse("a.example", 1, 0, {rr_a(60)}, {}, {opt_nomme})},
        {"SOA data one byte short", soa_court},
        {"more records counted than present", compte_en_trop},
        {"data past the end", donnees_longues},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        quorvel_dns_msg_resume r;
        EXPECT_EQ(-1, quorvel_dns_msg_parcourt(c.d.data(), c.d.size(), &r, nullptr, 0, nullptr));
    }
}

TEST(QuorvelDnsMessage, PointerChainsAreBounded)
{
    // "a" at 12, then pointers each to the one before: a backward chain of
    // any length is well formed, but only 127 jumps are followed.
    for (int sauts : {1, 127, 128}) {
        SCOPED_TRACE(sauts);
        Octets d = entete(1, 0x8180, 0, 0, 0, 0);
        d.insert(d.end(), {1, 'a', 0});
        size_t precedent = 12;
        for (int k = 0; k < sauts; ++k) {
            const size_t ici = d.size();
            d.insert(d.end(), {static_cast<unsigned char>(0xC0 | precedent >> 8), static_cast<unsigned char>(precedent)});
            precedent = ici;
        }
        const size_t attendu = sauts <= 127 ? d.size() : 0;
        EXPECT_EQ(attendu, quorvel_dns_msg_nom_fin(d.data(), d.size(), precedent));
    }
}

TEST(QuorvelDnsMessage, SureCompressionOnlyPointsToLabelsWrittenBefore)
{
    // "www.example" is at 12 (www) and 16 (example); a CNAME's target
    // "web" + pointer to "example" at 29 + 12 = 41.
    Rr cname = rr_cname(300, "");
    cname.donnees = {3, 'w', 'e', 'b', 0xC0, 16};
    Rr suite = rr_a(60);
    suite.nom = {0xC0, 41};  // the CNAME's target, written in its data
    Rr milieu = rr_a(60);
    milieu.nom = {0xC0, 13};  // inside the label "www"
    Rr ttl = rr_a(60);
    ttl.nom = {0xC0, 35};  // the first record's TTL
    Rr mx{vers_question(), 15, 1, 60, {0, 10, 0xC0, 42}};  // into the A record's address
    Rr mx_sur{vers_question(), 15, 1, 60, {0, 10, 4, 'm', 'a', 'i', 'l', 0xC0, 16}};
    Rr cname_long = cname;
    cname_long.donnees.push_back(0);  // data longer than its name
    struct Cas {
        const char *quoi;
        Octets d;
        int attendu;
    } cas[] = {
        {"question only", requete("www.example"), 1},
        {"CNAME chain", reponse("www.example", 1, 0, {cname, suite}), 1},
        {"SOA and written-out names", reponse_complete(), 1},
        {"MX to a label", reponse("www.example", 15, 0, {mx_sur}), 1},
        {"pointer inside a label", reponse("www.example", 1, 0, {milieu}), 0},
        {"pointer to a TTL", reponse("www.example", 1, 0, {rr_a(60), ttl}), 0},
        {"MX into an address", reponse("www.example", 15, 0, {rr_a(60), mx}), 0},
        {"CNAME data past its name", reponse("www.example", 1, 0, {cname_long}), 0},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        EXPECT_EQ(c.attendu, quorvel_dns_msg_compression_sure(c.d.data(), c.d.size()));
    }
}

// Whatever a message holds, what the reader accepts lies within it.
void verifie_lecture(const Octets &d)
{
    quorvel_dns_msg_question q;
    if (quorvel_dns_msg_question_lit(d.data(), d.size(), &q) == 0) {
        ASSERT_LE(q.fin, d.size());
        ASSERT_LE(q.longueur, 253u);
        ASSERT_EQ(q.longueur, std::char_traits<char>::length(q.texte));
    }
    (void)quorvel_dns_msg_classe(d.data(), d.size(), &q);
    (void)quorvel_dns_msg_compression_sure(d.data(), d.size());
    quorvel_dns_msg_resume r;
    uint16_t ttl[16];
    size_t nb = 0;
    if (quorvel_dns_msg_parcourt(d.data(), d.size(), &r, ttl, 16, &nb) == 0) {
        ASSERT_LE(r.fin, d.size());
        for (size_t i = 0; i < nb; ++i) ASSERT_LE(ttl[i] + 4u, r.fin);
        if (r.opt) {
            ASSERT_LE(r.opt_rdata + r.opt_rdlongueur, r.fin);
        }
    }
}

TEST(QuorvelDnsMessage, EveryTruncationAndByteChange)
{
    const Octets valides[] = {
        requete("www.tracker.example.net", 65),
        requete("Mail.Example", 28, 1232, true, true),
        reponse_complete(),
        reponse("gone.example", 1, 3, {}, {rr_soa(3600, 300)}, {rr_opt(4096, false, {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8})}),
    };
    for (const Octets &bon : valides) {
        quorvel_dns_msg_resume r;
        ASSERT_EQ(0, quorvel_dns_msg_parcourt(bon.data(), bon.size(), &r, nullptr, 0, nullptr));
        ASSERT_EQ(bon.size(), r.fin);
        for (size_t n = 0; n < bon.size(); ++n) {
            const Octets coupe(bon.begin(), bon.begin() + static_cast<long>(n));
            EXPECT_EQ(-1, quorvel_dns_msg_parcourt(coupe.data(), coupe.size(), &r, nullptr, 0, nullptr))
                << "cut at " << n;
            ASSERT_NO_FATAL_FAILURE(verifie_lecture(coupe));
        }
        for (size_t i = 0; i < bon.size(); ++i)
            for (int v = 0; v < 256; ++v) {
                Octets d = bon;
                d[i] = static_cast<unsigned char>(v);
                ASSERT_NO_FATAL_FAILURE(verifie_lecture(d)) << "byte " << i << " = " << v;
            }
    }
}

}  // namespace
