/* quorvel_dns_cache: the relay's answer cache. Answers that passed the
 * hardened checks are kept for their time to live and given to any client
 * that asks the same question the same way: the name without regard to
 * ASCII letter case, type, class, and the query's DO and CD bits and
 * whether it carried an OPT record.
 *
 * What is kept: the answer to an opcode-0 query of one question of class
 * IN, with TC clear, either NOERROR with at least one answer record, or
 * NXDOMAIN or NODATA (NOERROR, no answer record) with an SOA record in its
 * authority section; at most QUORVEL_DNS_CACHE_REPONSE_MAX bytes; no TSIG;
 * an OPT record's options only when it is the last record (they are then
 * dropped: cookies and client subnets belong to the client that asked);
 * names compressed as compressors write them (quorvel_dns_msg_compression_sure),
 * since the cache rewrites TTLs, the header and the question's case.
 * How long: a positive answer for its smallest TTL, raised to the cache's
 * least time; a negative one for the smaller of the SOA's TTL and MINIMUM
 * (never raised); never 0 and never over QUORVEL_DNS_CACHE_DUREE_MAX.
 *
 * One object shared by the relay's thread and the TCP connections' threads:
 * every call is thread-safe. The lock is held only for a hash lookup and a
 * copy of at most 4 KiB, or for the linking of an entry built beforehand;
 * memory is allocated and freed outside it. Time is given by the caller in
 * monotonic seconds, so that tests control it. */
#ifndef QUORVEL_DNS_CACHE_H
#define QUORVEL_DNS_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"
#include "quorvel_dns_message.h"

/* Bounds of [DNS] "DNSCacheSize" (answers kept) and "DNSCacheMinTTL". */
#define QUORVEL_DNS_CACHE_TAILLE_MAX 1000000u
#define QUORVEL_DNS_CACHE_MIN_TTL_MAX 3600u
/* No entry lives longer: a day. */
#define QUORVEL_DNS_CACHE_DUREE_MAX 86400u
/* Larger answers are not kept: with 100,000 entries a few bytes each count. */
#define QUORVEL_DNS_CACHE_REPONSE_MAX 4096u
/* What a client may receive over UDP without an OPT record, and at least. */
#define QUORVEL_DNS_CACHE_UDP_MIN 512u

/* The key's bits beside name, type and class. */
#define QUORVEL_DNS_CACHE_OPT 0x01u /* the query carried an OPT record */
#define QUORVEL_DNS_CACHE_DO 0x02u  /* ... with the DO bit set */
#define QUORVEL_DNS_CACHE_CD 0x04u  /* the query's CD bit */

struct quorvel_dns_cache;

/* Reads the text of "DNSCacheSize" or "DNSCacheMinTTL" as a whole number of
 * at most `max`: 0 when it is one (the empty text is 0), 1 when it is
 * larger (`*valeur` is then `max`), -1 when it is not a whole number
 * (`*valeur` 0). The caller writes the error-log line for 1 and -1. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_nombre(const char *texte, unsigned max, unsigned *valeur);

/* What the cache reads of a query it could answer. */
struct quorvel_dns_cache_requete {
    quorvel_dns_msg_question q;
    unsigned cle;       /* QUORVEL_DNS_CACHE_OPT | _DO | _CD */
    unsigned limite;    /* the largest answer the client takes over UDP */
};

/* 0 and `r` filled when the query `d` (`n` bytes) is one the cache could
 * answer: QR clear, opcode 0, one readable question of class IN, every
 * record whole, no TSIG. -1 otherwise: the cache neither answers it nor
 * counts it. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_requete_lit(const unsigned char *d, size_t n,
                                                      quorvel_dns_cache_requete *r);
/* The same for a query whose question is already read into `r->q`
 * (quorvel_dns_msg_classe gave QUORVEL_DNS_MSG_LUE): the rest of it only. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_requete_complete(const unsigned char *d, size_t n,
                                                           quorvel_dns_cache_requete *r);

/* How long the answer `d` (`n` bytes) is kept, in seconds, with the least
 * time `min_ttl` for positive answers; 0 when it is not kept. */
