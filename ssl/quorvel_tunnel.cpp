/* quorvel_tunnel: the CONNECT path shared by the tunnel module and the HTTP
 * proxy module (see the header). Runs on the connection threads of either;
 * it keeps no state of its own but the ports read at start. */
#include "quorvel_tunnel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvthttp.h"
#include "kvthttpe.h"

namespace {

const char MSG_REFUSEE[] =
    "<H1>Connection refused</H1>The connection to the application server was refused.";
const char MSG_RESOLUTION[] =
    "<H1>Failed to resolve</H1>Impossible to resolve the requested hostname.";
const char MSG_ERREUR[] = "<H1>Error</H1>An error occured while retrieving the page.";
const char MSG_BLOQUE[] =
    "<H1>Blocked</H1>The requested host is on this gateway's block list.";
const char MSG_SATURE[] =
    "<H1>Too many connections</H1>This gateway serves no more connections at the moment.";

// The most addresses of one name that a tunnel tries.
constexpr int MAX_ADRESSES = 16;

// A closing owner for the upstream socket: every path of the tunnel step
// after the connection closes it exactly once.
struct amont {
    int s;
    explicit amont(int f) noexcept : s(f) {}
    amont(const amont &) = delete;
    amont &operator=(const amont &) = delete;
    ~amont() { kvtnet_fermer(s); }
};

void compte(std::atomic<uint64_t> *c, uint64_t n = 1)
{
    if (c != nullptr) c->fetch_add(n, std::memory_order_relaxed);
}

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

bool est_activee(const char *valeur)
{
    int c = std::toupper(static_cast<unsigned char>(valeur[0]));
    return c == 'T' || c == 'Y';
}

// The service ports of this process, read at start (see quorvel_tunnel_lit_ports).
std::atomic<int> ports_propres[4];

}  // namespace

void quorvel_tunnel_hote_sur(const char *hote, char *texte, size_t taille)
{
    // Control bytes must not reach a log line or a terminal.
    size_t n = 0;
    for (const char *c = hote; *c != '\0' && n + 1 < taille; ++c, ++n) {
        const unsigned char u = static_cast<unsigned char>(*c);
        texte[n] = u < 0x20 || u == 0x7f ? '?' : static_cast<char>(u);
    }
    if (taille > 0) texte[n] = '\0';
}

int quorvel_tunnel_adresse_litterale(const char *hote)
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

int quorvel_tunnel_cible_locale(uint32_t adresse)
{
    return adresse == 0 || (ntohl(adresse) >> 24) == 127;
}

int64_t quorvel_tunnel_horloge_ms(void)
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

void quorvel_tunnel_lit_ports(void)
{
    char valeur[1024];
    int ports[4] = {0, 0, 0, 0};
    kvtcfg_recup_E("SSL", "SSLEnabled", valeur, sizeof valeur, "");
    if (est_activee(valeur)) {
        kvtcfg_recup_E("SSL", "SSLPort", valeur, sizeof valeur, "8080");
        ports[0] = kvtstr_enint(valeur);
    }
    kvtcfg_recup_E("HTTP_FTP", "HTTPEnabled", valeur, sizeof valeur, "");
    if (est_activee(valeur)) {
        kvtcfg_recup_E("HTTP_FTP", "HTTPPort", valeur, sizeof valeur, "3128");
        ports[1] = kvtstr_enint(valeur);
    }
    // The DNS relay also takes TCP on 53 when it is on.
    kvtcfg_recup_E("DNS", "DNSEnabled", valeur, sizeof valeur, "");
    if (est_activee(valeur)) ports[2] = 53;
    kvtcfg_recup_E("Main", "StatsPort", valeur, sizeof valeur, "");
    ports[3] = kvtstr_enint(valeur);
    for (int i = 0; i < 4; ++i) ports_propres[i].store(ports[i], std::memory_order_relaxed);
}

int quorvel_tunnel_port_propre(int port)
{
    if (port <= 0) return 0;
    for (const std::atomic<int> &p : ports_propres)
        if (p.load(std::memory_order_relaxed) == port) return 1;
    return 0;
}

