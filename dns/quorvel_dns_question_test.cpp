// The question reader and the relay's NXDOMAIN answer: every rejection, the
// answer's exact bytes, and every truncation and one-byte change of a valid
// query (under ASan, an over-read faults at once).
#include "quorvel_dns_question.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_reglages_outils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kvt_interne.h"
#include "kvtlib.h"

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
    regle_blocage(0);
    const Octets d = requete("anything.example");
    unsigned char r[300];
    EXPECT_EQ(0, quorvel_dns_bloque(d.data(), d.size(), r, sizeof r));
}

// A configuration with blocking on and a two-name list, in the scratch
// folder `dossier` (removed by the caller).
void blocage_en_service(std::string &dossier)
{
    char modele[] = "/tmp/qvdnsq.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(modele));
    dossier = modele;
    std::ofstream(dossier + "/liste.txt") << "ads.example\ntrack.example\n";
    std::ofstream(dossier + "/quorvel.conf") << "[DNS]\nDNSBlockAds=y\n[HTTP_FTP]\nAdHostsFile=" << dossier
                                             << "/liste.txt\n";
    ASSERT_EQ(0, kvtcfg_init((dossier + "/quorvel.conf").c_str()));
    quorvel_dns_blocage_lit();
    ASSERT_EQ(1, quorvel_dns_reglages_courants().blocage);
}

TEST(QuorvelDnsQuestion, SwitchedOnListedNamesAndTheirSubdomainsOnly)
{
    std::string dossier;
    blocage_en_service(dossier);
    unsigned char r[300];
    for (const char *nom : {"ads.example", "x.ADS.example", "a.b.track.example"}) {
        const Octets d = requete(nom);
        EXPECT_EQ(static_cast<int>(d.size()), quorvel_dns_bloque(d.data(), d.size(), r, sizeof r)) << nom;
    }
    for (const char *nom : {"example", "badads.example", "ads.example.org"}) {
        const Octets d = requete(nom);
        EXPECT_EQ(0, quorvel_dns_bloque(d.data(), d.size(), r, sizeof r)) << nom;
    }
    Octets deux = requete("ads.example");
    deux[5] = 2;
    EXPECT_EQ(0, quorvel_dns_bloque(deux.data(), deux.size(), r, sizeof r)) << "two questions";
    regle_blocage(0);
    std::filesystem::remove_all(dossier);
}

Octets trame(const Octets &m)
{
    Octets t{static_cast<unsigned char>(m.size() >> 8), static_cast<unsigned char>(m.size())};
    t.insert(t.end(), m.begin(), m.end());
    return t;
}

bool lit_tout(int fd, unsigned char *b, size_t n)
{
    for (size_t lu = 0; lu < n;) {
        const ssize_t r = ::recv(fd, b + lu, n - lu, 0);
        if (r <= 0) return false;
        lu += static_cast<size_t>(r);
    }
    return true;
}

// One message off a stream; empty at its end.
Octets message(int fd)
{
    unsigned char l[2];
    if (!lit_tout(fd, l, 2)) return {};
    Octets m(size_t{l[0]} << 8 | l[1]);
    if (!lit_tout(fd, m.data(), m.size())) return {};
    return m;
}

