/* quorvel_http_entete: the HTTP proxy's own readers of a message head and of
 * a chunked body. They allocate nothing: the head is parsed in place and the
 * parts point into the caller's buffer, so every field stays as it came, in
 * order, repeats included (the message library's table merges repeated
 * names, which a proxy must not do).
 *
 * The readers are strict where a lenient reading would let a request mean
 * one thing here and another at the server: folded lines, bare CR and NUL
 * inside a line, blanks before a field's colon, a version other than
 * HTTP/1.x are refused. */
#ifndef QUORVEL_HTTP_ENTETE_H
#define QUORVEL_HTTP_ENTETE_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

/* Limits of a request: its target (414 past it), its field lines (431 past
 * it). The head as a whole is bounded by the reader at 64 KiB (431). */
constexpr size_t QUORVEL_HTTP_CIBLE_MAX = 8192;
constexpr int QUORVEL_HTTP_CHAMPS_MAX = 100;

/* Results of the head readers. */
enum {
    QUORVEL_HTTP_MALFORME = -1,       /* not a valid head */
    QUORVEL_HTTP_CIBLE_LONGUE = -2,   /* request target over QUORVEL_HTTP_CIBLE_MAX */
    QUORVEL_HTTP_TROP_DE_CHAMPS = -3, /* more than QUORVEL_HTTP_CHAMPS_MAX field lines */
};

struct quorvel_http_champ {
    std::string_view nom;     /* as written */
    std::string_view valeur;  /* without the blanks around it */
};

struct quorvel_http_tete {
    /* Request: method, target, version. Response: version, code, reason. */
    std::string_view methode, cible, version, raison;
    int code;     /* response status, 100 to 999 */
    int mineure;  /* 0 or 1: HTTP/1.0 or HTTP/1.1 */
    int nb_champs;
    quorvel_http_champ champs[QUORVEL_HTTP_CHAMPS_MAX];
};

/* Parse the complete head p[0..n) (from the first line up to and including
 * the empty line; lines end with CR LF or LF; empty lines before the first
 * one are skipped). 0, or one of the negative results above; *t is reset
 * first, so a failure leaves nothing of the text in it. */
int quorvel_http_analyse_requete(const char *p, size_t n, quorvel_http_tete *t);
int quorvel_http_analyse_reponse(const char *p, size_t n, quorvel_http_tete *t);

/* Case-insensitive equality of ASCII texts (field names, tokens). */
bool quorvel_http_egal(std::string_view a, std::string_view b) noexcept;
/* 1 when the comma-separated list `liste` holds the token `jeton` (any
 * case, blanks around the items ignored). */
bool quorvel_http_liste_contient(std::string_view liste, std::string_view jeton) noexcept;

/* Reader of a chunked body as it streams: it says how many bytes form whole
 * pieces of the coding (a size line, chunk data, the CR LF after them, a
 * trailer line, the final empty line), so that only checked bytes are passed
 * on and a malformed size line never leaves the proxy. Zero-filled to start. */
struct quorvel_http_morceaux {
    int etat;        /* internal */
    uint64_t reste;  /* data bytes left in the current chunk */
    int lignes;      /* trailer lines read */
};

/* Results of quorvel_http_morceaux_avance besides a count. */
enum { QUORVEL_HTTP_MORCEAUX_MALFORME = -1 };

/* Reads on from p[0..n): the number of bytes from the start of p that were
 * checked and may be passed on (the rest, an incomplete line, must be given
 * again with what follows), or QUORVEL_HTTP_MORCEAUX_MALFORME. *fini becomes
 * true once the body's last byte is among the checked ones; nothing after it
 * is counted. A malformed piece ends the count before it; the next call
 * then gives QUORVEL_HTTP_MORCEAUX_MALFORME. A size line or trailer line is
 * at most 4096 bytes. */
long quorvel_http_morceaux_avance(quorvel_http_morceaux *m, const char *p, size_t n, bool *fini);

#endif
