/* quorvel_http: entry, listener, reload and connection handler of the HTTP
 * proxy module. Each accepted connection runs on a thread of its own from
 * the support library's capped listener and carries any number of requests
 * in turn. Bodies stream through one buffer per side, long ones through a
 * kernel pipe: a side that does not read holds the other back (its sends
 * wait, up to the idle limit), so no connection holds more than its two
 * buffers and its pipe whatever the peers do. */
#include "quorvel_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvthttp.h"
#include "kvthttpe.h"
#include "kvtstat.h"
#include "quorvel_http_entete.h"
#include "quorvel_ip_mask.h"
#include "quorvel_tunnel.h"

int quorvel_http_port = 0;
uint32_t quorvel_http_adresse = 0;
int quorvel_http_actif = 0;
kvtnet_limites quorvel_http_limites = {0, 0, quorvel_http_refus, KVTNET_EVICTION_ENTETE, nullptr, nullptr};

namespace {

// [HTTP_FTP] HTTPIdleTimeout: seconds an idle client connection, a body
// that stalls either way or a tunnel may last; 0 sets no limit.
std::atomic<int> inactif_s{60};
// [HTTP_FTP] HTTPBlockAds.
std::atomic<int> bloque_pub{0};

// No answer head within this time: the 504 page (tests shorten it).
constexpr int DELAI_REPONSE_MS = 60 * 1000;
std::atomic<int> delai_reponse_ms{DELAI_REPONSE_MS};
// A request head that has begun must be complete within this time, as the
// first one (kvtnet_recup_entete).
constexpr int DELAI_ENTETE_MS = 30 * 1000;
constexpr size_t ENTETE_MAX = 64 * 1024;
constexpr size_t TAMPON = 16 * 1024;

const char MSG_LONGUE[] = "<H1>Address too long</H1>The requested address is longer than this gateway accepts.";
const char MSG_GRANDE[] = "<H1>Request too large</H1>The request's header is larger than this gateway accepts.";
const char MSG_FTP[] = "<H1>Not supported</H1>This gateway does not carry ftp:// requests.";
const char MSG_SCHEMA[] = "<H1>Not supported</H1>This gateway carries http:// requests and CONNECT only.";
const char MSG_MAUVAISE[] = "<H1>Bad answer</H1>The server closed the connection or sent no valid answer.";
const char MSG_DELAI[] = "<H1>No answer</H1>The server did not answer in time.";

bool est_activee(const char *valeur)
{
    int c = std::toupper(static_cast<unsigned char>(valeur[0]));
    return c == 'T' || c == 'Y';
}

int lit_inactif()
{
    char valeur[1024];
    kvtcfg_recup_E("HTTP_FTP", "HTTPIdleTimeout", valeur, sizeof valeur, "60");
    return std::max(0, kvtstr_enint(valeur));
}

// Reads "HTTPBlockAds"; turning it on loads the process's one list if no
// module has yet.
void lit_blocage()
{
    char valeur[20];
    kvtcfg_recup_E("HTTP_FTP", "HTTPBlockAds", valeur, sizeof valeur, "");
    const bool actif = est_activee(valeur);
    if (actif) (void)quorvel_liste_demarre();
    bloque_pub.store(actif ? 1 : 0, std::memory_order_relaxed);
}

int bloque_hote(const char *hote) { return quorvel_http_bloque(hote); }

const quorvel_tunnel_service service = {
    "HTTP", "http",
    &kvtstat.http.requetes, nullptr, &kvtstat.http.pages, &kvtstat.http.bloques,
    &kvtstat.http.octets_montants, &kvtstat.http.octets_descendants,
    &inactif_s, bloque_hote, quorvel_http_boucle,
};

int64_t maintenant() { return quorvel_tunnel_horloge_ms(); }

}  // namespace

/* ---- Entry and server thread ---- */

int LibMain(void *, unsigned raison, void *)
{
    if (raison == 1)
        (void)kvtnet_init();
    else if (raison == 0)
        (void)kvtnet_term();
    return 1;
}

namespace {
// "HTTPListen" as read at start, for the reload's comparison.
char ecoute_lue[1024];
}  // namespace

int _demarre_serveur_http(void)
{
    char actif[20];
    kvtcfg_recup_E("HTTP_FTP", "HTTPEnabled", actif, sizeof actif, "");
    if (!est_activee(actif)) return 0;
    quorvel_http_actif = 1;

    char port[1024];
    kvtcfg_recup_E("HTTP_FTP", "HTTPPort", port, sizeof port, "3128");
    quorvel_http_port = kvtstr_enint(port);
    kvtcfg_recup_E("HTTP_FTP", "HTTPListen", ecoute_lue, sizeof ecoute_lue, "");
    if (kvtnet_adresse_ecoute("HTTP proxy", "HTTPListen", ecoute_lue, &quorvel_http_adresse) < 0) {
        std::printf("HTTP server exits (%d)\n", -1);
        std::fflush(stdout);
        return 0;
    }
    char max[20];
    kvtcfg_recup_E("HTTP_FTP", "HTTPMaxClients", max, sizeof max, "0");
    quorvel_http_limites.max_connexions = std::max(0, kvtstr_enint(max));
    kvtcfg_recup_E("HTTP_FTP", "HTTPMaxPerClient", max, sizeof max, "0");
    quorvel_http_limites.max_par_adresse = std::max(0, kvtstr_enint(max));
    inactif_s.store(lit_inactif(), std::memory_order_relaxed);
    lit_blocage();
    quorvel_tunnel_lit_ports();

    (void)quorvel_ip_mask_charge();
    (void)kvtthread_demarre(quorvel_http_serveur, KVT_PILE_SERVEUR, nullptr);
    return 0;
}

void quorvel_http_serveur(void *)
{
    std::printf("HTTP server starts (%d)\n", quorvel_http_port);
    std::fflush(stdout);
    int ecoute;
    kvtstat.http.actif.store(1, std::memory_order_relaxed);
    int r = kvtnet_ecouteur_limite(&ecoute, quorvel_http_adresse, quorvel_http_port, quorvel_http_connexion,
                                   &quorvel_http_limites);
    kvtstat.http.actif.store(0, std::memory_order_relaxed);
    std::printf("HTTP server exits (%d)\n", r);
    std::fflush(stdout);
}

