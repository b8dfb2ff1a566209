/* quorvel_dns_table: the relay's pending queries, one record per slot of a
 * ring of 100, holding what the plain and the hardened relay both need.
 * Plain routing: an answer goes to the newest record holding its
 * identifier; a record takes the first slot from the cursor on whose query
 * awaits no answer (the oldest when all do), and a slot taken again before
 * its answer counts `unanswered`.
 *
 * Used by the relay's one thread only: no lock. */
#ifndef QUORVEL_DNS_TABLE_H
#define QUORVEL_DNS_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"

/* A question as it lies in a message: the name's labels, then type and class. */
#define QUORVEL_DNS_QUESTION_MAX (255 + 4)

/* One pending query. Never-written slots hold zeros (fd_propre and
 * cle_cache aside). */
struct quorvel_dns_attente {
    int id;            /* the client's identifier, its two bytes as they lie, widened */
    uint32_t adresse;  /* the client's address and port, network order */
    uint16_t port;
    uint64_t ordre;    /* rank of the record: 1 for the first, 0 never written */
    bool repondue;     /* answered, or given up */
    uint32_t instant;  /* when it was recorded, monotonic seconds */
    /* Hardened forwarding only: */
    uint16_t id_relais;    /* the relay's identifier, as it lies in the datagram */
    uint32_t amont;        /* the upstream it went to */
    uint32_t prise;        /* serial of the set's socket it left from; 0: a socket of its own */
    int fd_propre;         /* that socket of its own, -1 none */
    int cle_cache;         /* the cache's key bits, -1: its answer is not kept */
    uint16_t taille_question;
    unsigned char question[QUORVEL_DNS_QUESTION_MAX];
};

QUORVEL_DNS_INTERNE extern quorvel_dns_attente quorvel_dns_table[QUORVEL_DNS_NB_REQUETES];
/* The slot from which the next record looks for its place. */
QUORVEL_DNS_INTERNE extern int quorvel_dns_prochain;
/* Records made since start: the rank of the last one. */
QUORVEL_DNS_INTERNE extern uint64_t quorvel_dns_nb_memorisees;

/* Called with a slot about to be taken again while its query still waits:
 * the hardened relay frees what that query held. Null: nothing to free. */
QUORVEL_DNS_INTERNE extern void (*quorvel_dns_table_reprise)(int slot);

/* Records one query and gives its slot, at time `maintenant` (monotonic
 * seconds). The record's hardened fields are reset (fd_propre and
 * cle_cache -1). */
QUORVEL_DNS_INTERNE int quorvel_dns_table_ecrit(int identifiant, uint32_t adresse, uint16_t port,
                                                uint32_t maintenant);

/* The slot of the newest record holding `identifiant` (never-written slots
 * included, as the oldest), or -1. */
QUORVEL_DNS_INTERNE int quorvel_dns_table_cherche(int identifiant);

/* Empties the table (tests). */
QUORVEL_DNS_INTERNE void quorvel_dns_table_vide(void);

#endif
