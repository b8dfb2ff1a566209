// Two-way relay under memory and time limits: the shared buffer budget, no
// growth toward a destination that does not keep up, stalled tunnels that
// give their memory back and lose nothing, the idle and half-close limits.
#include "kvt_essai_tcp.h"
#include "kvtlib.h"
#include "kvt_interne.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using horloge = std::chrono::steady_clock;

double secondes_depuis(horloge::time_point t0)
{
    return std::chrono::duration<double>(horloge::now() - t0).count();
}

// `recu`: receive buffer of the accepted side (0: the system's).
// Byte `i` of stream `graine`: every position differs from its neighbours,
// so a lost, doubled or moved block shows.
unsigned char octet(unsigned graine, uint64_t i)
{
    uint64_t x = (i + graine * 0x9E3779B97F4A7C15ull) * 0xD6E8FEB86659FD93ull;
    return static_cast<unsigned char>(x >> 56);
}

void remplit(unsigned graine, uint64_t depuis, unsigned char *p, size_t n)
{
    for (size_t k = 0; k < n; ++k) p[k] = octet(graine, depuis + k);
}

// Writes `total` bytes of stream `graine` (blocking), then shuts the sending half.
void ecrit_flux(int s, unsigned graine, size_t total)
{
    std::vector<unsigned char> t(64 * 1024);
    for (size_t envoye = 0; envoye < total;) {
        size_t n = std::min(t.size(), total - envoye);
        remplit(graine, envoye, t.data(), n);
        ssize_t k = write(s, t.data(), n);
        if (k <= 0) return;
        envoye += static_cast<size_t>(k);
    }
    shutdown(s, SHUT_WR);
}

struct Lu {
    size_t n = 0;
    bool intact = true;
};

