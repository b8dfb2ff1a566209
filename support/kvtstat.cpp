/* kvtstat: storage of the services' counters, and the two ways they are
 * shown: statistics lines in the log, and the metrics text (see kvtstat.h). */
#include "kvtstat.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

kvtstat_compteurs kvtstat{};

namespace {

uint64_t lu(const std::atomic<uint64_t> &c) noexcept { return c.load(std::memory_order_relaxed); }

std::atomic<kvtstat_cache_fonction> source_cache{nullptr};

}  // namespace

void kvtstat_cache_source(kvtstat_cache_fonction f)
{
    source_cache.store(f, std::memory_order_release);
}

void kvtstat_copie(kvtstat_releve *r)
{
    if (r == nullptr) return;
    const kvtstat_ssl &s = kvtstat.ssl;
    const kvtstat_dns &d = kvtstat.dns;
    r->ssl_actif = s.actif.load(std::memory_order_relaxed);
    r->ssl_ouverts = lu(s.ouverts);
    r->ssl_tunnels = lu(s.tunnels);
    r->ssl_refus = lu(s.refus);
    r->ssl_pages = lu(s.pages);
    r->ssl_bloques = lu(s.bloques);
    r->ssl_octets_montants = lu(s.octets_montants);
    r->ssl_octets_descendants = lu(s.octets_descendants);
    r->dns_actif = d.actif.load(std::memory_order_relaxed);
    r->dns_requetes = lu(d.requetes);
    r->dns_reponses = lu(d.reponses);
    r->dns_refus = lu(d.refus);
    r->dns_rejetes = lu(d.rejetes);
    r->dns_sans_reponse = lu(d.sans_reponse);
    r->dns_en_attente = lu(d.en_attente);
    r->dns_en_attente_max = lu(d.en_attente_max);
    r->dns_tcp = lu(d.tcp);
    r->dns_bloques = lu(d.bloques);
    const kvtstat_cache_fonction cache = source_cache.load(std::memory_order_acquire);
    r->dns_cache_actif = cache != nullptr;
    r->dns_cache_succes = r->dns_cache_echecs = r->dns_cache_evictions = r->dns_cache_entrees = 0;
    if (cache != nullptr) cache(&r->dns_cache_succes, &r->dns_cache_echecs, &r->dns_cache_evictions, &r->dns_cache_entrees);
    r->debut_s = kvtstat.debut_s.load(std::memory_order_relaxed);
    const kvtstat_http &h = kvtstat.http;
    r->http_actif = h.actif.load(std::memory_order_relaxed);
    r->http_ouverts = lu(h.ouverts);
    r->http_requetes = lu(h.requetes);
    r->http_refus = lu(h.refus);
    r->http_pages = lu(h.pages);
    r->http_bloques = lu(h.bloques);
    r->http_octets_montants = lu(h.octets_montants);
    r->http_octets_descendants = lu(h.octets_descendants);
}

