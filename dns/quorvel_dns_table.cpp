/* The pending-query table: placement, lookup and the pending counts. */
#include "quorvel_dns_table.h"

#include "kvtstat.h"

quorvel_dns_attente quorvel_dns_table[QUORVEL_DNS_NB_REQUETES];
int quorvel_dns_prochain;
uint64_t quorvel_dns_nb_memorisees;
void (*quorvel_dns_table_reprise)(int slot);

namespace {

constexpr int N = QUORVEL_DNS_NB_REQUETES;
// A query unanswered for this long has been given up by its client (resolvers
// retry after a few seconds): its slot may be taken again.
constexpr uint32_t ATTENTE_MAX_S = 10;

// Hardened fields that mean "none" are not zero.
const bool initialise = [] {
    for (quorvel_dns_attente &a : quorvel_dns_table) a.fd_propre = a.cle_cache = -1;
    return true;
}();

// The slot the next record takes: from the cursor on, the first one that
// holds no query still awaiting its answer; when all 100 do, the oldest.
// Without answers this is plain ring order. With answers, a slow query is
// no longer overwritten by 100 quicker ones that overtook it: with at most
// 100 queries in flight, none is lost.
int place_libre(uint32_t maintenant) noexcept
{
    int plus_ancienne = quorvel_dns_prochain;
    for (int k = 0; k < N; ++k) {
        const int slot = (quorvel_dns_prochain + k) % N;
        const quorvel_dns_attente &a = quorvel_dns_table[slot];
        if (a.ordre == 0 || a.repondue || maintenant - a.instant >= ATTENTE_MAX_S) return slot;
        if (a.ordre < quorvel_dns_table[plus_ancienne].ordre) plus_ancienne = slot;
    }
    return plus_ancienne;
}

}  // namespace

int quorvel_dns_table_ecrit(int identifiant, uint32_t adresse, uint16_t port, uint32_t maintenant)
{
    (void)initialise;
    const int slot = place_libre(maintenant);
    quorvel_dns_attente &a = quorvel_dns_table[slot];
    const bool attend = a.ordre != 0 && !a.repondue;
    if (attend && quorvel_dns_table_reprise != nullptr) quorvel_dns_table_reprise(slot);
    // Only this thread writes the pending counts: a plain read-modify-write
    // of the maximum is enough.
    if (attend)
        kvtstat.dns.sans_reponse.fetch_add(1, std::memory_order_relaxed);  // the slot stays pending for the new one
    else {
        const uint64_t n = kvtstat.dns.en_attente.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n > kvtstat.dns.en_attente_max.load(std::memory_order_relaxed))
            kvtstat.dns.en_attente_max.store(n, std::memory_order_relaxed);
    }
    a = quorvel_dns_attente{};
    a.id = identifiant;
    a.adresse = adresse;
    a.port = port;
    a.ordre = ++quorvel_dns_nb_memorisees;
    a.instant = maintenant;
    a.fd_propre = a.cle_cache = -1;
    quorvel_dns_prochain = (slot + 1) % N;
    return slot;
}

int quorvel_dns_table_cherche(int identifiant)
{
    // Never-written slots (order 0) take part too, as the oldest, so
    // identifier 0 finds one of them when nothing newer holds it.
    int trouve = -1;
    for (int slot = 0; slot < N; ++slot) {
        const quorvel_dns_attente &a = quorvel_dns_table[slot];
        if (a.id == identifiant && (trouve < 0 || a.ordre > quorvel_dns_table[trouve].ordre)) trouve = slot;
    }
    return trouve;
}

void quorvel_dns_table_vide(void)
{
    for (quorvel_dns_attente &a : quorvel_dns_table) {
        a = quorvel_dns_attente{};
        a.fd_propre = a.cle_cache = -1;
    }
    quorvel_dns_nb_memorisees = 0;
    quorvel_dns_prochain = 0;
}
