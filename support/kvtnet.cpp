/* Network half of the support library: address resolution, TCP connect and
 * send, the threaded listener, header-block reads, the relays and datagrams.
 * Every socket it opens is IPv4 and close-on-exec; nothing here raises SIGPIPE.
 * Connection threads come from kvtthread_demarre and failures the operator
 * must see (listen, accept) go to the error log. */
#include "kvtlib.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>

// The tunnel module reads the block the listener writes: the layout is fixed.
static_assert(sizeof(kvtnet_bloc) == 20);
static_assert(offsetof(kvtnet_bloc, socket) == 0);
static_assert(offsetof(kvtnet_bloc, famille) == 4);
static_assert(offsetof(kvtnet_bloc, port) == 6);
static_assert(offsetof(kvtnet_bloc, adresse) == 8);
static_assert(offsetof(kvtnet_bloc, zero) == 12);
static_assert(sizeof(sockaddr_in) == 16);
static_assert(std::is_trivially_copyable_v<kvtnet_bloc>);

namespace {

// Stack of each connection thread. A tunnel handler keeps a few KiB of locals
// (a 260-byte address text, the parsed request) plus what the resolver needs;
// the relay keeps its buffers on the heap. 256 KiB leaves a wide margin while
// thousands of open tunnels reserve only address space, not memory.
constexpr unsigned PILE_CONNEXION = 256 * 1024;

constexpr int DELAI_CONNEXION_MS = 10 * 1000;
constexpr int DELAI_ENTETE_MS = 30 * 1000;
constexpr int ENTETE_MAX = 64 * 1024;
constexpr int ENTETE_INITIAL = 4096;
// Pause when accept finds no descriptor or memory: the waiting clients stay
// in the backlog and the listener does not burn a core meanwhile.
constexpr int PAUSE_ACCEPT_MS = 100;
constexpr int64_t MANQUE_RAPPEL_MS = 60 * 1000;

// Relay buffers: each direction copies through a heap buffer of its own,
// taken when bytes first flow and given back after a second of silence, so
// an idle tunnel holds its two sockets and nothing else. A buffer starts
// small (interactive traffic) and doubles whenever a read fills it (a bulk
// stream), up to 4 MiB. Measured on loopback with kernel 6.18, copying
// through 4 MiB moved 0.7 to 0.8 of the direct rate where splice(2) through
// a pipe moved 0.45: the pipe pages cost more than the copy they save.
constexpr size_t TAMPON_MIN = 64 * 1024;
constexpr size_t TAMPON_MAX = 4 << 20;
constexpr int INACTIF_MS = 1000;
// Buffer of kvtnet_recup_str, which serves small bodies.
constexpr size_t TAILLE_COPIE = 64 * 1024;
// Rounds one direction may run before the other gets its turn.
constexpr int TOURS_MAX = 8;

// A vanished peer of a relay is found within about 4 minutes (120 s idle,
// then 4 probes 30 s apart) instead of the system's two hours.
constexpr int KEEPALIVE_IDLE_S = 120;
constexpr int KEEPALIVE_INTERVALLE_S = 30;
constexpr int KEEPALIVE_SONDES = 4;

std::atomic<int> nb_init{0};

int64_t maintenant_ms() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Waits for `evenements` on `fd` until `echeance` (monotonic ms, -1: none).
// 1 ready (or an error/hang-up to read), 0 deadline passed, -1 poll failed.
int attend(int fd, short evenements, int64_t echeance) noexcept
{
    for (;;) {
        int delai = -1;
        if (echeance >= 0) {
            int64_t reste = echeance - maintenant_ms();
            if (reste <= 0) return 0;
            delai = reste > INT_MAX ? INT_MAX : static_cast<int>(reste);
        }
        pollfd p{fd, evenements, 0};
        int n = ::poll(&p, 1, delai);
        if (n > 0) return 1;
        if (n == 0) continue;  // the loop re-reads the clock
        if (errno != EINTR) return -1;
    }
}

void option(int fd, int niveau, int nom, int valeur) noexcept
{
    (void)::setsockopt(fd, niveau, nom, &valeur, sizeof valeur);
}

// Text of an IPv4 address in the numeric forms the C library also accepts
// (127.1, 0x7f.0.0.1, 010.0.0.1) or made of digits and dots only.
bool numerique_douteux(const char *nom) noexcept
{
    in_addr a{};
    if (::inet_aton(nom, &a) != 0) return true;
    return std::strspn(nom, "0123456789.") == std::strlen(nom);
}

/* ---- Two-way relay ---- */

enum class Pas { progres, attente, fin, erreur };

// Grown relay buffers come straight from the system and go straight back:
// through malloc, glibc's moving mmap threshold would keep freed multi-MiB
// buffers in its arenas, and a proxy that once carried bulk streams would
// stay large for good. The first, small buffer stays a cheap malloc.
char *prend_tampon(size_t capacite) noexcept
{
    if (capacite <= TAMPON_MIN) return static_cast<char *>(std::malloc(capacite));
    void *p = ::mmap(nullptr, capacite, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

void rend_tampon(char *tampon, size_t capacite) noexcept
{
    if (tampon == nullptr) return;
    if (capacite <= TAMPON_MIN)
        std::free(tampon);
    else
        ::munmap(tampon, capacite);
}

// One direction of the relay: bytes read from `de` wait in `tampon` until
// `vers` takes them. The sockets stay as the caller made them: every call
// says MSG_DONTWAIT itself, and MSG_NOSIGNAL keeps SIGPIPE away.
struct Sens {
    int de;
    int vers;
    char *tampon = nullptr;
    size_t capacite = 0;
    size_t debut = 0, fin = 0;  // bytes still to write: tampon[debut, fin)
    bool plein = false;         // the last read filled the buffer
    bool fin_lue = false;       // `de` has ended
    bool termine = false;       // ... and its end was passed on to `vers`
    int64_t activite = 0;       // last time bytes moved
    short attendu = 0;          // what the direction waits for: POLLIN on de or POLLOUT on vers
    int fd_attendu = -1;

    Sens(int d, int v) noexcept : de(d), vers(v) {}
    ~Sens() { libere(); }
    Sens(const Sens &) = delete;
    Sens &operator=(const Sens &) = delete;

    bool vide() const noexcept { return debut == fin; }
    bool tient() const noexcept { return tampon != nullptr; }
    void libere() noexcept
    {
        rend_tampon(tampon, capacite);
        tampon = nullptr;
        capacite = 0;
        debut = fin = 0;
        plein = false;
    }
};

// Reads from `de` into the empty direction.
Pas lit(Sens &s) noexcept
{
    if (s.tampon == nullptr || (s.plein && s.capacite < TAMPON_MAX)) {
        size_t capacite = s.tampon == nullptr ? TAMPON_MIN : s.capacite * 2;
        // The buffer is empty here: nothing to copy over.
        char *p = prend_tampon(capacite);
        if (p != nullptr) {
            rend_tampon(s.tampon, s.capacite);
            s.tampon = p;
            s.capacite = capacite;
        } else if (s.tampon == nullptr) {
            KVT_ERREUR();
            return Pas::erreur;
        }  // else the old buffer goes on serving
    }
    for (;;) {
        ssize_t n = ::recv(s.de, s.tampon, s.capacite, MSG_DONTWAIT);
        if (n > 0) {
            s.debut = 0;
            s.fin = static_cast<size_t>(n);
            s.plein = s.fin == s.capacite;
            return Pas::progres;
        }
        if (n == 0) return Pas::fin;
        if (errno == EINTR) continue;
        return errno == EAGAIN ? Pas::attente : Pas::erreur;
    }
}

// Writes what the direction holds to `vers`.
Pas ecrit(Sens &s) noexcept
{
    for (;;) {
        ssize_t n = ::send(s.vers, s.tampon + s.debut, s.fin - s.debut, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            s.debut += static_cast<size_t>(n);
            if (s.debut == s.fin) s.debut = s.fin = 0;
            return Pas::progres;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN ? Pas::attente : Pas::erreur;
    }
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
        if (!s.vide()) {
            Pas p = ecrit(s);
            if (p == Pas::erreur) return false;
            if (p == Pas::attente) { s.fd_attendu = s.vers; s.attendu = POLLOUT; return true; }
            s.activite = maintenant;
            continue;
        }
        if (s.fin_lue) {
            // Half-close: the other side learns of the end and may still answer.
            (void)::shutdown(s.vers, SHUT_WR);
            s.termine = true;
            s.libere();
            return true;
        }
        Pas p = lit(s);
        if (p == Pas::erreur) return false;
        if (p == Pas::attente) { s.fd_attendu = s.de; s.attendu = POLLIN; return true; }
        if (p == Pas::fin) s.fin_lue = true;
        s.activite = maintenant;
    }
    return true;
}

}  // namespace

/* ---- Set-up ---- */

int kvtnet_init(void)
{
    nb_init.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int kvtnet_term(void)
{
    // An unbalanced term never takes the count below zero.
    int n = nb_init.load(std::memory_order_relaxed);
    while (n > 0 && !nb_init.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    return 0;
}

/* ---- Addresses ---- */

uint32_t kvtnet_resoudre_adresse(const char *nom)
{
    if (nom == nullptr || *nom == '\0') return KVTNET_ADRESSE_INVALIDE;
    in_addr a{};
    if (::inet_pton(AF_INET, nom, &a) == 1) return a.s_addr;
    // Shorthand, octal or hex forms would name another host than the one the
    // text seems to (010.0.0.1 is 8.0.0.1, 10.1 is 10.0.0.1): refused, and
    // never sent to a name server.
    if (numerique_douteux(nom)) return KVTNET_ADRESSE_INVALIDE;
    addrinfo indices{};
    indices.ai_family = AF_INET;
    indices.ai_socktype = SOCK_STREAM;
    addrinfo *liste = nullptr;
    if (::getaddrinfo(nom, nullptr, &indices, &liste) != 0 || liste == nullptr) return KVTNET_ADRESSE_INVALIDE;
    uint32_t r = reinterpret_cast<const sockaddr_in *>(liste->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(liste);
    return r;
}

char *kvtnet_aff_adresse(uint32_t adresse, char *texte)
{
    if (texte == nullptr) { KVT_ERREUR(); return nullptr; }
    unsigned char o[4];
    std::memcpy(o, &adresse, 4);  // network order: the first octet comes first in memory
    std::snprintf(texte, 16, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    return texte;
}

/* ---- TCP ---- */

int kvtnet_connecter(uint32_t adresse, uint16_t port)
{
    if (adresse == 0 || adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (!s) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    // Non-blocking so that an unanswered host costs 10 seconds, not the
    // system's minutes of SYN retries.
    if (::connect(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) return -1;
        int pret = attend(s.fd, POLLOUT, maintenant_ms() + DELAI_CONNEXION_MS);
        if (pret <= 0) return -1;
        int err = 0;
        socklen_t l = sizeof err;
        if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &l) < 0 || err != 0) return -1;
    }
    int drapeaux = ::fcntl(s.fd, F_GETFL);
    if (drapeaux < 0 || ::fcntl(s.fd, F_SETFL, drapeaux & ~O_NONBLOCK) < 0) { KVT_ERREUR(); return -1; }
    option(s.fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return s.release();
}

int kvtnet_envoie(int s, const void *octets, int longueur)
{
    if (longueur < 0 || (octets == nullptr && longueur > 0)) { KVT_ERREUR(); return -1; }
    const char *p = static_cast<const char *>(octets);
    int reste = longueur;
    while (reste > 0) {
        ssize_t n = ::send(s, p, static_cast<size_t>(reste), MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            reste -= static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // A non-blocking socket: wait for room rather than drop bytes.
            if (attend(s, POLLOUT, -1) < 0) return -1;
        } else {
            return -1;
        }
    }
    return longueur;
}

int kvtnet_envoie_str(int s, const char *texte)
{
    if (texte == nullptr) { KVT_ERREUR(); return -1; }
    size_t l = std::strlen(texte);
    if (l > INT_MAX) { KVT_ERREUR(); return -1; }
    return kvtnet_envoie(s, texte, static_cast<int>(l));
}

int kvtnet_fermer(int s)
{
    if (s < 0) return -1;
    // On Linux the descriptor is gone even when close reports EINTR.
    return ::close(s) == 0 || errno == EINTR ? 0 : -1;
}

/* ---- Listener ---- */

namespace {
// Connection threads are kept for a few seconds after their connection ends
// and take the next one: starting a thread costs a clone and, when it ends,
// the release of its stack with a TLB shootdown on every core, more than all
// the rest of a tunnel's setup. Each connection still has a thread of its own
// for as long as it lives; only idle threads are reused.
struct Travail {
    kvtnet_gestionnaire gestionnaire;
    void *bloc;
};

struct Reserve {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Travail> travaux;  // handed to idle threads, one each
    int libres = 0;               // idle threads not yet handed a connection
};

// Never destroyed: detached threads may still wait on it while the process exits.
Reserve &reserve()
{
    static Reserve *r = new Reserve;
    return *r;
}

constexpr auto ATTENTE_OUVRIER = std::chrono::seconds(5);

void ouvrier(void *argument)
{
    Travail courant = *static_cast<Travail *>(argument);
    delete static_cast<Travail *>(argument);
    Reserve &r = reserve();
    for (;;) {
        courant.gestionnaire(courant.bloc);
        std::unique_lock<std::mutex> g(r.m);
        ++r.libres;
        if (!r.cv.wait_for(g, ATTENTE_OUVRIER, [&r] { return !r.travaux.empty(); })) {
            --r.libres;  // nothing came: the thread ends
            return;
        }
        courant = r.travaux.front();
        r.travaux.pop_front();
    }
}

// Runs `gestionnaire(bloc)` on an idle connection thread, or on a new one.
// 0, or -1 when no thread could take it (the caller still owns the block).
int lance_connexion(kvtnet_gestionnaire gestionnaire, void *bloc) noexcept
{
    Reserve &r = reserve();
    try {
        std::lock_guard<std::mutex> g(r.m);
        if (r.libres > 0) {
            r.travaux.push_back({gestionnaire, bloc});
            --r.libres;
            r.cv.notify_one();
            return 0;
        }
    } catch (const std::bad_alloc &) {
        // no room in the queue: a thread of its own, below
    }
    auto *t = new (std::nothrow) Travail{gestionnaire, bloc};
    if (t == nullptr) return -1;
    if (kvtthread_demarre(ouvrier, PILE_CONNEXION, t) < 0) {
        delete t;
        return -1;
    }
    return 0;
}
}  // namespace

// Listening ends when another thread shuts the socket down
// (shutdown(*resultat, SHUT_RDWR)): the listener then closes it and returns 0.
int kvtnet_gen_ecouteur_thread(int *resultat, int options, int port, kvtnet_gestionnaire gestionnaire)
{
    (void)options;
    if (port < 1 || port > 65535) {
        // Port 0 would open a random port nobody knows about.
        kvtlog_erreur("Listener refused: port %d is outside 1 to 65535", port);
        return -1;
    }
    if (gestionnaire == nullptr) { KVT_ERREUR_MSG("Parametre null"); return -1; }

    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!s) {
        kvtlog_erreur("Cannot listen on port %d: socket: %s", port, std::strerror(errno));
        return -1;
    }
    // A restart must not wait for old connections in TIME_WAIT.
    option(s.fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) < 0) {
        kvtlog_erreur("Cannot listen on port %d: bind: %s", port, std::strerror(errno));
        return -1;
    }
    if (::listen(s.fd, SOMAXCONN) < 0) {
        kvtlog_erreur("Cannot listen on port %d: listen: %s", port, std::strerror(errno));
        return -1;
    }
    if (resultat != nullptr) __atomic_store_n(resultat, s.fd, __ATOMIC_RELEASE);

    // A lasting shortage is written once a minute, not once per client
    // that slips through between two failures.
    int64_t manque_signale_a = -MANQUE_RAPPEL_MS;  // the first shortage is written at once
    for (;;) {
        sockaddr_in pair{};
        socklen_t l = sizeof pair;
        int c = ::accept4(s.fd, reinterpret_cast<sockaddr *>(&pair), &l, SOCK_CLOEXEC);
        if (c < 0) {
            int e = errno;
            switch (e) {
            case EINTR:
            case ECONNABORTED:
            // Network errors of the pending connection itself (accept(2)).
            case EPROTO: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
            case EOPNOTSUPP: case ENETUNREACH: case ENETDOWN: case EPERM:
                continue;
            case EAGAIN:
                (void)attend(s.fd, POLLIN, -1);
                continue;
            case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
                if (maintenant_ms() - manque_signale_a >= MANQUE_RAPPEL_MS) {
                    kvtlog_erreur("Accept on port %d: %s; waiting for resources", port, std::strerror(e));
                    manque_signale_a = maintenant_ms();
                }
                ::usleep(PAUSE_ACCEPT_MS * 1000);
                continue;
            case EINVAL:
                return 0;  // shut down: listening ends
            default:
                kvtlog_erreur("Accept on port %d: %s; listening ends", port, std::strerror(e));
                if (e == EBADF || e == ENOTSOCK) (void)s.release();  // no longer ours to close
                return -1;
            }
        }
        option(c, IPPROTO_TCP, TCP_NODELAY, 1);
        auto *bloc = static_cast<kvtnet_bloc *>(std::malloc(sizeof(kvtnet_bloc)));
        if (bloc == nullptr) {
            kvtlog_erreur("Accept on port %d: no memory for the connection", port);
            ::close(c);
            continue;
        }
        bloc->socket = c;
        bloc->famille = pair.sin_family;
        bloc->port = pair.sin_port;
        bloc->adresse = pair.sin_addr.s_addr;
        std::memset(bloc->zero, 0, sizeof bloc->zero);
        if (lance_connexion(gestionnaire, bloc) < 0) {
            ::close(c);
            std::free(bloc);
        }
    }
}

/* ---- Header block ---- */

namespace {
// Index just past the first blank line (LF, optional CR, LF) whose last byte
// lies at or after `depuis`; 0 when there is none yet.
size_t fin_entete(const char *p, size_t n, size_t depuis) noexcept
{
    size_t i = depuis >= 2 ? depuis - 2 : 0;
    while (i < n) {
        const void *lf = std::memchr(p + i, '\n', n - i);
        if (lf == nullptr) return 0;
        i = static_cast<size_t>(static_cast<const char *>(lf) - p);
        if (i + 1 < n && p[i + 1] == '\n') return i + 2;
        if (i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n') return i + 3;
        ++i;
    }
    return 0;
}
}  // namespace

// -1 block over 64 KiB, -2 peer closed or failed, -3 no complete block in 30 s.
int kvtnet_recup_entete(int s, char **entete)
{
    if (entete == nullptr) { KVT_ERREUR_MSG("Parametre null"); return -1; }
    if (s < 0) return -2;  // poll would wait out the deadline on it
    const int64_t echeance = maintenant_ms() + DELAI_ENTETE_MS;
    size_t capacite = ENTETE_INITIAL;
    kvt_cstr tampon{static_cast<char *>(std::malloc(capacite + 1))};
    if (!tampon) { KVT_ERREUR(); return -1; }
    size_t lu = 0;
    for (;;) {
        if (lu == capacite) {
            if (capacite == ENTETE_MAX) return -1;
            size_t nouvelle = capacite * 2 > ENTETE_MAX ? ENTETE_MAX : capacite * 2;
            char *p = static_cast<char *>(std::realloc(tampon.get(), nouvelle + 1));
            if (p == nullptr) { KVT_ERREUR(); return -1; }
            (void)tampon.release();
            tampon.reset(p);
            capacite = nouvelle;
        }
        int pret = attend(s, POLLIN, echeance);
        if (pret == 0) return -3;
        if (pret < 0) return -2;
        // Look without taking, so bytes after the blank line stay in the socket.
        ssize_t n = ::recv(s, tampon.get() + lu, capacite - lu, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return -2;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -2;
        }
        size_t vu = lu + static_cast<size_t>(n);
        size_t fin = fin_entete(tampon.get(), vu, lu);
        size_t a_prendre = (fin != 0 ? fin : vu) - lu;
        // The peeked bytes are queued, so this read takes exactly them.
        while (a_prendre > 0) {
            ssize_t m = ::recv(s, tampon.get() + lu, a_prendre, MSG_DONTWAIT);
            if (m < 0 && errno == EINTR) continue;
            if (m <= 0) return -2;
            lu += static_cast<size_t>(m);
            a_prendre -= static_cast<size_t>(m);
        }
        if (fin != 0) {
            tampon.get()[lu] = '\0';
            *entete = tampon.release();
            return static_cast<int>(lu);
        }
    }
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
            int pret = attend(de, POLLIN, maintenant_ms() + int64_t{delai} * 1000);
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
            if (errno == EAGAIN && attend(de, POLLIN, -1) >= 0) continue;
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
    if (client < 0 || serveur < 0) { KVT_ERREUR(); return -1; }
    for (int fd : {client, serveur}) {
        option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        option(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
        option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVALLE_S);
        option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_SONDES);
    }

    Sens sens[2] = {{client, serveur}, {serveur, client}};
    const int fds[2] = {client, serveur};
    bool raccroche[2] = {false, false};  // hung up: not polled while nothing is asked of it
    // A direction starts by waiting for its first byte: no buffer before then.
    bool a_avancer[2] = {false, false};
    for (Sens &s : sens) {
        s.fd_attendu = s.de;
        s.attendu = POLLIN;
    }
    int64_t maintenant = maintenant_ms();
    for (;;) {
        for (int d = 0; d < 2; ++d)
            if (a_avancer[d] && !sens[d].termine && !avance(sens[d], maintenant)) return -1;
        if (sens[0].termine && sens[1].termine) return 0;

        pollfd p[2];
        for (int i = 0; i < 2; ++i) {
            short ev = 0;
            for (const Sens &s : sens)
                if (!s.termine && s.fd_attendu == fds[i]) ev = static_cast<short>(ev | s.attendu);
            p[i].fd = ev == 0 && raccroche[i] ? -1 : fds[i];
            p[i].events = ev;
            p[i].revents = 0;
        }
        // Wake up in time to give back a buffer that went idle.
        int delai = -1;
        for (const Sens &s : sens) {
            if (s.termine || !s.tient() || !s.vide()) continue;
            int64_t reste = s.activite + INACTIF_MS - maintenant;
            int r = reste < 0 ? 0 : static_cast<int>(reste);
            if (delai < 0 || r < delai) delai = r;
        }
        int n = ::poll(p, 2, delai);
        if (n < 0 && errno != EINTR) return -1;
        maintenant = maintenant_ms();
        for (Sens &s : sens)
            if (!s.termine && s.tient() && s.vide() && maintenant - s.activite >= INACTIF_MS) s.libere();
        if (n <= 0) {
            a_avancer[0] = a_avancer[1] = false;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents & POLLNVAL) return -1;
            if (p[i].events == 0 && p[i].revents != 0) {
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

/* ---- Datagrams ---- */

int kvtnet_recvfrom(int s, uint32_t *adresse, uint16_t *port_emetteur, unsigned port, void *tampon, int taille)
{
    (void)port;  // the socket is already bound by its owner
    if (tampon == nullptr || taille < 1) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(s, tampon, static_cast<size_t>(taille), 0, reinterpret_cast<sockaddr *>(&sa), &l);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (adresse != nullptr) *adresse = sa.sin_addr.s_addr;
    if (port_emetteur != nullptr) *port_emetteur = sa.sin_port;
    return static_cast<int>(n);
}

int kvtnet_sendto(int s, uint32_t adresse, uint16_t port, const void *octets, int longueur)
{
    // On Linux a datagram to 0.0.0.0 reaches this machine: never a destination.
    if (adresse == 0 || adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    if (longueur < 0 || (octets == nullptr && longueur > 0)) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    ssize_t n;
    do {
        n = ::sendto(s, octets, static_cast<size_t>(longueur), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}
