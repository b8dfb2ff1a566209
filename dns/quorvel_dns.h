/* quorvel_dns: the DNS relay module. One UDP socket bound to port 53 (of
 * every interface, or of the "DNSListen" address) carries the clients'
 * queries, the queries forwarded to the two upstream servers and their
 * answers. Each allowed query's identifier is remembered
 * with its client in a ring of 100 slots; an upstream answer goes back to
 * the newest client that used its identifier. Datagrams pass unchanged: only
 * their first two bytes are read, except that with blocking, the query log
 * or the answer cache on an allowed client's query is read for its question
 * and may be answered by the relay itself: FORMERR, NXDOMAIN for a listed
 * name, or an answer from the cache (quorvel_dns_examen.h). With a cache,
 * queries are forwarded the hardened way (quorvel_dns_durci.h).
 *
 * The module exports LibMain, _demarre_serveur_dns and _recharge_serveur_dns
 * and nothing else; every other name here is hidden and declared for the unit
 * tests. All state is written by the start entry before the server thread
 * exists, then used by that one thread only, so nothing takes a lock; only
 * the upstreams and the allowed-host table are replaced by a reload, each
 * with atomic stores. The TCP side (quorvel_dns_tcp.h) runs threads of its
 * own that only read the settings. */
#ifndef QUORVEL_DNS_H
#define QUORVEL_DNS_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "kvtlib.h"

#define QUORVEL_DNS_INTERNE __attribute__((visibility("hidden")))

/* Slots of the pending-query ring. */
#define QUORVEL_DNS_NB_REQUETES 100
/* Receive buffer: larger than any UDP datagram, so none is cut short. */
#define QUORVEL_DNS_TAILLE_TAMPON 100000

/* ---- Module state ---- */

/* Upstream servers as resolved (valid when neither 0 nor 0xFFFFFFFF), and
 * 53 in network byte order: the relay's own port and the upstreams' port.
 * The upstreams are atomic: a reload replaces them (on the launcher's
 * thread) while the relay thread reads them. */
QUORVEL_DNS_INTERNE extern std::atomic<uint32_t> quorvel_dns_serveur1;
QUORVEL_DNS_INTERNE extern std::atomic<uint32_t> quorvel_dns_serveur2;
QUORVEL_DNS_INTERNE extern uint16_t quorvel_dns_port;
/* Address the relay's sockets bind, from "DNSListen": 0 for every interface. */
QUORVEL_DNS_INTERNE extern uint32_t quorvel_dns_adresse_ecoute;
/* 1 when the start entry found the relay switched on, and when it started
 * the relay thread; read by the reload. */
QUORVEL_DNS_INTERNE extern int quorvel_dns_actif;
QUORVEL_DNS_INTERNE extern int quorvel_dns_en_service;

/* The pending queries are in quorvel_dns_table.h. */

/* Whether the on/off key `cle` of section "DNS" is on: its value begins
 * with T or Y in either case (ASCII only, whatever the locale). */
inline int quorvel_dns_reglage_actif(const char *cle)
{
    char valeur[20] = "";
    kvtcfg_recup_E("DNS", cle, valeur, sizeof valeur, "");
    const char p = valeur[0];
    return p == 'T' || p == 't' || p == 'Y' || p == 'y';
}

/* ---- Exported entries ---- */

/* Load routine: reason 1 brings the network layer up, 0 takes it down,
 * others do nothing. Always 1. Called from the module's constructor and
 * destructor. */
KVT_EXPORT int LibMain(void *instance, unsigned long raison, void *reserve);

/* Start entry: reads section "DNS"; 0 when the relay is off or its server
 * thread has been started, -1 (with the ERROR line on stdout) when neither
 * upstream server is valid. Does not wait for the thread. */
KVT_EXPORT int _demarre_serveur_dns(void);

/* Reload entry, called by the launcher on SIGHUP after the configuration
 * was read again: resolves the upstreams again and loads the allowed-host
 * table afresh while the relay serves; pending queries keep their slots. A
 * changed DNSEnabled keeps its running value, with one log line. Always 0. */
KVT_EXPORT int _recharge_serveur_dns(void);

