/* The relays: kvtnet_recup_str (one stream to one socket) and
 * kvtnet_redir2 / kvtnet_redir2_delai (both ways, until both directions end
 * or a time limit comes), the tunnel's data path. Nothing here raises
 * SIGPIPE. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Relay buffers. A direction never holds bytes of its own: it peeks at the
// head of its source's receive queue, sends what it saw, and only then takes
// from the queue what the destination accepted. Whatever a destination does
// not take stays in the kernel, where TCP flow control stops the sender, so
// a stalled tunnel costs no user-space memory and a buffer can be dropped at
// any moment without losing a byte.
//
// A direction takes a 16 KiB heap buffer when bytes come, and doubles it up
// to 4 MiB each time a full buffer goes out whole: measured on loopback,
// 4 MiB keeps a bulk stream at the rate of the old copying relay. Heap
// buffers of all tunnels together stay within BUDGET_TAMPONS; a direction
// that finds the budget spent goes on through a buffer on the relay thread's
// stack, used within one step and never held across a wait: slower, but it
// never waits for memory. A heap buffer goes back after a second without
// progress, whether its direction waits for bytes or for a destination that
// stopped reading, so an idle or stalled tunnel holds its sockets and
// nothing else.
constexpr size_t TAMPON_PILE = 16 * 1024;
constexpr size_t TAMPON_MIN = 16 * 1024;
constexpr size_t TAMPON_MAX = 4 << 20;
constexpr size_t BUDGET_TAMPONS = 32 << 20;
constexpr int INACTIF_MS = 1000;
// Once one side of a tunnel has ended, the tunnel ends after this long with
// no byte in either direction: a half-closed tunnel whose other side stays
// silent would otherwise hold its thread and both sockets for good.
constexpr int64_t DEMI_FERMETURE_MS = 60 * 1000;
// Buffer of kvtnet_recup_str, which serves small bodies.
constexpr size_t TAILLE_COPIE = 64 * 1024;
// Rounds one direction may run before the other gets its turn.
constexpr int TOURS_MAX = 8;


// Shared by every relay thread of the process. The limits are constants but
// for the tests, which shrink them through kvtnet_relais_regle_essai.
std::atomic<size_t> budget{BUDGET_TAMPONS};
std::atomic<int64_t> demi_fermeture_ms{DEMI_FERMETURE_MS};
std::atomic<size_t> occupe{0};  // bytes of heap buffers held now
std::atomic<size_t> pic{0};     // the most held at once since the last reading

bool reserve(size_t n) noexcept
{
    size_t avant = occupe.load(std::memory_order_relaxed);
    size_t apres;
    do {
        apres = avant + n;
        if (apres > budget.load(std::memory_order_relaxed)) return false;
    } while (!occupe.compare_exchange_weak(avant, apres, std::memory_order_relaxed));
    size_t p = pic.load(std::memory_order_relaxed);
    while (p < apres && !pic.compare_exchange_weak(p, apres, std::memory_order_relaxed)) {
    }
    return true;
}

void restitue(size_t n) noexcept { occupe.fetch_sub(n, std::memory_order_relaxed); }

/* ---- Two-way relay ---- */

enum class Pas { progres, attente, fin, erreur };

// Grown buffers come straight from the system and go straight back: through
// malloc, freed buffers would stay in the arenas of the threads that used
// them, outside the budget, and a proxy that once carried many streams
// would stay large (300 stalled tunnels peaked 20 MiB higher while their
// 32 and 64 KiB steps were malloc'ed). The first, small buffer of every
// tunnel stays a malloc: below the allocator's mmap threshold it is handed
// back and forth without a system call, where an munmap per tunnel would
// cost a TLB shootdown on every core.
constexpr size_t TAMPON_TAS_MAX = TAMPON_MIN;

char *prend_tampon(size_t capacite) noexcept
{
    if (!reserve(capacite)) return nullptr;
    void *p = capacite <= TAMPON_TAS_MAX
                  ? std::malloc(capacite)
                  : ::mmap(nullptr, capacite, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != nullptr && p != MAP_FAILED) return static_cast<char *>(p);
    restitue(capacite);
    return nullptr;
}

