/* quorvel_dns_message: the one reader of DNS messages that the relay needs,
 * for queries and for answers: the header, the question, and a walk over
 * the answer, authority and additional records (compression pointers
 * followed only backwards, so a forged message cannot make the walk loop).
 * Also the relay's own FORMERR answer, and the rule that decides what
 * becomes of a query the relay reads.
 *
 * Pure functions over a pointer and a length: no allocation, no state, no
 * read outside [d, d + n). Every message cut short is rejected. */
#ifndef QUORVEL_DNS_MESSAGE_H
#define QUORVEL_DNS_MESSAGE_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"

/* Fixed header; longest name on the wire (its labels' length bytes and the
 * root's zero included). */
#define QUORVEL_DNS_MSG_ENTETE 12
#define QUORVEL_DNS_MSG_NOM_MAX 255

/* Flags of the header's bytes 2 and 3, read as one 16-bit value. */
#define QUORVEL_DNS_MSG_QR 0x8000u
#define QUORVEL_DNS_MSG_AA 0x0400u
#define QUORVEL_DNS_MSG_TC 0x0200u
#define QUORVEL_DNS_MSG_RD 0x0100u
#define QUORVEL_DNS_MSG_RA 0x0080u
#define QUORVEL_DNS_MSG_CD 0x0010u

/* Record types and class the relay looks at. */
#define QUORVEL_DNS_MSG_SOA 6
#define QUORVEL_DNS_MSG_OPT 41
#define QUORVEL_DNS_MSG_TSIG 250
#define QUORVEL_DNS_MSG_IN 1

/* The header, in host order. */
struct quorvel_dns_msg_entete {
    uint16_t id;
    uint16_t drapeaux; /* bytes 2-3: QR, opcode, AA, TC, RD, RA, Z, AD, CD, RCODE */
    uint16_t nb_questions, nb_reponses, nb_autorite, nb_additionnels;
};

static inline unsigned quorvel_dns_msg_opcode(const quorvel_dns_msg_entete *e)
{
    return (e->drapeaux >> 11) & 0x0Fu;
}
static inline unsigned quorvel_dns_msg_rcode(const quorvel_dns_msg_entete *e)
{
    return e->drapeaux & 0x0Fu;
}

/* 0 and `e` filled when `n` holds a whole header; -1 otherwise. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_entete_lit(const unsigned char *d, size_t n, quorvel_dns_msg_entete *e);

/* The question at offset 12, as a query must write it. */
struct quorvel_dns_msg_question {
    size_t nom_fin; /* just past the name's root byte: its wire form is d[12, nom_fin) */
    size_t fin;     /* just past type and class */
    uint16_t type;
    uint16_t classe;
    /* 1 when no label holds a dot or a NUL, so that `texte` names it
     * faithfully; 0 when one does (`texte` is then "" and names nothing:
     * a dotted list entry could only match another name). */
    int texte_fidele;
    size_t longueur;                          /* bytes of `texte` */
    char texte[QUORVEL_DNS_MSG_NOM_MAX - 1];  /* dotted, case as written, no final dot; "" the root */
};

/* Reads the question at offset 12 whatever the header's counts say: 0 when
 * its name is plain labels (no compression pointer, none over 63 bytes, the
 * reserved label types refused), at most 255 bytes on the wire, and the
 * name, type and class lie whole within the `n` bytes; -1 otherwise (`q`
 * then unspecified). */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_question_lit(const unsigned char *d, size_t n,
                                                     quorvel_dns_msg_question *q);

/* What the relay does with a datagram from a client once it reads queries
 * (blocking, query log or cache on). */
