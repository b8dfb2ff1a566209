/* The loadable shell of the DNS relay: Linux has no load routine with reason
 * codes, so the module's constructor and destructor call LibMain with the
 * attach (1) and detach (0) reasons. */
#include "quorvel_dns.h"

__attribute__((constructor)) static void quorvel_dns_charge()
{
    LibMain(nullptr, 1, nullptr);
}

__attribute__((destructor)) static void quorvel_dns_decharge()
{
    LibMain(nullptr, 0, nullptr);
}
