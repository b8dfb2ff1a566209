/* The hardened relay: its set of query sockets, the identifiers it draws,
 * and the checks an answer must pass. The ring (quorvel_dns.cpp) stays the
 * record of pending queries; this file adds its extra fields and the loop
 * turn that waits on every socket at once. */
#include "quorvel_dns_durci.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvtstat.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_lot.h"
#include "quorvel_dns_message.h"
#include "quorvel_dns_table.h"
#include "quorvel_dns_question.h"
#include "quorvel_ip_mask.h"

int quorvel_dns_durci;


quorvel_dns_prises quorvel_dns_jeu = [] {
    quorvel_dns_prises j{};
    j.ep = -1;
    j.ecoute = -1;
    for (quorvel_dns_prise &p : j.prises) p.fd = -1;
    return j;
}();

namespace {

constexpr int N = QUORVEL_DNS_NB_REQUETES;
constexpr int NB_ENTREES = QUORVEL_DNS_NB_PRISES + QUORVEL_DNS_NB_RETIREES;
// A replaced socket is closed once no query waits on it, or after this
// long: the ring gives a query up after 10 s too.
constexpr int64_t GARDE_RETIREE_MS = 10000;
// Between two attempts to open a socket that failed, and two reports of it.
constexpr int64_t REESSAI_MS = 1000;
constexpr int64_t SIGNALE_MS = 60000;
// Datagrams read from one socket per wake-up before the others get a turn.
constexpr int RAFALE = 32;

// Pending relay identifier -> its slot + 1 (0: free). Only pending queries
// hold one, so a fresh identifier is unique among them.
unsigned char slot_du_relais[65536];
// A query's socket of its own is in the epoll set with data PAR_REQUETE +
// its entry in `propres`.
constexpr uint32_t PAR_REQUETE = 0x10000;

// The sockets of their own, kept open from one query to the next: opening,
// registering and closing one per query costs several times what a
// disconnect does. A portless socket is given one by the kernel, drawn at
// random from its ephemeral range, when it sends; a released socket is
// disconnected, which gives that port back, so its next query is sent
// from a port drawn anew. Not connected: a connect per query would cost
// as much again, and an answer's source is checked here anyway.
// One entry more than slots: a query takes its socket before its slot, and
// the slot it takes may still hold one.
constexpr int NB_PROPRES = N + 1;
struct propre {
    int fd;    // -1: not opened yet, or closed after a fault
    int slot;  // the slot whose query it serves, -1 while released
};
propre propres[NB_PROPRES] = {};
// Released entries, the last released on top so that few sockets serve a
// light load.
int libres[NB_PROPRES];
int nb_libres = -1;  // -1: not set up yet
// Entries released since the last wait began. A released socket may still
// hold datagrams that came before its disconnect, and none can come after:
// the next wait, level-triggered and with room for every socket, names it
// if and only if it holds any. So it serves again only once that wait has
// passed and what it named was read and dropped, which spares a read per
// query that would find nothing.
int quarantaine[NB_PROPRES];
int nb_quarantaine;
// Slot -> its entry in `propres`, -1 none.
int propre_du_slot[N];
// Datagrams a released socket may still hold that are read and dropped
// before it serves again; beyond that it is closed instead.
constexpr int VIDANGE_MAX = 64;

// Every entry released and without a socket (their sockets closed before).
void remet_propres() noexcept
{
    for (int e = 0; e < NB_PROPRES; ++e) {
        propres[e] = propre{-1, -1};
        libres[e] = NB_PROPRES - 1 - e;
    }
    nb_libres = NB_PROPRES;
    nb_quarantaine = 0;
    for (int &e : propre_du_slot) e = -1;
}
[[maybe_unused]] const bool propres_prets = [] {
    remet_propres();
    return true;
}();

void compte(std::atomic<uint64_t> &c) noexcept { c.fetch_add(1, std::memory_order_relaxed); }

// Random bytes from the system's source, drawn 256 at a time: a read of at
// most 256 bytes is never cut short once the source is ready.
bool aleatoire(void *sortie, size_t n) noexcept
{
    static unsigned char reserve[256];
    static size_t pris = sizeof reserve;
    if (pris + n > sizeof reserve) {
        if (::getrandom(reserve, sizeof reserve, 0) != static_cast<ssize_t>(sizeof reserve)) return false;
        pris = 0;
    }
    std::memcpy(sortie, reserve + pris, n);
    pris += n;
    return true;
}

bool minuscule_egale(unsigned char a, unsigned char b) noexcept
{
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    return a == b;
}

quorvel_dns_prise *par_serie(uint32_t serie) noexcept
{
    for (quorvel_dns_prise &p : quorvel_dns_jeu.prises)
        if (p.fd >= 0 && p.serie == serie) return &p;
    return nullptr;
}

void signale(const char *quoi, int erreur)
{
    quorvel_dns_prises &j = quorvel_dns_jeu;
    const int64_t maintenant = kvtthread_maintenant_ms();
    const bool rapporter = j.echec_ms == 0 || maintenant - j.echec_ms >= SIGNALE_MS;
    j.echec_ms = maintenant;
    if (!rapporter) return;
    KVT_ERREUR();
    kvtlog_erreur("DNS relay: hardened mode cannot open %s: %s; trying again every second", quoi,
                  std::strerror(erreur));
}

// Reads and drops what the released socket of entry `e` still holds;
// closes it when that does not end.
void vide_propre(int e) noexcept
{
    propre &p = propres[e];
    for (int k = 0; p.fd >= 0; ++k) {
        char octet;
        if (::recv(p.fd, &octet, sizeof octet, MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (k == VIDANGE_MAX) {
            ::close(p.fd);  // also takes it out of the epoll set
            p.fd = -1;
        }
    }
}

// Gives the socket of entry `e` back: disconnected, which frees its port so
// that nothing more reaches it; what came before is dropped before it
// serves again, so that a datagram sent to the old port is never weighed
// against a later query. Closed instead when it cannot be disconnected.
void rend_propre(int e) noexcept
{
    propre &p = propres[e];
    if (p.slot >= 0 && propre_du_slot[p.slot] == e) propre_du_slot[p.slot] = -1;
    p.slot = -1;
    sockaddr aucune{};
    aucune.sa_family = AF_UNSPEC;
    if (::connect(p.fd, &aucune, sizeof aucune) != 0) {
        ::close(p.fd);
        p.fd = -1;
    }
    quarantaine[nb_quarantaine++] = e;
}

// After a wait that returned `n` events: the sockets released before it
// began are emptied if it named them, and may serve again.
void fin_quarantaine(const epoll_event *prets, int n) noexcept
{
    if (n < 0 || nb_quarantaine == 0) return;  // a wait cut short names nothing
    for (int k = 0; k < n; ++k)
        if (prets[k].data.u32 >= PAR_REQUETE) {
            const int e = static_cast<int>(prets[k].data.u32 - PAR_REQUETE);
            if (propres[e].slot < 0) vide_propre(e);
        }
    for (int k = 0; k < nb_quarantaine; ++k) libres[nb_libres++] = quarantaine[k];
    nb_quarantaine = 0;
}

// A released entry, its socket open and without a port, or -1 (reported at
// most once a minute).
int prend_propre()
{
    if (nb_libres == 0 && nb_quarantaine > 0) {
        // None has waited: the last released is emptied here.
        vide_propre(quarantaine[--nb_quarantaine]);
        libres[nb_libres++] = quarantaine[nb_quarantaine];
    }
    if (nb_libres == 0) return -1;  // not while a slot holds at most one each
    const int e = libres[nb_libres - 1];
    propre &p = propres[e];
    if (p.fd < 0) {
        kvt_fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP)};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = PAR_REQUETE + static_cast<uint32_t>(e);
        if (!s || ::epoll_ctl(quorvel_dns_jeu.ep, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
            signale("a query socket", errno);
            return -1;
        }
        p.fd = s.release();
    }
    --nb_libres;
    return e;
}

// The pending query of `slot` is over (answered, or its slot taken again):
// its identifier and its socket are free of it.
void termine(int slot) noexcept
{
    if (slot_du_relais[quorvel_dns_table[slot].id_relais] == slot + 1) slot_du_relais[quorvel_dns_table[slot].id_relais] = 0;
    if (quorvel_dns_table[slot].fd_propre >= 0) {
        if (propre_du_slot[slot] >= 0) rend_propre(propre_du_slot[slot]);
        quorvel_dns_table[slot].fd_propre = -1;
    }
    if (quorvel_dns_prise *p = par_serie(quorvel_dns_table[slot].prise); p != nullptr && p->en_attente > 0) --p->en_attente;
}

void ferme_prise(quorvel_dns_prise &p) noexcept
{
    ::close(p.fd);  // also takes it out of the epoll set
    p = quorvel_dns_prise{};
    p.fd = -1;
}

// Opens one socket of the set on a port the kernel picks, into a free entry.
bool ouvre_prise()
{
    quorvel_dns_prises &j = quorvel_dns_jeu;
    int libre = -1;
    for (int i = 0; i < NB_ENTREES && libre < 0; ++i)
        if (j.prises[i].fd < 0) libre = i;
    if (libre < 0) {
        // Every entry taken: the oldest replaced socket gives its place.
        for (int i = 0; i < NB_ENTREES; ++i)
            if (j.prises[i].retiree_ms != 0 && (libre < 0 || j.prises[i].serie < j.prises[libre].serie)) libre = i;
        if (libre < 0) return false;
        ferme_prise(j.prises[libre]);
    }
    kvt_fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP)};
    sockaddr_in sa{};
    sa.sin_family = AF_INET;  // port 0: the kernel's pick from its ephemeral range
    socklen_t l = sizeof sa;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(libre + 1);
    if (!s || ::bind(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 ||
        ::getsockname(s.fd, reinterpret_cast<sockaddr *>(&sa), &l) != 0 ||
        ::epoll_ctl(j.ep, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
        signale("a query socket", errno);
        return false;
    }
    quorvel_dns_prise &p = j.prises[libre];
    p.fd = s.release();
    if (++j.derniere_serie == 0) ++j.derniere_serie;  // 0 names no socket
    p.serie = j.derniere_serie;
    p.port = sa.sin_port;
    p.en_attente = 0;
    p.retiree_ms = 0;
    return true;
}

// Keeps the set full, replaces its oldest socket when due, and closes the
// replaced ones that no answer is due to any more.
void entretient(int64_t maintenant)
{
    quorvel_dns_prises &j = quorvel_dns_jeu;
    int actives = 0, plus_ancienne = -1;
    for (int i = 0; i < NB_ENTREES; ++i) {
        quorvel_dns_prise &p = j.prises[i];
        if (p.fd < 0) continue;
        if (p.retiree_ms != 0) {
            if (p.en_attente == 0 || maintenant - p.retiree_ms >= GARDE_RETIREE_MS) ferme_prise(p);
            continue;
        }
        ++actives;
        if (plus_ancienne < 0 || p.serie < j.prises[plus_ancienne].serie) plus_ancienne = i;
    }
    if (j.echec_ms != 0 && maintenant - j.echec_ms < REESSAI_MS) return;
    if (actives == QUORVEL_DNS_NB_PRISES && maintenant - j.renouvele_ms >= QUORVEL_DNS_RENOUVELLE_MS) {
        // Retired first, so the new socket may take the place of an older
        // retired one but never of this one.
        quorvel_dns_prise &ancienne = j.prises[plus_ancienne];
        ancienne.retiree_ms = maintenant;
        if (ancienne.en_attente == 0) ferme_prise(ancienne);
        --actives;
        j.renouvele_ms = maintenant;
    }
    while (actives < QUORVEL_DNS_NB_PRISES && ouvre_prise()) ++actives;
    if (actives == QUORVEL_DNS_NB_PRISES) j.echec_ms = 0;
}

// A socket of the set picked at random, or null when none is open.
quorvel_dns_prise *tire_prise()
{
    quorvel_dns_prise *actives[NB_ENTREES];
    int n = 0;
    for (quorvel_dns_prise &p : quorvel_dns_jeu.prises)
        if (p.fd >= 0 && p.retiree_ms == 0) actives[n++] = &p;
    unsigned char tirage = 0;
    if (n == 0 || !aleatoire(&tirage, 1)) return nullptr;
    return actives[tirage % n];
}

// A query from an allowed client, forwarded under a fresh identifier from
// a socket of its own (or of the set). `lu`: what the look at the query
// read of it, not read again.
void transmet(char *d, int n, uint32_t adresse, uint16_t port, const quorvel_dns_lecture &lu)
{
    const size_t fin = lu.classe == QUORVEL_DNS_MSG_LUE
                           ? lu.requete.q.fin
                           : quorvel_dns_durci_question(reinterpret_cast<const unsigned char *>(d),
                                                        static_cast<size_t>(n), false);
    // Without its question the answer could not be checked.
    if (fin == 0) {
        compte(kvtstat.dns.rejetes);
        return;
    }
    uint16_t id = 0;
    bool tire = false;
    for (int essai = 0; essai < 64 && !tire; ++essai) tire = aleatoire(&id, sizeof id) && slot_du_relais[id] == 0;
    const uint32_t amont = quorvel_dns_choisit_serveur(static_cast<unsigned>(std::rand()));
    // A socket of its own, on a port the kernel draws for it as it sends;
    // a socket of the set when none can be had (descriptors short).
    const int propre = quorvel_dns_durci_par_requete ? prend_propre() : -1;
    quorvel_dns_prise *prise = propre >= 0 ? nullptr : tire_prise();
    if ((propre < 0 && prise == nullptr) || !tire) {
        if (propre >= 0) rend_propre(propre);
        KVT_ERREUR_RESEAU("DNS");
        compte(kvtstat.dns.rejetes);
        return;
    }
    uint16_t id_client;
    std::memcpy(&id_client, d, sizeof id_client);
    const int slot = quorvel_dns_table_ecrit(id_client, adresse, port, kvtthread_maintenant_s());
    quorvel_dns_table[slot].id_relais = id;
    if (propre >= 0) {
        propres[propre].slot = slot;
        propre_du_slot[slot] = propre;
        quorvel_dns_table[slot].fd_propre = propres[propre].fd;
        quorvel_dns_table[slot].prise = 0;  // 0 names no socket of the set
    } else {
        quorvel_dns_table[slot].prise = prise->serie;
        ++prise->en_attente;
    }
    slot_du_relais[id] = static_cast<unsigned char>(slot + 1);
    quorvel_dns_table[slot].taille_question = static_cast<uint16_t>(fin - QUORVEL_DNS_ENTETE);
    std::memcpy(quorvel_dns_table[slot].question, d + QUORVEL_DNS_ENTETE, fin - QUORVEL_DNS_ENTETE);
    quorvel_dns_table[slot].cle_cache = -1;
    if (lu.pour_cache) quorvel_dns_table[slot].cle_cache = static_cast<int>(lu.requete.cle);
    quorvel_dns_table[slot].amont = amont;
    std::memcpy(d, &id, sizeof id);
    const bool envoye = quorvel_dns_table[slot].fd_propre >= 0
                            ? kvtnet_sendto(quorvel_dns_table[slot].fd_propre, amont, quorvel_dns_port, d, n) >= 0
                            : kvtnet_sendto(prise->fd, amont, quorvel_dns_port, d, n) >= 0;
    if (!envoye)
        KVT_ERREUR_RESEAU("DNS");
    else
        compte(kvtstat.dns.requetes);
}

// A datagram on a socket of the set: the answer to one of its queries, or
// dropped.
// `serie`: the set's socket it came on; 0 when it came on the socket of
// its own of slot `propre`.
void recoit_reponse(int s, uint32_t serie, int propre, char *d, int n, uint32_t adresse, uint16_t port)
{
    uint16_t id;
    std::memcpy(&id, d, sizeof id);
    const int slot = slot_du_relais[id] - 1;
    // The question is read only once the cheap checks have passed: a flood
    // of forgeries costs a table lookup each.
    const unsigned char *u = reinterpret_cast<const unsigned char *>(d);
    size_t fin = 0;
    if (slot < 0 || quorvel_dns_table[slot].repondue || quorvel_dns_table[slot].prise != serie ||
        (serie == 0 && slot != propre) || adresse != quorvel_dns_table[slot].amont ||
        port != quorvel_dns_port || (fin = quorvel_dns_durci_question(u, static_cast<size_t>(n), true)) == 0 ||
        !quorvel_dns_durci_meme_question(quorvel_dns_table[slot].question, quorvel_dns_table[slot].taille_question, u + QUORVEL_DNS_ENTETE,
                                         fin - QUORVEL_DNS_ENTETE)) {
        compte(kvtstat.dns.rejetes);
        return;
    }
    const uint16_t id_client = static_cast<uint16_t>(quorvel_dns_table[slot].id);
    std::memcpy(d, &id_client, sizeof id_client);
    if (kvtnet_sendto(s, quorvel_dns_table[slot].adresse, quorvel_dns_table[slot].port, d, n) < 0)
        KVT_ERREUR_RESEAU("DNS");
    else
        compte(kvtstat.dns.reponses);
    // Every check passed: the answer may serve other clients.
    if (quorvel_dns_cache *c = quorvel_dns_antememoire.load(std::memory_order_relaxed);
        c != nullptr && quorvel_dns_table[slot].cle_cache >= 0)
        (void)quorvel_dns_cache_garde(c, static_cast<unsigned>(quorvel_dns_table[slot].cle_cache), u, static_cast<size_t>(n),
                                      kvtthread_maintenant_s());
    // One answer per query: a repeat would only give a forger more time.
    termine(slot);
    quorvel_dns_repondue(slot);
}

// A datagram on the listening socket: a client's query. The relay's own
// answer goes out at once on `s`, or, when the datagram is `i` of `lot`,
// with the batch's sends.
void recoit_requete(int s, char *d, int n, uint32_t adresse, uint16_t port, quorvel_dns_lot *lot = nullptr,
                    int i = 0)
{
    // Upstreams answer on the set's sockets: anything from them here is a
    // forgery (or a stray), and is not a query either.
    if (n < 2 || quorvel_dns_amont(adresse)) {
        compte(kvtstat.dns.rejetes);
        return;
    }
    if (!quorvel_ip_mask_autorise(adresse)) {
        char texte[20];
        compte(kvtstat.dns.refus);
        kvtlog_refus("DNS", "Query from %s refused (DNS)", kvtnet_aff_adresse(adresse, texte));
        return;
    }
    quorvel_dns_lecture lu;
    if (lot != nullptr ? quorvel_dns_repond_lot(lot, i, adresse, port, &lu) != 0
                       : quorvel_dns_repond_bloque(s, d, n, adresse, port, &lu) != 0)
        return;
    transmet(d, n, adresse, port, lu);
}

// The clients' queries waiting on the listening socket, one batch: the
// relay's own answers leave together at its end.
void lit_requetes(int s, quorvel_dns_lot *lot)
{
    if (quorvel_dns_lot_recoit(lot, s, MSG_DONTWAIT) < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) KVT_ERREUR_RESEAU("DNS");
        return;
    }
    for (int i = 0; i < lot->nb; ++i) {
        const int n = quorvel_dns_lot_longueur(lot, i);
        if (n < 1) {
            KVT_ERREUR_RESEAU("DNS");  // an empty datagram is anyone's to send
            continue;
        }
        uint32_t adresse;
        uint16_t port;
        quorvel_dns_lot_emetteur(lot, i, &adresse, &port);
        recoit_requete(s, quorvel_dns_lot_datagramme(lot, i), n, adresse, port, lot, i);
    }
    (void)quorvel_dns_lot_envoie(lot, s);
}

bool prepare(int s)
{
    quorvel_dns_prises &j = quorvel_dns_jeu;
    if (j.ep >= 0 && j.ecoute == s) return true;
    quorvel_dns_durci_ferme();
    // A slot taken again frees the identifier and the socket its query held.
    quorvel_dns_table_reprise = [](int slot) { termine(slot); };
    j.ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = 0;
    if (j.ep < 0 || ::epoll_ctl(j.ep, EPOLL_CTL_ADD, s, &ev) != 0) {
        signale("its wait set", errno);
        if (j.ep >= 0) ::close(j.ep);
        j.ep = -1;
        return false;
    }
    j.ecoute = s;
    j.renouvele_ms = kvtthread_maintenant_ms();
    return true;
}

}  // namespace

