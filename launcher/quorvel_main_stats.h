/* The metrics endpoint of the launcher: [Main] "StatsPort" (empty: off) and
 * "StatsListen" (default 127.0.0.1). A small HTTP listener that answers
 * "GET /metrics" with the counters of kvtstat, to allowed hosts and loopback
 * only. Statuses: 0 (or a count) for success, a negative value for failure. */
#ifndef QUORVEL_MAIN_STATS_H
#define QUORVEL_MAIN_STATS_H

#include <stdint.h>

/* Connections the endpoint serves at once, and per client address: a
 * scraper needs one. */
#define QUORVEL_STATS_MAX_CONNEXIONS 8
#define QUORVEL_STATS_MAX_PAR_ADRESSE 2

/* What a request head asks of the endpoint: 200 for "GET /metrics" (a query
 * string after '?' is ignored), 405 for another method on any path, 404 for
 * a GET of another path, 400 when its request line does not parse or its
 * version is not "HTTP/1.0" or "HTTP/1.1". */
int quorvel_main_stats_statut(const char *entete);

/* Non-zero when `adresse` (network order) may read the metrics: loopback
 * (127.0.0.0/8) or the allowed-host table. */
int quorvel_main_stats_autorise(uint32_t adresse);

/* Records the start time (kvtstat.debut_s), reads the two keys and, when "StatsPort" is set, fills the allowed-host
 * table and starts the listener's thread. 0 when off or started; -1 when a
 * key's value is unusable (one log line) or the thread cannot start. */
int quorvel_main_stats_demarre(void);

/* After a reload of the configuration: the allowed-host table is read again;
 * a changed "StatsPort" or "StatsListen" is named in the log and keeps its
 * running value until a restart. */
void quorvel_main_stats_recharge(void);

/* One connection of the listener (a kvtnet_bloc, freed here): one answer
 * with "Connection: close", then a FIN; what the client sends after its
 * request head is read and dropped (up to 1 MiB, 2 s) before the close. */
void quorvel_main_stats_connexion(void *bloc);

#endif
