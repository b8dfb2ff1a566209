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

struct kvtstat_compteurs {
    kvtstat_ssl ssl;
    kvtstat_dns dns;
    std::atomic<int64_t> debut_s;              // process start, seconds since the epoch
};

/* The one set of counters of the process. */
KVT_EXPORT kvtstat_compteurs kvtstat;

#endif
