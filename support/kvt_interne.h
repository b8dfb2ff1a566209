/* Links between the support library's own sources; nothing here is exported. */
#ifndef KVT_INTERNE_H
#define KVT_INTERNE_H

#include <new>

/* The process's one T, built in place at its first use and never destroyed:
 * threads may still use it while the process exits. Its room is static, so a
 * first use during a memory shortage (the first refusal line under a flood,
 * say) cannot fail; T's constructor must not allocate. */
template <class T> T &kvt_permanent() noexcept
{
    alignas(T) static unsigned char place[sizeof(T)];
    static T *objet = ::new (static_cast<void *>(place)) T;
    return *objet;
}

/* A configuration warning: written to stderr at once, and to the error log,
 * at once when it is open or else as soon as kvtlog_init opens it. */
void kvtlog_avertit(const char *texte);
/* kvtlog_log with its arguments already gathered. */
#include <stdarg.h>
int kvtlog_vlog(const char *format, va_list args);

/* The access log's writer calls this about every kvtlog_client_pas_ms():
 * writes the count lines of the per-client minutes that have ended. */
void kvtlog_client_echeances(void);
int kvtlog_client_pas_ms(void);

/* Network helpers shared by the kvtnet_*.cpp sources. */
#include <stdint.h>
/* Monotonic clock in milliseconds. */
int64_t kvtnet_maintenant_ms() noexcept;
/* Waits for `evenements` on `fd` until `echeance` (monotonic ms, -1: none).
 * 1 ready (or an error/hang-up to read), 0 deadline passed, -1 poll failed. */
int kvtnet_attend(int fd, short evenements, int64_t echeance) noexcept;
/* setsockopt of one int; failures are not reported (best effort). */
void kvtnet_option(int fd, int niveau, int nom, int valeur) noexcept;


/* The capped listener's record of the connection this thread serves
 * (kvtnet_ecouteur.cpp); both do nothing for any other socket.
 * Withdraws `s` from the listener's view: called just before it is closed,
 * so the listener never shuts down a number that may belong to another. */
void kvtnet_connexion_retire(int s) noexcept;
/* Marks `s` past its request head. 0, or -1 when the listener has already
 * ended its wait (the block must then be given up). */
int kvtnet_connexion_entete_lue(int s) noexcept;

/* Keepalive of relayed TCP sockets: a vanished peer is found within about
 * 4 minutes (120 s idle, then 4 probes 30 s apart) instead of the system's
 * two hours. */
constexpr int KVTNET_KEEPALIVE_IDLE_S = 120;
constexpr int KVTNET_KEEPALIVE_INTERVALLE_S = 30;
constexpr int KVTNET_KEEPALIVE_SONDES = 4;
/* Sets TCP_NODELAY and the keepalive above on `fd`: 0, or -1 when one of
 * them failed. On a listening socket they pass to every accepted one. */
int kvtnet_regle_herite(int fd) noexcept;
/* 1 when `s` is the socket this thread's listener handler serves and it
 * came with kvtnet_regle_herite's options from its listening socket (until
 * kvtnet_fermer closes it); 0 otherwise. */
int kvtnet_connexion_reglee(int s) noexcept;

/* kvtthread_demarre without any log line, for callers that bound their own:
 * 0, or a negative error number (-ENOMEM, or the pthreads error). */
int kvtthread_demarre_muet(void (*routine)(void *), unsigned taille_pile, void *argument) noexcept;

/* Relay limits, for the tests only (exported so that they can reach them):
 * the budget of all relay buffers in bytes and the half-close delay in ms;
 * 0 restores the built-in value. */
#include "kvtlib.h"
KVT_EXPORT void kvtnet_relais_regle_essai(size_t octets, int64_t demi_ms);
/* Bytes that relay buffers hold now; *maximum (when not null) receives the
 * most they held at once since the previous call. */
KVT_EXPORT size_t kvtnet_relais_occupe(size_t *maximum);
/* Takes the process stop back, for the tests only: nothing asked, nobody
 * counted, the descriptor unreadable again. */
KVT_EXPORT void kvtarret_essai_reprend(void);

/* Files read by name (kvtfichier.cpp): the configuration and the block list. */
#include <string>
#include <string_view>
/* Longest line handed on; a longer one is skipped, never held whole. */
constexpr size_t KVTFICHIER_LIGNE_MAX = 4096;
/* Reasons of kvtfichier_ouvre and kvtfichier_lit beside errno values. */
constexpr int KVTFICHIER_PAS_REGULIER = -1;
constexpr int KVTFICHIER_TROP_GRAND = -2;
/* Opens `chemin` for reading when it is, symlinks followed, a regular file of
 * at most `plafond` bytes; never waits (a FIFO included). 0 with the
 * descriptor (close-on-exec) in *fd, or an errno value (EISDIR for a folder)
 * or one of the two reasons above, with *fd at -1. */
int kvtfichier_ouvre(const char *chemin, long long plafond, int *fd);
/* The reason's text: "not a regular file", "larger than 1 MiB" (the bound
 * in MiB when whole, else in bytes), or the system's text of the errno. */
std::string kvtfichier_raison(int err, long long plafond);
/* What kvtfichier_lit hands each line to, numbered from 1. */
struct kvtfichier_lecteur {
    /* The line without its line feed (a carriage return stays). */
    virtual void ligne(long numero, std::string_view texte) = 0;
    /* A line of more than KVTFICHIER_LIGNE_MAX bytes, skipped. */
    virtual void trop_longue(long numero) = 0;

protected:
    ~kvtfichier_lecteur() = default;
};
/* Reads `fd` to its end in blocks, line by line. 0, an errno value, or
 * KVTFICHIER_TROP_GRAND when more than `plafond` bytes come (the file grew
 * after it was opened); the lines before were handed on. */
int kvtfichier_lit(int fd, long long plafond, kvtfichier_lecteur &lecteur);
/* Log periods, for the tests only: the shortest time between two reports
 * of dropped access lines, and the per-client minute of kvtlog_acces_client,
 * in ms; 0 restores the built-in minute. */
KVT_EXPORT void kvtlog_regle_essai(int64_t rapport_ms);
KVT_EXPORT void kvtlog_client_regle_essai(int lignes, int64_t minute_ms);

#endif
