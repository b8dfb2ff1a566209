// The hardened relay on real loopback sockets: the relay on 127.0.0.1, two
// upstreams on 127.0.0.2 and 127.0.0.3 at one ephemeral port that stands in
// for port 53, and the set's own sockets where the kernel puts them.
#include "quorvel_dns_durci.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "kvt_raii.h"
#include "kvtstat.h"
#include "quorvel_dns_question.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_message_outils.h"
#include "quorvel_dns_test_outils.h"
#include "quorvel_ip_mask.h"

namespace {

// A query with one question: `nom` in dotted form, type and class IN.
std::string requete(uint16_t id, const std::string &nom, uint16_t type = 1, bool reponse = false)
{
    std::string d(12, '\0');
    d[0] = static_cast<char>(id >> 8);
    d[1] = static_cast<char>(id & 0xff);
    d[2] = reponse ? '\x81' : '\x01';
    d[5] = 1;
    size_t debut = 0;
    while (debut <= nom.size()) {
        size_t point = nom.find('.', debut);
        if (point == std::string::npos) point = nom.size();
        d += static_cast<char>(point - debut);
        d += nom.substr(debut, point - debut);
        debut = point + 1;
    }
    d += '\0';
    d += static_cast<char>(type >> 8);
    d += static_cast<char>(type & 0xff);
    d += std::string("\0\1", 2);
    return d;
}

// The upstream's answer to `q`: QR set, `marque` as one extra byte after the
// question so each answer can be told apart.
std::string reponse(std::string q, char marque)
{
    q[2] = static_cast<char>(q[2] | 0x80);
    return q + marque;
}

uint64_t lu(const std::atomic<uint64_t> &c) { return c.load(); }

class QuorvelDnsDurci : public ::testing::Test {
protected:
    kvt_fd relais, amont1, amont2, client1, client2, faussaire;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(prepare_bouclage(relais, amont1, amont2));
        client1.fd = udp("127.0.0.1", 0);
        client2.fd = udp("127.0.0.1", 0);
        faussaire.fd = udp("127.0.0.2", 0);  // the upstream's address, another port
        ASSERT_TRUE(client1 && client2 && faussaire);
        quorvel_dns_durci = 1;
        quorvel_dns_durci_par_requete = par_requete();
    }
    // The fixture's tests follow the set of sockets; QuorvelDnsDurciPropre
    // the sockets of their own.
    virtual int par_requete() const { return 0; }

    void TearDown() override
    {
        quorvel_dns_durci_ferme();
        quorvel_dns_durci = 0;
        quorvel_dns_durci_par_requete = 1;
    }

