// DNS over TCP on loopback: the message framing, the two-way relay with its
// idle limit, and the accept side (allowed, refused, over the cap) against
// an echoing upstream at 127.0.0.2 on one ephemeral port that stands in for
// port 53 (so no root is needed).
#include "quorvel_dns_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvt_interne.h"
#include "kvt_raii.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_message_outils.h"
#include "quorvel_dns_reglages_outils.h"
#include "quorvel_dns_question.h"
#include "quorvel_ip_mask.h"

namespace {

using horloge = std::chrono::steady_clock;

uint32_t ip(const char *texte)
{
    in_addr a{};
    EXPECT_EQ(1, inet_pton(AF_INET, texte, &a)) << texte;
    return a.s_addr;
}

sockaddr_in nom(int s)
{
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &l);
    return sa;
}

int ecoute_tcp(const char *adresse, uint16_t port_reseau)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port_reseau;
    sa.sin_addr.s_addr = ip(adresse);
    if (::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s, 128) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

int connecte(const char *source, sockaddr_in vers)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in de{};
    de.sin_family = AF_INET;
    de.sin_addr.s_addr = ip(source);
    if (::bind(s, reinterpret_cast<sockaddr *>(&de), sizeof de) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr *>(&vers), sizeof vers) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A connected loopback TCP pair: a <-> b.
void paire(kvt_fd &a, kvt_fd &b)
{
    kvt_fd l{ecoute_tcp("127.0.0.1", 0)};
    ASSERT_TRUE(l);
    a.fd = connecte("127.0.0.1", nom(l.fd));
    b.fd = ::accept(l.fd, nullptr, nullptr);
    ASSERT_TRUE(a && b);
}

// One DNS-over-TCP message: the 2-byte length, then `taille` bytes that
// start with the 16-bit identifier `id` and depend on it.
std::string message(uint16_t id, size_t taille)
{
    std::string m(taille + 2, '\0');
    m[0] = static_cast<char>(taille >> 8);
    m[1] = static_cast<char>(taille & 0xFF);
    for (size_t i = 0; i < taille; ++i) m[2 + i] = static_cast<char>((id * 31 + i * 7) & 0xFF);
    if (taille >= 2) {
        m[2] = static_cast<char>(id >> 8);
        m[3] = static_cast<char>(id & 0xFF);
    }
    return m;
}

void envoie_tout(int s, const std::string &o)
{
    ASSERT_EQ(static_cast<int>(o.size()), kvtnet_envoie(s, o.data(), static_cast<int>(o.size())));
}

// Reads until `n` bytes or the end of the stream, 10 s at most.
std::string lit(int s, size_t n)
{
    std::string r;
    char b[65536];
    const auto fin = horloge::now() + std::chrono::seconds(10);
    while (r.size() < n && horloge::now() < fin) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 200) < 1) continue;
        const ssize_t k = ::read(s, b, std::min(sizeof b, n - r.size()));
        if (k <= 0) break;
        r.append(b, static_cast<size_t>(k));
    }
    return r;
}

// True when the peer has ended the stream (or reset it) within 10 s.
bool ferme_par_le_pair(int s)
{
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 10000) < 1) return false;
    char c;
    return ::read(s, &c, 1) <= 0;
}

// Equal streams, or where they part: never the whole bytes in the report.
::testing::AssertionResult memes(const std::string &attendu, const std::string &recu)
{
    if (attendu == recu) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < attendu.size() && i < recu.size() && attendu[i] == recu[i]) ++i;
    return ::testing::AssertionFailure() << "expected " << attendu.size() << " bytes, got " << recu.size()
                                         << ", first difference at byte " << i;
}

}  // namespace

