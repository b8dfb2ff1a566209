/* Datagrams in batches: the relay's recvmmsg and sendmmsg, and the memory a
 * batch takes for one turn. */
#include "quorvel_dns_lot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <atomic>
#include <new>
#include <sys/mman.h>

#include "kvt_trace.h"
#include "kvtlib.h"

// The records and the first slot take the relay's one datagram buffer of
// old: its shortage reads as before.
static_assert(sizeof(quorvel_dns_lot) <= QUORVEL_DNS_TAILLE_TAMPON, "the batch's records fit the datagram buffer");

namespace {

constexpr size_t TAILLE_RESTE = size_t{QUORVEL_DNS_LOT_MAX - 1} * QUORVEL_DNS_LOT_CASE;

// The rest of a batch (2 MiB) stays mapped from its first turn on. Through
// malloc it would be an mmap freed at every turn, and the allocator answers
// such a free by raising its mmap threshold for the whole process: the
// tunnels' relay buffers would then stay in the threads' arenas after a
// stall instead of going back to the system. A test's allocator still
// decides each turn whether the rest can be had.
std::atomic<char *> reste_libre{nullptr};

char *prend_reste(int *garde)
{
    *garde = 0;
    if (quorvel_dns_alloue != std::malloc) return static_cast<char *>(quorvel_dns_alloue(TAILLE_RESTE));
    *garde = 1;
    if (char *r = reste_libre.exchange(nullptr)) return r;
    void *p = ::mmap(nullptr, TAILLE_RESTE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

void rend_reste(char *reste, int garde)
{
    if (reste == nullptr) return;
    if (!garde) {
        std::free(reste);
        return;
    }
    char *vide = nullptr;
    if (!reste_libre.compare_exchange_strong(vide, reste)) ::munmap(reste, TAILLE_RESTE);
}

}  // namespace

quorvel_dns_lot *quorvel_dns_lot_prend(void)
{
    void *bloc = quorvel_dns_alloue(QUORVEL_DNS_TAILLE_TAMPON);
    if (bloc == nullptr) return nullptr;
    quorvel_dns_lot *lot = new (bloc) quorvel_dns_lot;
    lot->nb = lot->nb_sorties = 0;
    lot->cases[0] = lot->premiere;
    lot->reste = prend_reste(&lot->reste_garde);
    // Short of the rest, a batch of one: slower, nothing lost.
    lot->capacite = lot->reste != nullptr ? QUORVEL_DNS_LOT_MAX : 1;
    for (int i = 1; i < lot->capacite; ++i) lot->cases[i] = lot->reste + size_t(i - 1) * QUORVEL_DNS_LOT_CASE;
    for (int i = 0; i < lot->capacite; ++i) {
        lot->iov_entrees[i].iov_base = lot->cases[i];
        lot->iov_entrees[i].iov_len = QUORVEL_DNS_LOT_DATAGRAMME;
    }
    return lot;
}

void quorvel_dns_lot_rend(quorvel_dns_lot *lot)
{
    if (lot == nullptr) return;
    rend_reste(lot->reste, lot->reste_garde);
    lot->~quorvel_dns_lot();
    std::free(lot);
}

int quorvel_dns_lot_recoit(quorvel_dns_lot *lot, int s, int drapeaux)
{
    lot->nb = lot->nb_sorties = 0;
    for (int i = 0; i < lot->capacite; ++i) {
        msghdr &m = lot->entrees[i].msg_hdr;
        m = msghdr{};
        m.msg_name = &lot->emetteurs[i];
        m.msg_namelen = sizeof lot->emetteurs[i];
        m.msg_iov = &lot->iov_entrees[i];
        m.msg_iovlen = 1;
        lot->entrees[i].msg_len = 0;
    }
    int n;
    do {
        n = ::recvmmsg(s, lot->entrees, static_cast<unsigned>(lot->capacite), drapeaux, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    lot->nb = n;
    return n;
}

void quorvel_dns_lot_emetteur(const quorvel_dns_lot *lot, int i, uint32_t *adresse, uint16_t *port)
{
    *adresse = 0;
    *port = 0;
    const sockaddr_storage &e = lot->emetteurs[i];
    if (e.ss_family != AF_INET || lot->entrees[i].msg_hdr.msg_namelen < sizeof(sockaddr_in)) return;
    const sockaddr_in *sa = reinterpret_cast<const sockaddr_in *>(&e);
    *adresse = sa->sin_addr.s_addr;
    *port = sa->sin_port;
}

int quorvel_dns_lot_ajoute(quorvel_dns_lot *lot, const void *octets, size_t n, const sockaddr *vers,
                           socklen_t longueur_vers, std::atomic<uint64_t> *compteur)
{
    if (lot->nb_sorties >= lot->capacite || longueur_vers > sizeof(sockaddr_storage)) return -1;
    const int k = lot->nb_sorties++;
    std::memcpy(&lot->destinataires[k], vers, longueur_vers);
    lot->iov_sorties[k].iov_base = const_cast<void *>(octets);
    lot->iov_sorties[k].iov_len = n;
    msghdr &m = lot->sorties[k].msg_hdr;
    m = msghdr{};
    m.msg_name = &lot->destinataires[k];
    m.msg_namelen = longueur_vers;
    m.msg_iov = &lot->iov_sorties[k];
    m.msg_iovlen = 1;
    lot->sorties[k].msg_len = 0;
    lot->compteurs[k] = compteur;
    return 0;
}

int quorvel_dns_lot_ajoute4(quorvel_dns_lot *lot, const void *octets, size_t n, uint32_t adresse, uint16_t port,
                            std::atomic<uint64_t> *compteur)
{
    if (adresse == 0 || adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    return quorvel_dns_lot_ajoute(lot, octets, n, reinterpret_cast<const sockaddr *>(&sa), sizeof sa, compteur);
}

int quorvel_dns_lot_envoie(quorvel_dns_lot *lot, int s)
{
    int refuses = 0;
    int k = 0;
    while (k < lot->nb_sorties) {
        const int n = ::sendmmsg(s, lot->sorties + k, static_cast<unsigned>(lot->nb_sorties - k), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The first datagram of the rest was refused (the kernel tells
            // only when it is the first): it alone is dropped.
            KVT_ERREUR_RESEAU("DNS");  // bounded: a client's datagrams may meet it
            ++refuses;
            ++k;
            continue;
        }
        for (int i = k; i < k + n; ++i)
            if (lot->compteurs[i] != nullptr) lot->compteurs[i]->fetch_add(1, std::memory_order_relaxed);
        k += n;
    }
    lot->nb_sorties = 0;
    return refuses;
}
