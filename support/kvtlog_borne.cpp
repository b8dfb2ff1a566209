/* Bounded lines: refusals in the log and network-caused traces on stderr,
 * counted per service. A stranger decides how often they happen (UDP
 * sources can be forged, so not even a connection is needed): past the
 * bound they are only counted, and one line per service gives the count
 * when the period ends. The tunnel and the DNS relay call this for every
 * refused client and every trace that a datagram can provoke.
 *
 * A counter's period starts with the first line it writes. The count of a
 * period is written by whichever comes first after the period ends: the
 * next line of that service, or the watcher, one thread of the library
 * started at the first line held back, which sleeps on a condition while no
 * count is pending and otherwise until the earliest period ends. The lock
 * order is this file's mutex, then the log's. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// A stranger's flood must not fill the disk: 100 lines a minute per service.
constexpr int LIGNES_PAR_PERIODE = 100;
constexpr int PERIODE_MS = 60 * 1000;
// Services per kind of line; more than that share the last counter.
constexpr int NB_SERVICES = 16;
constexpr size_t TAILLE_NOM = 16;

enum Genre { REFUS = 0, TRACE = 1, NB_GENRES = 2 };

struct Compteur {
    char service[TAILLE_NOM];  // empty: not taken yet
    int64_t debut;             // start of the current period, monotonic ms
    int ecrites;               // lines written in that period
    int tues;                  // lines held back in it, not yet reported
};

struct Bornes {
    // Guards everything below. Count lines are written under it (at most one
    // per service and period), so a count always precedes the next period's
    // lines; the lines themselves are written outside it.
    std::mutex m;
    std::condition_variable reveil;
    Compteur compteurs[NB_GENRES][NB_SERVICES]{};
    int lignes = LIGNES_PAR_PERIODE;
    int64_t periode = PERIODE_MS;
    bool veilleur = false;  // the watcher thread has been started
};

// Never destroyed: the watcher and detached threads may run while the process exits.
Bornes &bornes() { return kvt_permanent<Bornes>(); }

int64_t maintenant_ms() noexcept
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Compteur &trouve(Compteur *table, const char *service) noexcept
{
    for (int i = 0; i < NB_SERVICES - 1; ++i) {
        Compteur &c = table[i];
        if (c.service[0] == '\0') {
            std::strncpy(c.service, service, TAILLE_NOM - 1);
            return c;
        }
        if (std::strncmp(c.service, service, TAILLE_NOM - 1) == 0) return c;
    }
    Compteur &dernier = table[NB_SERVICES - 1];
    if (dernier.service[0] == '\0') std::strncpy(dernier.service, service, TAILLE_NOM - 1);
    return dernier;
}

void ecrit_compte(int genre, const char *service, int n)
{
    if (genre == REFUS)
        kvtlog_log("%d more refusals not logged (%s)", n, service);
    else
        std::fprintf(stderr, "%d more traces not written (%s)\n", n, service);
}

void veille(void *)
{
    Bornes &b = bornes();
    std::unique_lock<std::mutex> verrou(b.m);
    for (;;) {
        const int64_t t = maintenant_ms();
        int64_t prochain = INT64_MAX;
        for (int g = 0; g < NB_GENRES; ++g) {
            for (Compteur &c : b.compteurs[g]) {
                if (c.tues == 0) continue;
                const int64_t fin = c.debut + b.periode;
                if (t < fin) {
                    if (fin < prochain) prochain = fin;
                    continue;
                }
                ecrit_compte(g, c.service, c.tues);
                c.tues = 0;  // the next line of this service opens a new period
            }
        }
        if (prochain == INT64_MAX)
            b.reveil.wait(verrou);
        else
            b.reveil.wait_for(verrou, std::chrono::milliseconds(prochain - t));
    }
}

// True when the line is to be written; false when it is counted instead.
bool decide(int genre, const char *service)
{
    Bornes &b = bornes();
    bool ecrire = false;
    bool demarre = false;
    {
        std::lock_guard<std::mutex> verrou(b.m);
        const int64_t t = maintenant_ms();
        Compteur &c = trouve(b.compteurs[genre], service);
        if (c.ecrites == 0 || t - c.debut >= b.periode) {
            // The watcher has not come yet: the count goes before this line.
            if (c.tues > 0) ecrit_compte(genre, c.service, c.tues);
            c.tues = 0;
            c.ecrites = 0;
            c.debut = t;
        }
        if (c.ecrites < b.lignes) {
            ++c.ecrites;
            ecrire = true;
        } else if (c.tues++ == 0) {
            // The first line held back: the watcher must know when to wake.
            if (!b.veilleur)
                demarre = b.veilleur = true;
            else
                b.reveil.notify_one();
        }
    }
    if (demarre && kvtthread_demarre(veille, KVT_PILE_SERVEUR, nullptr) < 0) {
        // Logged by kvtthread_demarre; the count is then reported by the
        // service's next line after its period, and the next hold-back retries.
        std::lock_guard<std::mutex> verrou(b.m);
        b.veilleur = false;
    }
    return ecrire;
}

}  // namespace

int kvtlog_refus(const char *service, const char *format, ...)
{
    if (service == nullptr || format == nullptr) { KVT_ERREUR(); return -1; }
    if (!decide(REFUS, service)) return 0;
    va_list args;
    va_start(args, format);
    const int r = kvtlog_vlog(format, args);
    va_end(args);
    return r < 0 ? -1 : 1;
}

int kvtlog_trace_reseau(const char *service, const char *fichier, int ligne)
{
    if (service == nullptr || fichier == nullptr) { KVT_ERREUR(); return -1; }
    if (!decide(TRACE, service)) return 0;
    kvt_trace(fichier, ligne);
    return 1;
}

int kvtlog_borne(int lignes, int periode_ms)
{
    if (lignes < 1 || periode_ms < 1) return -1;
    Bornes &b = bornes();
    std::lock_guard<std::mutex> verrou(b.m);
    b.lignes = lignes;
    b.periode = periode_ms;
    b.reveil.notify_one();  // a shorter period may end a pending count sooner
    return 0;
}
