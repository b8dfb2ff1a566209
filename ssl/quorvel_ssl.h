/* quorvel_ssl: the CONNECT tunnel server module.
 *
 * A client on an allowed address opens a TCP connection to the tunnel port,
 * sends "CONNECT host:port HTTP/1.1" and a header block; the module connects
 * to that host, answers "HTTP/1.1 200 OK" and relays both directions until
 * they end. Every failure is answered with a small HTML error page.
 *
 * Only LibMain, _demarre_serveur_ssl and _recharge_serveur_ssl leave the
 * shared library; the rest is declared here for the module's own sources and
 * its tests. */
#ifndef QUORVEL_SSL_H
#define QUORVEL_SSL_H

#include <stddef.h>

#include "kvtlib.h"

/* Port of the tunnel, set by the start entry before the server thread
 * exists and only read afterwards. */
extern int quorvel_ssl_port;
/* Address the tunnel's listener binds, from "SSLListen": 0 for every
 * interface. Set by the start entry, like the port. */
extern uint32_t quorvel_ssl_adresse;
/* 53 when this process's DNS relay is on ([DNS] "DNSEnabled"), else 0: the
 * relay's TCP port, which a tunnel may not reach on this machine either. */
extern int quorvel_ssl_port_dns;
/* 1 once the start entry found the tunnel switched on; set before the server
 * thread exists, read by the reload on the launcher's thread. */
extern int quorvel_ssl_actif;

/* Limits of the tunnel listener, set by the start entry from "SSLMaxClients"
 * and "SSLMaxPerClient" (0: the derived default, no per-client limit) before
 * the server thread exists, and only read afterwards. */
extern struct kvtnet_limites quorvel_ssl_limites;

/* Load routine, called with reason 1 when the module is loaded and 0 when it
 * is unloaded (network layer up / down). Always 1. */
KVT_EXPORT int LibMain(void *instance, unsigned raison, void *reserve);

/* Start entry: reads section "SSL"; when "SSLEnabled" begins with T or Y,
 * fills the allowed-host table and starts the server thread. Always 0. */
KVT_EXPORT int _demarre_serveur_ssl(void);

/* Reload entry, called by the launcher on SIGHUP after the configuration
 * was read again: loads the allowed-host table afresh and the settings that
 * may change while the tunnel runs; open tunnels are not touched. A changed
 * SSLEnabled or SSLPort keeps its running value, with one log line naming
 * the key. Always 0. */
KVT_EXPORT int _recharge_serveur_ssl(void);

/* Reads "SSLListen" and sets quorvel_ssl_adresse: 0, or -1 when the value
 * does not resolve or is not an address of this machine (one error-log
 * line; the tunnel must not start). */
int quorvel_ssl_lit_adresse(void);

/* Server thread: runs the listener on quorvel_ssl_adresse and
 * quorvel_ssl_port until it returns. */
void quorvel_ssl_serveur(void *argument);

/* Serves one accepted connection from its block (struct kvtnet_bloc,
 * malloc'ed; freed here) to its close. */
void quorvel_ssl_connexion(void *bloc);

/* Results of quorvel_ssl_tunnel. */
enum {
    QUORVEL_SSL_TUNNEL_ERREUR = -1,      /* no host, 200 not built or not sent */
    QUORVEL_SSL_TUNNEL_RESOLUTION = -2,  /* host name did not resolve */
    QUORVEL_SSL_TUNNEL_CONNEXION = -3,   /* connection to the host failed */
    QUORVEL_SSL_TUNNEL_INTERDIT = -4,    /* a LAN client asked for the gateway's loopback,
                                            or anyone for the proxy's own ports here */
};

/* Connects to hote:port (the name's addresses in order, none of them
 * forbidden, see quorvel_ssl_boucle and quorvel_ssl_cible_locale), sends the 200 response on `client` and relays until
 * both directions end. 0 after the relay, or one of the negative results
 * above; nothing has been sent on `client` when the result is negative
 * (except a 200 that failed half-way). Closes the upstream socket it opened,
 * exactly once, never `client`. */
int quorvel_ssl_tunnel(int client, const char *hote, int port);

/* Page for a connection over the listener's limits (status 503). Page 6
 * stays what any unknown number gives. */
enum { QUORVEL_SSL_PAGE_SATURE = 7, QUORVEL_SSL_PAGE_BLOQUE = 8 };

/* Sends error page `page` (0 to 5, QUORVEL_SSL_PAGE_SATURE or _BLOQUE; any other
 * number gives the general message with status 400) as one complete
 * response on `s`. Never closes `s`; its own failures only leave a trace. */
void quorvel_ssl_page_erreur(int s, int page);

/* The listener's answer to a connection it turns away (too many connections,
 * or no thread for it): the 503 page and the log line
 * "Connection from %s refused: too many connections (SSL)". Runs on the
 * listener's thread with `s` non-blocking; never closes `s`. */
void quorvel_ssl_refus(int s, uint32_t adresse);

/* Non-zero when `adresse` (network order) is a target a LAN client may not
 * reach: the gateway's loopback 127.0.0.0/8, or 0.0.0.0. */
int quorvel_ssl_cible_locale(uint32_t adresse);

/* Non-zero when a tunnel to `adresse`:`port` (host-order port) would come
 * back to this proxy: the address is this machine's own (any interface,
 * loopback, 0.0.0.0) and the port is quorvel_ssl_port, quorvel_ssl_port_dns
 * or another service port of this process (quorvel_tunnel_port_propre).
 * Refused for every client, loopback included. */
int quorvel_ssl_boucle(uint32_t adresse, int port);

/* 1 when `hote` is an IPv4 address (any form the resolver reads as one) or
 * an IPv6 address, bracketed or not. */
int quorvel_ssl_adresse_litterale(const char *hote);

/* 1 when "SSLBlockAds" is on and `hote`, a name, is on the block list. */
int quorvel_ssl_bloque(const char *hote);

/* Copies `hote` into `texte` (capacity `taille`, truncated), control bytes
 * as '?'. */
void quorvel_ssl_hote_sur(const char *hote, char *texte, size_t taille);

#endif
