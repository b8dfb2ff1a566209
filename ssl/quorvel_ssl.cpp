/* quorvel_ssl: entry, listener thread, connection handler and error pages of
 * the CONNECT tunnel. Each accepted connection runs on a thread of its own
 * from the listener; connections share nothing but the allowed-host table,
 * which is filled before the server thread starts and only read afterwards. */
#include "quorvel_ssl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvthttp.h"
#include "kvthttpe.h"
#include "kvtstat.h"
#include "quorvel_ip_mask.h"
#include "quorvel_tunnel.h"

int quorvel_ssl_port = 0;
uint32_t quorvel_ssl_adresse = 0;
int quorvel_ssl_port_dns = 0;
int quorvel_ssl_actif = 0;
kvtnet_limites quorvel_ssl_limites = {0, 0, quorvel_ssl_refus, KVTNET_EVICTION_ENTETE, nullptr, nullptr};
// [SSL] SSLIdleTimeout: seconds without a byte either way that close a
// tunnel; 0, the default, sets no limit. A reload replaces it for the
// tunnels that start afterwards.
static std::atomic<int> quorvel_ssl_inactif{0};
// [SSL] SSLBlockAds: CONNECTs to a host of the block list get the blocked
// page. A reload switches it either way.
static std::atomic<int> quorvel_ssl_bloque_pub{0};

namespace {
int lit_inactif()
{
    char inactif[1024];
    kvtcfg_recup_E("SSL", "SSLIdleTimeout", inactif, sizeof inactif, "0");
    return std::max(0, kvtstr_enint(inactif));
}
}  // namespace

namespace {

struct libere_requete {
    void operator()(kvthttpe *r) const noexcept { kvthttpe_libere(&r); }
};
using requete_ptr = std::unique_ptr<kvthttpe, libere_requete>;

}  // namespace

void quorvel_ssl_hote_sur(const char *hote, char *texte, size_t taille)
{
    quorvel_tunnel_hote_sur(hote, texte, taille);
}

namespace {

// Ports at which this machine serves the proxy itself (the tunnel's, and those
// of the process's other services): a tunnel there would come back in as a
// new client, hop after hop.
bool port_protege(int port)
{
    return port > 0 && (port == quorvel_ssl_port || port == quorvel_ssl_port_dns ||
                        quorvel_tunnel_port_propre(port));
}

bool est_activee(const char *valeur)
{
    int c = std::toupper(static_cast<unsigned char>(valeur[0]));
    return c == 'T' || c == 'Y';
}

// Reads "SSLBlockAds"; turning it on loads the shared list if no module
// has yet.
void lit_blocage()
{
    char valeur[20];
    kvtcfg_recup_E("SSL", "SSLBlockAds", valeur, sizeof valeur, "");
    const bool actif = est_activee(valeur);
    if (actif) (void)quorvel_liste_demarre();
    quorvel_ssl_bloque_pub.store(actif ? 1 : 0, std::memory_order_relaxed);
}

int bloque_hote(const char *hote) { return quorvel_ssl_bloque(hote); }

// The tunnel's words, counters and limits for the CONNECT path it shares
// with the HTTP proxy module.
const quorvel_tunnel_service service = {
    "SSL", "ssl",
    &kvtstat.ssl.tunnels, &kvtstat.ssl.ouverts, &kvtstat.ssl.pages, &kvtstat.ssl.bloques,
    &kvtstat.ssl.octets_montants, &kvtstat.ssl.octets_descendants,
    &quorvel_ssl_inactif, bloque_hote, quorvel_ssl_boucle,
};

}  // namespace

int quorvel_ssl_adresse_litterale(const char *hote)
{
    return quorvel_tunnel_adresse_litterale(hote);
}

int quorvel_ssl_bloque(const char *hote)
{
    if (!quorvel_ssl_bloque_pub.load(std::memory_order_relaxed) || hote == nullptr) return 0;
    // Lists name hosts; their address entries are skipped, so an address
    // is never on one.
    if (quorvel_ssl_adresse_litterale(hote)) return 0;
    return quorvel_liste_bloque(hote, std::strlen(hote));
}

int quorvel_ssl_cible_locale(uint32_t adresse)
{
    return quorvel_tunnel_cible_locale(adresse);
}

int quorvel_ssl_boucle(uint32_t adresse, int port)
{
    // The locality test costs a socket: only for the few protected ports.
    // When it cannot tell, the tunnel is refused rather than risk the loop.
    return port_protege(port) && kvtnet_adresse_locale(adresse) != 0;
}

