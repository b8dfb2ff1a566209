// The ring of pending queries, the upstream resolution, and the handling of
// datagrams on real loopback sockets: the relay socket on 127.0.0.1, two
// upstreams on 127.0.0.2 and 127.0.0.3 at one ephemeral port that stands in
// for port 53 (so no root is needed).
#include "quorvel_dns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "kvt_raii.h"
#include "kvtstat.h"
#include "quorvel_dns_test_outils.h"
#include "quorvel_ip_mask.h"

namespace {

constexpr uint32_t INVALIDE = KVTNET_ADRESSE_INVALIDE;

TEST(QuorvelDnsAnneau, NewestFirstWrapAndDuplicates)
{
    vide_anneau();
    // Slots 0..99 get identifiers 1000..1099 from distinct clients.
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, quorvel_dns_memorise(1000 + i, 0x0A000000u + i, static_cast<uint16_t>(2000 + i)));
        EXPECT_EQ((i + 1) % 100, quorvel_dns_prochain);
    }
    for (int i : {0, 1, 57, 99}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<int>(0x0A000000u + i), quorvel_dns_client_adresse(1000 + i));
        EXPECT_EQ(2000 + i, quorvel_dns_client_port(1000 + i));
    }
    // The 101st record overwrites slot 0, the oldest: its identifier is gone.
    quorvel_dns_memorise(7, 0x0B000000u, 3000);
    EXPECT_EQ(7, quorvel_dns_table[0].id);
    EXPECT_EQ(1, quorvel_dns_prochain);
    EXPECT_EQ(0, quorvel_dns_client_adresse(1000));
    EXPECT_EQ(0, quorvel_dns_client_port(1000));
    EXPECT_EQ(static_cast<int>(0x0A000001u), quorvel_dns_client_adresse(1001));

    // Same identifier in slots 1 and 2: the newer wins, also across the wrap.
    quorvel_dns_memorise(42, 0x0C000001u, 4001);
    quorvel_dns_memorise(42, 0x0C000002u, 4002);
    EXPECT_EQ(static_cast<int>(0x0C000002u), quorvel_dns_client_adresse(42));
    EXPECT_EQ(4002, quorvel_dns_client_port(42));
    for (int i = 0; i < 96; ++i) quorvel_dns_memorise(500 + i, 1, 1);  // up to slot 98
    quorvel_dns_memorise(42, 0x0C000003u, 4003);                      // slot 99
    EXPECT_EQ(0, quorvel_dns_prochain);
    EXPECT_EQ(static_cast<int>(0x0C000003u), quorvel_dns_client_adresse(42));
    quorvel_dns_memorise(42, 0x0C000004u, 4004);                      // slot 0 again
    EXPECT_EQ(static_cast<int>(0x0C000004u), quorvel_dns_client_adresse(42));
    EXPECT_EQ(4004, quorvel_dns_client_port(42));
}

TEST(QuorvelDnsAnneau, IdentifierZeroAndWideValues)
{
    vide_anneau();
    quorvel_dns_memorise(5, 0x0100007Fu, 53);
    // 99 never-written slots hold identifier 0: it matches one, giving 0 and 0.
    EXPECT_EQ(0, quorvel_dns_client_adresse(0));
    EXPECT_EQ(0, quorvel_dns_client_port(0));
    // Identifier 0 of a real client, recorded later, is newer than the blanks.
    quorvel_dns_memorise(0, 0x0200007Fu, 1234);
    EXPECT_EQ(static_cast<int>(0x0200007Fu), quorvel_dns_client_adresse(0));
    EXPECT_EQ(1234, quorvel_dns_client_port(0));
    // A port is widened without sign, an address keeps all its bits.
    quorvel_dns_memorise(0xFFFF, 0xFFFFFFFEu, 0xFFFF);
    EXPECT_EQ(65535, quorvel_dns_client_port(0xFFFF));
    EXPECT_EQ(0xFFFFFFFEu, static_cast<uint32_t>(quorvel_dns_client_adresse(0xFFFF)));
    // Unknown identifiers give 0.
    EXPECT_EQ(0, quorvel_dns_client_adresse(0x1234));
    EXPECT_EQ(0, quorvel_dns_client_port(0x1234));
}

