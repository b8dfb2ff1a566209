/* quorvel_http_entete: head and chunked-body readers of the HTTP proxy (see
 * the header). Plain loops over the caller's bytes; no allocation. */
#include "quorvel_http_entete.h"

#include <cstring>

namespace {

// RFC 9110 token characters: what a method and a field name are made of.
bool est_jeton(unsigned char c) noexcept
{
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A byte that may stand in a field value or a reason: visible, blank, tab
// or beyond ASCII. Every other control (NUL and CR above all) may not.
bool est_valeur(unsigned char c) noexcept
{
    return c == '\t' || (c >= 0x20 && c != 0x7f);
}

// One line of p[debut..n): its end (excluding CR LF or LF) in *fin and the
// start of the next line in *suite. False when no LF comes, or when a CR
// stands anywhere but just before the LF.
bool ligne(const char *p, size_t n, size_t debut, size_t *fin, size_t *suite) noexcept
{
    const void *lf = std::memchr(p + debut, '\n', n - debut);
    if (lf == nullptr) return false;
    size_t f = static_cast<size_t>(static_cast<const char *>(lf) - p);
    *suite = f + 1;
    if (f > debut && p[f - 1] == '\r') --f;
    if (std::memchr(p + debut, '\r', f - debut) != nullptr) return false;
    *fin = f;
    return true;
}

// "HTTP/1.0" or "HTTP/1.1": the minor version, or -1.
int version(std::string_view v) noexcept
{
    if (v.size() != 8 || v.substr(0, 7) != "HTTP/1.") return -1;
    if (v[7] == '0') return 0;
    if (v[7] == '1') return 1;
    return -1;
}

void remet(quorvel_http_tete *t) noexcept
{
    t->methode = t->cible = t->version = t->raison = {};
    t->code = 0;
    t->mineure = -1;
    t->nb_champs = 0;
}

// Field lines from `i` up to the empty line that must end p[0..n).
int champs(const char *p, size_t n, size_t i, quorvel_http_tete *t) noexcept
{
    for (;;) {
        size_t fin, suite;
        if (i >= n || !ligne(p, n, i, &fin, &suite)) return QUORVEL_HTTP_MALFORME;
        if (fin == i) return suite == n ? 0 : QUORVEL_HTTP_MALFORME;  // the empty line ends the head
        // A line that starts with a blank continues the one before (obsolete
        // folding): readers disagree on it, so it is refused.
        size_t j = i;
        while (j < fin && est_jeton(static_cast<unsigned char>(p[j]))) ++j;
        if (j == i || j == fin || p[j] != ':') return QUORVEL_HTTP_MALFORME;
        if (t->nb_champs == QUORVEL_HTTP_CHAMPS_MAX) return QUORVEL_HTTP_TROP_DE_CHAMPS;
        size_t v = j + 1, w = fin;
        for (size_t k = v; k < w; ++k)
            if (!est_valeur(static_cast<unsigned char>(p[k]))) return QUORVEL_HTTP_MALFORME;
        while (v < w && (p[v] == ' ' || p[v] == '\t')) ++v;
        while (w > v && (p[w - 1] == ' ' || p[w - 1] == '\t')) --w;
        t->champs[t->nb_champs++] = {std::string_view(p + i, j - i), std::string_view(p + v, w - v)};
        i = suite;
    }
}

// Empty lines that may come before a request (after a body, some clients
// send one more CR LF).
size_t saute_vides(const char *p, size_t n) noexcept
{
    size_t i = 0;
    for (;;) {
        if (i < n && p[i] == '\n') ++i;
        else if (i + 1 < n && p[i] == '\r' && p[i + 1] == '\n') i += 2;
        else return i;
    }
}

}  // namespace

bool quorvel_http_egal(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x |= 0x20;
        if (y >= 'A' && y <= 'Z') y |= 0x20;
        if (x != y) return false;
    }
    return true;
}

