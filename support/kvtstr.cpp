/* Heap strings: malloc'ed, NUL-terminated, freed by whoever receives them.
 * Every function that replaces a caller's string builds the new text before
 * it releases the old one, so an argument may point into the old text. */
#include "kvtlib.h"
#include "kvt_trace.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char *copie(const char *texte, size_t longueur)
{
    char *r = static_cast<char *>(std::malloc(longueur + 1));
    if (r == nullptr) return nullptr;
    std::memcpy(r, texte, longueur);
    r[longueur] = '\0';
    return r;
}

// Releases the caller's text and leaves its cell null: the failure rule of
// the functions that replace a cell, so a failed step never looks like a
// shortened success.
void vide_cellule(char **cellule)
{
    std::free(*cellule);
    *cellule = nullptr;
}

}  // namespace

char *kvtstr_cree(const char *texte)
{
    if (texte == nullptr) return nullptr;
    char *r = copie(texte, std::strlen(texte));
    if (r == nullptr) KVT_ERREUR();
    return r;
}

int kvtstr_concat(char **cellule, const char *texte)
{
    if (cellule == nullptr) { KVT_ERREUR(); return -1; }
    if (texte == nullptr) { KVT_ERREUR(); vide_cellule(cellule); return -1; }
    const size_t avant = *cellule ? std::strlen(*cellule) : 0;
    const size_t ajout = std::strlen(texte);
    if (avant > SIZE_MAX - 1 - ajout) { KVT_ERREUR(); vide_cellule(cellule); return -1; }
    // A fresh block rather than realloc: `texte` may point into the old text.
    char *r = static_cast<char *>(std::malloc(avant + ajout + 1));
    if (r == nullptr) { KVT_ERREUR(); vide_cellule(cellule); return -1; }
    if (avant) std::memcpy(r, *cellule, avant);
    std::memcpy(r + avant, texte, ajout);
    r[avant + ajout] = '\0';
    std::free(*cellule);
    *cellule = r;
    return 0;
}

int kvtstr_print(char **cellule, const char *format, ...)
{
    if (cellule == nullptr) { KVT_ERREUR(); return -1; }
    if (format == nullptr) { KVT_ERREUR(); vide_cellule(cellule); return -1; }
    va_list args;
    va_start(args, format);
    va_list copie_args;
    va_copy(copie_args, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copie_args);
        KVT_ERREUR();
        vide_cellule(cellule);
        return -1;
    }
    char *r = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (r == nullptr) {
        va_end(copie_args);
        KVT_ERREUR();
        vide_cellule(cellule);
        return -1;
    }
    // The arguments may be the old text itself: it is released only now.
    std::vsnprintf(r, static_cast<size_t>(n) + 1, format, copie_args);
    va_end(copie_args);
    std::free(*cellule);
    *cellule = r;
    return n;
}

char *kvtstr_extrait(char **curseur, const char *separateurs)
{
    if (curseur == nullptr || separateurs == nullptr) { KVT_ERREUR(); return nullptr; }
    char *p = *curseur;
    if (p == nullptr) return nullptr;
    p += std::strspn(p, separateurs);
    if (*p == '\0') {
        *curseur = nullptr;
        return nullptr;
    }
    const size_t n = std::strcspn(p, separateurs);
    char *jeton = copie(p, n);
    if (jeton == nullptr) { KVT_ERREUR(); return nullptr; }  // cursor unchanged: a retry sees the same token
    char *suite = p + n;
    suite += std::strspn(suite, separateurs);
    *curseur = *suite ? suite : nullptr;
    return jeton;
}

char *kvtstr_isole(char *texte, const char *separateur)
{
    if (texte == nullptr || separateur == nullptr) { KVT_ERREUR(); return nullptr; }
    // An empty separator "occurs" everywhere; cutting at it would erase the text.
    if (*separateur == '\0') return nullptr;
    char *trouve = std::strstr(texte, separateur);
    if (trouve == nullptr) return nullptr;
    *trouve = '\0';
    return trouve + std::strlen(separateur);
}

int kvtstr_contient(const char *texte, int c)
{
    // The terminator is not part of the text; bytes above 127 match whether
    // the caller passed them as char or as unsigned char.
    if (texte == nullptr || static_cast<char>(c) == '\0') return 0;
    return std::strchr(texte, static_cast<char>(c)) != nullptr;
}

int kvtstr_enint(const char *texte)
{
    if (texte == nullptr) return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(texte);
    // atoi's reading in the C locale: white space, one sign, decimal digits.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negatif = false;
    if (*p == '+' || *p == '-') negatif = *p++ == '-';
    long long v = 0;
    const long long borne = negatif ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v >= borne) {
            v = borne;  // saturated: the remaining digits cannot bring it back
            break;
        }
    }
    return negatif ? static_cast<int>(-v) : static_cast<int>(v);
}

size_t kvtstr_echappe(const char *texte, char *sortie, size_t taille)
{
    if (sortie == nullptr || taille == 0) return 0;
    size_t n = 0;
    if (texte != nullptr) {
        for (const unsigned char *c = reinterpret_cast<const unsigned char *>(texte); *c != '\0' && n + 1 < taille; ++c)
            sortie[n++] = *c <= ' ' || *c >= 0x7f || *c == '=' ? '?' : static_cast<char>(*c);
    }
    sortie[n] = '\0';
    return n;
}
