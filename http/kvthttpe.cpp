// HTTP message record: header table, URL and header-block parsing, status
// reasons, rendering and sending. Every text the record points to is its own
// heap string; every token a step takes and does not keep is freed by it.
#include "kvthttpe.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <type_traits>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvtlib.h"

static_assert(std::is_trivially_copyable_v<kvthttpe>, "the record is calloc'ed and free'd");

namespace {

const char MSG_PARAM_NULL[] = "Parametre null";
// Latin-1 bytes on the wire; split so that "d" is not read as a hex digit.
const char MSG_TROP_PARAMS[] = "Nombre de param\xe8tres exc\xe9" "d\xe9";
const char MSG_PORT[] = "port non valide";
const char MSG_TYPE[] = "Type inconnu";

template <size_t n>
constexpr int taille(const char *const (&)[n]) noexcept
{
    return static_cast<int>(n);
}

// Replaces the text in *champ with `nouveau` (owned from now on), releasing
// the old one so that parsing into a used record leaks nothing.
void remplace(char **champ, char *nouveau) noexcept
{
    std::free(*champ);
    *champ = nouveau;
}

// kvtstr_extrait only reads the text; its cursor type is not const.
char *curseur_sur(const char *texte) noexcept
{
    return const_cast<char *>(texte);
}

// Next token, or null when the cursor is already used up.
char *extrait(char **curseur, const char *separateurs) noexcept
{
    if (*curseur == nullptr) return nullptr;
    return kvtstr_extrait(curseur, separateurs);
}

// Index of the entry named `nom`, -1 when absent, -2 (traced) when an entry in
// use has no name.
int cherche(const kvthttpe *e, const char *nom) noexcept
{
    for (int i = 0; i < e->nb_params; ++i) {
        if (e->param_noms[i] == nullptr) {
            KVT_ERREUR_MSG(MSG_PARAM_NULL);
            return -2;
        }
        if (std::strcmp(e->param_noms[i], nom) == 0) return i;
    }
    return -1;
}

// A valid header table: only the slots below nb_params are looked at.
bool table_sure(const kvthttpe *e) noexcept
{
    return e->nb_params >= 0 && e->nb_params <= KVTHTTPE_MAX_PARAMS;
}

// Header lines shared by both parsers: stops at the first line without a name
// or a value, fails when a header cannot be stored.
int analyse_lignes(kvthttpe *e, char **curseur)
{
    for (;;) {
        kvt_cstr ligne{extrait(curseur, "\r\n")};
        if (!ligne) return 0;
        char *dans_ligne = ligne.get();
        kvt_cstr nom{extrait(&dans_ligne, " :")};
        kvt_cstr valeur{extrait(&dans_ligne, "\r\n")};
        if (!nom || !valeur) return 0;
        if (kvthttpe_fixe_param(e, nom.get(), valeur.get()) < 0) {
            KVT_ERREUR();
            return -1;
        }
    }
}

// ---- Rendering ----
// Every text this source renders is a sequence of the record's fields and
// fixed bytes: a request head, a response head, a URL and the header lines
// differ only in that sequence, given below as data. One renderer walks it
// twice, once to check the fields and measure, once to copy into a single
// block: a head costs one allocation and no formatting.

enum class Piece : unsigned char {
    methode,  // `methode`
    origine,  // "scheme://host[:port]" in the absolute form only; the port when not 80
    chemin,   // `chemin`
    version,  // `version`
    code,     // `code` in decimal
    raison,   // the table's reason for `code`, never the received one
    blanc,    // " "
    crlf,     // "\r\n"
    entetes,  // "name: value\r\n" for each header, in table order
};

constexpr Piece FORME_REQUETE[] = {Piece::methode, Piece::blanc,   Piece::origine,
                                   Piece::chemin,  Piece::blanc,   Piece::version,
                                   Piece::crlf,    Piece::entetes, Piece::crlf};
constexpr Piece FORME_REPONSE[] = {Piece::version, Piece::blanc, Piece::code,
                                   Piece::blanc,   Piece::raison, Piece::crlf,
                                   Piece::entetes, Piece::crlf};
constexpr Piece FORME_URL[] = {Piece::origine, Piece::chemin};
constexpr Piece FORME_PARAMS[] = {Piece::entetes};

// Where the renderer writes: a null `debut` only counts the bytes.
struct sortie {
    char *debut;
    size_t taille;
};

void ecrit(sortie &s, const char *texte, size_t n) noexcept
{
    if (s.debut != nullptr) std::memcpy(s.debut + s.taille, texte, n);
    s.taille += n;
}

void ecrit(sortie &s, const char *texte) noexcept
{
    ecrit(s, texte, std::strlen(texte));
}

// The decimal digits of n, as "%d" prints them. By hand: std::to_chars
// brings a table that the modules would export.
void ecrit_nombre(sortie &s, int n) noexcept
{
    char chiffres[16];
    char *debut = chiffres + sizeof chiffres;
    // In unsigned arithmetic, so that INT_MIN negates without overflow.
    unsigned v = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    do {
        *--debut = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (n < 0) *--debut = '-';
    ecrit(s, debut, static_cast<size_t>(chiffres + sizeof chiffres - debut));
}

// A field that the text needs; false (traced) when it is absent.
bool ecrit_champ(sortie &s, const char *champ) noexcept
{
    if (champ == nullptr) {
        KVT_ERREUR();
        return false;
    }
    ecrit(s, champ);
    return true;
}

bool ecrit_origine(sortie &s, const kvthttpe *e) noexcept
{
    if (e->hote == nullptr || e->protocole == nullptr) {
        KVT_ERREUR();
        return false;
    }
    ecrit(s, e->protocole);
    ecrit(s, "://", 3);
    ecrit(s, e->hote);
    if (e->port != 80) {
        ecrit(s, ":", 1);
        ecrit_nombre(s, e->port);
    }
    return true;
}

// False (traced) when the table is unsound or an entry lacks a text.
bool ecrit_entetes(sortie &s, const kvthttpe *e) noexcept
{
    if (!table_sure(e)) {
        KVT_ERREUR();
        return false;
    }
    for (int i = 0; i < e->nb_params; ++i) {
        if (e->param_noms[i] == nullptr || e->param_valeurs[i] == nullptr) {
            KVT_ERREUR_MSG(MSG_PARAM_NULL);
            return false;
        }
        ecrit(s, e->param_noms[i]);
        ecrit(s, ": ", 2);
        ecrit(s, e->param_valeurs[i]);
        ecrit(s, "\r\n", 2);
    }
    return true;
}

// One walk over n pieces; false (traced once) at the first missing field.
bool parcourt(sortie &s, const Piece *pieces, size_t n, const kvthttpe *e, int absolu) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        bool ok = true;
        switch (pieces[i]) {
        case Piece::methode: ok = ecrit_champ(s, e->methode); break;
        case Piece::origine: ok = !absolu || ecrit_origine(s, e); break;
        case Piece::chemin: ok = ecrit_champ(s, e->chemin); break;
        case Piece::version: ok = ecrit_champ(s, e->version); break;
        case Piece::code: ecrit_nombre(s, e->code); break;
        case Piece::raison: ecrit(s, kvthttpe_raison(e->code)); break;
        case Piece::blanc: ecrit(s, " ", 1); break;
        case Piece::crlf: ecrit(s, "\r\n", 2); break;
        case Piece::entetes: ok = ecrit_entetes(s, e); break;
        }
        if (!ok) return false;
    }
    return true;
}

