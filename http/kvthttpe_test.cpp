#include "kvthttpe.h"

#include <gtest/gtest.h>

#include "paire_test.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
        {418, "Unknown"}, {430, "Unknown"}, {431, "Request Header Fields Too Large"}, {432, "Unknown"}, {500, "Internal Server Error"}, {503, "Service Unavailable"},
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

namespace {

// A text with CR, LF and bytes outside printable ASCII written as escapes,
// and a run of more than 8 equal bytes as the byte and its count ("p{300}"),
// so that expected renderings read as one short line each.
std::string visible(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t fin = s.find_first_not_of(s[i], i);
        if (fin == std::string::npos) fin = s.size();
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::string un;
        if (c == '\r')
            un = "\\r";
        else if (c == '\n')
            un = "\\n";
        else if (c == '\\' || c == '{')
            un = std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            un = hex;
        } else
            un = std::string(1, static_cast<char>(c));
        if (fin - i > 8) {
            out += un + "{" + std::to_string(fin - i) + "}";
        } else {
            for (size_t k = i; k < fin; ++k) out += un;
        }
        i = fin;
    }
    return out;
}

// The traces written to stderr, shortened: "T" for each plain trace of this
// source, "T:" and the message for the message form. Line numbers are left
// out (they move with the source); the form and the count of traces stay.
std::string traces(const std::string &err)
{
    const std::string lieu = "http/kvthttpe.cpp ligne ";
    std::string out;
    size_t i = 0;
    while (i < err.size()) {
        if (err.compare(i, 8, "ERREUR: ") != 0) return out + "?" + visible(err.substr(i));
        i += 8;
        size_t fin = err.find('\n', i);
        if (fin == std::string::npos) return out + "?" + visible(err.substr(i));
        std::string message;
        if (err.compare(i, lieu.size(), lieu) != 0) {
            message = err.substr(i, fin - i);
            i = fin + 1;
            fin = err.find('\n', i);
            if (fin == std::string::npos || err.compare(i, lieu.size(), lieu) != 0)
                return out + "?" + visible(err.substr(i));
        }
        size_t chiffres = i + lieu.size();
        if (chiffres == fin || err.find_first_not_of("0123456789", chiffres) != fin)
            return out + "?" + visible(err.substr(i));
        if (!out.empty()) out += " ";
        out += message.empty() ? "T" : "T:" + visible(message);
        i = fin + 1;
    }
    return out;
}

// One rendering: its text (or <null>) and the traces it wrote.
struct rendu {
    std::string texte, traces;
};

template <typename F>
rendu rend(F &&rendre)
{
    testing::internal::CaptureStderr();
    std::string t = texte(rendre());
    return {t, traces(testing::internal::GetCapturedStderr())};
}

// Every renderer applied to `e` (null allowed), one line each; a result equal
// to an earlier one names it instead of repeating it ("texte0 =requete0": same
// text, same traces). The sender's line gives its result and, when it differs
// from the rendering, the bytes that reached the socket.
std::string tous_les_rendus(const kvthttpe *e)
{
    std::vector<std::pair<std::string, rendu>> vus;
    std::string s;
    auto note = [&](const std::string &nom, const rendu &r) {
        auto pareil = std::find_if(vus.begin(), vus.end(), [&](const auto &v) {
            return v.second.texte == r.texte && v.second.traces == r.traces;
        });
        if (pareil != vus.end()) {
            s += nom + " =" + pareil->first + "\n";
        } else {
            s += nom + "=" + visible(r.texte);
            if (!r.traces.empty()) s += " [" + r.traces + "]";
            s += "\n";
        }
        vus.push_back({nom, r});
    };
    note("requete0", rend([&] { return kvthttpe_texte_requete(e, 0); }));
    note("requete1", rend([&] { return kvthttpe_texte_requete(e, 1); }));
    note("reponse", rend([&] { return kvthttpe_texte_reponse(e); }));
    note("url0", rend([&] { return kvthttpe_texte_url(e, 0); }));
    note("url1", rend([&] { return kvthttpe_texte_url(e, 1); }));
    note("params", rend([&] { return kvthttpe_texte_params(e); }));
    for (int absolu : {0, 1}) {
        std::string nom = "texte" + std::to_string(absolu);
        rendu r = rend([&] { return kvthttpe_texte(e, absolu); });
        note(nom, r);
        paire p;
        testing::internal::CaptureStderr();
        int n = kvthttpe_envoie(p.fd[0], e, absolu);
        std::string err = traces(testing::internal::GetCapturedStderr());
        std::string recu = p.disponible();
        s += "envoie" + std::to_string(absolu) + "=" + std::to_string(n);
        if (r.texte == "<null>" ? !recu.empty() : recu != r.texte) s += " " + visible(recu);
        if (!err.empty()) s += " [" + err + "]";
        s += "\n";
    }
    return s;
}

