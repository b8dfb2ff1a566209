/* The threaded listener: connection threads accept the connections on a TCP
 * port themselves and each runs the handler of the one it took, reusing the
 * threads that finished. The capped variant keeps a record of each connection so
 * that it can bound how many are served at once, per client address too,
 * and end the waits of connections that send no request. Failures the
 * operator must see (listen, accept, thread start) go to the error log. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <type_traits>
#include <unordered_map>
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

// Pause when accept finds no descriptor or memory: the waiting clients stay
// in the backlog and the listener does not burn a core meanwhile.
constexpr int PAUSE_ACCEPT_MS = 100;
// A lasting shortage (descriptors, threads) is written once a minute, not
// once per client that meets it: a flood must not fill the error log.
constexpr int64_t MANQUE_RAPPEL_MS = 60 * 1000;

// Silent connections must not hold the slots that working clients need:
// once more than half are taken, a request head gets 5 s instead of 30 s.
constexpr int64_t ATTENTE_COURTE_MS = 5 * 1000;
// Waiting connections looked at to find one to end when every slot is taken:
// a bound on the work one new connection costs the listener.
constexpr int ESSAIS_EVICTION = 16;

/* ---- Records of a capped listener's connections ---- */

struct Registre;

// One connection of a capped listener, from its accept to its close. Its
// fields are guarded by its registry's mutex; `fd` is only touched by the
// listener while `retiree` is false, which the handler's thread sets under
// that mutex before it closes the descriptor.
struct Connexion {
    int fd = -1;
    uint32_t adresse = 0;
    int64_t accepte_ms = 0;
    bool en_tete = true;   // in the list below: awaiting its head, or any under the idle rule
    bool retiree = false;  // withdrawn by its handler: the number is no longer ours
    bool coupee = false;   // wait ended by the listener; its slot is already given back
    Connexion *prec = nullptr, *suiv = nullptr;
    std::shared_ptr<Registre> registre;  // outlives the listener while handlers run
};

struct Registre {
    std::mutex m;
    int max = 1;
    int max_par_adresse = 0;
    int eviction = KVTNET_EVICTION_ENTETE;
    int tenues = 0;                             // slots taken
    std::unordered_map<uint32_t, int> par_adresse;
    // Awaiting their head, oldest first; under the idle rule every connection
    // with a slot, the one idle longest first.
    Connexion *premiere = nullptr, *derniere = nullptr;
    int64_t veille = -1;  // the deadline the listener's keeper waits for; -1: none

    // All of these run with `m` held.
    void detache(Connexion *c) noexcept
    {
        if (!c->en_tete) return;
        c->en_tete = false;
        (c->prec ? c->prec->suiv : premiere) = c->suiv;
        (c->suiv ? c->suiv->prec : derniere) = c->prec;
        c->prec = c->suiv = nullptr;
    }
    void rend_place(Connexion *c) noexcept
    {
        --tenues;
        auto i = par_adresse.find(c->adresse);
        if (i != par_adresse.end() && --i->second <= 0) par_adresse.erase(i);
    }
    // Ends the wait of `c`: its handler's head read sees the end of the
    // stream, answers and closes. Only the reading side, so the answer still
    // goes out; and only while the handler has not withdrawn the descriptor.
    void coupe(Connexion *c) noexcept
    {
        if (c->retiree || c->coupee) return;
        // An idle connection is owed nothing: its handler sees both ends.
        (void)::shutdown(c->fd, eviction == KVTNET_EVICTION_INACTIVE ? SHUT_RDWR : SHUT_RD);
        c->coupee = true;
        detache(c);
        rend_place(c);
    }
    void ajoute(Connexion *c) noexcept
    {
        c->prec = derniere;
        c->suiv = nullptr;
        (derniere ? derniere->suiv : premiere) = c;
        derniere = c;
    }
    // Under the idle rule, `c` worked just now: the last to give way.
    void active(Connexion *c) noexcept
    {
        if (!c->en_tete || c == derniere) return;
        detache(c);
        c->en_tete = true;
        ajoute(c);
    }
    void retire(Connexion *c) noexcept
    {
        if (c->retiree) return;
        c->retiree = true;
        if (!c->coupee) {
            detache(c);
            rend_place(c);
        }
    }
    // The connection that has waited longest for its request head and has
    // not sent one: a head already in the socket, that its thread has not
    // read yet, is a working client's. Null when none of the oldest is.
    Connexion *a_evincer() noexcept
    {
        if (eviction == KVTNET_EVICTION_INACTIVE) return premiere;
        int essais = 0;
        for (Connexion *c = premiere; c != nullptr && essais < ESSAIS_EVICTION; c = c->suiv, ++essais) {
            char vu[4096];
            ssize_t n = ::recv(c->fd, vu, sizeof vu, MSG_PEEK | MSG_DONTWAIT);
            if (n <= 0 || kvtnet_fin_entete(vu, static_cast<size_t>(n), 0) == 0) return c;
        }
        return nullptr;
    }
    bool sous_pression() const noexcept { return tenues * 2 > max; }
    // Ends the waits that the short deadline has passed. The next deadline
    // (monotonic ms), or -1 when none applies.
    int64_t ecourte(int64_t maintenant) noexcept
    {
        if (eviction == KVTNET_EVICTION_INACTIVE || !sous_pression()) return -1;
        while (premiere != nullptr && maintenant - premiere->accepte_ms >= ATTENTE_COURTE_MS) coupe(premiere);
        if (!sous_pression() || premiere == nullptr) return -1;
        return premiere->accepte_ms + ATTENTE_COURTE_MS;
    }
};

