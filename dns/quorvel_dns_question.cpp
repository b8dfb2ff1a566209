/* Reading the question of a query and writing the relay's own NXDOMAIN
 * answer, for ad blocking. Only a plain query is read: anything the reader
 * does not fully understand is forwarded as it came, so a client never
 * loses an answer to this reader's limits. */
#include "quorvel_dns_question.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "kvtlib.h"
#include "kvt_trace.h"
#include "kvtstat.h"
#include "quorvel_ip_mask.h"

std::atomic<int> quorvel_dns_blocage{0};
std::atomic<int> quorvel_dns_journal{0};

int quorvel_dns_question_lit(const unsigned char *d, size_t n, quorvel_dns_question *q)
{
    if (d == nullptr || q == nullptr || n < QUORVEL_DNS_ENTETE) return -1;
    // QR set is an answer; opcodes other than 0 (notify, update...) are not
    // questions about a name.
    if ((d[2] & 0x80) != 0 || ((d[2] >> 3) & 0x0F) != 0) return -1;
    if (d[4] != 0 || d[5] != 1) return -1;
    size_t i = QUORVEL_DNS_ENTETE;
    size_t l = 0;
    for (;;) {
        if (i >= n) return -1;
        const unsigned taille = d[i++];
        if (taille == 0) break;
        // 0xC0 is a pointer, 0x40 and 0x80 reserved label types: all over 63.
        if (taille > 63) return -1;
        if (taille > n - i) return -1;
        // Wire length counts each label's length byte and the final zero.
        const size_t apres = l + (l > 0 ? 1 : 0) + taille;
        if (apres + 2 > QUORVEL_DNS_NOM_MAX) return -1;
        // A dot or a NUL inside a label has no faithful dotted text: such a
        // name is left to the upstream rather than matched wrongly.
        if (std::memchr(d + i, '.', taille) != nullptr || std::memchr(d + i, '\0', taille) != nullptr) return -1;
        if (l > 0) q->nom[l] = '.';
        std::memcpy(q->nom + apres - taille, d + i, taille);
        l = apres;
        i += taille;
    }
    if (n - i < 4) return -1;
    q->nom[l] = '\0';
    q->longueur = l;
    q->type = static_cast<uint16_t>(d[i] << 8 | d[i + 1]);
    q->classe = static_cast<uint16_t>(d[i + 2] << 8 | d[i + 3]);
    q->fin = i + 4;
    return 0;
}

int quorvel_dns_nxdomain(const unsigned char *d, size_t fin, unsigned char *reponse, size_t capacite)
{
    if (d == nullptr || reponse == nullptr || fin < QUORVEL_DNS_ENTETE || capacite < fin) return -1;
    std::memcpy(reponse, d, fin);
    reponse[2] = static_cast<unsigned char>(0x80 | (d[2] & 0x01));  // QR, opcode 0, RD as asked
    reponse[3] = 0x80 | 3;                                          // RA, NXDOMAIN
    std::memset(reponse + 6, 0, 6);                                 // AN, NS, AR: 0
    return static_cast<int>(fin);
}

namespace {

// The mnemonic of the usual query types, else the number.
const char *nom_type(uint16_t type, char *nombre, size_t taille)
{
    switch (type) {
    case 1: return "A";
    case 2: return "NS";
    case 5: return "CNAME";
    case 6: return "SOA";
    case 12: return "PTR";
    case 15: return "MX";
    case 16: return "TXT";
    case 28: return "AAAA";
    case 33: return "SRV";
    case 64: return "SVCB";
    case 65: return "HTTPS";
    default: std::snprintf(nombre, taille, "%u", unsigned{type}); return nombre;
    }
}

// One query-log line, within the bound of lines per client address. The
// name comes from the network: escaped to stay one field of plain ASCII.
void journal_requete(const quorvel_dns_question &q, uint32_t adresse, uint16_t port, bool bloque)
{
    sockaddr_in de{};
    de.sin_family = AF_INET;
    de.sin_addr.s_addr = adresse;
    if (kvtlog_acces_client("dns", reinterpret_cast<const sockaddr *>(&de), sizeof de) <= 0) return;
    char nom[QUORVEL_DNS_NOM_MAX + 1];
    kvtstr_echappe(q.nom, nom, sizeof nom);
    char client[20], nombre[8];
    kvtnet_aff_adresse(adresse, client);
    kvtlog_acces("dns client=%s:%u name=%s type=%s status=%s", client, unsigned{ntohs(port)}, nom,
                 nom_type(q.type, nombre, sizeof nombre), bloque ? "blocked" : "forwarded");
}

}  // namespace

int quorvel_dns_bloque(const unsigned char *d, size_t n, unsigned char *reponse, size_t capacite, uint32_t adresse,
                       uint16_t port)
{
    const bool blocage = quorvel_dns_blocage.load(std::memory_order_relaxed) != 0;
    const bool journal = adresse != KVTNET_ADRESSE_INVALIDE &&
                         quorvel_dns_journal.load(std::memory_order_relaxed) != 0 && kvtlog_acces_actif();
    if (!blocage && !journal) return 0;
    quorvel_dns_question q;
    if (quorvel_dns_question_lit(d, n, &q) < 0) return 0;
    const bool bloque = blocage && quorvel_liste_bloque(q.nom, q.longueur);
    if (journal) journal_requete(q, adresse, port, bloque);
    if (!bloque) return 0;
    const int l = quorvel_dns_nxdomain(d, q.fin, reponse, capacite);
    return l < 0 ? 0 : l;
}