// The text of `pieces` for record e as a new heap string, or null (traced;
// for an absent record with `message` when there is one). The second walk
// meets the fields that the first one checked, so it cannot fail.
template <size_t n>
char *rend(const Piece (&pieces)[n], const kvthttpe *e, int absolu, const char *message) noexcept
{
    if (e == nullptr) {
        if (message != nullptr)
            KVT_ERREUR_MSG(message);
        else
            KVT_ERREUR();
        return nullptr;
    }
    sortie mesure{nullptr, 0};
    if (!parcourt(mesure, pieces, n, e, absolu)) return nullptr;
    auto *texte = static_cast<char *>(std::malloc(mesure.taille + 1));
    if (texte == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    sortie copie{texte, 0};
    parcourt(copie, pieces, n, e, absolu);
    texte[copie.taille] = '\0';
    return texte;
}

}  // namespace

kvthttpe *kvthttpe_nouveau(void)
{
    auto *e = static_cast<kvthttpe *>(std::calloc(1, sizeof(kvthttpe)));
    if (e == nullptr) KVT_ERREUR();
    return e;
}

void kvthttpe_vide_params(kvthttpe *e)
{
    if (e == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return;
    }
    // A corrupted count must not walk outside the two arrays.
    int n = table_sure(e) ? e->nb_params : KVTHTTPE_MAX_PARAMS;
    for (int i = 0; i < n; ++i) {
        remplace(&e->param_noms[i], nullptr);
        remplace(&e->param_valeurs[i], nullptr);
    }
    e->nb_params = 0;
}

