/* Access control: the allowed-host table each server module fills from the
 * configuration and tests every client against, and the ad-domain list.
 * Linked statically into each module with hidden visibility, so the
 * module-wide state below is the module's own.
 *
 * The allowed-host table is built in the module-wide arrays by one writer at
 * a time, then published as a copy that lookups take without a lock; a
 * reload builds the next one aside while lookups go on with the published
 * copy, which is freed once no lookup holds it. */
#include "quorvel_ip_mask.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kvt_publie.h"
#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvtlib.h"

uint32_t adresses[QUORVEL_NB_HOTES_MAX];
uint32_t masques[QUORVEL_NB_HOTES_MAX];
int32_t nb_hotes;
struct quorvel_table *quorvel_adhosts;

namespace {

constexpr int TAILLE_TAMPON = 256;  // configuration values and keys: 255 characters and NUL

// Reading of one part of a star pattern: atoi's (leading blanks, a sign,
// digits up to the first other character, 0 without digits), but saturated
// instead of undefined on overflow, so a huge number is refused as out of range.
long lit_partie(const char *partie)
{
    return std::strtol(partie, nullptr, 10);
}

// One log line per refused pattern, naming the value and the reason.
void refuse(const char *motif, const char *raison)
{
    kvtlog_log("AllowedHost pattern '%s' refused: %s", motif, raison);
}

// The table that lookups see: a copy of the arrays as they were published.
struct hotes {
    int32_t nb;
    uint32_t adresses[QUORVEL_NB_HOTES_MAX];
    uint32_t masques[QUORVEL_NB_HOTES_MAX];
};

kvt_publie<hotes> publiees;
std::mutex construction;  // the arrays belong to one loader at a time

int publie_table()
{
    auto *t = new (std::nothrow) hotes;
    if (t == nullptr) {
        KVT_ERREUR();
        return -1;  // the published table stays in force
    }
    t->nb = nb_hotes;
    std::memcpy(t->adresses, adresses, sizeof adresses);
    std::memcpy(t->masques, masques, sizeof masques);
    delete kvt_publie_remplace(publiees, t);
    return 0;
}

int ajoute(const char *motif);

// kvtnet_resoudre_adresse as a resolution function for kvtnoms_resout.
int resout_systeme(const char *nom, kvtnoms_adresse *r)
{
    *r = kvtnoms_adresse{};
    const uint32_t a = kvtnet_resoudre_adresse(nom);
    if (a == KVTNET_ADRESSE_INVALIDE) return -1;
    auto *sa = reinterpret_cast<sockaddr_in *>(&r->adresse);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = a;
    r->longueur = sizeof(sockaddr_in);
    return 0;
}

// The address of a host name or dotted text. The launcher resolves every
// allowed-host name once per start or reload for all the modules, in
// parallel and within a bound; a name missing from that table (a module
// started on its own) is resolved here, within the same bound.
uint32_t adresse_du_nom(const char *nom)
{
    kvtnoms_adresse r{};
    if (kvtnoms_cherche(nom, &r) < 0 && kvtnoms_resout(&nom, 1, KVTNOMS_DELAI_MS, resout_systeme, &r) < 0)
        return KVTNET_ADRESSE_INVALIDE;
    const auto *sa = reinterpret_cast<const sockaddr_in *>(&r.adresse);
    if (r.longueur != sizeof(sockaddr_in) || sa->sin_family != AF_INET) return KVTNET_ADRESSE_INVALIDE;
    return sa->sin_addr.s_addr;
}

}  // namespace

int quorvel_ip_mask_publie(void)
{
    std::lock_guard<std::mutex> g{construction};
    return publie_table();
}

int quorvel_ip_mask_ajoute(const char *motif)
{
    std::lock_guard<std::mutex> g{construction};
    const int r = ajoute(motif);
    if (r >= 0 && publie_table() < 0) return -1;
    return r;
}

