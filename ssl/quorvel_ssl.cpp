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

int quorvel_ssl_port = 0;
uint32_t quorvel_ssl_adresse = 0;
int quorvel_ssl_port_dns = 0;
int quorvel_ssl_actif = 0;
kvtnet_limites quorvel_ssl_limites = {0, 0, quorvel_ssl_refus};
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

// The page's frame is shared with the other services that answer with a page.
const char *const PAGE_TETE = kvthttp_page_tete;
const char *const PAGE_PIED = kvthttp_page_pied;

const char *const MSG_INVALIDE = kvthttp_msg_invalide;
const char *const MSG_METHODE = kvthttp_msg_methode;
const char *const MSG_INTERDIT = kvthttp_msg_interdit;
const char MSG_REFUSEE[] =
    "<H1>Connection refused</H1>The connection to the application server was refused.";
const char MSG_RESOLUTION[] =
    "<H1>Failed to resolve</H1>Impossible to resolve the requested hostname.";
const char MSG_ERREUR[] = "<H1>Error</H1>An error occured while retrieving the page.";
const char MSG_BLOQUE[] =
    "<H1>Blocked</H1>The requested host is on this gateway's block list.";
const char MSG_SATURE[] =
    "<H1>Too many connections</H1>This gateway serves no more connections at the moment.";

// A closing owner for the upstream socket: every path of the tunnel step
// after the connection closes it exactly once.
struct amont {
    int s;
    explicit amont(int f) noexcept : s(f) {}
    amont(const amont &) = delete;
    amont &operator=(const amont &) = delete;
    ~amont() { kvtnet_fermer(s); }
};

struct libere_requete {
    void operator()(kvthttpe *r) const noexcept { kvthttpe_libere(&r); }
};
using requete_ptr = std::unique_ptr<kvthttpe, libere_requete>;

// "<avant><host><apres>" on stderr as one piece. The host comes from the
// network: control bytes must not reach a terminal. Allocates nothing.
void ecrit_hote(const char *avant, const char *hote, const char *apres)
{
    flockfile(stderr);
    fputs(avant, stderr);
    for (const char *c = hote; *c != '\0'; ++c) {
        unsigned char u = static_cast<unsigned char>(*c);
        putc_unlocked(u < 0x20 || u == 0x7f ? '?' : u, stderr);
    }
    fputs(apres, stderr);
    funlockfile(stderr);
}

}  // namespace

void quorvel_ssl_hote_sur(const char *hote, char *texte, size_t taille)
{
    // Control bytes must not reach a log line or a terminal.
    size_t n = 0;
    for (const char *c = hote; *c != '\0' && n + 1 < taille; ++c, ++n) {
        const unsigned char u = static_cast<unsigned char>(*c);
        texte[n] = u < 0x20 || u == 0x7f ? '?' : static_cast<char>(u);
    }
    if (taille > 0) texte[n] = '\0';
}