void kvthttpe_libere(kvthttpe **pe)
{
    if (pe == nullptr || *pe == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return;
    }
    kvthttpe *e = *pe;
    kvthttpe_vide_params(e);
    std::free(e->methode);
    std::free(e->hote);
    std::free(e->chemin);
    std::free(e->raison);
    std::free(e->version);
    std::free(e->protocole);
    std::free(e);
    *pe = nullptr;
}

int kvthttpe_fixe_param(kvthttpe *e, const char *nom, const char *valeur)
{
    if (e == nullptr || nom == nullptr || valeur == nullptr || !table_sure(e)) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    int i = cherche(e, nom);
    if (i == -2) return -1;
    bool nouveau = i < 0;
    if (nouveau && e->nb_params >= KVTHTTPE_MAX_PARAMS) {
        KVT_ERREUR_MSG(MSG_TROP_PARAMS);
        return -1;
    }
    // Both copies first: a failure leaves the entry as it was.
    kvt_cstr copie_nom{kvtstr_cree(nom)};
    kvt_cstr copie_valeur{kvtstr_cree(valeur)};
    if (!copie_nom || !copie_valeur) {
        KVT_ERREUR();
        return -1;
    }
    if (nouveau) i = e->nb_params;
    remplace(&e->param_noms[i], copie_nom.release());
    remplace(&e->param_valeurs[i], copie_valeur.release());
    if (nouveau) ++e->nb_params;
    return 0;
}

int kvthttpe_supprime_param(kvthttpe *e, const char *nom)
{
    if (e == nullptr || nom == nullptr || !table_sure(e)) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    int i = cherche(e, nom);
    if (i == -2) return -1;
    if (i < 0) return 0;
    int dernier = e->nb_params - 1;
    std::free(e->param_noms[i]);
    std::free(e->param_valeurs[i]);
    e->param_noms[i] = e->param_noms[dernier];
    e->param_valeurs[i] = e->param_valeurs[dernier];
    e->param_noms[dernier] = nullptr;
    e->param_valeurs[dernier] = nullptr;
    e->nb_params = dernier;
    return 0;
}

const char *kvthttpe_recup_param(const kvthttpe *e, const char *nom)
{
    if (e == nullptr || nom == nullptr || !table_sure(e)) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return nullptr;
    }
    int i = cherche(e, nom);
    return i >= 0 ? e->param_valeurs[i] : nullptr;
}