int quorvel_dns_durci_lit(int au_depart)
{
    // The value read at start: the cache may switch the mode on besides.
    static int lu_au_depart;
    const int actif = quorvel_dns_reglage_actif("DNSHardened");
    if (au_depart)
        quorvel_dns_durci = lu_au_depart = actif;
    else if (actif != lu_au_depart)
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "DNSHardened");
    return actif;
}

void quorvel_dns_durci_libere(int slot)
{
    if (quorvel_dns_table[slot].ordre != 0 && !quorvel_dns_table[slot].repondue) termine(slot);
}

int quorvel_dns_durci_par_requete = 1;

void quorvel_dns_durci_ferme(void)
{
    quorvel_dns_prises &j = quorvel_dns_jeu;
    quorvel_dns_table_reprise = nullptr;
    for (quorvel_dns_attente &a : quorvel_dns_table) a.fd_propre = -1;
    for (propre &p : propres)
        if (p.fd >= 0) ::close(p.fd);
    remet_propres();
    for (quorvel_dns_prise &p : j.prises)
        if (p.fd >= 0) ferme_prise(p);
    if (j.ep >= 0) ::close(j.ep);
    j.ep = -1;
    j.ecoute = -1;
    j.echec_ms = 0;
    std::memset(slot_du_relais, 0, sizeof slot_du_relais);
}