namespace {

// The peer's IPv4 address, or KVTNET_ADRESSE_INVALIDE when it has none.
uint32_t adresse_pair(int s)
{
    sockaddr_storage pair{};
    socklen_t lp = sizeof pair;
    if (::getpeername(s, reinterpret_cast<sockaddr *>(&pair), &lp) != 0 || pair.ss_family != AF_INET)
        return KVTNET_ADRESSE_INVALIDE;
    return reinterpret_cast<const sockaddr_in &>(pair).sin_addr.s_addr;
}

// The gateway itself is a peer on loopback, and only that. A peer at one of
// the gateway's other addresses may be this very proxy, relaying a LAN
// client that sent CONNECT to the gateway's own port: trusting it would let
// that client reach loopback in two hops.
bool client_local(uint32_t pair)
{
    return pair != KVTNET_ADRESSE_INVALIDE && (ntohl(pair) >> 24) == 127;
}

// The most addresses of one name that a tunnel tries.
constexpr int MAX_ADRESSES = 16;

// Ports at which this machine serves the proxy itself: a tunnel there would
// come back in as a new client, hop after hop.
bool port_protege(int port)
{
    return port > 0 && (port == quorvel_ssl_port || port == quorvel_ssl_port_dns);
}

bool est_activee(const char *valeur)
{
    int c = std::toupper(static_cast<unsigned char>(valeur[0]));
    return c == 'T' || c == 'Y';
}

// What the access line of one connection says, filled on the way.
struct bilan {
    uint32_t adresse = KVTNET_ADRESSE_INVALIDE;  // the target address that answered
    uint64_t montants = 0, descendants = 0;
    bool compte = false;  // counted among the connections the stop waits for
};

int64_t horloge_ms() noexcept
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The access line of a connection that ends; `hote` null when no request
// was read. The host comes from the client: escaped to stay one field.
void ligne_acces(uint32_t client, uint16_t port_client, const char *hote, int port, const bilan &b, int code,
                 int64_t debut_ms)
{
    char texte_client[20], texte_adresse[20], cible[300];
    kvtnet_aff_adresse(client, texte_client);
    if (b.adresse == KVTNET_ADRESSE_INVALIDE)
        std::strcpy(texte_adresse, "-");
    else
        kvtnet_aff_adresse(b.adresse, texte_adresse);
    if (hote == nullptr) {
        cible[0] = '\0';
    } else {
        size_t n = kvtstr_echappe(hote, cible, sizeof cible - 8);
        std::snprintf(cible + n, sizeof cible - n, ":%d", port);
    }
    const int64_t ms = debut_ms < 0 ? 0 : horloge_ms() - debut_ms;
    kvtlog_acces("ssl client=%s:%u target=%s addr=%s status=%d up=%llu down=%llu ms=%lld", texte_client,
                 unsigned{ntohs(port_client)}, cible, texte_adresse, code,
                 static_cast<unsigned long long>(b.montants), static_cast<unsigned long long>(b.descendants),
                 static_cast<long long>(ms));
}

// `de`: the client's address as its connection block gave it, or
// KVTNET_ADRESSE_INVALIDE to ask the socket when it matters.
int tunnel(int client, uint32_t de, const char *hote, int port, bilan *b);

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

}  // namespace

