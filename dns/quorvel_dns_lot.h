/* quorvel_dns_lot: datagrams in batches. One recvmmsg takes up to
 * QUORVEL_DNS_LOT_MAX datagrams from the relay's socket, and what the relay
 * sends in reply to them (forwarded queries, routed answers, its own
 * answers) leaves in one sendmmsg at the end: two system calls for a batch
 * instead of two per datagram, and one wake-up.
 *
 * A batch is taken for one turn of the relay and given back after it. Its
 * memory comes in two allocations through quorvel_dns_alloue: the first,
 * QUORVEL_DNS_TAILLE_TAMPON bytes, holds the batch's records and its first
 * slot, and without it nothing is read (the datagrams wait in the socket);
 * the second holds the other slots, and without it the batch is one
 * datagram, so a shortage slows the relay but loses nothing. Each slot has
 * room for any UDP datagram and, after it, for the answer the relay may
 * make to it (QUORVEL_DNS_EXAMEN_REPONSE bytes).
 *
 * Addresses are kept as the kernel gives them (sockaddr_storage), whatever
 * their family; the relay's IPv4 interfaces read them with
 * quorvel_dns_lot_emetteur. Used by the relay's one thread only. */
#ifndef QUORVEL_DNS_LOT_H
#define QUORVEL_DNS_LOT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <memory>

#include "quorvel_dns.h"
#include "quorvel_dns_examen.h"

/* Datagrams per batch. */
#define QUORVEL_DNS_LOT_MAX 32
/* Room for any UDP datagram (at most 65,535 bytes of payload). */
#define QUORVEL_DNS_LOT_DATAGRAMME 65536
/* One slot: the datagram, then the relay's own answer to it. */
#define QUORVEL_DNS_LOT_CASE (QUORVEL_DNS_LOT_DATAGRAMME + QUORVEL_DNS_EXAMEN_REPONSE)

struct quorvel_dns_lot {
    int capacite;    /* slots with memory: 1 or QUORVEL_DNS_LOT_MAX */
    int nb;          /* datagrams the last quorvel_dns_lot_recoit took */
    int nb_sorties;  /* datagrams waiting for quorvel_dns_lot_envoie */
    char *reste;     /* slots 1 and up, one block; null with a capacity of 1 */
    int reste_garde; /* non-zero: `reste` is the block kept mapped between turns */
    char *cases[QUORVEL_DNS_LOT_MAX];
    mmsghdr entrees[QUORVEL_DNS_LOT_MAX];
    iovec iov_entrees[QUORVEL_DNS_LOT_MAX];
    sockaddr_storage emetteurs[QUORVEL_DNS_LOT_MAX];
    mmsghdr sorties[QUORVEL_DNS_LOT_MAX];
    iovec iov_sorties[QUORVEL_DNS_LOT_MAX];
    sockaddr_storage destinataires[QUORVEL_DNS_LOT_MAX];
    /* Counted once its datagram is sent; null: none. */
    std::atomic<uint64_t> *compteurs[QUORVEL_DNS_LOT_MAX];
    alignas(16) char premiere[QUORVEL_DNS_LOT_CASE];
};

/* A batch for one turn, or null when not even its first allocation can be
 * had. Its capacity is 1 when the second cannot. */
QUORVEL_DNS_INTERNE quorvel_dns_lot *quorvel_dns_lot_prend(void);
QUORVEL_DNS_INTERNE void quorvel_dns_lot_rend(quorvel_dns_lot *lot);

struct quorvel_dns_lot_rendu {
    void operator()(quorvel_dns_lot *lot) const noexcept { quorvel_dns_lot_rend(lot); }
};
using quorvel_dns_lot_tenu = std::unique_ptr<quorvel_dns_lot, quorvel_dns_lot_rendu>;

/* Takes up to the batch's capacity of datagrams from `s` with one recvmmsg
 * (`drapeaux`: MSG_WAITFORONE to wait for the first, MSG_DONTWAIT not to
 * wait at all), retried when a signal cut it short. Their number (also in
 * `nb`), or -1 with errno; the batch's pending sends are dropped first. */
QUORVEL_DNS_INTERNE int quorvel_dns_lot_recoit(quorvel_dns_lot *lot, int s, int drapeaux);

/* Datagram `i` of the last receive: its bytes, its length (0 for an empty
 * one), and its sender as the relay's IPv4 interfaces take it (address and
 * port in network order; 0 and 0 when it is not IPv4). */
inline char *quorvel_dns_lot_datagramme(quorvel_dns_lot *lot, int i) { return lot->cases[i]; }
inline int quorvel_dns_lot_longueur(const quorvel_dns_lot *lot, int i) { return static_cast<int>(lot->entrees[i].msg_len); }
QUORVEL_DNS_INTERNE void quorvel_dns_lot_emetteur(const quorvel_dns_lot *lot, int i, uint32_t *adresse, uint16_t *port);
/* Slot `i`'s room for the relay's own answer, QUORVEL_DNS_EXAMEN_REPONSE bytes. */
inline unsigned char *quorvel_dns_lot_reponse(quorvel_dns_lot *lot, int i)
{
    return reinterpret_cast<unsigned char *>(lot->cases[i] + QUORVEL_DNS_LOT_DATAGRAMME);
}

/* Adds one datagram to the batch's sends: `n` bytes at `octets`, which must
 * stay as they are until quorvel_dns_lot_envoie, to `vers` (`longueur_vers`
 * bytes), counting `compteur` (may be null) once it is sent. 0, or -1 when
 * the batch holds as many sends as it has slots. */
QUORVEL_DNS_INTERNE int quorvel_dns_lot_ajoute(quorvel_dns_lot *lot, const void *octets, size_t n,
                                               const sockaddr *vers, socklen_t longueur_vers,
                                               std::atomic<uint64_t> *compteur);
/* The same to an IPv4 address and port (network order); -1 too for the
 * addresses 0 and 255.255.255.255, which are never a destination (on Linux
 * a datagram to 0.0.0.0 reaches this machine). */
QUORVEL_DNS_INTERNE int quorvel_dns_lot_ajoute4(quorvel_dns_lot *lot, const void *octets, size_t n,
                                                uint32_t adresse, uint16_t port, std::atomic<uint64_t> *compteur);

/* Sends the batch's datagrams from `s` with sendmmsg, in the order they
 * were added. A datagram the kernel refuses is traced (bounded network
 * trace) and skipped, and the ones after it still go. The number refused;
 * the batch holds no send afterwards. */
QUORVEL_DNS_INTERNE int quorvel_dns_lot_envoie(quorvel_dns_lot *lot, int s);

#endif
