/* The loadable shell of the tunnel module: the loader runs LibMain through
 * this constructor/destructor pair, as a platform loader would call a load
 * routine with reason 1 (attach) and 0 (detach). All logic lives in
 * quorvel_ssl.cpp, which the unit tests link directly. */
#include "quorvel_ssl.h"

__attribute__((constructor)) static void quorvel_ssl_charge()
{
    (void)LibMain(nullptr, 1, nullptr);
}

__attribute__((destructor)) static void quorvel_ssl_decharge()
{
    (void)LibMain(nullptr, 0, nullptr);
}
