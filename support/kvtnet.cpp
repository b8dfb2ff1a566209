/* Network half of the support library, the common part: address
 * resolution, TCP connect and send, datagrams, and the small helpers the
 * listener (kvtnet_ecouteur.cpp), the header read (kvtnet_entete.cpp) and the
 * relays (kvtnet_relais.cpp) share. Every socket the library opens is IPv4
 * and close-on-exec; nothing here raises SIGPIPE. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int DELAI_CONNEXION_MS = 10 * 1000;

std::atomic<int> nb_init{0};

// Text of an IPv4 address in the numeric forms the C library also accepts
// (127.1, 0x7f.0.0.1, 010.0.0.1) or made of digits and dots only.
bool numerique_douteux(const char *nom) noexcept
{
    in_addr a{};
    if (::inet_aton(nom, &a) != 0) return true;
    return std::strspn(nom, "0123456789.") == std::strlen(nom);
}

}  // namespace

int64_t kvtnet_maintenant_ms() noexcept
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

int kvtnet_attend(int fd, short evenements, int64_t echeance) noexcept
{
    for (;;) {
        int delai = -1;
        if (echeance >= 0) {
            int64_t reste = echeance - kvtnet_maintenant_ms();
            if (reste <= 0) return 0;
            delai = reste > INT_MAX ? INT_MAX : static_cast<int>(reste);
        }
        pollfd p{fd, evenements, 0};
        int n = ::poll(&p, 1, delai);
        if (n > 0) return 1;
        if (n == 0) continue;  // the loop re-reads the clock
        if (errno != EINTR) return -1;
    }
}

void kvtnet_option(int fd, int niveau, int nom, int valeur) noexcept
{
    (void)::setsockopt(fd, niveau, nom, &valeur, sizeof valeur);
}

/* ---- Set-up ---- */

int kvtnet_init(void)
{
    nb_init.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int kvtnet_term(void)
{
    // An unbalanced term never takes the count below zero.
    int n = nb_init.load(std::memory_order_relaxed);
    while (n > 0 && !nb_init.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    return 0;
}

/* ---- Addresses ---- */

uint32_t kvtnet_resoudre_adresse(const char *nom)
{
    if (nom == nullptr || *nom == '\0') return KVTNET_ADRESSE_INVALIDE;
    in_addr a{};
    if (::inet_pton(AF_INET, nom, &a) == 1) return a.s_addr;
    // Shorthand, octal or hex forms would name another host than the one the
    // text seems to (010.0.0.1 is 8.0.0.1, 10.1 is 10.0.0.1): refused, and
    // never sent to a name server.
    if (numerique_douteux(nom)) return KVTNET_ADRESSE_INVALIDE;
    addrinfo indices{};
    indices.ai_family = AF_INET;
    indices.ai_socktype = SOCK_STREAM;
    addrinfo *liste = nullptr;
    if (::getaddrinfo(nom, nullptr, &indices, &liste) != 0 || liste == nullptr) return KVTNET_ADRESSE_INVALIDE;
    uint32_t r = reinterpret_cast<const sockaddr_in *>(liste->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(liste);
    return r;
}

char *kvtnet_aff_adresse(uint32_t adresse, char *texte)
{
    if (texte == nullptr) { KVT_ERREUR(); return nullptr; }
    unsigned char o[4];
    std::memcpy(o, &adresse, 4);  // network order: the first octet comes first in memory
    std::snprintf(texte, 16, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    return texte;
}

/* ---- TCP ---- */

int kvtnet_connecter(uint32_t adresse, uint16_t port)
{
    if (adresse == 0 || adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (!s) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    // Non-blocking so that an unanswered host costs 10 seconds, not the
    // system's minutes of SYN retries.
    if (::connect(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) return -1;
        int pret = kvtnet_attend(s.fd, POLLOUT, kvtnet_maintenant_ms() + DELAI_CONNEXION_MS);
        if (pret <= 0) return -1;
        int err = 0;
        socklen_t l = sizeof err;
        if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &l) < 0 || err != 0) return -1;
    }
    int drapeaux = ::fcntl(s.fd, F_GETFL);
    if (drapeaux < 0 || ::fcntl(s.fd, F_SETFL, drapeaux & ~O_NONBLOCK) < 0) { KVT_ERREUR(); return -1; }
    kvtnet_option(s.fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return s.release();
}

int kvtnet_envoie(int s, const void *octets, int longueur)
{
    if (longueur < 0 || (octets == nullptr && longueur > 0)) { KVT_ERREUR(); return -1; }
    const char *p = static_cast<const char *>(octets);
    int reste = longueur;
    while (reste > 0) {
        ssize_t n = ::send(s, p, static_cast<size_t>(reste), MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            reste -= static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // A non-blocking socket: wait for room rather than drop bytes.
            if (kvtnet_attend(s, POLLOUT, -1) < 0) return -1;
        } else {
            return -1;
        }
    }
    return longueur;
}

int kvtnet_envoie_str(int s, const char *texte)
{
    if (texte == nullptr) { KVT_ERREUR(); return -1; }
    size_t l = std::strlen(texte);
    if (l > INT_MAX) { KVT_ERREUR(); return -1; }
    return kvtnet_envoie(s, texte, static_cast<int>(l));
}

int kvtnet_fermer(int s)
{
    if (s < 0) return -1;
    kvtnet_connexion_retire(s);
    // On Linux the descriptor is gone even when close reports EINTR.
    return ::close(s) == 0 || errno == EINTR ? 0 : -1;
}

/* ---- Datagrams ---- */

int kvtnet_recvfrom(int s, uint32_t *adresse, uint16_t *port_emetteur, unsigned port, void *tampon, int taille)
{
    (void)port;  // the socket is already bound by its owner
    if (tampon == nullptr || taille < 1) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(s, tampon, static_cast<size_t>(taille), 0, reinterpret_cast<sockaddr *>(&sa), &l);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (adresse != nullptr) *adresse = sa.sin_addr.s_addr;
    if (port_emetteur != nullptr) *port_emetteur = sa.sin_port;
    return static_cast<int>(n);
}

int kvtnet_sendto(int s, uint32_t adresse, uint16_t port, const void *octets, int longueur)
{
    // On Linux a datagram to 0.0.0.0 reaches this machine: never a destination.
    if (adresse == 0 || adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    if (longueur < 0 || (octets == nullptr && longueur > 0)) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    ssize_t n;
    do {
        n = ::sendto(s, octets, static_cast<size_t>(longueur), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}
