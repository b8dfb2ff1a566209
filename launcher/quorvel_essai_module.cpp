// A module for the launcher's tests: its entry says that it ran.
#include <stdio.h>

#include "kvtlib.h"

KVT_EXPORT int _demarre_serveur_essai(void)
{
    printf("essai started\n");
    return -5;   // the launcher ignores the result
}
