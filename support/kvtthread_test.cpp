#include "kvtlib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>

namespace {

struct Rapport {
    std::mutex m;
    std::condition_variable cv;
    int arrives = 0;
    bool autre_thread = true;
    bool detache = true;
    size_t pile_min = SIZE_MAX;
    pthread_t principal = pthread_self();
};

void routine(void *p)
{
    Rapport *r = static_cast<Rapport *>(p);
    pthread_attr_t attr;
    int etat = -1;
    size_t pile = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getdetachstate(&attr, &etat);
        pthread_attr_getstacksize(&attr, &pile);
        pthread_attr_destroy(&attr);
    }
    std::lock_guard<std::mutex> verrou(r->m);
    r->autre_thread = r->autre_thread && !pthread_equal(pthread_self(), r->principal);
    r->detache = r->detache && etat == PTHREAD_CREATE_DETACHED;
    r->pile_min = std::min(r->pile_min, pile);
    ++r->arrives;
    r->cv.notify_all();
}

}  // namespace

TEST(KvtThread, StartsDetachedThreadsWithTheirStack)
{
    constexpr int kThreads = 64;
    Rapport r;
    for (int i = 0; i < kThreads; ++i) ASSERT_EQ(kvtthread_demarre(routine, KVT_PILE_SERVEUR, &r), 0);
    std::unique_lock<std::mutex> verrou(r.m);
    ASSERT_TRUE(r.cv.wait_for(verrou, std::chrono::seconds(30), [&] { return r.arrives == kThreads; }))
        << r.arrives << " of " << kThreads << " threads ran";
    EXPECT_TRUE(r.autre_thread);
    EXPECT_TRUE(r.detache);
    EXPECT_GE(r.pile_min, static_cast<size_t>(KVT_PILE_SERVEUR));

    // A tiny request still gives a usable stack, and a null routine is refused.
    r.arrives = 0;
    verrou.unlock();
    ASSERT_EQ(kvtthread_demarre(routine, 1, &r), 0);
    verrou.lock();
    ASSERT_TRUE(r.cv.wait_for(verrou, std::chrono::seconds(30), [&] { return r.arrives == 1; }));
    EXPECT_EQ(kvtthread_demarre(nullptr, KVT_PILE_SERVEUR, nullptr), -1);
}

TEST(KvtThread, FailureIsLoggedAndReported)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space beyond any address-space limit";
#else
    // In a child: with the address space capped, a 3 GiB stack cannot be had.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rlimit l;
            l.rlim_cur = l.rlim_max = 512u << 20;
            setrlimit(RLIMIT_AS, &l);
            Rapport r;
            std::exit(kvtthread_demarre(routine, 3u << 30, &r) == -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "Unable to start a thread");
#endif
}
