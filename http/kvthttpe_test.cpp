#include "kvthttpe.h"

#include <gtest/gtest.h>

#include "paire_test.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct libere_record {
    void operator()(kvthttpe *e) const noexcept { kvthttpe_libere(&e); }
};
using record = std::unique_ptr<kvthttpe, libere_record>;

const std::string TROP_PARAMS = "Nombre de param\xe8tres exc\xe9" "d\xe9";

// A rendered text as a std::string, released; "<null>" for null.
std::string texte(char *p)
{
    if (p == nullptr) return "<null>";
    std::string s = p;
    std::free(p);
    return s;
}

std::string nom_numero(int i)
{
    return "X-Nom-" + std::to_string(i);
}

}  // namespace

TEST(KvthttpeTable, ThirtyNamesFitTheThirtyFirstIsRefusedAndLeavesTheTableAlone)
{
    record e{kvthttpe_nouveau()};
    ASSERT_NE(e, nullptr);
    for (int i = 0; i < KVTHTTPE_MAX_PARAMS; ++i)
        ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), nom_numero(i).c_str(), "v"));
    EXPECT_EQ(30, e->nb_params);

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttpe_fixe_param(e.get(), "X-De-Trop", "v"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("ERREUR: " + TROP_PARAMS + "\nhttp/kvthttpe.cpp ligne ")) << err;
    EXPECT_EQ(30, e->nb_params);
    EXPECT_EQ(nullptr, kvthttpe_recup_param(e.get(), "X-De-Trop"));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(nom_numero(i), e->param_noms[i]);

    // A stored name can still be set when the table is full; it keeps its place.
    EXPECT_EQ(0, kvthttpe_fixe_param(e.get(), "X-Nom-7", "neuf"));
    EXPECT_EQ(30, e->nb_params);
    EXPECT_STREQ("neuf", e->param_valeurs[7]);
    EXPECT_STREQ("neuf", kvthttpe_recup_param(e.get(), "X-Nom-7"));

    kvthttpe_vide_params(e.get());
    EXPECT_EQ(0, e->nb_params);
    EXPECT_EQ(nullptr, e->param_noms[0]);
    EXPECT_EQ(0, kvthttpe_fixe_param(e.get(), "A", "b"));
}