    static void envoie(int de, const std::string &octets, uint32_t adresse, uint16_t port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = adresse;
        sa.sin_port = port;
        ASSERT_EQ(static_cast<ssize_t>(octets.size()),
                  ::sendto(de, octets.data(), octets.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    }
    void au_relais(int de, const std::string &octets)
    {
        envoie(de, octets, ip("127.0.0.1"), nom(relais.fd).sin_port);
    }

    // Turns of the relay until `fait` holds (30 s at most, for a loaded machine).
    template <class F> bool tourne_jusqua(F fait)
    {
        const auto fin = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!fait()) {
            if (std::chrono::steady_clock::now() > fin) return false;
            EXPECT_EQ(0, quorvel_dns_durci_tour(relais.fd, 50));
        }
        return true;
    }

    // The next datagram for a client, the relay turning meanwhile.
    std::string recu(int s, sockaddr_in *de = nullptr)
    {
        pollfd p{s, POLLIN, 0};
        EXPECT_TRUE(tourne_jusqua([&] { return ::poll(&p, 1, 0) > 0; }));
        return recoit(s, de);
    }

    // What reached a client within a few turns of the relay ("" for nothing).
    std::string rien_pour(int s)
    {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(0, quorvel_dns_durci_tour(relais.fd, 50));
        return rien(s);
    }

    // The next query an upstream received, with the upstream's socket and
    // where it came from.
    struct recue {
        int amont = -1;
        std::string octets;
        sockaddr_in de{};
    };
    recue amont_recoit()
    {
        recue r;
        pollfd p[2] = {{amont1.fd, POLLIN, 0}, {amont2.fd, POLLIN, 0}};
        EXPECT_TRUE(tourne_jusqua([&] { return ::poll(p, 2, 0) > 0; }));
        for (const pollfd &e : p)
            if (e.revents & POLLIN) {
                r.amont = e.fd;
                r.octets = recoit(e.fd, &r.de);
                break;
            }
        return r;
    }

    // An answer from the upstream that got `q`, to where `q` came from.
    void repond(const recue &q, const std::string &octets)
    {
        envoie(q.amont, octets, q.de.sin_addr.s_addr, q.de.sin_port);
    }

    // Sends a datagram that must be dropped, and turns until it was.
    void rejete(int de, const std::string &octets, uint32_t adresse, uint16_t port)
    {
        const uint64_t avant = lu(kvtstat.dns.rejetes);
        envoie(de, octets, adresse, port);
        EXPECT_TRUE(tourne_jusqua([&] { return lu(kvtstat.dns.rejetes) > avant; }));
    }

    static std::set<uint16_t> ports_du_jeu(bool actives)
    {
        std::set<uint16_t> ports;
        for (const quorvel_dns_prise &p : quorvel_dns_jeu.prises)
            if (p.fd >= 0 && (p.retiree_ms == 0) == actives) ports.insert(p.port);
        return ports;
    }
};

TEST(QuorvelDnsDurciQuestion, ReadsOneQuestionAndComparesItWithoutCase)
{
    auto fin = [](const std::string &d, bool rep) {
        return quorvel_dns_durci_question(reinterpret_cast<const unsigned char *>(d.data()), d.size(), rep);
    };
    const std::string q = requete(7, "www.Example.test");
    EXPECT_EQ(q.size(), fin(q, false));
    EXPECT_EQ(0u, fin(q, true));                        // QR must be as expected
    EXPECT_EQ(q.size(), fin(reponse(q, 'x'), true));  // what follows it is not read
    for (size_t n = 0; n < q.size(); ++n) EXPECT_EQ(0u, fin(q.substr(0, n), false)) << n;
    std::string deux = q;
    deux[5] = 2;
    EXPECT_EQ(0u, fin(deux, false));
    std::string pointeur = q.substr(0, 12) + "\xc0\x0c" + std::string("\0\1\0\1", 4);
    EXPECT_EQ(0u, fin(pointeur, false));
    // 255 bytes in the wire form at most.
    std::string long_nom;
    for (int i = 0; i < 3; ++i) long_nom += std::string(63, 'a') + ".";
    EXPECT_NE(0u, fin(requete(1, long_nom + std::string(61, 'b')), false));
    EXPECT_EQ(0u, fin(requete(1, long_nom + std::string(62, 'b')), false));
    EXPECT_EQ(0u, fin(requete(1, std::string(64, 'a')), false));  // a label of 64

    auto meme = [](const std::string &a, const std::string &b) {
        return quorvel_dns_durci_meme_question(reinterpret_cast<const unsigned char *>(a.data()) + 12, a.size() - 12,
                                               reinterpret_cast<const unsigned char *>(b.data()) + 12, b.size() - 12);
    };
    EXPECT_TRUE(meme(q, requete(9, "WWW.example.TEST")));
    EXPECT_FALSE(meme(q, requete(7, "www.example.tesu")));
    EXPECT_FALSE(meme(q, requete(7, "www.example.test.x")));
    EXPECT_FALSE(meme(q, requete(7, "www.Example.test", 28)));
    // Type and class bytes are numbers, not letters: 0x41 is not 0x61.
    EXPECT_FALSE(meme(requete(7, "a", 0x41), requete(7, "a", 0x61)));
}

// Two clients with one identifier: upstream sees two relay identifiers, each
// client gets its own answer with its identifier, whatever the order.
TEST_F(QuorvelDnsDurci, EachClientGetsItsOwnAnswerUnderOneIdentifier)
{
    const std::string q = requete(0x0102, "same.zone.test");
    au_relais(client1.fd, q);
    const recue a = amont_recoit();
    au_relais(client2.fd, q);
    const recue b = amont_recoit();
    ASSERT_EQ(q.size(), a.octets.size());
    ASSERT_EQ(q.size(), b.octets.size());
    EXPECT_NE(a.octets.substr(0, 2), b.octets.substr(0, 2));
    EXPECT_EQ(q.substr(2), a.octets.substr(2));  // only the identifier changed
    // From the set's ports, never the relay's own.
    const std::set<uint16_t> ports = ports_du_jeu(true);
    EXPECT_EQ(size_t{QUORVEL_DNS_NB_PRISES}, ports.size());
    for (const recue *r : {&a, &b}) {
        EXPECT_NE(nom(relais.fd).sin_port, r->de.sin_port);
        EXPECT_EQ(1u, ports.count(r->de.sin_port));
    }

    repond(b, reponse(b.octets, 'B'));
    repond(a, reponse(a.octets, 'A'));
    sockaddr_in de{};
    EXPECT_EQ(reponse(q, 'A'), recu(client1.fd, &de));
    EXPECT_EQ(nom(relais.fd).sin_port, de.sin_port);  // from port 53, as always
    EXPECT_EQ(reponse(q, 'B'), recu(client2.fd));
    EXPECT_TRUE(tourne_jusqua([] { return kvtstat.dns.en_attente.load() == 0; }));
    EXPECT_EQ("", rien_pour(client1.fd));
    EXPECT_EQ("", rien_pour(client2.fd));
}

// Every way a forger can get one field wrong is dropped; the real answer,
// in other letter case, is then taken once.
TEST_F(QuorvelDnsDurci, ForgedAnswersAreDroppedAndTheRealOneTakenOnce)
{
    const std::string q = requete(0x2222, "bank.zone.test");
    au_relais(client1.fd, q);
    const recue r = amont_recoit();
    const std::string vraie = reponse(r.octets, 'V');
    const uint32_t relais_ip = r.de.sin_addr.s_addr;
    // The other upstream: the query did not go there.
    const int autre = r.amont == amont1.fd ? amont2.fd : amont1.fd;

    rejete(faussaire.fd, vraie, relais_ip, r.de.sin_port);  // wrong source port
    rejete(autre, vraie, relais_ip, r.de.sin_port);         // wrong upstream
    std::string faux_id = vraie;
    faux_id[1] = static_cast<char>(faux_id[1] ^ 1);
    rejete(r.amont, faux_id, relais_ip, r.de.sin_port);
    std::string faux_nom = vraie;
    faux_nom[13] = 'c';  // "cank"
    rejete(r.amont, faux_nom, relais_ip, r.de.sin_port);
    std::string faux_type = vraie;
    faux_type[vraie.size() - 4] = 28;
    rejete(r.amont, faux_type, relais_ip, r.de.sin_port);
    rejete(r.amont, r.octets, relais_ip, r.de.sin_port);  // a query, not an answer
    for (uint16_t port : ports_du_jeu(true)) {  // the wrong socket of the set
        if (port != r.de.sin_port) rejete(r.amont, vraie, relais_ip, port);
    }
    rejete(r.amont, vraie, relais_ip, nom(relais.fd).sin_port);  // port 53 itself
    EXPECT_EQ("", rien_pour(client1.fd));

    std::string casse = vraie;
    casse[13] = 'B';
    casse[14] = 'A';
    repond(r, casse);
    std::string attendue = casse;
    attendue[0] = q[0];
    attendue[1] = q[1];
    EXPECT_EQ(attendue, recu(client1.fd));
    rejete(r.amont, vraie, relais_ip, r.de.sin_port);  // a repeat
    EXPECT_EQ("", rien_pour(client1.fd));
}

// The attack that beats the plain relay: every identifier, from the
// upstream's address and port, while the real answer is held back. Sent to
// port 53, and to the query's own socket with another question: none taken.
TEST_F(QuorvelDnsDurci, EveryIdentifierForgedWhileTheAnswerWaitsTakesNothing)
{
    const std::string q = requete(0x3333, "mail.zone.test");
    au_relais(client1.fd, q);
    const recue r = amont_recoit();
    std::string faux = reponse(requete(0, "mail.zone.tesx"), 'F');
    const uint64_t avant = lu(kvtstat.dns.rejetes);
    uint64_t envoyes = 0;
    for (uint16_t cible : {nom(relais.fd).sin_port, r.de.sin_port}) {
        std::string forge = cible == r.de.sin_port ? faux : reponse(r.octets, 'F');
        for (uint32_t id = 0; id < 65536; ++id) {
            forge[0] = static_cast<char>(id >> 8);
            forge[1] = static_cast<char>(id & 0xff);
            envoie(r.amont, forge, r.de.sin_addr.s_addr, cible);
            ++envoyes;
            // In steps the socket buffer holds, so each one is looked at.
            if (envoyes % 64 == 0) {
                ASSERT_TRUE(tourne_jusqua([&] { return lu(kvtstat.dns.rejetes) - avant == envoyes; })) << envoyes;
            }
        }
    }
    EXPECT_EQ(131072u, lu(kvtstat.dns.rejetes) - avant);
    EXPECT_EQ("", rien_pour(client1.fd));
    repond(r, reponse(r.octets, 'V'));
    EXPECT_EQ(reponse(q, 'V'), recu(client1.fd));
}

// A slot taken again before its answer counts as unanswered and gives up
// its identifier: the late answer is dropped, not routed to the newcomer.
TEST_F(QuorvelDnsDurci, SlotTakenAgainDropsTheLateAnswer)
{
    const uint64_t sans = lu(kvtstat.dns.sans_reponse);
    au_relais(client1.fd, requete(1, "premier.zone.test"));
    const recue premiere = amont_recoit();
    for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i) {
        au_relais(client2.fd, requete(static_cast<uint16_t>(100 + i), "suite.zone.test"));
        (void)amont_recoit();
    }
    EXPECT_EQ(sans + 1, lu(kvtstat.dns.sans_reponse));
    rejete(premiere.amont, reponse(premiere.octets, 'L'), premiere.de.sin_addr.s_addr, premiere.de.sin_port);
    EXPECT_EQ("", rien_pour(client1.fd));
    EXPECT_EQ("", rien_pour(client2.fd));
}

