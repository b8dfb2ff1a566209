/* The threaded listener: accepts connections on a TCP port and runs a
 * handler for each on a connection thread of its own, reusing the threads
 * that finished. The capped variant keeps a record of each connection so
 * that it can bound how many are served at once, per client address too,
 * and end the waits of connections that send no request. Failures the
 * operator must see (listen, accept, thread start) go to the error log. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <deque>
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
#include <sys/socket.h>
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
Connexion *admet(const std::shared_ptr<Registre> &r, int fd, uint32_t adresse, int64_t maintenant) noexcept
{
    std::lock_guard<std::mutex> g(r->m);
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
        auto *c = new Connexion;
        c->fd = fd;
        c->adresse = adresse;
        c->accepte_ms = maintenant;
        c->registre = r;
        ++r->par_adresse[adresse];
        ++r->tenues;
        r->ajoute(c);
        return c;
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

/* ---- Connection threads ---- */

// Connection threads are kept for a few seconds after their connection ends
// and take the next one: starting a thread costs a clone and, when it ends,
// the release of its stack with a TLB shootdown on every core, more than all
// the rest of a tunnel's setup. Each connection still has a thread of its own
// for as long as it lives; only idle threads are reused.
struct Travail {
    kvtnet_gestionnaire gestionnaire;
    void *bloc;
    Connexion *connexion;  // null under an uncapped listener
    int regle;             // the socket, when it inherited the listener's options; else -1
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

void execute(const Travail &t)
{
    courante = t.connexion;
    herite_fd = t.regle;
    t.gestionnaire(t.bloc);
    courante = nullptr;
    herite_fd = -1;
    if (t.connexion != nullptr) termine(t.connexion);
}

void ouvrier(void *argument)
{
    Travail courant = *static_cast<Travail *>(argument);
    delete static_cast<Travail *>(argument);
    Reserve &r = reserve();
    for (;;) {
        execute(courant);
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

// Runs the work on an idle connection thread, or on a new one. 0, or a
// negative error number when no thread could take it (the caller still owns
// the block and the record).
int lance_connexion(const Travail &travail) noexcept
{
    Reserve &r = reserve();
    try {
        std::unique_lock<std::mutex> g(r.m);
        if (r.libres > 0) {
            r.travaux.push_back(travail);
            --r.libres;
            // Woken after the unlock, the thread does not wait again at once
            // for the mutex this thread still holds.
            g.unlock();
            r.cv.notify_one();
            return 0;
        }
    } catch (const std::bad_alloc &) {
        // no room in the queue: a thread of its own, below
    }
    auto *t = new (std::nothrow) Travail{travail};
    if (t == nullptr) return -ENOMEM;
    int e = kvtthread_demarre_muet(ouvrier, PILE_CONNEXION, t);
    if (e < 0) delete t;
    return e;
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

// The accept loop of both listeners; `limites` null for the uncapped one.
// Listening ends when another thread shuts the socket down
// (shutdown(*resultat, SHUT_RDWR)): the loop then closes it and returns 0.
// `deja`: a socket the caller set listening (`adresse` and `port` unused), or -1.
int ecoute(int *resultat, uint32_t adresse, int port, kvtnet_gestionnaire gestionnaire,
           const kvtnet_limites *limites, int deja = -1)
{
    bool herite = false;  // accepted sockets come with TCP_NODELAY and keepalive
    kvt_fd s{deja >= 0 ? deja : ouvre_ecoute(adresse, port, gestionnaire, &herite)};
    if (!s) return -1;
    if (deja >= 0) {
        sockaddr_in sa{};
        socklen_t l = sizeof sa;
        if (::getsockname(deja, reinterpret_cast<sockaddr *>(&sa), &l) == 0) port = ntohs(sa.sin_port);
    }
    std::shared_ptr<Registre> registre;
    if (limites != nullptr) {
        try {
            registre = std::make_shared<Registre>();
        } catch (const std::bad_alloc &) {
            KVT_ERREUR();
            return -1;
        }
        registre->max = limites->max_connexions > 0 ? limites->max_connexions : kvtnet_max_connexions_defaut();
        registre->max_par_adresse = limites->max_par_adresse > 0 ? limites->max_par_adresse : 0;
        registre->eviction = limites->eviction;
        // The capped loop waits in poll, with the short deadline when one
        // applies, so accept must not block.
        int drapeaux = ::fcntl(s.fd, F_GETFL);
        if (drapeaux < 0 || ::fcntl(s.fd, F_SETFL, drapeaux | O_NONBLOCK) < 0) {
            kvtlog_erreur("Cannot listen on port %d: fcntl: %s", port, std::strerror(errno));
            return -1;
        }
    }
    if (resultat != nullptr) __atomic_store_n(resultat, s.fd, __ATOMIC_RELEASE);

    int64_t manque_signale_a = -MANQUE_RAPPEL_MS;  // the first shortage is written at once
    EchecsFils echecs;
    for (;;) {
        if (registre) {
            int64_t echeance;
            {
                std::lock_guard<std::mutex> g(registre->m);
                echeance = registre->ecourte(kvtnet_maintenant_ms());
            }
            // Slots only fill here, so without a deadline nothing is due
            // before the next connection arrives.
            int pret = kvtnet_attend(s.fd, POLLIN, echeance);
            if (pret == 0) continue;
            if (pret < 0) ::usleep(PAUSE_ACCEPT_MS * 1000);  // never a busy loop on a failing poll
        }
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
                if (!registre) (void)kvtnet_attend(s.fd, POLLIN, -1);
                continue;
            case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
                if (kvtnet_maintenant_ms() - manque_signale_a >= MANQUE_RAPPEL_MS) {
                    if (limites != nullptr && limites->accept_echoue != nullptr)
                        limites->accept_echoue(e, 0);
                    else
                        kvtlog_erreur("Accept on port %d: %s; waiting for resources", port, std::strerror(e));
                    manque_signale_a = kvtnet_maintenant_ms();
                }
                ::usleep(PAUSE_ACCEPT_MS * 1000);
                continue;
            case EINVAL:
                return 0;  // shut down: listening ends
            default:
                if (limites != nullptr && limites->accept_echoue != nullptr)
                    limites->accept_echoue(e, 1);
                else
                    kvtlog_erreur("Accept on port %d: %s; listening ends", port, std::strerror(e));
                if (e == EBADF || e == ENOTSOCK) (void)s.release();  // no longer ours to close
                return -1;
            }
        }
        if (!herite) kvtnet_option(c, IPPROTO_TCP, TCP_NODELAY, 1);
        Connexion *connexion = nullptr;
        if (registre) {
            if (limites->admet != nullptr) {
                if (limites->admet(c, reinterpret_cast<const sockaddr *>(&pair), l) == 0) {
                    ::close(c);
                    continue;
                }
                // The test may have changed the limit; the registry's copy is
                // only read and written on this thread.
                registre->max_par_adresse = limites->max_par_adresse > 0 ? limites->max_par_adresse : 0;
            }
            connexion = admet(registre, c, pair.sin_addr.s_addr, kvtnet_maintenant_ms());
            if (connexion == nullptr) {
                refuse(c, pair.sin_addr.s_addr, limites);
                continue;
            }
        }
        auto *bloc = static_cast<kvtnet_bloc *>(std::malloc(sizeof(kvtnet_bloc)));
        if (bloc == nullptr) {
            kvtlog_erreur("Accept on port %d: no memory for the connection", port);
            if (connexion != nullptr) termine(connexion);
            ::close(c);
            continue;
        }
        bloc->socket = c;
        bloc->famille = pair.sin_family;
        bloc->port = pair.sin_port;
        bloc->adresse = pair.sin_addr.s_addr;
        std::memset(bloc->zero, 0, sizeof bloc->zero);
        int e = lance_connexion(Travail{gestionnaire, bloc, connexion, herite ? c : -1});
        if (e < 0) {
            echecs.note(port, e);
            std::free(bloc);
            if (connexion != nullptr) termine(connexion);
            refuse(c, pair.sin_addr.s_addr, limites);
        }
    }
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
    // resolver reads) and the listener needs one more to refuse a client.
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