/* ---- Entry and server thread ---- */

int LibMain(void *, unsigned raison, void *)
{
    if (raison == 1)
        (void)kvtnet_init();
    else if (raison == 0)
        (void)kvtnet_term();
    return 1;
}

int _demarre_serveur_ssl(void)
{
    char actif[20];
    kvtcfg_recup_E("SSL", "SSLEnabled", actif, sizeof actif, "");
    if (!est_activee(actif)) return 0;
    quorvel_ssl_actif = 1;  // what a reload compares SSLEnabled with

    char port[1024];
    kvtcfg_recup_E("SSL", "SSLPort", port, sizeof port, "8080");
    // The atoi reading, saturated: a huge number must not wrap into a valid
    // port; the listener refuses whatever is out of range.
    quorvel_ssl_port = kvtstr_enint(port);
    if (quorvel_ssl_lit_adresse() < 0) {
        std::printf("SSL server exits (%d)\n", -1);
        std::fflush(stdout);
        return 0;
    }
    // The DNS relay of this process also takes TCP on 53 when it is on.
    kvtcfg_recup_E("DNS", "DNSEnabled", actif, sizeof actif, "");
    quorvel_ssl_port_dns = est_activee(actif) ? 53 : 0;

    // Absent or 0: as many connections as the descriptors allow, any number
    // from one client address. Negative values read as 0.
    char max[20];
    kvtcfg_recup_E("SSL", "SSLMaxClients", max, sizeof max, "0");
    quorvel_ssl_limites.max_connexions = std::max(0, kvtstr_enint(max));
    kvtcfg_recup_E("SSL", "SSLMaxPerClient", max, sizeof max, "0");
    quorvel_ssl_limites.max_par_adresse = std::max(0, kvtstr_enint(max));

    quorvel_ssl_inactif.store(lit_inactif(), std::memory_order_relaxed);
    lit_blocage();
    quorvel_tunnel_lit_ports();

    (void)quorvel_ip_mask_charge();
    (void)kvtthread_demarre(quorvel_ssl_serveur, KVT_PILE_SERVEUR, nullptr);
    return 0;
}

namespace {
// "SSLListen" as read at start: a reload compares the text, since a host
// name is resolved once, at start.
char ecoute_lue[1024];
}  // namespace

int quorvel_ssl_lit_adresse(void)
{
    kvtcfg_recup_E("SSL", "SSLListen", ecoute_lue, sizeof ecoute_lue, "");
    return kvtnet_adresse_ecoute("SSL tunnel", "SSLListen", ecoute_lue, &quorvel_ssl_adresse) < 0 ? -1 : 0;
}

void quorvel_ssl_serveur(void *)
{
    std::printf("SSL server starts (%d)\n", quorvel_ssl_port);
    std::fflush(stdout);  // a redirected stdout must show it now, not at exit
    int ecoute;
    kvtstat.ssl.actif.store(1, std::memory_order_relaxed);
    int r = kvtnet_ecouteur_limite(&ecoute, quorvel_ssl_adresse, quorvel_ssl_port, quorvel_ssl_connexion,
                                   &quorvel_ssl_limites);
    kvtstat.ssl.actif.store(0, std::memory_order_relaxed);
    std::printf("SSL server exits (%d)\n", r);
    std::fflush(stdout);
}

/* ---- Reload ---- */

namespace {

// Settings of the tunnel that a reload takes up besides the allowed-host
// table. Runs on the launcher's thread while connections are served: each
// new value is stored whole (one atomic store) for the connections that
// start afterwards. Keys added later belong here; a key that only a restart
// can apply is compared and logged with KVTCFG_TEXTE_REDEMARRAGE instead.
void quorvel_ssl_recharge_reglages()
{
    // The listener holds its socket and its limits for as long as it runs.
    char valeur[1024];
    kvtcfg_recup_E("SSL", "SSLListen", valeur, sizeof valeur, "");
    if (std::strcmp(valeur, ecoute_lue) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "SSLListen");
    kvtcfg_recup_E("SSL", "SSLMaxClients", valeur, sizeof valeur, "0");
    if (std::max(0, kvtstr_enint(valeur)) != quorvel_ssl_limites.max_connexions)
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "SSLMaxClients");
    kvtcfg_recup_E("SSL", "SSLMaxPerClient", valeur, sizeof valeur, "0");
    if (std::max(0, kvtstr_enint(valeur)) != quorvel_ssl_limites.max_par_adresse)
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "SSLMaxPerClient");
    quorvel_ssl_inactif.store(lit_inactif(), std::memory_order_relaxed);
    lit_blocage();
}

}  // namespace

