// Allowed-host table, text-keyed hash table and ad-domain loader.
//
// Two seams keep these tests exact and off the network: name resolution and
// the log are replaced below for this program only (the static library binds
// to the program's own definitions). The tables are module-wide state that the
// product never clears, so each test empties what it uses itself.
#include "quorvel_ip_mask.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvtlib.h"

namespace {

std::mutex journal_verrou;
std::vector<std::string> journal;  // lines written through kvtlog_log

std::vector<std::string> lignes_journal()
{
    std::lock_guard<std::mutex> g{journal_verrou};
    std::vector<std::string> l;
    l.swap(journal);
    return l;
}

}  // namespace

// Dotted text, and one known name; anything else fails, without a lookup.
extern "C" uint32_t kvtnet_resoudre_adresse(const char *nom)
{
    if (nom == nullptr) return KVTNET_ADRESSE_INVALIDE;
    if (std::strcmp(nom, "hote.essai") == 0) return 0x07080900u | 10u;  // 10.9.8.7
    in_addr a{};
    if (inet_pton(AF_INET, nom, &a) != 1) return KVTNET_ADRESSE_INVALIDE;
    return a.s_addr;
}

extern "C" int kvtlog_log(const char *format, ...)
{
    char ligne[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(ligne, sizeof ligne, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g{journal_verrou};
    journal.emplace_back(ligne);
    return 0;
}

namespace {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a | b << 8 | c << 16 | d << 24;
}

void vide_table()
{
    nb_hotes = 0;
    std::memset(adresses, 0, sizeof adresses);
    std::memset(masques, 0, sizeof masques);
    quorvel_ip_mask_publie();
    lignes_journal();
}

// A scratch folder for configuration and list files, removed afterwards.
class Dossier {
public:
    Dossier()
    {
        char modele[] = "/tmp/quorvel_ip_mask_XXXXXX";
        chemin_ = mkdtemp(modele);
    }
    ~Dossier() { std::system(("rm -rf '" + chemin_ + "'").c_str()); }
    std::string ecrit(const std::string &nom, const std::string &contenu) const
    {
        std::string p = chemin_ + "/" + nom;
        std::ofstream(p, std::ios::binary) << contenu;
        return p;
    }
    // Writes quorvel.conf and makes it the configuration in force.
    void configure(const std::string &contenu) const
    {
        ASSERT_EQ(0, kvtcfg_init(ecrit("quorvel.conf", contenu).c_str()));
    }
    const std::string &chemin() const { return chemin_; }

private:
    std::string chemin_;
};

/* ---- Allowed-host table ---- */

TEST(QuorvelIpMask, EmptyTableRefusesEveryAddress)
{
    vide_table();
    for (uint32_t a : {ip(127, 0, 0, 1), 0u, 0xFFFFFFFFu, ip(10, 0, 0, 1)}) {
        SCOPED_TRACE(a);
        EXPECT_EQ(0, quorvel_ip_mask_autorise(a));
    }
}

TEST(QuorvelIpMask, PatternsGiveTheirEntries)
{
    struct Ligne {
        const char *motif;
        uint32_t adresse, masque;
        std::vector<uint32_t> admis, refuses;
    };
    const Ligne lignes[] = {
        {"*", 0, 0, {ip(1, 2, 3, 4), 0xFFFFFFFFu, 0}, {}},
        {"*.*.*.*", 0, 0, {ip(1, 2, 3, 4), 0}, {}},
        {"192.168.*", 0xA8C0, 0xFFFF, {ip(192, 168, 0, 0), ip(192, 168, 255, 9)},
         {ip(192, 169, 0, 1), ip(168, 192, 0, 0)}},
        {"10.*", ip(10, 0, 0, 0), 0xFF, {ip(10, 200, 3, 4)}, {ip(11, 0, 0, 0)}},
        {"10.*.3.4", ip(10, 0, 0, 0), 0xFF, {ip(10, 9, 9, 9)}, {ip(9, 0, 3, 4)}},
        {"10.1.2.*", ip(10, 1, 2, 0), 0xFFFFFF, {ip(10, 1, 2, 255)}, {ip(10, 1, 3, 0)}},
        {"10.1.2.3.*", ip(10, 1, 2, 3), 0xFFFFFFFF, {ip(10, 1, 2, 3)}, {ip(10, 1, 2, 4)}},
        {"10.1.2.3*", ip(10, 1, 2, 3), 0xFFFFFFFF, {ip(10, 1, 2, 3)}, {ip(10, 1, 2, 30)}},
        {"10..*", ip(10, 0, 0, 0), 0xFFFF, {ip(10, 0, 7, 7)}, {ip(10, 1, 0, 0)}},
        {"10.1x.*", ip(10, 1, 0, 0), 0xFFFF, {ip(10, 1, 5, 5)}, {}},  // atoi reading kept
        {"1.2.3.4.5*", ip(1, 2, 3, 4), 0xFFFFFFFF, {ip(1, 2, 3, 4)}, {ip(1, 2, 3, 5)}},
        {"0.*", 0, 0xFF, {ip(0, 1, 2, 3)}, {ip(1, 0, 0, 0)}},
        {"255.255.255.*", ip(255, 255, 255, 0), 0xFFFFFF, {0xFFFFFFFFu}, {}},
        {"10.0.0.5", ip(10, 0, 0, 5), 0xFFFFFFFF, {ip(10, 0, 0, 5)}, {ip(10, 0, 0, 6)}},
        {"hote.essai", ip(10, 9, 8, 7), 0xFFFFFFFF, {ip(10, 9, 8, 7)}, {ip(10, 9, 8, 8)}},
    };
    for (const Ligne &l : lignes) {
        SCOPED_TRACE(l.motif);
        vide_table();
        ASSERT_EQ(1, quorvel_ip_mask_ajoute(l.motif));
        EXPECT_EQ(l.adresse, adresses[0]);
        EXPECT_EQ(l.masque, masques[0]);
        for (uint32_t a : l.admis) EXPECT_EQ(1, quorvel_ip_mask_autorise(a)) << std::hex << a;
        for (uint32_t a : l.refuses) EXPECT_EQ(0, quorvel_ip_mask_autorise(a)) << std::hex << a;
        EXPECT_TRUE(lignes_journal().empty());
    }
}

TEST(QuorvelIpMask, RefusedPatternsLeaveTheTableAndOneLogLine)
{
    const std::string long_motif = std::string(300, '1') + ".*";
    struct Ligne {
        std::string motif, journal;
    };
    const Ligne lignes[] = {
        {"10.1*", "AllowedHost pattern '10.1*' refused: no part is exactly '*'"},
        {"**", "AllowedHost pattern '**' refused: no part is exactly '*'"},
        {"10.*5", "AllowedHost pattern '10.*5' refused: no part is exactly '*'"},
        {"1.2.3*", "AllowedHost pattern '1.2.3*' refused: no part is exactly '*'"},
        {"300.*", "AllowedHost pattern '300.*' refused: part '300' is outside 0 to 255"},
        {"-1.*", "AllowedHost pattern '-1.*' refused: part '-1' is outside 0 to 255"},
        {"10.256.*", "AllowedHost pattern '10.256.*' refused: part '256' is outside 0 to 255"},
        {"1.2.3.999*", "AllowedHost pattern '1.2.3.999*' refused: part '999*' is outside 0 to 255"},
        {"4294967306.*",  // 2^32 + 10 must not wrap to 10
         "AllowedHost pattern '4294967306.*' refused: part '4294967306' is outside 0 to 255"},
        {long_motif, "AllowedHost pattern '" + long_motif + "' refused: longer than 255 characters"},
        {"absent.invalid", "AllowedHost pattern 'absent.invalid' dropped: name does not resolve"},
        {"255.255.255.255",
         "AllowedHost pattern '255.255.255.255' dropped: name does not resolve"},
    };
    for (const Ligne &l : lignes) {
        SCOPED_TRACE(l.motif);
        vide_table();
        ASSERT_EQ(1, quorvel_ip_mask_ajoute("10.9.9.9"));
        EXPECT_EQ(1, quorvel_ip_mask_ajoute(l.motif.c_str()));
        EXPECT_EQ(1, nb_hotes);
        EXPECT_EQ(0u, adresses[1]);
        EXPECT_EQ(0u, masques[1]);
        EXPECT_EQ(std::vector<std::string>{l.journal}, lignes_journal());
        for (uint32_t a : {ip(10, 1, 0, 0), ip(44, 1, 0, 0), ip(10, 0, 0, 10), 0xFFFFFFFFu})
            EXPECT_EQ(0, quorvel_ip_mask_autorise(a)) << std::hex << a;
        // The refused pattern cost no slot: the next one takes index 1.
        EXPECT_EQ(2, quorvel_ip_mask_ajoute("10.9.9.8"));
        EXPECT_EQ(ip(10, 9, 9, 8), adresses[1]);
    }
    vide_table();
    EXPECT_EQ(-1, quorvel_ip_mask_ajoute(nullptr));
    EXPECT_EQ(0, nb_hotes);
}

TEST(QuorvelIpMask, HundredEntriesThenTableFull)
{
    vide_table();
    for (int i = 0; i < QUORVEL_NB_HOTES_MAX; ++i) {
        std::string motif = "10.0." + std::to_string(i / 10) + "." + std::to_string(i % 10);
        ASSERT_EQ(i + 1, quorvel_ip_mask_ajoute(motif.c_str())) << motif;
    }
    // Neither a star nor a name gets past the 100th entry.
    for (const char *motif : {"*", "10.0.0.200", "absent.invalid"}) {
        SCOPED_TRACE(motif);
        EXPECT_EQ(100, quorvel_ip_mask_ajoute(motif));
        EXPECT_EQ(std::vector<std::string>{std::string{"AllowedHost pattern '"} + motif +
                                           "' refused: table full (100 entries)"},
                  lignes_journal());
    }
    EXPECT_EQ(100, nb_hotes);
    EXPECT_EQ(1, quorvel_ip_mask_autorise(ip(10, 0, 0, 0)));
    EXPECT_EQ(1, quorvel_ip_mask_autorise(ip(10, 0, 9, 9)));
    EXPECT_EQ(0, quorvel_ip_mask_autorise(ip(10, 0, 0, 200)));
    EXPECT_EQ(0, quorvel_ip_mask_autorise(ip(1, 2, 3, 4)));
}

TEST(QuorvelIpMask, FirstMatchAnswersInEitherOrder)
{
    const std::vector<const char *> motifs = {"10.*", "10.1.2.3", "192.168.1.*", "10.1.*"};
    const uint32_t essais[] = {ip(10, 1, 2, 3), ip(10, 2, 0, 0), ip(192, 168, 1, 7),
                               ip(192, 168, 2, 7), ip(11, 1, 2, 3)};
    std::vector<int> attendu;
    for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "reversed" : "in order");
        vide_table();
        for (size_t i = 0; i < motifs.size(); ++i)
            quorvel_ip_mask_ajoute(motifs[inverse ? motifs.size() - 1 - i : i]);
        ASSERT_EQ(4, nb_hotes);
        EXPECT_EQ(inverse ? ip(10, 1, 0, 0) : ip(10, 0, 0, 0), adresses[0]);
        std::vector<int> resultats;
        for (uint32_t a : essais) resultats.push_back(quorvel_ip_mask_autorise(a));
        if (attendu.empty()) attendu = resultats;
        EXPECT_EQ((std::vector<int>{1, 1, 1, 0, 0}), resultats);
        EXPECT_EQ(attendu, resultats);
    }
}