int kvthttpe_analyse_url(kvthttpe *e, const char *url)
{
    if (e == nullptr || url == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    char *curseur = curseur_sur(url);
    if (std::strstr(url, "://") != nullptr) {
        char *schema = extrait(&curseur, ":");
        if (schema == nullptr) {
            KVT_ERREUR();
            return -1;
        }
        remplace(&e->protocole, schema);
        // Over the "//", but never past the end: "://" alone leaves no cursor.
        for (int n = 0; n < 2 && curseur != nullptr && *curseur != '\0'; ++n) ++curseur;
        if (curseur != nullptr && *curseur == '\0') curseur = nullptr;
    } else {
        char *http = kvtstr_cree("http");
        if (http == nullptr) {
            KVT_ERREUR();
            return -1;
        }
        remplace(&e->protocole, http);
    }

    int defaut = 80;
    if (strcasecmp(e->protocole, "HTTP") == 0)
        defaut = 80;
    else if (strcasecmp(e->protocole, "FTP") == 0)
        defaut = 21;
    else if (strcasecmp(e->protocole, "HTTPS") == 0)
        defaut = 8080;

    kvt_cstr partie_hote{extrait(&curseur, "/")};
    if (!partie_hote) {
        char *vide = kvtstr_cree("");
        if (vide == nullptr) {
            KVT_ERREUR();
            return -1;
        }
        remplace(&e->hote, vide);
        e->port = defaut;
    } else if (kvtstr_contient(partie_hote.get(), ':')) {
        char *dans_hote = partie_hote.get();
        char *hote = extrait(&dans_hote, ":");
        if (hote == nullptr) {
            KVT_ERREUR();
            return -2;
        }
        remplace(&e->hote, hote);
        e->port = dans_hote != nullptr ? kvtstr_enint(dans_hote) : 0;
        if (e->port == 0) {
            KVT_ERREUR();
            return -2;
        }
    } else {
        remplace(&e->hote, partie_hote.release());
        e->port = defaut;
    }

    if (e->port <= 0 || e->port >= 65536) {
        KVT_ERREUR_MSG(MSG_PORT);
        return -3;
    }

    char *chemin = nullptr;
    if (curseur == nullptr || *curseur == '\0') {
        chemin = kvtstr_cree("");
    } else {
        kvt_cstr reste{extrait(&curseur, " ")};
        if (!reste)
            chemin = kvtstr_cree("/");
        else if (kvtstr_print(&chemin, "/%s", reste.get()) < 0)
            chemin = nullptr;
    }
    if (chemin == nullptr) {
        KVT_ERREUR();
        return -4;
    }
    remplace(&e->chemin, chemin);
    return 0;
}

int kvthttpe_requete_get(kvthttpe *e, const char *url)
{
    if (e == nullptr || url == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    kvthttpe_vide_params(e);
    e->type = KVTHTTPE_REQUETE;
    if (kvthttpe_analyse_url(e, url) < 0) {
        KVT_ERREUR();
        return -1;
    }
    // A URL that ends at its host asks for the root: an empty target would
    // make a request line that no server accepts.
    if (e->chemin[0] == '\0') {
        char *racine = kvtstr_cree("/");
        if (racine == nullptr) {
            KVT_ERREUR();
            return -1;
        }
        remplace(&e->chemin, racine);
    }
    char *get = kvtstr_cree("GET");
    if (get == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->methode, get);
    if (kvthttpe_fixe_param(e, "Host", e->hote) < 0) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_fixe_param(e, "Accept", "*/*") < 0) {
        KVT_ERREUR();
        return -1;
    }
    char *version = kvtstr_cree("HTTP/1.1");
    if (version == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->version, version);
    return 0;
}

int kvthttpe_analyse_requete(kvthttpe *e, const char *texte)
{
    if (e == nullptr || texte == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    char *curseur = curseur_sur(texte);
    e->type = KVTHTTPE_REQUETE;
    char *methode = extrait(&curseur, " ");
    if (methode == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->methode, methode);
    kvt_cstr url{extrait(&curseur, " ")};
    if (!url) {
        KVT_ERREUR();
        return -2;
    }
    if (kvthttpe_analyse_url(e, url.get()) < 0) {
        KVT_ERREUR();
        return -1;
    }
    url.reset();
    char *version = extrait(&curseur, "\r\n ");
    if (version == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->version, version);
    return analyse_lignes(e, &curseur);
}

int kvthttpe_analyse_reponse(kvthttpe *e, const char *texte)
{
    if (e == nullptr || texte == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    char *curseur = curseur_sur(texte);
    e->type = KVTHTTPE_REPONSE;
    char *version = extrait(&curseur, " ");
    if (version == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->version, version);
    kvt_cstr code{extrait(&curseur, " ")};
    if (!code) {
        KVT_ERREUR();
        return -2;
    }
    e->code = kvtstr_enint(code.get());
    code.reset();
    char *raison = extrait(&curseur, "\r\n");
    if (raison == nullptr) {
        KVT_ERREUR();
        return -3;
    }
    remplace(&e->raison, raison);
    return analyse_lignes(e, &curseur);
}

int kvthttpe_analyse(kvthttpe *e, const char *texte, int type)
{
    switch (type) {
    case KVTHTTPE_REQUETE: return kvthttpe_analyse_requete(e, texte);
    case KVTHTTPE_REPONSE: return kvthttpe_analyse_reponse(e, texte);
    default: KVT_ERREUR_MSG(MSG_TYPE); return -1;
    }
}

kvthttpe *kvthttpe_cree(const char *texte, int type)
{
    kvthttpe *e = kvthttpe_nouveau();
    if (e == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    if (kvthttpe_analyse(e, texte, type) < 0) {
        KVT_ERREUR();
        kvthttpe_libere(&e);
        return nullptr;
    }
    return e;
}

kvthttpe *kvthttpe_recoit(int s, int type)
{
    kvthttpe *e = kvthttpe_nouveau();
    if (e == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    char *brut = nullptr;
    if (kvtnet_recup_entete(s, &brut) < 0) {
        std::free(brut);
        kvthttpe_libere(&e);
        return nullptr;
    }
    kvt_cstr bloc{brut};
    if (kvthttpe_analyse(e, bloc.get(), type) < 0) {
        kvthttpe_libere(&e);
        return nullptr;
    }
    return e;
}

const char *kvthttpe_raison(int code)
{
    static const char *const r100[] = {"Continue", "Switching Protocols"};
    static const char *const r200[] = {"OK",
                                       "Created",
                                       "Accepted",
                                       "Non-Authoritative Information",
                                       "No Content",
                                       "Reset Content",
                                       "Partial Content"};
    static const char *const r300[] = {"Multiple Choices", "Moved Permanently", "Found",
                                       "See Other",        "Not Modified",      "Use Proxy",
                                       "(unused)",         "Temporary Redirect"};
    static const char *const r400[] = {"Bad Request",
                                       "Unauthorized",
                                       "Payment Required",
                                       "Forbidden",
                                       "Not Found",
                                       "Method Not Allowed",
                                       "Not Acceptable",
                                       "Proxy Authentication Required",
                                       "Request Timeout",
                                       "Conflict",
                                       "Gone",
                                       "Length Required",
                                       "Precondition Failed",
                                       "Request Entity Too Large",
                                       "Request-URI Too Long",
                                       "Unsupported Media Type",
                                       "Requested Range Not Satisfiable",
                                       "Expectation Failed"};
    static const char *const r500[] = {"Internal Server Error", "Not Implemented",
                                       "Bad Gateway",           "Service Unavailable",
                                       "Gateway Timeout",       "HTTP Version Not Supported"};
    struct classe {
        int premier;
        const char *const *textes;
        int nombre;
    };
    static const classe classes[] = {
        {100, r100, taille(r100)}, {200, r200, taille(r200)}, {300, r300, taille(r300)},
        {400, r400, taille(r400)}, {500, r500, taille(r500)},
    };
    // Beyond the runs above.
    if (code == 431) return "Request Header Fields Too Large";
    for (const classe &c : classes)
        if (code >= c.premier && code < c.premier + c.nombre) return c.textes[code - c.premier];
    return "Unknown";
}

int kvthttpe_reponse(kvthttpe *e, int code, const char *version)
{
    if (e == nullptr || version == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return -1;
    }
    kvthttpe_vide_params(e);
    e->type = KVTHTTPE_REPONSE;
    char *raison = kvtstr_cree(kvthttpe_raison(code));
    if (raison == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->raison, raison);
    e->code = code;
    char *copie_version = kvtstr_cree(version);
    if (copie_version == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    remplace(&e->version, copie_version);
    return 0;
}

char *kvthttpe_texte_params(const kvthttpe *e)
{
    return rend(FORME_PARAMS, e, 0, MSG_PARAM_NULL);
}

char *kvthttpe_texte_requete(const kvthttpe *e, int absolu)
{
    return rend(FORME_REQUETE, e, absolu, nullptr);
}

char *kvthttpe_texte_reponse(const kvthttpe *e)
{
    return rend(FORME_REPONSE, e, 0, nullptr);
}

char *kvthttpe_texte(const kvthttpe *e, int absolu)
{
    if (e == nullptr) {
        KVT_ERREUR_MSG(MSG_PARAM_NULL);
        return nullptr;
    }
    switch (e->type) {
    case KVTHTTPE_REQUETE: return kvthttpe_texte_requete(e, absolu);
    case KVTHTTPE_REPONSE: return kvthttpe_texte_reponse(e);
    default: KVT_ERREUR_MSG(MSG_TYPE); return nullptr;
    }
}

char *kvthttpe_texte_url(const kvthttpe *e, int absolu)
{
    return rend(FORME_URL, e, absolu, MSG_PARAM_NULL);
}

int kvthttpe_envoie(int s, const kvthttpe *e, int absolu)
{
    kvt_cstr texte{kvthttpe_texte(e, absolu)};
    if (!texte) {
        KVT_ERREUR();
        return -1;
    }
    return kvtnet_envoie_str(s, texte.get());
}
