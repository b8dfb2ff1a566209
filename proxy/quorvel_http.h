/* quorvel_http: the HTTP proxy module. A client on an allowed address sends
 * requests for absolute http:// URLs (any method), which the module passes
 * to the URL's server in origin form and whose answers it passes back, both
 * streamed; or a CONNECT, served exactly as the tunnel module serves it. One
 * proxy setting thus carries http:// and https:// alike.
 *
 * Only LibMain, _demarre_serveur_http and _recharge_serveur_http leave the
 * shared library; the rest is declared here for the module's own sources and
 * its tests. */
#ifndef QUORVEL_HTTP_H
#define QUORVEL_HTTP_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "kvtlib.h"

/* Port and address of the listener ("HTTPPort", "HTTPListen"), set by the
 * start entry before the server thread exists, only read afterwards. */
extern int quorvel_http_port;
extern uint32_t quorvel_http_adresse;
/* 1 once the start entry found the module switched on. */
extern int quorvel_http_actif;
/* Limits of the listener, from "HTTPMaxClients" and "HTTPMaxPerClient". */
extern struct kvtnet_limites quorvel_http_limites;

KVT_EXPORT int LibMain(void *instance, unsigned raison, void *reserve);
/* Start entry: reads section "HTTP_FTP"; when "HTTPEnabled" begins with T or
 * Y, fills the allowed-host table and starts the server thread. Always 0. */
KVT_EXPORT int _demarre_serveur_http(void);
/* Reload entry (SIGHUP): the allowed-host table, "HTTPIdleTimeout" and
 * "HTTPBlockAds" are taken up; the keys only a restart applies are named in
 * the log when they changed. Always 0. */
KVT_EXPORT int _recharge_serveur_http(void);

/* Server thread: the capped listener on quorvel_http_adresse:quorvel_http_port. */
void quorvel_http_serveur(void *argument);
/* Serves one accepted connection from its block to its close. */
void quorvel_http_connexion(void *bloc);
/* The listener's answer to a connection over its limits: the 503 page and
 * "Connection from %s refused: too many connections (HTTP)". */
void quorvel_http_refus(int s, uint32_t adresse);

/* Tests only: the wait for an answer's head before the 504 page, in ms
 * (0 restores the 60 seconds). */
void quorvel_http_regle_essai(int delai_reponse_ms);

/* An absolute http:// URL taken apart: parts point into the text. */
struct quorvel_http_url {
    std::string_view hote;    /* name, dotted address or [IPv6] */
    int port;                 /* 80 when the URL names none */
    std::string_view chemin;  /* path and query, "/" when empty; never empty */
};
/* Results of quorvel_http_analyse_url besides 0. */
enum {
    QUORVEL_HTTP_URL_INVALIDE = -1,  /* not an absolute URL, or a bad host or port (400) */
    QUORVEL_HTTP_URL_FTP = -2,       /* ftp:// (501) */
    QUORVEL_HTTP_URL_SCHEMA = -3,    /* another scheme (501) */
};
int quorvel_http_analyse_url(std::string_view cible, quorvel_http_url *u);

/* The url= field of the access line: the URL up to its first '?', blanks,
 * controls and '=' as '?', cut to `taille` - 1 bytes. The length. */
size_t quorvel_http_url_acces(std::string_view cible, char *texte, size_t taille);

/* 1 when "HTTPBlockAds" is on and `hote`, a name, is on the block list. */
int quorvel_http_bloque(const char *hote);

/* 1 when a connection to `adresse`:`port` would reach one of this
 * process's own services (any address of this machine, any of its ports). */
int quorvel_http_boucle(uint32_t adresse, int port);

#endif
