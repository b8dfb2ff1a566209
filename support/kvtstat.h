/* kvtstat: the services' counters, kept in the support library so that the
 * launcher reads what the modules count (statistics lines on SIGUSR2 and at
 * stop, the metrics endpoint). Every field is a plain atomic, updated with
 * relaxed order: counting never takes a lock on a hot path, and a reader may
 * see one counter a step ahead of another. */
#ifndef KVTSTAT_H
#define KVTSTAT_H

#include <atomic>
#include <cstdint>

#include "kvtlib.h"

struct kvtstat_ssl {
    std::atomic<int> actif;                    // 1 while the tunnel's listener runs
    std::atomic<uint64_t> ouverts;             // open=: tunnels open now
    std::atomic<uint64_t> tunnels;             // tunnels=: tunnels set up since start (200 sent)
    std::atomic<uint64_t> refus;               // refused=: clients not on the allowed-host list
    std::atomic<uint64_t> pages;               // pages=: error pages sent, the refused' 403 included
    std::atomic<uint64_t> bloques;             // blocked=: CONNECTs to a listed ad host
    std::atomic<uint64_t> octets_montants;     // bytes_up=: client to target, after the 200
    std::atomic<uint64_t> octets_descendants;  // bytes_down=: target to client, after the 200
};

struct kvtstat_dns {
    std::atomic<int> actif;                    // 1 while the relay runs
    std::atomic<uint64_t> requetes;            // queries=: datagram queries forwarded
    std::atomic<uint64_t> reponses;            // answers=: answers routed to a client
    std::atomic<uint64_t> refus;               // refused=: datagrams of clients not allowed
    std::atomic<uint64_t> rejetes;             // dropped=: datagrams dropped as forged or short
    std::atomic<uint64_t> sans_reponse;        // unanswered=: slots taken again before an answer
    std::atomic<uint64_t> en_attente;          // pending=: slots awaiting an answer now
    std::atomic<uint64_t> en_attente_max;      // pending_max=: the most ever awaiting at once
    std::atomic<uint64_t> tcp;                 // tcp=: TCP connections relayed
    std::atomic<uint64_t> bloques;             // blocked=: queries answered NXDOMAIN by the relay
};

struct kvtstat_http {
    std::atomic<int> actif;                    // 1 while the HTTP proxy's listener runs
    std::atomic<uint64_t> ouverts;             // open=: client connections open now
    std::atomic<uint64_t> requetes;            // requests=: requests sent to a server, tunnels set up
    std::atomic<uint64_t> refus;               // refused=: clients not on the allowed-host list
    std::atomic<uint64_t> pages;               // pages=: pages sent, the refused' and blocked' included
    std::atomic<uint64_t> bloques;             // blocked=: requests for a listed ad host
    std::atomic<uint64_t> octets_montants;     // bytes_up=: body bytes client to server (tunnels' too)
    std::atomic<uint64_t> octets_descendants;  // bytes_down=: body bytes server to client (tunnels' too)
};
/* The DNS answer cache keeps its own counters: the relay names a function
 * that reads them (once, when its cache is on), and kvtstat_copie calls it. */
typedef void (*kvtstat_cache_fonction)(uint64_t *succes, uint64_t *echecs, uint64_t *evictions,
                                       uint64_t *entrees);
KVT_EXPORT void kvtstat_cache_source(kvtstat_cache_fonction f);

struct kvtstat_compteurs {
    kvtstat_ssl ssl;
    kvtstat_dns dns;
    kvtstat_http http;
    std::atomic<int64_t> debut_s;              // process start, seconds since the epoch
};

/* The one set of counters of the process. */
KVT_EXPORT kvtstat_compteurs kvtstat;

/* A plain copy of the counters at one moment, for the writers below: each
 * field read once (relaxed), so one rendering shows one value per counter. */
struct kvtstat_releve {
    int ssl_actif;
    uint64_t ssl_ouverts, ssl_tunnels, ssl_refus, ssl_pages, ssl_bloques;
    uint64_t ssl_octets_montants, ssl_octets_descendants;
    int dns_actif;
    uint64_t dns_requetes, dns_reponses, dns_refus, dns_rejetes, dns_sans_reponse;
    uint64_t dns_en_attente, dns_en_attente_max, dns_tcp, dns_bloques;
    int dns_cache_actif;  /* a cache source was named */
    uint64_t dns_cache_succes, dns_cache_echecs, dns_cache_evictions, dns_cache_entrees;
    int64_t debut_s;
    int http_actif;
    uint64_t http_ouverts, http_requetes, http_refus, http_pages, http_bloques;
    uint64_t http_octets_montants, http_octets_descendants;
};

/* Fills *r from kvtstat. */
KVT_EXPORT void kvtstat_copie(struct kvtstat_releve *r);

/* The statistics lines of the services that run, each ended by '\n':
 * "SSL statistics: open=N tunnels=N refused=N pages=N bytes_up=N bytes_down=N
 * blocked=N" when r->ssl_actif, then
 * "DNS statistics: queries=N answers=N refused=N dropped=N unanswered=N
 * pending=N pending_max=N tcp=N blocked=N" when r->dns_actif, then
 * "HTTP statistics: open=N requests=N refused=N pages=N bytes_up=N
 * bytes_down=N blocked=N" when r->http_actif. Into `texte` (capacity
 * pending=N pending_max=N tcp=N blocked=N" when r->dns_actif, followed by
 * " cache_hits=N cache_misses=N cache_entries=N" when r->dns_cache_actif. Into `texte` (capacity
 * `taille`, NUL included); the length, or -1 when it does not fit or on null. */
KVT_EXPORT int kvtstat_lignes(const struct kvtstat_releve *r, char *texte, int taille);

/* Writes the lines of kvtstat_lignes for the counters now to the log, one
 * log line each (SIGUSR2, and just before the stop). The number of lines. */
KVT_EXPORT int kvtstat_journal(void);

/* The counters in the text exposition format 0.0.4 of the metrics scrapers:
 * "# HELP" and "# TYPE" lines, names prefixed "quorvel_", counters ending in
 * "_total". Every metric is present whether or not its service runs. A heap
 * string, or null without memory. */
KVT_EXPORT char *kvtstat_metriques(const struct kvtstat_releve *r);

#endif
