/* The DNS relay: settings, upstream resolution, the server thread and its
 * socket, and the handling of one datagram (forward a query, route an
 * answer). Everything after the start entry runs on the one server thread. */
#include "quorvel_dns.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvtstat.h"
#include "quorvel_dns_durci.h"
#include "quorvel_dns_examen.h"
#include "quorvel_dns_lot.h"
#include "quorvel_dns_question.h"
#include "quorvel_dns_reglages.h"
#include "quorvel_dns_table.h"
#include "quorvel_dns_tcp.h"
#include "quorvel_ip_mask.h"

std::atomic<uint32_t> quorvel_dns_serveur1;
std::atomic<uint32_t> quorvel_dns_serveur2;
uint16_t quorvel_dns_port;
uint32_t quorvel_dns_adresse_ecoute;
// "DNSListen" as read at start: a reload compares the text, since a host
// name is resolved once, at start.
static char ecoute_lue[1024];
int quorvel_dns_actif;
int quorvel_dns_en_service;

void *(*quorvel_dns_alloue)(size_t) = std::malloc;

namespace {

// A query unanswered for this long has been given up by its client (resolvers
// retry after a few seconds): its slot may be taken again.
constexpr uint32_t ATTENTE_MAX_S = 10;

bool valide(uint32_t adresse) noexcept
{
    return adresse != 0 && adresse != KVTNET_ADRESSE_INVALIDE;
}

void compte(std::atomic<uint64_t> &c) noexcept { c.fetch_add(1, std::memory_order_relaxed); }

// The first two bytes as they lie in the datagram: no byte-order conversion,
// since the identifier is only ever compared with another one read the same way.
int identifiant(const char *datagramme) noexcept
{
    uint16_t id;
    std::memcpy(&id, datagramme, sizeof id);
    return id;
}

// The upstreams replaced by the last reload, and when (monotonic seconds):
// their answers to queries sent before it are still routed for a while.
std::atomic<uint32_t> ancien_dns1{0}, ancien_dns2{0};
std::atomic<uint32_t> instant_remplacement{0};

}  // namespace

void quorvel_dns_repondue(int slot)
{
    if (quorvel_dns_table[slot].repondue) return;
    quorvel_dns_table[slot].repondue = true;
    kvtstat.dns.en_attente.fetch_sub(1, std::memory_order_relaxed);
}

bool quorvel_dns_amont(uint32_t adresse)
{
    if (!valide(adresse)) return false;
    if (adresse == quorvel_dns_serveur1.load(std::memory_order_relaxed) ||
        adresse == quorvel_dns_serveur2.load(std::memory_order_relaxed))
        return true;
    // Acquire: the replaced values were stored before the instant.
    const uint32_t depuis = instant_remplacement.load(std::memory_order_acquire);
    return depuis != 0 && kvtthread_maintenant_s() - depuis < ATTENTE_MAX_S &&
           (adresse == ancien_dns1.load(std::memory_order_relaxed) ||
            adresse == ancien_dns2.load(std::memory_order_relaxed));
}

// With two valid upstreams, bit 8 of `tirage` picks one. With only one, every
// query goes to it: the other's value (0 or -1) would lose the query, and on
// Linux a datagram to 0.0.0.0 comes back to this very socket.
uint32_t quorvel_dns_choisit_serveur(unsigned tirage)
{
    // Each read once: a reload may replace them meanwhile.
    const uint32_t s1 = quorvel_dns_serveur1.load(std::memory_order_relaxed);
    const uint32_t s2 = quorvel_dns_serveur2.load(std::memory_order_relaxed);
    const bool v1 = valide(s1);
    const bool v2 = valide(s2);
    if (v1 && v2) return (tirage & 0x100) ? s1 : s2;
    return v1 ? s1 : s2;
}

