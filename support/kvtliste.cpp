/* kvtliste: the block list of the DNS relay and the tunnel, one copy for the
 * process. It lives here, in the one library every module shares, so that
 * two modules that both block load it once and see the same list.
 *
 * The table is built aside from the file, then published whole; lookups
 * take no lock and see the old list or the new one. It is a flat
 * open-addressing set of lower-case names in one block of text: a 100,000
 * name list costs a few MiB, not one fixed-size entry per name. */
#include <arpa/inet.h>
#include <malloc.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvtlib.h"

struct kvtliste_table {
    std::vector<char> texte;       // the names, each followed by a NUL
    std::vector<uint32_t> cases;   // offset + 1 into texte; 0 is an empty slot
    std::vector<uint32_t> hachages;
    uint32_t masque = 0;
    int nb = 0;                    // distinct names
};

namespace {

// The published list. Readers announce themselves in counters spread over
// cache lines of their own, one group per reader thread (modulo the group
// count), so lookups from many threads do not contend on one line; the
// writer waits for every group of the phase it leaves, twice, as the
// single-counter scheme of kvt_publie.h does.
constexpr unsigned GROUPES = 16;
struct alignas(64) groupe {
    std::atomic<long> lecteurs[2] = {0, 0};
};
struct {
    std::atomic<kvtliste_table *> courant{nullptr};
    std::atomic<unsigned> phase{0};
    groupe groupes[GROUPES];
} liste;
std::atomic<unsigned> prochain_groupe{0};

class lecture {
public:
    lecture() noexcept
    {
        thread_local const unsigned mien = prochain_groupe.fetch_add(1, std::memory_order_relaxed) % GROUPES;
        g_ = &liste.groupes[mien];
        for (;;) {
            cote_ = liste.phase.load() & 1u;
            g_->lecteurs[cote_].fetch_add(1);
            if ((liste.phase.load() & 1u) == cote_) break;
            g_->lecteurs[cote_].fetch_sub(1, std::memory_order_release);
        }
        valeur_ = liste.courant.load();
    }
    ~lecture() { g_->lecteurs[cote_].fetch_sub(1, std::memory_order_release); }
    lecture(const lecture &) = delete;
    lecture &operator=(const lecture &) = delete;
    const kvtliste_table *get() const noexcept { return valeur_; }

private:
    groupe *g_ = nullptr;
    unsigned cote_ = 0;
    kvtliste_table *valeur_ = nullptr;
};

// Publishes `neuf` and gives back the table it replaced once no lookup can
// still be using it. Called under `chargement`.
kvtliste_table *remplace(kvtliste_table *neuf)
{
    kvtliste_table *ancien = liste.courant.exchange(neuf);
    for (int tour = 0; tour < 2; ++tour) {
        const unsigned quitte = liste.phase.fetch_add(1) & 1u;
        for (groupe &g : liste.groupes)
            for (int essai = 0; g.lecteurs[quitte].load() != 0; ++essai) {
                if (essai < 100) {
                    sched_yield();
                } else {
                    timespec t{0, 100000};  // a reader was preempted inside its hold
                    nanosleep(&t, nullptr);
                }
            }
    }
    return ancien;
}
std::mutex chargement;  // one load at a time; lookups never take it
bool chargee = false;   // under `chargement`: a load was asked for once

uint32_t hache(std::string_view n) noexcept
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : n) h = (h ^ c) * 16777619u;
    return h;
}

// The slot of `n`, or of the empty slot where it would go.
uint32_t place(const kvtliste_table &t, std::string_view n, uint32_t h) noexcept
{
    for (uint32_t i = h & t.masque;; i = (i + 1) & t.masque) {
        const uint32_t o = t.cases[i];
        if (o == 0) return i;
        if (t.hachages[i] == h && std::strncmp(&t.texte[o - 1], n.data(), n.size()) == 0 &&
            t.texte[o - 1 + n.size()] == '\0')
            return i;
    }
}

bool est_adresse(const std::string &n)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, n.c_str(), &v4) == 1 || inet_pton(AF_INET6, n.c_str(), &v6) == 1;
}

// The usual first lines of a hosts file: they name this machine, not ads.
bool est_entete_hosts(std::string_view n)
{
    for (std::string_view e : {"localhost", "localhost.localdomain", "local", "broadcasthost", "ip6-localhost",
                               "ip6-loopback", "0.0.0.0"})
        if (n == e) return true;
    return false;
}