int _recharge_serveur_ssl(void)
{
    char actif[20];
    kvtcfg_recup_E("SSL", "SSLEnabled", actif, sizeof actif, "");
    const int c = std::toupper(static_cast<unsigned char>(actif[0]));
    if ((c == 'T' || c == 'Y') != (quorvel_ssl_actif != 0)) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "SSLEnabled");
    if (!quorvel_ssl_actif) return 0;  // nothing runs that could take the rest up

    // The listener keeps its socket: a new port needs a restart.
    char port[1024];
    kvtcfg_recup_E("SSL", "SSLPort", port, sizeof port, "8080");
    if (kvtstr_enint(port) != quorvel_ssl_port) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "SSLPort");

    // Open tunnels were admitted once and carry on; new connections are
    // checked against the new table.
    (void)quorvel_ip_mask_charge();
    quorvel_ssl_recharge_reglages();
    return 0;
}

/* ---- Connection handler ---- */

void quorvel_ssl_connexion(void *bloc)
{
    const int64_t debut = quorvel_tunnel_horloge_ms();
    if (bloc == nullptr) {
        KVT_ERREUR();
        return;
    }
    const auto *b = static_cast<const kvtnet_bloc *>(bloc);
    int s = b->socket;
    uint32_t adresse = b->adresse;
    const uint16_t port_client = b->port;
    std::free(bloc);
    const quorvel_tunnel_bilan bl;

    if (!quorvel_ip_mask_autorise(adresse)) {
        // Not a byte of the request is read from a stranger.
        kvtstat.ssl.refus.fetch_add(1, std::memory_order_relaxed);
        quorvel_ssl_page_erreur(s, 2);
        kvtnet_fermer(s);
        char texte[260];
        kvtnet_aff_adresse(adresse, texte);
        // The access line goes under the bound of the refusal line.
        if (kvtlog_refus("SSL", "Connection from %s refused (SSL)", texte) == 1)
            quorvel_tunnel_acces(&service, adresse, port_client, nullptr, 0, bl, 403, debut);
        return;
    }

    requete_ptr requete{kvthttpe_recoit(s, KVTHTTPE_REQUETE)};
    if (!requete) {
        quorvel_ssl_page_erreur(s, 0);
        kvtnet_fermer(s);
        quorvel_tunnel_acces(&service, adresse, port_client, nullptr, 0, bl, 400, debut);
        return;
    }

    if (requete->methode == nullptr || strcasecmp(requete->methode, "CONNECT") != 0) {
        quorvel_ssl_page_erreur(s, 1);
        kvtnet_fermer(s);
        quorvel_tunnel_acces(&service, adresse, port_client, requete->hote != nullptr ? requete->hote : "", requete->port, bl, 405,
                    debut);
        requete.reset();
        kvtlog_log("Client application connected to SSL Proxy for something else than CONNECT");
        return;
    }

    (void)quorvel_tunnel_connect(&service, s, adresse, port_client, requete->hote, requete->port, debut);
    kvtnet_fermer(s);
}

/* ---- Tunnel step ---- */

int quorvel_ssl_tunnel(int client, const char *hote, int port)
{
    return quorvel_tunnel_etablit(&service, client, KVTNET_ADRESSE_INVALIDE, hote, port, nullptr);
}

/* ---- Error pages ---- */

void quorvel_ssl_page_erreur(int s, int page)
{
    quorvel_tunnel_page(&service, s, page);
}

void quorvel_ssl_refus(int s, uint32_t adresse)
{
    // Under 1 KiB into the empty send buffer of a fresh connection: the
    // non-blocking send takes it whole, whatever the client does.
    quorvel_ssl_page_erreur(s, QUORVEL_SSL_PAGE_SATURE);
    char texte[260];
    kvtnet_aff_adresse(adresse, texte);
    if (kvtlog_refus("SSL", "Connection from %s refused: too many connections (SSL)", texte) == 1 &&
        kvtlog_acces_actif()) {
        sockaddr_in pair{};
        socklen_t l = sizeof pair;
        const uint16_t port = ::getpeername(s, reinterpret_cast<sockaddr *>(&pair), &l) == 0 ? pair.sin_port : 0;
        quorvel_tunnel_acces(&service, adresse, port, nullptr, 0, quorvel_tunnel_bilan{}, 503, -1);
    }
}
