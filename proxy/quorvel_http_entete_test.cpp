// The proxy's head and chunk readers: what they accept, what they refuse,
// and that a refusal leaves nothing behind.
#include "quorvel_http_entete.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int requete(const std::string &texte, quorvel_http_tete *t)
{
    return quorvel_http_analyse_requete(texte.data(), texte.size(), t);
}

TEST(QuorvelHttpEntete, RequestPartsPointIntoTheTextAndRepeatsStay)
{
    const std::string texte =
        "\r\nGET http://a.test/x?q=1 HTTP/1.1\r\nHost: a.test\r\nX-A:  un \r\nx-a: deux\r\nEmpty:\r\n\r\n";
    quorvel_http_tete t;
    ASSERT_EQ(0, requete(texte, &t));
    EXPECT_EQ("GET", t.methode);
    EXPECT_EQ("http://a.test/x?q=1", t.cible);
    EXPECT_EQ(1, t.mineure);
    ASSERT_EQ(4, t.nb_champs);
    EXPECT_EQ("X-A", t.champs[1].nom);
    EXPECT_EQ("un", t.champs[1].valeur);
    EXPECT_EQ("x-a", t.champs[2].nom);
    EXPECT_EQ("deux", t.champs[2].valeur);
    EXPECT_EQ("", t.champs[3].valeur);
    EXPECT_GE(t.champs[0].nom.data(), texte.data());
    EXPECT_LT(t.champs[0].nom.data(), texte.data() + texte.size());
    // Bare LF line ends read the same.
    ASSERT_EQ(0, requete("HEAD http://a/ HTTP/1.0\nA: b\n\n", &t));
    EXPECT_EQ(0, t.mineure);
    EXPECT_EQ(1, t.nb_champs);
}

TEST(QuorvelHttpEntete, MalformedRequestsAreRefusedAndLeaveNothing)
{
    struct cas {
        std::string texte;
        int attendu;
        const char *pourquoi;
    };
    const std::string cible_max(QUORVEL_HTTP_CIBLE_MAX, 'a');
    std::string champs_max = "GET / HTTP/1.1\r\n", champs_trop = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < QUORVEL_HTTP_CHAMPS_MAX; ++i) champs_max += "A: b\r\n";
    champs_trop = champs_max + "A: b\r\n\r\n";
    champs_max += "\r\n";
    const std::vector<cas> table = {
        {"GET " + cible_max + " HTTP/1.1\r\n\r\n", 0, "target at the limit"},
        {"GET " + cible_max + "b HTTP/1.1\r\n\r\n", QUORVEL_HTTP_CIBLE_LONGUE, "target over the limit"},
        {"GET " + cible_max + "b HTTP/1.1\r\nA\x01: b\r\n\r\n", QUORVEL_HTTP_CIBLE_LONGUE, "length told first"},
        {champs_max, 0, "100 fields"},
        {champs_trop, QUORVEL_HTTP_TROP_DE_CHAMPS, "101 fields"},
        {"GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", QUORVEL_HTTP_MALFORME, "folded line"},
        {"GET / HTTP/1.1\r\nA: b\rc\r\n\r\n", QUORVEL_HTTP_MALFORME, "bare CR in a value"},
        {std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 23), QUORVEL_HTTP_MALFORME, "NUL in a value"},
        {"GET / HTTP/1.1\r\nA : b\r\n\r\n", QUORVEL_HTTP_MALFORME, "blank before the colon"},
        {"GET / HTTP/1.1\r\n: b\r\n\r\n", QUORVEL_HTTP_MALFORME, "no name"},
        {"GET / HTTP/1.1\r\nA b\r\n\r\n", QUORVEL_HTTP_MALFORME, "no colon"},
        {"GET / HTTP/2.0\r\n\r\n", QUORVEL_HTTP_MALFORME, "version 2"},
        {"GET / HTTP/1.1 \r\n\r\n", QUORVEL_HTTP_MALFORME, "blank after the version"},
        {"GET  / HTTP/1.1\r\n\r\n", QUORVEL_HTTP_MALFORME, "two blanks"},
        {"GET /\r\n\r\n", QUORVEL_HTTP_MALFORME, "no version"},
        {"G(T / HTTP/1.1\r\n\r\n", QUORVEL_HTTP_MALFORME, "method not a token"},
        {"GET / HTTP/1.1\r\nA: b\r\n", QUORVEL_HTTP_MALFORME, "no empty line"},
        {"GET / HTTP/1.1\r\n\r\nX", QUORVEL_HTTP_MALFORME, "bytes after the head"},
    };
    for (const cas &c : table) {
        SCOPED_TRACE(c.pourquoi);
        quorvel_http_tete t;
        EXPECT_EQ(c.attendu, requete(c.texte, &t));
        if (c.attendu < 0) {
            EXPECT_EQ(0, t.nb_champs);
            EXPECT_TRUE(t.methode.empty());
        }
    }
}