/* ---- Internals ---- */

/* The reload's resolution of the two upstream names: when at least one is
 * valid and either differs from the running value, both are replaced and
 * logged (1); unchanged, 0; when neither resolves, the running ones stay,
 * with a log line, and -1. */
QUORVEL_DNS_INTERNE int quorvel_dns_recharge_serveurs(const char *nom1, const char *nom2);

/* Resolves both upstream names (server 1 first, both always) and sets
 * quorvel_dns_port. 0 when at least one of them is valid, else -1. */
QUORVEL_DNS_INTERNE int quorvel_dns_resoudre_serveurs(const char *nom1, const char *nom2);

/* Server thread: announces itself, binds the socket, then handles datagrams
 * for the life of the process. The argument is unused. */
QUORVEL_DNS_INTERNE void quorvel_dns_serveur(void *argument);

/* Waits for a datagram on `s` and handles it with those already waiting, up
 * to a batch (quorvel_dns_lot.h), in the order they came; what they call
 * for is sent at the end. 0 after every batch (each datagram routed,
 * forwarded, answered, refused, dropped or lost); -1 only when no buffer
 * can be had (nothing received then: the datagrams wait in the socket). */
QUORVEL_DNS_INTERNE int quorvel_dns_datagramme(int s);

/* The upstream server for one query, from a random number `tirage`: with
 * two valid servers bit 8 of it picks one (set: server 1), with one valid
 * server it is that one. */
QUORVEL_DNS_INTERNE uint32_t quorvel_dns_choisit_serveur(unsigned tirage);

/* One error-log line for a failed socket step ("bind to", protocol "UDP" or
 * "TCP") with the system's reason `erreur`, and what to do when the port is
 * taken or not permitted. */
QUORVEL_DNS_INTERNE void quorvel_dns_signale_socket(const char *etape, const char *protocole, int erreur);

/* The allocator of the datagram buffers (a batch's, quorvel_dns_lot.h):
 * malloc. Tests replace it to make the allocation fail. */
QUORVEL_DNS_INTERNE extern void *(*quorvel_dns_alloue)(size_t taille);

/* Pause after a failed buffer allocation, and the least time between two
 * reports of one shortage (trace and error-log line). */
#define QUORVEL_DNS_ATTENTE_MS 100
#define QUORVEL_DNS_SIGNALE_MS 60000

/* Buffer shortages as the server loop follows them; zero at the start. */
struct quorvel_dns_manque {
    unsigned long long echecs;  /* failed allocations of the current shortage */
    bool signale;               /* the current shortage has been reported */
    bool rapporte;              /* some shortage has been reported, at dernier_ms */
    int64_t dernier_ms;         /* last report, monotonic milliseconds */
};

/* One turn of the server loop: handles a batch of datagrams on `s`. When no buffer
 * can be had, reports it (trace and error-log line, at most once a minute),
 * waits QUORVEL_DNS_ATTENTE_MS and returns -1; the first turn that succeeds
 * after a reported shortage logs the recovery. The handler's result. */
QUORVEL_DNS_INTERNE int quorvel_dns_tour(int s, struct quorvel_dns_manque *manque);

/* Records one query in the first slot from the table's cursor on that
 * awaits no answer (the oldest record when all do) (quorvel_dns_table_ecrit).
 * Always 0. */
QUORVEL_DNS_INTERNE int quorvel_dns_memorise(int identifiant, uint32_t adresse, uint16_t port);

/* The slot's query has its answer (or was given up): one fewer pending. */
QUORVEL_DNS_INTERNE void quorvel_dns_repondue(int slot);

/* Whether a datagram from `adresse` comes from an upstream: a running one,
 * or one replaced by a reload less than 10 s ago. */
QUORVEL_DNS_INTERNE bool quorvel_dns_amont(uint32_t adresse);

/* Client address / port (port widened without sign) of the newest record
 * holding `identifiant`; 0 when none does. Both answer from the same slot. */
QUORVEL_DNS_INTERNE int quorvel_dns_client_adresse(int identifiant);
QUORVEL_DNS_INTERNE int quorvel_dns_client_port(int identifiant);

#endif