// The connection the current thread's handler serves, when its listener is capped.
thread_local Connexion *courante = nullptr;
// The socket the current thread's handler serves while it carries the
// options inherited from its listening socket; -1 once closed, or when none.
thread_local int herite_fd = -1;

// A record for a new connection, or null when it must be turned away.
// `reveil` wakes the listener's keeper when a short deadline begins;
// `par_adresse`, when not negative, is the per-address limit from now on.
Connexion *admet(const std::shared_ptr<Registre> &r, int fd, uint32_t adresse, int64_t maintenant, int reveil,
                 int par_adresse) noexcept
{
    std::lock_guard<std::mutex> g(r->m);
    if (par_adresse >= 0) r->max_par_adresse = par_adresse;
    (void)r->ecourte(maintenant);
    try {
        if (r->max_par_adresse > 0) {
            auto i = r->par_adresse.find(adresse);
            if (i != r->par_adresse.end() && i->second >= r->max_par_adresse) return nullptr;
        }
        if (r->tenues >= r->max) {
            Connexion *v = r->a_evincer();
            if (v == nullptr) return nullptr;  // every slot is past its head: all are working
            r->coupe(v);
        }
        // Held until the address's count is in: that count may fail too.
        std::unique_ptr<Connexion> c{new Connexion};
        c->fd = fd;
        c->adresse = adresse;
        c->accepte_ms = maintenant;
        c->registre = r;
        ++r->par_adresse[adresse];
        ++r->tenues;
        r->ajoute(c.get());
        // The keeper sleeps without a deadline while there is no pressure;
        // a new connection never brings the oldest wait's deadline closer.
        if (r->eviction == KVTNET_EVICTION_ENTETE && r->veille < 0 && r->sous_pression() && r->premiere != nullptr) {
            r->veille = r->premiere->accepte_ms + ATTENTE_COURTE_MS;
            const uint64_t un = 1;
            (void)!::write(reveil, &un, sizeof un);
        }
        return c.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Drops the record of a connection whose handler has returned (or never ran).
void termine(Connexion *c) noexcept
{
    {
        std::lock_guard<std::mutex> g(c->registre->m);
        c->registre->retire(c);
    }
    delete c;
}

// Turns a connection away: the caller's answer, without waiting, then the
// close. What the client already sent is read first where it is there, so
// the close does not reset the connection under the answer.
void refuse(int c, uint32_t adresse, const kvtnet_limites *limites) noexcept
{
    if (limites != nullptr && limites->refus != nullptr) {
        int drapeaux = ::fcntl(c, F_GETFL);
        if (drapeaux >= 0 && ::fcntl(c, F_SETFL, drapeaux | O_NONBLOCK) == 0) limites->refus(c, adresse);
        char poubelle[4096];
        (void)::recv(c, poubelle, sizeof poubelle, MSG_DONTWAIT);
    }
    ::close(c);
}

// Failed thread starts, written once a minute with how many there were.
struct EchecsFils {
    int64_t signale_a = -MANQUE_RAPPEL_MS;  // the first one is written at once
    unsigned long long depuis = 0;
    void note(int port, int erreur) noexcept
    {
        ++depuis;
        int64_t t = kvtnet_maintenant_ms();
        if (t - signale_a < MANQUE_RAPPEL_MS) return;
        kvtlog_erreur("Accept on port %d: cannot start a connection thread: %s; %llu connection(s) refused since the last such line",
                      port, std::strerror(-erreur), depuis);
        signale_a = t;
        depuis = 0;
    }
};

// `adresse` 0 binds every interface; errors name the address only when one is set.
int ouvre_ecoute(uint32_t adresse, int port, kvtnet_gestionnaire gestionnaire, bool *herite)
{
    if (port < 1 || port > 65535) {
        // Port 0 would open a random port nobody knows about.
        kvtlog_erreur("Listener refused: port %d is outside 1 to 65535", port);
        return -1;
    }
    if (gestionnaire == nullptr) { KVT_ERREUR_MSG("Parametre null"); return -1; }

    char ou[24] = "";
    if (adresse != 0) {
        char texte[16];
        std::snprintf(ou, sizeof ou, "%s ", kvtnet_aff_adresse(adresse, texte));
    }
    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!s) {
        kvtlog_erreur("Cannot listen on %sport %d: socket: %s", ou, port, std::strerror(errno));
        return -1;
    }
    // A restart must not wait for old connections in TIME_WAIT.
    kvtnet_option(s.fd, SOL_SOCKET, SO_REUSEADDR, 1);
    // Accepted sockets inherit these from the listening one: set once here,
    // not on each connection (see kvtnet_regle_herite).
    if (herite != nullptr) *herite = kvtnet_regle_herite(s.fd) == 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = adresse;
    if (::bind(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) < 0) {
        kvtlog_erreur("Cannot listen on %sport %d: bind: %s", ou, port, std::strerror(errno));
        return -1;
    }
    if (::listen(s.fd, SOMAXCONN) < 0) {
        kvtlog_erreur("Cannot listen on %sport %d: listen: %s", ou, port, std::strerror(errno));
        return -1;
    }
    return s.release();
}

/* ---- Connection threads ---- */

// Each connection is served by the thread that accepted it: a hand-off from
// a listener thread costs two thread switches per connection, more than the
// rest of a tunnel's setup. A few threads wait in accept at once (the kernel
// wakes one per connection); the thread that takes the last waiting place
// calls a parked thread, or starts one, to wait in its stead before it
// serves. Threads park a few seconds after their connection ends and then
// end: starting a thread costs a clone and, when it ends, the release of its
// stack with a TLB shootdown on every core. Each connection still has a
// thread of its own for as long as it lives.
// Threads waiting in accept at once. Each holds a descriptor number while it
// waits (accept reserves it first), so they are few; all but the last one
// end after a while without a connection (the listening socket's receive
// timeout, which accepted sockets inherit and lose at once).
constexpr int EN_ACCEPT_MAX = 4;
constexpr auto ATTENTE_OUVRIER = std::chrono::seconds(5);

struct Ecoute {
    int fd = -1;
    int port = 0;
    kvtnet_gestionnaire gestionnaire = nullptr;
    const kvtnet_limites *limites = nullptr;  // null for the uncapped listener
    std::shared_ptr<Registre> registre;       // null for the uncapped listener
    bool herite = false;                      // accepted sockets come with TCP_NODELAY and keepalive
    bool delai = false;                       // accept gives up after ATTENTE_OUVRIER
    int reveil = -1;                          // eventfd: wakes the keeper (deadlines, end)

    // Threads in accept, or on their way to it: whoever counts a thread in
    // also reads `fini` before that thread's accept, so once the keeper has
    // set `fini` and seen 0 here, no accept can come on the descriptor.
    std::atomic<int> en_accept{0};
    std::atomic<bool> fini{false};
    std::atomic<int> resultat{0};
    std::atomic<int64_t> manque_signale_a{-MANQUE_RAPPEL_MS};  // the first shortage is written at once

    std::mutex m;
    std::condition_variable cv;
    int libres = 0;  // parked threads not yet called
    int appels = 0;  // calls to accept not yet taken by a parked thread
    EchecsFils echecs;  // under m
};

void ouvrier(void *argument);

void reveille(const Ecoute &e) noexcept
{
    const uint64_t un = 1;
    (void)!::write(e.reveil, &un, sizeof un);
}

// Ends listening (first reason wins) and wakes the keeper.
void finit(Ecoute &e, int resultat) noexcept
{
    bool attendu = false;
    if (!e.fini.compare_exchange_strong(attendu, true)) return;
    e.resultat.store(resultat);
    reveille(e);
}

// This thread leaves accept for good; the last one out tells the keeper.
void sort_accept(Ecoute &e) noexcept
{
    if (e.en_accept.fetch_sub(1) == 1 && e.fini.load()) {
        std::lock_guard<std::mutex> g(e.m);
        e.cv.notify_all();
    }
}

// Another thread to wait in accept, counted in for it: a parked one, or a
// new one. 0, or the negative error of the thread start.
int appelle(const std::shared_ptr<Ecoute> &e) noexcept
{
    {
        std::unique_lock<std::mutex> g(e->m);
        if (e->libres > 0) {
            --e->libres;
            ++e->appels;
            e->en_accept.fetch_add(1);
            // Woken after the unlock, the thread does not wait again at once
            // for the mutex this thread still holds.
            g.unlock();
            e->cv.notify_one();
            return 0;
        }
    }
    auto *p = new (std::nothrow) std::shared_ptr<Ecoute>(e);
    if (p == nullptr) return -ENOMEM;
    e->en_accept.fetch_add(1);
    int r = kvtthread_demarre_muet(ouvrier, PILE_CONNEXION, p);
    if (r < 0) {
        delete p;
        sort_accept(*e);
    }
    return r;
}

// After a connection: back to accept when few threads wait there, else
// parked until called. False when the thread must end.
bool reprend(Ecoute &e) noexcept
{
    int n = e.en_accept.load();
    while (n < EN_ACCEPT_MAX)
        if (e.en_accept.compare_exchange_weak(n, n + 1)) return true;
    std::unique_lock<std::mutex> g(e.m);
    ++e.libres;
    if (e.cv.wait_for(g, ATTENTE_OUVRIER, [&e] { return e.appels > 0 || e.fini.load(); }) && e.appels > 0) {
        --e.appels;  // counted in by the caller
        return true;
    }
    --e.libres;  // nothing came, or listening ended: the thread ends
    return false;
}

// Serves one accepted connection on this thread.
void sert(const Ecoute &e, int c, const sockaddr_in &pair, Connexion *connexion) noexcept
{
    auto *bloc = static_cast<kvtnet_bloc *>(std::malloc(sizeof(kvtnet_bloc)));
    if (bloc == nullptr) {
        kvtlog_erreur("Accept on port %d: no memory for the connection", e.port);
        if (connexion != nullptr) termine(connexion);
        ::close(c);
        return;
    }
    bloc->socket = c;
    bloc->famille = pair.sin_family;
    bloc->port = pair.sin_port;
    bloc->adresse = pair.sin_addr.s_addr;
    std::memset(bloc->zero, 0, sizeof bloc->zero);
    courante = connexion;
    herite_fd = e.herite ? c : -1;
    try {
        e.gestionnaire(bloc);
    } catch (const std::bad_alloc &) {
        // A handler short of memory costs its connection, never the
        // process. Its socket is closed here unless it withdrew it; a
        // listener without a registry cannot tell, and leaves it.
        kvtlog_erreur("Accept on port %d: no memory for the connection", e.port);
        if (connexion != nullptr) {
            bool a_fermer;
            {
                std::lock_guard<std::mutex> g(connexion->registre->m);
                a_fermer = !connexion->retiree;
                connexion->registre->retire(connexion);
            }
            if (a_fermer) ::close(c);
        }
    }
    courante = nullptr;
    herite_fd = -1;
    if (connexion != nullptr) termine(connexion);
}

// The accept loop of a connection thread, entered counted in `en_accept`.
void accepte(const std::shared_ptr<Ecoute> &pe) noexcept
{
    Ecoute &e = *pe;
    for (;;) {
        if (e.fini.load()) {
            sort_accept(e);
            return;
        }
        sockaddr_in pair{};
        socklen_t l = sizeof pair;
        int c = ::accept4(e.fd, reinterpret_cast<sockaddr *>(&pair), &l, SOCK_CLOEXEC);
        if (c < 0) {
            int err = errno;
            switch (err) {
            case EAGAIN:
                // No connection for a while: a thread that others wait
                // beside ends; the last one stays.
                if (e.en_accept.fetch_sub(1) > 1) return;
                e.en_accept.fetch_add(1);
                continue;
            case EINTR:
            case ECONNABORTED:
            // Network errors of the pending connection itself (accept(2)).
            case EPROTO: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
            case EOPNOTSUPP: case ENETUNREACH: case ENETDOWN: case EPERM:
                continue;
            case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: {
                // The waiting clients stay in the backlog meanwhile.
                int64_t avant = e.manque_signale_a.load(std::memory_order_relaxed);
                int64_t t = kvtnet_maintenant_ms();
                if (t - avant >= MANQUE_RAPPEL_MS &&
                    e.manque_signale_a.compare_exchange_strong(avant, t, std::memory_order_relaxed)) {
                    if (e.limites != nullptr && e.limites->accept_echoue != nullptr)
                        e.limites->accept_echoue(err, 0);
                    else
                        kvtlog_erreur("Accept on port %d: %s; waiting for resources", e.port, std::strerror(err));
                }
                ::usleep(PAUSE_ACCEPT_MS * 1000);
                continue;
            }
            case EINVAL:
                finit(e, 0);  // shut down: listening ends
                continue;
            default:
                if (e.limites != nullptr && e.limites->accept_echoue != nullptr)
                    e.limites->accept_echoue(err, 1);
                else
                    kvtlog_erreur("Accept on port %d: %s; listening ends", e.port, std::strerror(err));
                // The number is no longer ours to close.
                finit(e, err == EBADF || err == ENOTSOCK ? -2 : -1);
                continue;
            }
        }
        if (e.delai) {
            // The handler's reads wait as long as they choose.
            const timeval sans{};
            (void)::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &sans, sizeof sans);
        }
        if (!e.herite) kvtnet_option(c, IPPROTO_TCP, TCP_NODELAY, 1);
        Connexion *connexion = nullptr;
        if (e.registre) {
            int par_adresse = -1;
            if (e.limites->admet != nullptr &&
                e.limites->admet(c, reinterpret_cast<const sockaddr *>(&pair), l, &par_adresse) == 0) {
                ::close(c);
                continue;
            }
            connexion = admet(e.registre, c, pair.sin_addr.s_addr, kvtnet_maintenant_ms(), e.reveil, par_adresse);
            if (connexion == nullptr) {
                refuse(c, pair.sin_addr.s_addr, e.limites);
                continue;
            }
        }
        if (e.en_accept.fetch_sub(1) == 1) {
            // The last one waiting: another takes its place before it serves.
            int r = appelle(pe);
            if (r < 0) {
                // No thread to accept the next ones: this one stays and the
                // connection is refused, as when no thread can serve it.
                e.en_accept.fetch_add(1);
                {
                    std::lock_guard<std::mutex> g(e.m);
                    e.echecs.note(e.port, r);
                }
                if (connexion != nullptr) termine(connexion);
                refuse(c, pair.sin_addr.s_addr, e.limites);
                continue;
            }
        }
        sert(e, c, pair, connexion);
        if (!reprend(e)) return;
    }
}

