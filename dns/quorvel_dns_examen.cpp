/* What the relay does with an allowed client's query before it forwards it:
 * FORMERR, the block list, the cache, the query log; and the TCP relay of
 * one message at a time that applies them to TCP DNS. */
#include "quorvel_dns_examen.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "kvtlib.h"
#include "kvt_trace.h"
#include "kvtstat.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_lot.h"
#include "quorvel_dns_message.h"
#include "quorvel_dns_question.h"
#include "quorvel_dns_reglages.h"
#include "quorvel_dns_tcp.h"
#include "quorvel_ip_mask.h"

std::atomic<quorvel_dns_cache *> quorvel_dns_antememoire{nullptr};

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
// `texte` null: the query could not be read (name=- type=-).
void journal_requete(const char *texte, uint16_t type, uint32_t adresse, uint16_t port, const char *etat)
{
    sockaddr_in de{};
    de.sin_family = AF_INET;
    de.sin_addr.s_addr = adresse;
    if (kvtlog_acces_client("dns", reinterpret_cast<const sockaddr *>(&de), sizeof de) <= 0) return;
    char nom[QUORVEL_DNS_NOM_MAX + 1] = "-";
    char nombre[8] = "-";
    const char *type_texte = nombre;
    if (texte != nullptr) {
        kvtstr_echappe(texte, nom, sizeof nom);
        type_texte = nom_type(type, nombre, sizeof nombre);
    }
    char client[20];
    kvtnet_aff_adresse(adresse, client);
    kvtlog_acces("dns client=%s:%u name=%s type=%s status=%s", client, unsigned{ntohs(port)}, nom, type_texte,
                 etat);
}

bool journal_actif(const quorvel_dns_reglages &r, uint32_t adresse) noexcept
{
    return adresse != KVTNET_ADRESSE_INVALIDE && r.journal != 0 && kvtlog_acces_actif();
}

// The cache's counters as kvtstat shows them.
void compteurs_cache(uint64_t *succes, uint64_t *echecs, uint64_t *evictions, uint64_t *entrees)
{
    quorvel_dns_cache_compteurs c{};
    quorvel_dns_cache_compte(quorvel_dns_antememoire.load(std::memory_order_acquire), &c);
    *succes = c.succes;
    *echecs = c.echecs;
    *evictions = c.evictions;
    *entrees = c.entrees;
}

// The size and least time the cache was made or last emptied with.
unsigned taille_cache, min_ttl_cache;

}  // namespace

int quorvel_dns_bloque(const unsigned char *d, size_t n, unsigned char *reponse, size_t capacite, uint32_t adresse,
                       uint16_t port)
{
    const quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    const bool blocage = r.blocage != 0;
    const bool journal = journal_actif(r, adresse);
    if (!blocage && !journal) return 0;
    quorvel_dns_question q;
    if (quorvel_dns_question_lit(d, n, &q) < 0) return 0;
    const bool bloque = blocage && quorvel_liste_bloque(q.nom, q.longueur);
    if (journal) journal_requete(q.nom, q.type, adresse, port, bloque ? "blocked" : "forwarded");
    if (!bloque) return 0;
    const int l = quorvel_dns_nxdomain(d, q.fin, reponse, capacite);
    return l < 0 ? 0 : l;
}

bool quorvel_dns_examen_actif(void)
{
    const quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    return r.blocage != 0 || quorvel_dns_antememoire.load(std::memory_order_relaxed) != nullptr ||
           (r.journal != 0 && kvtlog_acces_actif());
}

int quorvel_dns_examine(const unsigned char *d, size_t n, int tcp, unsigned char *reponse, size_t capacite,
                        uint32_t adresse, uint16_t port, quorvel_dns_lecture *lu)
{
    quorvel_dns_lecture local;
    if (lu == nullptr) lu = &local;
    lu->classe = -1;
    lu->pour_cache = 0;
    const quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    const bool blocage = r.blocage != 0;
    quorvel_dns_cache *cache = quorvel_dns_antememoire.load(std::memory_order_relaxed);
    const bool journal = journal_actif(r, adresse);
    if (!blocage && !journal && cache == nullptr) return 0;
    const quorvel_dns_msg_question &q = lu->requete.q;
    const int classe = quorvel_dns_msg_classe(d, n, &lu->requete.q);
    lu->classe = classe;
    if (classe == QUORVEL_DNS_MSG_TRANSMET) return 0;
    if (classe == QUORVEL_DNS_MSG_FORMERR) {
        const int l = quorvel_dns_msg_formerr(d, n, reponse, capacite);
        if (l <= 0) return 0;
        if (journal) journal_requete(nullptr, 0, adresse, port, "formerr");
        return l;
    }
    // A name whose labels hold a dot or a NUL matches no list entry and has
    // no faithful text for the log: it goes on as before, unlogged.
    if (blocage && q.texte_fidele && quorvel_liste_bloque(q.texte, q.longueur)) {
        const int l = quorvel_dns_nxdomain(d, q.fin, reponse, capacite);
        if (l > 0) {
            kvtstat.dns.bloques.fetch_add(1, std::memory_order_relaxed);
            if (journal) journal_requete(q.texte, q.type, adresse, port, "blocked");
            return l;
        }
    }
    // The question read above serves the lookup and, on a miss, the forwarding.
    if (cache != nullptr && quorvel_dns_cache_requete_complete(d, n, &lu->requete) == 0) {
        lu->pour_cache = 1;
        const int l = quorvel_dns_cache_cherche_lue(cache, d, n, &lu->requete, tcp, reponse, capacite,
                                                    kvtthread_maintenant_s());
        if (l > 0) {
            if (journal && q.texte_fidele) journal_requete(q.texte, q.type, adresse, port, "cached");
            return l;
        }
    }
    if (journal && q.texte_fidele) journal_requete(q.texte, q.type, adresse, port, "forwarded");
    return 0;
}

