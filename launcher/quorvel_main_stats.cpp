// The metrics endpoint: one request per connection, answered and closed in
// order (FIN, never a reset).
// It runs on threads of the support library's capped listener, beside the
// services it counts, and reads only the shared counters.
#include "quorvel_main_stats.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <memory>
#include <string>
#include <string_view>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvthttp.h"
#include "kvthttpe.h"
#include "kvtlib.h"
#include "kvtstat.h"
#include "quorvel_ip_mask.h"

namespace {

// The same words as the tunnel's pages, in the same frame.
const char *const MSG_INVALIDE = kvthttp_msg_invalide;
const char *const MSG_METHODE = kvthttp_msg_methode;
const char *const MSG_INTERDIT = kvthttp_msg_interdit;
const char MSG_INTROUVABLE[] =
    "<H1>Not found</H1>This server answers only /metrics.";

const char TYPE_METRIQUES[] = "text/plain; version=0.0.4";

// After the answer, what the client still sends (a body, a second request)
// is read and dropped until it closes, within these bounds; past them the
// socket is closed as it stands.
constexpr int64_t VIDANGE_MS = 2000;
constexpr size_t VIDANGE_MAX = 1 << 20;

struct libere_record {
    void operator()(kvthttpe *e) const noexcept { kvthttpe_libere(&e); }
};
using record = std::unique_ptr<kvthttpe, libere_record>;

// One answer of the endpoint. The endpoint speaks plain HTTP to scrapers,
// so its head says "Connection: close", where the tunnel's pages keep
// their own header. 0, or -1 (traced).
int repond(int s, const char *corps, const char *type, int code)
{
    record e{kvthttpe_nouveau()};
    char taille[24];
    snprintf(taille, sizeof taille, "%zu", strlen(corps));
    // A head that lacks a line is not sent: the body could not be delimited.
    if (!e || kvthttpe_reponse(e.get(), code, "HTTP/1.1") < 0 ||
        kvthttpe_fixe_param(e.get(), "Connection", "close") < 0 ||
        kvthttpe_fixe_param(e.get(), "Content-Type", type) < 0 ||
        kvthttpe_fixe_param(e.get(), "Content-Length", taille) < 0 || kvthttpe_envoie(s, e.get(), 0) < 0) {
        KVT_ERREUR();
        return -1;
    }
    e.reset();
    if (kvtnet_envoie_str(s, corps) < 0) {
        KVT_ERREUR();
        return -1;
    }
    return 0;
}

int page(int s, const char *message, int code)
{
    std::string texte;
    try {
        texte = std::string(kvthttp_page_tete) + message + kvthttp_page_pied;
    } catch (...) {
        KVT_ERREUR();
        return -1;
    }
    return repond(s, texte.c_str(), "text/html", code);
}

// The orderly end of a connection: the answer is followed by a FIN, and
// what the client sent beyond its request head is read before the close.
// A socket closed with unread bytes would send a reset, which may destroy
// the answer still in flight before the client reads it.
void ferme(int s)
{
    (void)::shutdown(s, SHUT_WR);
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const int64_t echeance = int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000 + VIDANGE_MS;
    char poubelle[4096];
    for (size_t lu = 0; lu < VIDANGE_MAX;) {
        const ssize_t n = ::recv(s, poubelle, sizeof poubelle, MSG_DONTWAIT);
        if (n == 0) break;
        if (n > 0) {
            lu += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) break;
        clock_gettime(CLOCK_MONOTONIC, &t);
        const int64_t reste = echeance - (int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000);
        pollfd p{s, POLLIN, 0};
        if (reste <= 0 || (poll(&p, 1, static_cast<int>(reste)) < 0 && errno != EINTR)) break;
    }
    kvtnet_fermer(s);
}

// The values in force since the start, for the reload's comparison.
char port_lu[64];
char ecoute_lue[1024];
bool en_service;

int port_stats;
uint32_t adresse_stats;
kvtnet_limites limites = {QUORVEL_STATS_MAX_CONNEXIONS, QUORVEL_STATS_MAX_PAR_ADRESSE, nullptr,
                          KVTNET_EVICTION_ENTETE, nullptr, nullptr};

void serveur(void *)
{
    printf("Stats server starts (%d)\n", port_stats);
    fflush(stdout);
    int ecoute = -1;
    const int r = kvtnet_ecouteur_limite(&ecoute, adresse_stats, port_stats, quorvel_main_stats_connexion,
                                         &limites);
    if (r < 0) {
        char texte[16];
        kvtlog_log("Metrics endpoint not started: cannot listen on %s port %d (reason in the error log); "
                   "the proxy goes on without it",
                   kvtnet_aff_adresse(adresse_stats, texte), port_stats);
    }
    printf("Stats server exits (%d)\n", r);
    fflush(stdout);
}

}  // namespace