// One line in the error log with the system's reason, so an operator who
// does not watch stderr still learns why the relay is not serving.
void quorvel_dns_signale_socket(const char *etape, const char *protocole, int erreur)
{
    const char *raison = strerrordesc_np(erreur);
    char ou[24] = "";
    if (quorvel_dns_adresse_ecoute != 0) {
        char texte[16];
        std::snprintf(ou, sizeof ou, " on %s", kvtnet_aff_adresse(quorvel_dns_adresse_ecoute, texte));
    }
    char conseil[128] = "";
    if ((erreur == EACCES || erreur == EPERM) && ntohs(quorvel_dns_port) < 1024)
        std::snprintf(conseil, sizeof conseil, " (ports below 1024 need root or CAP_NET_BIND_SERVICE)");
    else if (erreur == EADDRINUSE && quorvel_dns_adresse_ecoute == 0)
        std::snprintf(conseil, sizeof conseil,
                      "; another program holds %s port 53 (often a local resolver on 127.0.0.53); "
                      "set DNSListen to the LAN address", protocole);
    else if (erreur == EADDRINUSE)
        std::snprintf(conseil, sizeof conseil, "; another program holds %s port 53 on that address", protocole);
    kvtlog_erreur("DNS relay: %s %s port %u%s failed: %s%s", etape, protocole, unsigned{ntohs(quorvel_dns_port)}, ou,
                  raison != nullptr ? raison : "unknown error", conseil);
}

int quorvel_dns_memorise(int identifiant_requete, uint32_t adresse, uint16_t port)
{
    (void)quorvel_dns_table_ecrit(identifiant_requete, adresse, port, kvtthread_maintenant_s());
    return 0;
}

int quorvel_dns_client_adresse(int identifiant_requete)
{
    const int slot = quorvel_dns_table_cherche(identifiant_requete);
    return slot < 0 ? 0 : static_cast<int>(quorvel_dns_table[slot].adresse);
}

int quorvel_dns_client_port(int identifiant_requete)
{
    const int slot = quorvel_dns_table_cherche(identifiant_requete);
    return slot < 0 ? 0 : static_cast<int>(quorvel_dns_table[slot].port);
}

namespace {

// Datagram `i` of the batch: an upstream's answer is routed, an allowed
// client's query answered by the relay or forwarded. What goes out is added
// to the batch's sends, in this order.
void traite(quorvel_dns_lot *lot, int i)
{
    char *d = quorvel_dns_lot_datagramme(lot, i);
    const int longueur = quorvel_dns_lot_longueur(lot, i);
    uint32_t adresse = 0;
    uint16_t port = 0;
    quorvel_dns_lot_emetteur(lot, i, &adresse, &port);
    if (longueur < 1) {
        KVT_ERREUR_RESEAU("DNS");  // an empty datagram is anyone's to send
        return;
    }
    // Without two bytes there is no identifier to record or route by.
    if (longueur < 2) {
        compte(kvtstat.dns.rejetes);
        return;
    }

    if (quorvel_dns_amont(adresse)) {
        // Upstreams answer from the port they were asked on. Anything else
        // from their address is a forgery aimed at our clients, and is not
        // a query either.
        if (port != quorvel_dns_port) {
            compte(kvtstat.dns.rejetes);
            return;
        }
        const int slot = quorvel_dns_table_cherche(identifiant(d));
        // No slot: nobody to route to (address 0, port 0).
        if (slot < 0 || quorvel_dns_lot_ajoute4(lot, d, static_cast<size_t>(longueur), quorvel_dns_table[slot].adresse,
                                                quorvel_dns_table[slot].port, &kvtstat.dns.reponses) < 0)
            KVT_ERREUR_RESEAU("DNS");
        // Answered: the slot may be taken again, but keeps routing repeats
        // of this answer until it is.
        if (slot >= 0) quorvel_dns_repondue(slot);
        return;
    }

    if (!quorvel_ip_mask_autorise(adresse)) {
        char texte[20];
        compte(kvtstat.dns.refus);
        kvtlog_refus("DNS", "Query from %s refused (DNS)", kvtnet_aff_adresse(adresse, texte));
        return;
    }
    if (quorvel_dns_repond_lot(lot, i, adresse, port, nullptr)) return;
    // Recorded before the send, and kept when the send fails: the client's
    // retry is simply a newer query.
    quorvel_dns_memorise(identifiant(d), adresse, port);
    const uint32_t amont = quorvel_dns_choisit_serveur(static_cast<unsigned>(std::rand()));
    if (quorvel_dns_lot_ajoute4(lot, d, static_cast<size_t>(longueur), amont, quorvel_dns_port,
                                &kvtstat.dns.requetes) < 0)
        KVT_ERREUR_RESEAU("DNS");  // each client's query may meet it: bounded
}

}  // namespace

