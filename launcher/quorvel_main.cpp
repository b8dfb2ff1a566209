// quorvel: the launcher. It finds its configuration beside its own program
// file, opens the logs, loads the server modules from its own folder, starts
// each one, and then only waits for a stop signal: every protocol runs on
// threads that the modules start.
//
// The two start-up traces that operators look for stay on fixed lines:
// a program or configuration path that cannot be used is "ligne 99", a
// failed start-up seen by the main routine is "ligne 199".
#include "quorvel_main.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kvt_trace.h"
#include "kvtlib.h"

namespace {

struct module_ligne {
    const char *fichier;
    const char *entree;
};

// Walked in this order; a missing file only costs its "Unable to load" line.
constexpr module_ligne modules[] = {
    {"quorvel_socks.so", "_demarre_serveur_socks"},
    {"quorvel_ssl.so", "_demarre_serveur_ssl"},
    {"quorvel_dns.so", "_demarre_serveur_dns"},
    {"quorvel_http.so", "_demarre_serveur_http"},
};

// Folder of the program's real file, with its trailing '/'; set by the
// start-up before any module is loaded.
char dossier_programme[QUORVEL_MAIN_CHEMIN_MAX];

// Copies the folder part of `chemin` (up to and including its last '/').
void garde_dossier(const char *chemin)
{
    const char *barre = strrchr(chemin, '/');
    size_t n = barre ? static_cast<size_t>(barre - chemin) + 1 : 0;
    memcpy(dossier_programme, chemin, n);   // n < strlen(chemin) < the capacity
    dossier_programme[n] = '\0';
}

// What the start-up needs from the program's location: both paths, or -1.
int chemins_de_depart(char *programme, char *conf)
{
    if (quorvel_main_chemin_programme(programme, QUORVEL_MAIN_CHEMIN_MAX) < 0) return -1;
    return quorvel_main_chemin_conf(programme, conf, QUORVEL_MAIN_CHEMIN_MAX);
}

}  // namespace

std::string quorvel_main_commande(int argc, char **argv)
{
    std::string ligne;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        if (i > 0) ligne += ' ';
        // A program path with a blank is quoted, as a shell-less start would
        // show it, so the argument finding skips it whole.
        bool quote = i == 0 && strchr(argv[0], ' ') != nullptr;
        if (quote) ligne += '"';
        ligne += argv[i];
        if (quote) ligne += '"';
    }
    return ligne;
}

