// A module for the launcher's tests: its entry says that it ran.
#include <stdio.h>

#include "kvtlib.h"

KVT_EXPORT int _demarre_serveur_essai(void)
{
    printf("essai started\n");
    return -5;   // the launcher ignores the result
}

// Its reload entry, found by name from the start entry's.
KVT_EXPORT int _recharge_serveur_essai(void)
{
    printf("essai reloaded\n");
    fflush(stdout);
    return -5;
}