TEST(QuorvelIpMask, LoadsFromTheConfiguration)
{
    Dossier d;
    struct Ligne {
        const char *nom, *conf;
        std::vector<std::pair<uint32_t, uint32_t>> entrees;
        std::vector<std::string> journal;
    };
    std::string cent = "[Main]\n";
    for (int n = 0; n < 100; ++n) cent += "AllowedHost" + std::to_string(n) + "=10.1.0." + std::to_string(n) + "\n";
    const Ligne lignes[] = {
        {"no keys", "[Main]\nLogFile=x.log\n", {{0x0100007F, 0xFFFFFFFF}}, {}},
        {"gaps, other sections, keys past 99",
         "[SSL]\nAllowedHost1=172.16.*\n"
         "[Main]\nAllowedHost0=10.*\nAllowedHost5=192.168.1.*\nAllowedHost7=absent.invalid\n"
         "AllowedHost8=\nAllowedHost99=hote.essai\nAllowedHost100=172.17.*\nAllowedHost-1=*\n",
         {{0x0100007F, 0xFFFFFFFF},
          {ip(10, 0, 0, 0), 0xFF},
          {ip(192, 168, 1, 0), 0xFFFFFF},
          {ip(10, 9, 8, 7), 0xFFFFFFFF}},
         {"AllowedHost pattern 'absent.invalid' dropped: name does not resolve"}},
        {"all hundred keys", cent.c_str(), {}, {}},
    };
    for (const Ligne &l : lignes) {
        SCOPED_TRACE(l.nom);
        vide_table();
        d.configure(l.conf);
        ASSERT_EQ(0, quorvel_ip_mask_charge());
        if (l.entrees.empty()) {
            // 127.0.0.1 and AllowedHost0..98 fill the table; AllowedHost99 is refused.
            ASSERT_EQ(100, nb_hotes);
            EXPECT_EQ(0x0100007Fu, adresses[0]);
            EXPECT_EQ(ip(10, 1, 0, 98), adresses[99]);
            EXPECT_EQ(std::vector<std::string>{"AllowedHost pattern '10.1.0.99' refused: "
                                               "table full (100 entries)"},
                      lignes_journal());
            EXPECT_EQ(0, quorvel_ip_mask_autorise(ip(10, 1, 0, 99)));
            continue;
        }
        ASSERT_EQ(static_cast<int>(l.entrees.size()), nb_hotes);
        for (size_t i = 0; i < l.entrees.size(); ++i) {
            EXPECT_EQ(l.entrees[i].first, adresses[i]) << i;
            EXPECT_EQ(l.entrees[i].second, masques[i]) << i;
        }
        EXPECT_EQ(l.journal, lignes_journal());
        EXPECT_EQ(1, quorvel_ip_mask_autorise(ip(127, 0, 0, 1)));
        EXPECT_EQ(0, quorvel_ip_mask_autorise(ip(127, 0, 0, 2)));
    }
}

