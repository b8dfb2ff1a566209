// libFuzzer target: arbitrary header blocks parsed as a request and as a
// response; whatever parses is rendered in every form and its header table
// exercised, so that ASan sees every path a hostile peer can reach.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kvthttpe.h"

namespace {

void rend(char *texte)
{
    std::free(texte);
}

void exerce(kvthttpe *e)
{
    rend(kvthttpe_texte(e, 0));
    rend(kvthttpe_texte(e, 1));
    rend(kvthttpe_texte_url(e, 0));
    rend(kvthttpe_texte_url(e, 1));
    rend(kvthttpe_texte_params(e));
    if (e->nb_params > 0) {
        // Copies: the entry is about to change under these pointers.
        std::string nom = e->param_noms[0];
        std::string valeur = kvthttpe_recup_param(e, nom.c_str());
        kvthttpe_fixe_param(e, nom.c_str(), (valeur + "!").c_str());
        kvthttpe_supprime_param(e, nom.c_str());
        kvthttpe_fixe_param(e, nom.c_str(), valeur.c_str());
    }
    rend(kvthttpe_texte(e, 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    // The parsers read NUL-terminated text, as the socket reader hands it over.
    std::string texte(reinterpret_cast<const char *>(donnees), taille);
    for (int type : {KVTHTTPE_REQUETE, KVTHTTPE_REPONSE}) {
        kvthttpe *e = kvthttpe_cree(texte.c_str(), type);
        if (e == nullptr) continue;
        exerce(e);
        kvthttpe_libere(&e);
    }
    // The same bytes as a URL, into a record that already holds one.
    kvthttpe *e = kvthttpe_nouveau();
    if (e == nullptr) return 0;
    kvthttpe_requete_get(e, "http://seed.example:8080/index.html");
    if (kvthttpe_requete_get(e, texte.c_str()) == 0) exerce(e);
    kvthttpe_libere(&e);
    return 0;
}
