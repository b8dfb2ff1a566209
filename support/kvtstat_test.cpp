// The statistics lines and the metrics text, read back as a reader of each
// would: the lines field by field, the metrics by a small exposition parser.
#include "kvtstat.h"
#include "kvt_raii.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

kvtstat_releve exemple()
{
    kvtstat_releve r{};
    r.ssl_actif = 1;
    r.ssl_ouverts = 3;
    r.ssl_tunnels = 41;
    r.ssl_refus = 5;
    r.ssl_pages = 9;
    r.ssl_octets_montants = 1234567;
    r.ssl_octets_descendants = 18446744073709551615ull;  // the widest value prints whole
    r.dns_actif = 1;
    r.dns_requetes = 100;
    r.dns_reponses = 97;
    r.dns_refus = 2;
    r.dns_rejetes = 4;
    r.dns_sans_reponse = 1;
    r.dns_en_attente = 2;
    r.dns_en_attente_max = 17;
    r.dns_tcp = 6;
    r.ssl_bloques = 8;
    r.dns_bloques = 11;
    r.debut_s = 1700000000;
    return r;
}

std::string lignes(const kvtstat_releve &r)
{
    char texte[1024];
    const int n = kvtstat_lignes(&r, texte, sizeof texte);
    EXPECT_GE(n, 0);
    return n < 0 ? std::string() : std::string(texte, static_cast<size_t>(n));
}

TEST(KvtstatLignes, ChaqueServiceQuiTourneASaLigneExacte)
{
    kvtstat_releve r = exemple();
    EXPECT_EQ(lignes(r),
              "SSL statistics: open=3 tunnels=41 refused=5 pages=9 bytes_up=1234567 "
              "bytes_down=18446744073709551615 blocked=8\n"
              "DNS statistics: queries=100 answers=97 refused=2 dropped=4 unanswered=1 pending=2 "
              "pending_max=17 tcp=6 blocked=11\n");
    r.ssl_actif = 0;
    EXPECT_EQ(lignes(r).rfind("DNS statistics: queries=100 ", 0), 0u);
    EXPECT_EQ(lignes(r).find("SSL"), std::string::npos);
    r.dns_actif = 0;
    EXPECT_EQ(lignes(r), "");
}

TEST(KvtstatLignes, LaLigneHttpVientApresLesAutres)
{
    kvtstat_releve r = exemple();
    r.http_actif = 1;
    r.http_ouverts = 2;
    r.http_requetes = 30;
    r.http_refus = 1;
    r.http_pages = 4;
    r.http_octets_montants = 100;
    r.http_octets_descendants = 5000;
    r.http_bloques = 3;
    const std::string t = lignes(r);
    EXPECT_EQ(t.substr(t.find("HTTP statistics")),
              "HTTP statistics: open=2 requests=30 refused=1 pages=4 bytes_up=100 bytes_down=5000 blocked=3\n");
    kvt_cstr m{kvtstat_metriques(&r)};
    ASSERT_TRUE(m);
    for (const char *l : {"\nquorvel_http_up 1\n", "\nquorvel_http_connections_open 2\n",
                          "\nquorvel_http_requests_total 30\n", "\nquorvel_http_refused_total 1\n",
                          "\nquorvel_http_pages_total 4\n", "\nquorvel_http_bytes_total{direction=\"up\"} 100\n",
                          "\nquorvel_http_bytes_total{direction=\"down\"} 5000\n", "\nquorvel_http_blocked_total 3\n"})
        EXPECT_NE(std::string(m.get()).find(l), std::string::npos) << l;
}

TEST(KvtstatLignes, TamponTropPetitOuNulRefuse)
{
    const kvtstat_releve r = exemple();
    char petit[40];
    EXPECT_EQ(kvtstat_lignes(&r, petit, sizeof petit), -1);
    EXPECT_EQ(kvtstat_lignes(nullptr, petit, sizeof petit), -1);
    EXPECT_EQ(kvtstat_lignes(&r, nullptr, 10), -1);
}