bool quorvel_http_liste_contient(std::string_view liste, std::string_view jeton) noexcept
{
    while (!liste.empty()) {
        size_t virgule = liste.find(',');
        std::string_view item = liste.substr(0, virgule);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (quorvel_http_egal(item, jeton)) return true;
        if (virgule == std::string_view::npos) break;
        liste.remove_prefix(virgule + 1);
    }
    return false;
}

int quorvel_http_analyse_requete(const char *p, size_t n, quorvel_http_tete *t)
{
    remet(t);
    size_t i = saute_vides(p, n), fin, suite;
    // A target longer than the limit is told apart before anything else of
    // its line: it has its own page.
    const size_t sp1 = std::string_view(p + i, n - i).find(' ');
    if (sp1 != std::string_view::npos) {
        const size_t sp2 = std::string_view(p + i + sp1 + 1, n - i - sp1 - 1).find_first_of(" \r\n");
        if (sp2 != std::string_view::npos && sp2 > QUORVEL_HTTP_CIBLE_MAX) return QUORVEL_HTTP_CIBLE_LONGUE;
    }
    if (!ligne(p, n, i, &fin, &suite)) return QUORVEL_HTTP_MALFORME;
    // method SP target SP version, single blanks.
    size_t j = i;
    while (j < fin && est_jeton(static_cast<unsigned char>(p[j]))) ++j;
    if (j == i || j == fin || p[j] != ' ') return QUORVEL_HTTP_MALFORME;
    const size_t c = j + 1;
    size_t k = c;
    while (k < fin && static_cast<unsigned char>(p[k]) > 0x20 && p[k] != 0x7f) ++k;
    if (k == c || k == fin || p[k] != ' ') return QUORVEL_HTTP_MALFORME;
    if (k - c > QUORVEL_HTTP_CIBLE_MAX) return QUORVEL_HTTP_CIBLE_LONGUE;
    const std::string_view v(p + k + 1, fin - k - 1);
    const int mineure = version(v);
    if (mineure < 0) return QUORVEL_HTTP_MALFORME;
    const int r = champs(p, n, suite, t);
    if (r < 0) {
        remet(t);
        return r;
    }
    t->methode = std::string_view(p + i, j - i);
    t->cible = std::string_view(p + c, k - c);
    t->version = v;
    t->mineure = mineure;
    return 0;
}

int quorvel_http_analyse_reponse(const char *p, size_t n, quorvel_http_tete *t)
{
    remet(t);
    size_t fin, suite;
    if (!ligne(p, n, 0, &fin, &suite)) return QUORVEL_HTTP_MALFORME;
    // version SP 3DIGIT SP reason (the reason may be empty, its blank too).
    if (fin < 12 || p[8] != ' ' || (fin > 12 && p[12] != ' ')) return QUORVEL_HTTP_MALFORME;
    const std::string_view v(p, 8);
    const int mineure = version(v);
    if (mineure < 0) return QUORVEL_HTTP_MALFORME;
    int code = 0;
    for (size_t k = 9; k < 12; ++k) {
        if (p[k] < '0' || p[k] > '9') return QUORVEL_HTTP_MALFORME;
        code = code * 10 + (p[k] - '0');
    }
    if (code < 100) return QUORVEL_HTTP_MALFORME;
    const size_t debut_raison = fin > 12 ? 13 : 12;
    for (size_t k = debut_raison; k < fin; ++k)
        if (!est_valeur(static_cast<unsigned char>(p[k]))) return QUORVEL_HTTP_MALFORME;
    const int r = champs(p, n, suite, t);
    if (r < 0) {
        remet(t);
        return r;
    }
    t->version = v;
    t->mineure = mineure;
    t->code = code;
    t->raison = std::string_view(p + debut_raison, fin - debut_raison);
    return 0;
}

/* ---- Chunked bodies ---- */