TEST(KvthttpeTable, ExactCaseRemovalMovesTheLastEntryIntoTheGap)
{
    record e{kvthttpe_nouveau()};
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "Host", "a"));
    ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "host", "b"));
    ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "Accept", "c"));
    EXPECT_EQ(3, e->nb_params);
    EXPECT_STREQ("a", kvthttpe_recup_param(e.get(), "Host"));
    EXPECT_STREQ("b", kvthttpe_recup_param(e.get(), "host"));
    EXPECT_EQ(nullptr, kvthttpe_recup_param(e.get(), "HOST"));

    EXPECT_EQ(0, kvthttpe_supprime_param(e.get(), "Absent"));
    EXPECT_EQ(3, e->nb_params);
    EXPECT_EQ(0, kvthttpe_supprime_param(e.get(), "Host"));
    ASSERT_EQ(2, e->nb_params);
    EXPECT_STREQ("Accept", e->param_noms[0]);
    EXPECT_STREQ("c", e->param_valeurs[0]);
    EXPECT_STREQ("host", e->param_noms[1]);
    EXPECT_EQ(nullptr, e->param_noms[2]);
    EXPECT_EQ(nullptr, kvthttpe_recup_param(e.get(), "Host"));

    // Removing the last entry, then adding: no stale slot is reused wrongly.
    EXPECT_EQ(0, kvthttpe_supprime_param(e.get(), "host"));
    EXPECT_EQ(0, kvthttpe_fixe_param(e.get(), "Neu", "d"));
    EXPECT_STREQ("Neu", e->param_noms[1]);

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttpe_fixe_param(e.get(), nullptr, "x"));
    EXPECT_EQ(nullptr, kvthttpe_recup_param(nullptr, "Host"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Parametre null")) << err;
}

TEST(KvthttpeTable, ReleaseClearsTheCallersPointer)
{
    kvthttpe *e = kvthttpe_nouveau();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(0, kvthttpe_requete_get(e, "http://example.test/x"));
    kvthttpe_libere(&e);
    EXPECT_EQ(nullptr, e);
    testing::internal::CaptureStderr();
    kvthttpe_libere(&e);  // a second release only traces
    kvthttpe_libere(nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("ERREUR: ")) << err;
}

TEST(KvthttpeUrl, FormsSchemesPortsAndPaths)
{
    struct ligne {
        const char *url;
        int resultat;
        const char *protocole, *hote;
        int port;
        const char *chemin;
    } lignes[] = {
        {"secure.example:443", 0, "http", "secure.example", 443, ""},
        {"http://www.example", 0, "http", "www.example", 80, ""},
        {"HTTP://www.example", 0, "HTTP", "www.example", 80, ""},
        {"ftp://files.example", 0, "ftp", "files.example", 21, ""},
        {"FtP://files.example/pub", 0, "FtP", "files.example", 21, "/pub"},
        {"https://secure.example", 0, "https", "secure.example", 8080, ""},
        {"HTTPS://secure.example", 0, "HTTPS", "secure.example", 8080, ""},
        {"gopher://old.example", 0, "gopher", "old.example", 80, ""},
        {"http://h:65535/a/b.html", 0, "http", "h", 65535, "/a/b.html"},
        {"http://h:8080/a b", 0, "http", "h", 8080, "/a"},
        {"h/index.html", 0, "http", "h", 80, "/index.html"},
        {"http://h:0/", -2, nullptr, nullptr, 0, nullptr},
        {"http://h:abc/", -2, nullptr, nullptr, 0, nullptr},
        {"h:", -2, nullptr, nullptr, 0, nullptr},
        {"h:-1", -3, nullptr, nullptr, 0, nullptr},
        {"h:65536", -3, nullptr, nullptr, 0, nullptr},
        {"h:99999999999", -3, nullptr, nullptr, 0, nullptr},
        // Degenerate texts parse to something without reading past their end.
        {"://", 0, "//", "", 80, ""},
        {"x://", 0, "x", "", 80, ""},
        {"http://", 0, "http", "", 80, ""},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.url);
        record e{kvthttpe_nouveau()};
        ASSERT_NE(e, nullptr);
        testing::internal::CaptureStderr();
        int r = kvthttpe_analyse_url(e.get(), l.url);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(l.resultat, r);
        if (l.resultat == 0) {
            EXPECT_EQ("", err);
            EXPECT_STREQ(l.protocole, e->protocole);
            EXPECT_STREQ(l.hote, e->hote);
            EXPECT_EQ(l.port, e->port);
            EXPECT_STREQ(l.chemin, e->chemin);
        } else if (l.resultat == -2) {
            // One trace line without a message text.
            EXPECT_EQ(0u, err.find("ERREUR: http/kvthttpe.cpp ligne ")) << err;
            EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
        } else {
            EXPECT_EQ(0u, err.find("ERREUR: port non valide\nhttp/kvthttpe.cpp ligne ")) << err;
        }
    }
    testing::internal::CaptureStderr();
    record e{kvthttpe_nouveau()};
    EXPECT_EQ(-1, kvthttpe_analyse_url(e.get(), nullptr));
    EXPECT_EQ(-1, kvthttpe_analyse_url(nullptr, "h"));
    testing::internal::GetCapturedStderr();
}

