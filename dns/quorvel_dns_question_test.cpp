// The question reader and the relay's NXDOMAIN answer: every rejection, the
// answer's exact bytes, and every truncation and one-byte change of a valid
// query (under ASan, an over-read faults at once).
#include "quorvel_dns_question.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Octets = std::vector<unsigned char>;

// A query for `nom` (dotted) of type `type`, identifier 0x1234, RD set.
Octets requete(const std::string &nom, uint16_t type = 1, unsigned char drapeaux = 0x01)
{
    Octets d{0x12, 0x34, drapeaux, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t debut = 0;
    while (debut < nom.size()) {
        size_t point = nom.find('.', debut);
        if (point == std::string::npos) point = nom.size();
        d.push_back(static_cast<unsigned char>(point - debut));
        d.insert(d.end(), nom.begin() + static_cast<long>(debut), nom.begin() + static_cast<long>(point));
        debut = point + 1;
    }
    d.push_back(0);
    d.insert(d.end(), {static_cast<unsigned char>(type >> 8), static_cast<unsigned char>(type), 0, 1});
    return d;
}

int lit(const Octets &d, quorvel_dns_question *q)
{
    return quorvel_dns_question_lit(d.data(), d.size(), q);
}

TEST(QuorvelDnsQuestion, ReadsNameTypeClassAndEnd)
{
    quorvel_dns_question q;
    Octets d = requete("Ads.Example.COM", 28);
    d.insert(d.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0});  // an OPT record after it is no matter
    d[11] = 1;
    ASSERT_EQ(0, lit(d, &q));
    EXPECT_STREQ("Ads.Example.COM", q.nom);
    EXPECT_EQ(15u, q.longueur);
    EXPECT_EQ(28, q.type);
    EXPECT_EQ(1, q.classe);
    EXPECT_EQ(12u + 17 + 4, q.fin);

    ASSERT_EQ(0, lit(requete(""), &q));  // the root
    EXPECT_STREQ("", q.nom);
    EXPECT_EQ(17u, q.fin);
}

TEST(QuorvelDnsQuestion, RejectsWhatIsNotOnePlainQuestion)
{
    quorvel_dns_question q;
    const Octets bon = requete("a.example");
    ASSERT_EQ(0, lit(bon, &q));

    Octets d = bon;
    d[2] |= 0x80;
    EXPECT_EQ(-1, lit(d, &q)) << "QR set";
    for (unsigned op : {1u, 2u, 4u, 5u, 15u}) {
        d = bon;
        d[2] = static_cast<unsigned char>(op << 3);
        EXPECT_EQ(-1, lit(d, &q)) << "opcode " << op;
    }
    for (unsigned char n : {0, 2}) {
        d = bon;
        d[5] = n;
        EXPECT_EQ(-1, lit(d, &q)) << "QDCOUNT " << int{n};
    }
    d = bon;
    d[4] = 1;
    EXPECT_EQ(-1, lit(d, &q)) << "QDCOUNT 257";

    // A compression pointer, and the reserved label types.
    for (unsigned char t : {0xC0, 0x40, 0x80}) {
        d = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', t, 12, 0, 1, 0, 1};
        EXPECT_EQ(-1, lit(d, &q)) << "label byte " << int{t};
    }
    for (unsigned char c : {'.', '\0'}) {
        d = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a', c, 'b', 0, 0, 1, 0, 1};
        EXPECT_EQ(-1, lit(d, &q)) << "label holding byte " << int{c};
    }
    EXPECT_EQ(0, lit(requete(std::string(63, 'x') + ".example"), &q)) << "63-byte label";
    EXPECT_EQ(-1, lit(requete(std::string(64, 'x') + ".example"), &q)) << "64-byte label";

    // 255 bytes on the wire at most: labels of 63, 63, 63 and 61 bytes take
    // 3 * 64 + 62 + 1 = 255 (253 as text); one byte more is over.
    const std::string l63(63, 'y');
    const std::string le_plus = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'z');
    ASSERT_EQ(0, lit(requete(le_plus), &q));
    EXPECT_EQ(253u, q.longueur);
    EXPECT_EQ(-1, lit(requete(le_plus + "z"), &q)) << "256-byte name";

    EXPECT_EQ(-1, lit(Octets(bon.begin(), bon.begin() + 11), &q)) << "short header";
    EXPECT_EQ(-1, quorvel_dns_question_lit(nullptr, 0, &q));
}

TEST(QuorvelDnsQuestion, NxdomainBytes)
{
    quorvel_dns_question q;
    Octets d = requete("x.ads.example", 1, 0x01);
    d[11] = 1;                                                // an AR count ...
    d.insert(d.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0});  // ... and its OPT record
    ASSERT_EQ(0, lit(d, &q));
    unsigned char r[300];
    ASSERT_EQ(static_cast<int>(q.fin), quorvel_dns_nxdomain(d.data(), q.fin, r, sizeof r));
    Octets attendu = requete("x.ads.example");
    attendu[2] = 0x81;  // QR, RD
    attendu[3] = 0x83;  // RA, NXDOMAIN
    EXPECT_EQ(attendu, Octets(r, r + q.fin));

    d[2] = 0x00;  // RD clear stays clear; the other flags the client set do not pass
    d[3] = 0x30;
    ASSERT_EQ(0, lit(d, &q));
    ASSERT_EQ(static_cast<int>(q.fin), quorvel_dns_nxdomain(d.data(), q.fin, r, sizeof r));
    EXPECT_EQ(0x80, r[2]);
    EXPECT_EQ(0x83, r[3]);
    EXPECT_EQ(-1, quorvel_dns_nxdomain(d.data(), q.fin, r, q.fin - 1));
}

TEST(QuorvelDnsQuestion, EveryTruncationAndByteChange)
{
    const Octets bon = requete("www.tracker.example.net", 65);
    quorvel_dns_question q;
    for (size_t n = 0; n < bon.size(); ++n) {
        // Each cut copied to a buffer of its exact size: ASan sees any read past it.
        Octets coupe(bon.begin(), bon.begin() + static_cast<long>(n));
        EXPECT_EQ(-1, lit(coupe, &q)) << "cut at " << n;
    }
    unsigned char r[300];
    for (size_t i = 0; i < bon.size(); ++i)
        for (int v = 0; v < 256; ++v) {
            Octets d = bon;
            d[i] = static_cast<unsigned char>(v);
            if (lit(d, &q) == 0) {
                ASSERT_LE(q.fin, d.size());
                ASSERT_LE(q.longueur, 253u);
                ASSERT_EQ(static_cast<int>(q.fin), quorvel_dns_nxdomain(d.data(), q.fin, r, sizeof r));
            }
        }
}

TEST(QuorvelDnsQuestion, SwitchedOffNothingIsBlocked)
{
    quorvel_dns_blocage.store(0);
    const Octets d = requete("anything.example");
    unsigned char r[300];
    EXPECT_EQ(0, quorvel_dns_bloque(d.data(), d.size(), r, sizeof r));
}

}  // namespace