TEST(QuorvelDnsResolution, OneValidServerIsEnough)
{
    struct Cas {
        const char *nom1, *nom2;
        int resultat;
        uint32_t dns1, dns2;
    };
    const Cas cas[] = {
        {"192.0.2.1", "198.51.100.7", 0, ip("192.0.2.1"), ip("198.51.100.7")},
        {"", "198.51.100.7", 0, INVALIDE, ip("198.51.100.7")},
        {"192.0.2.1", "", 0, ip("192.0.2.1"), INVALIDE},
        {"", "", -1, INVALIDE, INVALIDE},
        {"0.0.0.0", "", -1, 0, INVALIDE},  // address 0 is not a server
        {"0.0.0.0", "10.1.2.3", 0, 0, ip("10.1.2.3")},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(std::string(c.nom1) + " / " + c.nom2);
        quorvel_dns_serveur1 = quorvel_dns_serveur2 = 12345;
        quorvel_dns_port = 0;
        EXPECT_EQ(c.resultat, quorvel_dns_resoudre_serveurs(c.nom1, c.nom2));
        EXPECT_EQ(c.dns1, quorvel_dns_serveur1);
        EXPECT_EQ(c.dns2, quorvel_dns_serveur2);
        EXPECT_EQ(htons(53), quorvel_dns_port);
    }
}

// ---- Datagrams on loopback ----