TEST(KvthttpeRender, GetRequestInBothForms)
{
    struct ligne {
        const char *url, *origine, *absolue;
    } lignes[] = {
        {"http://www.example/index.html",
         "GET /index.html HTTP/1.1\r\nHost: www.example\r\nAccept: */*\r\n\r\n",
         "GET http://www.example/index.html HTTP/1.1\r\n"},
        {"http://www.example:8080/a?b=c",
         "GET /a?b=c HTTP/1.1\r\nHost: www.example\r\nAccept: */*\r\n\r\n",
         "GET http://www.example:8080/a?b=c HTTP/1.1\r\n"},
        {"HTTP://Www.Example:80/x", "GET /x HTTP/1.1\r\nHost: Www.Example\r\nAccept: */*\r\n\r\n",
         "GET HTTP://Www.Example/x HTTP/1.1\r\n"},
        {"ftp://files.example/pub", "GET /pub HTTP/1.1\r\nHost: files.example\r\nAccept: */*\r\n\r\n",
         "GET ftp://files.example:21/pub HTTP/1.1\r\n"},
        {"HttpS://s.example/", "GET / HTTP/1.1\r\nHost: s.example\r\nAccept: */*\r\n\r\n",
         "GET HttpS://s.example:8080/ HTTP/1.1\r\n"},
        // A URL that ends at its host asks for the root.
        {"http://www.example", "GET / HTTP/1.1\r\nHost: www.example\r\nAccept: */*\r\n\r\n",
         "GET http://www.example/ HTTP/1.1\r\n"},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.url);
        record e{kvthttpe_nouveau()};
        ASSERT_NE(e, nullptr);
        // A record reused for a second request keeps nothing of the first.
        ASSERT_EQ(0, kvthttpe_requete_get(e.get(), "http://other.example:81/old"));
        ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "X-Old", "1"));
        ASSERT_EQ(0, kvthttpe_requete_get(e.get(), l.url));
        EXPECT_EQ(l.origine, texte(kvthttpe_texte(e.get(), 0)));
        std::string absolue = texte(kvthttpe_texte_requete(e.get(), 1));
        EXPECT_EQ(0u, absolue.find(l.absolue)) << absolue;
        EXPECT_EQ(l.origine, texte(kvthttpe_texte_requete(e.get(), 0)));
    }
    record e{kvthttpe_nouveau()};
    ASSERT_EQ(0, kvthttpe_requete_get(e.get(), "http://h:8081/p/q"));
    EXPECT_EQ("/p/q", texte(kvthttpe_texte_url(e.get(), 0)));
    EXPECT_EQ("http://h:8081/p/q", texte(kvthttpe_texte_url(e.get(), 1)));
    EXPECT_EQ("Host: h\r\nAccept: */*\r\n", texte(kvthttpe_texte_params(e.get())));
}

TEST(KvthttpeRender, ResponsesTakeTheReasonFromTheTable)
{
    record e{kvthttpe_nouveau()};
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(0, kvthttpe_reponse(e.get(), 200, "HTTP/1.1"));
    EXPECT_EQ(KVTHTTPE_REPONSE, e->type);
    EXPECT_STREQ("OK", e->raison);
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", texte(kvthttpe_texte(e.get(), 0)));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", texte(kvthttpe_texte(e.get(), 1)));
    EXPECT_EQ("", texte(kvthttpe_texte_params(e.get())));

    ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "B", "2"));
    ASSERT_EQ(0, kvthttpe_fixe_param(e.get(), "A", "1"));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nB: 2\r\nA: 1\r\n\r\n", texte(kvthttpe_texte_reponse(e.get())));
    // Making a response again starts from an empty header table.
    ASSERT_EQ(0, kvthttpe_reponse(e.get(), 299, "HTTP/1.0"));
    EXPECT_EQ("HTTP/1.0 299 Unknown\r\n\r\n", texte(kvthttpe_texte_reponse(e.get())));

    record r{kvthttpe_cree("HTTP/1.0 404 Nothing Here\r\nServer: t\r\n\r\n", KVTHTTPE_REPONSE)};
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ("Nothing Here", r->raison);
    EXPECT_EQ("HTTP/1.0 404 Not Found\r\nServer: t\r\n\r\n", texte(kvthttpe_texte(r.get(), 0)));
}

TEST(KvthttpeRender, ReasonTable)
{
    struct ligne {
        int code;
        const char *raison;
    } lignes[] = {
        {100, "Continue"}, {101, "Switching Protocols"}, {102, "Unknown"}, {199, "Unknown"},
        {200, "OK"}, {203, "Non-Authoritative Information"}, {206, "Partial Content"},
        {207, "Unknown"}, {299, "Unknown"}, {300, "Multiple Choices"}, {306, "(unused)"},
        {307, "Temporary Redirect"}, {308, "Unknown"}, {400, "Bad Request"},
        {407, "Proxy Authentication Required"}, {414, "Request-URI Too Long"},
        {416, "Requested Range Not Satisfiable"}, {417, "Expectation Failed"},
        {418, "Unknown"}, {500, "Internal Server Error"}, {503, "Service Unavailable"},
        {505, "HTTP Version Not Supported"}, {506, "Unknown"}, {0, "Unknown"}, {-1, "Unknown"},
        {-2147483647 - 1, "Unknown"}, {2147483647, "Unknown"},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.code);
        EXPECT_STREQ(l.raison, kvthttpe_raison(l.code));
    }
}