int kvtstat_lignes(const kvtstat_releve *r, char *texte, int taille)
{
    if (r == nullptr || texte == nullptr || taille < 1) return -1;
    int n = 0;
    texte[0] = '\0';
    // Fields are only ever added at the end of a line: scripts that read
    // them by name or by position keep working.
    if (r->ssl_actif) {
        const int k = std::snprintf(texte + n, static_cast<size_t>(taille - n),
                                    "SSL statistics: open=%" PRIu64 " tunnels=%" PRIu64 " refused=%" PRIu64
                                    " pages=%" PRIu64 " bytes_up=%" PRIu64 " bytes_down=%" PRIu64 " blocked=%" PRIu64 "\n",
                                    r->ssl_ouverts, r->ssl_tunnels, r->ssl_refus, r->ssl_pages,
                                    r->ssl_octets_montants, r->ssl_octets_descendants, r->ssl_bloques);
        if (k < 0 || k >= taille - n) return -1;
        n += k;
    }
    if (r->dns_actif) {
        const int k = std::snprintf(texte + n, static_cast<size_t>(taille - n),
                                    "DNS statistics: queries=%" PRIu64 " answers=%" PRIu64 " refused=%" PRIu64
                                    " dropped=%" PRIu64 " unanswered=%" PRIu64 " pending=%" PRIu64
                                    " pending_max=%" PRIu64 " tcp=%" PRIu64 " blocked=%" PRIu64,
                                    r->dns_requetes, r->dns_reponses, r->dns_refus, r->dns_rejetes,
                                    r->dns_sans_reponse, r->dns_en_attente, r->dns_en_attente_max, r->dns_tcp,
                                    r->dns_bloques);
        if (k < 0 || k >= taille - n) return -1;
        n += k;
        const int c = r->dns_cache_actif
                          ? std::snprintf(texte + n, static_cast<size_t>(taille - n),
                                          " cache_hits=%" PRIu64 " cache_misses=%" PRIu64 " cache_entries=%" PRIu64
                                          "\n",
                                          r->dns_cache_succes, r->dns_cache_echecs, r->dns_cache_entrees)
                          : std::snprintf(texte + n, static_cast<size_t>(taille - n), "\n");
        if (c < 0 || c >= taille - n) return -1;
        n += c;
    }
    if (r->http_actif) {
        const int k = std::snprintf(texte + n, static_cast<size_t>(taille - n),
                                    "HTTP statistics: open=%" PRIu64 " requests=%" PRIu64 " refused=%" PRIu64
                                    " pages=%" PRIu64 " bytes_up=%" PRIu64 " bytes_down=%" PRIu64 " blocked=%" PRIu64 "\n",
                                    r->http_ouverts, r->http_requetes, r->http_refus, r->http_pages,
                                    r->http_octets_montants, r->http_octets_descendants, r->http_bloques);
        if (k < 0 || k >= taille - n) return -1;
        n += k;
    }
    return n;
}

int kvtstat_journal(void)
{
    kvtstat_releve r{};
    kvtstat_copie(&r);
    char texte[1024];
    if (kvtstat_lignes(&r, texte, sizeof texte) < 0) return -1;
    int lignes = 0;
    for (char *debut = texte; *debut != '\0';) {
        char *fin = std::strchr(debut, '\n');
        *fin = '\0';
        kvtlog_log("%s", debut);
        ++lignes;
        debut = fin + 1;
    }
    return lignes;
}

namespace {

void metrique(std::string &t, const char *nom, const char *type, const char *aide)
{
    t += "# HELP ";
    t += nom;
    t += ' ';
    t += aide;
    t += "\n# TYPE ";
    t += nom;
    t += ' ';
    t += type;
    t += '\n';
}

void valeur(std::string &t, const char *nom, const char *etiquettes, uint64_t v)
{
    t += nom;
    t += etiquettes;
    t += ' ';
    t += std::to_string(v);
    t += '\n';
}

void simple(std::string &t, const char *nom, const char *type, const char *aide, uint64_t v)
{
    metrique(t, nom, type, aide);
    valeur(t, nom, "", v);
}

}  // namespace

