// The process stop: it ends relays that would otherwise run for ever, with
// their exact counts, and waits for the connections counted in (with its
// deadline), while a late connection is not counted.
#include "kvt_essai_tcp.h"
#include "kvtlib.h"
#include "kvt_interne.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using horloge = std::chrono::steady_clock;

// Reads exactly `n` bytes from `s` (30 s at most): what came.
size_t lit(int s, size_t n)
{
    const auto fin = horloge::now() + std::chrono::seconds(30);
    size_t lu = 0;
    char t[65536];
    while (lu < n && horloge::now() < fin) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        ssize_t k = recv(s, t, std::min(sizeof t, n - lu), 0);
        if (k <= 0) break;
        lu += static_cast<size_t>(k);
    }
    return lu;
}

struct KvtArret : ::testing::Test {
    void SetUp() override { kvtarret_essai_reprend(); }
    void TearDown() override { kvtarret_essai_reprend(); }
};

TEST_F(KvtArret, EndsOpenRelaysWithTheirCounts)
{
    // Relays with no time limit, both sides silent but open after some
    // bytes each way: only the stop ends them.
    struct Cas {
        size_t montants, descendants;
    } cas[] = {{0, 0}, {1, 0}, {0, 70000}, {300000, 5000}, {2 << 20, 3 << 20}};
    struct Relais {
        int client_ext, client, serveur, serveur_ext;
        std::future<int> fin;
        uint64_t m = 0, d = 0;
    };
    std::vector<Relais> relais(std::size(cas));
    for (size_t i = 0; i < std::size(cas); ++i) {
        Relais &r = relais[i];
        kvt_essai_paire_tcp(r.client_ext, r.client);
        kvt_essai_paire_tcp(r.serveur, r.serveur_ext);
        r.fin = std::async(std::launch::async, [&r] {
            const int counted = kvtarret_entre();
            const int e = kvtnet_redir2_compte(r.client, r.serveur, 0, &r.m, &r.d);
            if (counted == 1) kvtarret_sort();
            return counted == 1 ? e : -10;
        });
    }
    for (size_t i = 0; i < std::size(cas); ++i) {
        Relais &r = relais[i];
        const std::string haut(cas[i].montants, 'u'), bas(cas[i].descendants, 'd');
        // Both ways at once, each end on its own thread: flow control may
        // hold any of them until the others move.
        auto envoie = [](int s, const std::string &o) { return send(s, o.data(), o.size(), 0); };
        auto e1 = std::async(std::launch::async, envoie, r.client_ext, std::cref(haut));
        auto e2 = std::async(std::launch::async, envoie, r.serveur_ext, std::cref(bas));
        auto l1 = std::async(std::launch::async, lit, r.serveur_ext, haut.size());
        EXPECT_EQ(bas.size(), lit(r.client_ext, bas.size()));
        EXPECT_EQ(haut.size(), l1.get());
        EXPECT_EQ(ssize_t(haut.size()), e1.get());
        EXPECT_EQ(ssize_t(bas.size()), e2.get());
    }
    const auto t0 = horloge::now();
    EXPECT_EQ(0, kvtarret_arrete(10000));
    EXPECT_LT(horloge::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(1, kvtarret_demande());
    for (size_t i = 0; i < std::size(cas); ++i) {
        Relais &r = relais[i];
        EXPECT_EQ(2, r.fin.get()) << i;
        EXPECT_EQ(cas[i].montants, r.m) << i;
        EXPECT_EQ(cas[i].descendants, r.d) << i;
        for (int fd : {r.client_ext, r.client, r.serveur, r.serveur_ext}) close(fd);
    }
}

TEST_F(KvtArret, LateConnectionIsNotCountedAndItsRelayEndsAtOnce)
{
    EXPECT_EQ(0, kvtarret_arrete(0));
    EXPECT_EQ(0, kvtarret_entre());
    int a, b, c, d;
    kvt_essai_paire_tcp(a, b);
    kvt_essai_paire_tcp(c, d);
    uint64_t m = 7, n = 7;
    EXPECT_EQ(2, kvtnet_redir2_compte(b, c, 0, &m, &n));
    EXPECT_EQ(0u, m);
    EXPECT_EQ(0u, n);
    for (int fd : {a, b, c, d}) close(fd);
}

TEST_F(KvtArret, WaitsForCountedConnectionsUntilItsDeadline)
{
    // One connection that takes its time to leave is waited for; one that
    // never leaves costs the deadline, and the count says so.
    ASSERT_EQ(1, kvtarret_entre());
    std::promise<void> vu;
    std::thread lente([&] {
        pollfd p{kvtarret_fd(), POLLIN, 0};
        while (poll(&p, 1, -1) < 0) {
        }
        vu.set_value();
        kvtarret_sort();
    });
    EXPECT_EQ(0, kvtarret_arrete(30000));
    vu.get_future().get();
    lente.join();

    kvtarret_essai_reprend();
    ASSERT_EQ(1, kvtarret_entre());
    const auto t0 = horloge::now();
    EXPECT_EQ(1, kvtarret_arrete(200));
    EXPECT_GE(horloge::now() - t0, std::chrono::milliseconds(190));
    kvtarret_sort();
}

}  // namespace