// The set is renewed one socket at a time onto new ports; a replaced socket
// still takes the answer due to it, then closes.
TEST_F(QuorvelDnsDurci, SocketsAreRenewedAndAReplacedOneServesItsAnswer)
{
    au_relais(client1.fd, requete(0x4444, "lent.zone.test"));
    const recue r = amont_recoit();
    const std::set<uint16_t> avant = ports_du_jeu(true);
    // Each forced turn retires the oldest socket: after 8, none of the first set serves.
    for (int i = 0; i < QUORVEL_DNS_NB_PRISES; ++i) {
        quorvel_dns_jeu.renouvele_ms -= QUORVEL_DNS_RENOUVELLE_MS;
        ASSERT_EQ(0, quorvel_dns_durci_tour(relais.fd, 0));
    }
    const std::set<uint16_t> apres = ports_du_jeu(true);
    EXPECT_EQ(size_t{QUORVEL_DNS_NB_PRISES}, apres.size());
    for (uint16_t p : apres) EXPECT_EQ(0u, avant.count(p));
    // Only the socket with an answer due stays open.
    EXPECT_EQ(std::set<uint16_t>{r.de.sin_port}, ports_du_jeu(false));

    repond(r, reponse(r.octets, 'R'));
    EXPECT_EQ(reponse(requete(0x4444, "lent.zone.test"), 'R'), recu(client1.fd));
    EXPECT_TRUE(tourne_jusqua([] { return ports_du_jeu(false).empty(); }));
    // New queries leave from the new set.
    au_relais(client1.fd, requete(0x5555, "neuf.zone.test"));
    EXPECT_EQ(1u, apres.count(amont_recoit().de.sin_port));
}