TEST(KvthttpeRender, MissingFieldsAndUnknownTypeRenderNothing)
{
    record e{kvthttpe_nouveau()};
    ASSERT_NE(e, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, kvthttpe_texte_requete(e.get(), 0));  // no method
    e->methode = strdup("GET");
    EXPECT_EQ(nullptr, kvthttpe_texte_requete(e.get(), 0));  // no path
    EXPECT_EQ(nullptr, kvthttpe_texte_requete(e.get(), 1));  // no host
    EXPECT_EQ(nullptr, kvthttpe_texte_url(e.get(), 0));
    EXPECT_EQ(nullptr, kvthttpe_texte_reponse(e.get()));  // no version
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("ERREUR: http/kvthttpe.cpp ligne ")) << err;

    ASSERT_EQ(0, kvthttpe_reponse(e.get(), 200, "HTTP/1.1"));
    e->type = 2;
    paire p;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, kvthttpe_texte(e.get(), 0));
    EXPECT_EQ(-1, kvthttpe_envoie(p.fd[0], e.get(), 0));
    EXPECT_EQ(-1, kvthttpe_analyse(e.get(), "GET / HTTP/1.1\r\n\r\n", 2));
    EXPECT_EQ(nullptr, kvthttpe_cree("GET / HTTP/1.1\r\n\r\n", -1));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("ERREUR: Type inconnu\nhttp/kvthttpe.cpp ligne ")) << err;
    EXPECT_EQ("", p.disponible());

    e->type = KVTHTTPE_REPONSE;
    EXPECT_EQ(19, kvthttpe_envoie(p.fd[0], e.get(), 0));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", p.disponible());
}

