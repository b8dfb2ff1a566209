/* quorvel_tunnel: what a CONNECT does once its request is read, shared by
 * the tunnel module and the HTTP proxy module, so that both answer a CONNECT
 * the same way: the block list, the targets a client may not reach (the
 * gateway's loopback from the LAN, this machine's own service ports from
 * anywhere), the connection, the 200 answer, the two-way relay, the error
 * pages, the access line. Each module describes itself with one
 * quorvel_tunnel_service (its name in log lines, its counters, its limits).
 *
 * Built into each module that uses it (static library); nothing here is
 * exported from a module. */
#ifndef QUORVEL_TUNNEL_H
#define QUORVEL_TUNNEL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "kvtlib.h"

struct quorvel_tunnel_service {
    const char *nom;  /* "SSL", "HTTP": in log lines, and the bound of those lines */
    const char *mot;  /* "ssl", "http": first word of the access line */
    /* Counters of the module (any may be null): tunnels set up, tunnels open
     * now, pages sent, CONNECTs blocked, bytes relayed each way. */
    std::atomic<uint64_t> *tunnels, *ouverts, *pages, *bloques, *montants, *descendants;
    /* Seconds without a byte either way that end a tunnel (0: no limit). */
    const std::atomic<int> *inactif;
    /* 1 when `hote` is to be refused with the blocked page. */
    int (*bloque)(const char *hote);
    /* 1 when a connection to `adresse`:`port` (host order) would come back
     * into this proxy. */
    int (*boucle)(uint32_t adresse, int port);
};

/* Results of quorvel_tunnel_joint and quorvel_tunnel_etablit. */
enum {
    QUORVEL_TUNNEL_ERREUR = -1,      /* no host, 200 not built or not sent */
    QUORVEL_TUNNEL_RESOLUTION = -2,  /* host name did not resolve */
    QUORVEL_TUNNEL_CONNEXION = -3,   /* connection to the host failed */
    QUORVEL_TUNNEL_INTERDIT = -4,    /* a LAN client asked for the gateway's loopback,
                                        or anyone for the proxy's own ports here */
};

/* Pages of the CONNECT path: 0 invalid request (400), 1 method (405), 2 not
 * allowed (403), 3 connection refused (503), 4 name not resolved (503), 5
 * error (500), QUORVEL_TUNNEL_PAGE_SATURE (503), QUORVEL_TUNNEL_PAGE_BLOQUE
 * (403); any other number gives the general message with status 400. */
enum { QUORVEL_TUNNEL_PAGE_SATURE = 7, QUORVEL_TUNNEL_PAGE_BLOQUE = 8 };

/* Sends page `page` as one complete response on `s` and counts it. Never
 * closes `s`; its own failures only leave a trace. */
void quorvel_tunnel_page(const quorvel_tunnel_service *sv, int s, int page);

/* Non-zero when `adresse` (network order) is a target a LAN client may not
 * reach: the gateway's loopback 127.0.0.0/8, or 0.0.0.0. */
int quorvel_tunnel_cible_locale(uint32_t adresse);

/* 1 when `hote` is an IPv4 address (any form the resolver reads as one) or
 * an IPv6 address, bracketed or not. */
int quorvel_tunnel_adresse_litterale(const char *hote);

/* Copies `hote` into `texte` (capacity `taille`, truncated), control bytes
 * as '?'. */
void quorvel_tunnel_hote_sur(const char *hote, char *texte, size_t taille);

/* Monotonic clock in milliseconds, for the access lines' durations. */
int64_t quorvel_tunnel_horloge_ms(void);

/* Resolves `hote`, refuses it whole when one of its addresses is forbidden
 * to the client at `de` (network order; KVTNET_ADRESSE_INVALIDE: asked of
 * socket `client`), with the bounded line "Connection from %s to %s refused
 * (<nom>)", and connects to `port`. The connected socket (the caller closes
 * it), or one of the negative results above; failures to resolve or connect
 * leave a trace bounded per minute. *adresse (may be null) receives the
 * address that answered. */
int quorvel_tunnel_joint(const quorvel_tunnel_service *sv, int client, uint32_t de, const char *hote, int port,
                         uint32_t *adresse);

/* What one CONNECT's access line reports. */
struct quorvel_tunnel_bilan {
    uint32_t adresse = KVTNET_ADRESSE_INVALIDE;  /* the target address that answered */
    uint64_t montants = 0, descendants = 0;
    bool compte = false;  /* counted among the connections the stop waits for */
};

/* The tunnel step: quorvel_tunnel_joint, the 200 answer on `client`, the
 * relay until both directions end (or the process stops: from the relay's
 * start the tunnel is counted among the connections the stop waits for,
 * b->compte, until its caller has written the access line and called
 * kvtarret_sort; without `b` it is not counted). 0 after the relay, or a negative result
 * above; nothing has been sent on `client` when the result is negative
 * (except a 200 that failed half-way). Closes the upstream socket it
 * opened, never `client`. `b` may be null. */
int quorvel_tunnel_etablit(const quorvel_tunnel_service *sv, int client, uint32_t de, const char *hote, int port,
                           quorvel_tunnel_bilan *b);

/* The access line "<mot> client=A:P target=HOST:PORT addr=A status=N up=N
 * down=N ms=N" of a CONNECT that ends; `hote` null when no request was
 * read, `debut_ms` negative for no duration. */
void quorvel_tunnel_acces(const quorvel_tunnel_service *sv, uint32_t client, uint16_t port_client, const char *hote,
                          int port, const quorvel_tunnel_bilan &b, int code, int64_t debut_ms);

/* A CONNECT read from the client at `adresse`:`port_client` (network
 * order) on `s`, for `hote`:`port`: the blocked page, or the tunnel, or the
 * page that names its failure; then the access line, after which a tunnel
 * leaves the stop's count. Never closes `s`.
 * The status of the access line. */
int quorvel_tunnel_connect(const quorvel_tunnel_service *sv, int s, uint32_t adresse, uint16_t port_client,
                           const char *hote, int port, int64_t debut_ms);

/* Ports at which this process serves (its tunnel, HTTP proxy, DNS relay and
 * metrics endpoint as the configuration starts them): read once by each
 * module's start entry; 1 when `port` is one of them. */
void quorvel_tunnel_lit_ports(void);
int quorvel_tunnel_port_propre(int port);

#endif
