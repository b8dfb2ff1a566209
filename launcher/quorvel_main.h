/* The launcher's steps, split out so that each can be tested on its own:
 * command line, console option, configuration path, module loading and the
 * signal loop that stands for the first thread's message loop.
 * Statuses: 0 (or a count) for success, a negative value for failure. */
#ifndef QUORVEL_MAIN_H
#define QUORVEL_MAIN_H

#include <signal.h>
#include <stddef.h>

#include <string>

#include "kvtstat.h"
#include "quorvel_main_stats.h"

/* At SIGINT or SIGTERM, the longest wait for open connections to end and
 * write their access lines before the statistics lines and "Quorvel stops". */
#define QUORVEL_MAIN_CONNEXIONS_MS 1200

/* Capacity of each path buffer (program, configuration, logs), NUL included. */
#define QUORVEL_MAIN_CHEMIN_MAX 260

/* The raw command line that Linux does not keep: the arguments joined by one
 * blank, argv[0] in double quotes when it holds a blank. */
std::string quorvel_main_commande(int argc, char **argv);

/* Start of the arguments inside the raw command line `ligne`: past a quoted
 * program path and the blanks after it, or past the first word and the
 * blanks after it; the whole line when its opening quote is never closed.
 * A pointer into `ligne`, or null for null. */
const char *quorvel_main_arguments(const char *ligne);

/* Non-zero when the argument text holds "console" anywhere (plain,
 * case-sensitive substring test). */
int quorvel_main_option_console(const char *arguments);

/* Configuration path of the program file `programme`: a final ".exe" is
 * replaced by ".conf", otherwise ".conf" is appended. Writes it into
 * `conf` (capacity `taille`). 0, or -1 when it does not fit or on null. */
int quorvel_main_chemin_conf(const char *programme, char *conf, size_t taille);

/* The real path of the running program (links resolved) into `chemin`
 * (capacity `taille`). 0, or -1 when unavailable or too long. */
int quorvel_main_chemin_programme(char *chemin, size_t taille);

/* Loads `dossier`/`fichier` (RTLD_NOW | RTLD_LOCAL) and calls its entry
 * `entree` once, ignoring its result. Prints "Unable to load ..." or
 * "Unable to find ..." on stdout on failure, and the loader's reason on
 * stderr when the file exists but will not load. The library is never
 * unloaded. 0 when the entry was called, else -1. */
int quorvel_main_charge(const char *dossier, const char *fichier, const char *entree);

/* quorvel_main_charge from the program's own folder (known once
 * quorvel_main_demarre has found the program path). */
int quorvel_main_charge_module(const char *fichier, const char *entree);

/* Raises the soft descriptor limit to the hard one (a shell often leaves
 * 1,024 under a far higher hard limit), so that the modules' limits derived
 * from it are not needlessly small. 0, or -1 when it stays as it was. */
int quorvel_main_leve_descripteurs(void);

/* Start-up: configuration, logs, the four modules, "Quorvel starts".
 * 0, or -1 (traced) when the program or configuration path is unusable. */
int quorvel_main_demarre(void);

/* Blocks the signals that the first thread waits for (SIGINT, SIGTERM,
 * SIGUSR1, SIGHUP, SIGUSR2) in the calling thread, so every thread started afterwards
 * inherits the mask, and ignores SIGPIPE for the whole process. Fills
 * `attendus` with the waited set. 0, or -1 (traced). */
int quorvel_main_prepare_signaux(sigset_t *attendus);

/* Reads the configuration again (kvtcfg_recharge) and calls, in each module
 * whose start entry was called, its optional reload entry: "_recharge_..."
 * for "_demarre_..." (no argument, int result ignored). Logs "Configuration
 * reloaded"; a changed LogFile or ErrFile keeps its running value, with one
 * log line each. When the file cannot be read, logs "Configuration reload
 * failed: <reason>; the running configuration stays", calls no module and
 * returns -1; else 0. (quorvel_main_recharge.cpp) */
int quorvel_main_recharge(void);

/* What the reload needs from the start-up: the log paths in force, and each
 * module whose start entry `entree` is about to be called. */
void quorvel_main_garde_logs(const char *log, const char *erreurs);
void quorvel_main_garde_module(void *handle, const char *entree);
/* Opens the access log that [Main] "AccessLog" names (empty: none); a reload
 * calls it again when the path changed. As kvtlog_acces_ouvre. */
int quorvel_main_ouvre_acces(void);

/* The first thread's wait: SIGUSR1 reopens the logs; SIGHUP asks the reload
 * thread for a reload (quorvel_main_recharge; on the wait's own thread only
 * when no thread could start); SIGUSR2 writes the statistics lines
 * (kvtstat_journal); SIGINT or SIGTERM first end the open tunnels and TCP DNS
 * connections (kvtarret_arrete, at most QUORVEL_MAIN_CONNEXIONS_MS), write
 * the statistics lines, log "Quorvel stops", and give the exit code 0, never
 * waiting for a reload that runs. -1 (traced) if the wait fails. */
int quorvel_main_boucle(const sigset_t *attendus);

/* SIGHUP: asks the reload thread for a reload, starting that thread the
 * first time; runs the reload here when no thread can start. */
void quorvel_main_demande_recharge(void);

/* SIGINT or SIGTERM: ends what must be ended, writes the statistics lines
 * and "Quorvel stops"; never waits for a reload that runs. 0, the exit code. */
int quorvel_main_arret(void);

/* Bound of the stop: from SIGINT or SIGTERM, at most `ms` milliseconds until
 * the process leaves with _exit(0) whatever is still running (0: no bound,
 * the default, for callers of quorvel_main_boucle that go on afterwards; the
 * program sets QUORVEL_MAIN_ARRET_MS). */
void quorvel_main_borne_arret(int ms);
#define QUORVEL_MAIN_ARRET_MS 1900

/* Resolves the values of [Main] "AllowedHost0" to "AllowedHost99" that are
 * no star pattern once for every module, all at once, each within
 * KVTNOMS_DELAI_MS, and publishes them (kvtnoms_publie): the modules' tables
 * take their addresses from there. The number resolved, or -1.
 * (quorvel_main_recharge.cpp) */
int quorvel_main_resout_noms(void);

/* The reload thread (quorvel_main_rechargeur.cpp): it runs `recharge` for
 * each request, one at a time. A request that comes while a reload runs
 * asks for exactly one more after it; several such requests make that one.
 * The object and its thread live as long as the process. Null (traced) when
 * no thread can start. */
struct quorvel_main_rechargeur;
quorvel_main_rechargeur *quorvel_main_rechargeur_demarre(void (*recharge)(void));
/* Asks for a reload; returns at once (null: nothing). */
void quorvel_main_rechargeur_demande(quorvel_main_rechargeur *r);
/* Waits until no reload runs and none is asked for (tests). */
void quorvel_main_rechargeur_attend(quorvel_main_rechargeur *r);

/* Console option, signals, start-up and the wait. `instance` is the
 * program's own handle and `affichage` the show flag; neither changes
 * anything on Linux. The exit code. */
int quorvel_main_principal(void *instance, const char *arguments, int affichage);

/* Finds the arguments in `ligne` and runs quorvel_main_principal with the
 * program's handle, the arguments and the show flag 1. The exit code, or
 * -1 (traced) for null. */
int quorvel_main_ligne(const char *ligne);

#endif
