/* Logs: the log and the error log, one line per call,
 * "YYYY-MM-DD HH:MM:SS text" in local time.
 *
 * Each line goes out in one writev(2) on a descriptor opened with O_APPEND,
 * under a mutex: lines never interleave, and a line is in the kernel as soon
 * as the call returns, so killing the process loses nothing. A log that
 * cannot be opened falls back to stderr (descriptor 2). */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kStderr = 2;

struct Journal {
    int fd = kStderr;
    std::string chemin;  // resolved path, kept for kvtlog_reouvre; empty before init
};

struct Etat {
    std::mutex ecriture;   // taken for each line and for swapping descriptors
    std::mutex ouverture;  // serialises init and reopen, which open files
    Journal log, err;
    bool initialise = false;
    // The access log has a lock of its own: a tunnel that ends never waits
    // for the log, and the log never for a burst of ending tunnels.
    std::mutex acces_ecriture;
    Journal acces{-1, {}};
    // Configuration warnings met before the error log was open.
    std::vector<std::string> en_attente;
    int perdus = 0;
};

// Never destroyed: detached threads may still log while the process exits.
Etat &etat()
{
    static Etat *e = new Etat;
    return *e;
}

// Bounds the warnings kept for an error log that is not open yet.
constexpr size_t kMaxEnAttente = 100;

int ecrit_tout(int fd, const iovec *morceaux, int nb)
{
    iovec v[3];
    std::memcpy(v, morceaux, sizeof(iovec) * static_cast<size_t>(nb));
    iovec *p = v;
    while (nb > 0) {
        const ssize_t n = ::writev(fd, p, nb);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        size_t reste = static_cast<size_t>(n);
        while (nb > 0 && reste >= p->iov_len) {
            reste -= p->iov_len;
            ++p;
            --nb;
        }
        if (nb > 0) {
            p->iov_base = static_cast<char *>(p->iov_base) + reste;
            p->iov_len -= reste;
        }
    }
    return 0;
}

// Writes the stamped line for `texte` (no line end of its own) to `fd`.
// The caller holds `ecriture`, so the stamps follow the order of the lines.
int ecrit_ligne(int fd, const char *texte, size_t longueur)
{
    char horodatage[32];
    const time_t t = ::time(nullptr);
    struct tm tm;
    size_t h = 0;
    if (::localtime_r(&t, &tm) != nullptr) h = std::strftime(horodatage, sizeof horodatage, "%Y-%m-%d %H:%M:%S ", &tm);
    if (h == 0) {
        std::memcpy(horodatage, "0000-00-00 00:00:00 ", 20);
        h = 20;
    }
    char fin = '\n';
    const iovec morceaux[3] = {{horodatage, h}, {const_cast<char *>(texte), longueur}, {&fin, 1}};
    return ecrit_tout(fd, morceaux, 3);
}

// Formats the text of one line. Line ends inside it become blanks and
// trailing ones are dropped: one call is always exactly one line, whatever
// a formatted argument holds.
struct Texte {
    char pile[1024];
    char *tas = nullptr;
    char *p = nullptr;
    size_t n = 0;
    ~Texte() { std::free(tas); }
};

int formate(Texte &t, const char *format, va_list args)
{
    va_list copie;
    va_copy(copie, args);
    const int n = std::vsnprintf(t.pile, sizeof t.pile, format, args);
    if (n < 0) {
        va_end(copie);
        KVT_ERREUR();
        return -1;
    }
    t.p = t.pile;
    if (static_cast<size_t>(n) >= sizeof t.pile) {
        t.tas = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
        if (t.tas == nullptr) {
            va_end(copie);
            KVT_ERREUR();
            return -1;
        }
        std::vsnprintf(t.tas, static_cast<size_t>(n) + 1, format, copie);
        t.p = t.tas;
    }
    va_end(copie);
    size_t l = static_cast<size_t>(n);
    while (l > 0 && (t.p[l - 1] == '\n' || t.p[l - 1] == '\r')) --l;
    for (size_t i = 0; i < l; ++i)
        if (t.p[i] == '\n' || t.p[i] == '\r') t.p[i] = ' ';
    t.n = l;
    return 0;
}

int journalise(bool erreur, const char *format, va_list args)
{
    if (format == nullptr) { KVT_ERREUR(); return -1; }
    Texte t;
    if (formate(t, format, args) < 0) return -1;
    Etat &e = etat();
    std::lock_guard<std::mutex> verrou(e.ecriture);
    return ecrit_ligne(erreur ? e.err.fd : e.log.fd, t.p, t.n);
}

std::string resout(const char *chemin)
{
    if (chemin[0] == '/') return chemin;
    return std::string(kvtcfg_dossier()) + chemin;
}