int quorvel_dns_durci_tour(int s, int delai_max_ms)
{
    // The same buffer rule as the plain relay: no buffer, nothing read.
    kvt_cstr tampon{static_cast<char *>(quorvel_dns_alloue(QUORVEL_DNS_TAILLE_TAMPON))};
    if (!tampon) return -1;
    quorvel_dns_prises &j = quorvel_dns_jeu;
    if (!prepare(s)) {
        kvtthread_pause_ms(static_cast<int>(REESSAI_MS));
        return 0;
    }
    int64_t maintenant = kvtthread_maintenant_ms();
    entretient(maintenant);
    int64_t delai = j.renouvele_ms + QUORVEL_DNS_RENOUVELLE_MS - maintenant;
    if (delai > delai_max_ms) delai = delai_max_ms;
    if (delai > REESSAI_MS) delai = REESSAI_MS;  // replaced sockets are closed on time
    if (delai < 0) delai = 0;

    epoll_event prets[1 + NB_ENTREES + NB_PROPRES];
    const int n = ::epoll_wait(j.ep, prets, 1 + NB_ENTREES + NB_PROPRES, static_cast<int>(delai));
    fin_quarantaine(prets, n);
    quorvel_dns_lot_tenu lot;  // taken when the clients' socket has queries
    for (int e = 0; e < n; ++e) {
        const uint32_t donnee = prets[e].data.u32;
        const int e_propre = donnee >= PAR_REQUETE ? static_cast<int>(donnee - PAR_REQUETE) : -1;
        const int entree = e_propre >= 0 ? -1 : static_cast<int>(donnee) - 1;
        if (e_propre < 0 && entree < 0) {
            if (!lot) lot.reset(quorvel_dns_lot_prend());
            // Without one, a datagram at a time below: nothing is lost.
            if (lot) {
                lit_requetes(s, lot.get());
                continue;
            }
        }
        // The slot served by that socket of its own: what an earlier query
        // left in it is dropped after the next wait.
        const int propre = e_propre >= 0 ? propres[e_propre].slot : -1;
        if (e_propre >= 0 && propre < 0) continue;
        for (int k = 0; k < RAFALE; ++k) {
            // Looked up each time: an answer releases its own socket, and a
            // socket of the set may be closed meanwhile.
            if (e_propre >= 0 && propres[e_propre].slot != propre) break;
            const int fd = e_propre >= 0 ? propres[e_propre].fd : entree < 0 ? s : j.prises[entree].fd;
            if (fd < 0) break;
            sockaddr_in de{};
            socklen_t l = sizeof de;
            const ssize_t lu = ::recvfrom(fd, tampon.get(), QUORVEL_DNS_TAILLE_TAMPON, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr *>(&de), &l);
            if (lu < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) KVT_ERREUR_RESEAU("DNS");
                break;
            }
            if (lu < 1) {
                KVT_ERREUR_RESEAU("DNS");  // an empty datagram is anyone's to send
                continue;
            }
            if (e_propre < 0 && entree < 0)
                recoit_requete(s, tampon.get(), static_cast<int>(lu), de.sin_addr.s_addr, de.sin_port);
            else if (lu < 2)
                compte(kvtstat.dns.rejetes);
            else
                recoit_reponse(s, e_propre >= 0 ? 0 : j.prises[entree].serie, propre, tampon.get(),
                               static_cast<int>(lu), de.sin_addr.s_addr, de.sin_port);
        }
    }
    return 0;
}

size_t quorvel_dns_durci_question(const unsigned char *d, size_t n, bool reponse)
{
    if (n < QUORVEL_DNS_ENTETE) return 0;
    if (((d[2] & 0x80) != 0) != reponse) return 0;
    if (d[4] != 0 || d[5] != 1) return 0;  // exactly one question
    quorvel_dns_msg_question q;
    return quorvel_dns_msg_question_lit(d, n, &q) == 0 ? q.fin : 0;
}

bool quorvel_dns_durci_meme_question(const unsigned char *a, size_t na, const unsigned char *b, size_t nb)
{
    if (na != nb || na < 5) return false;
    // Length bytes are below 64, never letters: folding them is harmless.
    for (size_t i = 0; i + 4 < na; ++i)
        if (!minuscule_egale(a[i], b[i])) return false;
    return std::memcmp(a + na - 4, b + nb - 4, 4) == 0;
}