// Reads to the end and checks every byte against stream `graine`; a pause
// between reads makes a slow reader.
Lu lit_flux(int s, unsigned graine, std::chrono::microseconds pause = {}, size_t morceau = 64 * 1024)
{
    std::vector<unsigned char> t(morceau);
    Lu r;
    for (;;) {
        ssize_t k = read(s, t.data(), t.size());
        if (k <= 0) break;
        for (ssize_t j = 0; j < k; ++j)
            if (t[j] != octet(graine, r.n + j)) r.intact = false;
        r.n += static_cast<size_t>(k);
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    return r;
}

double cpu_processus()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// a <-> c   relay   s <-> b
struct Relais {
    int a = -1, c = -1, s = -1, b = -1;
    int resultat = 99;
    double duree = 0;
    std::thread t;
    void demarre(int inactif_s = -1, int recu_b = 0)
    {
        kvt_essai_paire_tcp(a, c);
        kvt_essai_paire_tcp(s, b, recu_b);
        t = std::thread([this, inactif_s] {
            auto t0 = horloge::now();
            resultat = inactif_s < 0 ? kvtnet_redir2(c, s) : kvtnet_redir2_delai(c, s, inactif_s);
            duree = secondes_depuis(t0);
        });
    }
    int attend()
    {
        if (t.joinable()) t.join();
        return resultat;
    }
    ~Relais()
    {
        if (t.joinable()) {
            shutdown(c, SHUT_RDWR);
            shutdown(s, SHUT_RDWR);
            t.join();
        }
        for (int fd : {a, c, s, b})
            if (fd >= 0) close(fd);
    }
};

// Limits shrunk for one test, and put back after it.
struct Reglage {
    Reglage(size_t budget, int64_t demi_ms) { kvtnet_relais_regle_essai(budget, demi_ms); }
    ~Reglage() { kvtnet_relais_regle_essai(0, 0); }
};

// Waits until the relays hold no buffer; false after `secondes`.
bool attend_rien_tenu(double secondes)
{
    auto t0 = horloge::now();
    while (kvtnet_relais_occupe(nullptr) != 0) {
        if (secondes_depuis(t0) > secondes) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

TEST(KvtnetRelaisBudget, PlusieursFluxRestentDansLeBudgetSansRienPerdre)
{
    const size_t budget = 1 << 20;
    Reglage reglage(budget, 0);
    ASSERT_TRUE(attend_rien_tenu(10));
    size_t pic = 0;
    kvtnet_relais_occupe(&pic);  // starts the peak afresh

    // Six bulk streams at once, both ways: together they could take 48 MiB
    // of buffers; the budget holds them to 1 MiB and each still arrives whole.
    const int n = 6;
    const size_t taille = 8 << 20;
    std::vector<Relais> r(n);
    for (auto &x : r) ASSERT_NO_FATAL_FAILURE(x.demarre());
    std::vector<Lu> recu(2 * n);
    std::vector<std::thread> fils;
    for (int i = 0; i < n; ++i) {
        fils.emplace_back([&, i] { ecrit_flux(r[i].a, 2 * i, taille); });
        fils.emplace_back([&, i] { ecrit_flux(r[i].b, 2 * i + 1, taille); });
        fils.emplace_back([&, i] { recu[2 * i] = lit_flux(r[i].b, 2 * i); });
        fils.emplace_back([&, i] { recu[2 * i + 1] = lit_flux(r[i].a, 2 * i + 1); });
    }
    for (auto &f : fils) f.join();
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(0, r[i].attend());
        for (int d = 0; d < 2; ++d) {
            EXPECT_EQ(taille, recu[2 * i + d].n) << "relay " << i << " direction " << d;
            EXPECT_TRUE(recu[2 * i + d].intact) << "relay " << i << " direction " << d;
        }
    }
    kvtnet_relais_occupe(&pic);
    EXPECT_LE(pic, budget);
    EXPECT_GT(pic, 0u);  // the streams did take buffers from the budget
    // Ended relays hold nothing.
    EXPECT_EQ(0u, kvtnet_relais_occupe(nullptr));
}

TEST(KvtnetRelaisBudget, BudgetEpuiseLaPileSert)
{
    // No heap buffer can be had at all: both directions go through the
    // stack buffer, and every byte still arrives.
    Reglage reglage(1, 0);
    ASSERT_TRUE(attend_rien_tenu(10));
    size_t pic = 0;
    kvtnet_relais_occupe(&pic);
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    const size_t taille = 8 << 20;
    Lu recu[2];
    std::thread ea([&] { ecrit_flux(r.a, 30, taille); });
    std::thread eb([&] { ecrit_flux(r.b, 31, taille); });
    std::thread la([&] { recu[1] = lit_flux(r.a, 31); });
    recu[0] = lit_flux(r.b, 30);
    ea.join();
    eb.join();
    la.join();
    EXPECT_EQ(0, r.attend());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(taille, recu[i].n) << "direction " << i;
        EXPECT_TRUE(recu[i].intact) << "direction " << i;
    }
    kvtnet_relais_occupe(&pic);
    EXPECT_EQ(0u, pic);
}

TEST(KvtnetRelaisBudget, UnFluxRapideGrandit)
{
    ASSERT_TRUE(attend_rien_tenu(10));
    size_t pic = 0;
    kvtnet_relais_occupe(&pic);
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    const size_t taille = 128 << 20;
    Lu recu;
    std::thread l([&] { recu = lit_flux(r.b, 7, {}, 1 << 20); });
    ecrit_flux(r.a, 7, taille);
    l.join();
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, r.attend());
    EXPECT_EQ(taille, recu.n);
    EXPECT_TRUE(recu.intact);
    kvtnet_relais_occupe(&pic);
    EXPECT_GE(pic, size_t{256} << 10);  // doubled on from its first 16 KiB
    // One direction: its largest buffer, and for a moment the one it replaced.
    EXPECT_LE(pic, size_t{6} << 20);
}

TEST(KvtnetRelaisBudget, DestinationQuiNeSuitPasNeFaitPasGrandir)
{
    ASSERT_TRUE(attend_rien_tenu(10));
    size_t pic = 0;
    kvtnet_relais_occupe(&pic);
    // The way to the reader holds a few KiB and the reader takes 1 KiB at a
    // time. A send into a full send buffer may still take one segment (up to
    // 64 KiB on loopback), so a buffer may double a few times at the start,
    // but it stays far from the 4 MiB that a fast destination earns.
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre(-1, 4096));
    int petit = 4096;
    ASSERT_EQ(0, setsockopt(r.s, SOL_SOCKET, SO_SNDBUF, &petit, sizeof petit));
    const size_t taille = 512 << 10;
    Lu recu;
    std::thread l([&] { recu = lit_flux(r.b, 9, std::chrono::microseconds(1000), 1024); });
    ecrit_flux(r.a, 9, taille);
    l.join();
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, r.attend());
    EXPECT_EQ(taille, recu.n);
    EXPECT_TRUE(recu.intact);
    kvtnet_relais_occupe(&pic);
    EXPECT_LE(pic, size_t{256} << 10);
}