namespace {

int ajoute(const char *motif)
{
    if (motif == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    if (nb_hotes >= QUORVEL_NB_HOTES_MAX) {
        refuse(motif, "table full (100 entries)");
        return nb_hotes;
    }

    if (std::strchr(motif, '*') == nullptr) {
        uint32_t adresse = adresse_du_nom(motif);
        if (adresse == KVTNET_ADRESSE_INVALIDE) {
            kvtlog_log("AllowedHost pattern '%s' dropped: name does not resolve", motif);
            return nb_hotes;
        }
        adresses[nb_hotes] = adresse;
        masques[nb_hotes] = 0xFFFFFFFFu;
        return ++nb_hotes;
    }

    size_t longueur = std::strlen(motif);
    if (longueur >= TAILLE_TAMPON) {
        refuse(motif, "longer than 255 characters");
        return nb_hotes;
    }
    kvt_cstr copie{static_cast<char *>(std::malloc(TAILLE_TAMPON))};
    if (!copie) {
        KVT_ERREUR();
        return -1;
    }
    std::memcpy(copie.get(), motif, longueur + 1);

    uint32_t adresse = 0;
    uint32_t masque = 0;
    bool termine = false;
    char *partie = copie.get();
    for (int k = 0; k < 4 && partie != nullptr; ++k) {
        char *suite = kvtstr_isole(partie, ".");
        if (std::strcmp(partie, "*") == 0) {
            // The star stands for everything after the k octets before it.
            masque = k == 0 ? 0u : 0xFFFFFFFFu >> (32 - 8 * k);
            termine = true;
            break;
        }
        long octet = lit_partie(partie);
        // 300.* would otherwise carry into the next octet and admit a network
        // nobody wrote.
        if (octet < 0 || octet > 255) {
            kvtlog_log("AllowedHost pattern '%s' refused: part '%s' is outside 0 to 255", motif,
                       partie);
            return nb_hotes;
        }
        adresse += static_cast<uint32_t>(octet) << (8 * k);
        if (k == 3) {
            masque = 0xFFFFFFFFu;
            termine = true;
            break;
        }
        partie = suite;
    }
    // "10.1*", "**", "10.*5": a star that is not a whole part would leave no
    // mask, that is mask 0, which admits every address.
    if (!termine) {
        refuse(motif, "no part is exactly '*'");
        return nb_hotes;
    }
    adresses[nb_hotes] = adresse;
    masques[nb_hotes] = masque;
    return ++nb_hotes;
}

}  // namespace

int quorvel_ip_mask_autorise(uint32_t adresse)
{
    kvt_lecture<hotes> t{publiees};
    if (t.get() == nullptr) return 0;
    const hotes &h = *t.get();
    for (int32_t i = 0; i < h.nb; ++i)
        if (((adresse ^ h.adresses[i]) & h.masques[i]) == 0) return 1;
    return 0;
}

int quorvel_ip_mask_charge(void)
{
    kvt_cstr cle{static_cast<char *>(std::malloc(TAILLE_TAMPON))};
    if (!cle) return -1;
    kvt_cstr valeur{static_cast<char *>(std::malloc(TAILLE_TAMPON))};
    if (!valeur) return -1;

    std::lock_guard<std::mutex> g{construction};
    // A reload starts from an empty table; lookups meanwhile use the one
    // published, and see the new one only whole.
    nb_hotes = 0;
    // The local machine is always served, and always answers first.
    ajoute("127.0.0.1");
    for (int n = 0; n < 100; ++n) {
        std::snprintf(cle.get(), TAILLE_TAMPON, "AllowedHost%d", n);
        if (kvtcfg_recup_E("Main", cle.get(), valeur.get(), TAILLE_TAMPON, "") < 0) continue;
        // Gaps in the numbering are allowed: an empty key does not end the scan.
        if (valeur.get()[0] != '\0') ajoute(valeur.get());
    }
    return publie_table();
}

/* ---- Text-keyed hash table ---- */

namespace {

// Holds a table's mutex for one scope.
class verrou {
public:
    explicit verrou(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~verrou() { pthread_mutex_unlock(m_); }
    verrou(const verrou &) = delete;
    verrou &operator=(const verrou &) = delete;

private:
    pthread_mutex_t *m_;
};

quorvel_entree *quorvel_entree_nouvelle()
{
    auto *e = static_cast<quorvel_entree *>(std::calloc(1, sizeof(quorvel_entree)));
    if (e == nullptr) KVT_ERREUR();
    return e;
}

// Releases `e` and every entry after it, with their data. A loop, not the
// recursion one might expect: a chain can be as long as the list (names that
// share a hash), and server threads have 64 KiB stacks.
void quorvel_entree_libere(quorvel_entree *e)
{
    while (e != nullptr) {
        quorvel_entree *suivant = e->suivant;
        std::free(e->donnee);
        std::free(e);
        e = suivant;
    }
}

// Length of `cle`, or -1 when it is longer than a key field holds. Never
// reads beyond the 256th byte.
long longueur_cle(const char *cle)
{
    size_t n = strnlen(cle, QUORVEL_CLE_MAX + 1);
    return n > QUORVEL_CLE_MAX ? -1 : static_cast<long>(n);
}

// Writes `cle` into its entry, or into the chain's trailing empty entry.
// The trailing entry's fresh successor is obtained before anything is
// written: when none can be had the chain stays as it was, so every chain
// keeps its empty last entry and a later key never overwrites another.
int quorvel_entree_insere(quorvel_entree *e, uint32_t hachage, const char *cle, size_t longueur,
                          void *donnee, int32_t taille)
{
    while (std::strcmp(e->cle, cle) != 0 && e->suivant != nullptr) e = e->suivant;
    if (e->suivant == nullptr) {
        quorvel_entree *vide = quorvel_entree_nouvelle();
        if (vide == nullptr) return -1;
        e->suivant = vide;
    }
    // The table owns the data blocks: the one replaced is released here.
    if (e->donnee != nullptr && e->donnee != donnee) std::free(e->donnee);
    e->hachage = hachage;
    std::memcpy(e->cle, cle, longueur + 1);
    e->donnee = donnee;
    e->taille = taille;
    return 0;
}

int quorvel_entree_cherche(const quorvel_entree *e, const char *cle, void **donnee,
                           int32_t *taille)
{
    for (; e != nullptr; e = e->suivant) {
        if (std::strcmp(e->cle, cle) == 0) {
            if (donnee != nullptr) *donnee = e->donnee;
            if (taille != nullptr) *taille = e->taille;
            return 0;
        }
    }
    if (donnee != nullptr) *donnee = nullptr;
    if (taille != nullptr) *taille = 0;
    return -1;
}

}  // namespace

uint32_t quorvel_table_hache(const char *texte, uint32_t longueur)
{
    if (texte == nullptr) return 0;
    const auto *octets = reinterpret_cast<const unsigned char *>(texte);
    uint32_t h = 0;
    for (uint32_t i = 0; i < longueur; ++i) h += i * octets[i];
    return h;
}

struct quorvel_table *quorvel_table_cree(uint32_t nb_cases)
{
    if (nb_cases == 0) {  // the bucket is a remainder by nb_cases
        KVT_ERREUR();
        return nullptr;
    }
    auto *t = static_cast<quorvel_table *>(std::calloc(1, sizeof(quorvel_table)));
    if (t == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    auto *cases = static_cast<quorvel_entree *>(std::calloc(nb_cases, sizeof(quorvel_entree)));
    if (cases == nullptr) {
        std::free(t);
        KVT_ERREUR();
        return nullptr;
    }
    if (pthread_mutex_init(&t->mutex, nullptr) != 0) {
        std::free(cases);
        std::free(t);
        KVT_ERREUR();
        return nullptr;
    }
    t->nb_cases = nb_cases;
    t->cases = cases;
    return t;
}

int quorvel_table_insere(struct quorvel_table *t, const char *cle, void *donnee, int32_t taille)
{
    if (t == nullptr || cle == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    long longueur = longueur_cle(cle);
    if (longueur < 0) {
        KVT_ERREUR();
        return -1;
    }
    uint32_t h = quorvel_table_hache(cle, static_cast<uint32_t>(longueur));
    verrou v{&t->mutex};
    return quorvel_entree_insere(&t->cases[h % t->nb_cases], h, cle,
                                 static_cast<size_t>(longueur), donnee, taille);
}

int quorvel_table_cherche(struct quorvel_table *t, const char *cle, void **donnee,
                          int32_t *taille)
{
    if (donnee != nullptr) *donnee = nullptr;
    if (taille != nullptr) *taille = 0;
    if (t == nullptr || cle == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    long longueur = longueur_cle(cle);
    if (longueur < 0) return -1;  // longer than any key: simply absent
    uint32_t h = quorvel_table_hache(cle, static_cast<uint32_t>(longueur));
    verrou v{&t->mutex};
    return quorvel_entree_cherche(&t->cases[h % t->nb_cases], cle, donnee, taille);
}

void quorvel_table_detruit(struct quorvel_table *t)
{
    if (t == nullptr) return;
    for (uint32_t b = 0; b < t->nb_cases; ++b) {
        quorvel_entree &tete = t->cases[b];
        quorvel_entree_libere(tete.suivant);
        tete.suivant = nullptr;
        std::free(tete.donnee);
        tete.donnee = nullptr;
        tete.taille = 0;
    }
    std::free(t->cases);
    t->cases = nullptr;
    pthread_mutex_destroy(&t->mutex);
    std::free(t);
}

/* ---- Ad-domain list ---- */

namespace {

// Tables replaced by a later load. Another thread may still be reading one,
// so they are kept, never released.
std::mutex anciennes_verrou;
std::vector<quorvel_table *> *anciennes;

void installe(quorvel_table *t)
{
    quorvel_table *ancienne = __atomic_exchange_n(&quorvel_adhosts, t, __ATOMIC_ACQ_REL);
    if (ancienne == nullptr) return;
    std::lock_guard<std::mutex> g{anciennes_verrou};
    try {
        if (anciennes == nullptr) anciennes = new std::vector<quorvel_table *>;
        anciennes->push_back(ancienne);
    } catch (...) {
        // Out of memory: the old table is merely forgotten, still never released.
    }
}

struct fermeture {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};

// A relative path names a file beside the configuration, as the logs do,
// whatever the process's working folder.
std::string chemin_complet(const char *chemin)
{
    if (chemin[0] == '/') return chemin;
    return std::string{kvtcfg_dossier()} + chemin;
}

}  // namespace

int quorvel_adhosts_charge(void)
{
    kvt_cstr chemin{static_cast<char *>(std::malloc(TAILLE_TAMPON))};
    kvt_cstr ligne{static_cast<char *>(std::malloc(TAILLE_TAMPON))};
    // Installed before the setting is read: a failed load leaves an empty
    // list, not the previous one.
    quorvel_table *t = quorvel_table_cree(QUORVEL_ADHOSTS_CASES);
    installe(t);
    if (t == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    if (!chemin) {
        KVT_ERREUR();
        return -1;
    }
    if (!ligne) {
        KVT_ERREUR();
        return -1;
    }

    if (kvtcfg_recup_E("HTTP_FTP", "AdHostsFile", chemin.get(), TAILLE_TAMPON, "") < 0)
        chemin.get()[0] = '\0';
    if (chemin.get()[0] == '\0') return 0;

    std::unique_ptr<FILE, fermeture> f;
    try {
        // Never waits on the open (a FIFO); only a regular file within the
        // block list's bound is read: a folder yields no line, a device such
        // as /dev/zero none that ends. Either is as unreadable as a missing
        // file, and reported as such.
        kvt_fd fd{::open(chemin_complet(chemin.get()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
        struct stat etat;
        if (fd && fstat(fd.fd, &etat) == 0 && S_ISREG(etat.st_mode) && etat.st_size <= QUORVEL_ADHOSTS_TAILLE_MAX) {
            f.reset(::fdopen(fd.fd, "r"));
            if (f) fd.release();
        }
    } catch (...) {
        KVT_ERREUR();
        return -1;
    }
    if (!f) {
        std::fputs("Unable to open adhosts file\n", stdout);
        return -1;
    }

    int compte = 0;
    char *l = ligne.get();
    while (std::fgets(l, TAILLE_TAMPON, f.get()) != nullptr) {
        size_t n = std::strlen(l);
        // CR LF or LF: at most two line-end characters go.
        for (int fois = 0; fois < 2; ++fois)
            if (n > 0 && (l[n - 1] == '\r' || l[n - 1] == '\n')) l[--n] = '\0';
        // A name that could not be stored (no memory, traced) is not counted:
        // the message tells what is really blocked.
        if (quorvel_table_insere(t, l, nullptr, 0) == 0) ++compte;
    }
    std::printf("%d ad-domains loaded.\n", compte);
    return compte;
}

int quorvel_adhosts_contient(const char *nom)
{
    quorvel_table *t = __atomic_load_n(&quorvel_adhosts, __ATOMIC_ACQUIRE);
    if (t == nullptr || nom == nullptr) return 0;
    return quorvel_table_cherche(t, nom, nullptr, nullptr) == 0 ? 1 : 0;
}

/* ---- Block list: the support library's, one per process ---- */

int quorvel_liste_demarre(void)
{
    return kvtliste_demarre();
}

int quorvel_liste_recharge(void)
{
    return kvtliste_recharge();
}

int quorvel_liste_bloque(const char *nom, size_t longueur)
{
    return kvtliste_bloque(nom, longueur);
}