TEST(QuorvelHttpEntete, ResponseStatusLines)
{
    struct cas {
        const char *texte;
        int attendu, code;
        const char *raison;
    };
    const cas table[] = {
        {"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", 0, 200, "OK"},
        {"HTTP/1.0 404 Not Found\r\n\r\n", 0, 404, "Not Found"},
        {"HTTP/1.1 204\r\n\r\n", 0, 204, ""},
        {"HTTP/1.1 204 \r\n\r\n", 0, 204, ""},
        {"HTTP/1.1 99 X\r\n\r\n", QUORVEL_HTTP_MALFORME, 0, ""},
        {"HTTP/1.1 2000 X\r\n\r\n", QUORVEL_HTTP_MALFORME, 0, ""},
        {"HTTP/1.1 20a X\r\n\r\n", QUORVEL_HTTP_MALFORME, 0, ""},
        {"ICY 200 OK\r\n\r\n", QUORVEL_HTTP_MALFORME, 0, ""},
        {"HTTP/1.1 200 OK\r\nA\r\n\r\n", QUORVEL_HTTP_MALFORME, 0, ""},
    };
    for (const cas &c : table) {
        SCOPED_TRACE(c.texte);
        quorvel_http_tete t;
        EXPECT_EQ(c.attendu, quorvel_http_analyse_reponse(c.texte, std::strlen(c.texte), &t));
        EXPECT_EQ(c.code, t.code);
        EXPECT_EQ(c.raison, t.raison);
    }
}

TEST(QuorvelHttpEntete, ListsAndNamesIgnoreCase)
{
    EXPECT_TRUE(quorvel_http_egal("Content-Length", "content-length"));
    EXPECT_FALSE(quorvel_http_egal("Content-Length", "Content-Lengt"));
    EXPECT_TRUE(quorvel_http_liste_contient("keep-alive, Upgrade", "upgrade"));
    EXPECT_TRUE(quorvel_http_liste_contient(" close ", "close"));
    EXPECT_FALSE(quorvel_http_liste_contient("closed", "close"));
    EXPECT_FALSE(quorvel_http_liste_contient("", "close"));
}

// Feeds `texte` in pieces of `pas` bytes as a relay would, holding back
// what the reader did not take. The bytes taken, or -1.
long morceaux(const std::string &texte, size_t pas, bool *fini)
{
    quorvel_http_morceaux m{};
    std::string tenu;
    long pris = 0;
    *fini = false;
    for (size_t i = 0; i < texte.size() && !*fini; i += pas) {
        tenu += texte.substr(i, pas);
        for (;;) {
            const long a = quorvel_http_morceaux_avance(&m, tenu.data(), tenu.size(), fini);
            if (a < 0) return -1;
            pris += a;
            tenu.erase(0, static_cast<size_t>(a));
            if (a == 0 || tenu.empty() || *fini) break;
        }
    }
    return pris;
}

TEST(QuorvelHttpEntete, ChunkedBodiesWhateverTheCuts)
{
    const std::string corps = "4\r\nWiki\r\n5;ext=1\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nX-T: v\r\n\r\n";
    for (size_t pas : {1u, 2u, 3u, 7u, 1000u}) {
        SCOPED_TRACE(pas);
        bool fini = false;
        EXPECT_EQ(static_cast<long>(corps.size()), morceaux(corps + "GET / HTTP/1.1\r\n", pas, &fini));
        EXPECT_TRUE(fini);
    }
    struct cas {
        std::string texte;
        const char *pourquoi;
    };
    const cas mauvais[] = {
        {"g\r\nx\r\n0\r\n\r\n", "size not hex"},
        {"\r\n", "empty size"},
        {"4\nWiki\r\n0\r\n\r\n", "bare LF after the size"},
        {"4\r\nWikiX\r\n0\r\n\r\n", "data longer than its size"},
        {"10000000000000000\r\n", "size over 60 bits"},
        {"4 x\r\nWiki\r\n", "junk after the size"},
        {"0\r\nA b\r\n\r\n", "trailer without colon"},
        {std::string(5000, '1') + "\r\n", "size line too long"},
    };
    for (const cas &c : mauvais) {
        SCOPED_TRACE(c.pourquoi);
        bool fini = false;
        EXPECT_EQ(-1, morceaux(c.texte, 1, &fini));
        EXPECT_EQ(-1, morceaux(c.texte, 100000, &fini));
    }
}

TEST(QuorvelHttpEntete, ABadSizeLineIsNeverCountedAsChecked)
{
    // The good chunk is taken; the size line after it is held, then refused.
    quorvel_http_morceaux m{};
    bool fini = false;
    const std::string debut = "3\r\nabc\r\n1";
    EXPECT_EQ(8, quorvel_http_morceaux_avance(&m, debut.data(), debut.size(), &fini));
    const std::string suite = "1z\r\n";
    EXPECT_EQ(-1, quorvel_http_morceaux_avance(&m, suite.data(), suite.size(), &fini));
    EXPECT_FALSE(fini);
    // In one piece: the good chunk is given first, the fault on the next call.
    quorvel_http_morceaux m2{};
    const std::string tout = "3\r\nabc\r\nzz\r\n";
    EXPECT_EQ(8, quorvel_http_morceaux_avance(&m2, tout.data(), tout.size(), &fini));
    EXPECT_EQ(-1, quorvel_http_morceaux_avance(&m2, tout.data() + 8, tout.size() - 8, &fini));
}

}  // namespace