void quorvel_tunnel_page(const quorvel_tunnel_service *sv, int s, int page)
{
    const char *message = MSG_ERREUR;
    int code = 400;
    switch (page) {
    case 0: message = kvthttp_msg_invalide; code = 400; break;
    case 1: message = kvthttp_msg_methode; code = 405; break;
    case 2: message = kvthttp_msg_interdit; code = 403; break;
    case 3: message = MSG_REFUSEE; code = 503; break;
    case 4: message = MSG_RESOLUTION; code = 503; break;
    case 5: message = MSG_ERREUR; code = 500; break;
    case QUORVEL_TUNNEL_PAGE_SATURE: message = MSG_SATURE; code = 503; break;
    case QUORVEL_TUNNEL_PAGE_BLOQUE: message = MSG_BLOQUE; code = 403; break;
    default: break;
    }
    compte(sv->pages);
    (void)kvthttp_envoie_page(s, message, code);
}

void quorvel_tunnel_acces(const quorvel_tunnel_service *sv, uint32_t client, uint16_t port_client, const char *hote,
                          int port, const quorvel_tunnel_bilan &b, int code, int64_t debut_ms)
{
    if (!kvtlog_acces_actif()) return;
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
    const int64_t ms = debut_ms < 0 ? 0 : quorvel_tunnel_horloge_ms() - debut_ms;
    kvtlog_acces("%s client=%s:%u target=%s addr=%s status=%d up=%llu down=%llu ms=%lld", sv->mot, texte_client,
                 unsigned{ntohs(port_client)}, cible, texte_adresse, code,
                 static_cast<unsigned long long>(b.montants), static_cast<unsigned long long>(b.descendants),
                 static_cast<long long>(ms));
}

int quorvel_tunnel_joint(const quorvel_tunnel_service *sv, int client, uint32_t de, const char *hote, int port,
                         uint32_t *adresse)
{
    if (hote == nullptr) {
        KVT_ERREUR();
        return QUORVEL_TUNNEL_ERREUR;
    }
    uint32_t adresses[MAX_ADRESSES];
    const int nb = kvtnet_resoudre_adresses(hote, adresses, MAX_ADRESSES);
    if (nb < 1) {
        // A client may ask for names that do not resolve as often as it
        // likes: the trace is bounded like the refusal lines.
        flockfile(stderr);  // the trace and its text stay together
        if (KVT_ERREUR_RESEAU(sv->nom) == 1) ecrit_hote("Resolution de '", hote, "' impossible");
        funlockfile(stderr);
        return QUORVEL_TUNNEL_RESOLUTION;
    }
    // Every address is checked before any is tried: a name that mixes a
    // forbidden address with others is refused whole, so that making the
    // others fail cannot steer the tunnel onto the forbidden one.
    bool de_lu = de != KVTNET_ADRESSE_INVALIDE;
    for (int i = 0; i < nb; ++i) {
        const uint32_t a = adresses[i];
        const bool boucle = sv->boucle != nullptr && sv->boucle(a, port) != 0;
        if (!boucle && !quorvel_tunnel_cible_locale(a)) continue;
        if (!de_lu) {
            de = adresse_pair(client);
            de_lu = true;
        }
        // Services the gateway keeps on loopback are its own, not the LAN's;
        // its own ports are nobody's, not even loopback's.
        if (boucle || !client_local(de)) {
            char texte_de[260], texte_vers[260];
            kvtnet_aff_adresse(de, texte_de);
            kvtnet_aff_adresse(a, texte_vers);
            char ligne[64];
            std::snprintf(ligne, sizeof ligne, "Connection from %%s to %%s refused (%s)", sv->nom);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            kvtlog_refus(sv->nom, ligne, texte_de, texte_vers);
#pragma GCC diagnostic pop
            return QUORVEL_TUNNEL_INTERDIT;
        }
    }
    int s = kvtnet_connecter_adresses(adresses, nb, htons(static_cast<uint16_t>(port)));
    if (s == -1) {
        flockfile(stderr);
        if (KVT_ERREUR_RESEAU(sv->nom) == 1) ecrit_hote("Connexion a '", hote, "' impossible");
        funlockfile(stderr);
        return QUORVEL_TUNNEL_CONNEXION;
    }
    // A single address is the one connected: no need to ask the socket.
    if (adresse != nullptr) *adresse = nb == 1 ? adresses[0] : adresse_pair(s);
    return s;
}

