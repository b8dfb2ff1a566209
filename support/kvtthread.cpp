/* Detached threads with a chosen stack size: the server threads of the
 * modules and the connection threads of the listener. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Depart {
    void (*routine)(void *);
    void *argument;
};

void *trampoline(void *p)
{
    Depart d = *static_cast<Depart *>(p);
    std::free(p);
    d.routine(d.argument);
    return nullptr;
}

// The stack actually asked of pthreads: at least PTHREAD_STACK_MIN, whole
// pages. Sanitizer builds grow every frame several times over, so they get
// four times the stack; release builds get exactly what was asked.
size_t taille_reelle(unsigned demandee)
{
    size_t t = demandee;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    t *= 4;
#endif
    if (t < static_cast<size_t>(PTHREAD_STACK_MIN)) t = PTHREAD_STACK_MIN;
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) t = (t + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) * static_cast<size_t>(page);
    return t;
}

// Starts the detached thread for `d` (which it then owns). 0, or the
// pthreads error number, `d` released.
int lance(Depart *d, unsigned taille_pile) noexcept
{
    pthread_attr_t attr;
    int r = ::pthread_attr_init(&attr);
    if (r == 0) {
        r = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (r == 0) r = ::pthread_attr_setstacksize(&attr, taille_reelle(taille_pile));
        pthread_t t;
        if (r == 0) r = ::pthread_create(&t, &attr, trampoline, d);
        ::pthread_attr_destroy(&attr);
    }
    if (r != 0) std::free(d);
    return r;
}

}  // namespace

int kvtthread_demarre_muet(void (*routine)(void *), unsigned taille_pile, void *argument) noexcept
{
    if (routine == nullptr) return -EINVAL;
    Depart *d = static_cast<Depart *>(std::malloc(sizeof(Depart)));
    if (d == nullptr) return -ENOMEM;
    d->routine = routine;
    d->argument = argument;
    return -lance(d, taille_pile);
}

int kvtthread_demarre(void (*routine)(void *), unsigned taille_pile, void *argument)
{
    if (routine == nullptr) { KVT_ERREUR(); return -1; }
    Depart *d = static_cast<Depart *>(std::malloc(sizeof(Depart)));
    if (d == nullptr) {
        KVT_ERREUR();
        kvtlog_erreur("Unable to start a thread: out of memory");
        return -1;
    }
    d->routine = routine;
    d->argument = argument;
    int r = lance(d, taille_pile);
    if (r != 0) {
        kvtlog_erreur("Unable to start a thread with a %u-byte stack: %s", taille_pile, std::strerror(r));
        return -1;
    }
    return 0;
}

int64_t kvtthread_maintenant_ms(void)
{
    return kvtnet_maintenant_ms();
}

uint32_t kvtthread_maintenant_s(void)
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);  // no system call: read from the vDSO
    return static_cast<uint32_t>(t.tv_sec);
}

void kvtthread_pause_ms(int delai_ms)
{
    timespec attente{delai_ms / 1000, (delai_ms % 1000) * 1000000L};
    while (::nanosleep(&attente, &attente) != 0 && errno == EINTR) {
    }
}
