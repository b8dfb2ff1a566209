/* Names resolved ahead: the launcher resolves the allowed-host names once per
 * start or reload, all at once and each within a bound, and publishes them
 * here; every module's table then takes its addresses from this one table.
 *
 * A resolver that does not answer keeps getaddrinfo waiting for tens of
 * seconds, and that call cannot be cancelled. So each name is resolved on a
 * thread of its own that shares one reference-counted batch with the waiter:
 * a thread still waiting when the bound passes is simply left to run, and
 * its late answer lands in the batch it co-owns, never in freed memory. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// One resolution round: the names, their answers, and who has answered.
// Shared by the waiter and every thread of the round.
struct Lot {
    std::mutex verrou;
    std::condition_variable fini;
    std::vector<std::string> noms;          // fixed before any thread starts
    std::vector<kvtnoms_adresse> adresses;  // under `verrou`
    std::vector<char> repondu;              // under `verrou`
    int restants = 0;                       // under `verrou`
};

void resout_un(const std::shared_ptr<Lot> &lot, size_t i, kvtnoms_fonction fonction)
{
    kvtnoms_adresse r{};
    if (fonction(lot->noms[i].c_str(), &r) != 0) r.longueur = 0;
    std::lock_guard<std::mutex> g{lot->verrou};
    lot->adresses[i] = r;
    lot->repondu[i] = 1;
    if (--lot->restants == 0) lot->fini.notify_all();
}

// Dotted IPv4 text needs no resolver, nor a thread.
bool pointee(const char *nom, kvtnoms_adresse *r)
{
    in_addr a{};
    if (::inet_pton(AF_INET, nom, &a) != 1) return false;
    *r = kvtnoms_adresse{};
    auto *sa = reinterpret_cast<sockaddr_in *>(&r->adresse);
    sa->sin_family = AF_INET;
    sa->sin_addr = a;
    r->longueur = sizeof(sockaddr_in);
    return true;
}

// The table in force: each name with its answer (longueur 0: none).
using Table = std::vector<std::pair<std::string, kvtnoms_adresse>>;

struct Publiee {
    std::mutex verrou;
    std::shared_ptr<const Table> table;
};

// Never destroyed: a module may look a name up while the process exits.
Publiee &publiee() { return kvt_permanent<Publiee>(); }

}  // namespace

int kvtnoms_systeme(const char *nom, kvtnoms_adresse *resultat)
{
    if (resultat == nullptr) return -1;
    *resultat = kvtnoms_adresse{};
    const uint32_t a = kvtnet_resoudre_adresse(nom);
    if (a == KVTNET_ADRESSE_INVALIDE) return -1;
    auto *sa = reinterpret_cast<sockaddr_in *>(&resultat->adresse);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = a;
    resultat->longueur = sizeof(sockaddr_in);
    return 0;
}

int kvtnoms_resout(const char *const *noms, int nb, int delai_ms, kvtnoms_fonction fonction,
                   kvtnoms_adresse *resultats)
{
    if (nb < 0 || (nb > 0 && (noms == nullptr || resultats == nullptr))) {
        KVT_ERREUR();
        return -1;
    }
    if (fonction == nullptr) fonction = kvtnoms_systeme;
    const auto echeance = std::chrono::steady_clock::now() + std::chrono::milliseconds(delai_ms > 0 ? delai_ms : 0);
    std::shared_ptr<Lot> lot;
    std::vector<size_t> lances;  // indexes of the names given to a thread
    try {
        lot = std::make_shared<Lot>();
        for (int i = 0; i < nb; ++i) {
            resultats[i] = kvtnoms_adresse{};
            if (noms[i] == nullptr || noms[i][0] == '\0') continue;
            if (pointee(noms[i], &resultats[i])) continue;
            lot->noms.emplace_back(noms[i]);
            lances.push_back(static_cast<size_t>(i));
        }
        lot->adresses.resize(lances.size());
        lot->repondu.resize(lances.size());
    } catch (...) {
        KVT_ERREUR();
        return -1;
    }
    {
        std::lock_guard<std::mutex> g{lot->verrou};
        lot->restants = static_cast<int>(lances.size());
    }
    for (size_t k = 0; k < lances.size(); ++k) {
        try {
            std::thread(resout_un, lot, k, fonction).detach();
        } catch (...) {
            // No thread for it: that name goes unresolved, the others are
            // still waited for.
            KVT_ERREUR();
            std::lock_guard<std::mutex> g{lot->verrou};
            lot->repondu[k] = 1;
            --lot->restants;
        }
    }
    int resolus = 0;
    std::unique_lock<std::mutex> g{lot->verrou};
    lot->fini.wait_until(g, echeance, [&] { return lot->restants <= 0; });
    for (size_t k = 0; k < lances.size(); ++k)
        if (lot->repondu[k]) resultats[lances[k]] = lot->adresses[k];
    for (int i = 0; i < nb; ++i)
        if (resultats[i].longueur > 0) ++resolus;
    return resolus;
}

int kvtnoms_publie(const char *const *noms, int nb, int delai_ms, kvtnoms_fonction fonction)
{
    if (nb < 0 || (nb > 0 && noms == nullptr)) {
        KVT_ERREUR();
        return -1;
    }
    std::shared_ptr<Table> t;
    int resolus = 0;
    try {
        std::vector<kvtnoms_adresse> adresses(static_cast<size_t>(nb));
        resolus = kvtnoms_resout(noms, nb, delai_ms, fonction, adresses.data());
        if (resolus < 0) return -1;
        t = std::make_shared<Table>();
        for (int i = 0; i < nb; ++i)
            if (noms[i] != nullptr) t->emplace_back(noms[i], adresses[static_cast<size_t>(i)]);
    } catch (...) {
        KVT_ERREUR();
        return -1;
    }
    Publiee &p = publiee();
    std::shared_ptr<const Table> ancienne;
    {
        std::lock_guard<std::mutex> g{p.verrou};
        ancienne = std::move(p.table);
        p.table = std::move(t);
    }
    return resolus;  // the old table is released outside the lock
}

int kvtnoms_cherche(const char *nom, kvtnoms_adresse *resultat)
{
    if (resultat != nullptr) *resultat = kvtnoms_adresse{};
    if (nom == nullptr) return -1;
    std::shared_ptr<const Table> t;
    {
        Publiee &p = publiee();
        std::lock_guard<std::mutex> g{p.verrou};
        t = p.table;
    }
    if (!t) return -1;
    for (const auto &e : *t) {
        if (e.first != nom) continue;
        if (resultat != nullptr) *resultat = e.second;
        return e.second.longueur > 0 ? 1 : 0;
    }
    return -1;
}

void kvtnoms_oublie(void)
{
    Publiee &p = publiee();
    std::shared_ptr<const Table> ancienne;
    std::lock_guard<std::mutex> g{p.verrou};
    ancienne = std::move(p.table);
}