void ouvrier(void *argument)
{
    std::shared_ptr<Ecoute> e = std::move(*static_cast<std::shared_ptr<Ecoute> *>(argument));
    delete static_cast<std::shared_ptr<Ecoute> *>(argument);
    accepte(e);
}

// Both listeners; `limites` null for the uncapped one. The calling thread
// keeps the listener: it starts the first connection thread, ends the
// waits that the short deadline has passed, and waits for the end.
// Listening ends when another thread shuts the socket down
// (shutdown(*resultat, SHUT_RDWR)): once no thread can call accept on it any
// more, the socket is closed and the result is 0.
// `deja`: a socket the caller set listening (`adresse` and `port` unused), or -1.
int ecoute(int *resultat, uint32_t adresse, int port, kvtnet_gestionnaire gestionnaire,
           const kvtnet_limites *limites, int deja = -1)
{
    kvt_fd fourni{deja};  // the caller's socket is ours from the call, also on failure
    std::shared_ptr<Ecoute> pe;
    try {
        pe = std::make_shared<Ecoute>();
        if (limites != nullptr) pe->registre = std::make_shared<Registre>();
    } catch (const std::bad_alloc &) {
        KVT_ERREUR();
        return -1;
    }
    Ecoute &e = *pe;
    kvt_fd s{deja >= 0 ? fourni.release() : ouvre_ecoute(adresse, port, gestionnaire, &e.herite)};
    if (!s) return -1;
    if (deja >= 0) {
        sockaddr_in sa{};
        socklen_t l = sizeof sa;
        if (::getsockname(deja, reinterpret_cast<sockaddr *>(&sa), &l) == 0) port = ntohs(sa.sin_port);
    }
    kvt_fd reveil{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (!reveil) {
        kvtlog_erreur("Cannot listen on port %d: eventfd: %s", port, std::strerror(errno));
        return -1;
    }
    const timeval attente{std::chrono::seconds(ATTENTE_OUVRIER).count(), 0};
    e.delai = ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &attente, sizeof attente) == 0;
    e.fd = s.fd;
    e.port = port;
    e.gestionnaire = gestionnaire;
    e.limites = limites;
    e.reveil = reveil.fd;
    if (e.registre) {
        e.registre->max = limites->max_connexions > 0 ? limites->max_connexions : kvtnet_max_connexions_defaut();
        e.registre->max_par_adresse = limites->max_par_adresse > 0 ? limites->max_par_adresse : 0;
        e.registre->eviction = limites->eviction;
    }
    // The first connection thread; until one starts, the clients wait in
    // the backlog, as under a shortage of descriptors.
    for (;;) {
        int r = appelle(pe);
        if (r == 0) break;
        if (kvtnet_maintenant_ms() - e.manque_signale_a.load() >= MANQUE_RAPPEL_MS) {
            kvtlog_erreur("Accept on port %d: %s; waiting for resources", port, std::strerror(-r));
            e.manque_signale_a.store(kvtnet_maintenant_ms());
        }
        ::usleep(PAUSE_ACCEPT_MS * 1000);
    }
    if (resultat != nullptr) __atomic_store_n(resultat, s.fd, __ATOMIC_RELEASE);

    for (;;) {
        int64_t echeance = -1;
        if (e.registre) {
            std::lock_guard<std::mutex> g(e.registre->m);
            echeance = e.registre->ecourte(kvtnet_maintenant_ms());
            e.registre->veille = echeance;
        }
        int delai = -1;
        if (echeance >= 0) {
            int64_t reste = echeance - kvtnet_maintenant_ms();
            delai = reste <= 0 ? 0 : reste > INT_MAX ? INT_MAX : static_cast<int>(reste);
        }
        // No event asked of the listening socket: a connection does not
        // wake this thread, only its shutdown (a hang-up) does.
        pollfd p[2] = {{s.fd, 0, 0}, {reveil.fd, POLLIN, 0}};
        int n = ::poll(p, 2, delai);
        if (n < 0 && errno != EINTR) ::usleep(PAUSE_ACCEPT_MS * 1000);  // never a busy loop on a failing poll
        if (n > 0 && (p[1].revents & POLLIN)) {
            uint64_t vu;
            (void)!::read(reveil.fd, &vu, sizeof vu);
        }
        if (n > 0 && (p[0].revents & POLLNVAL)) finit(e, -2);
        else if (n > 0 && (p[0].revents & (POLLHUP | POLLERR))) finit(e, 0);
        if (e.fini.load()) break;
    }
    const int r = e.resultat.load();
    if (r == -2) {
        // Closed by someone else: the threads blocked in accept hold the
        // old socket and cannot be woken; the number is not ours, and the
        // eventfd stays open for the threads that may still write to it.
        (void)s.release();
        (void)reveil.release();
        return -1;
    }
    // Threads still in accept are woken by the shutdown (made here when
    // listening ends for another reason); parked ones by the notice.
    if (r != 0) (void)::shutdown(s.fd, SHUT_RDWR);
    std::unique_lock<std::mutex> g(e.m);
    e.cv.notify_all();
    e.cv.wait(g, [&e] { return e.en_accept.load() == 0; });
    return r;
}

}  // namespace