int _recharge_serveur_http(void)
{
    char valeur[1024];
    kvtcfg_recup_E("HTTP_FTP", "HTTPEnabled", valeur, sizeof valeur, "");
    if (est_activee(valeur) != (quorvel_http_actif != 0)) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "HTTPEnabled");
    if (!quorvel_http_actif) return 0;
    // The listener keeps its socket and its limits while it runs.
    kvtcfg_recup_E("HTTP_FTP", "HTTPPort", valeur, sizeof valeur, "3128");
    if (kvtstr_enint(valeur) != quorvel_http_port) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "HTTPPort");
    kvtcfg_recup_E("HTTP_FTP", "HTTPListen", valeur, sizeof valeur, "");
    if (std::strcmp(valeur, ecoute_lue) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "HTTPListen");
    kvtcfg_recup_E("HTTP_FTP", "HTTPMaxClients", valeur, sizeof valeur, "0");
    if (std::max(0, kvtstr_enint(valeur)) != quorvel_http_limites.max_connexions)
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "HTTPMaxClients");
    kvtcfg_recup_E("HTTP_FTP", "HTTPMaxPerClient", valeur, sizeof valeur, "0");
    if (std::max(0, kvtstr_enint(valeur)) != quorvel_http_limites.max_par_adresse)
        kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "HTTPMaxPerClient");
    // Open connections were admitted once and carry on; new ones meet the
    // new table.
    (void)quorvel_ip_mask_charge();
    inactif_s.store(lit_inactif(), std::memory_order_relaxed);
    lit_blocage();
    return 0;
}

void quorvel_http_regle_essai(int delai_reponse)
{
    delai_reponse_ms.store(delai_reponse > 0 ? delai_reponse : DELAI_REPONSE_MS, std::memory_order_relaxed);
}

/* ---- Small services ---- */

int quorvel_http_bloque(const char *hote)
{
    if (!bloque_pub.load(std::memory_order_relaxed) || hote == nullptr) return 0;
    // Lists name hosts: an address is never on one.
    if (quorvel_tunnel_adresse_litterale(hote)) return 0;
    return quorvel_liste_bloque(hote, std::strlen(hote));
}

int quorvel_http_boucle(uint32_t adresse, int port)
{
    // The locality test lists the interfaces: only for the few own ports.
    // When it cannot tell, the target is refused rather than risk the loop.
    return (quorvel_tunnel_port_propre(port) || port == quorvel_http_port) && kvtnet_adresse_locale(adresse) != 0;
}

int quorvel_http_analyse_url(std::string_view cible, quorvel_http_url *u)
{
    u->hote = {};
    u->port = 80;
    u->chemin = "/";
    const size_t sep = cible.find("://");
    if (sep == std::string_view::npos || sep == 0) return QUORVEL_HTTP_URL_INVALIDE;
    const std::string_view schema = cible.substr(0, sep);
    for (char c : schema)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return QUORVEL_HTTP_URL_INVALIDE;
    if (quorvel_http_egal(schema, "ftp")) return QUORVEL_HTTP_URL_FTP;
    if (!quorvel_http_egal(schema, "http")) return QUORVEL_HTTP_URL_SCHEMA;
    std::string_view reste = cible.substr(sep + 3);
    const size_t fin_autorite = reste.find_first_of("/?#");
    std::string_view autorite = reste.substr(0, fin_autorite);
    std::string_view chemin = fin_autorite == std::string_view::npos ? std::string_view{} : reste.substr(fin_autorite);
    // Credentials in a URL are refused: they would be sent in the clear and
    // mislead about the host.
    if (autorite.empty() || autorite.find('@') != std::string_view::npos) return QUORVEL_HTTP_URL_INVALIDE;
    std::string_view hote = autorite, port;
    if (autorite.front() == '[') {
        const size_t f = autorite.find(']');
        if (f == std::string_view::npos) return QUORVEL_HTTP_URL_INVALIDE;
        hote = autorite.substr(0, f + 1);
        const std::string_view apres = autorite.substr(f + 1);
        if (!apres.empty()) {
            if (apres.front() != ':') return QUORVEL_HTTP_URL_INVALIDE;
            port = apres.substr(1);
        }
    } else {
        const size_t d = autorite.find(':');
        if (d != std::string_view::npos) {
            hote = autorite.substr(0, d);
            port = autorite.substr(d + 1);
        }
        for (char c : hote)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
                return QUORVEL_HTTP_URL_INVALIDE;
    }
    if (hote.empty() || hote.size() > 255) return QUORVEL_HTTP_URL_INVALIDE;
    if (!port.empty()) {
        if (port.size() > 5) return QUORVEL_HTTP_URL_INVALIDE;
        int p = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return QUORVEL_HTTP_URL_INVALIDE;
            p = p * 10 + (c - '0');
        }
        if (p < 1 || p > 65535) return QUORVEL_HTTP_URL_INVALIDE;
        u->port = p;
    }
    // The fragment is the client's own business.
    const size_t diese = chemin.find('#');
    if (diese != std::string_view::npos) chemin = chemin.substr(0, diese);
    u->hote = hote;
    if (!chemin.empty() && chemin.front() == '/') u->chemin = chemin;
    else if (!chemin.empty()) u->chemin = chemin;  // "?query" alone: "/" is put before it when sent
    return 0;
}

size_t quorvel_http_url_acces(std::string_view cible, char *texte, size_t taille)
{
    if (taille == 0) return 0;
    const size_t q = cible.find('?');
    if (q != std::string_view::npos) cible = cible.substr(0, q);
    const size_t n = std::min(cible.size(), taille - 1);
    std::string copie(cible.substr(0, n));
    return kvtstr_echappe(copie.c_str(), texte, taille);
}

/* ---- Streams ---- */