TEST(KvtstatCopie, LitLesCompteursPartages)
{
    kvtstat.dns.requetes.store(12);
    kvtstat.ssl.octets_montants.store(99);
    kvtstat.dns.actif.store(1);
    kvtstat_releve r{};
    kvtstat_copie(&r);
    EXPECT_EQ(r.dns_requetes, 12u);
    EXPECT_EQ(r.ssl_octets_montants, 99u);
    EXPECT_EQ(r.dns_actif, 1);
    kvtstat.dns.requetes.store(0);
    kvtstat.ssl.octets_montants.store(0);
    kvtstat.dns.actif.store(0);
}

// One sample: the metric name with its labels, and its value.
struct exposition {
    std::map<std::string, std::string> types;      // name -> type
    std::set<std::string> aides;                   // names with a HELP line
    std::map<std::string, std::string> valeurs;    // name{labels} -> value text
};

// Checks the grammar of the text format as it goes: every line is a HELP, a
// TYPE, or a sample of a metric whose TYPE came before; names are
// [a-zA-Z_:][a-zA-Z0-9_:]*; the text ends with a line feed.
exposition analyse(const std::string &texte)
{
    exposition e;
    EXPECT_FALSE(texte.empty());
    EXPECT_EQ(texte.back(), '\n');
    std::istringstream flux(texte);
    std::string ligne;
    auto nom_valide = [](const std::string &n) {
        if (n.empty() || std::isdigit(static_cast<unsigned char>(n[0]))) return false;
        for (char c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':') return false;
        return true;
    };
    while (std::getline(flux, ligne)) {
        EXPECT_FALSE(ligne.empty());
        if (ligne.rfind("# HELP ", 0) == 0) {
            const std::string reste = ligne.substr(7);
            const std::string nom = reste.substr(0, reste.find(' '));
            EXPECT_TRUE(nom_valide(nom)) << ligne;
            EXPECT_TRUE(e.aides.insert(nom).second) << "second HELP for " << nom;
            continue;
        }
        if (ligne.rfind("# TYPE ", 0) == 0) {
            std::istringstream l(ligne.substr(7));
            std::string nom, type, plus;
            l >> nom >> type;
            EXPECT_FALSE(l >> plus) << ligne;
            EXPECT_TRUE(type == "counter" || type == "gauge") << ligne;
            EXPECT_TRUE(e.types.emplace(nom, type).second) << "second TYPE for " << nom;
            continue;
        }
        const size_t blanc = ligne.rfind(' ');
        if (ligne[0] == '#' || blanc == std::string::npos) {
            ADD_FAILURE() << "neither HELP, TYPE nor a sample: " << ligne;
            continue;
        }
        const std::string serie = ligne.substr(0, blanc);
        const std::string valeur = ligne.substr(blanc + 1);
        const std::string nom = serie.substr(0, serie.find('{'));
        EXPECT_TRUE(nom_valide(nom)) << ligne;
        EXPECT_EQ(e.types.count(nom), 1u) << "sample before its TYPE: " << ligne;
        EXPECT_EQ(valeur.find_first_not_of("0123456789"), std::string::npos) << ligne;
        if (serie.size() > nom.size()) {
            EXPECT_EQ(serie.back(), '}') << ligne;
            const std::string etiquettes = serie.substr(nom.size() + 1, serie.size() - nom.size() - 2);
            const size_t egal = etiquettes.find('=');
            if (egal == std::string::npos) {
                ADD_FAILURE() << "label without '=': " << ligne;
                continue;
            }
            EXPECT_TRUE(nom_valide(etiquettes.substr(0, egal))) << ligne;
            EXPECT_EQ(etiquettes[egal + 1], '"');
            EXPECT_EQ(etiquettes.back(), '"');
        }
        EXPECT_TRUE(e.valeurs.emplace(serie, valeur).second) << "repeated sample " << serie;
    }
    return e;
}