int kvtnet_regle_herite(int fd) noexcept
{
    // Linux copies these from a listening socket to the sockets it accepts.
    const int options[][3] = {
        {IPPROTO_TCP, TCP_NODELAY, 1},
        {SOL_SOCKET, SO_KEEPALIVE, 1},
        {IPPROTO_TCP, TCP_KEEPIDLE, KVTNET_KEEPALIVE_IDLE_S},
        {IPPROTO_TCP, TCP_KEEPINTVL, KVTNET_KEEPALIVE_INTERVALLE_S},
        {IPPROTO_TCP, TCP_KEEPCNT, KVTNET_KEEPALIVE_SONDES},
    };
    int r = 0;
    for (const auto &o : options)
        if (::setsockopt(fd, o[0], o[1], &o[2], sizeof o[2]) != 0) r = -1;
    return r;
}

int kvtnet_connexion_reglee(int s) noexcept
{
    return s >= 0 && s == herite_fd ? 1 : 0;
}

void kvtnet_connexion_retire(int s) noexcept
{
    if (s == herite_fd) herite_fd = -1;  // the number may soon name another socket
    Connexion *c = courante;
    if (c == nullptr || c->fd != s) return;
    std::lock_guard<std::mutex> g(c->registre->m);
    c->registre->retire(c);
}