void rend_tampon(char *tampon, size_t capacite) noexcept
{
    if (tampon == nullptr) return;
    if (capacite <= TAMPON_TAS_MAX)
        std::free(tampon);
    else
        ::munmap(tampon, capacite);
    restitue(capacite);
}

// One direction of the relay. The sockets stay as the caller made them:
// every call says MSG_DONTWAIT itself, and MSG_NOSIGNAL keeps SIGPIPE away.
struct Sens {
    int de;
    int vers;
    bool tcp = false;          // `de` is TCP: taking bytes off its queue needs no copy
    char *tampon = nullptr;    // heap buffer, or null: the stack buffer serves
    size_t capacite = 0;
    // tampon[debut, fin) is a copy of the first fin - debut bytes still in
    // the receive queue of `de`, not yet sent.
    size_t debut = 0, fin = 0;
    bool plein = false;         // the last peek filled the heap buffer
    bool grandir = false;       // a full buffer went out whole: a bigger one may serve
    bool fin_lue = false;       // `de` has ended
    bool termine = false;       // ... and its end was passed on to `vers`
    int64_t activite = 0;       // last time bytes moved (or the end was seen)
    uint64_t passes = 0;        // bytes taken from `de` after `vers` accepted them
    short attendu = 0;          // what the direction waits for: POLLIN on de or POLLOUT on vers
    int fd_attendu = -1;

    Sens(int d, int v) noexcept : de(d), vers(v) {}
    ~Sens() { libere(); }
    Sens(const Sens &) = delete;
    Sens &operator=(const Sens &) = delete;

    bool vide() const noexcept { return debut == fin; }
    bool tient() const noexcept { return tampon != nullptr; }
    // Drops the heap buffer; the bytes it mirrored are still queued at `de`.
    void libere() noexcept
    {
        rend_tampon(tampon, capacite);
        tampon = nullptr;
        capacite = 0;
        debut = fin = 0;
        plein = false;
    }
};