TEST(QuorvelDnsTcpTrame, MessagesCountedAcrossReads)
{
    const std::string deux = message(1, 12) + message(2, 300);
    struct {
        const char *cas;
        std::vector<size_t> coupes;  // bytes handed over per call
        std::vector<int> attendus;   // messages completed per call
    } cas[] = {
        {"two messages in one read", {deux.size()}, {2}},
        {"byte by byte", std::vector<size_t>(deux.size(), 1), {}},
        {"length split from its message", {1, 1, 12, 1, 301}, {0, 0, 1, 0, 1}},
        {"cut inside the second length", {15, 301}, {1, 1}},
        {"one byte short", {deux.size() - 1, 1}, {1, 1}},
    };
    for (auto &c : cas) {
        SCOPED_TRACE(c.cas);
        quorvel_dns_trame t{};
        const auto *o = reinterpret_cast<const unsigned char *>(deux.data());
        size_t pos = 0;
        int total = 0;
        for (size_t i = 0; i < c.coupes.size(); ++i) {
            const int n = quorvel_dns_tcp_messages(&t, o + pos, c.coupes[i]);
            if (!c.attendus.empty()) {
                EXPECT_EQ(c.attendus[i], n) << "call " << i;
            }
            total += n;
            pos += c.coupes[i];
        }
        EXPECT_EQ(2, total);
        EXPECT_EQ(0u, t.etat);
    }
    // A zero length is framing, not a message; the largest length is whole.
    quorvel_dns_trame t{};
    const unsigned char zero[] = {0, 0, 0, 0};
    EXPECT_EQ(0, quorvel_dns_tcp_messages(&t, zero, sizeof zero));
    const std::string grand = message(3, 65535);
    EXPECT_EQ(0, quorvel_dns_tcp_messages(&t, reinterpret_cast<const unsigned char *>(grand.data()), grand.size() - 1));
    EXPECT_EQ(1, quorvel_dns_tcp_messages(&t, reinterpret_cast<const unsigned char *>(grand.data()) + grand.size() - 1, 1));
}

// client <-> relay <-> upstream, the relay on a thread of the test.
struct Relais {
    kvt_fd client, relais_client, relais_amont, amont;
    std::thread fil;
    std::atomic<int> resultat{99};
    std::atomic<bool> fini{false};
    void demarre(int delai_ms)
    {
        paire(client, relais_client);
        paire(relais_amont, amont);
        fil = std::thread([this, delai_ms] {
            resultat = quorvel_dns_tcp_relais(relais_client.fd, relais_amont.fd, delai_ms);
            fini = true;
        });
    }
    ~Relais()
    {
        if (client) ::shutdown(client.fd, SHUT_RDWR);
        if (amont) ::shutdown(amont.fd, SHUT_RDWR);
        if (fil.joinable()) fil.join();
    }
};

// Pipelined queries with answers of every size, both ways at once: every
// answer arrives whole and in order, the largest (65,535 bytes) included.
TEST(QuorvelDnsTcpRelais, PipelinedMessagesBothWaysInOrder)
{
    Relais r;
    r.demarre(10000);
    std::string requetes, reponses;
    for (uint16_t id = 1; id <= 20; ++id) requetes += message(id, 30 + id);
    for (uint16_t id = 1; id <= 20; ++id) reponses += message(id, id == 7 ? 65535 : 100 * id);
    // The upstream reads the queries while it sends the answers.
    std::string recu_amont;
    std::thread amont([&] {
        std::thread lecteur([&] { recu_amont = lit(r.amont.fd, requetes.size()); });
        envoie_tout(r.amont.fd, reponses);
        lecteur.join();
    });
    envoie_tout(r.client.fd, requetes);
    EXPECT_TRUE(memes(reponses, lit(r.client.fd, reponses.size())));
    amont.join();
    EXPECT_TRUE(memes(requetes, recu_amont));
    EXPECT_FALSE(r.fini);
}

// The client half-closes after its queries: the upstream sees the end once
// it has them all, its answers still come back, and its close ends the relay.
TEST(QuorvelDnsTcpRelais, HalfCloseAnswersStillComeBack)
{
    Relais r;
    r.demarre(10000);
    const std::string q = message(1, 40) + message(2, 40);
    envoie_tout(r.client.fd, q);
    ::shutdown(r.client.fd, SHUT_WR);
    EXPECT_TRUE(memes(q, lit(r.amont.fd, q.size())));
    EXPECT_TRUE(ferme_par_le_pair(r.amont.fd));  // then the end of the stream
    const std::string a = message(1, 5000) + message(2, 7000);
    envoie_tout(r.amont.fd, a);
    ::close(r.amont.release());
    EXPECT_TRUE(memes(a, lit(r.client.fd, a.size())));
    r.fil.join();
    EXPECT_EQ(0, r.resultat);
}

