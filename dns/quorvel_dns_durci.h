/* quorvel_dns_durci: the relay's hardened mode ([DNS] "DNSHardened", off by
 * default). The plain relay forwards each query from port 53 with its
 * client's identifier and routes answers by identifier alone, so two
 * clients with one identifier get their answers crossed, and a forger of
 * the upstream's address has only 16 bits to guess. Hardened, each query
 * leaves from a socket of its own on a port the kernel picks at random (or,
 * short of descriptors, from one of a set of such sockets),
 * under a fresh identifier of its own, unique among the pending queries;
 * an answer is taken only from the upstream and port the query went to, on
 * the socket it left from, with that identifier and the same question.
 * The client gets it from port 53 with its own identifier back.
 *
 * Everything here runs on the relay's one thread, like the pending-query
 * table (quorvel_dns_table.h) whose hardened fields it fills. */
#ifndef QUORVEL_DNS_DURCI_H
#define QUORVEL_DNS_DURCI_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"
#include "quorvel_dns_table.h"

/* Sockets a query may leave from, and how often one of them is replaced by
 * a fresh one on a new port: each port serves about 8 x 5 = 40 s, so a port
 * seen once is soon worth nothing to a forger. A replaced socket stays open
 * for the answers still due to it, at most 10 s. */
#define QUORVEL_DNS_NB_PRISES 8
#define QUORVEL_DNS_RENOUVELLE_MS 5000
/* Room for the replaced sockets still waiting for answers. */
#define QUORVEL_DNS_NB_RETIREES 8

/* [DNS] "DNSHardened" as read at start: 1 on. A change takes a restart. */
QUORVEL_DNS_INTERNE extern int quorvel_dns_durci;
/* Reads the key at start (1 when on); `au_depart` 0 on reload, which only
 * names a changed value in the restart line. */
QUORVEL_DNS_INTERNE int quorvel_dns_durci_lit(int au_depart);

/* One socket of the set. `serie` is never 0 for an open socket and never
 * given twice, so a slot cannot name a socket that replaced its own. */
struct quorvel_dns_prise {
    int fd;                /* -1: free entry */
    uint32_t serie;
    uint16_t port;         /* its local port, network order */
    uint32_t en_attente;   /* pending queries that left from it */
    int64_t retiree_ms;    /* 0 while in service; else when it was replaced */
};

/* The set: the listening socket and every open socket of the set are in one
 * epoll instance, whose data is the entry's index (the listening socket's
 * is -1). */
struct quorvel_dns_prises {
    int ep;                 /* -1 before the first turn */
    int ecoute;             /* the listening socket registered */
    quorvel_dns_prise prises[QUORVEL_DNS_NB_PRISES + QUORVEL_DNS_NB_RETIREES];
    uint32_t derniere_serie;
    int64_t renouvele_ms;   /* when the last replacement was made */
    int a_renouveler;       /* the entry replaced next, round the set */
    int64_t echec_ms;       /* last failure to open a socket (logged), 0 none */
};
QUORVEL_DNS_INTERNE extern quorvel_dns_prises quorvel_dns_jeu;

/* 1 (the default): each query leaves from a socket of its own, on a port
 * the kernel draws from its ephemeral range as it sends, and
 * disconnected (its port given back, what it still held dropped) when its
 * answer came or its slot was taken again; the socket then waits, open and
 * portless, to serve a later query on a port drawn anew. At most one more
 * than the slots are open. The set serves only when no such socket can be
 * had. 0: the set alone (tests). */
QUORVEL_DNS_INTERNE extern int quorvel_dns_durci_par_requete;

/* One turn of the hardened relay on listening socket `s`: waits at most
 * until the next replacement (and `delai_max_ms`) for datagrams on any of
 * its sockets and handles those that came. 0 (also when nothing came), -1
 * when no buffer can be had. */
QUORVEL_DNS_INTERNE int quorvel_dns_durci_tour(int s, int delai_max_ms);

/* Closes every socket of the set and clears its slots' records: for the
 * tests, which open a fresh relay socket each. */
QUORVEL_DNS_INTERNE void quorvel_dns_durci_ferme(void);

/* Called by the ring before slot `slot` takes a new record: the query it
 * held, if still pending, no longer holds its identifier or its socket. */
QUORVEL_DNS_INTERNE void quorvel_dns_durci_libere(int slot);

/* End of the question of the message `d` (`n` bytes), which must have QR as
 * `reponse` says and exactly one question, with a name of plain labels (no
 * compression) of at most 255 bytes; 0 when it has not. */
QUORVEL_DNS_INTERNE size_t quorvel_dns_durci_question(const unsigned char *d, size_t n, bool reponse);

/* Whether two questions (as delimited by quorvel_dns_durci_question, from
 * offset 12) are the same: the name without regard to ASCII letter case,
 * type and class exactly. */
QUORVEL_DNS_INTERNE bool quorvel_dns_durci_meme_question(const unsigned char *a, size_t na, const unsigned char *b,
                                                        size_t nb);

#endif
