/* Internal-error trace shared by every source: a fault that a function cannot
 * handle (no memory, a null argument, a failed step) is written to stderr
 * with the place it was detected, then the function returns its failure.
 * Inline and allocation-free, so it works when memory has run out. */
#ifndef KVT_TRACE_H
#define KVT_TRACE_H

#include <stdio.h>

#include "kvtlib.h"

static inline void kvt_trace(const char *fichier, int ligne)
{
    fprintf(stderr, "ERREUR: %s ligne %d\n", fichier, ligne);
}

static inline void kvt_trace_msg(const char *message, const char *fichier, int ligne)
{
    fprintf(stderr, "ERREUR: %s\n%s ligne %d\n", message, fichier, ligne);
}

#define KVT_ERREUR() kvt_trace(__FILE__, __LINE__)
#define KVT_ERREUR_MSG(m) kvt_trace_msg((m), __FILE__, __LINE__)
/* The same trace for a fault that network input causes (an empty datagram,
 * an answer nobody asked for): bounded per service, since a stranger decides
 * how often it happens (kvtlog_trace_reseau). */
#define KVT_ERREUR_RESEAU(service) kvtlog_trace_reseau((service), __FILE__, __LINE__)

#endif
