// libFuzzer target: arbitrary bytes read as a request head, as a response
// head, and as a chunked body cut at every point the first byte chooses.
// Every part the head readers give must lie inside the input, and the chunk
// reader must never count more bytes than it was given, nor count again
// what it refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "quorvel_http_entete.h"

namespace {

void dans(std::string_view v, const char *p, size_t n)
{
    if (!v.empty() && (v.data() < p || v.data() + v.size() > p + n)) std::abort();
}

void verifie(const quorvel_http_tete &t, const char *p, size_t n)
{
    if (t.nb_champs < 0 || t.nb_champs > QUORVEL_HTTP_CHAMPS_MAX) std::abort();
    dans(t.methode, p, n);
    dans(t.cible, p, n);
    dans(t.version, p, n);
    dans(t.raison, p, n);
    for (int i = 0; i < t.nb_champs; ++i) {
        dans(t.champs[i].nom, p, n);
        dans(t.champs[i].valeur, p, n);
        if (t.champs[i].nom.empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    // An exact-size copy: ASan sees any read past the end.
    std::unique_ptr<char[]> copie(new char[taille > 0 ? taille : 1]);
    for (size_t i = 0; i < taille; ++i) copie[i] = static_cast<char>(donnees[i]);
    const char *p = copie.get();
    auto t = std::make_unique<quorvel_http_tete>();
    if (quorvel_http_analyse_requete(p, taille, t.get()) == 0) verifie(*t, p, taille);
    if (quorvel_http_analyse_reponse(p, taille, t.get()) == 0) verifie(*t, p, taille);

    const size_t pas = taille > 0 ? 1 + donnees[0] % 64 : 1;
    quorvel_http_morceaux m{};
    size_t debut = 0, fin = 0;
    bool fini = false;
    while (fin < taille && !fini) {
        fin = fin + pas < taille ? fin + pas : taille;
        for (;;) {
            const long a = quorvel_http_morceaux_avance(&m, p + debut, fin - debut, &fini);
            if (a < 0) return 0;
            if (static_cast<size_t>(a) > fin - debut) std::abort();
            debut += static_cast<size_t>(a);
            if (a == 0 || debut == fin || fini) break;
        }
    }
    return 0;
}
