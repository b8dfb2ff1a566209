/* quorvel_dns_examen: what the relay does with an allowed client's query
 * before it forwards it, for datagrams and TCP messages alike. With ad
 * blocking, the query log and the answer cache all off, nothing: every
 * query is forwarded unread. With any of them on, the query is read once
 * (quorvel_dns_message.h), and in this order:
 *   - a standard query whose one question cannot be read (compression
 *     pointer, label over 63 bytes, name over 255 bytes, cut short), or
 *     with several questions, gets the relay's FORMERR and is never
 *     forwarded: the upstream would read for the client what the block
 *     list and the query log did not;
 *   - a name on the block list gets the relay's NXDOMAIN;
 *   - an answer held in the cache is given from it;
 *   - anything else goes upstream.
 * Each query read writes its query-log line when the log is on.
 *
 * Also the switches these steps read, and the TCP relay of one connection
 * that passes messages one at a time while any of them is on. */
#ifndef QUORVEL_DNS_EXAMEN_H
#define QUORVEL_DNS_EXAMEN_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "quorvel_dns.h"
#include "quorvel_dns_cache.h"

struct quorvel_dns_lot;

/* The room a caller gives quorvel_dns_examine for the relay's own answer:
 * a cached answer is at most 4,096 bytes. */
#define QUORVEL_DNS_EXAMEN_REPONSE 4096

/* "DNSBlockAds" and "DNSQueryLog" are read with the other reloadable
 * settings (quorvel_dns_reglages.h); these read and publish them all. */
QUORVEL_DNS_INTERNE void quorvel_dns_blocage_lit(void);
QUORVEL_DNS_INTERNE void quorvel_dns_journal_lit(void);

/* The answer cache ([DNS] "DNSCacheSize" not 0), null without. Made by the
 * start entry before any relay thread runs and kept for the life of the
 * process: a reload empties it, and only a restart turns it on or off. */
QUORVEL_DNS_INTERNE extern std::atomic<quorvel_dns_cache *> quorvel_dns_antememoire;

/* Takes up "DNSCacheSize" and "DNSCacheMinTTL" as the settings in force
 * hold them (quorvel_dns_reglages_lit reads them first). At start (`au_depart` 1) makes the cache
 * when the size is not 0, and names its counters to kvtstat; on reload
 * empties it with the new size (when not 0) and least time, and a size
 * turned from 0 to a number or back only gets the restart log line. 1 when
 * a cache runs afterwards, else 0. */
QUORVEL_DNS_INTERNE int quorvel_dns_cache_lit(int au_depart);

/* Whether queries are read at all: blocking, the query log or the cache on. */
QUORVEL_DNS_INTERNE bool quorvel_dns_examen_actif(void);

/* What quorvel_dns_examine read of a query, so that the forwarding of one
 * it did not answer reads nothing again. */
struct quorvel_dns_lecture {
    /* quorvel_dns_msg_classe's verdict (`requete.q` holds the question when
     * QUORVEL_DNS_MSG_LUE), or -1 when the query was not read. */
    int classe;
    /* 1 when `requete` is whole: a query the cache answers
     * (quorvel_dns_cache_requete_lit); only read with a cache. */
    int pour_cache;
    quorvel_dns_cache_requete requete;
};

/* The steps above for the query `d` (`n` bytes) of the allowed client
 * `adresse`:`port` (KVTNET_ADRESSE_INVALIDE: no query-log line), over TCP
 * when `tcp` is 1. When the relay answers itself (FORMERR, NXDOMAIN, or
 * the cache), writes the answer into `reponse` (`capacite` bytes, at
 * least QUORVEL_DNS_EXAMEN_REPONSE for the cache to answer) and gives its
 * length; 0 when the query is to be forwarded as it is. Counts blocked
 * queries in kvtstat.dns.bloques. What it read goes to `lu` when not null. */
QUORVEL_DNS_INTERNE int quorvel_dns_examine(const unsigned char *d, size_t n, int tcp, unsigned char *reponse,
                                            size_t capacite, uint32_t adresse, uint16_t port,
                                            quorvel_dns_lecture *lu = nullptr);

/* Whether a query would be answered NXDOMAIN for the block list: ad
 * blocking on, the question read, and its name listed. When so, writes the
 * NXDOMAIN answer to `reponse` and gives its length; else 0. With a client
 * `adresse`:`port` and the query log on, a query read also writes its
 * access-log line, within the bound of kvtlog_acces_client per client
 * address. */
QUORVEL_DNS_INTERNE int quorvel_dns_bloque(const unsigned char *d, size_t n, unsigned char *reponse,
                                           size_t capacite, uint32_t adresse = KVTNET_ADRESSE_INVALIDE,
                                           uint16_t port = 0);

/* The datagram relay's hook, for an allowed client's query of `n` bytes
 * from `adresse`:`port`: 1 when the relay answered it itself from socket
 * `s` (quorvel_dns_examine), 0 when it is to be forwarded. What was read
 * goes to `lu` when not null. */
QUORVEL_DNS_INTERNE int quorvel_dns_repond_bloque(int s, const char *d, int n, uint32_t adresse, uint16_t port,
                                                  quorvel_dns_lecture *lu = nullptr);

/* The same for datagram `i` of a batch (quorvel_dns_lot.h) from
 * `adresse`:`port`: the relay's answer is written to the slot's answer room
 * and added to the batch's sends. What was read goes to `lu`. */
QUORVEL_DNS_INTERNE int quorvel_dns_repond_lot(quorvel_dns_lot *lot, int i, uint32_t adresse, uint16_t port,
                                               quorvel_dns_lecture *lu);

/* The TCP relay of one connection while queries are read: one message at
 * a time, so that the relay's own answers keep their place among the
 * upstream's. A query the relay answers (quorvel_dns_examine) is answered
 * on `client`; any other message goes to `amont` and its one answer back
 * (kept in the cache when there is one and it may be). 0 when the client
 * closed or the process stopped (kvtarret_arrete), 1 when `delai_ms` passed
 * since the last complete message that was not empty, or waiting for an
 * answer, -1 on an error. The bytes taken from and given to the client go
 * to `montants` and `descendants` (either may be null) on every return.
 * `adresse`:`port` name the client in the query log's lines. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_filtre(int client, int amont, int delai_ms, uint64_t *montants,
                                               uint64_t *descendants, uint32_t adresse = KVTNET_ADRESSE_INVALIDE,
                                               uint16_t port = 0);

#endif