int quorvel_tunnel_etablit(const quorvel_tunnel_service *sv, int client, uint32_t de, const char *hote, int port,
                           quorvel_tunnel_bilan *b)
{
    uint32_t adresse = KVTNET_ADRESSE_INVALIDE;
    const int s = quorvel_tunnel_joint(sv, client, de, hote, port, &adresse);
    if (s < 0) return s;
    amont serveur{s};

    kvthttpe *reponse = kvthttpe_nouveau();
    if (reponse == nullptr) {
        KVT_ERREUR();
        return QUORVEL_TUNNEL_ERREUR;
    }
    if (kvthttpe_reponse(reponse, 200, "HTTP/1.1") < 0 || kvthttpe_envoie(client, reponse, 0) < 0) {
        kvthttpe_libere(&reponse);
        return QUORVEL_TUNNEL_ERREUR;
    }
    if (b != nullptr) b->adresse = adresse;
    compte(sv->tunnels);
    compte(sv->ouverts);
    // Counted in from here: at the stop the relay ends, and the launcher
    // waits for the bytes to be added and the access line to be written.
    if (b != nullptr) b->compte = kvtarret_entre() == 1;
    uint64_t montants = 0, descendants = 0;
    const int inactif = sv->inactif != nullptr ? sv->inactif->load(std::memory_order_relaxed) : 0;
    (void)kvtnet_redir2_compte(client, serveur.s, inactif, &montants, &descendants);
    if (sv->ouverts != nullptr) sv->ouverts->fetch_sub(1, std::memory_order_relaxed);
    compte(sv->montants, montants);
    compte(sv->descendants, descendants);
    if (b != nullptr) {
        b->montants = montants;
        b->descendants = descendants;
    }
    kvthttpe_libere(&reponse);
    return 0;
}

int quorvel_tunnel_connect(const quorvel_tunnel_service *sv, int s, uint32_t adresse, uint16_t port_client,
                           const char *hote, int port, int64_t debut_ms)
{
    quorvel_tunnel_bilan bl;
    if (sv->bloque != nullptr && sv->bloque(hote)) {
        // No connection to the target: the page says why.
        quorvel_tunnel_page(sv, s, QUORVEL_TUNNEL_PAGE_BLOQUE);
        compte(sv->bloques);
        char texte[260];
        kvtnet_aff_adresse(adresse, texte);
        char texte_hote[260];
        quorvel_tunnel_hote_sur(hote, texte_hote, sizeof texte_hote);
        char ligne[64];
        std::snprintf(ligne, sizeof ligne, "Connection from %%s to %%s blocked (%s)", sv->nom);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        kvtlog_refus(sv->nom, ligne, texte, texte_hote);
#pragma GCC diagnostic pop
        quorvel_tunnel_acces(sv, adresse, port_client, hote, port, bl, 403, debut_ms);
        return 403;
    }
    const int r = quorvel_tunnel_etablit(sv, s, adresse, hote, port, &bl);
    int code = 200;
    switch (r) {
    case 0: break;
    case QUORVEL_TUNNEL_RESOLUTION: quorvel_tunnel_page(sv, s, 4); code = 503; break;
    case QUORVEL_TUNNEL_CONNEXION: quorvel_tunnel_page(sv, s, 3); code = 503; break;
    case QUORVEL_TUNNEL_INTERDIT: quorvel_tunnel_page(sv, s, 2); code = 403; break;
    default: quorvel_tunnel_page(sv, s, 5); code = 500; break;
    }
    quorvel_tunnel_acces(sv, adresse, port_client, hote != nullptr ? hote : "", port, bl, code, debut_ms);
    if (bl.compte) kvtarret_sort();
    return code;
}
