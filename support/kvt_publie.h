/* One value that readers on any thread use without a lock while a writer
 * replaces it whole: the configuration snapshot, each module's allowed-host
 * table. The writer builds the new value aside, publishes it with one atomic
 * store, then waits until no reader can still hold the old one and hands it
 * back to be freed.
 *
 * Readers announce themselves in one of two counters, the one that the
 * current phase names. The writer, after the store, moves the phase on and
 * waits for the counter it left to drain, twice, so both counters have been
 * empty once since the store: a reader that saw the old value has left.
 * Reading costs two atomic additions; no reader ever waits for the writer.
 *
 * Header only, without exports: each library that includes it keeps its own
 * instances (a module's table stays the module's). */
#ifndef KVT_PUBLIE_H
#define KVT_PUBLIE_H

#include <sched.h>
#include <time.h>

#include <atomic>
#include <mutex>

template <class T>
struct kvt_publie {
    std::atomic<T *> courant{nullptr};
    std::atomic<unsigned> phase{0};
    std::atomic<long> lecteurs[2] = {0, 0};
    std::mutex ecrivain;  // one replacement at a time; readers never take it
};

/* A reader's hold on the current value, for one scope. get() is null when
 * nothing was ever published. */
template <class T>
class kvt_lecture {
public:
    explicit kvt_lecture(kvt_publie<T> &p) noexcept : p_(p)
    {
        for (;;) {
            cote_ = p_.phase.load() & 1u;
            p_.lecteurs[cote_].fetch_add(1);
            // The phase moved between the two reads: the writer may already
            // have found this counter empty, so announce again on the new side.
            if ((p_.phase.load() & 1u) == cote_) break;
            p_.lecteurs[cote_].fetch_sub(1, std::memory_order_release);
        }
        valeur_ = p_.courant.load();
    }
    ~kvt_lecture() { p_.lecteurs[cote_].fetch_sub(1, std::memory_order_release); }
    kvt_lecture(const kvt_lecture &) = delete;
    kvt_lecture &operator=(const kvt_lecture &) = delete;
    T *get() const noexcept { return valeur_; }

private:
    kvt_publie<T> &p_;
    unsigned cote_ = 0;
    T *valeur_ = nullptr;
};

/* Publishes `neuf` (may be null) and returns the value it replaced once no
 * reader can still be using it: the caller frees that one. Blocks only for
 * the readers' short holds. */
template <class T>
T *kvt_publie_remplace(kvt_publie<T> &p, T *neuf)
{
    std::lock_guard<std::mutex> g{p.ecrivain};
    T *ancien = p.courant.exchange(neuf);
    for (int tour = 0; tour < 2; ++tour) {
        const unsigned quitte = p.phase.fetch_add(1) & 1u;
        for (int essai = 0; p.lecteurs[quitte].load() != 0; ++essai) {
            if (essai < 100) {
                sched_yield();
            } else {
                timespec t{0, 100000};  // a reader was preempted inside its hold
                nanosleep(&t, nullptr);
            }
        }
    }
    return ancien;
}

#endif