int quorvel_main_stats_statut(const char *entete)
{
    if (entete == nullptr) return 400;
    // "METHOD SP TARGET SP VERSION": only the first line is looked at, in
    // place: nothing a client sends costs an allocation that could fail.
    const std::string_view ligne{entete, strcspn(entete, "\r\n")};
    const size_t a = ligne.find(' ');
    if (a == 0 || a == std::string_view::npos) return 400;
    const size_t b = ligne.find(' ', a + 1);
    if (b == std::string_view::npos || b == a + 1) return 400;
    // The two versions this endpoint speaks, and nothing after them.
    const std::string_view version = ligne.substr(b + 1);
    if (version != "HTTP/1.0" && version != "HTTP/1.1") return 400;
    if (ligne.substr(0, a) != "GET") return 405;
    std::string_view cible = ligne.substr(a + 1, b - a - 1);
    cible = cible.substr(0, cible.find('?'));
    return cible == "/metrics" ? 200 : 404;
}

int quorvel_main_stats_autorise(uint32_t adresse)
{
    // The first dotted octet lies in the lowest byte.
    if ((adresse & 0xFFu) == 127u) return 1;
    return quorvel_ip_mask_autorise(adresse);
}

void quorvel_main_stats_connexion(void *bloc)
{
    if (bloc == nullptr) {
        KVT_ERREUR();
        return;
    }
    kvtnet_bloc b;
    memcpy(&b, bloc, sizeof b);
    free(bloc);
    const int s = b.socket;

    if (!quorvel_main_stats_autorise(b.adresse)) {
        // Nothing of a refused client's request is looked at; what it sent
        // is only read away so that the close does not reset the page.
        (void)page(s, MSG_INTERDIT, 403);
        ferme(s);
        char texte[260];
        kvtnet_aff_adresse(b.adresse, texte);
        kvtlog_refus("stats", "Connection from %s refused (stats)", texte);
        return;
    }
    char *lu = nullptr;
    // Past 64 KiB or 30 seconds the head is given up, as the tunnel's.
    const int n = kvtnet_recup_entete(s, &lu);
    kvt_cstr entete{lu};
    const int statut = n < 0 ? 400 : quorvel_main_stats_statut(entete.get());
    switch (statut) {
    case 200: {
        kvtstat_releve r{};
        kvtstat_copie(&r);
        kvt_cstr texte{kvtstat_metriques(&r)};
        if (!texte || repond(s, texte.get(), TYPE_METRIQUES, 200) < 0) KVT_ERREUR();
        break;
    }
    case 404: (void)page(s, MSG_INTROUVABLE, 404); break;
    case 405: (void)page(s, MSG_METHODE, 405); break;
    default: (void)page(s, MSG_INVALIDE, 400); break;
    }
    ferme(s);
}

int quorvel_main_stats_demarre(void)
{
    // Called once, at start: the start time shown by the metrics.
    kvtstat.debut_s.store(static_cast<int64_t>(time(nullptr)), std::memory_order_relaxed);
    kvtcfg_recup_E("Main", "StatsPort", port_lu, sizeof port_lu, "");
    kvtcfg_recup_E("Main", "StatsListen", ecoute_lue, sizeof ecoute_lue, "127.0.0.1");
    if (port_lu[0] == '\0') return 0;
    char *fin = nullptr;
    const long port = strtol(port_lu, &fin, 10);
    if (fin == port_lu || *fin != '\0' || port < 1 || port > 65535) {
        kvtlog_log("Metrics endpoint not started: StatsPort \"%s\" is not a port from 1 to 65535", port_lu);
        return -1;
    }
    // An empty StatsListen means every interface, as the other listen keys.
    if (kvtnet_adresse_ecoute("Metrics endpoint", "StatsListen", ecoute_lue, &adresse_stats) < 0) {
        kvtlog_log("Metrics endpoint not started: StatsListen \"%s\" is not usable (reason in the error log)",
                   ecoute_lue);
        return -1;
    }
    port_stats = static_cast<int>(port);
    (void)quorvel_ip_mask_charge();  // its own copy of the table, like each module's
    if (kvtthread_demarre(serveur, KVT_PILE_SERVEUR, nullptr) < 0) return -1;
    en_service = true;
    return 0;
}

void quorvel_main_stats_recharge(void)
{
    char port[sizeof port_lu];
    char ecoute[sizeof ecoute_lue];
    kvtcfg_recup_E("Main", "StatsPort", port, sizeof port, "");
    kvtcfg_recup_E("Main", "StatsListen", ecoute, sizeof ecoute, "127.0.0.1");
    if (strcmp(port, port_lu) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "StatsPort");
    if (strcmp(ecoute, ecoute_lue) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "StatsListen");
    if (en_service) (void)quorvel_ip_mask_charge();
}