int quorvel_dns_repond_bloque(int s, const char *d, int n, uint32_t adresse, uint16_t port, quorvel_dns_lecture *lu)
{
    unsigned char reponse[QUORVEL_DNS_EXAMEN_REPONSE];
    const int l = quorvel_dns_examine(reinterpret_cast<const unsigned char *>(d), static_cast<size_t>(n), 0, reponse,
                                      sizeof reponse, adresse, port, lu);
    if (l <= 0) return 0;
    if (kvtnet_sendto(s, adresse, port, reinterpret_cast<char *>(reponse), l) < 0) KVT_ERREUR_RESEAU("DNS");
    return 1;
}

int quorvel_dns_repond_lot(quorvel_dns_lot *lot, int i, uint32_t adresse, uint16_t port, quorvel_dns_lecture *lu)
{
    unsigned char *reponse = quorvel_dns_lot_reponse(lot, i);
    const int l = quorvel_dns_examine(reinterpret_cast<const unsigned char *>(quorvel_dns_lot_datagramme(lot, i)),
                                      static_cast<size_t>(quorvel_dns_lot_longueur(lot, i)), 0, reponse,
                                      QUORVEL_DNS_EXAMEN_REPONSE, adresse, port, lu);
    if (l <= 0) return 0;
    if (quorvel_dns_lot_ajoute4(lot, reponse, static_cast<size_t>(l), adresse, port, nullptr) < 0)
        KVT_ERREUR_RESEAU("DNS");
    return 1;
}

namespace {

// Waits for `evenement` on `fd` until `echeance`: 0 ready, 1 out of time,
// -1 error, ARRETE at the process stop.
constexpr int ARRETE = 3;
int attend(int fd, short evenement, int64_t echeance) noexcept
{
    for (;;) {
        const int64_t reste = echeance - kvtthread_maintenant_ms();
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
    // Each complete message from the client that is not empty restarts the
    // idle limit: two zero bytes now and then do not hold a connection.
    int64_t echeance = kvtthread_maintenant_ms() + delai_ms;
    for (;;) {
        e = lit_tout(client, m->octets, 2, echeance);
        if (e == 2) return 0;
        if (e != 0) return e;
        const size_t l = size_t{m->octets[0]} << 8 | m->octets[1];
        haut += 2;
        if (l == 0) continue;  // no message
        if ((e = lit_tout(client, m->octets + 2, l, echeance)) != 0) return e == 2 ? -1 : e;
        haut += l;
        echeance = kvtthread_maintenant_ms() + delai_ms;
        quorvel_dns_tcp_note_message();
        const int b = quorvel_dns_examine(m->octets + 2, l, 1, r->octets + 2, sizeof r->octets - 2, adresse, port);
        if (b > 0) {
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
        // Its question is checked against the query's before it is kept.
        if (quorvel_dns_cache *c = quorvel_dns_antememoire.load(std::memory_order_relaxed); c != nullptr)
            (void)quorvel_dns_cache_garde_requete(c, m->octets + 2, l, r->octets + 2, lr, kvtthread_maintenant_s());
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
    (void)quorvel_dns_reglages_lit();
}

void quorvel_dns_journal_lit(void)
{
    (void)quorvel_dns_reglages_lit();
}

int quorvel_dns_cache_lit(int au_depart)
{
    const quorvel_dns_reglages reglages = quorvel_dns_reglages_courants();
    const unsigned taille = reglages.cache_taille, min_ttl = reglages.cache_min_ttl;
    quorvel_dns_cache *cache = quorvel_dns_antememoire.load(std::memory_order_acquire);
    if (au_depart) {
        if (taille == 0) return 0;
        cache = quorvel_dns_cache_cree(taille, min_ttl);
        if (cache == nullptr) {
            kvtlog_erreur("DNS relay: no memory for an answer cache of %u answers; no cache", taille);
            return 0;
        }
        taille_cache = taille;
        min_ttl_cache = min_ttl;
        quorvel_dns_antememoire.store(cache, std::memory_order_release);
        kvtstat_cache_source(compteurs_cache);
        return 1;
    }
    if ((taille != 0) != (cache != nullptr)) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "DNSCacheSize");
    if (cache == nullptr) return 0;
    // Emptied whatever changed: a name just added to the block list must not
    // wait for its cached answers to expire (the list is checked first
    // anyway), and answers kept under the old least time go.
    if (taille != 0) taille_cache = taille;
    min_ttl_cache = min_ttl;
    if (quorvel_dns_cache_vide(cache, taille_cache, min_ttl_cache) < 0)
        kvtlog_erreur("DNS relay: no memory for an answer cache of %u answers; the cache keeps its size", taille_cache);
    return 1;
}