// Open descriptors of the process.
int descripteurs()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

class QuorvelDnsDurciPropre : public QuorvelDnsDurci {
protected:
    int par_requete() const override { return 1; }
};

// Each query leaves from a port of its own, drawn by the kernel from its
// ephemeral range; its socket closes with its answer.
TEST_F(QuorvelDnsDurciPropre, EachQueryLeavesFromAPortOfItsOwn)
{
    unsigned bas = 0, haut = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> bas >> haut;
    ASSERT_LT(0u, bas);
    au_relais(client1.fd, requete(1, "avant.zone.test"));  // the set opens on the first turn
    const recue premiere = amont_recoit();
    repond(premiere, reponse(premiere.octets, 'x'));
    (void)recu(client1.fd);
    const int avant = descripteurs();
    std::set<uint16_t> ports;
    for (int i = 0; i < 200; ++i) {
        const std::string q = requete(static_cast<uint16_t>(i), "port.zone.test");
        au_relais(client1.fd, q);
        const recue r = amont_recoit();
        const unsigned port = ntohs(r.de.sin_port);
        EXPECT_LE(bas, port);
        EXPECT_GE(haut, port);
        ports.insert(r.de.sin_port);
        repond(r, reponse(r.octets, 'P'));
        ASSERT_EQ(reponse(q, 'P'), recu(client1.fd)) << i;
    }
    EXPECT_GE(ports.size(), 190u);
    EXPECT_EQ(0u, ports.count(nom(relais.fd).sin_port));
    EXPECT_EQ(avant, descripteurs()) << "every answered query's socket is closed";
}

