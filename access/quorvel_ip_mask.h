/* Access control, built into every server module as a static library: the
 * allowed-host table that admits clients by IPv4 address, and the ad-domain
 * list, a text-keyed chained hash table with its own mutex.
 *
 * Every name here is hidden: each module that links this library holds its
 * own table and never exports or shares it, even when it is loaded with
 * RTLD_GLOBAL. Addresses and masks are 32-bit values in network byte order
 * (127.0.0.1 is 0x0100007F); a set mask bit means that bit must match. */
#ifndef QUORVEL_IP_MASK_H
#define QUORVEL_IP_MASK_H

#include <pthread.h>
#include <stdint.h>

#define QUORVEL_INTERNE __attribute__((visibility("hidden")))

/* ---- Allowed-host table ---- */

/* Capacity of the table: 127.0.0.1 and up to 99 configured patterns. */
#define QUORVEL_NB_HOTES_MAX 100

/* Module-wide table under construction, entries 0 to nb_hotes - 1 in
 * insertion order. Written only by the loader and quorvel_ip_mask_ajoute,
 * one at a time; lookups never read it but the copy last published. */
QUORVEL_INTERNE extern uint32_t adresses[QUORVEL_NB_HOTES_MAX];
QUORVEL_INTERNE extern uint32_t masques[QUORVEL_NB_HOTES_MAX];
QUORVEL_INTERNE extern int32_t nb_hotes;

/* Fills the table afresh: "127.0.0.1" first, then the values of
 * "AllowedHost0" to "AllowedHost99" of section "Main", in key order, empty
 * ones skipped; then publishes it whole. Called by the start entry and again
 * by each reload, while lookups go on. 0, or -1 when its working buffers or
 * the published copy cannot be had (the table in force stays). */
QUORVEL_INTERNE int quorvel_ip_mask_charge(void);

/* Publishes the table as it stands now. 0, or -1 (traced) without memory
 * for the copy, the table in force staying. */
QUORVEL_INTERNE int quorvel_ip_mask_publie(void);

/* Appends one pattern: a host name or dotted address (exact match; a name
 * takes its address from the process's resolved names, kvtnoms_cherche, and
 * one that is not there is resolved now, within KVTNOMS_DELAI_MS), or a dotted pattern whose part "*" ends it ("10.*", "192.168.*"),
 * and publishes the table. Returns nb_hotes after the call, unchanged when
 * the pattern is refused (table full, unresolved name, malformed star
 * pattern, part above 255; each refusal leaves one line in the log); -1 for
 * a null pattern or when no working buffer or copy can be had. */
QUORVEL_INTERNE int quorvel_ip_mask_ajoute(const char *motif);

/* 1 when `adresse` matches an entry of the published table, else 0. An
 * empty table, or none yet, refuses all. Lock-free and allocation-free, from
 * any thread, also while a reload runs. */
QUORVEL_INTERNE int quorvel_ip_mask_autorise(uint32_t adresse);

/* ---- Text-keyed hash table ---- */

#define QUORVEL_CLE_MAX 255          /* longest key, without its NUL */
#define QUORVEL_ADHOSTS_CASES 6666   /* bucket count of the ad-domain table */
#define QUORVEL_ADHOSTS_TAILLE_MAX (256LL * 1024 * 1024)  /* largest list file read, as the block list's */

/* One chain entry, zero-filled when created. A chain always ends with an
 * empty entry (key "", no data, no successor). */
struct quorvel_entree {
    uint32_t hachage;               /* hash of the key, stored on write */
    char cle[QUORVEL_CLE_MAX + 1];  /* NUL-terminated key; "" when never written */
    void *donnee;                   /* malloc'ed data block owned by the table, or null */
    int32_t taille;                 /* the length passed with donnee; 0 when none */
    struct quorvel_entree *suivant; /* next entry of the chain, or null */
};

/* Made and destroyed only by quorvel_table_cree / quorvel_table_detruit. */
struct quorvel_table {
    pthread_mutex_t mutex;          /* guards every insertion and lookup */
    uint32_t nb_cases;              /* bucket count, fixed at creation */
    struct quorvel_entree *cases;   /* nb_cases head entries, stored inline */
};

/* Sum of i * byte(i) over the first `longueur` bytes, bytes unsigned,
 * 32-bit wrap-around. The bucket is the hash modulo nb_cases. */
QUORVEL_INTERNE uint32_t quorvel_table_hache(const char *texte, uint32_t longueur);

/* New empty table of `nb_cases` buckets (at least 1), or null (traced). */
QUORVEL_INTERNE struct quorvel_table *quorvel_table_cree(uint32_t nb_cases);

/* Adds `cle` (at most 255 characters) with `donnee` (a malloc'ed block the
 * table takes over, or null) and `taille`; an existing key keeps its place
 * and takes the new data, its former block released when it differs.
 * 0, or -1 (traced, table unchanged, `donnee` still the caller's) for a null
 * argument, a key too long, or no memory for the chain's new empty entry. */
QUORVEL_INTERNE int quorvel_table_insere(struct quorvel_table *t, const char *cle, void *donnee,
                                       int32_t taille);

/* 0 when `cle` is present, storing its data and length through the cells
 * that are not null; else -1, storing null and 0. The empty key is always
 * present. The data stays the table's. */
QUORVEL_INTERNE int quorvel_table_cherche(struct quorvel_table *t, const char *cle, void **donnee,
                                        int32_t *taille);

/* Releases the table with every data block. Takes no lock: no other thread
 * may use the table any more. Null is accepted. */
QUORVEL_INTERNE void quorvel_table_detruit(struct quorvel_table *t);

/* ---- Ad-domain list ---- */

/* The module's ad-domain table; null until quorvel_adhosts_charge runs.
 * Read and set only with atomic loads and stores. */
QUORVEL_INTERNE extern struct quorvel_table *quorvel_adhosts;

/* Installs a fresh table, then loads the file named by "AdHostsFile" of
 * section "HTTP_FTP", one name per line (CR LF or LF; lines longer than 255
 * characters split). The number of names loaded; 0 when no file is
 * configured; -1 when the table or buffers cannot be had or the file cannot
 * be opened. A table installed by an earlier call is kept alive, never
 * released, since other threads may still be reading it. */
QUORVEL_INTERNE int quorvel_adhosts_charge(void);

/* 1 when `nom` equals a listed name byte for byte, else 0 (also before any
 * load and for null). Any thread. */
QUORVEL_INTERNE int quorvel_adhosts_contient(const char *nom);

/* ---- Block list of the DNS relay and the tunnel ---- */

/* Loads the list named by "AdHostsFile" once for the whole process, whichever
 * module asks first, and prints "%d ad-domains loaded.\n" once. The number
 * of distinct names, or -1 when the file cannot be read. */
QUORVEL_INTERNE int quorvel_liste_demarre(void);

/* Loads the list again (SIGHUP). Lookups see the old list or the new one,
 * never a part of one; a list that cannot be read keeps the old one. */
QUORVEL_INTERNE int quorvel_liste_recharge(void);

/* 1 when the `longueur` bytes at `nom`, or a parent domain of them, are on
 * the list, without regard to case and ignoring one trailing dot; else 0.
 * Takes no lock. */
QUORVEL_INTERNE int quorvel_liste_bloque(const char *nom, size_t longueur);

#endif