// A host name as lists write them: letters, digits, '-' and '_' in labels
// of 1 to 63 bytes, 255 bytes at most. Anything else is another kind of
// rule (a path, a wildcard) that this list does not take.
bool nom_valide(std::string_view n)
{
    if (n.empty() || n.size() > 255) return false;
    size_t etiquette = 0;
    for (char c : n) {
        if (c == '.') {
            if (etiquette == 0) return false;
            etiquette = 0;
            continue;
        }
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
        if (++etiquette > 63) return false;
    }
    return etiquette > 0;
}

// Lower case, one trailing dot off: the form names are stored and looked up in.
std::string normalise(std::string_view n)
{
    if (!n.empty() && n.back() == '.') n.remove_suffix(1);
    std::string r{n};
    for (char &c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

struct construction {
    std::vector<char> texte;
    std::vector<uint32_t> debuts;
    long lignes = 0;  // lines that are not blank, a comment or a hosts file's usual header

    // false when `brut` is an address or a header name: a hosts file's own
    // lines, not an entry that failed.
    bool ajoute(std::string_view brut)
    {
        std::string n = normalise(brut);
        if (est_adresse(n) || est_entete_hosts(n)) return false;
        if (!nom_valide(n)) return true;
        debuts.push_back(static_cast<uint32_t>(texte.size()));
        texte.insert(texte.end(), n.begin(), n.end());
        texte.push_back('\0');
        return true;
    }
};

bool blanc(char c) { return c == ' ' || c == '\t'; }

// One line of any of the three formats: a name, a hosts line, or an
// adblock-style "||name^" rule (other adblock rules are skipped).
void lit_ligne(std::string_view l, construction &c)
{
    while (!l.empty() && (l.back() == '\r' || l.back() == '\n')) l.remove_suffix(1);
    while (!l.empty() && blanc(l.front())) l.remove_prefix(1);
    if (l.empty() || l[0] == '#' || l[0] == '!' || l[0] == '[') return;
    if (l.substr(0, 2) == "||") {
        ++c.lignes;
        l.remove_prefix(2);
        const size_t chapeau = l.find('^');
        if (chapeau == std::string_view::npos) return;
        std::string_view reste = l.substr(chapeau + 1);
        while (!reste.empty() && blanc(reste.back())) reste.remove_suffix(1);
        if (!reste.empty() && reste != "$important") return;
        c.ajoute(l.substr(0, chapeau));
        return;
    }
    // Element-hiding rules of adblock lists ("site##.ad", "site#@#.ad"...)
    // name pages, not hosts to block.
    for (std::string_view regle : {"##", "#@#", "#?#", "#$#"})
        if (l.find(regle) != std::string_view::npos) {
            ++c.lignes;
            return;
        }
    const size_t diese = l.find('#');
    if (diese != std::string_view::npos) l = l.substr(0, diese);
    std::vector<std::string_view> mots;
    while (!l.empty()) {
        size_t i = 0;
        while (i < l.size() && !blanc(l[i])) ++i;
        mots.push_back(l.substr(0, i));
        l.remove_prefix(i);
        while (!l.empty() && blanc(l.front())) l.remove_prefix(1);
    }
    if (mots.empty()) return;
    // A hosts line: every name after the address. Otherwise a plain line,
    // whose words are names (an address among them is skipped).
    size_t premier = 0;
    if (mots.size() > 1 && est_adresse(std::string{mots[0]})) premier = 1;
    bool entree = false;
    for (size_t i = premier; i < mots.size(); ++i) entree |= c.ajoute(mots[i]);
    if (entree) ++c.lignes;
}

// The largest list read: published lists hold a few MiB; the bound keeps a
// misnamed file from taking the gateway's memory.
constexpr long long kTailleMax = 256LL * 1024 * 1024;

struct lecteur final : kvtfichier_lecteur {
    construction &c;
    explicit lecteur(construction &cc) : c(cc) {}
    void ligne(long, std::string_view l) override { lit_ligne(l, c); }
    void trop_longue(long) override { ++c.lignes; }  // whatever it held, no name was read from it
};

// The table of the names built, repeats counted once; null without memory.
kvtliste_table *termine(construction &c) noexcept
{
    try {
        auto t = std::make_unique<kvtliste_table>();
        uint32_t taille = 16;
        while (taille < 2 * c.debuts.size() + 2) taille *= 2;
        t->cases.assign(taille, 0);
        t->hachages.assign(taille, 0);
        t->masque = taille - 1;
        t->texte = std::move(c.texte);
        for (uint32_t d : c.debuts) {
            std::string_view n{&t->texte[d]};
            const uint32_t h = hache(n);
            const uint32_t i = place(*t, n, h);
            if (t->cases[i] != 0) continue;  // repeated
            t->cases[i] = d + 1;
            t->hachages[i] = h;
            ++t->nb;
        }
        return t.release();
    } catch (...) {
        return nullptr;
    }
}

// Builds the table of the file that "AdHostsFile" names: 0 and `*t` (null
// when no file is set), or -1 with the reason in `raison`. With `recharge`,
// a file whose lines are there but yield no name is refused as well: a
// list in some other format, or garbage, must not turn blocking off.
int construit(kvtliste_table **t, std::string &raison, bool recharge)
{
    *t = nullptr;
    char chemin[1024];
    kvtcfg_recup_E("HTTP_FTP", "AdHostsFile", chemin, sizeof chemin, "");
    if (chemin[0] == '\0') return 0;
    try {
        // A relative path names a file beside the configuration.
        const std::string complet = chemin[0] == '/' ? std::string{chemin} : std::string{kvtcfg_dossier()} + chemin;
        int fd;
        int err = kvtfichier_ouvre(complet.c_str(), kTailleMax, &fd);
        if (err != 0) {
            raison = complet + ": " + kvtfichier_raison(err, kTailleMax);
            return -1;
        }
        const kvt_fd f{fd};
        construction c;
        lecteur l{c};
        err = kvtfichier_lit(f.fd, kTailleMax, l);
        if (err != 0) {
            raison = complet + ": " + kvtfichier_raison(err, kTailleMax);
            return -1;
        }
        if (recharge && c.lignes > 0 && c.debuts.empty()) {
            raison = complet + ": no name could be read from its " + std::to_string(c.lignes) + " lines";
            return -1;
        }
        *t = termine(c);
    } catch (...) {
        *t = nullptr;
    }
    if (*t == nullptr) {
        raison = std::strerror(ENOMEM);
        return -1;
    }
    return 0;
}

void installe(kvtliste_table *t)
{
    delete remplace(t);
    // The old table's pages go back to the system now, so a reload leaves
    // the process as large as one load did.
    (void)malloc_trim(0);
}

}  // namespace

int kvtliste_demarre(void)
{
    std::lock_guard<std::mutex> g{chargement};
    if (chargee) {
        lecture l;
        return l.get() != nullptr ? l.get()->nb : 0;
    }
    chargee = true;
    kvtliste_table *t;
    std::string raison;
    if (construit(&t, raison, false) < 0) {
        // The line the single-module loader has always printed.
        std::fputs("Unable to open adhosts file\n", stdout);
        std::fflush(stdout);
        return -1;
    }
    if (t == nullptr) return 0;
    const int nb = t->nb;
    installe(t);
    std::printf("%d ad-domains loaded.\n", nb);
    std::fflush(stdout);
    return nb;
}

int kvtliste_recharge(void)
{
    std::lock_guard<std::mutex> g{chargement};
    if (!chargee) return 0;  // no module blocks: nothing to load
    kvtliste_table *t;
    std::string raison;
    if (construit(&t, raison, true) < 0) {
        kvtlog_log("Ad-domain list reload failed: %s; the previous list stays", raison.c_str());
        return -1;
    }
    const int nb = t != nullptr ? t->nb : 0;
    installe(t);
    kvtlog_log("%d ad-domains loaded.", nb);
    return nb;
}

int kvtliste_bloque(const char *nom, size_t longueur)
{
    if (nom == nullptr || longueur == 0) return 0;
    if (nom[longueur - 1] == '.') --longueur;
    if (longueur == 0 || longueur > 255) return 0;
    char n[256];
    for (size_t i = 0; i < longueur; ++i) {
        const char c = nom[i];
        n[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    lecture l;
    const kvtliste_table *t = l.get();
    if (t == nullptr || t->nb == 0) return 0;
    // The name, then each parent: one lookup per label.
    for (size_t i = 0; i < longueur;) {
        const std::string_view s{n + i, longueur - i};
        if (t->cases[place(*t, s, hache(s))] != 0) return 1;
        const void *point = std::memchr(n + i, '.', longueur - i);
        if (point == nullptr) break;
        i = static_cast<size_t>(static_cast<const char *>(point) - n) + 1;
    }
    return 0;
}

void kvtliste_oublie(void)
{
    std::lock_guard<std::mutex> g{chargement};
    chargee = false;
    installe(nullptr);
}