// Eight threads look clients up while another reloads the table 40 times:
// each lookup sees one whole table, never one being built (entry 50 is the
// last one added), and the tables replaced are freed under them (ASan, TSan).
TEST(QuorvelIpMask, ReloadWhileEightThreadsLookUp)
{
    Dossier d;
    std::string commun = "[Main]\n";
    for (int n = 0; n < 50; ++n) commun += "AllowedHost" + std::to_string(n) + "=10.1.0." + std::to_string(n) + "\n";
    const std::string un = commun + "AllowedHost50=10.9.9.1\n";
    const std::string deux = commun + "AllowedHost50=10.9.9.2\n";
    d.configure(un);
    ASSERT_EQ(0, quorvel_ip_mask_charge());

    std::atomic<bool> fini{false};
    std::atomic<long> lectures{0}, mauvaises{0};
    std::vector<std::thread> lecteurs;
    for (int f = 0; f < 8; ++f)
        lecteurs.emplace_back([&] {
            for (long i = 0; !fini.load() && i < 50000000; ++i) {
                const bool premier = quorvel_ip_mask_autorise(ip(10, 1, 0, 0)) == 1;
                const bool dernier = quorvel_ip_mask_autorise(ip(10, 1, 0, 49)) == 1;
                const bool jamais = quorvel_ip_mask_autorise(ip(10, 1, 0, 50)) == 1;
                if (!premier || !dernier || jamais) ++mauvaises;
                ++lectures;
            }
        });
    for (int i = 0; i < 10000 && lectures.load() < 8; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 40; ++i) {
        d.configure(i % 2 ? un : deux);
        ASSERT_EQ(0, quorvel_ip_mask_charge());
    }
    fini = true;
    for (auto &th : lecteurs) th.join();
    lignes_journal();
    EXPECT_EQ(0, mauvaises.load());
    EXPECT_GT(lectures.load(), 0);
    // The last reload (i = 39) is in force, and only it.
    EXPECT_EQ(1, quorvel_ip_mask_autorise(ip(10, 9, 9, 1)));
    EXPECT_EQ(0, quorvel_ip_mask_autorise(ip(10, 9, 9, 2)));
    EXPECT_EQ(52, nb_hotes);
}

