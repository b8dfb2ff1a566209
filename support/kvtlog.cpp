/* Logs: the log and the error log, one line per call,
 * "YYYY-MM-DD HH:MM:SS text" in local time.
 *
 * Each line goes out in one writev(2) on a descriptor opened with O_APPEND,
 * under a mutex: lines never interleave, and a line is in the kernel as soon
 * as the call returns, so killing the process loses nothing. A log that
 * cannot be opened falls back to stderr (descriptor 2). A log that does not
 * take a line (a pipe whose reader stopped) costs its caller at most
 * kDelaiLigneMs once; until it takes bytes again, lines are tried once and
 * dropped, so no service waits on it.
 *
 * The access log is written by one writer thread: callers stamp and format
 * their line, then copy it into a bounded ring under a short lock; only a
 * writer that has had nothing to write for a while is woken by a line. Lines
 * that do not fit, or that a failed write loses, are counted and reported in
 * the error log at most once a minute. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_trace.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kStderr = 2;

// The longest a line of the log or error log waits for a descriptor that
// does not take it.
constexpr int kDelaiLigneMs = 500;

struct Journal {
    int fd = kStderr;
    std::string chemin;  // resolved path, kept for kvtlog_reouvre; empty before init
    bool bouche = false;   // the last line did not go out in time: try once only
    bool saut_du = false;  // a line was cut: a line feed goes before the next
};

// The access log's ring: lines wait there for the writer thread.
constexpr size_t kFileOctets = 4 * 1024 * 1024;
// Most bytes the writer hands to one write(2).
constexpr size_t kMorceau = 64 * 1024;
// The writer's longest wait on a descriptor, so that a reopen, a new path
// or the stop are never stuck behind a pipe that is not read.
constexpr int kAttenteMs = 100;
// After a write the writer looks again this much later rather than being
// woken line by line: under a steady flow of lines the callers make no
// system call and the writer writes them in batches.
constexpr int kRegroupeMs = 20;
constexpr int64_t kRapportMs = 60 * 1000;

struct Acces {
    std::mutex m;  // guards everything below; never held across a write
    std::condition_variable reveil;  // the writer: lines, a new descriptor
    std::condition_variable sorti;   // kvtlog_acces_vide: the ring went out
    char *file = nullptr;            // kFileOctets bytes, from the first open
    uint64_t entres = 0, sortis = 0; // bytes ever queued, ever taken out
    int fd = -1;                     // owned by the writer once started
    std::string chemin;              // the path to reopen; empty: none
    // A descriptor that takes over from `fd` once the bytes queued before it
    // are out (or `fd` does not take them).
    bool bascule = false;
    int fd_suivant = -1;
    uint64_t bascule_a = 0;
    bool ecrivain = false;  // the writer thread runs
    bool endormi = true;    // the writer waits for a caller's wake-up, not for its own next look
    bool dans_ligne = false;  // the bytes written so far end inside a line
    // Lines dropped and not yet reported, by reason.
    unsigned long long pleine = 0, echecs = 0;
    int erreur = 0;  // errno of the last failed write
    unsigned long long perdues = 0;  // every line dropped since start
    int64_t rapport = INT64_MIN / 2;  // time of the last report, monotonic ms
};

struct Etat {
    std::mutex ecriture;   // taken for each line and for swapping descriptors
    std::mutex ouverture;  // serialises init and reopen, which open files
    Journal log, err;
    Journal sortie;  // stderr, for the warnings that always go there
    bool initialise = false;
    // The access log has a lock of its own: a tunnel that ends never waits
    // for the log, and the log never for a burst of ending tunnels.
    Acces acces;
    // Configuration warnings met before the error log was open.
    std::vector<std::string> en_attente;
    int perdus = 0;
};

// Never destroyed: detached threads may still log while the process exits.
Etat &etat() { return kvt_permanent<Etat>(); }

// Bounds the warnings kept for an error log that is not open yet.
constexpr size_t kMaxEnAttente = 100;

int64_t maintenant_ms() noexcept
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Writes the pieces to `j` within kDelaiLigneMs (no wait at all while `j`
// is stalled). A line cut by a stall or an error leaves a line feed owed, so
// the next line never follows a partial one. The caller holds `ecriture`.
int ecrit_tout(Journal &j, const iovec *morceaux, int nb)
{
    iovec v[4];
    char saut = '\n';
    const size_t du = j.saut_du ? 1 : 0;
    if (du) v[0] = {&saut, 1};
    std::memcpy(v + du, morceaux, sizeof(iovec) * static_cast<size_t>(nb));
    nb += static_cast<int>(du);
    iovec *p = v;
    size_t total = 0;
    const int64_t echeance = maintenant_ms() + (j.bouche ? 0 : kDelaiLigneMs);
    while (nb > 0) {
        // poll first: even a blocking stderr pipe that is full must not hold us.
        pollfd pf{j.fd, POLLOUT, 0};
        const int64_t reste = echeance - maintenant_ms();
        const int r = ::poll(&pf, 1, reste > 0 ? static_cast<int>(reste) : 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) {
            j.bouche = true;
            break;
        }
        const ssize_t n = ::writev(j.fd, p, nb);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (maintenant_ms() < echeance) continue;
            j.bouche = true;
            break;
        }
        if (n < 0) break;
        total += static_cast<size_t>(n);
        size_t reste_n = static_cast<size_t>(n);
        while (nb > 0 && reste_n >= p->iov_len) {
            reste_n -= p->iov_len;
            ++p;
            --nb;
        }
        if (nb > 0) {
            p->iov_base = static_cast<char *>(p->iov_base) + reste_n;
            p->iov_len -= reste_n;
        }
    }
    if (total >= du) j.saut_du = false;
    if (nb == 0) {
        j.bouche = false;
        return 0;
    }
    if (total > du) j.saut_du = true;  // part of this line is out
    return -1;
}

// Writes the stamped line for `texte` (no line end of its own) to `j`.
// The caller holds `ecriture`, so the stamps follow the order of the lines.
int ecrit_ligne(Journal &j, const char *texte, size_t longueur)
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
    return ecrit_tout(j, morceaux, 3);
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
    return ecrit_ligne(erreur ? e.err : e.log, t.p, t.n);
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
    // O_NONBLOCK: a FIFO without a reader fails (ENXIO) instead of holding
    // the opener, and a full pipe never holds a writer; files ignore it.
    return ::open(chemin.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0640);
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
    ecrit_ligne(e.sortie, texte.data(), texte.size());
    if (e.err.fd != kStderr) ecrit_ligne(e.err, texte.data(), texte.size());
}

std::atomic<int> acces_ouvert{0};
std::atomic<int64_t> periode_rapport{kRapportMs};

// Writes the counts of dropped lines to the error log when a minute has
// passed since the last report. Called by the writer with `verrou` held;
// released while the error log is written.
void rapporte(Acces &a, std::unique_lock<std::mutex> &verrou)
{
    if (a.pleine == 0 && a.echecs == 0) return;
    const int64_t t = maintenant_ms();
    if (t - a.rapport < periode_rapport.load(std::memory_order_relaxed)) return;
    a.rapport = t;
    const unsigned long long pleine = a.pleine, echecs = a.echecs;
    const int erreur = a.erreur;
    a.pleine = a.echecs = 0;
    verrou.unlock();
    if (pleine > 0) kvtlog_erreur("Access log: %llu lines dropped (%s)", pleine, "queue full");
    if (echecs > 0) kvtlog_erreur("Access log: %llu lines dropped (%s)", echecs, std::strerror(erreur));
    verrou.lock();
}

// Drops the line that starts or goes on at the ring's read position, up to
// and with its line feed. Every queued line ends with one.
void saute_ligne(Acces &a)
{
    while (a.sortis < a.entres) {
        const char c = a.file[a.sortis % kFileOctets];
        ++a.sortis;
        if (c == '\n') break;
    }
}

// One write of `p[0..n)` once `fd` takes bytes, waiting kAttenteMs at most:
// the bytes written, 0 when `fd` took nothing in time, -1 with errno.
ssize_t ecrit_morceau(int fd, const char *p, size_t n)
{
    pollfd pf{fd, POLLOUT, 0};
    const int r = ::poll(&pf, 1, kAttenteMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return 0;
    if (r < 0) return -1;
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return w;
}

// The writer thread: takes lines out of the ring into the access log.
void ecrit_acces(void *)
{
    // A pipe whose reader left must not end the process.
    sigset_t tuyau;
    sigemptyset(&tuyau);
    sigaddset(&tuyau, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &tuyau, nullptr);
    Acces &a = etat().acces;
    bool bouche = false;   // the last write took nothing in time
    bool saut_du = false;  // a cut line owes the file a line feed
    bool a_ecrit = false;  // wrote since it last looked at an empty ring
    std::unique_lock<std::mutex> verrou(a.m);
    for (;;) {
        rapporte(a, verrou);
        // A line begun on the old descriptor ends there, unless that one
        // does not take bytes; the new one starts on a whole line.
        if (a.bascule && ((a.sortis >= a.bascule_a && !a.dans_ligne) || a.fd < 0 || bouche)) {
            if (a.dans_ligne) saute_ligne(a);
            const int ancien = a.fd;
            a.fd = a.fd_suivant;
            a.fd_suivant = -1;
            a.bascule = false;
            a.dans_ligne = bouche = saut_du = false;
            verrou.unlock();
            ferme(ancien);
            verrou.lock();
            continue;
        }
        // No access log: what is queued has nowhere to go.
        if (a.fd < 0) a.sortis = a.entres;
        if (a.entres == a.sortis) {
            a.sorti.notify_all();
            verrou.unlock();
            kvtlog_client_echeances();
            verrou.lock();
            if (a.entres == a.sortis && !a.bascule) {
                // Lines came lately: more are likely, looked for shortly.
                // Else asleep until a caller's line wakes it.
                a.endormi = !a_ecrit;
                a_ecrit = false;
                a.reveil.wait_for(verrou, std::chrono::milliseconds(a.endormi ? kvtlog_client_pas_ms() : kRegroupeMs));
                a.endormi = false;
            }
            continue;
        }
        const size_t debut = static_cast<size_t>(a.sortis % kFileOctets);
        size_t n = static_cast<size_t>(std::min<uint64_t>(a.entres - a.sortis, kFileOctets - debut));
        if (n > kMorceau) n = kMorceau;
        const int fd = a.fd;
        const char *p = a.file + debut;
        verrou.unlock();
        kvtlog_client_echeances();
        ssize_t w;
        if (saut_du) {
            w = ecrit_morceau(fd, "\n", 1);
            if (w > 0) {
                saut_du = bouche = false;
                verrou.lock();
                continue;
            }
        } else {
            w = ecrit_morceau(fd, p, n);
        }
        const int erreur = errno;
        verrou.lock();
        if (w > 0) {
            a_ecrit = true;
            a.sortis += static_cast<uint64_t>(w);
            a.dans_ligne = p[w - 1] != '\n';
            bouche = false;
        } else if (w == 0) {
            bouche = true;
        } else {
            // The line is lost; if part of it is out, a line feed is owed.
            if (a.dans_ligne) saut_du = true;
            saute_ligne(a);
            a.dans_ligne = false;
            ++a.echecs;
            ++a.perdues;
            a.erreur = erreur;
            bouche = false;
        }
        if (a.entres == a.sortis) a.sorti.notify_all();
    }
}

// Hands the access log over to `fd` (-1: none) once the lines queued so
// far are out; starts the writer with the first log. 0, or -1 when the
// ring cannot be had. The caller holds `ouverture`.
int passe_a(int fd, std::string &chemin)
{
    Acces &a = etat().acces;
    int remplace = -1;
    bool demarre = false;
    int r = 0;
    {
        std::lock_guard<std::mutex> verrou(a.m);
        if (fd >= 0 && a.file == nullptr) {
            a.file = static_cast<char *>(std::malloc(kFileOctets));
            if (a.file == nullptr) {
                KVT_ERREUR();
                ::close(fd);
                fd = -1;
                chemin.clear();
                r = -1;
            }
        }
        if (!a.ecrivain) {
            // No writer yet (or it could not start): nothing is on its way.
            remplace = a.fd;
            a.fd = fd;
            a.sortis = a.entres;
            if (fd >= 0) demarre = a.ecrivain = true;
        } else {
            if (a.bascule) remplace = a.fd_suivant;
            a.bascule = true;
            a.fd_suivant = fd;
            a.bascule_a = a.entres;
        }
        a.chemin.swap(chemin);
        acces_ouvert.store(fd >= 0 ? 1 : 0, std::memory_order_relaxed);
    }
    ferme(remplace);
    a.reveil.notify_one();
    if (demarre && kvtthread_demarre(ecrit_acces, KVT_PILE_SERVEUR, nullptr) < 0) {
        // Told in the error log; the next open tries again.
        std::lock_guard<std::mutex> verrou(a.m);
        a.ecrivain = false;
    }
    return r;
}
}  // namespace

void kvtlog_avertit(const char *texte)
{
    if (texte == nullptr) return;
    Etat &e = etat();
    const size_t n = std::strlen(texte);
    std::lock_guard<std::mutex> verrou(e.ecriture);
    ecrit_ligne(e.sortie, texte, n);
    if (e.err.fd != kStderr) {
        ecrit_ligne(e.err, texte, n);
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
        e.log = Journal{fd_log >= 0 ? fd_log : kStderr, {}};
        e.err = Journal{fd_err >= 0 ? fd_err : kStderr, {}};
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
                (void)ecrit_tout(e.err, &v, 1);
            }
            if (perdus > 0) {
                std::string t = std::to_string(perdus) + " more configuration warnings were lost";
                ecrit_ligne(e.err, t.data(), t.size());
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
            e.log.bouche = e.log.saut_du = false;
        }
        if (fd_err >= 0) {
            ancien_err = e.err.fd;
            e.err.fd = fd_err;
            e.err.bouche = e.err.saut_du = false;
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
        std::lock_guard<std::mutex> verrou(e.acces.m);
        chemin_acces = e.acces.chemin;
    }
    int r_acces = 0;
    if (!chemin_acces.empty()) {
        const int fd = ouvre(chemin_acces);
        if (fd >= 0)
            passe_a(fd, chemin_acces);
        else {
            signale_echec("access log", chemin_acces, errno, "access lines go on into the file open before");
            r_acces = -1;
        }
    }
    ouverture.unlock();
    kvtlog_log("Logs reopened");
    return fd_log >= 0 && fd_err >= 0 && r_acces == 0 ? 0 : -1;
}

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
    if (passe_a(fd, resolu) < 0) r = -1;
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
    // Stamp, text and line end in one buffer, copied whole into the ring.
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
    const size_t n = h + t.n + 1;
    Acces &a = etat().acces;
    bool reveille;
    {
        std::lock_guard<std::mutex> verrou(a.m);
        if ((a.bascule ? a.fd_suivant : a.fd) < 0) return 0;
        const uint64_t occupe = a.entres - a.sortis;
        if (n > kFileOctets - occupe) {
            ++a.pleine;
            ++a.perdues;
            return 0;
        }
        const size_t debut = static_cast<size_t>(a.entres % kFileOctets);
        const size_t avant_fin = std::min(n, kFileOctets - debut);
        std::memcpy(a.file + debut, ligne, avant_fin);
        std::memcpy(a.file, ligne + avant_fin, n - avant_fin);
        a.entres += n;
        // A writer that looks again shortly is not woken, unless the ring
        // is filling up.
        reveille = (a.endormi && occupe == 0) || (occupe < kFileOctets / 2 && occupe + n >= kFileOctets / 2);
    }
    if (reveille) a.reveil.notify_one();
    return 0;
}

int kvtlog_acces_vide(int delai_ms)
{
    Acces &a = etat().acces;
    std::unique_lock<std::mutex> verrou(a.m);
    const auto echeance = std::chrono::steady_clock::now() + std::chrono::milliseconds(delai_ms < 0 ? 0 : delai_ms);
    const bool vide = a.sorti.wait_until(verrou, echeance, [&a] { return a.entres == a.sortis && !a.bascule; });
    return vide ? 0 : -1;
}

void kvtlog_regle_essai(int64_t rapport_ms)
{
    periode_rapport.store(rapport_ms > 0 ? rapport_ms : kRapportMs, std::memory_order_relaxed);
}

unsigned long long kvtlog_acces_perdues(void)
{
    Acces &a = etat().acces;
    std::lock_guard<std::mutex> verrou(a.m);
    return a.perdues;
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