TEST(QuorvelDnsQuestion, TcpBlockedAnsweredInPlaceTheRestRelayedInOrder)
{
    std::string dossier;
    blocage_en_service(dossier);
    int c[2], a[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, c));
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, a));
    int resultat = -9;
    uint64_t montants = 0, descendants = 0;
    std::thread relais([&] { resultat = quorvel_dns_tcp_filtre(c[1], a[1], 30000, &montants, &descendants); });
    // The upstream: answers each message with its identifier and a marker.
    std::vector<Octets> vus;
    std::thread amont([&] {
        for (Octets m; !(m = message(a[0])).empty();) {
            vus.push_back(m);
            Octets rep = m;
            rep[2] |= 0x80;
            rep.push_back(0xEE);
            const Octets t = trame(rep);
            (void)::send(a[0], t.data(), t.size(), MSG_NOSIGNAL);
        }
    });
    Octets q1 = requete("www.example"), q2 = requete("x.ads.example"), q3 = requete("mail.example");
    q1[1] = 1, q2[1] = 2, q3[1] = 3;
    Octets flux = trame(q1);
    for (const Octets *q : {&q2, &q3}) {
        const Octets t = trame(*q);
        flux.insert(flux.end(), t.begin(), t.end());
    }
    ASSERT_EQ(static_cast<ssize_t>(flux.size()), ::send(c[0], flux.data(), flux.size(), MSG_NOSIGNAL));
    const Octets r1 = message(c[0]), r2 = message(c[0]), r3 = message(c[0]);
    ASSERT_EQ(q1.size() + 1, r1.size());
    EXPECT_EQ(1, r1[1]);
    EXPECT_EQ(0xEE, r1.back());
    ASSERT_EQ(q2.size(), r2.size());
    EXPECT_EQ(2, r2[1]);
    EXPECT_EQ(0x83, r2[3]);  // the relay's NXDOMAIN
    ASSERT_EQ(q3.size() + 1, r3.size());
    EXPECT_EQ(3, r3[1]);
    ::shutdown(c[0], SHUT_WR);
    relais.join();
    EXPECT_EQ(0, resultat);
    // What the access log counts: every byte from and to the client.
    EXPECT_EQ(flux.size(), montants);
    EXPECT_EQ(r1.size() + r2.size() + r3.size() + 6, descendants);
    ::close(a[1]);
    amont.join();
    ASSERT_EQ(2u, vus.size()) << "the blocked query never reached the upstream";
    EXPECT_EQ(q1, vus[0]);
    EXPECT_EQ(q3, vus[1]);
    for (int fd : {c[0], c[1], a[0]}) ::close(fd);
    regle_blocage(0);
    std::filesystem::remove_all(dossier);
}

}  // namespace

// The query log: plain-ASCII names, and at most the bound of lines per
// client address in a minute (the port does not count), then its count.
TEST(QuorvelDnsQuestion, QueryLogEscapesNamesAndIsBoundedPerClient)
{
    char modele[] = "/tmp/qvdnsq.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(modele));
    const std::string dossier = modele;
    std::ofstream(dossier + "/quorvel.conf") << "[DNS]\nDNSQueryLog=yes\n";
    ASSERT_EQ(0, kvtcfg_init((dossier + "/quorvel.conf").c_str()));
    ASSERT_EQ(0, kvtlog_init("q.log", "e.log"));
    ASSERT_EQ(0, kvtlog_acces_ouvre("acces.log"));
    regle_blocage(0);
    quorvel_dns_journal_lit();
    kvtlog_client_regle_essai(1000, 60000);
    unsigned char r[300];
    const Octets drole = requete("a\xc3\xa9=\x1b[31m\x7f.example");
    EXPECT_EQ(0, quorvel_dns_bloque(drole.data(), drole.size(), r, sizeof r, htonl(0x0A000001), htons(1111)));
    const Octets d = requete("www.example");
    for (int i = 0; i < 1100; ++i)
        quorvel_dns_bloque(d.data(), d.size(), r, sizeof r, htonl(0x0A000002), htons(static_cast<uint16_t>(2000 + i)));
    kvtlog_client_regle_essai(1000, 1);  // the minute ends: its count is written
    ASSERT_EQ(0, kvtlog_acces_vide(60000));
    std::string tout;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        std::ifstream f(dossier + "/acces.log");
        tout.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        if (tout.find("status=not-logged") != std::string::npos || std::chrono::steady_clock::now() > limite) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(std::string::npos, tout.find(" dns client=10.0.0.1:1111 name=a????[31m?.example type=A status=forwarded\n"))
        << tout.substr(0, 300);
    size_t n = 0;
    for (size_t p = 0; (p = tout.find(" dns client=10.0.0.2:", p)) != std::string::npos; ++p) ++n;
    EXPECT_EQ(1000u, n);
    EXPECT_NE(std::string::npos, tout.find(" dns client=10.0.0.2 status=not-logged count=100\n"));
    kvtlog_acces_ouvre("");
    kvtlog_client_regle_essai(0, 0);
    regle_journal(0);
    std::filesystem::remove_all(dossier);
}