namespace {

// One side's bytes read ahead: buf[debut, fin) not yet used. The buffer is
// taken while a request runs and given back between requests.
struct flux {
    int fd = -1;
    char *buf = nullptr;
    size_t cap = 0, debut = 0, fin = 0;
    flux() = default;
    flux(const flux &) = delete;
    flux &operator=(const flux &) = delete;
    ~flux() { std::free(buf); }
    size_t dispo() const { return fin - debut; }
    const char *donnees() const { return buf + debut; }
    void prend(size_t n) { debut += n; if (debut == fin) debut = fin = 0; }
    // Room for at least `voulu` bytes in all.
    bool reserve(size_t voulu)
    {
        if (debut > 0 && (fin == cap || voulu > cap - debut)) {
            std::memmove(buf, buf + debut, fin - debut);
            fin -= debut;
            debut = 0;
        }
        if (voulu <= cap) return true;
        char *p = static_cast<char *>(std::realloc(buf, voulu));
        if (p == nullptr) return false;
        buf = p;
        cap = voulu;
        return true;
    }
    // Gives the buffer back when it holds nothing, or shrinks it.
    void rend()
    {
        if (dispo() == 0) {
            std::free(buf);
            buf = nullptr;
            cap = debut = fin = 0;
        }
    }
    void vide() { debut = fin = 0; }
};

enum { LU = 1, FERME = 0, ECHEC = -1, DELAI = -3 };

// Waits for `fd` to be readable until `echeance` (monotonic ms, -1: none).
int attend(int fd, int64_t echeance)
{
    for (;;) {
        int ms = -1;
        if (echeance >= 0) {
            const int64_t r = echeance - maintenant();
            if (r <= 0) return DELAI;
            ms = static_cast<int>(std::min<int64_t>(r, 1 << 30));
        }
        // The process stop ends every wait at once.
        pollfd p[2] = {{fd, POLLIN, 0}, {kvtarret_fd(), POLLIN, 0}};
        const int n = ::poll(p, p[1].fd >= 0 ? 2 : 1, ms);
        if (n > 0) return p[1].fd >= 0 && p[1].revents != 0 ? ECHEC : LU;
        if (n == 0) return DELAI;
        if (errno != EINTR) return ECHEC;
    }
}

// Reads what comes, at most `max` bytes (0: as much as fits), after the
// bytes held. LU, FERME, ECHEC or DELAI.
int lit(flux &f, int64_t echeance, size_t max = 0)
{
    if (!f.reserve(f.dispo() + 1) || (f.cap - f.fin < 1 && !f.reserve(f.cap * 2))) return ECHEC;
    if (f.cap < TAMPON && !f.reserve(TAMPON)) return ECHEC;
    for (;;) {
        size_t place = f.cap - f.fin;
        if (max > 0 && max < place) place = max;
        const ssize_t n = ::recv(f.fd, f.buf + f.fin, place, MSG_DONTWAIT);
        if (n > 0) {
            f.fin += static_cast<size_t>(n);
            return LU;
        }
        if (n == 0) return FERME;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ECHEC;
        const int a = attend(f.fd, echeance);
        if (a != LU) return a;
    }
}

bool attend_place(int fd);

// All `n` bytes, or false. A peer that takes nothing for the idle time, or
// the process stop, fails the send.
bool envoie(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            p += k;
            n -= static_cast<size_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && errno == EAGAIN) {
            if (!attend_place(fd)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Every wait of this module is a poll with its deadline and the stop, so
// its sockets never block (the pipe's splice needs it of them too).
void non_bloquant(int fd)
{
    const int f = ::fcntl(fd, F_GETFL);
    if (f >= 0) (void)::fcntl(fd, F_SETFL, f | O_NONBLOCK);
}

int64_t echeance_inactif()
{
    const int s = inactif_s.load(std::memory_order_relaxed);
    return s > 0 ? maintenant() + int64_t{s} * 1000 : -1;
}

enum { TETE_GRANDE = -1, TETE_FERMEE = -2, TETE_DELAI = -3, TETE_VIDE = -4 };

// A head at the start of f's bytes: its length, or TETE_GRANDE (over
// 64 KiB), TETE_FERMEE (the peer closed or failed part way), TETE_VIDE
// (closed before a byte came), TETE_DELAI. The first byte must come by
// `echeance_premier`, the whole head by `echeance`, or, with `delai_ms`, that
// long after its first byte.
long lit_tete(flux &f, int64_t echeance_premier, int64_t echeance, int delai_ms = 0)
{
    if (delai_ms > 0) echeance = f.dispo() > 0 ? maintenant() + delai_ms : -1;
    size_t vu = 0;
    for (;;) {
        // Empty lines before a head are skipped, whatever else they mean.
        if (vu == 0) {
            while (f.dispo() > 0 && (f.donnees()[0] == '\n' || (f.donnees()[0] == '\r' && f.dispo() > 1 &&
                                                               f.donnees()[1] == '\n')))
                f.prend(f.donnees()[0] == '\n' ? 1 : 2);
        }
        const size_t fin = f.dispo() > 0 ? kvtnet_fin_entete(f.donnees(), f.dispo(), vu) : 0;
        if (fin > 0) return fin > ENTETE_MAX ? long{TETE_GRANDE} : static_cast<long>(fin);
        if (f.dispo() >= ENTETE_MAX) return TETE_GRANDE;
        vu = f.dispo();
        if (f.cap < ENTETE_MAX && f.dispo() + 1 >= f.cap && !f.reserve(std::min(ENTETE_MAX + 1, f.cap * 2)))
            return TETE_FERMEE;
        const int r = lit(f, f.dispo() == 0 ? echeance_premier : echeance, ENTETE_MAX + 1 - f.dispo());
        if (r == LU && delai_ms > 0 && echeance < 0) echeance = maintenant() + delai_ms;
        if (r == DELAI) return TETE_DELAI;
        if (r != LU) return f.dispo() == 0 ? TETE_VIDE : TETE_FERMEE;
    }
}

// Waits until `fd` takes bytes, up to the idle limit.
bool attend_place(int fd)
{
    const int64_t echeance = echeance_inactif();
    for (;;) {
        int ms = -1;
        if (echeance >= 0) {
            const int64_t r = echeance - maintenant();
            if (r <= 0) return false;
            ms = static_cast<int>(std::min<int64_t>(r, 1 << 30));
        }
        pollfd p[2] = {{fd, POLLOUT, 0}, {kvtarret_fd(), POLLIN, 0}};
        const int n = ::poll(p, p[1].fd >= 0 ? 2 : 1, ms);
        if (n > 0 && p[1].fd >= 0 && p[1].revents != 0) return false;  // the process stops
        if (n > 0) return (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 || (p[0].revents & POLLOUT) != 0;
        if (n == 0 || errno != EINTR) return false;
    }
}

// A kernel pipe through which a long body passes from socket to socket
// without being copied here; made for one body, closed after it.
struct tube {
    int fd[2] = {-1, -1};
    tube() = default;
    tube(const tube &) = delete;
    tube &operator=(const tube &) = delete;
    ~tube()
    {
        if (fd[0] >= 0) ::close(fd[0]);
        if (fd[1] >= 0) ::close(fd[1]);
    }
    bool ouvre()
    {
        if (fd[0] >= 0) return true;
        if (::pipe2(fd, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        (void)::fcntl(fd[1], F_SETPIPE_SZ, 256 * 1024);
        return true;
    }
};

enum { TUBE_FIN = 0, TUBE_SOURCE = -1, TUBE_DESTINATION = -2, TUBE_INDISPONIBLE = -3 };

// Moves what `de` has, at most `max` bytes, to `vers` through `t`: the
// count, TUBE_FIN at the end of the stream, or a failure.
long par_tube(tube &t, int de, int vers, uint64_t max)
{
    if (!t.ouvre()) return TUBE_INDISPONIBLE;
    ssize_t n;
    for (;;) {
        n = ::splice(de, nullptr, t.fd[1], nullptr, static_cast<size_t>(std::min<uint64_t>(max, 256 * 1024)),
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if (errno == EINVAL || errno == ENOSYS) return TUBE_INDISPONIBLE;
        if (errno != EAGAIN) return TUBE_SOURCE;
        if (attend(de, echeance_inactif()) != LU) return TUBE_SOURCE;
    }
    if (n == 0) return TUBE_FIN;
    for (ssize_t reste = n; reste > 0;) {
        const ssize_t k = ::splice(t.fd[0], nullptr, vers, nullptr, static_cast<size_t>(reste),
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (k > 0) {
            reste -= k;
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && errno == EAGAIN) {
            if (!attend_place(vers)) return TUBE_DESTINATION;
        } else {
            return TUBE_DESTINATION;
        }
    }
    return n;
}

// Bodies longer than this go through a pipe once the buffer is empty.
constexpr uint64_t CORPS_TUBE = 256 * 1024;

enum cadrage { SANS_CORPS, LONGUEUR, MORCEAUX, JUSQU_A_FIN };
enum { CORPS_OK = 0, CORPS_SOURCE = -1, CORPS_DESTINATION = -2, CORPS_MALFORME = -3 };

// Relays the body that `c` frames from `de` to `vers`, adding the bytes
// passed to *compte. Bytes after the body stay in `de`.
int relaie_corps(flux &de, int vers, cadrage c, uint64_t longueur, uint64_t *compte)
{
    if (c == SANS_CORPS) return CORPS_OK;
    quorvel_http_morceaux m{};
    uint64_t reste = longueur;
    tube t;
    bool sans_tube = false;
    for (;;) {
        // A long body by length or to the end: through the kernel's pipe.
        if (!sans_tube && de.dispo() == 0 && (c == JUSQU_A_FIN || (c == LONGUEUR && reste >= CORPS_TUBE))) {
            const long k = par_tube(t, de.fd, vers, c == LONGUEUR ? reste : UINT64_MAX);
            if (k > 0) {
                *compte += static_cast<uint64_t>(k);
                if (c == LONGUEUR && (reste -= static_cast<uint64_t>(k)) == 0) return CORPS_OK;
                continue;
            }
            if (k == TUBE_FIN) return c == JUSQU_A_FIN ? CORPS_OK : CORPS_SOURCE;
            if (k == TUBE_SOURCE) return CORPS_SOURCE;
            if (k == TUBE_DESTINATION) return CORPS_DESTINATION;
            sans_tube = true;  // no pipe here: the buffer does it
        }
        size_t n = de.dispo();
        bool fini = false;
        if (c == LONGUEUR && n > reste) n = static_cast<size_t>(reste);
        if (c == MORCEAUX && n > 0) {
            const long a = quorvel_http_morceaux_avance(&m, de.donnees(), n, &fini);
            if (a < 0) return CORPS_MALFORME;
            n = static_cast<size_t>(a);
        }
        if (n > 0) {
            if (!envoie(vers, de.donnees(), n)) return CORPS_DESTINATION;
            de.prend(n);
            *compte += n;
            if (c == LONGUEUR) reste -= n;
        }
        if ((c == LONGUEUR && reste == 0) || fini) return CORPS_OK;
        // What was held back may be whole now, or hold a fault to report.
        if (c == MORCEAUX && n > 0 && de.dispo() > 0) continue;
        if (!sans_tube && de.dispo() == 0 && (c == JUSQU_A_FIN || (c == LONGUEUR && reste >= CORPS_TUBE))) continue;
        const size_t max = c == LONGUEUR ? static_cast<size_t>(std::min<uint64_t>(reste, TAMPON)) : 0;
        const int r = lit(de, echeance_inactif(), c == LONGUEUR && de.dispo() == 0 ? max : 0);
        if (r == FERME && c == JUSQU_A_FIN) return CORPS_OK;
        if (r != LU) return CORPS_SOURCE;
    }
}

/* ---- Heads ---- */

// Fields that concern one connection only, never passed on.
bool saut_fixe(std::string_view nom)
{
    static const char *const noms[] = {"Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authorization",
                                       "TE", "Trailer", "Upgrade"};
    for (const char *n : noms)
        if (quorvel_http_egal(nom, n)) return true;
    return false;
}

// What the fields of one head say about its framing and its connection.
struct sens {
    bool ferme = false;        // Connection: close
    bool garde = false;        // Connection: keep-alive
    bool conn_upgrade = false; // Connection: upgrade
    bool websocket = false;    // Upgrade: websocket
    bool te = false, te_morceaux = false;
    int nb_cl = 0;
    bool cl_mauvais = false;   // a value that is not a number, or values that differ
    uint64_t longueur = 0;
    bool expect_100 = false;
};

// A Content-Length value: a list of equal decimal numbers.
bool longueur_de(std::string_view v, uint64_t *l)
{
    bool une = false;
    uint64_t valeur = 0;
    while (!v.empty()) {
        const size_t virgule = v.find(',');
        std::string_view item = v.substr(0, virgule);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.empty() || item.size() > 18) return false;
        uint64_t x = 0;
        for (char c : item) {
            if (c < '0' || c > '9') return false;
            x = x * 10 + static_cast<uint64_t>(c - '0');
        }
        if (une && x != valeur) return false;
        valeur = x;
        une = true;
        if (virgule == std::string_view::npos) break;
        v.remove_prefix(virgule + 1);
    }
    if (!une) return false;
    *l = valeur;
    return true;
}

sens lit_sens(const quorvel_http_tete &t)
{
    sens s;
    for (int i = 0; i < t.nb_champs; ++i) {
        const quorvel_http_champ &c = t.champs[i];
        if (quorvel_http_egal(c.nom, "Connection") || quorvel_http_egal(c.nom, "Proxy-Connection")) {
            if (quorvel_http_liste_contient(c.valeur, "close")) s.ferme = true;
            if (quorvel_http_liste_contient(c.valeur, "keep-alive")) s.garde = true;
            if (quorvel_http_egal(c.nom, "Connection") && quorvel_http_liste_contient(c.valeur, "upgrade"))
                s.conn_upgrade = true;
        } else if (quorvel_http_egal(c.nom, "Upgrade")) {
            if (quorvel_http_liste_contient(c.valeur, "websocket")) s.websocket = true;
        } else if (quorvel_http_egal(c.nom, "Transfer-Encoding")) {
            s.te = true;
            // The last coding of the last field decides.
            std::string_view v = c.valeur;
            const size_t virgule = v.rfind(',');
            if (virgule != std::string_view::npos) v = v.substr(virgule + 1);
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            s.te_morceaux = quorvel_http_egal(v, "chunked");
        } else if (quorvel_http_egal(c.nom, "Content-Length")) {
            uint64_t l = 0;
            if (!longueur_de(c.valeur, &l) || (s.nb_cl > 0 && l != s.longueur)) s.cl_mauvais = true;
            s.longueur = l;
            ++s.nb_cl;
        } else if (quorvel_http_egal(c.nom, "Expect")) {
            if (quorvel_http_egal(c.valeur, "100-continue")) s.expect_100 = true;
        }
    }
    return s;
}

// 1 when field `i` is to be dropped: a hop-by-hop field, or one that a
// Connection field names.
bool a_retirer(const quorvel_http_tete &t, int i)
{
    const std::string_view nom = t.champs[i].nom;
    if (saut_fixe(nom)) return true;
    for (int j = 0; j < t.nb_champs; ++j)
        if (quorvel_http_egal(t.champs[j].nom, "Connection") && quorvel_http_liste_contient(t.champs[j].valeur, nom))
            return true;
    return false;
}

void ajoute_champ(std::string &s, const quorvel_http_champ &c)
{
    s.append(c.nom);
    s += ": ";
    s.append(c.valeur);
    s += "\r\n";
}

/* ---- One client connection ---- */

struct connexion {
    int client = -1;
    uint32_t adresse = 0;
    uint16_t port_client = 0;
    flux amont_lu;      // the server's side (fd -1 when none is open)
    std::string hote;   // host and port the open server connection serves
    int port = 0;
    uint32_t adresse_serveur = KVTNET_ADRESSE_INVALIDE;
    flux client_lu;
    bool page = false;  // a page was the last answer: the close lingers
    ~connexion() { ferme_serveur(); }
    void ferme_serveur()
    {
        if (amont_lu.fd >= 0) kvtnet_fermer(amont_lu.fd);
        amont_lu.fd = -1;
        amont_lu.vide();
        hote.clear();
    }
};

// What an access line of a request reports.
struct bilan {
    std::string_view methode, cible;
    uint32_t adresse = KVTNET_ADRESSE_INVALIDE;
    int code = 0;
    uint64_t montants = 0, descendants = 0;
    int64_t debut = 0;
    bool compte = false;  // counted among the connections the stop waits for
};

void ligne_acces(const connexion &c, const bilan &b)
{
    if (!kvtlog_acces_actif()) return;
    char client[20], adresse[20], methode[40], url[1024];
    kvtnet_aff_adresse(c.adresse, client);
    if (b.adresse == KVTNET_ADRESSE_INVALIDE)
        std::strcpy(adresse, "-");
    else
        kvtnet_aff_adresse(b.adresse, adresse);
    const std::string m(b.methode.substr(0, sizeof methode - 1));
    kvtstr_echappe(m.c_str(), methode, sizeof methode);
    quorvel_http_url_acces(b.cible, url, sizeof url);
    kvtlog_acces("http client=%s:%u method=%s url=%s addr=%s status=%d up=%llu down=%llu ms=%lld", client,
                 unsigned{ntohs(c.port_client)}, methode, url, adresse, b.code,
                 static_cast<unsigned long long>(b.montants), static_cast<unsigned long long>(b.descendants),
                 static_cast<long long>(maintenant() - b.debut));
}

void page(connexion &c, bilan &b, const char *message, int code)
{
    c.page = true;
    kvtstat.http.pages.fetch_add(1, std::memory_order_relaxed);
    (void)kvthttp_envoie_page(c.client, message, code);
    b.code = code;
}

// Opens the connection to host:port, or keeps the open one when it serves
// the same host and port and is still there. 0, or a QUORVEL_TUNNEL_* result.
int serveur_pour(connexion &c, const std::string &hote, int port, bool *reprise)
{
    *reprise = false;
    if (c.amont_lu.fd >= 0) {
        pollfd p{c.amont_lu.fd, POLLIN, 0};
        // Readable while idle: closed, or bytes nobody asked for.
        if (c.hote == hote && c.port == port && ::poll(&p, 1, 0) == 0) {
            *reprise = true;
            return 0;
        }
        c.ferme_serveur();
    }
    uint32_t adresse = KVTNET_ADRESSE_INVALIDE;
    const int s = quorvel_tunnel_joint(&service, c.client, c.adresse, hote.c_str(), port, &adresse);
    if (s < 0) return s;
    non_bloquant(s);
    c.amont_lu.fd = s;
    c.hote = hote;
    c.port = port;
    c.adresse_serveur = adresse;
    return 0;
}

// The request head as the server gets it.
std::string tete_requete(const quorvel_http_tete &t, const quorvel_http_url &u, const sens &s, bool garde_10)
{
    std::string h;
    h.reserve(512 + t.cible.size() + t.nb_champs * 64);
    h.append(t.methode);
    h += ' ';
    if (u.chemin.front() != '/') h += '/';
    h.append(u.chemin);
    h += ' ';
    h.append(t.version);
    h += "\r\nHost: ";
    h.append(u.hote);
    if (u.port != 80) h += ":" + std::to_string(u.port);
    h += "\r\n";
    const bool upgrade = s.websocket && s.conn_upgrade;
    for (int i = 0; i < t.nb_champs; ++i) {
        const quorvel_http_champ &c = t.champs[i];
        if (quorvel_http_egal(c.nom, "Host")) continue;
        if (upgrade && quorvel_http_egal(c.nom, "Upgrade")) {
            ajoute_champ(h, c);
            continue;
        }
        if (a_retirer(t, i)) continue;
        ajoute_champ(h, c);
    }
    if (upgrade) h += "Connection: Upgrade\r\n";
    else if (garde_10) h += "Connection: keep-alive\r\n";
    h += "Via: 1.1 quorvel\r\n\r\n";
    return h;
}

// The answer's head as the client gets it: its status line, its fields but
// the hop-by-hop ones, what the proxy says of the client connection, Via.
std::string tete_reponse(const char *p, const quorvel_http_tete &t, bool upgrade, const char *connexion_champ,
                         bool sans_longueur)
{
    std::string h;
    h.reserve(512 + t.nb_champs * 64);
    const char *fin = static_cast<const char *>(std::memchr(p, '\n', ENTETE_MAX));
    size_t l = static_cast<size_t>(fin - p);
    if (l > 0 && p[l - 1] == '\r') --l;
    h.append(p, l);
    h += "\r\n";
    for (int i = 0; i < t.nb_champs; ++i) {
        const quorvel_http_champ &c = t.champs[i];
        if (upgrade && (quorvel_http_egal(c.nom, "Upgrade") || quorvel_http_egal(c.nom, "Connection"))) {
            ajoute_champ(h, c);
            continue;
        }
        if (sans_longueur && quorvel_http_egal(c.nom, "Content-Length")) continue;
        if (a_retirer(t, i)) continue;
        ajoute_champ(h, c);
    }
    if (connexion_champ != nullptr) {
        h += "Connection: ";
        h += connexion_champ;
        h += "\r\n";
    }
    h += "Via: 1.1 quorvel\r\n\r\n";
    return h;
}

enum suite { CONTINUE, FERMER };

// Serves one request parsed in `t` (its body, if any, comes next in
// c.client_lu). CONTINUE when the client connection may carry the next
// request.
suite sert_requete(connexion &c, const quorvel_http_tete &t, bilan &b)
{
    b.methode = t.methode;
    b.cible = t.cible;
    const sens s = lit_sens(t);

    if (quorvel_http_egal(t.methode, "CONNECT")) {
        // The tunnel module's own path: its pages, checks and access line.
        kvthttpe *e = kvthttpe_nouveau();
        const std::string cible(t.cible);
        b.code = -1;
        if (e == nullptr || kvthttpe_analyse_url(e, cible.c_str()) < 0 || e->hote == nullptr) {
            quorvel_tunnel_page(&service, c.client, 0);
            c.page = true;
            quorvel_tunnel_acces(&service, c.adresse, c.port_client, nullptr, 0, quorvel_tunnel_bilan{}, 400, b.debut);
        } else {
            c.page = quorvel_tunnel_connect(&service, c.client, c.adresse, c.port_client, e->hote, e->port,
                                            b.debut) != 200;
        }
        if (e != nullptr) kvthttpe_libere(&e);
        return FERMER;
    }

    quorvel_http_url u{};
    const int ru = quorvel_http_analyse_url(t.cible, &u);
    if (ru == QUORVEL_HTTP_URL_FTP) { page(c, b, MSG_FTP, 501); return FERMER; }
    if (ru == QUORVEL_HTTP_URL_SCHEMA) { page(c, b, MSG_SCHEMA, 501); return FERMER; }
    if (ru < 0) { page(c, b, kvthttp_msg_invalide, 400); return FERMER; }

    // Framing that two readers could take differently: refused before a
    // byte goes to the server.
    if ((s.te && s.nb_cl > 0) || (s.te && !s.te_morceaux) || s.cl_mauvais) {
        page(c, b, kvthttp_msg_invalide, 400);
        return FERMER;
    }
    const cadrage corps_requete = s.te ? MORCEAUX : s.nb_cl > 0 && s.longueur > 0 ? LONGUEUR : SANS_CORPS;

    const std::string hote(u.hote);
    if (quorvel_http_bloque(hote.c_str())) {
        quorvel_tunnel_page(&service, c.client, QUORVEL_TUNNEL_PAGE_BLOQUE);
        c.page = true;
        kvtstat.http.bloques.fetch_add(1, std::memory_order_relaxed);
        char texte[260], texte_hote[260];
        kvtnet_aff_adresse(c.adresse, texte);
        quorvel_tunnel_hote_sur(hote.c_str(), texte_hote, sizeof texte_hote);
        kvtlog_refus("HTTP", "Connection from %s to %s blocked (HTTP)", texte, texte_hote);
        b.code = 403;
        return FERMER;
    }

    // The client's wish for its connection.
    const bool garde_client = t.mineure == 1 ? !s.ferme : (s.garde && !s.ferme);
    const bool garde_10 = t.mineure == 0 && garde_client;
    const std::string tete = tete_requete(t, u, s, garde_10);

    bool reprise = false;
    for (int essai = 0;; ++essai) {
        const int r = serveur_pour(c, hote, u.port, &reprise);
        if (r < 0) {
            c.page = true;
            switch (r) {
            case QUORVEL_TUNNEL_RESOLUTION: quorvel_tunnel_page(&service, c.client, 4); b.code = 503; break;
            case QUORVEL_TUNNEL_CONNEXION: quorvel_tunnel_page(&service, c.client, 3); b.code = 503; break;
            case QUORVEL_TUNNEL_INTERDIT: quorvel_tunnel_page(&service, c.client, 2); b.code = 403; break;
            default: quorvel_tunnel_page(&service, c.client, 5); b.code = 500; break;
            }
            return FERMER;
        }
        b.adresse = c.adresse_serveur;
        if (envoie(c.amont_lu.fd, tete.data(), tete.size())) break;
        c.ferme_serveur();
        // A kept connection that the server closed meanwhile: once more on
        // a new one.
        if (!reprise || essai > 0) {
            page(c, b, MSG_MAUVAISE, 502);
            return FERMER;
        }
    }
    kvtstat.http.requetes.fetch_add(1, std::memory_order_relaxed);
    // Counted in for the stop from here to the access line: every wait of
    // the request ends at the stop, and its line is written before the
    // process leaves.
    b.compte = kvtarret_entre() == 1;

    // The body, unless the client waits for the server's word first.
    bool corps_envoye = corps_requete == SANS_CORPS;
    auto envoie_corps = [&]() -> bool {
        const int rc = relaie_corps(c.client_lu, c.amont_lu.fd, corps_requete, s.longueur, &b.montants);
        kvtstat.http.octets_montants.fetch_add(b.montants, std::memory_order_relaxed);
        corps_envoye = true;
        if (rc == CORPS_MALFORME) {
            // The bad part never left: the server's connection ends with it.
            c.ferme_serveur();
            page(c, b, kvthttp_msg_invalide, 400);
            return false;
        }
        if (rc == CORPS_SOURCE) {
            c.ferme_serveur();
            b.code = 400;
            return false;
        }
        return true;  // a server that stopped reading may still answer
    };
    if (!corps_envoye && !s.expect_100) {
        if (!envoie_corps()) return FERMER;
    }

    // The answer: 1xx heads first, passed on to HTTP/1.1 clients.
    const int64_t echeance = maintenant() + delai_reponse_ms.load(std::memory_order_relaxed);
    quorvel_http_tete *rt = new (std::nothrow) quorvel_http_tete;
    if (rt == nullptr) return FERMER;
    std::unique_ptr<quorvel_http_tete> garde_rt{rt};
    long n = 0;
    for (;;) {
        if (!corps_envoye && c.client_lu.dispo() == 0 && c.amont_lu.dispo() == 0) {
            // Expect: 100-continue. Whichever speaks first: the client's
            // body, or the server's answer.
            pollfd p[3] = {{c.client, POLLIN, 0}, {c.amont_lu.fd, POLLIN, 0}, {kvtarret_fd(), POLLIN, 0}};
            const int64_t reste = echeance - maintenant();
            const int k = reste > 0 ? ::poll(p, p[2].fd >= 0 ? 3 : 2, static_cast<int>(reste)) : 0;
            if (k == 0) { c.ferme_serveur(); page(c, b, MSG_DELAI, 504); return FERMER; }
            if (k > 0 && p[2].fd >= 0 && p[2].revents != 0) { c.ferme_serveur(); return FERMER; }  // the stop
            if (k > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                (p[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                if (!envoie_corps()) return FERMER;
                continue;
            }
        } else if (!corps_envoye && c.client_lu.dispo() > 0) {
            if (!envoie_corps()) return FERMER;
            continue;
        }
        n = lit_tete(c.amont_lu, echeance, echeance);
        if (n == TETE_VIDE && reprise && corps_requete == SANS_CORPS) {
            // The kept connection was closed by the server as the request
            // went out: the request goes once more, on a new connection.
            reprise = false;
            c.ferme_serveur();
            const int r = serveur_pour(c, hote, u.port, &reprise);
            if (r < 0 || !envoie(c.amont_lu.fd, tete.data(), tete.size())) {
                c.ferme_serveur();
                page(c, b, MSG_MAUVAISE, 502);
                return FERMER;
            }
            b.adresse = c.adresse_serveur;
            continue;
        }
        if (n == TETE_DELAI) { c.ferme_serveur(); page(c, b, MSG_DELAI, 504); return FERMER; }
        if (n < 0) {
            c.ferme_serveur();
            page(c, b, MSG_MAUVAISE, 502);
            return FERMER;
        }
        if (quorvel_http_analyse_reponse(c.amont_lu.donnees(), static_cast<size_t>(n), rt) < 0) {
            c.ferme_serveur();
            page(c, b, MSG_MAUVAISE, 502);
            return FERMER;
        }
        if (rt->code >= 200 || rt->code == 101) break;
        // 100 Continue and the like: an HTTP/1.0 client knows none of them.
        if (t.mineure == 1) {
            const std::string h = tete_reponse(c.amont_lu.donnees(), *rt, false, nullptr, false);
            if (!envoie(c.client, h.data(), h.size())) { c.ferme_serveur(); return FERMER; }
        }
        c.amont_lu.prend(static_cast<size_t>(n));
    }
    b.code = rt->code;
    const char *tete_brute = c.amont_lu.donnees();
    const sens rs = lit_sens(*rt);

    if (rt->code == 101) {
        if (!(s.websocket && s.conn_upgrade) || !rs.websocket) {
            c.ferme_serveur();
            page(c, b, MSG_MAUVAISE, 502);
            return FERMER;
        }
        // The connection is the two peers' from now on: a relay like a tunnel.
        const std::string h = tete_reponse(tete_brute, *rt, true, nullptr, false);
        c.amont_lu.prend(static_cast<size_t>(n));
        if (!envoie(c.client, h.data(), h.size())) { c.ferme_serveur(); return FERMER; }
        if (c.amont_lu.dispo() > 0) {
            b.descendants += c.amont_lu.dispo();
            if (!envoie(c.client, c.amont_lu.donnees(), c.amont_lu.dispo())) { c.ferme_serveur(); return FERMER; }
            c.amont_lu.vide();
        }
        if (c.client_lu.dispo() > 0) {
            b.montants += c.client_lu.dispo();
            if (!envoie(c.amont_lu.fd, c.client_lu.donnees(), c.client_lu.dispo())) { c.ferme_serveur(); return FERMER; }
            c.client_lu.vide();
        }
        uint64_t montants = 0, descendants = 0;
        (void)kvtnet_redir2_compte(c.client, c.amont_lu.fd, inactif_s.load(std::memory_order_relaxed), &montants,
                                   &descendants);
        b.montants += montants;
        b.descendants += descendants;
        kvtstat.http.octets_montants.fetch_add(montants, std::memory_order_relaxed);
        kvtstat.http.octets_descendants.fetch_add(b.descendants, std::memory_order_relaxed);
        c.ferme_serveur();
        return FERMER;
    }

    // The answer's framing.
    cadrage corps_reponse;
    bool cadre = true;
    if (quorvel_http_egal(t.methode, "HEAD") || rt->code == 204 || rt->code == 304) {
        corps_reponse = SANS_CORPS;
    } else if (rs.te) {
        corps_reponse = rs.te_morceaux ? MORCEAUX : JUSQU_A_FIN;
    } else if (rs.nb_cl > 0 && !rs.cl_mauvais) {
        corps_reponse = rs.longueur > 0 ? LONGUEUR : SANS_CORPS;
    } else {
        corps_reponse = JUSQU_A_FIN;
        cadre = rs.nb_cl == 0;
    }
    const bool garde_serveur = (rt->mineure == 1 ? !rs.ferme : (rs.garde && !rs.ferme)) &&
                               corps_reponse != JUSQU_A_FIN && !(s.websocket && s.conn_upgrade);
    const bool garde = garde_client && corps_reponse != JUSQU_A_FIN && cadre && corps_envoye;
    const char *champ = !garde ? "close" : garde_10 ? "keep-alive" : nullptr;
    const std::string h = tete_reponse(tete_brute, *rt, false, champ, rs.te);
    c.amont_lu.prend(static_cast<size_t>(n));
    if (!envoie(c.client, h.data(), h.size())) { c.ferme_serveur(); return FERMER; }
    const int rc = relaie_corps(c.amont_lu, c.client, corps_reponse, rs.longueur, &b.descendants);
    kvtstat.http.octets_descendants.fetch_add(b.descendants, std::memory_order_relaxed);
    if (rc != CORPS_OK || !garde_serveur || c.amont_lu.dispo() > 0 || !corps_envoye) c.ferme_serveur();
    else c.amont_lu.rend();
    if (rc != CORPS_OK) return FERMER;
    // A body the client was told to wait with and never sent may still be
    // on its way: the connection ends (garde is false then).
    return garde ? CONTINUE : FERMER;
}

// After a page, the rest of what the client sends is read and dropped for
// a moment before the close: closing on unread bytes would reset the
// connection, and the reset can destroy the page before the client reads it.
void attend_fin(int s)
{
    (void)::shutdown(s, SHUT_WR);
    const int64_t echeance = maintenant() + 2000;
    char poubelle[4096];
    for (size_t lus = 0; lus < 256 * 1024;) {
        if (attend(s, echeance) != LU) return;
        const ssize_t n = ::recv(s, poubelle, sizeof poubelle, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
        if (n > 0) lus += static_cast<size_t>(n);
    }
}

struct compte_ouverte {
    compte_ouverte() { kvtstat.http.ouverts.fetch_add(1, std::memory_order_relaxed); }
    ~compte_ouverte() { kvtstat.http.ouverts.fetch_sub(1, std::memory_order_relaxed); }
};

}  // namespace

void quorvel_http_refus(int s, uint32_t adresse)
{
    // Under 1 KiB into the empty send buffer of a fresh connection.
    quorvel_tunnel_page(&service, s, QUORVEL_TUNNEL_PAGE_SATURE);
    char texte[260];
    kvtnet_aff_adresse(adresse, texte);
    // The access line goes under the bound of the refusal line.
    if (kvtlog_refus("HTTP", "Connection from %s refused: too many connections (HTTP)", texte) == 1 &&
        kvtlog_acces_actif()) {
        sockaddr_in pair{};
        socklen_t l = sizeof pair;
        connexion c;
        c.adresse = adresse;
        c.port_client = ::getpeername(s, reinterpret_cast<sockaddr *>(&pair), &l) == 0 ? pair.sin_port : 0;
        bilan b;
        b.code = 503;
        b.debut = maintenant();
        ligne_acces(c, b);
    }
}

void quorvel_http_connexion(void *bloc)
{
    const int64_t debut = maintenant();
    if (bloc == nullptr) {
        KVT_ERREUR();
        return;
    }
    const auto *bl = static_cast<const kvtnet_bloc *>(bloc);
    connexion c;
    c.client = bl->socket;
    c.client_lu.fd = bl->socket;
    c.adresse = bl->adresse;
    c.port_client = bl->port;
    std::free(bloc);
    compte_ouverte ouverte;

    if (!quorvel_ip_mask_autorise(c.adresse)) {
        // Not a byte of the request is read from a stranger.
        kvtstat.http.refus.fetch_add(1, std::memory_order_relaxed);
        quorvel_tunnel_page(&service, c.client, 2);
        kvtnet_fermer(c.client);
        char texte[260];
        kvtnet_aff_adresse(c.adresse, texte);
        if (kvtlog_refus("HTTP", "Connection from %s refused (HTTP)", texte) == 1) {
            bilan b;
            b.code = 403;
            b.debut = debut;
            ligne_acces(c, b);
        }
        return;
    }
    non_bloquant(c.client);

    // The first head through the listener's reader, which tells the capped
    // listener that this connection is past its head.
    char *premiere = nullptr;
    const int lu = kvtnet_recup_entete(c.client, &premiere);
    kvt_cstr garde_premiere{premiere};
    bool premiere_fois = true;
    for (;;) {
        bilan b;
        b.debut = premiere_fois ? debut : maintenant();
        long n;
        if (premiere_fois) {
            n = lu;
            if (lu >= 0) {
                if (!c.client_lu.reserve(static_cast<size_t>(lu) + 1)) break;
                std::memcpy(c.client_lu.buf, premiere, static_cast<size_t>(lu));
                c.client_lu.debut = 0;
                c.client_lu.fin = static_cast<size_t>(lu);
                garde_premiere.reset();
            } else {
                n = lu == -1 ? TETE_GRANDE : lu == -3 ? TETE_DELAI : TETE_VIDE;
            }
        } else {
            n = lit_tete(c.client_lu, echeance_inactif(), -1, DELAI_ENTETE_MS);
            // Nothing more, or idle for too long: the connection ends quietly.
            if (n == TETE_VIDE || (n == TETE_DELAI && c.client_lu.dispo() == 0)) break;
        }
        premiere_fois = false;
        if (n < 0) {
            if (n == TETE_GRANDE) page(c, b, MSG_GRANDE, 431);
            else page(c, b, kvthttp_msg_invalide, 400);
            ligne_acces(c, b);
            break;
        }
        // The head is copied out: the parts of `t` point into it while the
        // request is served, and the body follows it in the buffer.
        std::string tete(c.client_lu.donnees(), static_cast<size_t>(n));
        c.client_lu.prend(static_cast<size_t>(n));
        quorvel_http_tete *t = new (std::nothrow) quorvel_http_tete;
        if (t == nullptr) break;
        std::unique_ptr<quorvel_http_tete> garde_t{t};
        const int r = quorvel_http_analyse_requete(tete.data(), tete.size(), t);
        if (r < 0) {
            if (r == QUORVEL_HTTP_CIBLE_LONGUE) page(c, b, MSG_LONGUE, 414);
            else if (r == QUORVEL_HTTP_TROP_DE_CHAMPS) page(c, b, MSG_GRANDE, 431);
            else page(c, b, kvthttp_msg_invalide, 400);
            ligne_acces(c, b);
            break;
        }
        const bool connect = quorvel_http_egal(t->methode, "CONNECT");
        const suite s = sert_requete(c, *t, b);
        if (!connect) ligne_acces(c, b);
        if (b.compte) kvtarret_sort();
        if (s != CONTINUE) break;
        c.client_lu.rend();
    }
    c.ferme_serveur();
    if (c.page) attend_fin(c.client);
    kvtnet_fermer(c.client);
}
