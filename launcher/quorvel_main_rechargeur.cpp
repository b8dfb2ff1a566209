// The reloads' own thread. The signal wait only hands a SIGHUP over and
// goes back to waiting, so a stop, a log reopening or a statistics request
// is served at once even while a reload waits on names or a slow file.
#include "quorvel_main.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "kvt_trace.h"

struct quorvel_main_rechargeur {
    void (*recharge)(void);
    std::mutex verrou;
    std::condition_variable reveil;  // a request came, or the thread went idle
    bool demandee = false;           // one reload to run (requests merge here)
    bool en_cours = false;
};

namespace {

void boucle_recharges(quorvel_main_rechargeur *r)
{
    std::unique_lock<std::mutex> g{r->verrou};
    for (;;) {
        r->reveil.wait(g, [r] { return r->demandee; });
        // Taken before the reload starts: a request during it asks for one
        // more, and any number of them for one only.
        r->demandee = false;
        r->en_cours = true;
        g.unlock();
        r->recharge();
        g.lock();
        r->en_cours = false;
        r->reveil.notify_all();
    }
}

}  // namespace

quorvel_main_rechargeur *quorvel_main_rechargeur_demarre(void (*recharge)(void))
{
    if (recharge == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    // Never freed: its thread lives as long as the process.
    auto *r = new (std::nothrow) quorvel_main_rechargeur;
    if (r == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    r->recharge = recharge;
    try {
        std::thread(boucle_recharges, r).detach();
    } catch (...) {
        KVT_ERREUR();
        delete r;
        return nullptr;
    }
    return r;
}

void quorvel_main_rechargeur_demande(quorvel_main_rechargeur *r)
{
    if (r == nullptr) return;
    std::lock_guard<std::mutex> g{r->verrou};
    r->demandee = true;
    r->reveil.notify_all();
}

void quorvel_main_rechargeur_attend(quorvel_main_rechargeur *r)
{
    if (r == nullptr) return;
    std::unique_lock<std::mutex> g{r->verrou};
    r->reveil.wait(g, [r] { return !r->demandee && !r->en_cours; });
}
