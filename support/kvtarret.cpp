/* The process stop. The launcher raises it once, on SIGINT or SIGTERM; every
 * relay loop polls its descriptor beside its sockets, so an open connection
 * ends within one wake-up, counts its bytes and writes its access line. The
 * connections that have bytes to report are counted while they run their
 * end, so that the launcher waits for them, with a deadline, before its last
 * lines. */
#include "kvtlib.h"
#include "kvt_interne.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

struct Arret {
    std::mutex m;
    std::condition_variable cv;
    bool demande = false;  // under m: once set, no connection is counted in
    int en_cours = 0;      // under m: counted connections not yet through their end
    // Never read by the relays: once written it stays readable, so every
    // poll that holds it wakes, now and later.
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

// Built when the library loads, before any thread may poll it, so the
// descriptor is the process's from the start and never appears mid-way.
Arret le_seul;

Arret &arret()
{
    return le_seul;
}

}  // namespace

int kvtarret_fd(void)
{
    return arret().fd;
}

int kvtarret_demande(void)
{
    Arret &a = arret();
    std::lock_guard<std::mutex> g(a.m);
    return a.demande ? 1 : 0;
}

int kvtarret_entre(void)
{
    Arret &a = arret();
    std::lock_guard<std::mutex> g(a.m);
    if (a.demande) return 0;
    ++a.en_cours;
    return 1;
}

void kvtarret_sort(void)
{
    Arret &a = arret();
    std::lock_guard<std::mutex> g(a.m);
    if (a.en_cours > 0 && --a.en_cours == 0) a.cv.notify_all();
}

int kvtarret_arrete(int delai_ms)
{
    Arret &a = arret();
    {
        std::lock_guard<std::mutex> g(a.m);
        a.demande = true;
    }
    // After the flag: a connection counted in before it sees the
    // descriptor readable in its next poll, whenever that comes.
    const uint64_t un = 1;
    ssize_t n;
    do {
        n = ::write(a.fd, &un, sizeof un);
    } while (n < 0 && errno == EINTR);
    std::unique_lock<std::mutex> g(a.m);
    a.cv.wait_for(g, std::chrono::milliseconds(delai_ms > 0 ? delai_ms : 0), [&] { return a.en_cours == 0; });
    return a.en_cours;
}

void kvtarret_essai_reprend(void)
{
    Arret &a = arret();
    std::lock_guard<std::mutex> g(a.m);
    a.demande = false;
    a.en_cours = 0;
    uint64_t v;
    while (::read(a.fd, &v, sizeof v) < 0 && errno == EINTR) {
    }
}
