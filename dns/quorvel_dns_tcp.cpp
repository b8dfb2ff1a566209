/* DNS over TCP: the listening socket on TCP port 53, served by the support
 * library's capped listener (idle-longest eviction, per-client limit), and
 * the per-connection relay to an upstream server. The datagram relay
 * (quorvel_dns.cpp) starts it and shares nothing with it but the settings. */
#include "quorvel_dns_tcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvtstat.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_question.h"
#include "quorvel_dns_reglages.h"
#include "quorvel_ip_mask.h"

namespace {

// Each direction's bytes wait here until the other side takes them; the
// relay reads no more from a side while its buffer is full.
constexpr size_t TAILLE_SENS = 16 * 1024;

std::atomic<int> nb_connexions{0};

// The client socket this thread serves, for the relays' note of each
// complete message; -1 on any other thread.
thread_local int client_courant = -1;

// Before a connection takes a slot: a refused client is logged like a
// refused datagram and closed unread without ever holding one, and the
// per-client limit follows the settings in force (a reload takes it up
// for new connections).
int admet_client(int, const sockaddr *pair, socklen_t longueur, int *par_adresse)
{
    // The allowed-host table is IPv4: nothing else can be allowed.
    if (pair->sa_family != AF_INET || longueur < static_cast<socklen_t>(sizeof(sockaddr_in))) return 0;
    sockaddr_in a;
    std::memcpy(&a, pair, sizeof a);
    if (!quorvel_ip_mask_autorise(a.sin_addr.s_addr)) {
        char texte[20];
        if (kvtlog_refus("DNS", "Query from %s refused (DNS)", kvtnet_aff_adresse(a.sin_addr.s_addr, texte)) == 1)
            kvtlog_acces("dns-tcp client=%s:%u upstream=- status=403 up=0 down=0 ms=0", texte,
                         unsigned{ntohs(a.sin_port)});
        return 0;
    }
    *par_adresse = quorvel_dns_reglages_courants().tcp_par_client;
    return 1;
}

void accept_echoue(int erreur, int fin)
{
    kvtlog_erreur(fin ? "DNS relay: accept on TCP port 53: %s; TCP service ends"
                      : "DNS relay: accept on TCP port 53: %s; waiting for resources",
                  std::strerror(erreur));
}

// The datagram relay owns rand(); TCP draws from its own sequence.
std::atomic<unsigned> nb_tirages{0};

unsigned tirage() noexcept
{
    // A mixed Weyl sequence: every bit of the result, bit 8 included, changes
    // from one connection to the next without a pattern.
    uint32_t x = nb_tirages.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B9u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    return x;
}

bool non_bloquant(int fd) noexcept
{
    const int d = ::fcntl(fd, F_GETFL);
    return d >= 0 && ::fcntl(fd, F_SETFL, d | O_NONBLOCK) == 0;
}

struct Sens {
    unsigned char octets[TAILLE_SENS];
    size_t debut = 0;
    size_t fin = 0;
    bool fini = false;  // the sending side's stream has ended
    uint64_t passes = 0;  // bytes the other side took
    bool vide() const noexcept { return debut == fin; }
};

struct Etat {
    Sens montant;     // client -> upstream
    Sens descendant;  // upstream -> client
};

// Reads what `fd` has into the free end of `s`. The count, 0 at the end of
// the stream (s.fini set), -1 on an error; -2 when nothing was there yet.
ssize_t lit(int fd, Sens &s) noexcept
{
    ssize_t n;
    do {
        n = ::recv(fd, s.octets + s.fin, TAILLE_SENS - s.fin, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) s.fin += static_cast<size_t>(n);
    if (n == 0) s.fini = true;
    if (n < 0) return errno == EAGAIN ? -2 : -1;
    return n;
}

// Sends what `s` holds to `fd`, as much as it takes. 0, or -1 on an error.
int ecrit(int fd, Sens &s) noexcept
{
    ssize_t n;
    do {
        n = ::send(fd, s.octets + s.debut, s.fin - s.debut, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    s.debut += static_cast<size_t>(n);
    s.passes += static_cast<uint64_t>(n);
    if (s.vide()) s.debut = s.fin = 0;  // the whole buffer is free again
    return 0;
}

// The handler of one client connection, on a thread of the listener's.
void connexion(void *argument)
{
    kvtnet_bloc c;
    std::memcpy(&c, argument, sizeof c);
    std::free(argument);
    nb_connexions.fetch_add(1, std::memory_order_acq_rel);
    const int64_t debut_ms = kvtthread_maintenant_ms();
    kvt_fd client{c.socket};
    client_courant = c.socket;
    const uint32_t serveur = quorvel_dns_choisit_serveur(tirage());
    kvt_fd amont{kvtnet_connecter(serveur, quorvel_dns_port)};
    // Upstream unreachable: the client sees the connection end. A peer that
    // resets its side ends the relay the same way, with nothing to report.
    uint64_t montants = 0, descendants = 0;
    int code = 503;
    bool compte = false;
    if (!amont) KVT_ERREUR_RESEAU("DNS");  // once per client connection: bounded
    // With a cache, its answers need no upstream: the connection is served
    // until a message has to go upstream (a truncated answer's second ask
    // is usually a hit).
    if (amont || quorvel_dns_antememoire.load(std::memory_order_relaxed) != nullptr) {
        if (amont) kvtstat.dns.tcp.fetch_add(1, std::memory_order_relaxed);
        // Counted in until the access line is out: at the stop the relay
        // ends as if a side had closed, and the launcher waits for the line.
        compte = kvtarret_entre() == 1;
        const bool examine = quorvel_dns_examen_actif();
        const int r = examine ? quorvel_dns_tcp_filtre(client.fd, amont.fd, QUORVEL_DNS_TCP_DELAI_MS, &montants,
                                                       &descendants, c.adresse, c.port)
                          : quorvel_dns_tcp_relais_compte(client.fd, amont.fd, QUORVEL_DNS_TCP_DELAI_MS,
                                                          &montants, &descendants);
        code = r == 0 ? 200 : r == 1 ? 504 : !amont ? 503 : 502;
    }
    const bool amont_joint = static_cast<bool>(amont);
    client_courant = -1;
    // Withdrawn from the listener first: it never shuts a reused number down.
    (void)kvtnet_fermer(client.release());
    if (amont) ::close(amont.release());
    if (kvtlog_acces_actif()) {
        char texte_client[20], texte_amont[20];
        kvtnet_aff_adresse(c.adresse, texte_client);
        if (amont_joint)
            kvtnet_aff_adresse(serveur, texte_amont);
        else
            std::strcpy(texte_amont, "-");
        kvtlog_acces("dns-tcp client=%s:%u upstream=%s status=%d up=%llu down=%llu ms=%lld", texte_client,
                     unsigned{ntohs(c.port)}, texte_amont, code, static_cast<unsigned long long>(montants),
                     static_cast<unsigned long long>(descendants), static_cast<long long>(kvtthread_maintenant_ms() - debut_ms));
    }
    if (compte) kvtarret_sort();
    nb_connexions.fetch_sub(1, std::memory_order_release);
}

}  // namespace

int quorvel_dns_tcp_messages(quorvel_dns_trame *t, const unsigned char *octets, size_t n)
{
    if (t == nullptr || (octets == nullptr && n > 0)) {
        KVT_ERREUR_MSG("Parametre null");
        return 0;
    }
    int complets = 0;
    size_t i = 0;
    while (i < n) {
        if (t->etat == 0) {
            t->reste = unsigned{octets[i++]} << 8;
            t->etat = 1;
        } else if (t->etat == 1) {
            t->reste |= octets[i++];
            t->etat = t->reste == 0 ? 0 : 2;
        } else {
            const size_t pris = std::min<size_t>(t->reste, n - i);
            i += pris;
            t->reste -= static_cast<unsigned>(pris);
            if (t->reste == 0) {
                ++complets;
                t->etat = 0;
            }
        }
    }
    return complets;
}

int quorvel_dns_tcp_relais(int client, int amont, int delai_ms)
{
    return quorvel_dns_tcp_relais_compte(client, amont, delai_ms, nullptr, nullptr);
}

int quorvel_dns_tcp_relais_compte(int client, int amont, int delai_ms, uint64_t *montants, uint64_t *descendants)
{
    if (montants != nullptr) *montants = 0;
    if (descendants != nullptr) *descendants = 0;
    if (!non_bloquant(client) || !non_bloquant(amont)) {
        KVT_ERREUR();
        return -1;
    }
    std::unique_ptr<Etat> e{new (std::nothrow) Etat};
    if (!e) {
        KVT_ERREUR();
        return -1;
    }
    Sens &montant = e->montant;
    Sens &descendant = e->descendant;
    struct comptes {
        const Etat &e;
        uint64_t *m, *d;
        ~comptes()
        {
            if (m != nullptr) *m = e.montant.passes;
            if (d != nullptr) *d = e.descendant.passes;
        }
    } rend{*e, montants, descendants};
    quorvel_dns_trame trame{};
    int64_t echeance = kvtthread_maintenant_ms() + delai_ms;
    bool amont_ferme = false;
    for (;;) {
        // The upstream has closed: what it sent reaches the client, then both end.
        if (descendant.fini && descendant.vide()) return 0;
        // The client has closed its side: the upstream learns it once it has
        // every byte, and its last answers still come back.
        if (montant.fini && montant.vide() && !amont_ferme) {
            (void)::shutdown(amont, SHUT_WR);
            amont_ferme = true;
        }
        const int64_t reste = echeance - kvtthread_maintenant_ms();
        if (reste <= 0) return 1;

        // p[2]: the process stop, which ends the relay like a closed side.
        pollfd p[3] = {{client, 0, 0}, {amont, 0, 0}, {kvtarret_fd(), POLLIN, 0}};
        if (!montant.fini && montant.fin < TAILLE_SENS) p[0].events |= POLLIN;
        if (!descendant.vide()) p[0].events |= POLLOUT;
        if (!descendant.fini && descendant.fin < TAILLE_SENS) p[1].events |= POLLIN;
        if (!montant.vide()) p[1].events |= POLLOUT;
        // A side asked for nothing is left out: its hang-up would wake
        // the poll at once, again and again, while the other side drains.
        for (int i = 0; i < 2; ++i)
            if (p[i].events == 0) p[i].fd = -1;
        const int n = ::poll(p, 3, reste > INT_MAX ? INT_MAX : static_cast<int>(reste));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) continue;  // the loop re-reads the clock
        if (p[2].revents & POLLIN) return 0;
        for (int i = 0; i < 2; ++i) {
            const pollfd &q = p[i];
            if (q.revents & (POLLERR | POLLNVAL)) return -1;
            // Hung up both ways while bytes wait for it: they cannot pass.
            if ((q.revents & POLLHUP) && !(q.events & POLLIN) && !(q.revents & POLLOUT))
                return q.fd == amont ? 0 : -1;
        }
        if (p[0].revents & (POLLIN | POLLHUP)) {
            const size_t avant = montant.fin;
            const ssize_t lu = lit(client, montant);
            if (lu == -1) return -1;
            if (lu > 0 && quorvel_dns_tcp_messages(&trame, montant.octets + avant, static_cast<size_t>(lu)) > 0) {
                echeance = kvtthread_maintenant_ms() + delai_ms;
                quorvel_dns_tcp_note_message();
            }
        }
        if ((p[1].revents & (POLLIN | POLLHUP)) && lit(amont, descendant) == -1) return -1;
        if ((p[0].revents & POLLOUT) && ecrit(client, descendant) < 0) return -1;
        if ((p[1].revents & POLLOUT) && ecrit(amont, montant) < 0) return -1;
    }
}

int quorvel_dns_tcp_ecoute(uint32_t adresse)
{
    kvt_fd s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (!s) {
        quorvel_dns_signale_socket("socket for", "TCP", errno);
        return -1;
    }
    // A restart must not wait for old connections in TIME_WAIT. On TCP this
    // never lets a second listener share the port.
    const int un = 1;
    (void)::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &un, sizeof un);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = quorvel_dns_port;
    sa.sin_addr.s_addr = adresse;
    if (::bind(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        quorvel_dns_signale_socket("bind to", "TCP", errno);
        return -1;
    }
    if (::listen(s.fd, SOMAXCONN) != 0) {
        quorvel_dns_signale_socket("listen on", "TCP", errno);
        return -1;
    }
    return s.release();
}

int quorvel_dns_tcp_demarre(uint32_t adresse)
{
    const int s = quorvel_dns_tcp_ecoute(adresse);
    if (s < 0) return -1;
    if (kvtthread_demarre(quorvel_dns_tcp_accepte, KVT_PILE_SERVEUR, reinterpret_cast<void *>(intptr_t{s})) < 0) {
        ::close(s);
        return -1;
    }
    return 0;
}

void quorvel_dns_tcp_note_message(void)
{
    if (client_courant >= 0) (void)kvtnet_connexion_active(client_courant);
}

int quorvel_dns_tcp_en_cours(void)
{
    return nb_connexions.load(std::memory_order_acquire);
}

void quorvel_dns_tcp_accepte(void *argument)
{
    // A client over its limit is closed at once; with every place taken,
    // the connection idle longest makes room for the newcomer.
    kvtnet_limites limites = {QUORVEL_DNS_TCP_MAX_CONNEXIONS, 0, nullptr, KVTNET_EVICTION_INACTIVE, admet_client,
                              accept_echoue};
    (void)kvtnet_ecouteur_limite_sur(static_cast<int>(reinterpret_cast<intptr_t>(argument)), connexion, &limites);
}
