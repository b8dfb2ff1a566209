// A tiny module that links the access library the way the server modules do
// and exports probes into its own copy of the tables. Built twice or more
// under different names for the test that proves the copies stay apart.
#include "kvtlib.h"
#include "quorvel_ip_mask.h"

KVT_EXPORT int sonde_ajoute(const char *motif)
{
    return quorvel_ip_mask_ajoute(motif);
}

KVT_EXPORT int sonde_autorise(uint32_t adresse)
{
    return quorvel_ip_mask_autorise(adresse);
}

KVT_EXPORT int sonde_nb_hotes(void)
{
    return nb_hotes;
}

// Installs a table on first use, as the loader would, and adds one name.
KVT_EXPORT int sonde_adhosts_insere(const char *nom)
{
    if (quorvel_adhosts == nullptr) {
        quorvel_table *t = quorvel_table_cree(QUORVEL_ADHOSTS_CASES);
        if (t == nullptr) return -1;
        __atomic_store_n(&quorvel_adhosts, t, __ATOMIC_RELEASE);
    }
    return quorvel_table_insere(quorvel_adhosts, nom, nullptr, 0);
}

KVT_EXPORT int sonde_adhosts_contient(const char *nom)
{
    return quorvel_adhosts_contient(nom);
}
