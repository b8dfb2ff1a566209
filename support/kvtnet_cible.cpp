/* Network targets: a name resolved to every IPv4 address it has, a TCP
 * connection that tries those addresses in order under one deadline, and
 * the test whether an address is this machine's own. The tunnel calls them
 * for each CONNECT; kvtnet_resoudre_adresse and kvtnet_connecter are their
 * one-address forms. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One deadline for the whole connection, whatever the number of addresses:
// a client never waits longer for several dead addresses than for one.
constexpr int DELAI_CONNEXION_MS = 10 * 1000;
// A silent address does not hold the next one back longer than this; it
// stays in the race meanwhile, so a slow first address still wins when it
// answers first (the delay browsers use between attempts).
constexpr int DELAI_ESSAI_MS = 250;
// Attempts in flight at once; more addresses wait for a place.
constexpr int MAX_ESSAIS = 16;

// Text of an IPv4 address in the numeric forms the C library also accepts
// (127.1, 0x7f.0.0.1, 010.0.0.1) or made of digits and dots only.
bool numerique_douteux(const char *nom) noexcept
{
    in_addr a{};
    if (::inet_aton(nom, &a) != 0) return true;
    return std::strspn(nom, "0123456789.") == std::strlen(nom);
}

bool valide(uint32_t a) noexcept { return a != 0 && a != KVTNET_ADRESSE_INVALIDE; }

// Blocking again, TCP_NODELAY: the socket as kvtnet_connecter has always
// handed it over. The socket, or -1 (traced, closed).
int termine(int fd) noexcept
{
    kvt_fd s{fd};
    // One call clears O_NONBLOCK alone, where F_GETFL and F_SETFL take two.
    int non = 0;
    if (::ioctl(s.fd, FIONBIO, &non) < 0) { KVT_ERREUR(); return -1; }
    kvtnet_option(s.fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return s.release();
}

// A non-blocking connect to one address: the socket in progress (or
// already connected when *fait), or -1 when this address failed at once.
int lance(uint32_t adresse, uint16_t port, bool *fait) noexcept
{
    *fait = false;
    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (!s) { KVT_ERREUR(); return -1; }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = adresse;
    if (::connect(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        *fait = true;
    } else if (errno != EINPROGRESS && errno != EINTR) {
        return -1;
    }
    return s.release();
}

}  // namespace

int kvtnet_resoudre_adresses(const char *nom, uint32_t *adresses, int max)
{
    if (adresses == nullptr || max < 1) { KVT_ERREUR(); return -1; }
    if (nom == nullptr || *nom == '\0') return -1;
    in_addr a{};
    if (::inet_pton(AF_INET, nom, &a) == 1) {
        adresses[0] = a.s_addr;
        return 1;
    }
    // Shorthand, octal or hex forms would name another host than the one the
    // text seems to (010.0.0.1 is 8.0.0.1, 10.1 is 10.0.0.1): refused, and
    // never sent to a name server.
    if (numerique_douteux(nom)) return -1;
    addrinfo indices{};
    indices.ai_family = AF_INET;
    indices.ai_socktype = SOCK_STREAM;
    addrinfo *liste = nullptr;
    if (::getaddrinfo(nom, nullptr, &indices, &liste) != 0 || liste == nullptr) return -1;
    int n = 0;
    for (const addrinfo *i = liste; i != nullptr && n < max; i = i->ai_next) {
        const uint32_t v = reinterpret_cast<const sockaddr_in *>(i->ai_addr)->sin_addr.s_addr;
        bool deja = false;  // a hosts file may name one address twice
        for (int k = 0; k < n && !deja; ++k) deja = adresses[k] == v;
        if (!deja) adresses[n++] = v;
    }
    ::freeaddrinfo(liste);
    return n > 0 ? n : -1;
}

int kvtnet_connecter_adresses(const uint32_t *adresses, int nb, uint16_t port)
{
    if (adresses == nullptr || nb < 1) return -1;
    const int64_t echeance = kvtnet_maintenant_ms() + DELAI_CONNEXION_MS;
    pollfd essais[MAX_ESSAIS];
    int en_cours = 0;
    int suivant = 0;
    int64_t relance = 0;  // when the next address may start while others are in flight
    int gagnant = -1;
    while (gagnant < 0) {
        // Next address: at once when nothing is in flight (the last one was
        // refused), else once the current one has been silent long enough.
        int64_t maintenant = kvtnet_maintenant_ms();
        while (suivant < nb && en_cours < MAX_ESSAIS && (en_cours == 0 || maintenant >= relance)) {
            const uint32_t a = adresses[suivant++];
            if (!valide(a)) continue;
            bool fait = false;
            const int fd = lance(a, port, &fait);
            if (fd < 0) continue;
            if (fait) { gagnant = fd; break; }
            essais[en_cours++] = pollfd{fd, POLLOUT, 0};
            relance = maintenant + DELAI_ESSAI_MS;
            break;
        }
        if (gagnant >= 0 || en_cours == 0) break;
        if (maintenant >= echeance) break;
        int64_t reveil = echeance;
        if (suivant < nb && en_cours < MAX_ESSAIS && relance < reveil) reveil = relance;
        const int64_t reste = reveil - maintenant;
        const int n = ::poll(essais, static_cast<nfds_t>(en_cours), reste > 0 ? static_cast<int>(reste) : 0);
        if (n < 0 && errno != EINTR) { KVT_ERREUR(); break; }
        for (int i = 0; n > 0 && i < en_cours && gagnant < 0;) {
            if (essais[i].revents == 0) { ++i; continue; }
            // Writable without error or hang-up is connected; only a doubtful
            // answer costs the question.
            int err = 0;
            socklen_t l = sizeof err;
            if (essais[i].revents == POLLOUT ||
                (::getsockopt(essais[i].fd, SOL_SOCKET, SO_ERROR, &err, &l) == 0 && err == 0)) {
                gagnant = essais[i].fd;
                essais[i] = essais[--en_cours];
                break;
            }
            ::close(essais[i].fd);  // refused or unreachable: this address is out
            essais[i] = essais[--en_cours];
        }
    }
    for (int i = 0; i < en_cours; ++i) ::close(essais[i].fd);
    return gagnant < 0 ? -1 : termine(gagnant);
}

int kvtnet_adresse_locale(uint32_t adresse)
{
    if (adresse == 0 || (ntohl(adresse) >> 24) == 127) return 1;
    // Every address of every interface as it is now, secondary ones
    // included: the kernel's route toward a secondary address names the
    // interface's primary address as its source, so the routing answer
    // below alone misses them.
    ifaddrs *liste = nullptr;
    if (::getifaddrs(&liste) == 0) {
        bool trouvee = false;
        for (const ifaddrs *i = liste; i != nullptr && !trouvee; i = i->ifa_next)
            trouvee = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                      reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == adresse;
        ::freeifaddrs(liste);
        if (trouvee) return 1;
    }
    // The kernel's own routing answers for what no interface lists (a
    // local route over a whole range): toward an address of this machine
    // it picks that very address as the source. Connecting a UDP socket
    // sends nothing.
    kvt_fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!s) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9);
    sa.sin_addr.s_addr = adresse;
    // No route (or a broadcast address): nothing a TCP connection reaches here.
    if (::connect(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) return 0;
    sockaddr_in source{};
    socklen_t l = sizeof source;
    if (::getsockname(s.fd, reinterpret_cast<sockaddr *>(&source), &l) != 0) return -1;
    return source.sin_addr.s_addr == adresse ? 1 : 0;
}