// The descriptor of `chemin` opened for appending, or -1 with errno set.
int ouvre(const std::string &chemin)
{
    if (chemin.empty()) {
        errno = ENOENT;
        return -1;
    }
    return ::open(chemin.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

void ferme(int fd)
{
    if (fd != kStderr && fd >= 0) ::close(fd);
}

// Tells about a log that cannot be opened: always on stderr, where an
// operator starting the proxy sees it, and in the error log when that is a
// file. The caller holds `ouverture`, not `ecriture`.
void signale_echec(const char *quoi, const std::string &chemin, int err, const char *suite)
{
    Etat &e = etat();
    std::string texte = chemin.empty() ? std::string("No path given for the ") + quoi + ": " + suite
                                       : std::string("Unable to open the ") + quoi + " " + chemin + " (" +
                                             std::strerror(err) + "): " + suite;
    std::lock_guard<std::mutex> verrou(e.ecriture);
    ecrit_ligne(kStderr, texte.data(), texte.size());
    if (e.err.fd != kStderr) ecrit_ligne(e.err.fd, texte.data(), texte.size());
}

}  // namespace

void kvtlog_avertit(const char *texte)
{
    if (texte == nullptr) return;
    Etat &e = etat();
    const size_t n = std::strlen(texte);
    std::lock_guard<std::mutex> verrou(e.ecriture);
    ecrit_ligne(kStderr, texte, n);
    if (e.err.fd != kStderr) {
        ecrit_ligne(e.err.fd, texte, n);
    } else if (!e.initialise) {
        if (e.en_attente.size() < kMaxEnAttente) {
            try {
                // Stamped now: the line reaches the error log later.
                char h[32];
                const time_t t = ::time(nullptr);
                struct tm tm;
                size_t l = ::localtime_r(&t, &tm) ? std::strftime(h, sizeof h, "%Y-%m-%d %H:%M:%S ", &tm) : 0;
                e.en_attente.push_back(std::string(h, l) + texte + "\n");
            } catch (const std::bad_alloc &) {
                ++e.perdus;
            }
        } else {
            ++e.perdus;
        }
    }
}

int kvtlog_init(const char *log, const char *erreurs)
{
    if (log == nullptr || erreurs == nullptr) { KVT_ERREUR(); return -1; }
    Etat &e = etat();
    std::lock_guard<std::mutex> ouverture(e.ouverture);
    ::tzset();
    std::string chemin_log, chemin_err;
    try {
        chemin_log = log[0] ? resout(log) : std::string();
        chemin_err = erreurs[0] ? resout(erreurs) : std::string();
    } catch (const std::bad_alloc &) {
        KVT_ERREUR();
        return -1;
    }
    int fd_log = ouvre(chemin_log);
    const int err_log = errno;
    int fd_err = ouvre(chemin_err);
    const int err_err = errno;

    std::vector<std::string> en_attente;
    int perdus;
    int ancien_log, ancien_err;
    {
        std::lock_guard<std::mutex> verrou(e.ecriture);
        ancien_log = e.log.fd;
        ancien_err = e.err.fd;
        e.log.fd = fd_log >= 0 ? fd_log : kStderr;
        e.err.fd = fd_err >= 0 ? fd_err : kStderr;
        e.log.chemin.swap(chemin_log);
        e.err.chemin.swap(chemin_err);
        e.initialise = true;
        en_attente.swap(e.en_attente);
        perdus = e.perdus;
        e.perdus = 0;
        // Warnings given before the error log opened; they are on stderr
        // already, so they are written again only into a file.
        if (e.err.fd != kStderr) {
            for (std::string &l : en_attente) {
                const iovec v{l.data(), l.size()};
                (void)ecrit_tout(e.err.fd, &v, 1);
            }
            if (perdus > 0) {
                std::string t = std::to_string(perdus) + " more configuration warnings were lost";
                ecrit_ligne(e.err.fd, t.data(), t.size());
            }
        }
    }
    ferme(ancien_log);
    ferme(ancien_err);
    if (fd_err < 0) signale_echec("error log", e.err.chemin, err_err, "errors go to standard error");
    if (fd_log < 0) signale_echec("log", e.log.chemin, err_log, "the log goes to standard error");
    return fd_log >= 0 && fd_err >= 0 ? 0 : -1;
}

int kvtlog_reouvre(void)
{
    Etat &e = etat();
    std::unique_lock<std::mutex> ouverture(e.ouverture);
    std::string chemin_log, chemin_err;
    {
        std::lock_guard<std::mutex> verrou(e.ecriture);
        if (!e.initialise) return -1;
        chemin_log = e.log.chemin;
        chemin_err = e.err.chemin;
    }
    int fd_log = ouvre(chemin_log);
    const int err_log = errno;
    int fd_err = ouvre(chemin_err);
    const int err_err = errno;
    int ancien_log = -1, ancien_err = -1;
    bool log_fichier, err_fichier;
    {
        // A log that cannot be reopened keeps its old descriptor: the lines
        // then go on into the renamed file instead of being lost.
        std::lock_guard<std::mutex> verrou(e.ecriture);
        if (fd_log >= 0) {
            ancien_log = e.log.fd;
            e.log.fd = fd_log;
        }
        if (fd_err >= 0) {
            ancien_err = e.err.fd;
            e.err.fd = fd_err;
        }
        log_fichier = e.log.fd != kStderr;
        err_fichier = e.err.fd != kStderr;
    }
    ferme(ancien_log);
    ferme(ancien_err);
    if (fd_err < 0)
        signale_echec("error log", chemin_err, err_err,
                      err_fichier ? "errors go on into the file open before" : "errors go to standard error");
    if (fd_log < 0)
        signale_echec("log", chemin_log, err_log,
                      log_fichier ? "the log goes on into the file open before" : "the log goes to standard error");
    std::string chemin_acces;
    {
        std::lock_guard<std::mutex> verrou(e.acces_ecriture);
        chemin_acces = e.acces.chemin;
    }
    int r_acces = 0;
    if (!chemin_acces.empty()) {
        const int fd = ouvre(chemin_acces);
        if (fd >= 0) {
            int ancien;
            {
                std::lock_guard<std::mutex> verrou(e.acces_ecriture);
                ancien = e.acces.fd;
                e.acces.fd = fd;
            }
            ferme(ancien);
        } else {
            signale_echec("access log", chemin_acces, errno, "access lines go on into the file open before");
            r_acces = -1;
        }
    }
    ouverture.unlock();
    kvtlog_log("Logs reopened");
    return fd_log >= 0 && fd_err >= 0 && r_acces == 0 ? 0 : -1;
}

namespace {
std::atomic<int> acces_ouvert{0};
}  // namespace

int kvtlog_acces_ouvre(const char *chemin)
{
    Etat &e = etat();
    std::lock_guard<std::mutex> ouverture(e.ouverture);
    std::string resolu;
    try {
        resolu = chemin != nullptr && chemin[0] ? resout(chemin) : std::string();
    } catch (const std::bad_alloc &) {
        KVT_ERREUR();
        return -1;
    }
    int fd = -1;
    int r = 0;
    if (!resolu.empty()) {
        fd = ouvre(resolu);
        if (fd < 0) {
            signale_echec("access log", resolu, errno, "no access log");
            resolu.clear();
            r = -1;
        }
    }
    int ancien;
    {
        std::lock_guard<std::mutex> verrou(e.acces_ecriture);
        ancien = e.acces.fd;
        e.acces.fd = fd;
        e.acces.chemin.swap(resolu);
        acces_ouvert.store(fd >= 0 ? 1 : 0, std::memory_order_relaxed);
    }
    ferme(ancien);
    return r;
}

int kvtlog_acces_actif(void)
{
    return acces_ouvert.load(std::memory_order_relaxed);
}

int kvtlog_acces(const char *format, ...)
{
    if (format == nullptr) { KVT_ERREUR(); return -1; }
    if (!kvtlog_acces_actif()) return 0;
    Texte t;
    va_list args;
    va_start(args, format);
    const int f = formate(t, format, args);
    va_end(args);
    if (f < 0) return -1;
    // Stamp, text and line end in one buffer: one write(2) with O_APPEND
    // puts the whole line in the file at once.
    char pile[1100];
    std::string tas;
    char *ligne = pile;
    const size_t max = 32 + t.n + 1;
    if (max > sizeof pile) {
        try {
            tas.resize(max);
        } catch (const std::bad_alloc &) {
            KVT_ERREUR();
            return -1;
        }
        ligne = tas.data();
    }
    const time_t maintenant = ::time(nullptr);
    struct tm tm;
    size_t h = 0;
    if (::localtime_r(&maintenant, &tm) != nullptr) h = std::strftime(ligne, 32, "%Y-%m-%d %H:%M:%S ", &tm);
    if (h == 0) {
        std::memcpy(ligne, "0000-00-00 00:00:00 ", 20);
        h = 20;
    }
    std::memcpy(ligne + h, t.p, t.n);
    ligne[h + t.n] = '\n';
    const iovec v{ligne, h + t.n + 1};
    Etat &e = etat();
    std::lock_guard<std::mutex> verrou(e.acces_ecriture);
    if (e.acces.fd < 0) return 0;
    return ecrit_tout(e.acces.fd, &v, 1);
}

int kvtlog_vlog(const char *format, va_list args)
{
    return journalise(false, format, args);
}

int kvtlog_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int r = journalise(false, format, args);
    va_end(args);
    return r;
}

int kvtlog_erreur(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int r = journalise(true, format, args);
    va_end(args);
    return r;
}
