// A module for the launcher's tests whose symbol nothing defines: loading it
// now must fail at once instead of at the first call.
#include "kvtlib.h"

extern "C" int quorvel_essai_jamais_defini(void);

KVT_EXPORT int _demarre_serveur_essai(void)
{
    return quorvel_essai_jamais_defini();
}