/* ---- Text-keyed hash table ---- */

using table_ptr = std::unique_ptr<quorvel_table, decltype(&quorvel_table_detruit)>;

table_ptr nouvelle_table(uint32_t n)
{
    return table_ptr{quorvel_table_cree(n), &quorvel_table_detruit};
}

// Number of entries in bucket b's chain, its trailing empty entry included.
int longueur_chaine(const quorvel_table *t, uint32_t b)
{
    int n = 0;
    for (const quorvel_entree *e = &t->cases[b]; e != nullptr; e = e->suivant) ++n;
    return n;
}

TEST(QuorvelTable, HashAndBucket)
{
    struct Ligne {
        std::string cle;
        uint32_t hachage;
    };
    const Ligne lignes[] = {
        {"abc", 296}, {"ab", 98}, {"ba", 97}, {"", 0}, {"x", 0}, {"\xFF", 0},
        {"a\xE9", 233},  // an unsigned byte: adds 233, not -23
        {std::string(255, '\xFF'), 8258175},
    };
    auto t = nouvelle_table(QUORVEL_ADHOSTS_CASES);
    ASSERT_NE(nullptr, t);
    for (const Ligne &l : lignes) {
        SCOPED_TRACE(l.cle);
        EXPECT_EQ(l.hachage, quorvel_table_hache(l.cle.data(), l.cle.size()));
        ASSERT_EQ(0, quorvel_table_insere(t.get(), l.cle.c_str(), nullptr, 0));
        // The key lives in bucket hash mod 6666, head or further down the chain.
        bool trouve = false;
        for (const quorvel_entree *e = &t->cases[l.hachage % 6666]; e; e = e->suivant)
            if (l.cle == e->cle) {
                trouve = true;
                EXPECT_EQ(l.hachage, e->hachage);
            }
        EXPECT_TRUE(trouve);
    }
    EXPECT_EQ(0u, quorvel_table_hache(nullptr, 3));
    EXPECT_EQ(nullptr, quorvel_table_cree(0));
}

