/* kvtlib: configuration, logs, sockets, threads and heap strings shared by the
 * launcher and every server module. One instance per process: the launcher and
 * the modules all link this shared library, so they see one configuration and
 * one pair of logs.
 *
 * Conventions: a negative int means failure. Returned strings are malloc'ed
 * and freed by the caller with free(). IPv4 addresses are 32-bit values in
 * network byte order (127.0.0.1 is 0x0100007F on this little-endian machine);
 * 0xFFFFFFFF (-1) means "not resolved". */
#ifndef KVTLIB_H
#define KVTLIB_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#ifdef __cplusplus
#define KVT_EXTERN_C extern "C"
#else
#define KVT_EXTERN_C
#endif
/* Names that cross a shared-library boundary; everything else stays hidden. */
#define KVT_EXPORT KVT_EXTERN_C __attribute__((visibility("default")))

#define KVTNET_ADRESSE_INVALIDE 0xFFFFFFFFu

/* Stack size of every server thread. */
#define KVT_PILE_SERVEUR 0x10000

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration (INI file, read once into memory) ---- */

/* Reads the file at `chemin`. A missing file, or one that is not a regular
 * file (symlinks followed) or is larger than 1 MiB, leaves every key at its
 * default (with one warning on stderr). A line over 4,096 bytes is skipped
 * with a warning. Returns 0, or -1 when the file could not be read. */
KVT_EXPORT int kvtcfg_init(const char *chemin);
/* Reads the file of the last kvtcfg_init again and, when it could be read,
 * makes it the configuration in force (0). When it cannot be read (missing,
 * unreadable, not a regular file, larger than 1 MiB, no init yet, no memory)
 * or is plainly not a configuration (no section, or more than half of its
 * lines that are not blank are neither a section, a key line nor a comment),
 * the configuration in force stays whole and the result is -1 with the
 * reason in `raison` (capacity `taille`, may be null). Malformed lines are
 * warned about as at init. */
KVT_EXPORT int kvtcfg_recharge(char *raison, int taille);
/* Log line for a setting changed in the file that only a restart applies
 * (argument: the key); written by whoever reloads that setting. */
#define KVTCFG_TEXTE_REDEMARRAGE "Configuration reload: %s changed; the running value stays until a restart"
/* Folder of the configuration file, with a trailing '/', or "" before init.
 * The text stays valid for the life of the process. */
KVT_EXPORT const char *kvtcfg_dossier(void);
/* Copies the value of `cle` in `section` (or `defaut` when absent) into
 * `valeur`, always NUL-terminated within `taille` (truncated if needed).
 * Returns the length written, or -1 for a null buffer or a size below 1.
 * Lock-free, also during a reload; gives defaults before kvtcfg_init. */
KVT_EXPORT int kvtcfg_recup_E(const char *section, const char *cle, char *valeur, int taille,
                              const char *defaut);

/* ---- Block list (the DNS relay's and the tunnel's, one per process) ---- */

/* Loads the list that [HTTP_FTP] "AdHostsFile" names the first time any
 * module asks, and prints "%d ad-domains loaded.\n" (distinct names) on
 * stdout; later calls load nothing. Lines: one name, a hosts line (every
 * name after the address) or "||name^" (alone or with "$important");
 * comments, addresses, hosts-file header names and other rules are skipped.
 * The number of names, 0 when no file is set, -1 when it cannot be read. */
KVT_EXPORT int kvtliste_demarre(void);
/* Loads the list again when it was ever loaded (SIGHUP); lookups see the old
 * list or the new one. A list that cannot be read (missing, not a regular
 * file, larger than 256 MiB), or whose lines yield no name while some are
 * neither blank nor comments, keeps the old one and logs "Ad-domain list
 * reload failed: %s; the previous list stays"; an empty list is taken. The
 * number of names (also logged as "%d ad-domains loaded."), 0 when nothing
 * was loaded before, -1 on that failure. At start (kvtliste_demarre) the same
 * files are unreadable, and a nameless list loads 0 names. Lines over 4,096
 * bytes are skipped. */
KVT_EXPORT int kvtliste_recharge(void);
/* 1 when the `longueur` bytes at `nom`, or a parent domain of them, are on
 * the list, in any letter case and with one trailing dot ignored; else 0.
 * Lock-free, any thread. */
KVT_EXPORT int kvtliste_bloque(const char *nom, size_t longueur);
/* Drops the list and forgets it was loaded (tests). */
KVT_EXPORT void kvtliste_oublie(void);