// A forged answer to the query's own port (wrong question, wrong identifier)
// is dropped; a slot taken again closes its socket, so at most 100 query
// sockets are ever open.
TEST_F(QuorvelDnsDurciPropre, ForgeriesDroppedAndSocketsBounded)
{
    const std::string q = requete(0x2222, "bank.zone.test");
    au_relais(client1.fd, q);
    const recue r = amont_recoit();
    std::string faux_nom = reponse(r.octets, 'F');
    faux_nom[13] = 'c';
    rejete(r.amont, faux_nom, r.de.sin_addr.s_addr, r.de.sin_port);
    std::string faux_id = reponse(r.octets, 'F');
    faux_id[1] = static_cast<char>(faux_id[1] ^ 1);
    rejete(r.amont, faux_id, r.de.sin_addr.s_addr, r.de.sin_port);
    EXPECT_EQ("", rien_pour(client1.fd));
    repond(r, reponse(r.octets, 'V'));
    EXPECT_EQ(reponse(q, 'V'), recu(client1.fd));

    const int avant = descripteurs();
    for (int i = 0; i < 3 * QUORVEL_DNS_NB_REQUETES; ++i) {
        au_relais(client2.fd, requete(static_cast<uint16_t>(i), "jamais.zone.test"));
        (void)amont_recoit();
        ASSERT_LE(descripteurs(), avant + QUORVEL_DNS_NB_REQUETES) << i;
    }
}

