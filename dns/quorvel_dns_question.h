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

/* Whether a query should be answered by the relay: ad blocking on, the
 * datagram parses, and its name is on the block list. When so, writes the
 * NXDOMAIN answer to `reponse` and gives its length; else 0 (forward the
 * datagram unchanged). With a client `adresse`:`port` and the query log on,
 * a query that parses also writes its access-log line, within the bound of
 * kvtlog_acces_client per client address. */
QUORVEL_DNS_INTERNE int quorvel_dns_bloque(const unsigned char *d, size_t n, unsigned char *reponse,
                                           size_t capacite, uint32_t adresse = KVTNET_ADRESSE_INVALIDE,
                                           uint16_t port = 0);

/* The datagram relay's hook, for an allowed client's query of `n` bytes
 * from `adresse`:`port`: 1 when it was blocked and answered from socket `s`
 * (counted in kvtstat.dns.bloques), 0 when it is to be forwarded. */
QUORVEL_DNS_INTERNE int quorvel_dns_repond_bloque(int s, const char *d, int n, uint32_t adresse, uint16_t port);

/* The TCP relay of one connection while ad blocking is on: one message at
 * a time, so that the relay's own answers keep their place among the
 * upstream's. A blocked question is answered on `client`; any other message
 * goes to `amont` and its one answer back. 0 when the client closed or the
 * process stopped (kvtarret_arrete), 1 when `delai_ms` passed waiting for a message or an answer, -1 on an error.
 * The bytes taken from and given to the client go to `montants` and
 * `descendants` (either may be null) on every return. Also runs for the
 * query log alone: `adresse`:`port` name the client in its lines. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_filtre(int client, int amont, int delai_ms, uint64_t *montants,
                                               uint64_t *descendants, uint32_t adresse = KVTNET_ADRESSE_INVALIDE,
                                               uint16_t port = 0);

/* [DNS] "DNSBlockAds" as last read (start or reload): 1 on, 0 off. */
QUORVEL_DNS_INTERNE extern std::atomic<int> quorvel_dns_blocage;

/* Reads "DNSBlockAds"; when it is on (and was off), loads the block list
 * (once per process). Called by the start entry and the reload. */
QUORVEL_DNS_INTERNE void quorvel_dns_blocage_lit(void);

/* [DNS] "DNSQueryLog": 1 when each allowed query writes an access-log line
 * (when "AccessLog" is set). Read at start and on reload. */
QUORVEL_DNS_INTERNE extern std::atomic<int> quorvel_dns_journal;
QUORVEL_DNS_INTERNE void quorvel_dns_journal_lit(void);

#endif