/* ---- Logs ---- */

/* Opens both logs for appending; relative paths resolve against the
 * configuration file's folder. A log that cannot be opened falls back to
 * stderr with a warning. Returns 0, or -1 when either fell back. */
KVT_EXPORT int kvtlog_init(const char *log, const char *erreurs);
/* One line "YYYY-MM-DD HH:MM:SS text" in the log, written whole and flushed. */
KVT_EXPORT int kvtlog_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* The same in the error log: the library's own failures, configuration warnings. */
KVT_EXPORT int kvtlog_erreur(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Closes and reopens both logs (after a rotation); returns as kvtlog_init. */
KVT_EXPORT int kvtlog_reouvre(void);
/* The access log, one line per connection: opens `chemin` (relative to the
 * configuration's folder) for appending in place of the one open before;
 * the empty text or null closes it. kvtlog_reouvre reopens it with the
 * other logs. 0, or -1 when it cannot be opened (told on stderr and in the
 * error log; no access log then). */
KVT_EXPORT int kvtlog_acces_ouvre(const char *chemin);
/* Non-zero while an access log is open; cheap, for any thread. */
KVT_EXPORT int kvtlog_acces_actif(void);
/* One line "YYYY-MM-DD HH:MM:SS text" for the access log; nothing when none
 * is open. Line ends inside the text become blanks. The line is copied into
 * a 4 MiB queue that one writer thread takes out, so the caller never waits
 * for the file; a line that does not fit, or that a failed write loses, is
 * dropped and counted ("Access log: %llu lines dropped (%s)" in the error
 * log, at most once a minute). Lines reach the file whole. 0, or -1. */
KVT_EXPORT int kvtlog_acces(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Waits up to `delai_ms` for the queued access lines to be written (at the
 * stop). 0 when the queue is empty, -1 out of time. */
KVT_EXPORT int kvtlog_acces_vide(int delai_ms);
/* Access lines dropped since start (queue full or failed writes). */
KVT_EXPORT unsigned long long kvtlog_acces_perdues(void);
struct sockaddr;
/* The query log's bound: 1 when the line of `client` (an AF_INET or
 * AF_INET6 address, port ignored) is to be written, 0 when it is counted
 * instead: 1,000 lines per client address a minute (from its first line).
 * When the minute ends, even without any further line, the access log gets
 * "SERVICE client=ADDRESS status=not-logged count=N". `service` must be a
 * text that lives as long as the process ("dns"). Clients beyond the
 * table's room within a minute are counted together as `client=-`.
 * Thread-safe, one short lock; -1 for a bad argument. */
KVT_EXPORT int kvtlog_acces_client(const char *service, const struct sockaddr *client, unsigned longueur);

/* Lines that a stranger can cause at will (a refused client, a malformed
 * datagram) are bounded per `service` ("SSL", "DNS"), so that a flood cannot
 * fill the disk: the first 100 of a service in a minute are written, the
 * rest of that minute only counted. When the minute ends, one line gives the
 * count, even if nothing more comes. Thread-safe; the counting path takes
 * one short lock and formats nothing. */
/* kvtlog_log of the line under the bound; past it, counted, and the minute
 * closes with the log line "%d more refusals not logged (%s)" (the count,
 * the service). 1 written, 0 counted, -1 for a null argument. */
KVT_EXPORT int kvtlog_refus(const char *service, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* The internal-error trace "ERREUR: %s ligne %d" on stderr under the same
 * kind of bound (its own count per service), for faults that network input
 * causes; the minute closes with "%d more traces not written (%s)" on
 * stderr. 1 written, 0 counted, -1 for a null argument. Use KVT_ERREUR_RESEAU. */
KVT_EXPORT int kvtlog_trace_reseau(const char *service, const char *fichier, int ligne);
/* Sets both bounds to `lignes` per `periode_ms` (100 per 60,000 ms at
 * start), at once for every service. 0, or -1 below 1. */
KVT_EXPORT int kvtlog_borne(int lignes, int periode_ms);

/* ---- Threads ---- */

/* Starts `routine(argument)` on a new detached thread with a stack of
 * `taille_pile` bytes. Returns 0, or -1 (logged) when it cannot start. */
KVT_EXPORT int kvtthread_demarre(void (*routine)(void *), unsigned taille_pile, void *argument);

/* The monotonic clock, for deadlines and ages: milliseconds (precise), and
 * whole seconds read without a system call (coarse, for the hot paths of
 * the relays). */
KVT_EXPORT int64_t kvtthread_maintenant_ms(void);
KVT_EXPORT uint32_t kvtthread_maintenant_s(void);
/* Sleeps `delai_ms` whole, signals or not. */
KVT_EXPORT void kvtthread_pause_ms(int delai_ms);

/* ---- Stop ---- */

/* The process stop, raised once by the launcher. A descriptor that becomes
 * readable when the stop is asked and stays so (never read it): relay loops
 * poll it beside their sockets. -1 when the system gave none. */
KVT_EXPORT int kvtarret_fd(void);
/* 1 once the stop has been asked, else 0. */
KVT_EXPORT int kvtarret_demande(void);
/* Counts the caller in among the connections the stop waits for, from the
 * start of its relay to the end of its access line: 1, or 0 (not counted)
 * when the stop has begun. Each 1 is matched by one kvtarret_sort. */
KVT_EXPORT int kvtarret_entre(void);
KVT_EXPORT void kvtarret_sort(void);
/* Asks the stop (kvtarret_fd becomes readable; kvtarret_entre counts no
 * one in any more) and waits up to `delai_ms` for every counted connection
 * to leave. The number still counted when it returns: 0 when all ended. */
KVT_EXPORT int kvtarret_arrete(int delai_ms);

/* ---- Network ---- */

/* Connection block handed by the listener to its handler (malloc'ed; the
 * handler frees it): the accepted socket, then the peer's IPv4 socket
 * address (family, port and address in network order, zero fill). */
struct kvtnet_bloc {
    int socket;
    uint16_t famille;
    uint16_t port;
    uint32_t adresse;
    uint8_t zero[8];
};

typedef void (*kvtnet_gestionnaire)(void *bloc);

/* Reference counted; always 0. */
KVT_EXPORT int kvtnet_init(void);
KVT_EXPORT int kvtnet_term(void);

/* Dotted text directly, anything else through the resolver (IPv4 only).
 * KVTNET_ADRESSE_INVALIDE for the empty text, null and failures. */
KVT_EXPORT uint32_t kvtnet_resoudre_adresse(const char *nom);
/* Writes the dotted form of `adresse` into `texte` (at least 16 bytes) and
 * returns `texte`. */
KVT_EXPORT char *kvtnet_aff_adresse(uint32_t adresse, char *texte);

/* The address a service binds, from its listen setting `cle` (such as
 * "DNSListen") holding `valeur`: 0 (every interface) for the empty text,
 * else the text resolved once (dotted, or a host name). Stores it in
 * *adresse and returns 0. A value that does not resolve (-1) or is not an
 * address of this machine (-2) leaves *adresse untouched and writes one
 * error-log line naming `service`, the key, the value and the reason: the
 * caller must then not start the service, and never falls back to every
 * interface. */
KVT_EXPORT int kvtnet_adresse_ecoute(const char *service, const char *cle, const char *valeur,
                                     uint32_t *adresse);

/* TCP connection to `adresse`:`port` (port in network order), 10-second
 * connect timeout, TCP_NODELAY. The socket, or -1 (also for 0 and -1). */
KVT_EXPORT int kvtnet_connecter(uint32_t adresse, uint16_t port);
/* Every IPv4 address of `nom`, in the resolver's order, without repeats:
 * at most `max` of them are stored in `adresses`. Dotted text gives itself.
 * The count (1 to `max`), or -1 when the name does not resolve (as
 * kvtnet_resoudre_adresse, which is the first of these). */
KVT_EXPORT int kvtnet_resoudre_adresses(const char *nom, uint32_t *adresses, int max);
/* TCP connection to one of the `nb` addresses at `port` (network order),
 * tried in their order: the next one starts when the one before is refused,
 * or has not answered within a quarter of a second (it stays in the race).
 * One 10-second deadline for all; 0 and 0xFFFFFFFF are skipped. The first
 * socket connected, as kvtnet_connecter gives it, or -1. */
KVT_EXPORT int kvtnet_connecter_adresses(const uint32_t *adresses, int nb, uint16_t port);
/* 1 when a connection to `adresse` reaches this machine itself: 0.0.0.0,
 * 127.0.0.0/8, or an address of any of its interfaces as they are at the
 * time of the call. 0 when not, -1 when it cannot tell (no socket). */
KVT_EXPORT int kvtnet_adresse_locale(uint32_t adresse);
/* Sends all `longueur` bytes (never raises SIGPIPE). The count, or -1. */
KVT_EXPORT int kvtnet_envoie(int s, const void *octets, int longueur);
/* kvtnet_envoie of the text without its NUL; -1 for a null text. */
KVT_EXPORT int kvtnet_envoie_str(int s, const char *texte);
/* Closes the socket; 0, or -1 for an invalid one. A connection of a capped
 * listener (kvtnet_ecouteur_limite) is withdrawn from it first. */
KVT_EXPORT int kvtnet_fermer(int s);

/* Listens on 0.0.0.0:`port` (host order, 1 to 65535), stores the listening
 * socket in *resultat and runs `gestionnaire` on a new detached thread for
 * each accepted connection, with a malloc'ed kvtnet_bloc. `options` is
 * reserved (0). Returns only when listening ends: -1 when it could not
 * listen (logged in the error log). */
KVT_EXPORT int kvtnet_gen_ecouteur_thread(int *resultat, int options, int port,
                                          kvtnet_gestionnaire gestionnaire);

/* Limits of kvtnet_ecouteur_limite; a plain struct the caller keeps alive
 * for as long as the listener runs. */
struct kvtnet_limites {
    /* Connections served at once; 0 or less: kvtnet_max_connexions_defaut(). */
    int max_connexions;
    /* Connections one client address may hold at once; 0 or less: no limit. */
    int max_par_adresse;
    /* Answers a connection the listener turns away (over a limit, or no
     * thread could start for it) with client address `adresse` (network
     * order). Runs on a thread that accepts connections, so it must not wait: `s` is
     * non-blocking, and a small answer fits the empty send buffer of a fresh
     * connection. Never closes `s`; the listener does. Null: closed unanswered. */
    void (*refus)(int s, uint32_t adresse);
    /* Which connection gives its slot to a newcomer while every slot is
     * taken: KVTNET_EVICTION_ENTETE (0), or KVTNET_EVICTION_INACTIVE. */
    int eviction;
    /* Runs on the thread that accepted a connection, before it takes a slot
     * (so it must not wait), possibly on several such threads at once: 0
     * turns it away, closed unread, without `refus`, a slot or a handler;
     * else it is admitted. It may store in *par_adresse (-1 on the call) the
     * per-address limit in force from this connection on, in place of
     * "max_par_adresse". Null: every connection goes on to the limits. */
    int (*admet)(int s, const struct sockaddr *pair, socklen_t longueur, int *par_adresse);
    /* Writes the error-log line of a failed accept in place of the
     * listener's own (`erreur`: errno; `fin` non-zero when listening ends,
     * 0 when it waits for resources, written at most once a minute). Null:
     * the listener's lines. */
    void (*accept_echoue)(int erreur, int fin);
};

/* kvtnet_limites "eviction": the connection that has waited longest for its
 * request head (the 5-second rule below applies). */
#define KVTNET_EVICTION_ENTETE 0
/* kvtnet_limites "eviction": the connection idle longest, since its handler
 * last called kvtnet_connexion_active (or since its accept); the newcomer's
 * slot is taken at once, the idlest connection is shut down both ways, and
 * no wait is shortened under pressure. For protocols without a head. */
#define KVTNET_EVICTION_INACTIVE 1

/* kvtnet_gen_ecouteur_thread on `adresse` (network order; 0: every
 * interface) with limits (`limites` not null):
 * - a connection over "max_par_adresse", or arriving while every one of the
 *   "max_connexions" slots holds a connection past its request head, is
 *   answered by `refus` and closed at once; it never waits in the backlog;
 * - while every slot is taken, a new connection takes the slot of the one
 *   that has waited longest for its request head;
 * - while more than half the slots are taken, a connection still without
 *   its request head after 5 seconds is ended.
 * Those two are the rule KVTNET_EVICTION_ENTETE; KVTNET_EVICTION_INACTIVE
 * replaces them (see "eviction").
 * A connection whose wait is ended has its reading side shut down: its
 * handler's kvtnet_recup_entete fails and the handler answers and closes as
 * after the 30-second deadline. A connection counts as past its head from
 * the moment kvtnet_recup_entete returns its block on the handler's thread.
 * The handler must close its socket with kvtnet_fermer, on its own thread
 * (that withdraws it from the listener first), or leave it open. Returns as
 * kvtnet_gen_ecouteur_thread; -1 also for null `limites`. */
KVT_EXPORT int kvtnet_ecouteur_limite(int *resultat, uint32_t adresse, int port,
                                      kvtnet_gestionnaire gestionnaire,
                                      const struct kvtnet_limites *limites);
/* kvtnet_ecouteur_limite on `s`, a socket the caller has bound and set
 * listening itself (with its own error lines for those steps). The listener
 * owns `s` from the call, also when it fails: listening ends when another
 * thread shuts it down (shutdown(s, SHUT_RDWR)), then `s` is closed and the
 * result is 0. Accepted sockets get TCP_NODELAY. -1 for an invalid `s` or
 * null `limites`, or when the listener cannot start (closed too). */
KVT_EXPORT int kvtnet_ecouteur_limite_sur(int s, kvtnet_gestionnaire gestionnaire,
                                          const struct kvtnet_limites *limites);
/* The handler of `s`, a connection of a capped listener with
 * KVTNET_EVICTION_INACTIVE, reports that its client has just shown it is
 * working (for DNS, a complete message that is not empty): the connection
 * becomes the last one to give its slot to a newcomer. Called on the
 * handler's thread; nothing for any other socket. 0, or -1 when the
 * listener has already shut the connection down for a newcomer. */
KVT_EXPORT int kvtnet_connexion_active(int s);

/* Connections that the descriptor limit lets this process serve at once,
 * with room for its own descriptors: see kvtnet_ecouteur.cpp. At least 1. */
KVT_EXPORT int kvtnet_max_connexions_defaut(void);

/* Reads one header block up to and including its blank line, never a byte
 * beyond. On success *entete holds the block as a heap string and the
 * result is its length; negative when the block exceeds 64 KiB, the peer
 * closes first, or 30 seconds pass without a complete block (-3 also when
 * a capped listener ended the wait first, see kvtnet_ecouteur_limite). */
KVT_EXPORT int kvtnet_recup_entete(int s, char **entete);
/* Index just past the first blank line (LF, optional CR, LF) of p[0..n)
 * whose last byte lies at or after `depuis` (what was already searched may
 * be passed again as `depuis`); 0 when there is none yet. Also the HTTP
 * proxy's end-of-head test. */
KVT_EXPORT size_t kvtnet_fin_entete(const char *p, size_t n, size_t depuis);

/* Relays what `de` sends to `vers`. `max_octets`: stop after that many bytes
 * (0: no limit); `delai`: seconds of silence that end the relay (0: none);
 * `jusqu_a_fin`: non-zero to relay until the stream ends. Returns a negative
 * value when the stream of `de` has ended (end of stream or error), else the
 * number of bytes relayed when a limit stopped it first. */
KVT_EXPORT int kvtnet_recup_str(int de, int vers, int max_octets, int delai, int jusqu_a_fin);

/* Relays both ways until both directions have ended; an end of stream is
 * passed on as a half-close, an error ends both. Once one side has ended,
 * 60 seconds without a byte in either direction end the relay too. Closes
 * neither socket. Returns 0, or -1 on an error. */
KVT_EXPORT int kvtnet_redir2(int client, int serveur);
/* kvtnet_redir2 with an idle limit: `inactif_s` seconds without a byte in
 * either direction end the relay (0 or less: no limit). The relay buffers of
 * all relays of the process share one memory budget of 32 MiB; what a
 * destination does not take stays in the kernel's socket buffers. Returns 0
 * when both directions ended, 1 when a time limit ended the relay (idle, or
 * the 60 seconds after a half-close), 2 when the process stop ended it (see
 * kvtarret_arrete), -1 on an error. */
KVT_EXPORT int kvtnet_redir2_delai(int client, int serveur, int inactif_s);
/* kvtnet_redir2_delai that also stores the bytes it passed on, client to
 * server in *montants and server to client in *descendants (either may be
 * null), whatever ended the relay. */
KVT_EXPORT int kvtnet_redir2_compte(int client, int serveur, int inactif_s, uint64_t *montants,
                                    uint64_t *descendants);

/* Receives one datagram on the UDP socket `s` into `tampon` (capacity
 * `taille`); stores the sender's address and port (network order). `port`
 * is not used by the receive. The length, below 1 on failure. */
KVT_EXPORT int kvtnet_recvfrom(int s, uint32_t *adresse, uint16_t *port_emetteur, unsigned port,
                               void *tampon, int taille);
/* Sends one datagram to `adresse`:`port` (network order). -1 without
 * sending for address 0 or 0xFFFFFFFF. The length sent, or -1. */
KVT_EXPORT int kvtnet_sendto(int s, uint32_t adresse, uint16_t port, const void *octets,
                             int longueur);

/* ---- Names resolved ahead (one table per process) ---- */

/* Bound on the wait for one round of names (start, reload). */
#define KVTNOMS_DELAI_MS 5000

/* One name's answer: its first address, or `longueur` 0 when it has none
 * (does not resolve, or no answer within the bound). */
struct kvtnoms_adresse {
    struct sockaddr_storage adresse;
    socklen_t longueur;
};

/* A resolution function: the first address of `nom` into *resultat; 0, or
 * -1 when it does not resolve. May block for long: it runs on a thread of
 * its own, possibly after its caller gave up. */
typedef int (*kvtnoms_fonction)(const char *nom, struct kvtnoms_adresse *resultat);

/* The system's: kvtnet_resoudre_adresse (IPv4), as a socket address. */
KVT_EXPORT int kvtnoms_systeme(const char *nom, struct kvtnoms_adresse *resultat);

/* Resolves the `nb` names at once through `fonction` (null: kvtnoms_systeme),
 * one thread each, and waits at most `delai_ms` for them all. Dotted IPv4
 * text gives itself without a thread; null and empty names give nothing.
 * resultats[i] gets name i's answer, or longueur 0. A thread still waiting
 * at the bound is left to finish on its own: it writes only into memory it
 * shares ownership of, and its answer is dropped. The number of names
 * resolved, or -1 (traced) for bad arguments or without memory. */
KVT_EXPORT int kvtnoms_resout(const char *const *noms, int nb, int delai_ms, kvtnoms_fonction fonction,
                              struct kvtnoms_adresse *resultats);
/* kvtnoms_resout, then the names with their answers become the process's
 * table in place of the previous one. As kvtnoms_resout; on -1 the previous
 * table stays. */
KVT_EXPORT int kvtnoms_publie(const char *const *noms, int nb, int delai_ms, kvtnoms_fonction fonction);
/* `nom` in the published table (exact text): 1 with its address stored, 0
 * when it is there without an answer, -1 when it is not there (nothing
 * published, or a name the last round did not hold). Any thread. */
KVT_EXPORT int kvtnoms_cherche(const char *nom, struct kvtnoms_adresse *resultat);
/* Drops the table (tests). */
KVT_EXPORT void kvtnoms_oublie(void);

/* ---- Heap strings ---- */

/* A malloc'ed copy, or null (also for null). */
KVT_EXPORT char *kvtstr_cree(const char *texte);
/* Appends `texte` to *cellule (a heap string, or null for empty). On failure
 * the old text is released and *cellule is null. 0 or -1. */
KVT_EXPORT int kvtstr_concat(char **cellule, const char *texte);
/* Replaces *cellule (released) with the formatted text. On failure
 * *cellule is null. The length, or -1. */
KVT_EXPORT int kvtstr_print(char **cellule, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Next token of *curseur up to the first separator character, as a heap
 * string. Separator runs count as one, wherever they stand (leading ones are
 * skipped too). The cursor moves past the run that follows the token, or
 * becomes null at the end of the text. Null when no token is left. */
KVT_EXPORT char *kvtstr_extrait(char **curseur, const char *separateurs);
/* Cuts `texte` in place at the first occurrence of `separateur` and returns
 * the position after it; null (text left whole) when absent. */
KVT_EXPORT char *kvtstr_isole(char *texte, const char *separateur);
/* Non-zero when `c` occurs in `texte`. */
KVT_EXPORT int kvtstr_contient(const char *texte, int c);
/* Decimal value of the text's leading number (atoi reading), saturated at
 * INT_MIN / INT_MAX; 0 for non-numbers and null. */
KVT_EXPORT int kvtstr_enint(const char *texte);
/* Copies `texte` into `sortie` (capacity `taille`, at least 1), every byte
 * outside 0x21-0x7E and '=' written as '?', so that a text from the network
 * stays one field of a plain-ASCII "key=value" line (no terminal control
 * sequence, in any encoding); cut to fit, always NUL-terminated.
 * The length written. */
KVT_EXPORT size_t kvtstr_echappe(const char *texte, char *sortie, size_t taille);

#ifdef __cplusplus
}
#endif

#endif