int kvtnet_connexion_entete_lue(int s) noexcept
{
    Connexion *c = courante;
    if (c == nullptr || c->fd != s) return 0;
    std::lock_guard<std::mutex> g(c->registre->m);
    if (c->coupee) return -1;
    c->registre->detache(c);
    return 0;
}

int kvtnet_connexion_active(int s)
{
    Connexion *c = courante;
    if (c == nullptr || c->fd != s) return 0;
    std::lock_guard<std::mutex> g(c->registre->m);
    if (c->coupee) return -1;
    c->registre->active(c);
    return 0;
}

int kvtnet_max_connexions_defaut(void)
{
    // Descriptors: each tunnel holds two (client and host) and a third for a
    // moment while its host name resolves; the process keeps its own
    // (standard streams, logs, listener, the DNS relay's socket, files the
    // resolver reads, each listener's eventfd) and the few connection
    // threads waiting in accept hold one each.
    // So a sixteenth of the limit plus 24 stay aside and the rest goes to
    // tunnels two by two: (limit - 24 - limit / 16) / 2; 256 gives 108.
    rlimit r{};
    int64_t fichiers = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0)
        fichiers = r.rlim_cur == RLIM_INFINITY || r.rlim_cur > (1u << 30) ? (1 << 30) : static_cast<int64_t>(r.rlim_cur);
    int64_t n = (fichiers - 24 - fichiers / 16) / 2;
    // Threads: each connection thread takes two memory maps (its stack and
    // its guard page); a quarter of the process's maps at most, so that the
    // heap and the libraries keep theirs (65530 maps give 16382).
    int64_t cartes = 65530;
    if (FILE *f = std::fopen("/proc/sys/vm/max_map_count", "re")) {
        long long v = 0;
        if (std::fscanf(f, "%lld", &v) == 1 && v > 0) cartes = v;
        std::fclose(f);
    }
    if (n > cartes / 4) n = cartes / 4;
    if (n > INT32_MAX) n = INT32_MAX;
    return n < 1 ? 1 : static_cast<int>(n);
}

int kvtnet_gen_ecouteur_thread(int *resultat, int options, int port, kvtnet_gestionnaire gestionnaire)
{
    (void)options;
    return ecoute(resultat, 0, port, gestionnaire, nullptr);
}

int kvtnet_ecouteur_limite(int *resultat, uint32_t adresse, int port, kvtnet_gestionnaire gestionnaire,
                           const kvtnet_limites *limites)
{
    if (limites == nullptr) { KVT_ERREUR_MSG("Parametre null"); return -1; }
    return ecoute(resultat, adresse, port, gestionnaire, limites);
}

int kvtnet_ecouteur_limite_sur(int s, kvtnet_gestionnaire gestionnaire, const kvtnet_limites *limites)
{
    if (s < 0) { KVT_ERREUR_MSG("Parametre null"); return -1; }
    if (limites == nullptr || gestionnaire == nullptr) {
        KVT_ERREUR_MSG("Parametre null");
        ::close(s);
        return -1;
    }
    return ecoute(nullptr, 0, 0, gestionnaire, limites, s);
}