TEST(KvtstatMetriques, TexteAnalysableAvecChaqueCompteur)
{
    const kvtstat_releve r = exemple();
    char *t = kvtstat_metriques(&r);
    ASSERT_NE(t, nullptr);
    const std::string texte(t);
    std::free(t);
    const exposition e = analyse(texte);

    const std::map<std::string, std::string> attendu = {
        {"quorvel_start_time_seconds", "1700000000"},
        {"quorvel_ssl_up", "1"},
        {"quorvel_ssl_tunnels_open", "3"},
        {"quorvel_ssl_tunnels_total", "41"},
        {"quorvel_ssl_refused_total", "5"},
        {"quorvel_ssl_pages_total", "9"},
        {"quorvel_ssl_blocked_total", "8"},
        {"quorvel_ssl_bytes_total{direction=\"up\"}", "1234567"},
        {"quorvel_ssl_bytes_total{direction=\"down\"}", "18446744073709551615"},
        {"quorvel_dns_up", "1"},
        {"quorvel_dns_queries_total", "100"},
        {"quorvel_dns_answers_total", "97"},
        {"quorvel_dns_refused_total", "2"},
        {"quorvel_dns_dropped_total", "4"},
        {"quorvel_dns_unanswered_total", "1"},
        {"quorvel_dns_pending", "2"},
        {"quorvel_dns_pending_max", "17"},
        {"quorvel_dns_blocked_total", "11"},
        {"quorvel_dns_tcp_connections_total", "6"},
        {"quorvel_http_up", "0"},
        {"quorvel_http_connections_open", "0"},
        {"quorvel_http_requests_total", "0"},
        {"quorvel_http_refused_total", "0"},
        {"quorvel_http_pages_total", "0"},
        {"quorvel_http_bytes_total{direction=\"up\"}", "0"},
        {"quorvel_http_bytes_total{direction=\"down\"}", "0"},
        {"quorvel_http_blocked_total", "0"},
    };
    EXPECT_EQ(e.valeurs, attendu);
    for (const auto &[nom, type] : e.types) {
        EXPECT_EQ(nom.rfind("quorvel_", 0), 0u) << nom;
        EXPECT_EQ(e.aides.count(nom), 1u) << nom;
        const bool total = nom.size() > 6 && nom.compare(nom.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(total, type == "counter") << nom;
    }
}

TEST(KvtstatMetriques, ServicesArretesGardentLeursSeries)
{
    // A scraper sees the same series whether a service runs or not.
    kvtstat_releve r{};
    char *t = kvtstat_metriques(&r);
    ASSERT_NE(t, nullptr);
    const exposition e = analyse(t);
    std::free(t);
    EXPECT_EQ(e.valeurs.size(), 27u);
    EXPECT_EQ(e.valeurs.at("quorvel_ssl_up"), "0");
    EXPECT_EQ(e.valeurs.at("quorvel_dns_pending_max"), "0");
    EXPECT_EQ(kvtstat_metriques(nullptr), nullptr);
}

}  // namespace

namespace {

void source_essai(uint64_t *succes, uint64_t *echecs, uint64_t *evictions, uint64_t *entrees)
{
    *succes = 7, *echecs = 3, *evictions = 2, *entrees = 5;
}

}  // namespace

// With a cache source named, its counters end the DNS line and get their
// four metrics; the copy reads them through the source.
TEST(KvtstatCache, SourceNommeeLigneEtMetriques)
{
    kvtstat_cache_source(source_essai);
    kvtstat_releve r{};
    kvtstat_copie(&r);
    kvtstat_cache_source(nullptr);
    EXPECT_EQ(r.dns_cache_actif, 1);
    r.dns_actif = 1;
    EXPECT_EQ(lignes(r), "DNS statistics: queries=0 answers=0 refused=0 dropped=0 unanswered=0 pending=0 "
                         "pending_max=0 tcp=0 blocked=0 cache_hits=7 cache_misses=3 cache_entries=5\n");
    char *t = kvtstat_metriques(&r);
    ASSERT_NE(t, nullptr);
    const exposition e = analyse(t);
    std::free(t);
    EXPECT_EQ(e.valeurs.at("quorvel_dns_cache_hits_total"), "7");
    EXPECT_EQ(e.valeurs.at("quorvel_dns_cache_misses_total"), "3");
    EXPECT_EQ(e.valeurs.at("quorvel_dns_cache_evictions_total"), "2");
    EXPECT_EQ(e.valeurs.at("quorvel_dns_cache_entries"), "5");
    EXPECT_EQ(e.types.at("quorvel_dns_cache_entries"), "gauge");
    kvtstat_copie(&r);
    EXPECT_EQ(r.dns_cache_actif, 0);
}