const char *quorvel_main_arguments(const char *ligne)
{
    if (ligne == nullptr) return nullptr;
    const char *p = ligne;
    if (*p == '"') {
        const char *fin = strchr(p + 1, '"');
        if (fin == nullptr) return ligne;   // unclosed quote: the whole line, quote included
        p = fin + 1;
    } else {
        while (*p != '\0' && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    return p;
}

int quorvel_main_demarre(void)
{
    char programme[QUORVEL_MAIN_CHEMIN_MAX];
    char conf[QUORVEL_MAIN_CHEMIN_MAX];
    // Both paths live in fixed buffers: too long is refused, never cut,
    // since a cut path would read some other file as the configuration.
    if (chemins_de_depart(programme, conf) < 0) {
        KVT_ERREUR();
        return -1;
    }
    garde_dossier(programme);
    (void)kvtcfg_init(conf);   // a missing file gives the defaults and says so
    char log[QUORVEL_MAIN_CHEMIN_MAX];
    char erreurs[QUORVEL_MAIN_CHEMIN_MAX];
    kvtcfg_recup_E("Main", "LogFile", log, sizeof log, "quorvel.log");
    kvtcfg_recup_E("Main", "ErrFile", erreurs, sizeof erreurs, "quorvel-errors.log");
    // Open before the modules load, so their start entries may log.
    (void)kvtlog_init(log, erreurs);
    quorvel_main_garde_logs(log, erreurs);   // a reload compares with these
    (void)quorvel_main_ouvre_acces();
    (void)quorvel_main_resout_noms();   // the allowed-host names, once for every module
    for (const module_ligne &m : modules) (void)quorvel_main_charge_module(m.fichier, m.entree);
    (void)quorvel_main_stats_demarre();   // off unless StatsPort is set; its failures are logged
    kvtlog_log("Quorvel starts");
    return 0;
}

int quorvel_main_prepare_signaux(sigset_t *attendus)
{
    if (attendus == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    // A peer that vanished must cost a send error, never the process.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        KVT_ERREUR();
        return -1;
    }
    // SIGINT and SIGTERM quit; SIGUSR1: new log files; SIGHUP: reload; SIGUSR2: statistics
    // lines. Other signals keep their default action (SIGQUIT ends it): none leaves it deaf.
    sigemptyset(attendus);
    sigaddset(attendus, SIGINT);
    sigaddset(attendus, SIGTERM);
    sigaddset(attendus, SIGUSR1);
    sigaddset(attendus, SIGHUP);
    sigaddset(attendus, SIGUSR2);
    // Blocked before any module starts a thread: every thread inherits the
    // mask, so only the first thread's sigwait ever takes these signals.
    int r = pthread_sigmask(SIG_BLOCK, attendus, nullptr);
    if (r != 0) {
        KVT_ERREUR();
        return -1;
    }
    return 0;
}

int quorvel_main_boucle(const sigset_t *attendus)
{
    if (attendus == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    for (;;) {
        int signal_recu = 0;
        int r = sigwait(attendus, &signal_recu);
        if (r == EINTR) continue;
        if (r != 0) {
            KVT_ERREUR();
            return -1;
        }
        // SIGUSR1, log rotation: the files were moved away (logrotate's
        // postrotate), so the logs are opened again under their names.
        // SIGHUP, systemctl reload: the configuration is read again.
        // The reload runs on a thread of its own: no reload, however slow,
        // keeps a stop or another signal waiting here.
        if (signal_recu == SIGUSR1) (void)kvtlog_reouvre();
        if (signal_recu == SIGHUP) quorvel_main_demande_recharge();
        if (signal_recu == SIGUSR2) (void)kvtstat_journal();  // SIGUSR2: the statistics lines
        if (signal_recu == SIGUSR1 || signal_recu == SIGHUP || signal_recu == SIGUSR2) continue;
        // SIGINT or SIGTERM: the stop, bounded in time whatever still runs.
        return quorvel_main_arret();
    }
}

int quorvel_main_option_console(const char *arguments)
{
    return arguments != nullptr && strstr(arguments, "console") != nullptr;
}

int quorvel_main_principal(void *instance, const char *arguments, int affichage)
{
    (void)instance;    // no window, no resources: nothing to take from it
    (void)affichage;
    if (quorvel_main_option_console(arguments)) {
        // The terminal is already there; the option makes what the
        // modules print appear at once, errors and status in one stream,
        // in the order they happened. Without it both streams stay as
        // given (a service manager's journal keeps them apart).
        setvbuf(stdout, nullptr, _IONBF, 0);
        fflush(stderr);
        if (dup2(STDOUT_FILENO, STDERR_FILENO) < 0) KVT_ERREUR();
    }
    // Signals first: a stop asked for while the modules start stays
    // pending and is taken by the wait below.
    sigset_t attendus;
    if (quorvel_main_prepare_signaux(&attendus) < 0) return -1;
    if (quorvel_main_demarre() < 0) {
        KVT_ERREUR();
        return -1;
    }
    return quorvel_main_boucle(&attendus);
}

int quorvel_main_ligne(const char *ligne)
{
    const char *arguments = quorvel_main_arguments(ligne);
    if (arguments == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    // The program's own handle stands for the module handle it is given.
    void *instance = dlopen(nullptr, RTLD_NOW);
    return quorvel_main_principal(instance, arguments, 1);
}

int quorvel_main_chemin_conf(const char *programme, char *conf, size_t taille)
{
    if (programme == nullptr || conf == nullptr) return -1;
    size_t n = strlen(programme);
    if (n >= 4 && memcmp(programme + n - 4, ".exe", 4) == 0) n -= 4;
    if (n + sizeof ".conf" > taille) return -1;   // sizeof counts the NUL
    memcpy(conf, programme, n);
    memcpy(conf + n, ".conf", sizeof ".conf");
    return 0;
}

int quorvel_main_chemin_programme(char *chemin, size_t taille)
{
    if (chemin == nullptr || taille < 2) return -1;
    // The kernel's link gives the real file, links resolved: an installed
    // bin/quorvel link still finds the modules and the configuration
    // beside the program itself.
    ssize_t n = readlink("/proc/self/exe", chemin, taille);
    if (n <= 0 || static_cast<size_t>(n) >= taille) return -1;   // a full buffer may be cut
    chemin[n] = '\0';
    return 0;
}

int quorvel_main_charge(const char *dossier, const char *fichier, const char *entree)
{
    if (dossier == nullptr || fichier == nullptr || entree == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    // The full path: a bare name would be looked up in the system's
    // library folders instead of beside the program.
    std::string chemin = *dossier != '\0' ? dossier : ".";
    if (chemin.back() != '/') chemin += '/';
    chemin += fichier;
    // RTLD_NOW: a missing symbol fails here, not later inside a server
    // thread. RTLD_LOCAL: one module never resolves against another's.
    void *module = dlopen(chemin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char *raison = dlerror();
        printf("Unable to load %s (%s).\n", fichier, entree);
        struct stat st;
        if (stat(chemin.c_str(), &st) == 0 && raison != nullptr) fprintf(stderr, "%s\n", raison);
        return -1;
    }
    auto demarre = reinterpret_cast<int (*)()>(dlsym(module, entree));
    if (demarre == nullptr) {
        printf("Unable to find %s in %s.\n", entree, fichier);
        return -1;   // the library stays loaded
    }
    quorvel_main_garde_module(module, entree);   // for its reload entry
    (void)demarre();   // a module reports its own failures
    return 0;
}

int quorvel_main_charge_module(const char *fichier, const char *entree)
{
    return quorvel_main_charge(dossier_programme, fichier, entree);
}

// Down here so that the start-up traces above keep their line numbers.
#include <sys/resource.h>
#include <time.h>

int quorvel_main_leve_descripteurs(void)
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
    rlim_t vise = r.rlim_max;
    if (vise == RLIM_INFINITY) {
        // No descriptor number goes past the kernel's nr_open, whatever the
        // hard limit says; asking for more is refused.
        vise = 1024 * 1024;
        if (FILE *f = fopen("/proc/sys/fs/nr_open", "re")) {
            unsigned long long v = 0;
            if (fscanf(f, "%llu", &v) == 1 && v > 0) vise = static_cast<rlim_t>(v);
            fclose(f);
        }
    }
    if (r.rlim_cur == RLIM_INFINITY || r.rlim_cur >= vise) return 0;
    r.rlim_cur = vise;
    return setrlimit(RLIMIT_NOFILE, &r) == 0 ? 0 : -1;
}

namespace {

quorvel_main_rechargeur *rechargeur;   // first thread only; null until the first SIGHUP

void recharge_seule()
{
    (void)quorvel_main_recharge();
}

// Milliseconds from a stop signal to the forced exit; 0: none.
int borne_arret_ms;
timespec echeance_arret;

void fin_forcee(void *)
{
    // Nothing is flushed: a stream may be what holds the stop up.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &echeance_arret, nullptr) == EINTR) {
    }
    _exit(0);
}

void arme_borne_arret()
{
    if (borne_arret_ms <= 0) return;
    clock_gettime(CLOCK_MONOTONIC, &echeance_arret);
    echeance_arret.tv_sec += borne_arret_ms / 1000;
    echeance_arret.tv_nsec += (borne_arret_ms % 1000) * 1000000L;
    if (echeance_arret.tv_nsec >= 1000000000L) {
        echeance_arret.tv_sec += 1;
        echeance_arret.tv_nsec -= 1000000000L;
    }
    (void)kvtthread_demarre(fin_forcee, KVT_PILE_SERVEUR, nullptr);   // logs its own failure
}

}  // namespace

void quorvel_main_demande_recharge(void)
{
    // Started at the first SIGHUP, after the modules: it reads what their
    // start recorded. Without a thread, the reload runs here as it used to.
    if (rechargeur == nullptr) rechargeur = quorvel_main_rechargeur_demarre(recharge_seule);
    if (rechargeur != nullptr) {
        quorvel_main_rechargeur_demande(rechargeur);
    } else {
        (void)quorvel_main_recharge();
    }
}

void quorvel_main_borne_arret(int ms)
{
    borne_arret_ms = ms > 0 ? ms : 0;
}

int quorvel_main_arret(void)
{
    // A reload that runs is not waited for, and past the bound the process
    // leaves whatever still runs.
    arme_borne_arret();
    // 1. The open connections end and write their lines, within a bound
    //    that leaves room for the rest before the forced exit.
    (void)kvtarret_arrete(QUORVEL_MAIN_CONNEXIONS_MS);
    // 2. The last counters and the quit message.
    (void)kvtstat_journal();
    kvtlog_log("Quorvel stops");
    // 3. The access lines still queued, half a second at most.
    (void)kvtlog_acces_vide(500);
    return 0;   // exit code 0; the threads end with the process
}

#ifndef QUORVEL_MAIN_SANS_ENTREE
int main(int argc, char **argv)
{
    // Before any module derives its limits from it; a failure leaves the
    // limit as it was, which still works.
    (void)quorvel_main_leve_descripteurs();
    std::string ligne = quorvel_main_commande(argc, argv);
    quorvel_main_borne_arret(QUORVEL_MAIN_ARRET_MS);
    int code = quorvel_main_ligne(ligne.c_str());
    // The modules' threads are still running. Leave the way a process is
    // ended under them: flush what is buffered, then go without running
    // static destructors or module unload routines that those threads
    // might still be using. Only the standard streams are flushed: a reload
    // still waiting inside a read holds its file's lock, which flushing
    // every stream would wait for.
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}
#endif