char *kvtstat_metriques(const kvtstat_releve *r)
{
    if (r == nullptr) return nullptr;
    try {
        std::string t;
        t.reserve(4096);
        simple(t, "quorvel_start_time_seconds", "gauge", "Start of the process, seconds since the epoch.",
               static_cast<uint64_t>(r->debut_s < 0 ? 0 : r->debut_s));
        simple(t, "quorvel_ssl_up", "gauge", "1 while the tunnel server runs.", r->ssl_actif ? 1 : 0);
        simple(t, "quorvel_ssl_tunnels_open", "gauge", "Tunnels open now.", r->ssl_ouverts);
        simple(t, "quorvel_ssl_tunnels_total", "counter", "Tunnels set up (200 sent).", r->ssl_tunnels);
        simple(t, "quorvel_ssl_refused_total", "counter", "Clients refused as not allowed.", r->ssl_refus);
        simple(t, "quorvel_ssl_pages_total", "counter", "Error pages sent, refused clients' included.",
               r->ssl_pages);
        simple(t, "quorvel_ssl_blocked_total", "counter", "CONNECTs to a host on the block list.",
               r->ssl_bloques);
        metrique(t, "quorvel_ssl_bytes_total", "counter", "Bytes relayed through tunnels after the 200.");
        valeur(t, "quorvel_ssl_bytes_total", "{direction=\"up\"}", r->ssl_octets_montants);
        valeur(t, "quorvel_ssl_bytes_total", "{direction=\"down\"}", r->ssl_octets_descendants);
        simple(t, "quorvel_dns_up", "gauge", "1 while the DNS relay runs.", r->dns_actif ? 1 : 0);
        simple(t, "quorvel_dns_queries_total", "counter", "Datagram queries forwarded upstream.",
               r->dns_requetes);
        simple(t, "quorvel_dns_answers_total", "counter", "Answers routed back to a client.", r->dns_reponses);
        simple(t, "quorvel_dns_refused_total", "counter", "Datagrams of clients not allowed.", r->dns_refus);
        simple(t, "quorvel_dns_dropped_total", "counter", "Datagrams dropped as forged or short.",
               r->dns_rejetes);
        simple(t, "quorvel_dns_unanswered_total", "counter",
               "Queries whose slot was taken again before an answer came.", r->dns_sans_reponse);
        simple(t, "quorvel_dns_pending", "gauge", "Queries awaiting an answer now.", r->dns_en_attente);
        simple(t, "quorvel_dns_pending_max", "gauge", "The most queries ever awaiting an answer at once.",
               r->dns_en_attente_max);
        simple(t, "quorvel_dns_blocked_total", "counter", "Queries for a listed name answered by the relay.",
               r->dns_bloques);
        simple(t, "quorvel_dns_tcp_connections_total", "counter", "DNS connections relayed over TCP.",
               r->dns_tcp);
        // Only with a cache: without one, the text stays what it always was.
        if (r->dns_cache_actif) {
            simple(t, "quorvel_dns_cache_hits_total", "counter", "Queries answered from the DNS answer cache.",
                   r->dns_cache_succes);
            simple(t, "quorvel_dns_cache_misses_total", "counter",
                   "Queries the DNS answer cache could have answered that went upstream.", r->dns_cache_echecs);
            simple(t, "quorvel_dns_cache_evictions_total", "counter",
                   "Answers pushed out of the full DNS answer cache.", r->dns_cache_evictions);
            simple(t, "quorvel_dns_cache_entries", "gauge", "Answers held in the DNS answer cache now.",
                   r->dns_cache_entrees);
        }
        simple(t, "quorvel_http_up", "gauge", "1 while the HTTP proxy runs.", r->http_actif ? 1 : 0);
        simple(t, "quorvel_http_connections_open", "gauge", "HTTP proxy client connections open now.",
               r->http_ouverts);
        simple(t, "quorvel_http_requests_total", "counter", "Requests sent to a server and tunnels set up.",
               r->http_requetes);
        simple(t, "quorvel_http_refused_total", "counter", "Clients refused as not allowed.", r->http_refus);
        simple(t, "quorvel_http_pages_total", "counter", "Error pages sent, refused and blocked included.",
               r->http_pages);
        metrique(t, "quorvel_http_bytes_total", "counter", "Body bytes relayed, tunnels' included.");
        valeur(t, "quorvel_http_bytes_total", "{direction=\"up\"}", r->http_octets_montants);
        valeur(t, "quorvel_http_bytes_total", "{direction=\"down\"}", r->http_octets_descendants);
        simple(t, "quorvel_http_blocked_total", "counter", "Requests and CONNECTs to a host on the block list.",
               r->http_bloques);
        return kvtstr_cree(t.c_str());
    } catch (...) {
        return nullptr;
    }
}
