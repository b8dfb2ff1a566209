/* Network half of the support library, the common part: the one-address
 * forms of resolution and connect (kvtnet_cible.cpp does the work), TCP
 * send, datagrams, and the small helpers the listener (kvtnet_ecouteur.cpp),
 * the header read (kvtnet_entete.cpp) and the relays (kvtnet_relais.cpp)
 * share. Every socket the library opens is IPv4 and close-on-exec; nothing
 * here raises SIGPIPE. */
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
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> nb_init{0};

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
    uint32_t a;
    return kvtnet_resoudre_adresses(nom, &a, 1) == 1 ? a : KVTNET_ADRESSE_INVALIDE;
}

char *kvtnet_aff_adresse(uint32_t adresse, char *texte)
{
    if (texte == nullptr) { KVT_ERREUR(); return nullptr; }
    unsigned char o[4];
    std::memcpy(o, &adresse, 4);  // network order: the first octet comes first in memory
    std::snprintf(texte, 16, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    return texte;
}

int kvtnet_adresse_ecoute(const char *service, const char *cle, const char *valeur, uint32_t *adresse)
{
    if (service == nullptr || cle == nullptr || valeur == nullptr || adresse == nullptr) {
        KVT_ERREUR_MSG("Parametre null");
        return -1;
    }
    if (*valeur == '\0') {
        *adresse = 0;
        return 0;
    }
    const uint32_t a = kvtnet_resoudre_adresse(valeur);
    if (a == KVTNET_ADRESSE_INVALIDE) {
        kvtlog_erreur("%s: %s \"%s\" does not resolve to an IPv4 address; not started", service, cle, valeur);
        return -1;
    }
    // 0.0.0.0 is every interface, which only the empty value asks for.
    if (a == 0 || kvtnet_adresse_locale(a) != 1) {
        char texte[16];
        kvtnet_aff_adresse(a, texte);
        // A resolved name shows what it resolved to; a dotted value is its own address.
        if (std::strcmp(texte, valeur) == 0)
            kvtlog_erreur("%s: %s \"%s\" is not an address of this machine; not started", service, cle, valeur);
        else
            kvtlog_erreur("%s: %s \"%s\" (%s) is not an address of this machine; not started", service, cle,
                          valeur, texte);
        return -2;
    }
    *adresse = a;
    return 0;
}

/* ---- TCP ---- */

int kvtnet_connecter(uint32_t adresse, uint16_t port)
{
    return kvtnet_connecter_adresses(&adresse, 1, port);
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
