/* The loadable shell of the HTTP proxy module: the loader runs LibMain
 * through this constructor/destructor pair, as the other modules do. All
 * logic lives in quorvel_http.cpp, which the unit tests link directly. */
#include "quorvel_http.h"

__attribute__((constructor)) static void quorvel_http_charge()
{
    (void)LibMain(nullptr, 1, nullptr);
}

__attribute__((destructor)) static void quorvel_http_decharge()
{
    (void)LibMain(nullptr, 0, nullptr);
}