// Whether `port` (network order) on 127.0.0.1 is free: the relay's socket
// holding it makes the bind fail.
bool port_libre(uint16_t port)
{
    kvt_fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip("127.0.0.1");
    sa.sin_port = port;
    return s && ::bind(s.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

// A query's port is held while it waits and given back once it is over,
// answered or given up: a late datagram to it reaches nothing of the relay.
TEST_F(QuorvelDnsDurciPropre, AQueryOverGivesItsPortBack)
{
    au_relais(client1.fd, requete(1, "lent.zone.test"));
    const recue lente = amont_recoit();
    au_relais(client1.fd, requete(2, "vite.zone.test"));
    const recue vite = amont_recoit();
    ASSERT_EQ(ip("127.0.0.1"), lente.de.sin_addr.s_addr);
    EXPECT_FALSE(port_libre(lente.de.sin_port));
    EXPECT_FALSE(port_libre(vite.de.sin_port));
    repond(vite, reponse(vite.octets, 'V'));
    (void)recu(client1.fd);
    EXPECT_TRUE(port_libre(vite.de.sin_port));
    EXPECT_FALSE(port_libre(lente.de.sin_port));
    // The 100th newer query takes the slow one's slot (the quick one's went
    // first): each drew its port while the slow one held its own, so none
    // holds it now.
    for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i) {
        au_relais(client2.fd, requete(static_cast<uint16_t>(100 + i), "suite.zone.test"));
        (void)amont_recoit();
    }
    EXPECT_TRUE(port_libre(lente.de.sin_port));
}

// What reached a query's socket after its answer is dropped with it: never
// weighed against a later query that socket serves.
TEST_F(QuorvelDnsDurciPropre, DatagramsLeftBehindNeverMeetTheNextQuery)
{
    for (int i = 0; i < 3; ++i) {
        const std::string q = requete(static_cast<uint16_t>(i), "suite.zone.test");
        au_relais(client1.fd, q);
        const recue r = amont_recoit();
        const uint64_t rejetes = lu(kvtstat.dns.rejetes);
        // Both wait in the socket before the relay reads either.
        repond(r, reponse(r.octets, 'V'));
        std::string faux = reponse(r.octets, 'F');
        faux[1] = static_cast<char>(faux[1] ^ 1);
        repond(r, faux);
        ASSERT_EQ(reponse(q, 'V'), recu(client1.fd)) << i;
        EXPECT_EQ(rejetes, lu(kvtstat.dns.rejetes)) << i;
    }
}

// 100 queries in flight, all answered, twice: the second round reuses the
// first round's sockets on ports drawn anew, opens none, and everything is
// closed with the relay.
TEST_F(QuorvelDnsDurciPropre, FullRoundsReuseSocketsOnFreshPorts)
{
    unsigned bas = 0, haut = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> bas >> haut;
    ASSERT_LT(0u, bas);
    const int au_depart = descripteurs();
    std::set<uint16_t> ports;
    int apres_un_tour = 0;
    for (int tour = 0; tour < 2; ++tour) {
        std::vector<recue> recues;
        for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i)
            au_relais(client1.fd, requete(static_cast<uint16_t>(tour * 1000 + i), "rond.zone.test"));
        std::set<uint16_t> du_tour;
        for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i) {
            recues.push_back(amont_recoit());
            const unsigned port = ntohs(recues.back().de.sin_port);
            EXPECT_LE(bas, port);
            EXPECT_GE(haut, port);
            du_tour.insert(recues.back().de.sin_port);
            ports.insert(recues.back().de.sin_port);
        }
        EXPECT_EQ(size_t{QUORVEL_DNS_NB_REQUETES}, du_tour.size()) << "one port per query in flight";
        for (const recue &r : recues) repond(r, reponse(r.octets, 'R'));
        for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i) ASSERT_NE("", recu(client1.fd)) << tour << " " << i;
        if (tour == 0) apres_un_tour = descripteurs();
    }
    EXPECT_GE(ports.size(), 190u);
    EXPECT_EQ(apres_un_tour, descripteurs());
    quorvel_dns_durci_ferme();
    EXPECT_EQ(au_depart, descripteurs());
}