QUORVEL_DNS_INTERNE uint32_t quorvel_dns_cache_duree(const unsigned char *d, size_t n, unsigned min_ttl);

/* A cache of at most `taille` answers (1 to QUORVEL_DNS_CACHE_TAILLE_MAX,
 * larger values taken as the maximum), raising positive times to `min_ttl`
 * (at most QUORVEL_DNS_CACHE_MIN_TTL_MAX). Null when `taille` is 0 or
 * memory is short. Released by quorvel_dns_cache_detruit, once no thread
 * uses it any more. */
QUORVEL_DNS_INTERNE quorvel_dns_cache *quorvel_dns_cache_cree(unsigned taille, unsigned min_ttl);
QUORVEL_DNS_INTERNE void quorvel_dns_cache_detruit(quorvel_dns_cache *c);

/* Empties the cache (a reload) and takes up a new size and least time,
 * bounded as at creation. 0, or -1 when the new size could not be had (the
 * cache is emptied and keeps its former size). The counters stay. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_vide(quorvel_dns_cache *c, unsigned taille, unsigned min_ttl);

/* Answers the query `d` from the cache at time `maintenant`: writes the
 * answer for this client into `sortie` and gives its length (a hit).
 * 0 when the cache could answer such a query but holds no live answer (a
 * miss), -1 when it cannot answer it (not counted; also when `capacite`
 * is below QUORVEL_DNS_CACHE_REPONSE_MAX). The answer carries the query's
 * identifier, RD bit and question exactly as written, and every TTL but the
 * OPT record's lowered by the whole seconds the entry has been kept. Over
 * UDP (`tcp` 0) an answer larger than the query's limit (512 bytes without
 * OPT, else the OPT's size, at least 512) is the header and the question
 * with TC set and no record, as an upstream would send it. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_cherche(quorvel_dns_cache *c, const unsigned char *d, size_t n, int tcp,
                                                  unsigned char *sortie, size_t capacite, uint32_t maintenant);
/* The same for a query already read (quorvel_dns_cache_requete_lit gave 0
 * for `r`): it is not read again. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_cherche_lue(quorvel_dns_cache *c, const unsigned char *d, size_t n,
                                                      const quorvel_dns_cache_requete *r, int tcp,
                                                      unsigned char *sortie, size_t capacite, uint32_t maintenant);

/* Keeps the answer `reponse` (`nr` bytes) to a query whose key bits were
 * `cle` (quorvel_dns_cache_requete_lit), whose question the caller checked
 * to be the answer's, received at `maintenant`. 1 when kept, 0 when it is
 * not to be kept, -1 when memory is short. A live entry of the same key is
 * replaced; when the cache is full, the least recently used entry goes. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_garde(quorvel_dns_cache *c, unsigned cle, const unsigned char *reponse,
                                                size_t nr, uint32_t maintenant);

/* The same for a query at hand (`requete`, `nq` bytes): 0 too when the
 * query is not one the cache answers or the answer's question is not its
 * question (name without regard to case, type, class). */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_garde_requete(quorvel_dns_cache *c, const unsigned char *requete,
                                                        size_t nq, const unsigned char *reponse, size_t nr,
                                                        uint32_t maintenant);

/* Counters since creation: hits and misses of quorvel_dns_cache_cherche,
 * entries pushed out to make room, and entries held now (expired ones
 * included until a lookup or the least-recently-used rule removes them). */
struct quorvel_dns_cache_compteurs {
    uint64_t succes;
    uint64_t echecs;
    uint64_t evictions;
    uint64_t entrees;
};
QUORVEL_DNS_INTERNE void quorvel_dns_cache_compte(const quorvel_dns_cache *c, quorvel_dns_cache_compteurs *r);

#endif