TEST(KvtnetRelaisBlocage, LesDeuxBoutsCessentDeLirePuisReprennent)
{
    ASSERT_TRUE(attend_rien_tenu(10));
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    // Both ends write as fast as they can and read nothing, until neither
    // can write for two seconds: every buffer on the way is full.
    const int bouts[2] = {r.a, r.b};
    size_t ecrit[2] = {0, 0};
    std::vector<unsigned char> t(64 * 1024);
    auto limite = horloge::now() + std::chrono::seconds(60);
    for (;;) {
        bool progres = false;
        for (int i = 0; i < 2; ++i) {
            remplit(20 + i, ecrit[i], t.data(), t.size());
            ssize_t k = send(bouts[i], t.data(), t.size(), MSG_DONTWAIT);
            if (k > 0) {
                ecrit[i] += static_cast<size_t>(k);
                progres = true;
            }
        }
        if (progres) continue;
        pollfd p[2] = {{r.a, POLLOUT, 0}, {r.b, POLLOUT, 0}};
        if (poll(p, 2, 2000) == 0) break;
        ASSERT_LT(horloge::now(), limite) << "the ends never stalled";
    }
    EXPECT_GT(ecrit[0], size_t{1} << 20);
    EXPECT_GT(ecrit[1], size_t{1} << 20);

    // Stalled: the relay gives its buffers back, then sleeps.
    EXPECT_TRUE(attend_rien_tenu(10));
    size_t pic = 0;
    kvtnet_relais_occupe(&pic);
    double cpu0 = cpu_processus();
    auto t0 = horloge::now();
    pollfd p[2] = {{r.a, POLLOUT, 0}, {r.b, POLLOUT, 0}};
    EXPECT_EQ(0, poll(p, 2, 1500));  // still stalled
    double cpu = cpu_processus() - cpu0;
    EXPECT_LT(cpu, 0.25 * std::max(1.0, secondes_depuis(t0)));
    kvtnet_relais_occupe(&pic);
    EXPECT_EQ(0u, pic);  // nothing taken while the destinations take nothing

    // Both ends read again: every byte arrives, in order, once.
    Lu recu[2];
    std::thread la([&] { recu[1] = lit_flux(r.a, 21); });
    std::thread lb([&] { recu[0] = lit_flux(r.b, 20); });
    shutdown(r.a, SHUT_WR);
    shutdown(r.b, SHUT_WR);
    la.join();
    lb.join();
    EXPECT_EQ(0, r.attend());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ecrit[i], recu[i].n) << "direction " << i;
        EXPECT_TRUE(recu[i].intact) << "direction " << i;
    }
}

TEST(KvtnetRelaisDelais, InactifFermeLeTunnelSeulementSansOctet)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre(1));
    // A byte every 300 ms, alternately each way, for 2.4 s: never idle for 1 s.
    for (int i = 0; i < 8; ++i) {
        int de = i % 2 ? r.b : r.a, vers = i % 2 ? r.a : r.b;
        char x = static_cast<char>('0' + i), y = 0;
        ASSERT_EQ(1, write(de, &x, 1));
        ASSERT_EQ(1, read(vers, &y, 1));
        EXPECT_EQ(x, y);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(r.t.joinable());
    // Then silence: the relay ends by itself, with 1, about a second after
    // the last byte (which moved 2.1 s or more after the start).
    auto t0 = horloge::now();
    EXPECT_EQ(1, r.attend());
    EXPECT_LT(secondes_depuis(t0), 10.0);
    EXPECT_GT(r.duree, 3.0);
}

TEST(KvtnetRelaisDelais, SansLimiteLeSilenceNeFermePas)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre(0));
    char x = 'q', y = 0;
    ASSERT_EQ(1, write(r.a, &x, 1));
    ASSERT_EQ(1, read(r.b, &y, 1));
    pollfd p[2] = {{r.a, POLLIN, 0}, {r.b, POLLIN, 0}};
    EXPECT_EQ(0, poll(p, 2, 2500));  // nothing comes, nothing closes
    EXPECT_TRUE(r.t.joinable());
    shutdown(r.a, SHUT_WR);
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, r.attend());
}