int quorvel_dns_repond_bloque(int s, const char *d, int n, uint32_t adresse, uint16_t port)
{
    // A question ends within the header, 255 name bytes and type and class.
    unsigned char reponse[QUORVEL_DNS_ENTETE + QUORVEL_DNS_NOM_MAX + 4];
    const int l = quorvel_dns_bloque(reinterpret_cast<const unsigned char *>(d), static_cast<size_t>(n), reponse,
                                     sizeof reponse, adresse, port);
    if (l <= 0) return 0;
    kvtstat.dns.bloques.fetch_add(1, std::memory_order_relaxed);
    if (kvtnet_sendto(s, adresse, port, reinterpret_cast<char *>(reponse), l) < 0) KVT_ERREUR_RESEAU("DNS");
    return 1;
}

namespace {

int64_t maintenant_ms() noexcept
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Waits for `evenement` on `fd` until `echeance`: 0 ready, 1 out of time,
// -1 error, ARRETE at the process stop.
constexpr int ARRETE = 3;
int attend(int fd, short evenement, int64_t echeance) noexcept
{
    for (;;) {
        const int64_t reste = echeance - maintenant_ms();
        if (reste <= 0) return 1;
        pollfd p[2] = {{fd, evenement, 0}, {kvtarret_fd(), POLLIN, 0}};
        const int r = ::poll(p, 2, static_cast<int>(reste));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (p[1].revents & POLLIN) return ARRETE;
        if (r > 0) return 0;
    }
}

// Reads exactly `n` bytes: 0, 2 when the stream ended before the first
// byte, 1 out of time, -1 an error or a stream ended mid-way.
int lit_tout(int fd, unsigned char *b, size_t n, int64_t echeance) noexcept
{
    size_t lu = 0;
    while (lu < n) {
        const int a = attend(fd, POLLIN, echeance);
        if (a != 0) return a;
        const ssize_t r = ::recv(fd, b + lu, n - lu, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -1;
        if (r == 0) return lu == 0 ? 2 : -1;
        lu += static_cast<size_t>(r);
    }
    return 0;
}

int ecrit_tout(int fd, const unsigned char *b, size_t n, int64_t echeance) noexcept
{
    size_t ecrit = 0;
    while (ecrit < n) {
        const ssize_t r = ::send(fd, b + ecrit, n - ecrit, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            const int a = attend(fd, POLLOUT, echeance);
            if (a != 0) return a;
            continue;
        }
        if (r < 0) return -1;
        ecrit += static_cast<size_t>(r);
    }
    return 0;
}

// One length-prefixed message: its length, 2 bytes, then up to 65535.
struct Message {
    unsigned char octets[2 + 65535];
};

}  // namespace

namespace {
int filtre(int client, int amont, int delai_ms, uint64_t &haut, uint64_t &bas, uint32_t adresse, uint16_t port)
{
    std::unique_ptr<Message> m{new (std::nothrow) Message};
    std::unique_ptr<Message> r{new (std::nothrow) Message};
    if (!m || !r) {
        KVT_ERREUR();
        return -1;
    }
    int e;
    for (;;) {
        // Each complete message from the client restarts the idle limit.
        int64_t echeance = maintenant_ms() + delai_ms;
        e = lit_tout(client, m->octets, 2, echeance);
        if (e == 2) return 0;
        if (e != 0) return e;
        const size_t l = size_t{m->octets[0]} << 8 | m->octets[1];
        haut += 2;
        if (l == 0) continue;  // no message
        if ((e = lit_tout(client, m->octets + 2, l, echeance)) != 0) return e == 2 ? -1 : e;
        haut += l;
        echeance = maintenant_ms() + delai_ms;
        const int b = quorvel_dns_bloque(m->octets + 2, l, r->octets + 2, sizeof r->octets - 2, adresse, port);
        if (b > 0) {
            kvtstat.dns.bloques.fetch_add(1, std::memory_order_relaxed);
            r->octets[0] = static_cast<unsigned char>(b >> 8);
            r->octets[1] = static_cast<unsigned char>(b);
            if ((e = ecrit_tout(client, r->octets, 2 + static_cast<size_t>(b), echeance)) != 0) return e;
            bas += 2 + static_cast<size_t>(b);
            continue;
        }
        if ((e = ecrit_tout(amont, m->octets, 2 + l, echeance)) != 0) return e;
        // The upstream's one answer to it, before the next message is read.
        if ((e = lit_tout(amont, r->octets, 2, echeance)) != 0) return e == 2 ? 0 : e;
        const size_t lr = size_t{r->octets[0]} << 8 | r->octets[1];
        if ((e = lit_tout(amont, r->octets + 2, lr, echeance)) != 0) return e == 2 ? -1 : e;
        if ((e = ecrit_tout(client, r->octets, 2 + lr, echeance)) != 0) return e;
        bas += 2 + lr;
    }
}
}  // namespace

int quorvel_dns_tcp_filtre(int client, int amont, int delai_ms, uint64_t *montants, uint64_t *descendants,
                           uint32_t adresse, uint16_t port)
{
    uint64_t haut = 0, bas = 0;
    int e = filtre(client, amont, delai_ms, haut, bas, adresse, port);
    if (montants != nullptr) *montants = haut;
    if (descendants != nullptr) *descendants = bas;
    return e == ARRETE ? 0 : e;  // the stop ends it as a closed side does
}


void quorvel_dns_blocage_lit(void)
{
    const int actif = quorvel_dns_reglage_actif("DNSBlockAds");
    // The list is loaded before lookups may use it.
    if (actif && quorvel_dns_blocage.load(std::memory_order_relaxed) == 0) (void)quorvel_liste_demarre();
    quorvel_dns_blocage.store(actif, std::memory_order_relaxed);
}

void quorvel_dns_journal_lit(void)
{
    quorvel_dns_journal.store(quorvel_dns_reglage_actif("DNSQueryLog"), std::memory_order_relaxed);
}
