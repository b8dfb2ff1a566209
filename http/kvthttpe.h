/* kvthttpe: one HTTP message head (a request or a response) held as separate
 * heap texts plus a table of up to 30 header entries; its parsing from a
 * header block, its rendering back to text and its sending.
 *
 * Conventions: int results are 0 for success and negative for failure; every
 * failure writes the internal-error trace to stderr. Texts passed in are only
 * read (the record keeps its own copies). Rendered texts are malloc'ed and
 * freed by the caller with free(). A record belongs to one thread. */
#ifndef KVTHTTPE_H
#define KVTHTTPE_H

#include <stdint.h>

#define KVTHTTPE_REQUETE 0
#define KVTHTTPE_REPONSE 1

/* Capacity of the header table. */
#define KVTHTTPE_MAX_PARAMS 30

/* A text is a NUL-terminated heap string owned by the record, or null
 * (absent). Absent and empty differ: an empty `chemin` renders, an absent one
 * does not. A new record is all zero: request type, no text, no header. */
struct kvthttpe {
    char *param_noms[KVTHTTPE_MAX_PARAMS];    /* names 0 .. nb_params-1, exact case */
    char *param_valeurs[KVTHTTPE_MAX_PARAMS]; /* value i belongs to name i */
    int32_t nb_params;
    int32_t type;       /* KVTHTTPE_REQUETE or KVTHTTPE_REPONSE */
    char *methode;      /* "GET", "CONNECT", ... */
    char *protocole;    /* URL scheme as written, "http" when the URL names none */
    char *hote;         /* host text of the URL, may be empty */
    char *chemin;       /* "/..." , "/" or empty */
    int32_t port;       /* 1..65535 once a URL was parsed */
    char *raison;       /* reason text of a response as received */
    int32_t code;       /* status code of a response */
    char *version;      /* "HTTP/1.1" */
};

/* ---- Record and header table ---- */

/* A new zero-filled record, or null when memory runs out. */
kvthttpe *kvthttpe_nouveau(void);
/* Releases the record *e and all its texts and sets *e to null. A null
 * address or a null *e only writes the trace. */
void kvthttpe_libere(kvthttpe **e);
/* Releases every header entry; nb_params becomes 0, other fields stay. */
void kvthttpe_vide_params(kvthttpe *e);
/* Sets header `nom` (exact case) to a copy of `valeur`: replaces the value of
 * an existing entry in place, else appends a new entry. -1 when the table
 * already holds 30 other names (the table is then unchanged). */
int kvthttpe_fixe_param(kvthttpe *e, const char *nom, const char *valeur);
/* Removes header `nom`; the last entry moves into the freed slot. 0 also when
 * no entry has that name. */
int kvthttpe_supprime_param(kvthttpe *e, const char *nom);
/* Value of header `nom` (owned by the record, valid until that entry changes
 * or the record is released), or null when absent. */
const char *kvthttpe_recup_param(const kvthttpe *e, const char *nom);

/* ---- Parsing ---- */

/* Fills protocole, hote, port and chemin from "scheme://host[:port][/rest]"
 * or "host[:port][/rest]". Default port by scheme, in any letter case: http
 * 80, ftp 21, https 8080, any other 80.
 * 0; -1 null argument or no scheme; -2 port text 0, not a number or no host;
 * -3 port below 1 or above 65535; -4 the path cannot be built. */
int kvthttpe_analyse_url(kvthttpe *e, const char *url);
/* Makes *e a GET request for `url`: headers "Host" (the host alone) then
 * "Accept" (any media type), version "HTTP/1.1". 0 or -1. */
int kvthttpe_requete_get(kvthttpe *e, const char *url);
/* Parses one header block (first line, header lines ended by CR LF, empty
 * line) as `type`: the request or response parser's result; -1 for another
 * type. A failed parse leaves what it had set; release such a record. */
int kvthttpe_analyse(kvthttpe *e, const char *texte, int type);
/* "METHOD URL VERSION" line then headers. 0; -1; -2 when there is no URL. */
int kvthttpe_analyse_requete(kvthttpe *e, const char *texte);
/* "VERSION CODE REASON" line then headers (a code that is not a number gives
 * 0). 0; -1; -2 no code; -3 no reason. */
int kvthttpe_analyse_reponse(kvthttpe *e, const char *texte);
/* A new record parsed from `texte` as `type`, or null. */
kvthttpe *kvthttpe_cree(const char *texte, int type);
/* A new record parsed from one header block read from socket `s` (nothing
 * beyond the blank line is read), or null. The socket stays open. */
kvthttpe *kvthttpe_recoit(int s, int type);

/* ---- Status reasons, rendering, sending ---- */

/* Constant reason text of an HTTP/1.1 status code, "Unknown" for any other
 * value. Never null, never to be freed. */
const char *kvthttpe_raison(int code);
/* Makes *e a response head: headers emptied, type response, code, the
 * table's reason and a copy of `version`. 0 or -1. */
int kvthttpe_reponse(kvthttpe *e, int code, const char *version);
/* "name: value\r\n" for each header in table order ("" when none), or null. */
char *kvthttpe_texte_params(const kvthttpe *e);
/* "METHOD PATH VERSION\r\n" (absolu 0) or "METHOD scheme://host[:port]PATH
 * VERSION\r\n" (absolu non-zero; the port only when it is not 80), then the
 * header lines and "\r\n"; null when a needed field is absent. */
char *kvthttpe_texte_requete(const kvthttpe *e, int absolu);
/* "VERSION CODE REASON\r\n" with the table's reason (never the received
 * one), the header lines, "\r\n"; null without a version. */
char *kvthttpe_texte_reponse(const kvthttpe *e);
/* The request or response head according to e->type; null for another type. */
char *kvthttpe_texte(const kvthttpe *e, int absolu);
/* The path (absolu 0) or scheme://host[:port]path (absolu non-zero), without
 * line end; null when a needed field is absent. */
char *kvthttpe_texte_url(const kvthttpe *e, int absolu);
/* Renders the head and sends it on `s`: the result of kvtnet_envoie_str, or
 * -1 with nothing sent when it cannot be rendered. The record stays the
 * caller's. */
int kvthttpe_envoie(int s, const kvthttpe *e, int absolu);

#endif