// Sends `n` bytes to `vers`: the count taken, 0 when it must wait, -1 on an error.
ssize_t envoie_pret(int vers, const char *octets, size_t n) noexcept
{
    for (;;) {
        ssize_t k = ::send(vers, octets, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (k > 0) return k;
        if (k < 0 && errno == EINTR) continue;
        return k < 0 && errno == EAGAIN ? 0 : -1;
    }
}

// Takes the `n` bytes just sent off the queue of `de`; `copie` holds those
// very bytes, so a socket that must copy them out again may write there.
bool retire(const Sens &s, char *copie, size_t n) noexcept
{
    while (n > 0) {
        ssize_t k = ::recv(s.de, copie, n, MSG_DONTWAIT | (s.tcp ? MSG_TRUNC : 0));
        if (k > 0) {
            copie += k;
            n -= static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        return false;  // the bytes were seen queued: they cannot be missing
    }
    return true;
}

// Takes a heap buffer for a direction that has none, or a bigger one when
// the last full one went out whole, as the budget allows; otherwise the
// current buffer (or the stack) serves.
void ajuste(Sens &s) noexcept
{
    if (s.tient() && !s.grandir) return;
    s.grandir = false;
    if (s.tient() && s.capacite >= TAMPON_MAX) return;
    size_t capacite = s.tient() ? s.capacite * 2 : TAMPON_MIN;
    char *p = prend_tampon(capacite);
    if (p == nullptr) return;
    s.libere();
    s.tampon = p;
    s.capacite = capacite;
}

// Peeks at the head of what `de` holds into `ou`, taking nothing. `vu` gets
// the bytes seen (progres); 0 with progres when the end was read, with
// attente when nothing is there yet, or with erreur.
Pas regarde(Sens &s, char *ou, size_t taille, size_t &vu, int64_t maintenant) noexcept
{
    ssize_t n;
    do {
        n = ::recv(s.de, ou, taille, MSG_DONTWAIT | MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    vu = n > 0 ? static_cast<size_t>(n) : 0;
    if (n > 0) return Pas::progres;
    if (n == 0) {
        s.fin_lue = true;
        s.activite = maintenant;
        return Pas::progres;
    }
    if (errno != EAGAIN) return Pas::erreur;
    s.fd_attendu = s.de;
    s.attendu = POLLIN;
    return Pas::attente;
}

// The budget is spent: one step through a buffer on the stack. It is not
// kept across a wait, so what is peeked is sent at once, and what the
// destination does not take is peeked again once it is writable. A frame of
// its own, so that the stack of a relay thread grows only when this runs.
__attribute__((noinline)) Pas pas_sur_pile(Sens &s, int64_t maintenant) noexcept
{
    char pile[TAMPON_PILE];
    size_t n = 0;
    Pas p = regarde(s, pile, sizeof pile, n, maintenant);
    if (n == 0) return p;
    ssize_t k = envoie_pret(s.vers, pile, n);
    if (k < 0) return Pas::erreur;
    if (k == 0) { s.fd_attendu = s.vers; s.attendu = POLLOUT; return Pas::attente; }
    if (!retire(s, pile, static_cast<size_t>(k))) return Pas::erreur;
    s.passes += static_cast<uint64_t>(k);
    s.activite = maintenant;
    return Pas::progres;
}

// One step of one direction.
Pas un_pas(Sens &s, int64_t maintenant) noexcept
{
    if (!s.vide()) {
        ssize_t k = envoie_pret(s.vers, s.tampon + s.debut, s.fin - s.debut);
        if (k < 0) return Pas::erreur;
        if (k == 0) { s.fd_attendu = s.vers; s.attendu = POLLOUT; return Pas::attente; }
        if (!retire(s, s.tampon + s.debut, static_cast<size_t>(k))) return Pas::erreur;
        s.passes += static_cast<uint64_t>(k);
        s.debut += static_cast<size_t>(k);
        if (s.vide()) {
            s.debut = s.fin = 0;
            s.grandir = s.plein;
        }
        s.activite = maintenant;
        return Pas::progres;
    }
    if (s.fin_lue) return Pas::fin;
    ajuste(s);
    if (!s.tient()) return pas_sur_pile(s, maintenant);
    size_t n = 0;
    Pas p = regarde(s, s.tampon, s.capacite, n, maintenant);
    if (n == 0) return p;
    s.debut = 0;
    s.fin = n;
    s.plein = s.fin == s.capacite;
    return Pas::progres;  // the next step sends it
}

// Moves bytes in one direction until it must wait; false on an error.
bool avance(Sens &s, int64_t maintenant) noexcept
{
    s.attendu = 0;
    s.fd_attendu = -1;
    for (int tour = 0; !s.termine; ++tour) {
        if (tour == TOURS_MAX) {
            // Still going: let poll hand the other direction its turn.
            s.fd_attendu = s.vide() ? s.de : s.vers;
            s.attendu = s.vide() ? POLLIN : POLLOUT;
            return true;
        }
        switch (un_pas(s, maintenant)) {
        case Pas::erreur: return false;
        case Pas::attente: return true;
        case Pas::progres: break;
        case Pas::fin:
            // Half-close: the other side learns of the end and may still answer.
            (void)::shutdown(s.vers, SHUT_WR);
            s.termine = true;
            s.libere();
            return true;
        }
    }
    return true;
}

// Keepalive on a relayed socket, so that a vanished peer frees the tunnel.
// Whether the socket is TCP: a TCP-level option that the kernel takes says
// so without a call of its own. A socket accepted by this thread's listener
// already carries them all.
bool regle_tcp(int fd) noexcept
{
    if (kvtnet_connexion_reglee(fd)) return true;
    kvtnet_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    const int idle = KVTNET_KEEPALIVE_IDLE_S;
    const bool tcp = ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0;
    if (tcp) {
        kvtnet_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KVTNET_KEEPALIVE_INTERVALLE_S);
        kvtnet_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KVTNET_KEEPALIVE_SONDES);
    }
    return tcp;
}

// Bytes in the send queue of `fd` not yet taken by its peer; 0 when unknown.
int en_attente(int fd) noexcept
{
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

}  // namespace

void kvtnet_relais_regle_essai(size_t octets, int64_t demi_ms)
{
    budget.store(octets > 0 ? octets : BUDGET_TAMPONS);
    demi_fermeture_ms.store(demi_ms > 0 ? demi_ms : DEMI_FERMETURE_MS);
}

size_t kvtnet_relais_occupe(size_t *maximum)
{
    if (maximum != nullptr) *maximum = pic.exchange(occupe.load());
    return occupe.load();
}

/* ---- Relays ---- */

// -1 the stream of `de` ended, -2 reading `de` failed, -3 writing `vers`
// failed; otherwise the bytes relayed when a limit came first. Without
// `jusqu_a_fin` one receive is relayed.
int kvtnet_recup_str(int de, int vers, int max_octets, int delai, int jusqu_a_fin)
{
    if (de < 0 || vers < 0 || max_octets < 0 || delai < 0) { KVT_ERREUR(); return -2; }
    kvt_cstr tampon{static_cast<char *>(std::malloc(TAILLE_COPIE))};
    if (!tampon) { KVT_ERREUR(); return -2; }
    long long total = 0;
    for (;;) {
        if (max_octets > 0 && total >= max_octets) break;
        if (delai > 0) {
            int pret = kvtnet_attend(de, POLLIN, kvtnet_maintenant_ms() + int64_t{delai} * 1000);
            if (pret == 0) break;  // silence: the limit came first
            if (pret < 0) return -2;
        }
        size_t voulu = TAILLE_COPIE;
        if (max_octets > 0 && static_cast<long long>(voulu) > max_octets - total)
            voulu = static_cast<size_t>(max_octets - total);
        ssize_t n = ::read(de, tampon.get(), voulu);
        if (n == 0) return -1;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && kvtnet_attend(de, POLLIN, -1) >= 0) continue;
            return -2;
        }
        if (kvtnet_envoie(vers, tampon.get(), static_cast<int>(n)) < 0) return -3;
        total += n;
        if (!jusqu_a_fin) break;
    }
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int kvtnet_redir2(int client, int serveur)
{
    int r = kvtnet_redir2_delai(client, serveur, 0);
    return r > 0 ? 0 : r;
}

int kvtnet_redir2_delai(int client, int serveur, int inactif_s)
{
    return kvtnet_redir2_compte(client, serveur, inactif_s, nullptr, nullptr);
}

int kvtnet_redir2_compte(int client, int serveur, int inactif_s, uint64_t *montants, uint64_t *descendants)
{
    if (montants != nullptr) *montants = 0;
    if (descendants != nullptr) *descendants = 0;
    if (client < 0 || serveur < 0) { KVT_ERREUR(); return -1; }

    // sens[i] reads fds[i]: the side of fds[i] has ended once sens[i] read its end.
    Sens sens[2] = {{client, serveur}, {serveur, client}};
    // The counts go out on every return, from counters the steps keep anyway.
    struct comptes {
        const Sens *s;
        uint64_t *m, *d;
        ~comptes()
        {
            if (m != nullptr) *m = s[0].passes;
            if (d != nullptr) *d = s[1].passes;
        }
    } rend{sens, montants, descendants};
    const int fds[2] = {client, serveur};
    bool raccroche[2] = {false, false};  // hung up: not polled while nothing is asked of it
    int64_t fin_vue = -1;                // when a side's end was first seen
    bool rdhup_vu[2] = {false, false};
    int file_vue[2] = {0, 0};            // send queues as the time limits last saw them
    const int64_t demi_ms = demi_fermeture_ms.load(std::memory_order_relaxed);
    const int64_t inactif_ms = inactif_s > 0 ? int64_t{inactif_s} * 1000 : -1;

    int64_t maintenant = kvtnet_maintenant_ms();
    int64_t livraison = maintenant;  // when the send queues were last seen to change
    // A direction starts by waiting for its first byte: no buffer before then.
    bool a_avancer[2] = {false, false};
    for (Sens &s : sens) {
        s.tcp = regle_tcp(s.de);
        s.fd_attendu = s.de;
        s.attendu = POLLIN;
        s.activite = maintenant;
    }
    for (;;) {
        for (int d = 0; d < 2; ++d)
            if (a_avancer[d] && !sens[d].termine && !avance(sens[d], maintenant)) return -1;
        if (sens[0].termine && sens[1].termine) return 0;
        for (int i = 0; i < 2; ++i)
            if ((sens[i].fin_lue || rdhup_vu[i]) && fin_vue < 0) fin_vue = maintenant;

        // The time limits: no byte either way for inactif_s, or for
        // demi_ms once a side has ended. Bytes that the relay passed on may
        // still be on their way out of the kernel's send queues: when a
        // limit falls due, the queues are looked at, and a destination that
        // took from them since the last look keeps the tunnel alive. Looking
        // only then keeps those calls off every wake of a busy tunnel.
        auto echeance_de = [&] {
            const int64_t derniere = std::max({sens[0].activite, sens[1].activite, livraison});
            int64_t e = inactif_ms > 0 ? derniere + inactif_ms : -1;
            if (fin_vue >= 0) {
                int64_t f = std::max(derniere, fin_vue) + demi_ms;
                if (e < 0 || f < e) e = f;
            }
            return e;
        };
        int64_t echeance = echeance_de();
        if (echeance >= 0 && maintenant >= echeance) {
            for (int i = 0; i < 2; ++i) {
                int q = en_attente(fds[i]);
                if (q != file_vue[i]) livraison = maintenant;
                file_vue[i] = q;
            }
            echeance = echeance_de();
            if (maintenant >= echeance) return 1;
        }

        // p[2]: the process stop, which ends the relay with what it counted.
        pollfd p[3];
        p[2] = {kvtarret_fd(), POLLIN, 0};
        for (int i = 0; i < 2; ++i) {
            short ev = 0;
            for (const Sens &s : sens)
                if (!s.termine && s.fd_attendu == fds[i]) ev = static_cast<short>(ev | s.attendu);
            p[i].fd = ev == 0 && raccroche[i] ? -1 : fds[i];
            // A side that shuts its sending half is noticed even while its
            // bytes wait for the other side: that starts the half-close clock.
            if (!rdhup_vu[i] && !raccroche[i]) ev = static_cast<short>(ev | POLLRDHUP);
            p[i].events = ev;
            p[i].revents = 0;
        }
        // Wake up in time to give back a buffer that made no progress, and
        // for the time limits.
        int64_t reveil = echeance;
        for (const Sens &s : sens) {
            if (s.termine || !s.tient()) continue;
            int64_t e = s.activite + INACTIF_MS;
            if (reveil < 0 || e < reveil) reveil = e;
        }
        int delai = -1;
        if (reveil >= 0) delai = static_cast<int>(std::clamp<int64_t>(reveil - maintenant, 0, INT_MAX));
        int n = ::poll(p, 3, delai);
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0 && (p[2].revents & POLLIN)) return 2;
        maintenant = kvtnet_maintenant_ms();
        for (Sens &s : sens)
            if (!s.termine && s.tient() && maintenant - s.activite >= INACTIF_MS) s.libere();
        if (n <= 0) {
            a_avancer[0] = a_avancer[1] = false;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents & POLLNVAL) return -1;
            if (p[i].revents & (POLLRDHUP | POLLHUP)) rdhup_vu[i] = true;
            short demande = static_cast<short>(p[i].events & ~POLLRDHUP);
            if (demande == 0 && (p[i].revents & ~POLLRDHUP) != 0) {
                // Nothing is asked of this socket: an error on it ends both
                // directions; a plain hang-up is only remembered.
                if (p[i].revents & POLLERR) return -1;
                raccroche[i] = true;
            }
        }
        for (int d = 0; d < 2; ++d) {
            a_avancer[d] = false;
            for (int i = 0; i < 2; ++i)
                if (p[i].fd == sens[d].fd_attendu && p[i].revents & (sens[d].attendu | POLLERR | POLLHUP))
                    a_avancer[d] = true;
        }
    }
}
