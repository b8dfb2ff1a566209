/* quorvel_dns_question: the one look the relay takes inside a query when ad
 * blocking is on. A datagram is read as a query with exactly one question,
 * or not at all; a name on the block list is answered NXDOMAIN by the relay
 * itself. Pure functions on caller buffers: no allocation, no state. */
#ifndef QUORVEL_DNS_QUESTION_H
#define QUORVEL_DNS_QUESTION_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"

/* Fixed header of a DNS message; longest name in its dotted text form. */
#define QUORVEL_DNS_ENTETE 12
#define QUORVEL_DNS_NOM_MAX 255

/* The question of a query, as read by quorvel_dns_question_lit. */
struct quorvel_dns_question {
    char nom[QUORVEL_DNS_NOM_MAX + 1]; /* dotted, no trailing dot; "" for the root */
    size_t longueur;                   /* bytes of `nom` */
    uint16_t type;
    uint16_t classe;
    size_t fin; /* offset just past the question in the datagram */
};

/* 0 when the `n` bytes at `d` are a query (QR clear, opcode 0) with exactly
 * one question, whose name has no compression pointer, labels of at most 63
 * bytes holding neither a dot nor a NUL, at most 255 bytes in all, and
 * which lies whole within the
 * datagram; `q` then describes it. -1 otherwise (q left unspecified). The
 * name's bytes are copied as they are, case kept. */
QUORVEL_DNS_INTERNE int quorvel_dns_question_lit(const unsigned char *d, size_t n, quorvel_dns_question *q);

/* Writes the NXDOMAIN answer to the query `d` whose question ends at `fin`
 * (from quorvel_dns_question_lit): its identifier and question, QR and RA
 * set, RD as asked, RCODE 3, no records. The answer's length (`fin`), or -1
 * when `capacite` is smaller. */
QUORVEL_DNS_INTERNE int quorvel_dns_nxdomain(const unsigned char *d, size_t fin, unsigned char *reponse,
                                             size_t capacite);

#endif