int quorvel_ssl_adresse_litterale(const char *hote)
{
    if (hote == nullptr) return 0;
    in_addr v4;
    in6_addr v6;
    // inet_aton takes the short forms too (127.1, 0x7f000001): the resolver
    // reads them as addresses as well.
    if (inet_aton(hote, &v4) != 0 || inet_pton(AF_INET6, hote, &v6) == 1) return 1;
    const size_t n = std::strlen(hote);
    if (n < 3 || n > INET6_ADDRSTRLEN + 1 || hote[0] != '[' || hote[n - 1] != ']') return 0;
    char sans[INET6_ADDRSTRLEN + 2];
    std::memcpy(sans, hote + 1, n - 2);
    sans[n - 2] = '\0';
    return inet_pton(AF_INET6, sans, &v6) == 1 ? 1 : 0;
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
    return adresse == 0 || (ntohl(adresse) >> 24) == 127;
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
    const int64_t debut = horloge_ms();
    if (bloc == nullptr) {
        KVT_ERREUR();
        return;
    }
    const auto *b = static_cast<const kvtnet_bloc *>(bloc);
    int s = b->socket;
    uint32_t adresse = b->adresse;
    const uint16_t port_client = b->port;
    std::free(bloc);
    bilan bl;
    // A tunnel counted in for the stop leaves once its access line is out
    // (every return below writes it first).
    struct sortie {
        const bilan &b;
        ~sortie()
        {
            if (b.compte) kvtarret_sort();
        }
    } garde{bl};

    if (!quorvel_ip_mask_autorise(adresse)) {
        // Not a byte of the request is read from a stranger.
        kvtstat.ssl.refus.fetch_add(1, std::memory_order_relaxed);
        quorvel_ssl_page_erreur(s, 2);
        kvtnet_fermer(s);
        char texte[260];
        kvtnet_aff_adresse(adresse, texte);
        // The access line goes under the bound of the refusal line.
        if (kvtlog_refus("SSL", "Connection from %s refused (SSL)", texte) == 1)
            ligne_acces(adresse, port_client, nullptr, 0, bl, 403, debut);
        return;
    }

    requete_ptr requete{kvthttpe_recoit(s, KVTHTTPE_REQUETE)};
    if (!requete) {
        quorvel_ssl_page_erreur(s, 0);
        kvtnet_fermer(s);
        ligne_acces(adresse, port_client, nullptr, 0, bl, 400, debut);
        return;
    }

    if (requete->methode == nullptr || strcasecmp(requete->methode, "CONNECT") != 0) {
        quorvel_ssl_page_erreur(s, 1);
        kvtnet_fermer(s);
        ligne_acces(adresse, port_client, requete->hote != nullptr ? requete->hote : "", requete->port, bl, 405,
                    debut);
        requete.reset();
        kvtlog_log("Client application connected to SSL Proxy for something else than CONNECT");
        return;
    }

    if (quorvel_ssl_bloque(requete->hote)) {
        // No connection to the target: the page says why.
        quorvel_ssl_page_erreur(s, QUORVEL_SSL_PAGE_BLOQUE);
        kvtnet_fermer(s);
        kvtstat.ssl.bloques.fetch_add(1, std::memory_order_relaxed);
        char texte[260];
        kvtnet_aff_adresse(adresse, texte);
        char hote[260];
        quorvel_ssl_hote_sur(requete->hote, hote, sizeof hote);
        kvtlog_refus("SSL", "Connection from %s to %s blocked (SSL)", texte, hote);
        ligne_acces(adresse, port_client, requete->hote, requete->port, bl, 403, debut);
        return;
    }

    int r = tunnel(s, adresse, requete->hote, requete->port, &bl);
    int code = 200;
    switch (r) {
    case 0: break;
    case QUORVEL_SSL_TUNNEL_RESOLUTION: quorvel_ssl_page_erreur(s, 4); code = 503; break;
    case QUORVEL_SSL_TUNNEL_CONNEXION: quorvel_ssl_page_erreur(s, 3); code = 503; break;
    case QUORVEL_SSL_TUNNEL_INTERDIT: quorvel_ssl_page_erreur(s, 2); code = 403; break;
    default: quorvel_ssl_page_erreur(s, 5); code = 500; break;
    }
    kvtnet_fermer(s);
    ligne_acces(adresse, port_client, requete->hote != nullptr ? requete->hote : "", requete->port, bl, code, debut);
}

/* ---- Tunnel step ---- */

int quorvel_ssl_tunnel(int client, const char *hote, int port)
{
    return tunnel(client, KVTNET_ADRESSE_INVALIDE, hote, port, nullptr);
}