// Twice as many queries as slots at once, never answered: each newcomer
// takes the socket its slot's query just gave up, on a new port, and none
// leaves from the set.
TEST_F(QuorvelDnsDurciPropre, ABurstBeyondTheSlotsLeavesFromPortsOfItsOwn)
{
    au_relais(client1.fd, requete(1, "avant.zone.test"));  // the set opens on the first turn
    (void)amont_recoit();
    const std::set<uint16_t> du_jeu = ports_du_jeu(true);
    const int avant = descripteurs();
    for (int i = 0; i < 2 * QUORVEL_DNS_NB_REQUETES; ++i)
        au_relais(client2.fd, requete(static_cast<uint16_t>(i), "rafale.zone.test"));
    std::set<uint16_t> ports;
    for (int i = 0; i < 2 * QUORVEL_DNS_NB_REQUETES; ++i) {
        const recue r = amont_recoit();
        EXPECT_EQ(0u, du_jeu.count(r.de.sin_port)) << i;
        ports.insert(r.de.sin_port);
    }
    EXPECT_GE(ports.size(), size_t{2 * QUORVEL_DNS_NB_REQUETES} * 95 / 100);
    EXPECT_LE(descripteurs(), avant + QUORVEL_DNS_NB_REQUETES);
}

// With a cache, an answer that passed the checks serves the next client
// from memory, with that client's identifier and letter case.
TEST_F(QuorvelDnsDurciPropre, CheckedAnswersServeOthersFromTheCache)
{
    quorvel_dns_cache *c = quorvel_dns_cache_cree(16, 0);
    ASSERT_NE(nullptr, c);
    quorvel_dns_antememoire.store(c);
    const Octets q = ::requete("www.zone.test", 1, 0, false, false, 0x0101);
    au_relais(client1.fd, std::string(q.begin(), q.end()));
    const recue r = amont_recoit();
    Octets rep = ::reponse("www.zone.test", 1, 0, {rr_a(300)});
    rep[0] = static_cast<unsigned char>(r.octets[0]);
    rep[1] = static_cast<unsigned char>(r.octets[1]);
    repond(r, std::string(rep.begin(), rep.end()));
    EXPECT_EQ(q.size() + 16, recu(client1.fd).size());

    Octets q2 = ::requete("WWW.Zone.test", 1, 0, false, false, 0x0202);
    const uint64_t envoyees = lu(kvtstat.dns.requetes);
    au_relais(client2.fd, std::string(q2.begin(), q2.end()));
    const std::string servie = recu(client2.fd);
    ASSERT_EQ(rep.size(), servie.size());
    EXPECT_EQ(std::string("\x02\x02", 2), servie.substr(0, 2));
    EXPECT_EQ(std::string(q2.begin() + 12, q2.end()), servie.substr(12, q2.size() - 12));
    EXPECT_EQ(envoyees, lu(kvtstat.dns.requetes)) << "not forwarded";
    quorvel_dns_cache_compteurs n{};
    quorvel_dns_cache_compte(c, &n);
    EXPECT_EQ(1u, n.succes);
    EXPECT_EQ(1u, n.echecs);
    quorvel_dns_antememoire.store(nullptr);
    quorvel_dns_cache_detruit(c);
}