TEST(QuorvelTable, InsertLookupReplace)
{
    auto t = nouvelle_table(QUORVEL_ADHOSTS_CASES);
    ASSERT_NE(nullptr, t);
    void *d = &d;
    int32_t n = 7;
    // The empty key is found in a table nothing was inserted into.
    EXPECT_EQ(0, quorvel_table_cherche(t.get(), "", &d, &n));
    EXPECT_EQ(nullptr, d);
    EXPECT_EQ(0, n);
    EXPECT_EQ(-1, quorvel_table_cherche(t.get(), "abc", nullptr, nullptr));

    char *premier = strdup("un");
    char *second = strdup("deux");
    ASSERT_EQ(0, quorvel_table_insere(t.get(), "abc", premier, 3));
    EXPECT_EQ(0, quorvel_table_cherche(t.get(), "abc", &d, &n));
    EXPECT_EQ(premier, d);
    EXPECT_EQ(3, n);
    // Same block again: kept, not released (ASan would see the reuse).
    ASSERT_EQ(0, quorvel_table_insere(t.get(), "abc", premier, 3));
    EXPECT_STREQ("un", premier);
    // Another block: the first is released (ASan: no leak), one entry stays.
    ASSERT_EQ(0, quorvel_table_insere(t.get(), "abc", second, 5));
    EXPECT_EQ(0, quorvel_table_cherche(t.get(), "abc", &d, nullptr));
    EXPECT_EQ(second, d);
    EXPECT_EQ(0, quorvel_table_cherche(t.get(), "abc", nullptr, &n));
    EXPECT_EQ(5, n);
    EXPECT_EQ(2, longueur_chaine(t.get(), 296));
    EXPECT_STREQ("abc", t->cases[296].cle);
    EXPECT_STREQ("", t->cases[296].suivant->cle);

    // A miss stores null and 0 in both cells.
    d = &d;
    n = 9;
    EXPECT_EQ(-1, quorvel_table_cherche(t.get(), "abd", &d, &n));
    EXPECT_EQ(nullptr, d);
    EXPECT_EQ(0, n);

    // Keys longer than 255 characters are refused, and never found.
    const std::string trop(256, 'a'), juste(255, 'a');
    EXPECT_EQ(-1, quorvel_table_insere(t.get(), trop.c_str(), nullptr, 0));
    EXPECT_EQ(-1, quorvel_table_cherche(t.get(), trop.c_str(), nullptr, nullptr));
    EXPECT_EQ(0, quorvel_table_insere(t.get(), juste.c_str(), nullptr, 0));
    EXPECT_EQ(0, quorvel_table_cherche(t.get(), juste.c_str(), nullptr, nullptr));

    EXPECT_EQ(-1, quorvel_table_insere(nullptr, "a", nullptr, 0));
    EXPECT_EQ(-1, quorvel_table_insere(t.get(), nullptr, nullptr, 0));
    EXPECT_EQ(-1, quorvel_table_cherche(nullptr, "a", nullptr, nullptr));
    quorvel_table_detruit(nullptr);
    // Destruction releases the data held by heads and by chained entries.
    ASSERT_EQ(0, quorvel_table_insere(t.get(), "x", strdup("head"), 5));
    ASSERT_EQ(0, quorvel_table_insere(t.get(), "y", strdup("chained"), 8));
}

