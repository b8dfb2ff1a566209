/* Links between the support library's own sources; nothing here is exported. */
#ifndef KVT_INTERNE_H
#define KVT_INTERNE_H

/* A configuration warning: written to stderr at once, and to the error log,
 * at once when it is open or else as soon as kvtlog_init opens it. */
void kvtlog_avertit(const char *texte);
/* kvtlog_log with its arguments already gathered. */
#include <stdarg.h>
int kvtlog_vlog(const char *format, va_list args);

/* Network helpers shared by the kvtnet_*.cpp sources. */
#include <stdint.h>
/* Monotonic clock in milliseconds. */
int64_t kvtnet_maintenant_ms() noexcept;
/* Waits for `evenements` on `fd` until `echeance` (monotonic ms, -1: none).
 * 1 ready (or an error/hang-up to read), 0 deadline passed, -1 poll failed. */
int kvtnet_attend(int fd, short evenements, int64_t echeance) noexcept;
/* setsockopt of one int; failures are not reported (best effort). */
void kvtnet_option(int fd, int niveau, int nom, int valeur) noexcept;

#endif