enum {
    QUORVEL_DNS_MSG_TRANSMET = 0, /* not a standard query, or one without a question: forward it unread */
    QUORVEL_DNS_MSG_LUE = 1,      /* a standard query with one question, read into `q` */
    QUORVEL_DNS_MSG_FORMERR = 2,  /* a standard query whose question cannot be read, or with several */
};
/* A standard query is a whole header with QR clear and opcode 0. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_classe(const unsigned char *d, size_t n, quorvel_dns_msg_question *q);

/* Writes the FORMERR answer to the query `d` (at least 12 bytes): its
 * identifier, QR and RA set, RD as asked, opcode 0, RCODE 1, every count 0.
 * Its length (12), or -1 when the query is shorter or `capacite` too small. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_formerr(const unsigned char *d, size_t n, unsigned char *reponse,
                                                size_t capacite);

/* 1 when the messages `a` and `b` both have one question as
 * quorvel_dns_msg_question_lit reads it and these are the same: the name
 * without regard to ASCII letter case, type and class exactly (an answer's
 * question against its query's). 0 otherwise. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_meme_question(const unsigned char *a, size_t na, const unsigned char *b,
                                                      size_t nb);

/* End of the name at `i` (compression pointers allowed): the offset just past
 * its bytes in place, or 0 when it is malformed: a pointer that does not
 * point before the labels it ends (the only way to a loop) or into the
 * header, more than 127 jumps, a label over 63 bytes or a reserved type,
 * more than 255 bytes in all, or a byte at or past `n`. */
QUORVEL_DNS_INTERNE size_t quorvel_dns_msg_nom_fin(const unsigned char *d, size_t n, size_t i);

/* One resource record as the walk meets it. */
struct quorvel_dns_msg_rr {
    size_t debut;    /* its owner name */
    size_t ttl_pos;  /* its TTL's 4 bytes */
    size_t rdata;    /* its data, `rdlongueur` bytes */
    uint16_t rdlongueur;
    uint16_t type;
    uint16_t classe;
    uint32_t ttl;
    int section; /* 1 answer, 2 authority, 3 additional */
};

/* What the walk over a whole message found. */
struct quorvel_dns_msg_resume {
    quorvel_dns_msg_entete e;
    size_t fin_questions; /* just past the last question (12 without one) */
    size_t fin;           /* just past the last record; bytes after it are not the message's */
    /* Smallest TTL of the records other than OPT, a TTL with its top bit set
     * counting as 0; UINT32_MAX without such a record. */
    uint32_t ttl_min;
    /* The first SOA record of the authority section. */
    int soa;
    uint32_t soa_ttl, soa_minimum;
    /* The OPT record (only one is allowed, in the additional section). */
    int opt;
    size_t opt_debut, opt_rdata; /* its owner name (the root) and its data */
    uint16_t opt_taille;         /* its class: the sender's UDP payload size */
    uint8_t opt_rcode;           /* upper 8 bits of the extended RCODE */
    uint8_t opt_version;
    int opt_do;                  /* the DO bit */
    uint16_t opt_rdlongueur;
    int opt_dernier;             /* it is the message's last record */
    int tsig;                    /* a TSIG record is present */
};

/* Walks the whole message: its questions (names compressed or not), then
 * every record of the three sections. 0 and `r` filled when every name and
 * record lies whole within `n` bytes and the OPT rules hold (one at most,
 * in the additional section, owned by the root), else -1. With `ttl` non
 * null, the offsets of the TTLs of every record but OPT are stored there
 * (at most `capacite`; more records make the walk fail), their number in
 * `*nb_ttl`. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_parcourt(const unsigned char *d, size_t n, quorvel_dns_msg_resume *r,
                                                 uint16_t *ttl, size_t capacite, size_t *nb_ttl);

/* Reads the record at `*i` into `rr` (its `section` left to the caller) and
 * moves `*i` past it. 0, or -1 when it does not lie whole within `n`. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_rr_lit(const unsigned char *d, size_t n, size_t *i, quorvel_dns_msg_rr *rr);

/* 1 when every name of the message (the questions, the owners, and the
 * names inside the data of NS, CNAME, SOA, PTR, MX, SRV and DNAME records)
 * is plain labels, each pointer going to the start of a label written
 * earlier in place: the form every compressor writes. Such a message keeps
 * its structure when its header, its TTLs or the letter case of its names
 * change, and when bytes after its last name are cut. 0 otherwise,
 * including a message that quorvel_dns_msg_parcourt rejects. */
QUORVEL_DNS_INTERNE int quorvel_dns_msg_compression_sure(const unsigned char *d, size_t n);

static inline uint16_t quorvel_dns_msg_u16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
static inline uint32_t quorvel_dns_msg_u32(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

#endif