TEST(KvthttpeParse, Requests)
{
    const char *connect =
        "CONNECT www.example.com:443 HTTP/1.1\r\n"
        "User-Agent: Browser/1.0 (X11; Linux x86_64)\r\n"
        "Proxy-Connection: keep-alive\r\n"
        "Connection: keep-alive\r\n"
        "Host: www.example.com:443\r\n"
        "\r\n";
    record e{kvthttpe_cree(connect, KVTHTTPE_REQUETE)};
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(KVTHTTPE_REQUETE, e->type);
    EXPECT_STREQ("CONNECT", e->methode);
    EXPECT_STREQ("http", e->protocole);
    EXPECT_STREQ("www.example.com", e->hote);
    EXPECT_EQ(443, e->port);
    EXPECT_STREQ("", e->chemin);
    EXPECT_STREQ("HTTP/1.1", e->version);
    ASSERT_EQ(4, e->nb_params);
    EXPECT_STREQ("Browser/1.0 (X11; Linux x86_64)", kvthttpe_recup_param(e.get(), "User-Agent"));
    EXPECT_STREQ("www.example.com:443", kvthttpe_recup_param(e.get(), "Host"));
    EXPECT_STREQ("Host", e->param_noms[3]);

    struct ligne {
        const char *nom, *bloc;
        int resultat;
        std::string params;  // the header lines as rendered, in table order
    } lignes[] = {
        {"repeated names keep the first place and the last value",
         "GET http://h/ HTTP/1.1\r\nA: 1\r\nB: 2\r\nA: 3\r\n\r\n", 0, "A: 3\r\nB: 2\r\n"},
        {"a line without a value ends the list",
         "GET http://h/ HTTP/1.1\r\nA: 1\r\nEmpty:\r\nB: 2\r\n\r\n", 0, "A: 1\r\n"},
        {"a line without a value at the very end", "GET http://h/ HTTP/1.1\r\nA: 1\r\nB:", 0,
         "A: 1\r\n"},
        {"no headers", "CONNECT h:443 HTTP/1.1\r\n\r\n", 0, ""},
        {"no blank after the colon", "CONNECT h:443 HTTP/1.1\r\nA:1\r\n\r\n", 0, "A: 1\r\n"},
        {"origin form", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n", 0, "Host: h\r\n"},
        {"no URL", "GET", -2, ""},
        {"bad port", "CONNECT h:0 HTTP/1.1\r\n\r\n", -1, ""},
        {"port out of range", "CONNECT h:70000 HTTP/1.1\r\n\r\n", -1, ""},
        {"no version", "CONNECT h:443 \r\n", -1, ""},
        {"empty", "", -1, ""},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.nom);
        record r{kvthttpe_nouveau()};
        ASSERT_NE(r, nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(l.resultat, kvthttpe_analyse(r.get(), l.bloc, KVTHTTPE_REQUETE));
        std::string err = testing::internal::GetCapturedStderr();
        if (l.resultat == 0) {
            EXPECT_EQ("", err);
            EXPECT_EQ(l.params, texte(kvthttpe_texte_params(r.get())));
        } else {
            EXPECT_NE("", err);
        }
    }
}

TEST(KvthttpeParse, ThirtyOneDistinctNamesDoNotParse)
{
    std::string bloc = "CONNECT h:443 HTTP/1.1\r\n";
    for (int i = 0; i < 30; ++i) bloc += nom_numero(i) + ": v\r\n";
    std::string avec31 = bloc + "X-Trente-Et-Un: v\r\n\r\n";
    bloc += nom_numero(0) + ": w\r\n\r\n";  // a 31st line with a known name is fine

    record e{kvthttpe_cree(bloc.c_str(), KVTHTTPE_REQUETE)};
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(30, e->nb_params);
    EXPECT_STREQ("w", kvthttpe_recup_param(e.get(), "X-Nom-0"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, kvthttpe_cree(avec31.c_str(), KVTHTTPE_REQUETE));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(TROP_PARAMS)) << err;

    paire p;
    ASSERT_EQ(static_cast<ssize_t>(avec31.size()),
              ::send(p.fd[1], avec31.data(), avec31.size(), 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, kvthttpe_recoit(p.fd[0], KVTHTTPE_REQUETE));
    testing::internal::GetCapturedStderr();
}

TEST(KvthttpeParse, Responses)
{
    struct ligne {
        const char *bloc;
        int resultat;
        int code;
        const char *raison;
        std::string params;
    } lignes[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\n", 0, 200, "OK",
         "Content-Type: text/html\r\nContent-Length: 5\r\n"},
        {"HTTP/1.1 404 Not Found\r\n\r\n", 0, 404, "Not Found", ""},
        {"HTTP/1.1 abc Strange Thing\r\nA: 1\r\n\r\n", 0, 0, "Strange Thing", "A: 1\r\n"},
        {"HTTP/1.1", -2, 0, nullptr, ""},
        {"HTTP/1.1 200", -3, 200, nullptr, ""},
        {"", -1, 0, nullptr, ""},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.bloc);
        record r{kvthttpe_nouveau()};
        ASSERT_NE(r, nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(l.resultat, kvthttpe_analyse_reponse(r.get(), l.bloc));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(KVTHTTPE_REPONSE, r->type);
        EXPECT_EQ(l.code, r->code);
        if (l.resultat == 0) {
            EXPECT_EQ("", err);
            EXPECT_STREQ("HTTP/1.1", r->version);
            EXPECT_STREQ(l.raison, r->raison);
            EXPECT_EQ(l.params, texte(kvthttpe_texte_params(r.get())));
        } else {
            EXPECT_NE("", err);
        }
    }
}

TEST(KvthttpeParse, ReceivesOneHeadBlockFromASocket)
{
    paire p;
    const std::string envoi =
        "CONNECT h.example:443 HTTP/1.1\r\nHost: h.example:443\r\n\r\nTLS bytes";
    ASSERT_EQ(static_cast<ssize_t>(envoi.size()), ::send(p.fd[1], envoi.data(), envoi.size(), 0));
    record e{kvthttpe_recoit(p.fd[0], KVTHTTPE_REQUETE)};
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ("CONNECT", e->methode);
    EXPECT_STREQ("h.example", e->hote);
    EXPECT_EQ(443, e->port);
    EXPECT_STREQ("h.example:443", kvthttpe_recup_param(e.get(), "Host"));
    // What follows the head stays in the socket for the relay.
    char reste[16] = {};
    EXPECT_EQ(9, ::recv(p.fd[0], reste, sizeof reste, MSG_DONTWAIT));
    EXPECT_STREQ("TLS bytes", reste);

    // A peer that closes before the blank line gives no record.
    ASSERT_EQ(5, ::send(p.fd[1], "GET /", 5, 0));
    ::shutdown(p.fd[1], SHUT_WR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, kvthttpe_recoit(p.fd[0], KVTHTTPE_REQUETE));
    testing::internal::GetCapturedStderr();
}