// The client half-closes after its query; the upstream then sends more than
// every buffer on the way holds and closes too, while the client has not
// read yet: the upstream's socket is hung up both ways with bytes still to
// come, and all of them still reach the client.
TEST(QuorvelDnsTcpRelais, UpstreamCloseLeavesNothingBehind)
{
    Relais r;
    r.demarre(10000);
    const std::string q = message(1, 40);
    envoie_tout(r.client.fd, q);
    ::shutdown(r.client.fd, SHUT_WR);
    std::string a;
    for (uint16_t id = 0; a.size() < 4 * 1024 * 1024; ++id) a += message(id, 65535);
    std::thread amont([&] {
        EXPECT_TRUE(memes(q, lit(r.amont.fd, q.size())));
        EXPECT_TRUE(ferme_par_le_pair(r.amont.fd));
        envoie_tout(r.amont.fd, a);
        ::shutdown(r.amont.fd, SHUT_RDWR);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the buffers fill
    EXPECT_TRUE(memes(a, lit(r.client.fd, a.size())));
    amont.join();
    r.fil.join();
    EXPECT_EQ(0, r.resultat);
}

// The idle limit counts complete messages from the client only: a partial
// message or answers from the upstream do not keep the connection.
TEST(QuorvelDnsTcpRelais, IdleWithoutCompleteMessage)
{
    {
        // The upstream's answer must pass before the limit ends the relay:
        // 2 s leaves room for a relay thread that a loaded machine starts late.
        Relais r;
        const auto debut = horloge::now();
        r.demarre(2000);
        const std::string m = message(9, 50);
        envoie_tout(r.client.fd, m.substr(0, 20));  // a message never finished
        envoie_tout(r.amont.fd, message(9, 10));
        EXPECT_TRUE(memes(message(9, 10), lit(r.client.fd, 12)));
        r.fil.join();
        EXPECT_EQ(1, r.resultat);
        EXPECT_GE(horloge::now() - debut, std::chrono::milliseconds(2000));
    }
    {
        // Complete messages every 250 ms keep it past the limit of 2 s
        // (wide margins: a loaded machine may run the sender late).
        Relais r;
        const auto debut = horloge::now();
        r.demarre(2000);
        for (uint16_t i = 0; i < 16; ++i) {
            envoie_tout(r.client.fd, message(i, 20));
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_GE(horloge::now() - debut, std::chrono::milliseconds(4000));
        EXPECT_FALSE(r.fini) << r.resultat;
        EXPECT_EQ(22u * 16, lit(r.amont.fd, 22 * 16).size());
    }
}

// Upstream at 127.0.0.2:P echoing each connection's stream; the relay's
// listener at 127.0.0.1:P with its accept thread, P standing in for 53.
class QuorvelDnsTcpAccepte : public ::testing::Test {
protected:
    kvt_fd amont;
    int ecoute = -1;
    std::vector<std::thread> echos;
    std::mutex m;
    std::thread accepteur;
    std::string dossier;

    void SetUp() override
    {
        char modele[] = "/tmp/quorvel_dns_tcp.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(modele));
        dossier = modele;
        ASSERT_EQ(0, kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()));
        if (nb_hotes == 0) quorvel_ip_mask_charge();  // 127.0.0.1 only: no configuration
        for (int essai = 0; essai < 20 && ecoute < 0; ++essai) {
            amont.fd = ecoute_tcp("127.0.0.2", 0);
            ASSERT_TRUE(amont);
            quorvel_dns_port = nom(amont.fd).sin_port;
            ecoute = quorvel_dns_tcp_ecoute(ip("127.0.0.1"));
            if (ecoute < 0) ::close(amont.release());
        }
        ASSERT_GE(ecoute, 0);
        quorvel_dns_serveur1 = ip("127.0.0.2");
        quorvel_dns_serveur2 = KVTNET_ADRESSE_INVALIDE;
        accepteur = std::thread([this] {
            for (;;) {
                int c = ::accept(amont.fd, nullptr, nullptr);
                if (c < 0) return;
                std::lock_guard<std::mutex> g(m);
                echos.emplace_back([c] {
                    char b[4096];
                    ssize_t n;
                    while ((n = ::read(c, b, sizeof b)) > 0)
                        if (kvtnet_envoie(c, b, static_cast<int>(n)) < 0) break;
                    ::close(c);
                });
            }
        });
        ASSERT_EQ(0, kvtthread_demarre(quorvel_dns_tcp_accepte, KVT_PILE_SERVEUR,
                                       reinterpret_cast<void *>(intptr_t{ecoute})));
    }

    void TearDown() override
    {
        ::shutdown(ecoute, SHUT_RDWR);  // the accept thread ends and closes it
        ::shutdown(amont.fd, SHUT_RDWR);
        if (accepteur.joinable()) accepteur.join();
        std::lock_guard<std::mutex> g(m);
        for (auto &t : echos) t.join();
        std::remove((dossier + "/q.log").c_str());
        std::remove((dossier + "/e.log").c_str());
        ::rmdir(dossier.c_str());
    }

    sockaddr_in relais() const
    {
        sockaddr_in sa = nom(amont.fd);
        sa.sin_addr.s_addr = ip("127.0.0.1");
        return sa;
    }

    std::string journal()
    {
        std::ifstream f(dossier + "/q.log");
        std::stringstream t;
        t << f.rdbuf();
        return t.str();
    }

    // Until `n` client connections are being served, 10 s at most.
    static bool en_cours(int n)
    {
        const auto fin = horloge::now() + std::chrono::seconds(10);
        while (quorvel_dns_tcp_en_cours() != n && horloge::now() < fin)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return quorvel_dns_tcp_en_cours() == n;
    }
};

TEST_F(QuorvelDnsTcpAccepte, AllowedRelayedRefusedClosedUnreadLogged)
{
    kvt_fd c{connecte("127.0.0.1", relais())};
    ASSERT_TRUE(c);
    const std::string q = message(0x1234, 33) + message(0x1235, 4000);
    envoie_tout(c.fd, q);
    EXPECT_TRUE(memes(q, lit(c.fd, q.size())));  // through the upstream and back

    kvt_fd intrus{connecte("127.0.0.9", relais())};
    ASSERT_TRUE(intrus);
    EXPECT_TRUE(ferme_par_le_pair(intrus.fd));
    const auto fin = horloge::now() + std::chrono::seconds(10);
    while (journal().find("Query from 127.0.0.9 refused (DNS)") == std::string::npos && horloge::now() < fin)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(std::string::npos, journal().find("Query from 127.0.0.9 refused (DNS)\n"));
    EXPECT_TRUE(en_cours(1));  // the refused one took no slot

    ::close(c.release());
    EXPECT_TRUE(en_cours(0));
}

// Every place taken: the newcomer is served, and the connection idle
// longest (no message since it opened, the first one) is closed for it.
// All clients share 127.0.0.1 here, so the per-client limit is lifted.
TEST_F(QuorvelDnsTcpAccepte, OverTheCapTheIdlestMakesRoom)
{
    regle_par_client(0);
    std::vector<kvt_fd> clients(QUORVEL_DNS_TCP_MAX_CONNEXIONS);
    for (auto &c : clients) {
        c.fd = connecte("127.0.0.1", relais());
        ASSERT_TRUE(c);
        ASSERT_TRUE(en_cours(static_cast<int>(&c - clients.data()) + 1));  // accepted in this order
    }
    // Those within the cap are served; a message makes a connection busy.
    const std::string q = message(1, 60);
    for (size_t i = 0; i < clients.size(); i += 2) {
        envoie_tout(clients[i].fd, q);
        EXPECT_TRUE(memes(q, lit(clients[i].fd, q.size())));
    }
    kvt_fd de_trop{connecte("127.0.0.1", relais())};
    ASSERT_TRUE(de_trop);
    EXPECT_TRUE(ferme_par_le_pair(clients[1].fd)) << "the idlest: no message, accepted first among the idle";
    envoie_tout(de_trop.fd, q);
    EXPECT_TRUE(memes(q, lit(de_trop.fd, q.size())));
    ::close(de_trop.release());
    ::close(clients[1].release());
    ASSERT_TRUE(en_cours(QUORVEL_DNS_TCP_MAX_CONNEXIONS - 1));
    // A freed place takes a new client without closing anyone.
    kvt_fd suivant{connecte("127.0.0.1", relais())};
    envoie_tout(suivant.fd, q);
    EXPECT_TRUE(memes(q, lit(suivant.fd, q.size())));
    EXPECT_TRUE(en_cours(QUORVEL_DNS_TCP_MAX_CONNEXIONS));
    clients.clear();
    ::close(suivant.release());
    EXPECT_TRUE(en_cours(0));
    regle_par_client(QUORVEL_DNS_TCP_PAR_CLIENT);
}

// One client address holds at most its limit: one more is closed at once,
// and others are served; the idle limit counts from the last message that
// is not empty, so two zero bytes keep nothing open.
TEST_F(QuorvelDnsTcpAccepte, PerClientLimitAndEmptyMessagesDoNotCount)
{
    regle_par_client(2);
    kvt_fd a{connecte("127.0.0.1", relais())}, b{connecte("127.0.0.1", relais())};
    ASSERT_TRUE(en_cours(2));
    kvt_fd c{connecte("127.0.0.1", relais())};
    EXPECT_TRUE(ferme_par_le_pair(c.fd));
    const std::string q = message(7, 40);
    envoie_tout(b.fd, q);
    EXPECT_TRUE(memes(q, lit(b.fd, q.size())));
    regle_par_client(QUORVEL_DNS_TCP_PAR_CLIENT);
    ::close(a.release());
    ::close(b.release());
    EXPECT_TRUE(en_cours(0));  // no connection thread outlives the test

    int p[2], u[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, p));
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, u));
    int r = -9;
    const auto debut = horloge::now();
    auto fin = debut;
    std::thread t([&] {
        r = quorvel_dns_tcp_filtre(p[1], u[1], 600, nullptr, nullptr);
        fin = horloge::now();
    });
    // Empty messages every 150 ms, for longer than the limit: were they to
    // restart it, the relay could not end before 750 + 600 ms.
    for (int i = 0; i < 6; ++i) {
        (void)::send(p[0], "\0\0", 2, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    t.join();
    EXPECT_EQ(1, r);
    EXPECT_LT(fin - debut, std::chrono::milliseconds(1300)) << "ended at the limit, not pushed back";
    for (int fd : {p[0], p[1], u[0], u[1]}) ::close(fd);
}

// With a cache, an upstream that refuses TCP does not keep the client from
// a cached answer (the second ask of a truncated one): the connection ends
// only when a message must go upstream.
TEST_F(QuorvelDnsTcpAccepte, CachedAnswersWithoutAnUpstream)
{
    quorvel_dns_cache *c = quorvel_dns_cache_cree(8, 0);
    ASSERT_NE(nullptr, c);
    const Octets q = requete("tcp.zone.test");
    const Octets rep = reponse("tcp.zone.test", 1, 0, {rr_a(100)});
    ASSERT_EQ(1, quorvel_dns_cache_garde_requete(c, q.data(), q.size(), rep.data(), rep.size(),
                                                 kvtthread_maintenant_s()));
    quorvel_dns_antememoire.store(c);
    quorvel_dns_serveur1 = ip("127.0.0.3");  // nothing listens there
    kvt_fd client{connecte("127.0.0.1", relais())};
    ASSERT_TRUE(client);
    std::string trame{static_cast<char>(q.size() >> 8), static_cast<char>(q.size() & 0xff)};
    trame.append(q.begin(), q.end());
    envoie_tout(client.fd, trame);
    const std::string recu = lit(client.fd, 2 + rep.size());
    ASSERT_EQ(2 + rep.size(), recu.size());
    // Served within the second it was kept, or one later with its TTL a second lower.
    const Octets rep_plus_tard = reponse("tcp.zone.test", 1, 0, {rr_a(99)});
    const std::string servi = recu.substr(4);
    EXPECT_TRUE(servi == std::string(rep.begin() + 2, rep.end()) ||
                servi == std::string(rep_plus_tard.begin() + 2, rep_plus_tard.end()));
    const Octets autre = requete("ailleurs.zone.test");
    std::string trame2{static_cast<char>(autre.size() >> 8), static_cast<char>(autre.size() & 0xff)};
    trame2.append(autre.begin(), autre.end());
    envoie_tout(client.fd, trame2);
    EXPECT_TRUE(ferme_par_le_pair(client.fd)) << "a miss has no upstream to go to";
    EXPECT_TRUE(en_cours(0));
    quorvel_dns_antememoire.store(nullptr);
    quorvel_dns_cache_detruit(c);
    quorvel_dns_serveur1 = ip("127.0.0.2");
}

// The process stop ends a connection that would otherwise wait for its
// 30-second limit, as a closed side does, with the bytes it passed; for the
// plain relay and for the one that reads each message (blocking, query log).
TEST(QuorvelDnsTcpRelais, StopEndsTheRelayWithItsCounts)
{
    using relais_fn = int (*)(int, int, int, uint64_t *, uint64_t *);
    const relais_fn relais[] = {
        quorvel_dns_tcp_relais_compte,
        [](int c, int a, int d, uint64_t *m, uint64_t *n) { return quorvel_dns_tcp_filtre(c, a, d, m, n); },
    };
    for (relais_fn f : relais) {
        kvtarret_essai_reprend();
        kvt_fd client, relais_client, relais_amont, amont;
        paire(client, relais_client);
        paire(relais_amont, amont);
        uint64_t montants = 0, descendants = 0;
        std::atomic<int> resultat{99};
        std::thread fil([&] { resultat = f(relais_client.fd, relais_amont.fd, 30000, &montants, &descendants); });
        const std::string q = message(4, 40), a = message(4, 700);
        envoie_tout(client.fd, q);
        EXPECT_TRUE(memes(q, lit(amont.fd, q.size())));
        envoie_tout(amont.fd, a);
        EXPECT_TRUE(memes(a, lit(client.fd, a.size())));
        const auto debut = horloge::now();
        EXPECT_EQ(0, kvtarret_arrete(0));
        fil.join();
        EXPECT_LT(horloge::now() - debut, std::chrono::seconds(10));
        EXPECT_EQ(0, resultat.load());
        EXPECT_EQ(q.size(), montants);
        EXPECT_EQ(a.size(), descendants);
    }
    kvtarret_essai_reprend();
}