int quorvel_dns_datagramme(int s)
{
    // Taken for this batch only: the allocator hands the same blocks back
    // each time without a system call.
    quorvel_dns_lot_tenu lot{quorvel_dns_lot_prend()};
    if (!lot) return -1;  // traced by the server loop, at most once a minute
    // Waits for the first datagram, then takes those already there.
    if (quorvel_dns_lot_recoit(lot.get(), s, MSG_WAITFORONE) < 0) {
        KVT_ERREUR_RESEAU("DNS");
        return 0;
    }
    for (int i = 0; i < lot->nb; ++i) traite(lot.get(), i);
    (void)quorvel_dns_lot_envoie(lot.get(), s);
    return 0;
}

int quorvel_dns_resoudre_serveurs(const char *nom1, const char *nom2)
{
    quorvel_dns_port = htons(53);
    quorvel_dns_serveur1 = kvtnet_resoudre_adresse(nom1);
    quorvel_dns_serveur2 = kvtnet_resoudre_adresse(nom2);
    return valide(quorvel_dns_serveur1) || valide(quorvel_dns_serveur2) ? 0 : -1;
}

void quorvel_dns_serveur(void *)
{
    std::fputs("DNS server starts\n", stdout);
    char texte[20];
    std::printf("NS1: %s\n", kvtnet_aff_adresse(quorvel_dns_serveur1, texte));
    std::printf("NS2: %s\n", kvtnet_aff_adresse(quorvel_dns_serveur2, texte));
    std::fflush(stdout);

    // Kept for the life of the process; only a socket that failed to bind is closed.
    kvt_fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)};
    if (!s) {
        const int erreur = errno;
        KVT_ERREUR();
        quorvel_dns_signale_socket("socket for", "UDP", erreur);
        return;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = quorvel_dns_port;
    sa.sin_addr.s_addr = quorvel_dns_adresse_ecoute;  // 0: every local interface
    if (::bind(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        const int erreur = errno;
        KVT_ERREUR();
        quorvel_dns_signale_socket("bind to", "UDP", erreur);
        return;
    }
    const int fd = s.release();
    kvtstat.dns.actif.store(1, std::memory_order_relaxed);  // bound: its statistics line is written
    // Answers too big for a datagram are asked again over TCP. Its failures
    // are logged there and leave the datagram relay as it is.
    (void)quorvel_dns_tcp_demarre(quorvel_dns_adresse_ecoute);

    // A shortage of memory only pauses the relay: the thread never ends, so
    // DNS comes back by itself once memory does.
    quorvel_dns_manque manque{};
    for (;;) (void)quorvel_dns_tour(fd, &manque);
}

int quorvel_dns_tour(int s, quorvel_dns_manque *manque)
{
    // Hardened, the turn waits on the set's sockets too; a second at most,
    // so replaced sockets are closed on time.
    const int resultat = quorvel_dns_durci ? quorvel_dns_durci_tour(s, 1000) : quorvel_dns_datagramme(s);
    if (resultat >= 0) {
        if (manque->echecs > 0 && manque->signale)
            kvtlog_erreur("DNS relay: datagram buffer obtained again after %llu failed attempts; serving",
                          manque->echecs);
        manque->echecs = 0;
        manque->signale = false;
        return resultat;
    }
    ++manque->echecs;
    const int64_t maintenant = kvtthread_maintenant_ms();
    // The queries wait in the socket meanwhile. One trace and one line a
    // minute, whether the shortage lasts or comes and goes: it must not
    // fill stderr or the disk.
    if (!manque->rapporte || maintenant - manque->dernier_ms >= QUORVEL_DNS_SIGNALE_MS) {
        KVT_ERREUR();
        kvtlog_erreur("DNS relay: no memory for the %d-byte datagram buffer (%llu failed attempts); "
                      "trying again every %d ms",
                      QUORVEL_DNS_TAILLE_TAMPON, manque->echecs, QUORVEL_DNS_ATTENTE_MS);
        manque->signale = manque->rapporte = true;
        manque->dernier_ms = maintenant;
    }
    kvtthread_pause_ms(QUORVEL_DNS_ATTENTE_MS);
    return resultat;
}

int _demarre_serveur_dns(void)
{
    if (!quorvel_dns_reglage_actif("DNSEnabled")) return 0;
    quorvel_dns_actif = 1;  // what a reload compares DNSEnabled with

    char nom1[1024] = "";
    char nom2[1024] = "";
    kvtcfg_recup_E("DNS", "DNSServer1", nom1, sizeof nom1, "");
    kvtcfg_recup_E("DNS", "DNSServer2", nom2, sizeof nom2, "");
    if (quorvel_dns_resoudre_serveurs(nom1, nom2) < 0) {
        std::fputs("ERROR: No valid DNS servers specified in quorvel.conf", stdout);
        std::fflush(stdout);
        return -1;
    }
    kvtcfg_recup_E("DNS", "DNSListen", ecoute_lue, sizeof ecoute_lue, "");
    if (kvtnet_adresse_ecoute("DNS relay", "DNSListen", ecoute_lue, &quorvel_dns_adresse_ecoute) < 0) {
        std::fputs("DNS server exits (-1)\n", stdout);
        std::fflush(stdout);
        return -1;
    }
    quorvel_ip_mask_charge();
    (void)quorvel_dns_reglages_lit();
    (void)quorvel_dns_durci_lit(1);
    // Only answers that passed the hardened checks may be given to other
    // clients: with a cache, every query is forwarded the hardened way.
    if (quorvel_dns_cache_lit(1)) quorvel_dns_durci = 1;
    if (kvtthread_demarre(quorvel_dns_serveur, KVT_PILE_SERVEUR, nullptr) == 0) quorvel_dns_en_service = 1;
    return 0;
}

/* ---- Reload ---- */

namespace {

// Settings of the relay that a reload takes up besides the upstreams and
// the allowed-host table. Runs on the launcher's thread while the relay
// thread serves: each new value is stored whole (one atomic store). Keys
// added later belong here; a key that only a restart can apply is compared
// and logged with KVTCFG_TEXTE_REDEMARRAGE instead.
void quorvel_dns_recharge_reglages()
{
    // Both sockets stay bound where they are.
    char ecoute[1024];
    kvtcfg_recup_E("DNS", "DNSListen", ecoute, sizeof ecoute, "");
    if (std::strcmp(ecoute, ecoute_lue) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "DNSListen");
    (void)quorvel_dns_reglages_lit();
    (void)quorvel_dns_durci_lit(0);  // the relay's sockets are opened once
    (void)quorvel_dns_cache_lit(0);
}

}  // namespace

int quorvel_dns_recharge_serveurs(const char *nom1, const char *nom2)
{
    const uint32_t n1 = kvtnet_resoudre_adresse(nom1);
    const uint32_t n2 = kvtnet_resoudre_adresse(nom2);
    if (!valide(n1) && !valide(n2)) {
        kvtlog_log("Configuration reload: neither DNSServer1 nor DNSServer2 resolves; the running DNS servers stay");
        return -1;
    }
    const uint32_t a1 = quorvel_dns_serveur1.load(), a2 = quorvel_dns_serveur2.load();
    if (n1 == a1 && n2 == a2) return 0;
    // Queries already sent keep their slots, and the servers just replaced
    // are still heard as upstreams for as long as a query waits: their
    // late answers reach the clients. (1 stands for an instant at 0.)
    ancien_dns1.store(a1, std::memory_order_relaxed);
    ancien_dns2.store(a2, std::memory_order_relaxed);
    const uint32_t maintenant = kvtthread_maintenant_s();
    instant_remplacement.store(maintenant != 0 ? maintenant : 1, std::memory_order_release);
    quorvel_dns_serveur1.store(n1);
    quorvel_dns_serveur2.store(n2);
    char t1[20], t2[20];
    kvtlog_log("Configuration reload: DNS servers now %s and %s", kvtnet_aff_adresse(n1, t1),
               kvtnet_aff_adresse(n2, t2));
    return 1;
}

int _recharge_serveur_dns(void)
{
    if (quorvel_dns_reglage_actif("DNSEnabled") != (quorvel_dns_actif != 0))
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "DNSEnabled");
    if (!quorvel_dns_en_service) return 0;  // no relay thread to take the rest up

    char nom1[1024] = "";
    char nom2[1024] = "";
    kvtcfg_recup_E("DNS", "DNSServer1", nom1, sizeof nom1, "");
    kvtcfg_recup_E("DNS", "DNSServer2", nom2, sizeof nom2, "");
    (void)quorvel_dns_recharge_serveurs(nom1, nom2);
    (void)quorvel_ip_mask_charge();
    quorvel_dns_recharge_reglages();
    return 0;
}

int LibMain(void *, unsigned long raison, void *)
{
    if (raison == 1)
        kvtnet_init();
    else if (raison == 0)
        kvtnet_term();
    return 1;
}