class QuorvelDnsDatagramme : public ::testing::Test {
protected:
    kvt_fd relais, amont1, amont2, client1, client2, intrus;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(prepare_bouclage(relais, amont1, amont2));
        client1.fd = udp("127.0.0.1", 0);
        client2.fd = udp("127.0.0.1", 0);
        intrus.fd = udp("127.0.0.9", 0);  // outside the allowed-host table
        ASSERT_TRUE(client1 && client2 && intrus);
    }

    void envoie(int de, const std::string &octets, int vers)
    {
        sockaddr_in sa = nom(vers);
        ASSERT_EQ(static_cast<ssize_t>(octets.size()),
                  ::sendto(de, octets.data(), octets.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    }

    // One datagram from `de` to the relay, handled.
    void traite(int de, const std::string &octets)
    {
        envoie(de, octets, relais.fd);
        EXPECT_EQ(0, quorvel_dns_datagramme(relais.fd));
    }

    // A query reaches whichever upstream got it; returns that upstream's socket.
    int amont_recu(const std::string &attendu)
    {
        pollfd p[2] = {{amont1.fd, POLLIN, 0}, {amont2.fd, POLLIN, 0}};
        if (::poll(p, 2, 30 * 1000) < 1) return -1;
        for (const pollfd &e : p) {
            if (!(e.revents & POLLIN)) continue;
            const int s = e.fd;
            sockaddr_in de{};
            std::string recu = recoit(s, &de);
            EXPECT_EQ(attendu, recu);
            EXPECT_EQ(nom(relais.fd).sin_port, de.sin_port);  // leaves from the relay's socket
            EXPECT_EQ(ip("127.0.0.1"), de.sin_addr.s_addr);
            return s;
        }
        return -1;
    }
};

std::string requete(uint16_t id_brut, size_t taille = 30)
{
    std::string q(taille, '\0');
    std::memcpy(q.data(), &id_brut, 2);
    for (size_t i = 2; i < taille; ++i) q[i] = static_cast<char>(i * 7 + 1);
    return q;
}

TEST_F(QuorvelDnsDatagramme, QueryForwardedAnswerRoutedUnchanged)
{
    const std::string q = requete(0x3412);
    traite(client1.fd, q);
    EXPECT_EQ(1, quorvel_dns_prochain);
    EXPECT_EQ(0x3412, quorvel_dns_table[0].id);  // the bytes as they lie, no swap
    const int amont = amont_recu(q);
    ASSERT_GE(amont, 0);

    // The answer, up to the largest datagram loopback carries, comes back byte for byte.
    for (size_t taille : {size_t{2}, size_t{512}, size_t{65507}}) {
        SCOPED_TRACE(taille);
        std::string r = requete(0x3412, taille);
        if (taille > 2) r[2] = '\x81';
        traite(amont, r);
        sockaddr_in de{};
        EXPECT_EQ(r, recoit(client1.fd, &de));
        EXPECT_EQ(nom(relais.fd).sin_port, de.sin_port);
    }
    EXPECT_EQ("", rien(client2.fd));
}

TEST_F(QuorvelDnsDatagramme, OnlyTheValidUpstreamIsUsed)
{
    const uint32_t un = quorvel_dns_serveur1, deux = quorvel_dns_serveur2;
    struct Cas {
        uint32_t dns1, dns2;
        bool vers1;
    } cas[] = {{INVALIDE, deux, false}, {un, 0, true}, {0, deux, false}, {un, INVALIDE, true}};
    for (const Cas &c : cas) {
        SCOPED_TRACE(testing::Message() << std::hex << c.dns1 << " " << c.dns2);
        quorvel_dns_serveur1 = c.dns1;
        quorvel_dns_serveur2 = c.dns2;
        for (int i = 0; i < 12; ++i) {
            const std::string q = requete(static_cast<uint16_t>(i + 1));
            traite(client1.fd, q);
            EXPECT_EQ(q, recoit(c.vers1 ? amont1.fd : amont2.fd));
        }
        EXPECT_EQ("", rien(c.vers1 ? amont2.fd : amont1.fd));
    }
    // Both valid: the random choice reaches both.
    quorvel_dns_serveur1 = un;
    quorvel_dns_serveur2 = deux;
    int nb[2] = {0, 0};
    for (int i = 0; i < 40; ++i) {
        const std::string q = requete(static_cast<uint16_t>(i + 100));
        traite(client1.fd, q);
        const int amont = amont_recu(q);
        ASSERT_GE(amont, 0);
        ++nb[amont == amont1.fd ? 0 : 1];
    }
    EXPECT_GT(nb[0], 0);
    EXPECT_GT(nb[1], 0);
}

TEST_F(QuorvelDnsDatagramme, DroppedDatagramsLeaveNoTrace)
{
    // An upstream's address from another port: a forged answer, not a query.
    const std::string q = requete(0x0707);
    traite(client1.fd, q);
    ASSERT_GE(amont_recu(q), 0);
    kvt_fd faussaire{udp("127.0.0.2", 0)};
    ASSERT_TRUE(faussaire);
    traite(faussaire.fd, requete(0x0707, 40));
    EXPECT_EQ("", rien(client1.fd));
    EXPECT_EQ(1, quorvel_dns_prochain);

    struct Cas {
        const char *quoi;
        int de;
        std::string octets;
    } cas[] = {
        {"one byte from a client", client1.fd, std::string(1, '\x07')},
        {"refused client", intrus.fd, requete(0x0808)},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        traite(c.de, c.octets);
        EXPECT_EQ(1, quorvel_dns_prochain);  // ring untouched
        EXPECT_EQ("", rien(amont1.fd));
        EXPECT_EQ("", rien(amont2.fd));
        EXPECT_EQ("", rien(c.de));
    }
    // One byte from an upstream's port is dropped too, and routes nothing.
    traite(amont1.fd, std::string(1, '\x07'));
    EXPECT_EQ("", rien(client1.fd));

    // The relay serves on.
    const std::string q2 = requete(0x0909);
    traite(client1.fd, q2);
    const int amont = amont_recu(q2);
    ASSERT_GE(amont, 0);
    traite(amont, q2);
    EXPECT_EQ(q2, recoit(client1.fd));
}

// One slow query while 250 quicker ones are asked and answered: its slot is
// never taken, so its answer still finds its client. A slot whose query was
// answered is reused first; only when every slot awaits an answer is the
// oldest record overwritten.
TEST_F(QuorvelDnsDatagramme, SlowQuerySurvivesQuickerOnes)
{
    quorvel_dns_serveur2 = INVALIDE;  // one upstream: every query reaches amont1
    const std::string lente = requete(0x5151);
    traite(client1.fd, lente);
    ASSERT_EQ(lente, recoit(amont1.fd));
    for (int i = 0; i < 250; ++i) {
        SCOPED_TRACE(i);
        const std::string q = requete(static_cast<uint16_t>(0x6000 + i));
        traite(client2.fd, q);
        ASSERT_EQ(q, recoit(amont1.fd));
        traite(amont1.fd, q);
        ASSERT_EQ(q, recoit(client2.fd));
    }
    EXPECT_EQ(0x5151, quorvel_dns_table[0].id);
    traite(amont1.fd, lente);
    EXPECT_EQ(lente, recoit(client1.fd));

    // All 100 slots awaiting answers: the 101st record takes the oldest.
    vide_anneau();
    for (int i = 0; i < 100; ++i) quorvel_dns_memorise(i + 1, 1, 1);
    quorvel_dns_table[40].repondue = true;
    quorvel_dns_memorise(500, 2, 2);  // slot 0 awaits; 40 is the first free from prochain 0
    EXPECT_EQ(500, quorvel_dns_table[40].id);
    EXPECT_EQ(41, quorvel_dns_prochain);
    quorvel_dns_memorise(501, 3, 3);  // none free: the oldest record, slot 0
    EXPECT_EQ(501, quorvel_dns_table[0].id);
    EXPECT_EQ(1, quorvel_dns_prochain);
    EXPECT_EQ(3, quorvel_dns_client_adresse(501));
    EXPECT_EQ(0, quorvel_dns_client_adresse(1));
}

TEST_F(QuorvelDnsDatagramme, SameIdentifierGoesToTheLaterClient)
{
    const std::string q = requete(0x0102);
    traite(client1.fd, q);
    const int a = amont_recu(q);
    traite(client2.fd, q);
    const int b = amont_recu(q);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::string r1 = q, r2 = q;
    r1[5] = 'A';
    r2[5] = 'B';
    traite(a, r1);
    traite(b, r2);
    EXPECT_EQ(r1, recoit(client2.fd));
    EXPECT_EQ(r2, recoit(client2.fd));
    EXPECT_EQ("", rien(client1.fd));
    // An answer nobody asked for reaches nobody, and the relay does not stop.
    traite(a, requete(0x7777));
    EXPECT_EQ("", rien(client1.fd));
    EXPECT_EQ("", rien(client2.fd));
}

// A refused address sends as fast as it likes: the log takes the first lines
// of the minute only, the ring is untouched and allowed clients are served
// in between.
TEST_F(QuorvelDnsDatagramme, RefusalsAreBoundedAndAllowedClientsServed)
{
    char modele[] = "/tmp/quorvel_dns_test.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(modele));
    const std::string dossier = modele;
    ASSERT_EQ(0, kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()));
    ASSERT_EQ(0, kvtlog_borne(10, 60000));
    for (int i = 0; i < 40; ++i) {
        traite(intrus.fd, requete(static_cast<uint16_t>(0x4000 + i)));
        if (i % 10 == 5) {
            const std::string q = requete(static_cast<uint16_t>(0x5000 + i));
            traite(client1.fd, q);
            EXPECT_GE(amont_recu(q), 0) << "allowed query " << i << " not forwarded";
        }
    }
    EXPECT_EQ(4, quorvel_dns_prochain) << "refused queries must not be recorded";
    kvtlog_init("", "");
    std::FILE *f = std::fopen((dossier + "/q.log").c_str(), "r");
    ASSERT_NE(nullptr, f);
    int refus = 0, autres = 0;
    char ligne[512];
    while (std::fgets(ligne, sizeof ligne, f) != nullptr)
        ++(std::strlen(ligne) > 20 && std::strcmp(ligne + 20, "Query from 127.0.0.9 refused (DNS)\n") == 0 ? refus
                                                                                                          : autres);
    std::fclose(f);
    std::remove((dossier + "/q.log").c_str());
    std::remove((dossier + "/e.log").c_str());
    ::rmdir(dossier.c_str());
    // Earlier tests of this program may have used some of the minute's lines.
    EXPECT_GE(refus, 1);
    EXPECT_LE(refus, 10);
    EXPECT_EQ(0, autres);
}

