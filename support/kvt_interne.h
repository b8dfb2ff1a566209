/* Links between the support library's own sources; nothing here is exported. */
#ifndef KVT_INTERNE_H
#define KVT_INTERNE_H

/* A configuration warning: written to stderr at once, and to the error log,
 * at once when it is open or else as soon as kvtlog_init opens it. */
void kvtlog_avertit(const char *texte);

/* Network helpers shared by the kvtnet_*.cpp sources. */
#include <stdint.h>
/* Monotonic clock in milliseconds. */
int64_t kvtnet_maintenant_ms() noexcept;
/* Waits for `evenements` on `fd` until `echeance` (monotonic ms, -1: none).
 * 1 ready (or an error/hang-up to read), 0 deadline passed, -1 poll failed. */
int kvtnet_attend(int fd, short evenements, int64_t echeance) noexcept;
/* setsockopt of one int; failures are not reported (best effort). */
void kvtnet_option(int fd, int niveau, int nom, int valeur) noexcept;

/* Relay limits, for the tests only (exported so that they can reach them):
 * the budget of all relay buffers in bytes and the half-close delay in ms;
 * 0 restores the built-in value. */
#include <stddef.h>
#include "kvtlib.h"
KVT_EXPORT void kvtnet_relais_regle_essai(size_t octets, int64_t demi_ms);
/* Bytes that relay buffers hold now; *maximum (when not null) receives the
 * most they held at once since the previous call. */
KVT_EXPORT size_t kvtnet_relais_occupe(size_t *maximum);

#endif
