/* quorvel_dns_reglages: the relay's settings that a reload takes up, as one
 * value read from section "DNS" at start and replaced whole by each reload,
 * published the way the block list is (kvt_publie.h): any thread reads a
 * consistent copy without a lock, and never a half-replaced one.
 *
 * What only a restart changes (the upstreams' port, the listen address,
 * "DNSHardened", whether there is a cache) stays in quorvel_dns.h. */
#ifndef QUORVEL_DNS_REGLAGES_H
#define QUORVEL_DNS_REGLAGES_H

#include "quorvel_dns.h"

struct quorvel_dns_reglages {
    int blocage;              /* "DNSBlockAds" on */
    int journal;              /* "DNSQueryLog" on */
    int tcp_par_client;       /* "DNSTCPMaxPerClient" (default 8; 0: no limit, tests only) */
    unsigned cache_taille;    /* "DNSCacheSize" as bounded (0: none) */
    unsigned cache_min_ttl;   /* "DNSCacheMinTTL" as bounded */
};

/* A copy of the settings in force: all off, 8 TCP connections per client
 * and no cache before the first reading. Any thread. */
QUORVEL_DNS_INTERNE quorvel_dns_reglages quorvel_dns_reglages_courants(void);

/* Reads the keys (an error-log line for each value out of range or not a
 * whole number), loads the block list when blocking is turned on, and
 * publishes the new value. The start entry and the reload call it, on the
 * launcher's thread; returns what it published. */
QUORVEL_DNS_INTERNE quorvel_dns_reglages quorvel_dns_reglages_lit(void);

/* Publishes `r` whole (tests). */
QUORVEL_DNS_INTERNE void quorvel_dns_reglages_publie(const quorvel_dns_reglages &r);

#endif