char *duplique(const std::string &s)
{
    return strdup(s.c_str());
}

}  // namespace

// Request and response heads, URLs and header lines of a set of records, byte
// for byte, with the traces of every refusal: the renderers share their code,
// and a change for one kind of head must not show in another.
TEST(KvthttpeRender, EveryRendererOnASetOfRecordsByteForByte)
{
    const std::string long_chemin = "/" + std::string(300, 'p');
    const std::string longue_valeur(400, 'v');
    struct cas {
        const char *nom;
        std::function<void(kvthttpe *)> prepare;
        const char *attendu;
    } lignes[] = {
        {"no record", nullptr,
         "requete0=<null> [T]\nrequete1 =requete0\nreponse =requete0\n"
         "url0=<null> [T:Parametre null]\nurl1 =url0\nparams =url0\ntexte0 =url0\n"
         "envoie0=-1 [T:Parametre null T]\ntexte1 =url0\nenvoie1=-1 [T:Parametre null T]\n"},
        {"new record", [](kvthttpe *) {},
         "requete0=<null> [T]\nrequete1 =requete0\nreponse =requete0\nurl0 =requete0\n"
         "url1 =requete0\nparams=\ntexte0 =requete0\nenvoie0=-1 [T T]\ntexte1 =requete0\n"
         "envoie1=-1 [T T]\n"},
        {"GET by URL with two more headers",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://www.example/index.html");
             kvthttpe_fixe_param(e, "X-A", "1");
             kvthttpe_fixe_param(e, "Cookie", "a=b; c=d");
         },
         "requete0=GET /index.html HTTP/1.1\\r\\nHost: www.example\\r\\nAccept: */*\\r\\nX-A: "
         "1\\r\\nCookie: a=b; c=d\\r\\n\\r\\n\n"
         "requete1=GET http://www.example/index.html HTTP/1.1\\r\\nHost: www.example\\r\\nAcce"
         "pt: */*\\r\\nX-A: 1\\r\\nCookie: a=b; c=d\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: www.example\\r\\nAccept: */*\\r\\nX-A: 1\\r\\n"
         "Cookie: a=b; c=d\\r\\n\\r\\n\nurl0=/index.html\nurl1=http://www.example/index.html\n"
         "params=Host: www.example\\r\\nAccept: */*\\r\\nX-A: 1\\r\\nCookie: a=b; c=d\\r\\n\n"
         "texte0 =requete0\nenvoie0=86\ntexte1 =requete1\nenvoie1=104\n"},
        {"FTP URL", [](kvthttpe *e) { kvthttpe_requete_get(e, "ftp://files.example/pub"); },
         "requete0=GET /pub HTTP/1.1\\r\\nHost: files.example\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=GET ftp://files.example:21/pub HTTP/1.1\\r\\nHost: files.example\\r\\nAccep"
         "t: */*\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: files.example\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "url0=/pub\nurl1=ftp://files.example:21/pub\n"
         "params=Host: files.example\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\nenvoie0=55\n"
         "texte1 =requete1\nenvoie1=77\n"},
        {"scheme in mixed case, port 443, query",
         [](kvthttpe *e) { kvthttpe_requete_get(e, "HttpS://S.Example:443/a/b?c=d"); },
         "requete0=GET /a/b?c=d HTTP/1.1\\r\\nHost: S.Example\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=GET HttpS://S.Example:443/a/b?c=d HTTP/1.1\\r\\nHost: S.Example\\r\\nAccept"
         ": */*\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: S.Example\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "url0=/a/b?c=d\nurl1=HttpS://S.Example:443/a/b?c=d\n"
         "params=Host: S.Example\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\nenvoie0=55\n"
         "texte1 =requete1\nenvoie1=76\n"},
        {"parsed CONNECT",
         [](kvthttpe *e) {
             kvthttpe_analyse(e,
                              "CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n"
                              "User-Agent: B/1.0 (X11)\r\n\r\n",
                              KVTHTTPE_REQUETE);
         },
         "requete0=CONNECT  HTTP/1.1\\r\\nHost: www.example.com:443\\r\\nUser-Agent: B/1.0 (X1"
         "1)\\r\\n\\r\\n\n"
         "requete1=CONNECT http://www.example.com:443 HTTP/1.1\\r\\nHost: www.example.com:443"
         "\\r\\nUser-Agent: B/1.0 (X11)\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: www.example.com:443\\r\\nUser-Agent: B/1.0 (X1"
         "1)\\r\\n\\r\\n\nurl0=\nurl1=http://www.example.com:443\n"
         "params=Host: www.example.com:443\\r\\nUser-Agent: B/1.0 (X11)\\r\\n\n"
         "texte0 =requete0\nenvoie0=73\ntexte1 =requete1\nenvoie1=99\n"},
        {"parsed origin form",
         [](kvthttpe *e) {
             kvthttpe_analyse(e, "GET /index.html HTTP/1.0\r\nHost: h\r\n\r\n", KVTHTTPE_REQUETE);
         },
         "requete0=GET  HTTP/1.0\\r\\nHost: h\\r\\n\\r\\n\n"
         "requete1=GET http://index.html HTTP/1.0\\r\\nHost: h\\r\\n\\r\\n\n"
         "reponse=HTTP/1.0 0 Unknown\\r\\nHost: h\\r\\n\\r\\n\nurl0=\nurl1=http://index.html\n"
         "params=Host: h\\r\\n\ntexte0 =requete0\nenvoie0=26\ntexte1 =requete1\nenvoie1=43\n"},
        {"tunnel answer", [](kvthttpe *e) { kvthttpe_reponse(e, 200, "HTTP/1.1"); },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse=HTTP/1.1 200 OK\\r\\n\\r\\n\n"
         "url0 =requete0\nurl1 =requete0\nparams=\ntexte0 =reponse\nenvoie0=19\n"
         "texte1 =reponse\nenvoie1=19\n"},
        {"response with headers over a request's fields",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h.example:8080/p");
             kvthttpe_reponse(e, 503, "HTTP/1.0");
             kvthttpe_fixe_param(e, "Server", "q");
             kvthttpe_fixe_param(e, "Connexion", "close");
         },
         "requete0=GET /p HTTP/1.0\\r\\nServer: q\\r\\nConnexion: close\\r\\n\\r\\n\n"
         "requete1=GET http://h.example:8080/p HTTP/1.0\\r\\nServer: q\\r\\nConnexion: close\\"
         "r\\n\\r\\n\n"
         "reponse=HTTP/1.0 503 Service Unavailable\\r\\nServer: q\\r\\nConnexion: close\\r\\n"
         "\\r\\n\nurl0=/p\nurl1=http://h.example:8080/p\n"
         "params=Server: q\\r\\nConnexion: close\\r\\n\ntexte0 =reponse\nenvoie0=65\n"
         "texte1 =reponse\nenvoie1=65\n"},
        {"parsed response with its own reason",
         [](kvthttpe *e) {
             kvthttpe_analyse(e, "HTTP/1.0 404 Nothing Here\r\nServer: t\r\n\r\n",
                              KVTHTTPE_REPONSE);
         },
         "requete0=<null> [T]\nrequete1 =requete0\n"
         "reponse=HTTP/1.0 404 Not Found\\r\\nServer: t\\r\\n\\r\\n\nurl0 =requete0\n"
         "url1 =requete0\nparams=Server: t\\r\\n\ntexte0 =reponse\nenvoie0=37\n"
         "texte1 =reponse\nenvoie1=37\n"},
        {"lowest code", [](kvthttpe *e) { kvthttpe_reponse(e, -2147483647 - 1, "HTTP/1.1"); },
         "requete0=<null> [T]\nrequete1 =requete0\n"
         "reponse=HTTP/1.1 -2147483648 Unknown\\r\\n\\r\\n\nurl0 =requete0\nurl1 =requete0\n"
         "params=\ntexte0 =reponse\nenvoie0=32\ntexte1 =reponse\nenvoie1=32\n"},
        {"highest code, empty version", [](kvthttpe *e) { kvthttpe_reponse(e, 2147483647, ""); },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse= 2147483647 Unknown\\r\\n\\r\\n\n"
         "url0 =requete0\nurl1 =requete0\nparams=\ntexte0 =reponse\nenvoie0=23\n"
         "texte1 =reponse\nenvoie1=23\n"},
        {"long path, long value, port 65535",
         [&](kvthttpe *e) {
             kvthttpe_requete_get(e, ("http://h:65535" + long_chemin).c_str());
             kvthttpe_fixe_param(e, "X-Long", longue_valeur.c_str());
         },
         "requete0=GET /p{300} HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\nX-Long: v{400}\\r\\"
         "n\\r\\n\n"
         "requete1=GET http://h:65535/p{300} HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\nX-Lon"
         "g: v{400}\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\nX-Long: v{400}\\r\\n\\"
         "r\\n\nurl0=/p{300}\nurl1=http://h:65535/p{300}\n"
         "params=Host: h\\r\\nAccept: */*\\r\\nX-Long: v{400}\\r\\n\ntexte0 =requete0\n"
         "envoie0=750\ntexte1 =requete1\nenvoie1=764\n"},
        {"thirty headers on a response",
         [](kvthttpe *e) {
             kvthttpe_reponse(e, 302, "HTTP/1.1");
             for (int i = 0; i < KVTHTTPE_MAX_PARAMS; ++i)
                 kvthttpe_fixe_param(e, nom_numero(i).c_str(), std::to_string(i * 7).c_str());
         },
         "requete0=<null> [T]\nrequete1 =requete0\n"
         "reponse=HTTP/1.1 302 Found\\r\\nX-Nom-0: 0\\r\\nX-Nom-1: 7\\r\\nX-Nom-2: 14\\r\\nX-N"
         "om-3: 21\\r\\nX-Nom-4: 28\\r\\nX-Nom-5: 35\\r\\nX-Nom-6: 42\\r\\nX-Nom-7: 49\\r\\nX-"
         "Nom-8: 56\\r\\nX-Nom-9: 63\\r\\nX-Nom-10: 70\\r\\nX-Nom-11: 77\\r\\nX-Nom-12: 84\\r"
         "\\nX-Nom-13: 91\\r\\nX-Nom-14: 98\\r\\nX-Nom-15: 105\\r\\nX-Nom-16: 112\\r\\nX-Nom-1"
         "7: 119\\r\\nX-Nom-18: 126\\r\\nX-Nom-19: 133\\r\\nX-Nom-20: 140\\r\\nX-Nom-21: 147\\"
         "r\\nX-Nom-22: 154\\r\\nX-Nom-23: 161\\r\\nX-Nom-24: 168\\r\\nX-Nom-25: 175\\r\\nX-No"
         "m-26: 182\\r\\nX-Nom-27: 189\\r\\nX-Nom-28: 196\\r\\nX-Nom-29: 203\\r\\n\\r\\n\n"
         "url0 =requete0\nurl1 =requete0\n"
         "params=X-Nom-0: 0\\r\\nX-Nom-1: 7\\r\\nX-Nom-2: 14\\r\\nX-Nom-3: 21\\r\\nX-Nom-4: 28"
         "\\r\\nX-Nom-5: 35\\r\\nX-Nom-6: 42\\r\\nX-Nom-7: 49\\r\\nX-Nom-8: 56\\r\\nX-Nom-9: 6"
         "3\\r\\nX-Nom-10: 70\\r\\nX-Nom-11: 77\\r\\nX-Nom-12: 84\\r\\nX-Nom-13: 91\\r\\nX-Nom"
         "-14: 98\\r\\nX-Nom-15: 105\\r\\nX-Nom-16: 112\\r\\nX-Nom-17: 119\\r\\nX-Nom-18: 126"
         "\\r\\nX-Nom-19: 133\\r\\nX-Nom-20: 140\\r\\nX-Nom-21: 147\\r\\nX-Nom-22: 154\\r\\nX-"
         "Nom-23: 161\\r\\nX-Nom-24: 168\\r\\nX-Nom-25: 175\\r\\nX-Nom-26: 182\\r\\nX-Nom-27: "
         "189\\r\\nX-Nom-28: 196\\r\\nX-Nom-29: 203\\r\\n\ntexte0 =reponse\nenvoie0=445\n"
         "texte1 =reponse\nenvoie1=445\n"},
        {"type 2",
         [](kvthttpe *e) {
             kvthttpe_reponse(e, 200, "HTTP/1.1");
             e->type = 2;
         },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse=HTTP/1.1 200 OK\\r\\n\\r\\n\n"
         "url0 =requete0\nurl1 =requete0\nparams=\ntexte0=<null> [T:Type inconnu]\n"
         "envoie0=-1 [T:Type inconnu T]\ntexte1 =texte0\nenvoie1=-1 [T:Type inconnu T]\n"},
        {"request without version",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             std::free(e->version);
             e->version = nullptr;
         },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse =requete0\nurl0=/x\n"
         "url1=http://h/x\nparams=Host: h\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\n"
         "envoie0=-1 [T T]\ntexte1 =requete0\nenvoie1=-1 [T T]\n"},
        {"request without host",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             std::free(e->hote);
             e->hote = nullptr;
         },
         "requete0=GET /x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=<null> [T]\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\nurl0=/x\n"
         "url1 =requete1\nparams=Host: h\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\n"
         "envoie0=41\ntexte1 =requete1\nenvoie1=-1 [T T]\n"},
        {"request without scheme",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             std::free(e->protocole);
             e->protocole = nullptr;
         },
         "requete0=GET /x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=<null> [T]\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\nurl0=/x\n"
         "url1 =requete1\nparams=Host: h\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\n"
         "envoie0=41\ntexte1 =requete1\nenvoie1=-1 [T T]\n"},
        {"request without path",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             std::free(e->chemin);
             e->chemin = nullptr;
         },
         "requete0=<null> [T]\nrequete1 =requete0\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "url0 =requete0\nurl1 =requete0\nparams=Host: h\\r\\nAccept: */*\\r\\n\n"
         "texte0 =requete0\nenvoie0=-1 [T T]\ntexte1 =requete0\nenvoie1=-1 [T T]\n"},
        {"port 0",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             e->port = 0;
         },
         "requete0=GET /x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=GET http://h:0/x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\nurl0=/x\n"
         "url1=http://h:0/x\nparams=Host: h\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\n"
         "envoie0=41\ntexte1 =requete1\nenvoie1=51\n"},
        {"negative port",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             e->port = -1;
         },
         "requete0=GET /x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "requete1=GET http://h:-1/x HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n\\r\\n\nurl0=/x\n"
         "url1=http://h:-1/x\nparams=Host: h\\r\\nAccept: */*\\r\\n\ntexte0 =requete0\n"
         "envoie0=41\ntexte1 =requete1\nenvoie1=52\n"},
        {"header without value",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             std::free(e->param_valeurs[1]);
             e->param_valeurs[1] = nullptr;
         },
         "requete0=<null> [T:Parametre null]\nrequete1 =requete0\nreponse =requete0\nurl0=/x\n"
         "url1=http://h/x\nparams =requete0\ntexte0 =requete0\n"
         "envoie0=-1 [T:Parametre null T]\ntexte1 =requete0\nenvoie1=-1 [T:Parametre null T]\n"},
        {"response header without name",
         [](kvthttpe *e) {
             kvthttpe_reponse(e, 200, "HTTP/1.1");
             kvthttpe_fixe_param(e, "A", "1");
             std::free(e->param_noms[0]);
             e->param_noms[0] = nullptr;
         },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse=<null> [T:Parametre null]\n"
         "url0 =requete0\nurl1 =requete0\nparams =reponse\ntexte0 =reponse\n"
         "envoie0=-1 [T:Parametre null T]\ntexte1 =reponse\nenvoie1=-1 [T:Parametre null T]\n"},
        {"count above the table",
         [](kvthttpe *e) {
             kvthttpe_reponse(e, 200, "HTTP/1.1");
             e->nb_params = KVTHTTPE_MAX_PARAMS + 1;
         },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse =requete0\nurl0 =requete0\n"
         "url1 =requete0\nparams =requete0\ntexte0 =requete0\nenvoie0=-1 [T T]\n"
         "texte1 =requete0\nenvoie1=-1 [T T]\n"},
        {"negative count",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/x");
             e->nb_params = -1;
         },
         "requete0=<null> [T]\nrequete1 =requete0\nreponse =requete0\nurl0=/x\n"
         "url1=http://h/x\nparams =requete0\ntexte0 =requete0\nenvoie0=-1 [T T]\n"
         "texte1 =requete0\nenvoie1=-1 [T T]\n"},
        {"empty texts everywhere",
         [](kvthttpe *e) {
             e->methode = duplique("");
             e->protocole = duplique("");
             e->hote = duplique("");
             e->chemin = duplique("");
             e->version = duplique("");
             e->port = 80;
             kvthttpe_fixe_param(e, "", "");
         },
         "requete0=  \\r\\n: \\r\\n\\r\\n\nrequete1= :// \\r\\n: \\r\\n\\r\\n\n"
         "reponse= 0 Unknown\\r\\n: \\r\\n\\r\\n\nurl0=\nurl1=://\nparams=: \\r\\n\n"
         "texte0 =requete0\nenvoie0=10\ntexte1 =requete1\nenvoie1=13\n"},
        {"Latin-1 name, blanks and tab in a value",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "h.example:81");
             kvthttpe_fixe_param(e, "X-\xc9t\xe9", " a\tb ");
         },
         "requete0=GET / HTTP/1.1\\r\\nHost: h.example\\r\\nAccept: */*\\r\\nX-\\xc9t\\xe9:  a"
         "\\x09b \\r\\n\\r\\n\n"
         "requete1=GET http://h.example:81/ HTTP/1.1\\r\\nHost: h.example\\r\\nAccept: */*\\r"
         "\\nX-\\xc9t\\xe9:  a\\x09b \\r\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h.example\\r\\nAccept: */*\\r\\nX-\\xc9t\\xe9:"
         "  a\\x09b \\r\\n\\r\\n\nurl0=/\nurl1=http://h.example:81/\n"
         "params=Host: h.example\\r\\nAccept: */*\\r\\nX-\\xc9t\\xe9:  a\\x09b \\r\\n\n"
         "texte0 =requete0\nenvoie0=62\ntexte1 =requete1\nenvoie1=81\n"},
        {"percent signs are text",
         [](kvthttpe *e) {
             kvthttpe_requete_get(e, "http://h/%s%d%n");
             kvthttpe_fixe_param(e, "%s", "%n%%");
             e->methode[0] = '%';
         },
         "requete0=%ET /%s%d%n HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n%s: %n%%\\r\\n\\r\\"
         "n\n"
         "requete1=%ET http://h/%s%d%n HTTP/1.1\\r\\nHost: h\\r\\nAccept: */*\\r\\n%s: %n%%\\r"
         "\\n\\r\\n\n"
         "reponse=HTTP/1.1 0 Unknown\\r\\nHost: h\\r\\nAccept: */*\\r\\n%s: %n%%\\r\\n\\r\\n\n"
         "url0=/%s%d%n\nurl1=http://h/%s%d%n\n"
         "params=Host: h\\r\\nAccept: */*\\r\\n%s: %n%%\\r\\n\ntexte0 =requete0\nenvoie0=56\n"
         "texte1 =requete1\nenvoie1=64\n"},
    };
    for (const cas &c : lignes) {
        SCOPED_TRACE(c.nom);
        std::string obtenu;
        if (c.prepare) {
            record e{kvthttpe_nouveau()};
            ASSERT_NE(e, nullptr);
            c.prepare(e.get());
            obtenu = tous_les_rendus(e.get());
        } else {
            obtenu = tous_les_rendus(nullptr);
        }
        EXPECT_EQ(c.attendu, obtenu);
    }
}