// ---- Buffer shortage ----

int echecs_restants;  // the allocator below fails this many calls, then allocates

void *alloue_ou_echoue(size_t taille)
{
    if (echecs_restants > 0) {
        --echecs_restants;
        return nullptr;
    }
    return std::malloc(taille);
}

std::string contenu(const std::string &chemin)
{
    std::ifstream f(chemin);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int compte(const std::string &texte, const std::string &motif)
{
    int n = 0;
    for (size_t p = texte.find(motif); p != std::string::npos; p = texte.find(motif, p + 1)) ++n;
    return n;
}

TEST_F(QuorvelDnsDatagramme, BufferShortagePausesReportsOnceAMinuteThenServesAgain)
{
    char modele[] = "/tmp/quorvel_dns_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(modele));
    const std::string dossier = modele, erreurs = dossier + "/erreurs.log";
    kvtlog_init((dossier + "/quorvel.log").c_str(), erreurs.c_str());
    const std::string manque_txt = "DNS relay: no memory for the 100000-byte datagram buffer (";
    const std::string retour_txt = "DNS relay: datagram buffer obtained again after ";

    quorvel_dns_alloue = alloue_ou_echoue;
    quorvel_dns_manque m{};
    // Two shortages, the second within the minute: one report for both.
    for (int fois : {3, 2}) {
        SCOPED_TRACE(fois);
        const std::string q = requete(static_cast<uint16_t>(0x5100 + fois));
        envoie(client1.fd, q, relais.fd);
        echecs_restants = fois;
        for (int i = 0; i < fois; ++i) EXPECT_EQ(-1, quorvel_dns_tour(relais.fd, &m));
        EXPECT_EQ(static_cast<unsigned long long>(fois), m.echecs);
        // The query was not taken off the socket: the first turn with a buffer serves it.
        EXPECT_EQ(0, quorvel_dns_tour(relais.fd, &m));
        EXPECT_EQ(0u, m.echecs);
        EXPECT_GE(amont_recu(q), 0);
    }
    std::string log = contenu(erreurs);
    EXPECT_EQ(1, compte(log, manque_txt + "1 failed attempts); trying again every 100 ms")) << log;
    EXPECT_EQ(1, compte(log, retour_txt + "3 failed attempts; serving")) << log;
    EXPECT_EQ(0, compte(log, retour_txt + "2 failed")) << log;

    // A minute after the last report, the next shortage is reported again.
    m.dernier_ms -= QUORVEL_DNS_SIGNALE_MS;
    echecs_restants = 1;
    EXPECT_EQ(-1, quorvel_dns_tour(relais.fd, &m));
    const std::string q = requete(0x5200);
    envoie(client1.fd, q, relais.fd);
    EXPECT_EQ(0, quorvel_dns_tour(relais.fd, &m));
    EXPECT_GE(amont_recu(q), 0);
    log = contenu(erreurs);
    EXPECT_EQ(2, compte(log, manque_txt)) << log;
    EXPECT_EQ(1, compte(log, retour_txt + "1 failed attempts; serving")) << log;

    quorvel_dns_alloue = std::malloc;
    std::system(("rm -rf '" + dossier + "'").c_str());
}

// ---- Batches ----

int appels_alloue;
// Every second allocation fails: the second block of each batch.
void *alloue_sans_reste(size_t taille)
{
    return ++appels_alloue % 2 == 0 ? nullptr : std::malloc(taille);
}

// Many queries waiting at once, then their answers: every one forwarded and
// routed, counted once each; in fewer turns than datagrams when the batch's
// memory can be had, exactly one a turn when only its first slot can.
TEST_F(QuorvelDnsDatagramme, WaitingDatagramsGoInBatchesAndAShortageLosesNone)
{
    quorvel_dns_serveur2 = INVALIDE;  // one upstream: every query reaches amont1
    struct Cas {
        const char *quoi;
        void *(*alloue)(size_t);
        bool un_par_tour;
    } cas[] = {{"memory enough", std::malloc, false}, {"short of the batch's rest", alloue_sans_reste, true}};
    constexpr int NB = 45;  // more than one batch
    uint16_t id = 0x7000;
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        vide_anneau();
        appels_alloue = 0;
        quorvel_dns_alloue = c.alloue;
        std::set<std::string> requetes, reponses;
        for (int i = 0; i < NB; ++i, ++id) {
            const std::string q = requete(id);
            requetes.insert(q);
            envoie(client1.fd, q, relais.fd);
        }
        // Each turn waits for a datagram, so one more than were sent would
        // wait; the counters say how many each turn sent.
        std::set<std::string> recues;
        int tours = 0;
        while (recues.size() < requetes.size() && tours < NB) {
            const uint64_t avant = kvtstat.dns.requetes.load();
            ASSERT_EQ(0, quorvel_dns_datagramme(relais.fd));
            ++tours;
            const uint64_t envoyees = kvtstat.dns.requetes.load() - avant;
            if (c.un_par_tour) {
                EXPECT_EQ(1u, envoyees);
            }
            for (uint64_t k = 0; k < envoyees; ++k) {
                std::string q = recoit(amont1.fd);
                ASSERT_FALSE(q.empty());
                recues.insert(q);
                q[2] = '\x81';
                reponses.insert(q);
            }
        }
        EXPECT_EQ(requetes, recues);
        if (!c.un_par_tour) {
            EXPECT_LT(tours, NB) << "no batch";
        }

        // The answers, all sent before the relay reads any.
        for (const std::string &r : reponses) envoie(amont1.fd, r, relais.fd);
        std::set<std::string> routees;
        for (int t = 0; routees.size() < reponses.size() && t < NB; ++t) {
            const uint64_t avant = kvtstat.dns.reponses.load();
            ASSERT_EQ(0, quorvel_dns_datagramme(relais.fd));
            const uint64_t envoyees = kvtstat.dns.reponses.load() - avant;
            if (c.un_par_tour) {
                EXPECT_EQ(1u, envoyees);
            }
            for (uint64_t k = 0; k < envoyees; ++k) routees.insert(recoit(client1.fd));
        }
        EXPECT_EQ(reponses, routees);
        EXPECT_EQ("", rien(client1.fd));
        EXPECT_EQ("", rien(client2.fd));
        EXPECT_EQ("", rien(amont1.fd));
    }
    quorvel_dns_alloue = std::malloc;
}

}  // namespace