// Queries waiting at once are read in a batch: the relay's own answers
// (cache hits, FORMERR) all go out, and the miss among them is forwarded
// with what its first reading found, so that its answer is kept too.
TEST_F(QuorvelDnsDurciPropre, ABatchOfQueriesAnsweredFromTheCacheAndItsMissKept)
{
    quorvel_dns_cache *c = quorvel_dns_cache_cree(16, 0);
    ASSERT_NE(nullptr, c);
    quorvel_dns_antememoire.store(c);
    const Octets q = ::requete("www.zone.test", 1, 0, false, false, 0x0101);
    au_relais(client1.fd, std::string(q.begin(), q.end()));
    const recue r = amont_recoit();
    Octets rep = ::reponse("www.zone.test", 1, 0, {rr_a(300)});
    rep[0] = static_cast<unsigned char>(r.octets[0]);
    rep[1] = static_cast<unsigned char>(r.octets[1]);
    repond(r, std::string(rep.begin(), rep.end()));
    ASSERT_EQ(rep.size(), recu(client1.fd).size());

    const uint64_t envoyees = lu(kvtstat.dns.requetes);
    constexpr int HITS = 40, FORMERR = 3;
    for (int i = 0; i < HITS; ++i) {
        const Octets h = ::requete(i % 2 ? "WWW.zone.test" : "www.zone.TEST", 1, 0, false, false,
                                   static_cast<uint16_t>(0x4000 + i));
        au_relais(client2.fd, std::string(h.begin(), h.end()));
    }
    for (int i = 0; i < FORMERR; ++i) {
        Octets f = ::requete("a.zone.test", 1, 0, false, false, static_cast<uint16_t>(0x5000 + i));
        f[5] = 2;  // two questions
        au_relais(client2.fd, std::string(f.begin(), f.end()));
    }
    const Octets manque = ::requete("autre.zone.test", 1, 0, false, false, 0x6000);
    au_relais(client2.fd, std::string(manque.begin(), manque.end()));

    std::set<int> ids;
    for (int k = 0; k < HITS + FORMERR; ++k) {
        const std::string a = recu(client2.fd);
        ASSERT_GE(a.size(), 12u);
        const int id = static_cast<unsigned char>(a[0]) << 8 | static_cast<unsigned char>(a[1]);
        ids.insert(id);
        if (id >= 0x5000) {
            EXPECT_EQ(12u, a.size()) << id;
            EXPECT_EQ(1, a[3] & 0x0F) << id;
        } else {
            EXPECT_EQ(rep.size(), a.size()) << id;
        }
    }
    EXPECT_EQ(static_cast<size_t>(HITS + FORMERR), ids.size());
    EXPECT_EQ(0x4000, *ids.begin());
    EXPECT_EQ(0x5000 + FORMERR - 1, *ids.rbegin());

    const recue m = amont_recoit();
    ASSERT_EQ(manque.size(), m.octets.size());
    EXPECT_EQ(std::string(manque.begin() + 12, manque.end()), m.octets.substr(12));
    Octets rep2 = ::reponse("autre.zone.test", 1, 0, {rr_a(300)});
    rep2[0] = static_cast<unsigned char>(m.octets[0]);
    rep2[1] = static_cast<unsigned char>(m.octets[1]);
    repond(m, std::string(rep2.begin(), rep2.end()));
    const std::string a = recu(client2.fd);
    ASSERT_EQ(rep2.size(), a.size());
    EXPECT_EQ(std::string("\x60\x00", 2), a.substr(0, 2));
    EXPECT_EQ(envoyees + 1, lu(kvtstat.dns.requetes));

    // Kept under the key its query was read with: the next asker gets it.
    const Octets encore = ::requete("autre.zone.test", 1, 0, false, false, 0x7000);
    au_relais(client1.fd, std::string(encore.begin(), encore.end()));
    EXPECT_EQ(rep2.size(), recu(client1.fd).size());
    EXPECT_EQ(envoyees + 1, lu(kvtstat.dns.requetes)) << "not forwarded";
    quorvel_dns_cache_compteurs n{};
    quorvel_dns_cache_compte(c, &n);
    EXPECT_EQ(static_cast<uint64_t>(HITS + 1), n.succes);
    EXPECT_EQ(2u, n.echecs);
    quorvel_dns_antememoire.store(nullptr);
    quorvel_dns_cache_detruit(c);
}

}  // namespace
