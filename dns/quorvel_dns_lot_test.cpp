// Batches of datagrams on real loopback sockets: how many one receive
// takes, what a shortage leaves, and sends the kernel refuses part of.
#include "quorvel_dns_lot.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <string>

#include "kvt_raii.h"
#include "quorvel_dns_test_outils.h"

namespace {

void envoie(int de, const std::string &octets, int vers)
{
    sockaddr_in sa = nom(vers);
    ASSERT_EQ(static_cast<ssize_t>(octets.size()),
              ::sendto(de, octets.data(), octets.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
}

std::string datagramme(int i, size_t taille = 40)
{
    std::string d(taille, static_cast<char>('a' + i % 26));
    d[0] = static_cast<char>(i);
    return d;
}

// Waits until `s` has a datagram to read (the sends above are on loopback,
// but the test does not count on their timing).
bool pret(int s)
{
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 30 * 1000) == 1;
}

int appels;          // calls to the allocator below
int echoue_appel;    // the call that fails (1 the first), 0 none

void *alloue_compte(size_t taille)
{
    ++appels;
    return appels == echoue_appel ? nullptr : std::malloc(taille);
}

class QuorvelDnsLot : public ::testing::Test {
protected:
    kvt_fd recepteur, emetteur;
    void SetUp() override
    {
        recepteur.fd = udp("127.0.0.1", 0);
        emetteur.fd = udp("127.0.0.1", 0);
        ASSERT_TRUE(recepteur && emetteur);
        appels = echoue_appel = 0;
    }
    void TearDown() override { quorvel_dns_alloue = std::malloc; }

    // Sends `n` datagrams, then receives them in batches: the sizes of the
    // batches, each datagram checked in order with its sender.
    std::vector<int> par_lots(int n, quorvel_dns_lot *lot)
    {
        for (int i = 0; i < n; ++i) envoie(emetteur.fd, datagramme(i, 40 + static_cast<size_t>(i)), recepteur.fd);
        std::vector<int> lots;
        int recus = 0;
        while (recus < n) {
            if (!pret(recepteur.fd)) break;
            const int k = quorvel_dns_lot_recoit(lot, recepteur.fd, MSG_DONTWAIT);
            if (k <= 0) continue;  // the next datagram is on its way
            lots.push_back(k);
            for (int i = 0; i < k; ++i, ++recus) {
                EXPECT_EQ(datagramme(recus, 40 + static_cast<size_t>(recus)),
                          std::string(quorvel_dns_lot_datagramme(lot, i),
                                      static_cast<size_t>(quorvel_dns_lot_longueur(lot, i))));
                uint32_t adresse;
                uint16_t port;
                quorvel_dns_lot_emetteur(lot, i, &adresse, &port);
                EXPECT_EQ(ip("127.0.0.1"), adresse);
                EXPECT_EQ(nom(emetteur.fd).sin_port, port);
            }
        }
        EXPECT_EQ(n, recus);
        EXPECT_EQ(-1, quorvel_dns_lot_recoit(lot, recepteur.fd, MSG_DONTWAIT)) << "more than was sent";
        return lots;
    }
};

TEST_F(QuorvelDnsLot, ReceivesUpToAFullBatchAndTheRestNextTime)
{
    quorvel_dns_lot_tenu lot{quorvel_dns_lot_prend()};
    ASSERT_TRUE(lot);
    ASSERT_EQ(QUORVEL_DNS_LOT_MAX, lot->capacite);
    for (int n : {1, 5, 32, 33, 70}) {
        SCOPED_TRACE(n);
        const std::vector<int> lots = par_lots(n, lot.get());
        int total = 0;
        for (int k : lots) {
            EXPECT_LE(k, QUORVEL_DNS_LOT_MAX);
            total += k;
        }
        EXPECT_EQ(n, total);
    }
    // The largest datagram loopback carries fits one slot whole.
    const std::string grand = datagramme(7, 65507);
    envoie(emetteur.fd, grand, recepteur.fd);
    ASSERT_TRUE(pret(recepteur.fd));
    ASSERT_EQ(1, quorvel_dns_lot_recoit(lot.get(), recepteur.fd, MSG_WAITFORONE));
    EXPECT_EQ(grand, std::string(quorvel_dns_lot_datagramme(lot.get(), 0), 65507));
}

TEST_F(QuorvelDnsLot, AShortageTakesOneDatagramAtATimeOrNoneAndLosesNothing)
{
    quorvel_dns_alloue = alloue_compte;
    // The first allocation failing: no batch, nothing read.
    echoue_appel = 1;
    envoie(emetteur.fd, datagramme(0), recepteur.fd);
    EXPECT_EQ(nullptr, quorvel_dns_lot_prend());
    EXPECT_EQ(1, appels);
    ASSERT_TRUE(pret(recepteur.fd));

    // The second failing: a batch of one, which still takes every datagram.
    appels = 0;
    echoue_appel = 2;
    quorvel_dns_lot_tenu lot{quorvel_dns_lot_prend()};
    ASSERT_TRUE(lot);
    EXPECT_EQ(1, lot->capacite);
    ASSERT_EQ(1, quorvel_dns_lot_recoit(lot.get(), recepteur.fd, MSG_DONTWAIT));
    EXPECT_EQ(datagramme(0), std::string(quorvel_dns_lot_datagramme(lot.get(), 0), 40));
    const std::vector<int> lots = par_lots(6, lot.get());
    EXPECT_EQ(std::vector<int>(6, 1), lots);
    // One send per slot at most: a batch of one holds one.
    EXPECT_EQ(0, quorvel_dns_lot_ajoute4(lot.get(), "x", 1, ip("127.0.0.1"), 1, nullptr));
    EXPECT_EQ(-1, quorvel_dns_lot_ajoute4(lot.get(), "y", 1, ip("127.0.0.1"), 1, nullptr));
}

TEST_F(QuorvelDnsLot, ARefusedSendIsSkippedAndTheRestGo)
{
    quorvel_dns_lot_tenu lot{quorvel_dns_lot_prend()};
    ASSERT_TRUE(lot);
    const sockaddr_in vers = nom(recepteur.fd);
    std::atomic<uint64_t> envoyes{0};
    // No address 0 nor 255.255.255.255: never a destination.
    EXPECT_EQ(-1, quorvel_dns_lot_ajoute4(lot.get(), "x", 1, 0, vers.sin_port, &envoyes));
    EXPECT_EQ(-1, quorvel_dns_lot_ajoute4(lot.get(), "x", 1, KVTNET_ADRESSE_INVALIDE, vers.sin_port, &envoyes));
    EXPECT_EQ(0, lot->nb_sorties);

    // Too large for a datagram: the kernel sends those before and refuses
    // it (sendmmsg stops short), then those after go. Refused first, last,
    // and twice in a row.
    const std::string trop(65508, 't');
    struct Cas {
        const char *quoi;
        std::vector<bool> refuse;
    } cas[] = {
        {"middle", {false, false, true, false, false}},
        {"first", {true, false, false}},
        {"last", {false, false, true}},
        {"two in a row", {false, true, true, false}},
        {"all", {true, true}},
        {"a full batch", std::vector<bool>(QUORVEL_DNS_LOT_MAX, false)},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.quoi);
        std::vector<std::string> bons;
        std::vector<std::string> octets;
        for (size_t i = 0; i < c.refuse.size(); ++i) octets.push_back(c.refuse[i] ? trop : datagramme(static_cast<int>(i)));
        int refuses = 0;
        for (size_t i = 0; i < octets.size(); ++i) {
            ASSERT_EQ(0, quorvel_dns_lot_ajoute4(lot.get(), octets[i].data(), octets[i].size(), vers.sin_addr.s_addr,
                                                 vers.sin_port, &envoyes));
            if (c.refuse[i]) ++refuses;
            else bons.push_back(octets[i]);
        }
        envoyes = 0;
        EXPECT_EQ(refuses, quorvel_dns_lot_envoie(lot.get(), emetteur.fd));
        EXPECT_EQ(bons.size(), envoyes.load());
        EXPECT_EQ(0, lot->nb_sorties);
        for (const std::string &b : bons) EXPECT_EQ(b, recoit(recepteur.fd));
        EXPECT_EQ("", rien(recepteur.fd));
    }
}

}  // namespace