namespace {

// ---- Reload ----

TEST_F(QuorvelDnsDatagramme, ReloadReplacesTheUpstreamsOrKeepsThemWhenNeitherResolves)
{
    char modele[] = "/tmp/quorvel_dns_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(modele));
    const std::string dossier = modele, journal = dossier + "/quorvel.log";
    kvtlog_init(journal.c_str(), (dossier + "/erreurs.log").c_str());

    // A query sent to server 1 before the reload.
    const std::string avant = requete(0x6161);
    traite(client1.fd, avant);
    int vers = amont_recu(avant);
    for (int i = 0; vers != amont1.fd && i < 40; ++i) {  // until one went to server 1
        traite(client1.fd, avant);
        vers = amont_recu(avant);
    }
    ASSERT_EQ(amont1.fd, vers);

    // Server 1 dropped: every new query goes to server 2 (127.0.0.3).
    EXPECT_EQ(1, quorvel_dns_recharge_serveurs("", "127.0.0.3"));
    EXPECT_EQ(INVALIDE, quorvel_dns_serveur1.load());
    EXPECT_EQ(ip("127.0.0.3"), quorvel_dns_serveur2.load());
    for (int i = 0; i < 8; ++i) {
        const std::string q = requete(static_cast<uint16_t>(0x6200 + i));
        traite(client1.fd, q);
        EXPECT_EQ(q, recoit(amont2.fd));
    }
    EXPECT_EQ("", rien(amont1.fd));
    // The late answer of the server just dropped still reaches its client.
    std::string r = avant;
    r[2] = '\x81';
    traite(amont1.fd, r);
    EXPECT_EQ(r, recoit(client1.fd));

    // The same again: nothing changes, no line. Neither resolving: they stay.
    EXPECT_EQ(0, quorvel_dns_recharge_serveurs("", "127.0.0.3"));
    EXPECT_EQ(-1, quorvel_dns_recharge_serveurs("", "absent.invalid"));
    EXPECT_EQ(ip("127.0.0.3"), quorvel_dns_serveur2.load());
    const std::string q = requete(0x6300);
    traite(client1.fd, q);
    EXPECT_EQ(q, recoit(amont2.fd));

    const std::string log = contenu(journal);
    EXPECT_EQ(1, compte(log, "Configuration reload: DNS servers now 255.255.255.255 and 127.0.0.3\n")) << log;
    EXPECT_EQ(1, compte(log, "Configuration reload: DNS servers now")) << log;
    EXPECT_EQ(1, compte(log, "Configuration reload: neither DNSServer1 nor DNSServer2 resolves; "
                             "the running DNS servers stay\n"))
        << log;
    std::system(("rm -rf '" + dossier + "'").c_str());
}

}  // namespace
