/* quorvel_dns_tcp: DNS over TCP beside the datagram relay. An answer too big
 * for a datagram comes back truncated, and the client asks again over TCP
 * port 53: the relay listens there on the same address as its UDP socket.
 * An allowed client's connection gets one connection of its own to an
 * upstream server (chosen as for datagrams) on TCP port 53, and the byte
 * stream is relayed both ways, so every length-prefixed message of a
 * pipelining client and every answer pass in order. A refused client is
 * logged like a refused datagram and closed unread; a client that sends no
 * complete message for 30 seconds is closed.
 *
 * Started by the relay's server thread once its UDP socket is bound. One
 * accept thread running the support library's capped listener, and one of
 * its connection threads per client connection, at most
 * QUORVEL_DNS_TCP_MAX_CONNEXIONS at once. They only read the module's
 * settings (upstreams, port, listen address, allowed-host table), written
 * before any of them starts. */
#ifndef QUORVEL_DNS_TCP_H
#define QUORVEL_DNS_TCP_H

#include <stddef.h>
#include <stdint.h>

#include "quorvel_dns.h"

/* Client connections served at once; one more is closed at its accept. A
 * thread each: a stranger opening connections must not take the machine's
 * threads, and clients only come here after a truncated answer. */
#define QUORVEL_DNS_TCP_MAX_CONNEXIONS 64
/* A client connection that completes no message (an empty one does not
 * count) for this long is closed. */
#define QUORVEL_DNS_TCP_DELAI_MS (30 * 1000)
/* Default of [DNS] "DNSTCPMaxPerClient": connections one client address
 * may hold at once; one more is closed at its accept. When all
 * QUORVEL_DNS_TCP_MAX_CONNEXIONS are taken, the connection whose last
 * complete message is oldest is closed for the newcomer. */
#define QUORVEL_DNS_TCP_PAR_CLIENT 8
/* The limit in force is in the relay's settings (quorvel_dns_reglages.h). */
/* A complete message that is not empty came on the connection this thread
 * serves: it is no longer the idlest (kvtnet_connexion_active). Nothing on
 * other threads. */
QUORVEL_DNS_INTERNE void quorvel_dns_tcp_note_message(void);

/* Message framing of the client's stream: each message is a 2-byte length
 * (network order) and that many bytes. Zero-filled to start. */
struct quorvel_dns_trame {
    unsigned etat;   /* 0: first length byte next, 1: second, 2: message bytes */
    unsigned reste;  /* length read so far (states 1, 2) / bytes still due (2) */
};

/* Follows `n` more bytes of the stream; the number of messages they
 * complete. A zero length is no message. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_messages(quorvel_dns_trame *t, const unsigned char *octets,
                                                 size_t n);

/* Listening socket on `adresse`:53 (quorvel_dns_port; 0: every interface), or -1
 * after an error-log line. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_ecoute(uint32_t adresse);

/* Binds and listens (quorvel_dns_tcp_ecoute), then starts the accept
 * thread. 0, or -1 (logged) when TCP is not served. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_demarre(uint32_t adresse);

/* The capped listener (kvtnet_ecouteur_limite_sur) on the listening socket
 * `(intptr_t)ecoute`, which it owns; returns only when accept fails for
 * good (logged), or the socket is shut down (then it is closed). */
QUORVEL_DNS_INTERNE void quorvel_dns_tcp_accepte(void *ecoute);

/* Relays `client` <-> `amont` until either side has closed and what it sent
 * has been passed on, or until `delai_ms` pass without a complete message
 * from the client, or until the process stop (kvtarret_arrete). Makes both
 * sockets non-blocking; closes neither. 0 when a side closed or at the stop,
 * 1 on the idle limit, -1 on an error. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_relais(int client, int amont, int delai_ms);
/* quorvel_dns_tcp_relais that also stores the bytes passed on each way
 * (client to upstream, upstream to client; either may be null). */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_relais_compte(int client, int amont, int delai_ms, uint64_t *montants,
                                                      uint64_t *descendants);

/* Client connections being served now. */
QUORVEL_DNS_INTERNE int quorvel_dns_tcp_en_cours(void);

#endif
