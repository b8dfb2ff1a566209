/* The relay's reloadable settings: reading and publication. */
#include "quorvel_dns_reglages.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "kvt_publie.h"
#include "quorvel_dns_cache.h"
#include "quorvel_dns_tcp.h"
#include "quorvel_ip_mask.h"

namespace {

kvt_publie<quorvel_dns_reglages> publies;

constexpr quorvel_dns_reglages DEFAUT = {0, 0, QUORVEL_DNS_TCP_PAR_CLIENT, 0, 0};

int par_client()
{
    char texte[64] = "";
    kvtcfg_recup_E("DNS", "DNSTCPMaxPerClient", texte, sizeof texte, "");
    if (texte[0] == '\0') return QUORVEL_DNS_TCP_PAR_CLIENT;
    char *fin = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(texte, &fin, 10);
    if (texte[0] < '0' || texte[0] > '9' || *fin != '\0' || errno != 0 || v < 1 || v > QUORVEL_DNS_TCP_MAX_CONNEXIONS) {
        kvtlog_erreur("DNS relay: DNSTCPMaxPerClient=%s is not a whole number from 1 to %d; taken as %d", texte,
                      QUORVEL_DNS_TCP_MAX_CONNEXIONS, QUORVEL_DNS_TCP_PAR_CLIENT);
        return QUORVEL_DNS_TCP_PAR_CLIENT;
    }
    return static_cast<int>(v);
}

// "DNSCacheSize" or "DNSCacheMinTTL" within `max`, with the error-log line
// for a value out of range or not a whole number (`sinon` says what is
// done then).
unsigned nombre(const char *cle, unsigned max, const char *sinon)
{
    char texte[64] = "";
    kvtcfg_recup_E("DNS", cle, texte, sizeof texte, "");
    unsigned valeur = 0;
    const int r = quorvel_dns_cache_nombre(texte, max, &valeur);
    if (r > 0)
        kvtlog_erreur("DNS relay: %s=%s is above %u; taken as %u", cle, texte, max, max);
    else if (r < 0)
        kvtlog_erreur("DNS relay: %s=%s is not a whole number; %s", cle, texte, sinon);
    return valeur;
}

}  // namespace

quorvel_dns_reglages quorvel_dns_reglages_courants(void)
{
    kvt_lecture<quorvel_dns_reglages> l{publies};
    return l.get() != nullptr ? *l.get() : DEFAUT;
}

void quorvel_dns_reglages_publie(const quorvel_dns_reglages &r)
{
    quorvel_dns_reglages *neuf = new (std::nothrow) quorvel_dns_reglages(r);
    if (neuf == nullptr) return;  // the running settings stay
    delete kvt_publie_remplace(publies, neuf);
}

quorvel_dns_reglages quorvel_dns_reglages_lit(void)
{
    const quorvel_dns_reglages avant = quorvel_dns_reglages_courants();
    quorvel_dns_reglages r{};
    r.blocage = quorvel_dns_reglage_actif("DNSBlockAds");
    r.journal = quorvel_dns_reglage_actif("DNSQueryLog");
    r.tcp_par_client = par_client();
    r.cache_taille = nombre("DNSCacheSize", QUORVEL_DNS_CACHE_TAILLE_MAX, "no cache");
    r.cache_min_ttl = nombre("DNSCacheMinTTL", QUORVEL_DNS_CACHE_MIN_TTL_MAX, "taken as 0");
    // The list is loaded before lookups may use it.
    if (r.blocage && !avant.blocage) (void)quorvel_liste_demarre();
    quorvel_dns_reglages_publie(r);
    return r;
}
