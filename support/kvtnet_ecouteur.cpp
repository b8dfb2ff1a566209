/* The threaded listener: accepts connections on a TCP port and runs a
 * handler for each on a connection thread of its own, reusing the threads
 * that finished. Failures the operator must see (listen, accept) go to the
 * error log. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

// Pause when accept finds no descriptor or memory: the waiting clients stay
// in the backlog and the listener does not burn a core meanwhile.
constexpr int PAUSE_ACCEPT_MS = 100;
constexpr int64_t MANQUE_RAPPEL_MS = 60 * 1000;

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
    kvtnet_option(s.fd, SOL_SOCKET, SO_REUSEADDR, 1);
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
                (void)kvtnet_attend(s.fd, POLLIN, -1);
                continue;
            case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
                if (kvtnet_maintenant_ms() - manque_signale_a >= MANQUE_RAPPEL_MS) {
                    kvtlog_erreur("Accept on port %d: %s; waiting for resources", port, std::strerror(e));
                    manque_signale_a = kvtnet_maintenant_ms();
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
        kvtnet_option(c, IPPROTO_TCP, TCP_NODELAY, 1);
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
