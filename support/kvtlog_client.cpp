/* The query log's bound per client address: 1,000 lines a minute, then a
 * count. One allowed client can send tens of thousands of queries a second,
 * and each would be a line.
 *
 * The table is fixed: kCases slots, a client takes the first of kSonde
 * slots from its hash that is free or whose minute has ended. When all
 * kSonde are taken by clients inside their minute, the line is counted in
 * one shared count, written as `client=-`, so a flood from many forged
 * addresses grows nothing and still writes at most kCases clients' lines.
 *
 * A client's count is written by its next line after the minute, by an
 * eviction, or by the access log's writer thread, which calls
 * kvtlog_client_echeances about every kvtlog_client_pas_ms(). Count lines
 * are gathered under the table's lock and written after it. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kLignes = 1000;
constexpr int64_t kMinuteMs = 60 * 1000;
constexpr size_t kCases = 4096;  // a power of two
constexpr size_t kSonde = 8;

// A client address of either family, compared as bytes.
struct Cle {
    uint8_t famille = 0;  // 4 or 6; 0: a free slot
    uint8_t octets[16]{};
    bool operator==(const Cle &o) const { return famille == o.famille && std::memcmp(octets, o.octets, 16) == 0; }
};

struct Client {
    Cle cle;
    const char *service = nullptr;
    int64_t debut = 0;  // start of its minute, monotonic ms
    int ecrites = 0;
    unsigned long long tues = 0;  // lines counted, not yet reported
};

// One count line to write once the lock is released.
struct Compte {
    Cle cle;
    const char *service;
    unsigned long long n;
};

struct Table {
    std::mutex m;
    Client cases[kCases];
    // The clients that found no slot, since `debut_hors`.
    unsigned long long hors = 0;
    const char *service_hors = nullptr;
    int64_t debut_hors = 0;
    int lignes = kLignes;
    int64_t minute = kMinuteMs;
    // Earliest end of a minute with a count pending; read without the lock
    // so that the writer's calls cost nothing while there is none.
    std::atomic<int64_t> prochaine{INT64_MAX};
};

// A test run may shorten the minute through the environment.
int64_t minute_initiale()
{
    const char *v = std::getenv("KVT_ESSAI_MINUTE_MS");
    const long long n = v != nullptr ? std::atoll(v) : 0;
    return n > 0 ? n : kMinuteMs;
}

// Never destroyed: the writer thread may call in while the process exits.
Table &table()
{
    static Table *t = [] {
        Table *n = &kvt_permanent<Table>();
        n->minute = minute_initiale();
        return n;
    }();
    return *t;
}

void ecrit(const Compte &c)
{
    char texte[INET6_ADDRSTRLEN] = "-";
    if (c.cle.famille == 4)
        ::inet_ntop(AF_INET, c.cle.octets, texte, sizeof texte);
    else if (c.cle.famille == 6)
        ::inet_ntop(AF_INET6, c.cle.octets, texte, sizeof texte);
    kvtlog_acces("%s client=%s status=not-logged count=%llu", c.service, texte, c.n);
}

void attend_compte(Table &t, int64_t fin)
{
    if (fin < t.prochaine.load(std::memory_order_relaxed)) t.prochaine.store(fin, std::memory_order_relaxed);
}

}  // namespace

int kvtlog_acces_client(const char *service, const struct sockaddr *client, unsigned longueur)
{
    if (service == nullptr || client == nullptr) { KVT_ERREUR(); return -1; }
    Cle k;
    if (client->sa_family == AF_INET && longueur >= sizeof(sockaddr_in)) {
        k.famille = 4;
        std::memcpy(k.octets, &reinterpret_cast<const sockaddr_in *>(client)->sin_addr, 4);
    } else if (client->sa_family == AF_INET6 && longueur >= sizeof(sockaddr_in6)) {
        k.famille = 6;
        std::memcpy(k.octets, &reinterpret_cast<const sockaddr_in6 *>(client)->sin6_addr, 16);
    } else {
        KVT_ERREUR();
        return -1;
    }
    // FNV-1a over the address bytes.
    uint32_t h = 2166136261u;
    for (uint8_t o : k.octets) h = (h ^ o) * 16777619u;
    h ^= k.famille;

    Table &t = table();
    Compte compte{};
    bool a_ecrire = false;
    int r;
    {
        std::lock_guard<std::mutex> verrou(t.m);
        const int64_t maintenant = kvtnet_maintenant_ms();
        Client *trouve = nullptr, *libre = nullptr;
        for (size_t i = 0; i < kSonde; ++i) {
            Client &c = t.cases[(h + i) & (kCases - 1)];
            if (c.cle.famille != 0 && c.cle == k) {
                trouve = &c;
                break;
            }
            if (libre == nullptr && (c.cle.famille == 0 || maintenant - c.debut >= t.minute)) libre = &c;
        }
        if (trouve == nullptr && libre != nullptr) {
            // The slot's former client has ended its minute: its count goes now.
            if (libre->cle.famille != 0 && libre->tues > 0) {
                compte = {libre->cle, libre->service, libre->tues};
                a_ecrire = true;
            }
            *libre = Client{k, service, maintenant, 0, 0};
            trouve = libre;
        }
        if (trouve == nullptr) {
            if (t.hors == 0) {
                t.debut_hors = maintenant;
                t.service_hors = service;
                attend_compte(t, maintenant + t.minute);
            }
            ++t.hors;
            r = 0;
        } else {
            Client &c = *trouve;
            if (maintenant - c.debut >= t.minute) {
                if (c.tues > 0) {
                    compte = {c.cle, c.service, c.tues};
                    a_ecrire = true;
                }
                c.debut = maintenant;
                c.ecrites = 0;
                c.tues = 0;
            }
            if (c.ecrites < t.lignes) {
                ++c.ecrites;
                r = 1;
            } else {
                if (c.tues++ == 0) attend_compte(t, c.debut + t.minute);
                r = 0;
            }
        }
    }
    // The count of an ended minute goes before this client's next line.
    if (a_ecrire) ecrit(compte);
    return r;
}

void kvtlog_client_echeances(void)
{
    Table &t = table();
    const int64_t maintenant = kvtnet_maintenant_ms();
    if (maintenant < t.prochaine.load(std::memory_order_relaxed)) return;
    Compte comptes[64];
    size_t suivant = 0;            // where the next pass starts
    int64_t prochaine = INT64_MAX;  // over every pass
    for (;;) {
        size_t n = 0;
        bool fini = true;
        {
            std::lock_guard<std::mutex> verrou(t.m);
            // Counts that start while the lock is released between passes
            // lower this again; the last pass keeps the lower of the two.
            if (suivant == 0) t.prochaine.store(INT64_MAX, std::memory_order_relaxed);
            if (t.hors > 0 && maintenant - t.debut_hors >= t.minute) {
                comptes[n++] = {Cle{}, t.service_hors, t.hors};
                t.hors = 0;
            }
            for (; suivant < kCases; ++suivant) {
                Client &c = t.cases[suivant];
                if (c.cle.famille == 0) continue;
                if (maintenant - c.debut < t.minute) {
                    if (c.tues > 0 && c.debut + t.minute < prochaine) prochaine = c.debut + t.minute;
                    continue;
                }
                if (c.tues > 0) {
                    if (n == sizeof comptes / sizeof comptes[0]) {
                        fini = false;
                        break;
                    }
                    comptes[n++] = {c.cle, c.service, c.tues};
                }
                c = Client{};  // its minute is over: the slot is free
            }
            // Only a full pass knows the earliest pending end.
            if (fini) {
                if (t.hors > 0 && t.debut_hors + t.minute < prochaine) prochaine = t.debut_hors + t.minute;
                if (prochaine < t.prochaine.load(std::memory_order_relaxed))
                    t.prochaine.store(prochaine, std::memory_order_relaxed);
            }
        }
        for (size_t i = 0; i < n; ++i) ecrit(comptes[i]);
        if (fini) return;
    }
}

int kvtlog_client_pas_ms(void)
{
    Table &t = table();
    int64_t pas;
    {
        std::lock_guard<std::mutex> verrou(t.m);
        pas = t.minute / 4;
    }
    return static_cast<int>(pas < 10 ? 10 : pas > 1000 ? 1000 : pas);
}

void kvtlog_client_regle_essai(int lignes, int64_t minute_ms)
{
    Table &t = table();
    std::lock_guard<std::mutex> verrou(t.m);
    t.lignes = lignes > 0 ? lignes : kLignes;
    t.minute = minute_ms > 0 ? minute_ms : minute_initiale();
    t.prochaine.store(0, std::memory_order_relaxed);  // the writer looks again at once
}