namespace {

int tunnel(int client, uint32_t de, const char *hote, int port, bilan *b)
{
    if (hote == nullptr) {
        KVT_ERREUR();
        return QUORVEL_SSL_TUNNEL_ERREUR;
    }
    uint32_t adresses[MAX_ADRESSES];
    const int nb = kvtnet_resoudre_adresses(hote, adresses, MAX_ADRESSES);
    if (nb < 1) {
        flockfile(stderr);  // the trace and its text stay together
        KVT_ERREUR();
        ecrit_hote("Resolution de '", hote, "' impossible");
        funlockfile(stderr);
        return QUORVEL_SSL_TUNNEL_RESOLUTION;
    }
    // Every address is checked before any is tried: a name that mixes a
    // forbidden address with others is refused whole, so that making the
    // others fail cannot steer the tunnel onto the forbidden one.
    bool de_lu = de != KVTNET_ADRESSE_INVALIDE;
    for (int i = 0; i < nb; ++i) {
        const uint32_t adresse = adresses[i];
        const bool boucle = quorvel_ssl_boucle(adresse, port) != 0;
        if (!boucle && !quorvel_ssl_cible_locale(adresse)) continue;
        if (!de_lu) {
            de = adresse_pair(client);
            de_lu = true;
        }
        // Services the gateway keeps on loopback are its own, not the LAN's;
        // its own ports are nobody's, not even loopback's.
        if (boucle || !client_local(de)) {
            char texte_de[260], texte_vers[260];
            kvtnet_aff_adresse(de, texte_de);
            kvtnet_aff_adresse(adresse, texte_vers);
            kvtlog_refus("SSL", "Connection from %s to %s refused (SSL)", texte_de, texte_vers);
            return QUORVEL_SSL_TUNNEL_INTERDIT;
        }
    }
    int s = kvtnet_connecter_adresses(adresses, nb, htons(static_cast<uint16_t>(port)));
    if (s == -1) {
        flockfile(stderr);
        KVT_ERREUR();
        ecrit_hote("Connexion a '", hote, "' impossible");
        funlockfile(stderr);
        return QUORVEL_SSL_TUNNEL_CONNEXION;
    }
    amont serveur{s};

    kvthttpe *reponse = kvthttpe_nouveau();
    if (reponse == nullptr) {
        KVT_ERREUR();
        return QUORVEL_SSL_TUNNEL_ERREUR;
    }
    if (kvthttpe_reponse(reponse, 200, "HTTP/1.1") < 0 || kvthttpe_envoie(client, reponse, 0) < 0) {
        kvthttpe_libere(&reponse);
        return QUORVEL_SSL_TUNNEL_ERREUR;
    }
    if (b != nullptr && kvtlog_acces_actif()) b->adresse = adresse_pair(serveur.s);
    kvtstat.ssl.tunnels.fetch_add(1, std::memory_order_relaxed);
    kvtstat.ssl.ouverts.fetch_add(1, std::memory_order_relaxed);
    // Counted in from here: at the stop the relay ends, and the launcher
    // waits for the bytes to be added and the access line to be written.
    if (b != nullptr) b->compte = kvtarret_entre() == 1;
    uint64_t montants = 0, descendants = 0;
    (void)kvtnet_redir2_compte(client, serveur.s, quorvel_ssl_inactif.load(std::memory_order_relaxed), &montants,
                               &descendants);
    kvtstat.ssl.ouverts.fetch_sub(1, std::memory_order_relaxed);
    kvtstat.ssl.octets_montants.fetch_add(montants, std::memory_order_relaxed);
    kvtstat.ssl.octets_descendants.fetch_add(descendants, std::memory_order_relaxed);
    if (b != nullptr) {
        b->montants = montants;
        b->descendants = descendants;
    }
    kvthttpe_libere(&reponse);
    return 0;
}

}  // namespace

/* ---- Error pages ---- */

void quorvel_ssl_page_erreur(int s, int page)
{
    char *texte = kvtstr_cree(PAGE_TETE);
    if (texte == nullptr) {
        KVT_ERREUR();
        return;
    }
    const char *message = MSG_ERREUR;
    int code = 400;
    switch (page) {
    case 0: message = MSG_INVALIDE; code = 400; break;
    case 1: message = MSG_METHODE; code = 405; break;
    case 2: message = MSG_INTERDIT; code = 403; break;
    case 3: message = MSG_REFUSEE; code = 503; break;
    case 4: message = MSG_RESOLUTION; code = 503; break;
    case 5: message = MSG_ERREUR; code = 500; break;
    case QUORVEL_SSL_PAGE_SATURE: message = MSG_SATURE; code = 503; break;
    case QUORVEL_SSL_PAGE_BLOQUE: message = MSG_BLOQUE; code = 403; break;
    default: break;
    }
    kvtstr_concat(&texte, message);
    if (texte == nullptr) {
        KVT_ERREUR();
        return;
    }
    kvtstr_concat(&texte, PAGE_PIED);
    if (texte == nullptr) {
        KVT_ERREUR();
        return;
    }
    kvt_cstr page_texte{texte};
    kvtstat.ssl.pages.fetch_add(1, std::memory_order_relaxed);
    if (kvthttp_envoie_texte(s, page_texte.get(), "text/html", code) < 0) KVT_ERREUR();
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
        ligne_acces(adresse, port, nullptr, 0, bilan{}, 503, -1);
    }
}