namespace {

enum etat_morceaux { TAILLE = 0, DONNEES, FIN_DONNEES, SUITE, FINI, ERREUR };

constexpr size_t LIGNE_MAX = 4096;

int valeur_hexa(char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line at p[i..n) ended by CR LF (a bare LF is refused: the framing
// must read the same everywhere): its length without the CR LF, -2 when
// it is not complete yet, -1 when it is malformed or too long.
long ligne_crlf(const char *p, size_t n, size_t i) noexcept
{
    const size_t dispo = n - i < LIGNE_MAX + 2 ? n - i : LIGNE_MAX + 2;
    const void *lf = std::memchr(p + i, '\n', dispo);
    if (lf == nullptr) return dispo == LIGNE_MAX + 2 ? -1 : -2;
    const size_t f = static_cast<size_t>(static_cast<const char *>(lf) - p);
    if (f == i || p[f - 1] != '\r') return -1;
    for (size_t k = i; k + 1 < f; ++k)
        if (!est_valeur(static_cast<unsigned char>(p[k]))) return -1;
    return static_cast<long>(f - 1 - i);
}

}  // namespace

namespace {

// A malformed piece at i: the bytes checked before it are still given (so
// a good chunk passes), and the next call reports the fault.
long faute(quorvel_http_morceaux *m, size_t i)
{
    m->etat = ERREUR;
    return i > 0 ? static_cast<long>(i) : long{QUORVEL_HTTP_MORCEAUX_MALFORME};
}

long avance(quorvel_http_morceaux *m, const char *p, size_t n)
{
    size_t i = 0;
    while (i < n && m->etat != FINI) {
        switch (m->etat) {
        case TAILLE: {
            const long l = ligne_crlf(p, n, i);
            if (l == -2) return static_cast<long>(i);
            if (l < 0) return faute(m, i);
            // 1*HEXDIG, then blanks and ";extension" allowed.
            uint64_t taille = 0;
            size_t k = i, chiffres = 0;
            for (; k < i + static_cast<size_t>(l) && valeur_hexa(p[k]) >= 0; ++k, ++chiffres) {
                if (taille >> 60) return faute(m, i);
                taille = taille * 16 + static_cast<uint64_t>(valeur_hexa(p[k]));
            }
            if (chiffres == 0) return faute(m, i);
            while (k < i + static_cast<size_t>(l) && (p[k] == ' ' || p[k] == '\t')) ++k;
            if (k < i + static_cast<size_t>(l) && p[k] != ';') return faute(m, i);
            i += static_cast<size_t>(l) + 2;
            m->reste = taille;
            m->etat = taille == 0 ? SUITE : DONNEES;
            break;
        }
        case DONNEES: {
            const uint64_t pris = n - i < m->reste ? n - i : m->reste;
            i += pris;
            m->reste -= pris;
            if (m->reste == 0) m->etat = FIN_DONNEES;
            break;
        }
        case FIN_DONNEES:
            if (n - i < 2) {
                if (p[i] != '\r') return faute(m, i);
                return static_cast<long>(i);
            }
            if (p[i] != '\r' || p[i + 1] != '\n') return faute(m, i);
            i += 2;
            m->etat = TAILLE;
            break;
        case SUITE: {
            // Trailer field lines, then the empty line that ends the body.
            if (p[i] == '\r' && n - i < 2) return static_cast<long>(i);
            if (p[i] == '\r' && p[i + 1] == '\n') {
                i += 2;
                m->etat = FINI;
                break;
            }
            const long l = ligne_crlf(p, n, i);
            if (l == -2) return static_cast<long>(i);
            if (l < 0 || ++m->lignes > QUORVEL_HTTP_CHAMPS_MAX) return faute(m, i);
            size_t k = i;
            while (k < i + static_cast<size_t>(l) && est_jeton(static_cast<unsigned char>(p[k]))) ++k;
            if (k == i || k == i + static_cast<size_t>(l) || p[k] != ':') return faute(m, i);
            i += static_cast<size_t>(l) + 2;
            break;
        }
        default: return faute(m, i);
        }
    }
    return static_cast<long>(i);
}

}  // namespace

long quorvel_http_morceaux_avance(quorvel_http_morceaux *m, const char *p, size_t n, bool *fini)
{
    *fini = m->etat == FINI;
    if (m->etat == ERREUR) return QUORVEL_HTTP_MORCEAUX_MALFORME;
    const long r = avance(m, p, n);
    *fini = m->etat == FINI;
    return r;
}