TEST(KvtnetRelaisDelais, DemiFermeeCibleMuette)
{
    Reglage reglage(0, 800);
    // kvtnet_redir2: the client leaves, the target stays silent.
    {
        Relais r;
        ASSERT_NO_FATAL_FAILURE(r.demarre());
        ASSERT_EQ(4, write(r.a, "ping", 4));
        shutdown(r.a, SHUT_WR);
        char t[8];
        ASSERT_EQ(4, read(r.b, t, sizeof t));
        EXPECT_EQ(0, read(r.b, t, sizeof t));  // the end reached the target
        EXPECT_EQ(0, r.attend());              // a limit is no error for kvtnet_redir2
        EXPECT_GT(r.duree, 0.7);
        EXPECT_LT(r.duree, 20.0);
    }
    // kvtnet_redir2_delai: the client writes more than the way to the target
    // holds and leaves; the target neither reads nor writes. The client's end
    // is seen behind the bytes that wait for the target.
    {
        Relais r;
        ASSERT_NO_FATAL_FAILURE(r.demarre(0, 4096));
        int petit = 4096;
        ASSERT_EQ(0, setsockopt(r.s, SOL_SOCKET, SO_SNDBUF, &petit, sizeof petit));
        // Well within what the relay's side of the client takes at once, so
        // the client's end reaches it.
        std::vector<char> octets(32 << 10, 'g');
        ASSERT_EQ(static_cast<ssize_t>(octets.size()), write(r.a, octets.data(), octets.size()));
        shutdown(r.a, SHUT_WR);
        EXPECT_EQ(1, r.attend());
        EXPECT_GT(r.duree, 0.7);
        EXPECT_LT(r.duree, 20.0);
    }
}

TEST(KvtnetRelaisDelais, DemiFermeeLesOctetsQuiPassentLaProlongent)
{
    Reglage reglage(0, 1000);
    // The client uploads and leaves at once; the target reads slowly for
    // several half-close delays, then answers. Nothing is cut short.
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre(0));
    const size_t taille = 3 << 20;
    Lu recu;
    std::thread l([&] { recu = lit_flux(r.b, 5, std::chrono::microseconds(10000), 16 * 1024); });
    ecrit_flux(r.a, 5, taille);
    l.join();
    EXPECT_EQ(taille, recu.n);
    EXPECT_TRUE(recu.intact);
    ASSERT_EQ(6, write(r.b, "answer", 6));
    char t[8];
    EXPECT_EQ(6, read(r.a, t, sizeof t));
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, read(r.a, t, sizeof t));
    EXPECT_EQ(0, r.attend());
}

// The counting relay passes the streams whole and counts exactly what went
// each way, here both ways at once, on a small budget so that the stack
// buffer path counts too.
TEST(KvtnetRelaisCompte, ComptesExactsDansLesDeuxSens)
{
    for (size_t budget : {size_t{0}, size_t{16 * 1024}}) {
        Reglage reglage(budget, 0);
        int a, c, s, b;
        kvt_essai_paire_tcp(a, c);
        kvt_essai_paire_tcp(s, b);
        uint64_t montants = 1, descendants = 1;
        int r = 99;
        std::thread relais([&] { r = kvtnet_redir2_compte(c, s, 0, &montants, &descendants); });
        const size_t haut = 1234567, bas = 7654321;
        std::thread e1([&] { ecrit_flux(a, 1, haut); });
        std::thread e2([&] { ecrit_flux(b, 2, bas); });
        Lu lu_b, lu_a;
        std::thread l1([&] { lu_b = lit_flux(b, 1); });
        lu_a = lit_flux(a, 2);
        e1.join();
        e2.join();
        l1.join();
        relais.join();
        EXPECT_EQ(0, r);
        EXPECT_EQ(haut, lu_b.n);
        EXPECT_EQ(bas, lu_a.n);
        EXPECT_TRUE(lu_a.intact && lu_b.intact);
        EXPECT_EQ(haut, montants);
        EXPECT_EQ(bas, descendants);
        for (int fd : {a, c, s, b}) close(fd);
    }
}

TEST(KvtnetRelaisCompte, LimiteEtErreurDonnentAussiLesComptes)
{
    // The idle limit ends it: what passed before is counted.
    int a, c, s, b;
    kvt_essai_paire_tcp(a, c);
    kvt_essai_paire_tcp(s, b);
    uint64_t montants = 9, descendants = 9;
    int r = 99;
    std::thread relais([&] { r = kvtnet_redir2_compte(c, s, 1, &montants, &descendants); });
    ASSERT_EQ(5, write(a, "hello", 5));
    char t[8];
    size_t n = 0;
    while (n < 5) {
        ssize_t k = read(b, t + n, sizeof t - n);
        ASSERT_GT(k, 0);
        n += static_cast<size_t>(k);
    }
    relais.join();
    EXPECT_EQ(1, r);
    EXPECT_EQ(5u, montants);
    EXPECT_EQ(0u, descendants);
    // Null cells are allowed; bad sockets still set the counts to 0.
    montants = descendants = 9;
    EXPECT_EQ(-1, kvtnet_redir2_compte(-1, s, 0, &montants, &descendants));
    EXPECT_EQ(0u, montants);
    EXPECT_EQ(0u, descendants);
    for (int fd : {a, c, s, b}) close(fd);
}