TEST(QuorvelTable, OneBucketChainKeepsKeysApart)
{
    auto t = nouvelle_table(1);
    ASSERT_NE(nullptr, t);
    const char *cles[] = {"ads.example", "ads.example.org", "x.ads.example", ""};
    for (const char *cle : cles) EXPECT_EQ(0, quorvel_table_insere(t.get(), cle, nullptr, 0));
    EXPECT_EQ(0, quorvel_table_insere(t.get(), "ads.example", nullptr, 0));
    // Four written entries and the trailing empty one.
    EXPECT_EQ(5, longueur_chaine(t.get(), 0));
    for (const char *cle : cles) {
        SCOPED_TRACE(cle);
        EXPECT_EQ(0, quorvel_table_cherche(t.get(), cle, nullptr, nullptr));
    }
    for (const char *absent : {"ads.exampl", "ADS.EXAMPLE", "example", "ads.example "}) {
        SCOPED_TRACE(absent);
        EXPECT_EQ(-1, quorvel_table_cherche(t.get(), absent, nullptr, nullptr));
    }
}

TEST(QuorvelTable, EightThreadsInsertAndLookUp)
{
    // 7 buckets: long chains shared by every thread.
    auto t = nouvelle_table(7);
    ASSERT_NE(nullptr, t);
    constexpr int fils = 8, par_fil = 300;
    std::atomic<int> echecs{0};
    std::vector<std::thread> threads;
    for (int f = 0; f < fils; ++f)
        threads.emplace_back([&, f] {
            for (int i = 0; i < par_fil; ++i) {
                std::string cle = "f" + std::to_string(f) + ".n" + std::to_string(i);
                if (quorvel_table_insere(t.get(), cle.c_str(), nullptr, 0) != 0) ++echecs;
                if (quorvel_table_cherche(t.get(), cle.c_str(), nullptr, nullptr) != 0) ++echecs;
                // Another thread's key: present or not yet, never a fault.
                std::string autre = "f" + std::to_string((f + 1) % fils) + ".n" + std::to_string(i);
                quorvel_table_cherche(t.get(), autre.c_str(), nullptr, nullptr);
                // Every thread also rewrites one shared key.
                if (quorvel_table_insere(t.get(), "commun", nullptr, 0) != 0) ++echecs;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(0, echecs.load());
    int total = 0;
    for (uint32_t b = 0; b < 7; ++b) total += longueur_chaine(t.get(), b) - 1;
    EXPECT_EQ(fils * par_fil + 1, total);
}

/* ---- Ad-domain list ---- */

// Runs the loader with stdout captured; returns its result and the output.
std::pair<int, std::string> charge()
{
    testing::internal::CaptureStdout();
    int r = quorvel_adhosts_charge();
    return {r, testing::internal::GetCapturedStdout()};
}

TEST(QuorvelAdhosts, NoTableMeansNotListed)
{
    quorvel_table *avant = quorvel_adhosts;
    quorvel_adhosts = nullptr;
    EXPECT_EQ(0, quorvel_adhosts_contient("ads.example"));
    EXPECT_EQ(0, quorvel_adhosts_contient(""));
    quorvel_adhosts = avant;
}

TEST(QuorvelAdhosts, NoFileConfigured)
{
    Dossier d;
    d.configure("[HTTP_FTP]\nOther=1\n");
    auto [r, sortie] = charge();
    EXPECT_EQ(0, r);
    EXPECT_EQ("", sortie);
    ASSERT_NE(nullptr, quorvel_adhosts);
    EXPECT_EQ(0, quorvel_adhosts_contient("ads.example"));
    EXPECT_EQ(1, quorvel_adhosts_contient(""));
    EXPECT_EQ(0, quorvel_adhosts_contient(nullptr));
}

TEST(QuorvelAdhosts, LoadsFiles)
{
    Dossier d;
    d.configure("[HTTP_FTP]\nAdHostsFile=" + d.chemin() + "/adhosts.txt\n");
    const std::string l300 = std::string(255, 'a') + std::string(45, 'b');
    struct Ligne {
        const char *nom;
        std::string contenu;
        int compte;
        std::vector<std::string> presents, absents;
    };
    const Ligne lignes[] = {
        {"LF", "ads.example\ntrack.example\n", 2, {"ads.example", "track.example"}, {"ads"}},
        {"CR LF", "ads.example\r\ntrack.example\r\n", 2, {"ads.example", "track.example"},
         {"ads.example\r", "track.example\r\n"}},
        {"last line without LF", "a.example\nb.example", 2, {"a.example", "b.example"}, {}},
        {"empty file", "", 0, {}, {"a.example"}},
        {"empty lines", "\na.example\n\r\n\n", 4, {"a.example", ""}, {}},
        {"repeated", "a.example\na.example\r\na.example", 3, {"a.example"}, {"a.exampl"}},
        {"300 characters", l300 + "\nz.example\n", 3,
         {std::string(255, 'a'), std::string(45, 'b'), "z.example"}, {l300}},
        {"exact match", "Ads.Example\nexample.org\n", 2, {"Ads.Example", "example.org"},
         {"ads.example", "ADS.EXAMPLE", "Ads.Example ", "www.example.org", "example.or", " example.org"}},
        {"blanks and comments kept", " padded \n# note\n", 2, {" padded ", "# note"}, {"padded"}},
    };
    for (const Ligne &l : lignes) {
        SCOPED_TRACE(l.nom);
        d.ecrit("adhosts.txt", l.contenu);
        auto [r, sortie] = charge();
        EXPECT_EQ(l.compte, r);
        EXPECT_EQ(std::to_string(l.compte) + " ad-domains loaded.\n", sortie);
        for (const std::string &n : l.presents) EXPECT_EQ(1, quorvel_adhosts_contient(n.c_str())) << n;
        for (const std::string &n : l.absents) EXPECT_EQ(0, quorvel_adhosts_contient(n.c_str())) << n;
    }

    // A file that cannot be opened, a folder, a FIFO with no writer (never
    // waited on), /dev/zero (never read), a file past 256 MiB (sparse): -1,
    // the message, and an empty list in force instead of the previous one.
    const std::string fichier = d.chemin() + "/adhosts.txt";
    const std::string fifo = d.chemin() + "/fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string grand = d.ecrit("grand.txt", "big.example\n");
    ASSERT_EQ(0, ::truncate(grand.c_str(), QUORVEL_ADHOSTS_TAILLE_MAX + 1));
    for (const std::string &cible : {fichier, d.chemin(), fifo, std::string("/dev/zero"), grand}) {
        SCOPED_TRACE(cible);
        d.ecrit("adhosts.txt", "old.example\n");
        d.configure("[HTTP_FTP]\nAdHostsFile=" + fichier + "\n");
        ASSERT_EQ(1, charge().first);
        std::remove(fichier.c_str());
        d.configure("[HTTP_FTP]\nAdHostsFile=" + cible + "\n");
        auto [r, sortie] = charge();
        EXPECT_EQ(-1, r);
        EXPECT_EQ("Unable to open adhosts file\n", sortie);
        EXPECT_EQ(0, quorvel_adhosts_contient("old.example"));
    }
}

TEST(QuorvelAdhosts, RelativePathIsBesideTheConfiguration)
{
    Dossier d;
    d.ecrit("liste.txt", "rel.example\n");
    d.configure("[HTTP_FTP]\nAdHostsFile=liste.txt\n");
    auto [r, sortie] = charge();
    EXPECT_EQ(1, r) << sortie;
    EXPECT_EQ(1, quorvel_adhosts_contient("rel.example"));
}

TEST(QuorvelAdhosts, ReloadWhileOtherThreadsLookUp)
{
    Dossier d;
    std::string contenu;
    for (int i = 0; i < 2000; ++i) contenu += "n" + std::to_string(i) + ".example\n";
    d.ecrit("adhosts.txt", contenu);
    d.configure("[HTTP_FTP]\nAdHostsFile=" + d.chemin() + "/adhosts.txt\n");
    ASSERT_EQ(2000, charge().first);

    // Readers keep going while the list is loaded again twice: the tables
    // they may hold are never released under them (ASan), and no access
    // races (TSan).
    std::atomic<bool> fini{false};
    std::atomic<long> trouves{0};
    std::vector<std::thread> lecteurs;
    for (int f = 0; f < 7; ++f)
        lecteurs.emplace_back([&, f] {
            for (int i = 0; !fini.load() || i < 200; ++i) {
                std::string n = "n" + std::to_string((i * 7 + f) % 2000) + ".example";
                trouves += quorvel_adhosts_contient(n.c_str());
                EXPECT_EQ(0, quorvel_adhosts_contient("absent.example"));
                if (i > 1000000) break;  // bounded whatever happens
            }
        });
    testing::internal::CaptureStdout();
    int r1 = quorvel_adhosts_charge();
    int r2 = quorvel_adhosts_charge();
    testing::internal::GetCapturedStdout();
    fini = true;
    for (auto &th : lecteurs) th.join();
    EXPECT_EQ(2000, r1);
    EXPECT_EQ(2000, r2);
    EXPECT_GT(trouves.load(), 0);
    for (int i = 0; i < 2000; i += 97)
        EXPECT_EQ(1, quorvel_adhosts_contient(("n" + std::to_string(i) + ".example").c_str()));
}

}  // namespace
