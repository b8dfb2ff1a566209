/* Configuration: an INI file read once into an immutable snapshot.
 *
 * Syntax: "[Section]" lines and "Key=Value" lines; a line whose first
 * non-blank character is ';' or '#' is a comment; section and key names
 * match without regard to ASCII case; blanks around names and values are
 * trimmed; a value in double quotes keeps its inner text verbatim; the first
 * of two equal keys in a section wins. Malformed lines are skipped with a
 * warning that names their line number. The file is a regular file of at
 * most 1 MiB and a line at most 4,096 bytes (kvtfichier.cpp).
 *
 * Readers take the current snapshot without a lock (kvt_publie.h). A later
 * kvtcfg_init or kvtcfg_recharge publishes a new snapshot and frees the old
 * one once no reader holds it. The folder texts that kvtcfg_dossier hands
 * out are kept apart, for the life of the process (one per distinct folder),
 * since callers keep that pointer. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_publie.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

struct Config {
    const std::string *dossier = nullptr;                 // absolute, with a trailing '/'; in g_dossiers
    std::unordered_map<std::string, std::string> valeurs; // key: cle_table(section, cle)
};

kvt_publie<Config> g_courante;
std::mutex g_init;             // one init or reload at a time; readers never take it
std::string g_chemin;          // the file of the last init, read again by a reload; under g_init
std::deque<std::string> g_dossiers;  // never shrinks: its elements never move; under g_init

// The folder's text, kept for the life of the process.
const std::string *garde_dossier(std::string dossier)
{
    for (const std::string &d : g_dossiers)
        if (d == dossier) return &d;
    g_dossiers.push_back(std::move(dossier));
    return &g_dossiers.back();
}

void publie(Config *cfg)
{
    delete kvt_publie_remplace(g_courante, cfg);
}

// Beyond this many warnings about one file, a single summary line says how
// many more lines were skipped: a file of garbage must not flood the logs.
constexpr int kMaxAvertissements = 50;

constexpr std::string_view kBlancs = " \t\r\n\v\f";

std::string_view rogne(std::string_view s)
{
    const size_t debut = s.find_first_not_of(kBlancs);
    if (debut == std::string_view::npos) return {};
    const size_t fin = s.find_last_not_of(kBlancs);
    return s.substr(debut, fin - debut + 1);
}

char minuscule(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names hold no newline (lines are split on it), so it cannot be forged.
std::string cle_table(std::string_view section, std::string_view cle)
{
    std::string r;
    r.reserve(section.size() + cle.size() + 1);
    for (char c : section) r += minuscule(c);
    r += '\n';
    for (char c : cle) r += minuscule(c);
    return r;
}

std::string dossier_de(const char *chemin)
{
    std::string_view c = chemin;
    const size_t barre = c.rfind('/');
    std::string dossier = barre == std::string_view::npos ? std::string() : std::string(c.substr(0, barre + 1));
    if (!dossier.empty() && dossier[0] == '/') return dossier;
    // Made absolute now: a daemon may change its working directory later,
    // and relative log paths must still land beside the configuration.
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return dossier.empty() ? std::string("./") : dossier;
    std::string r = cwd;
    if (r.back() != '/') r += '/';
    return r + dossier;
}

// The largest configuration read: a few KiB in practice, and a bound that
// keeps /dev/zero or a misnamed file from growing the process.
constexpr long long kTailleMax = 1024 * 1024;

// What a file held, beside its settings: a reload refuses a file that is
// plainly not a configuration (empty, or garbage) rather than run every
// service on its defaults.
struct Bilan {
    int sections = 0;  // valid section headers
    int lignes = 0;    // lines that are not blank
    int commentaires = 0;  // of those, comments
    int autres = 0;    // of those, lines that are neither a section, a key line nor a comment
};

class Analyse final : public kvtfichier_lecteur {
public:
    Analyse(const char *chemin, Config &cfg, Bilan &bilan) : chemin_(chemin), cfg_(cfg), bilan_(bilan) {}

    void ligne(long numero, std::string_view l) override
    {
        if (numero == 1 && l.substr(0, 3) == "\xEF\xBB\xBF") l.remove_prefix(3);  // UTF-8 mark of some editors
        if (l.find('\0') != std::string_view::npos) {
            ++bilan_.lignes;
            return mauvaise(numero, "it holds a NUL byte");
        }
        l = rogne(l);
        if (l.empty()) return;
        ++bilan_.lignes;
        if (l[0] == ';' || l[0] == '#') {
            ++bilan_.commentaires;
            return;
        }
        if (l[0] == '[') {
            // "[Name]", optionally followed by a comment.
            const size_t ferme = l.find(']');
            const std::string_view apres = ferme == std::string_view::npos ? l : rogne(l.substr(ferme + 1));
            const std::string_view nom = ferme == std::string_view::npos ? std::string_view() : rogne(l.substr(1, ferme - 1));
            if (nom.empty() || !(apres.empty() || apres[0] == ';' || apres[0] == '#')) {
                // Keys under a broken header belong to no known section: filing
                // them under the previous one could, say, add an AllowedHost.
                section_valide_ = false;
                return mauvaise(numero, "bad section header; the keys under it are ignored");
            }
            section_ = nom;
            section_valide_ = true;
            ++bilan_.sections;
            return;
        }
        const size_t egal = l.find('=');
        if (egal == std::string_view::npos) return mauvaise(numero, "no '=' in it");
        const std::string_view cle = rogne(l.substr(0, egal));
        if (cle.empty()) return mauvaise(numero, "no key before '='");
        std::string_view valeur = rogne(l.substr(egal + 1));
        if (!valeur.empty() && valeur[0] == '"') {
            if (valeur.size() < 2 || valeur.back() != '"') return mauvaise(numero, "unclosed double quote");
            valeur = valeur.substr(1, valeur.size() - 2);
        }
        if (!section_valide_) return;
        auto [it, neuf] = cfg_.valeurs.try_emplace(cle_table(section_, cle), valeur);
        (void)it;
        if (!neuf) {
            avertit("Configuration file " + std::string(chemin_) + " line " + std::to_string(numero) +
                    ": key " + std::string(cle) + " repeated in section [" + section_ +
                    "]; the first one counts");
        }
    }

    void trop_longue(long numero) override
    {
        ++bilan_.lignes;
        mauvaise(numero, "longer than 4096 bytes");
    }

    void fin()
    {
        if (omis_ > 0) {
            kvtlog_avertit(("Configuration file " + std::string(chemin_) + ": " + std::to_string(omis_) +
                            " more malformed lines skipped")
                               .c_str());
        }
    }

private:
    void mauvaise(long numero, const char *raison)
    {
        ++bilan_.autres;
        avertit("Configuration file " + std::string(chemin_) + " line " + std::to_string(numero) +
                ": malformed line skipped (" + raison + ")");
    }

    void avertit(const std::string &texte)
    {
        if (avertissements_ >= kMaxAvertissements) {
            ++omis_;
            return;
        }
        ++avertissements_;
        kvtlog_avertit(texte.c_str());
    }

    const char *chemin_;
    Config &cfg_;
    Bilan &bilan_;
    std::string section_;        // keys before any header are in section ""
    bool section_valide_ = true;
    int avertissements_ = 0;
    int omis_ = 0;
};

}  // namespace

namespace {

// Reads and parses `chemin` into `cfg`: 0, or the errno value or the
// kvtfichier reason that kept it from being read.
int lit_config(const char *chemin, Config &cfg, Bilan &bilan)
{
    int fd;
    int err = kvtfichier_ouvre(chemin, kTailleMax, &fd);
    if (err != 0) return err;
    const kvt_fd f{fd};
    Analyse analyse(chemin, cfg, bilan);
    err = kvtfichier_lit(f.fd, kTailleMax, analyse);
    if (err != 0) return err;
    analyse.fin();
    return 0;
}

// Why a file read whole is not taken as a configuration at a reload, or ""
// when it is: no section at all, or more lines that are not settings than
// lines that are.
std::string refus(const Bilan &bilan)
{
    if (bilan.sections == 0) return "the file has no section";
    if (2LL * bilan.autres > bilan.lignes)
        return std::to_string(bilan.autres) + " of " + std::to_string(bilan.lignes) + " lines are not settings";
    return {};
}

}  // namespace

int kvtcfg_init(const char *chemin)
{
    if (chemin == nullptr) { KVT_ERREUR(); return -1; }
    std::lock_guard<std::mutex> verrou(g_init);

    Config *cfg = new (std::nothrow) Config;
    if (cfg == nullptr) { KVT_ERREUR(); return -1; }
    int resultat = 0;
    try {
        cfg->dossier = garde_dossier(dossier_de(chemin));
        g_chemin = chemin;
        Bilan bilan;
        const int err = lit_config(chemin, *cfg, bilan);
        if (err == ENOENT) {
            kvtlog_avertit(("Configuration file " + std::string(chemin) +
                            " not found: every setting takes its default").c_str());
            resultat = -1;
        } else if (err != 0) {
            // A file read in part is not half taken.
            cfg->valeurs.clear();
            kvtlog_avertit(("Configuration file " + std::string(chemin) + " cannot be read (" +
                            kvtfichier_raison(err, kTailleMax) + "): every setting takes its default").c_str());
            resultat = -1;
        } else if (bilan.sections == 0 && bilan.lignes > bilan.commentaires) {
            // At start nothing runs that could stay: the file is taken as it
            // is, and the operator told that its keys reach no section.
            // An empty file, or one of comments, stays silent as before.
            kvtlog_avertit(("Configuration file " + std::string(chemin) +
                            " has no section: every setting takes its default").c_str());
        }
    } catch (const std::bad_alloc &) {
        KVT_ERREUR();
        delete cfg;  // never published
        return -1;
    }
    publie(cfg);
    return resultat;
}

int kvtcfg_recharge(char *raison, int taille)
{
    char vide[1];
    if (raison == nullptr || taille < 1) {
        raison = vide;
        taille = sizeof vide;
    }
    raison[0] = '\0';
    std::lock_guard<std::mutex> verrou(g_init);
    if (g_chemin.empty()) {
        std::snprintf(raison, static_cast<size_t>(taille), "no configuration file was opened");
        return -1;
    }
    Config *cfg = new (std::nothrow) Config;
    if (cfg == nullptr) {
        KVT_ERREUR();
        std::snprintf(raison, static_cast<size_t>(taille), "out of memory");
        return -1;
    }
    try {
        // The same path as the init's: the same folder, even if the working
        // folder has changed since.
        const Config *courante = g_courante.courant.load();
        cfg->dossier = courante != nullptr ? courante->dossier : garde_dossier(dossier_de(g_chemin.c_str()));
        Bilan bilan;
        const int err = lit_config(g_chemin.c_str(), *cfg, bilan);
        if (err != 0) {
            // Never the defaults: a file moved aside or unreadable for a
            // moment must not switch every service to its default.
            std::snprintf(raison, static_cast<size_t>(taille), "%s: %s", g_chemin.c_str(),
                          kvtfichier_raison(err, kTailleMax).c_str());
            delete cfg;
            return -1;
        }
        // Nor a file emptied or overwritten by mistake: applied, it would
        // refuse every client and turn blocking and the access log off.
        const std::string pourquoi = refus(bilan);
        if (!pourquoi.empty()) {
            std::snprintf(raison, static_cast<size_t>(taille), "%s", pourquoi.c_str());
            delete cfg;
            return -1;
        }
    } catch (const std::bad_alloc &) {
        KVT_ERREUR();
        std::snprintf(raison, static_cast<size_t>(taille), "out of memory");
        delete cfg;
        return -1;
    }
    publie(cfg);
    return 0;
}

const char *kvtcfg_dossier(void)
{
    kvt_lecture<Config> cfg{g_courante};
    return cfg.get() ? cfg.get()->dossier->c_str() : "";  // the text outlives the snapshot
}

namespace {

int copie(std::string_view v, char *valeur, int taille)
{
    const size_t n = std::min(v.size(), static_cast<size_t>(taille) - 1);
    std::memmove(valeur, v.data(), n);  // the default may be the buffer itself
    valeur[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace

int kvtcfg_recup_E(const char *section, const char *cle, char *valeur, int taille, const char *defaut)
{
    if (valeur == nullptr || taille < 1) { KVT_ERREUR(); return -1; }
    std::string_view v = defaut ? defaut : "";
    if (section == nullptr || cle == nullptr) {
        KVT_ERREUR();
        return copie(v, valeur, taille);
    }
    // Held until the value is copied out: the snapshot may be replaced meanwhile.
    kvt_lecture<Config> cfg{g_courante};
    if (cfg.get() != nullptr) {
        try {
            auto it = cfg.get()->valeurs.find(cle_table(section, cle));
            if (it != cfg.get()->valeurs.end()) v = it->second;
        } catch (const std::bad_alloc &) {
            KVT_ERREUR();  // the default is still a defined answer
        }
    }
    return copie(v, valeur, taille);
}
