// Unit tests: one setting of the relay changed, the others kept, published
// as the reload would.
#ifndef QUORVEL_DNS_REGLAGES_OUTILS_H
#define QUORVEL_DNS_REGLAGES_OUTILS_H

#include "quorvel_dns_reglages.h"

inline void regle_blocage(int v)
{
    quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    r.blocage = v;
    quorvel_dns_reglages_publie(r);
}

inline void regle_journal(int v)
{
    quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    r.journal = v;
    quorvel_dns_reglages_publie(r);
}

inline void regle_par_client(int v)
{
    quorvel_dns_reglages r = quorvel_dns_reglages_courants();
    r.tcp_par_client = v;
    quorvel_dns_reglages_publie(r);
}

#endif
