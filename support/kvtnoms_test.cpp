// Names resolved ahead: a round in parallel under one bound, and the table.
// Slow names come from resolution functions given here, never the network.
#include "kvtlib.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using horloge = std::chrono::steady_clock;

std::string texte(const kvtnoms_adresse &a)
{
    if (a.longueur == 0) return "-";
    char t[INET6_ADDRSTRLEN] = "";
    const auto *sa = reinterpret_cast<const sockaddr_in *>(&a.adresse);
    if (sa->sin_family != AF_INET || a.longueur != sizeof(sockaddr_in)) return "?";
    return inet_ntop(AF_INET, &sa->sin_addr, t, sizeof t);
}

// A name that answers only once the test opens the gate: "lent.essai"
// waits (10 s at most), "vite.essai" answers 10.0.0.9 at once.
std::mutex porte_verrou;
std::condition_variable porte_cv;
bool porte_ouverte = false;
std::atomic<int> lents_finis{0};

int lent(const char *nom, kvtnoms_adresse *r)
{
    if (std::strcmp(nom, "vite.essai") == 0) return kvtnoms_systeme("10.0.0.9", r);
    if (std::strcmp(nom, "lent.essai") != 0) return -1;
    {
        std::unique_lock<std::mutex> g{porte_verrou};
        porte_cv.wait_for(g, std::chrono::seconds(10), [] { return porte_ouverte; });
    }
    const int res = kvtnoms_systeme("10.0.0.8", r);
    ++lents_finis;
    return res;
}

void ouvre_porte(bool ouverte)
{
    std::lock_guard<std::mutex> g{porte_verrou};
    porte_ouverte = ouverte;
    porte_cv.notify_all();
}

// Every name waits until all of them have started (20 s at most): only a
// round that runs them side by side can answer them all.
constexpr int kEnsemble = 6;
std::mutex ensemble_verrou;
std::condition_variable ensemble_cv;
int ensemble_partis = 0;

int ensemble(const char *, kvtnoms_adresse *r)
{
    std::unique_lock<std::mutex> g{ensemble_verrou};
    ++ensemble_partis;
    ensemble_cv.notify_all();
    if (!ensemble_cv.wait_for(g, std::chrono::seconds(20), [] { return ensemble_partis >= kEnsemble; })) return -1;
    return kvtnoms_systeme("10.0.0.7", r);
}

}  // namespace

TEST(KvtNoms, RoundGivesEachNameItsAnswer)
{
    struct Cas {
        const char *nom;
        const char *attendu;
    };
    const Cas cas[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"localhost", "127.0.0.1"},
        {"", "-"},
        {nullptr, "-"},
        {"010.0.0.1", "-"},  // refused as the system's reading would be
        {"10.1", "-"},
    };
    constexpr int nb = sizeof cas / sizeof cas[0];
    const char *noms[nb];
    for (int i = 0; i < nb; ++i) noms[i] = cas[i].nom;
    kvtnoms_adresse r[nb];
    EXPECT_EQ(2, kvtnoms_resout(noms, nb, KVTNOMS_DELAI_MS, nullptr, r));
    for (int i = 0; i < nb; ++i) {
        SCOPED_TRACE(cas[i].nom ? cas[i].nom : "(null)");
        EXPECT_EQ(cas[i].attendu, texte(r[i]));
    }
    EXPECT_EQ(0, kvtnoms_resout(nullptr, 0, 10, nullptr, nullptr));
    EXPECT_EQ(-1, kvtnoms_resout(nullptr, 1, 10, nullptr, r));
    EXPECT_EQ(-1, kvtnoms_resout(noms, -1, 10, nullptr, r));
}

TEST(KvtNoms, NamesAreResolvedSideBySide)
{
    const char *noms[kEnsemble] = {"a.essai", "b.essai", "c.essai", "d.essai", "e.essai", "f.essai"};
    kvtnoms_adresse r[kEnsemble];
    EXPECT_EQ(kEnsemble, kvtnoms_resout(noms, kEnsemble, 30000, ensemble, r));
    for (const auto &a : r) EXPECT_EQ("10.0.0.7", texte(a));
}

TEST(KvtNoms, ANameWithoutAnswerIsGivenUpAtTheBound)
{
    ouvre_porte(false);
    const char *noms[] = {"lent.essai", "vite.essai", "10.3.3.3", "lent.essai"};
    kvtnoms_adresse r[4];
    const auto debut = horloge::now();
    EXPECT_EQ(2, kvtnoms_resout(noms, 4, 300, lent, r));
    const auto duree = horloge::now() - debut;
    EXPECT_GE(duree, std::chrono::milliseconds(290));
    EXPECT_LT(duree, std::chrono::seconds(8)) << "waited for the slow name itself";
    EXPECT_EQ("-", texte(r[0]));
    EXPECT_EQ("10.0.0.9", texte(r[1]));
    EXPECT_EQ("10.3.3.3", texte(r[2]));
    EXPECT_EQ("-", texte(r[3]));
    // The late threads finish on their own afterwards (the sanitizers watch
    // what they write), and their answers change nothing.
    ouvre_porte(true);
    for (int i = 0; i < 1000 && lents_finis.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(2, lents_finis.load());
    EXPECT_EQ("-", texte(r[0]));
}

TEST(KvtNoms, PublishedTableAnswersLookupsAndIsReplacedWhole)
{
    kvtnoms_oublie();
    kvtnoms_adresse a{};
    EXPECT_EQ(-1, kvtnoms_cherche("vite.essai", &a));
    ouvre_porte(true);
    const char *noms[] = {"vite.essai", "absent.essai", "10.4.4.4"};
    EXPECT_EQ(2, kvtnoms_publie(noms, 3, KVTNOMS_DELAI_MS, lent));
    struct Cas {
        const char *nom;
        int statut;
        const char *adresse;
    };
    for (const Cas &c : {Cas{"vite.essai", 1, "10.0.0.9"}, Cas{"absent.essai", 0, "-"}, Cas{"10.4.4.4", 1, "10.4.4.4"},
                         Cas{"autre.essai", -1, "-"}, Cas{"VITE.essai", -1, "-"}}) {
        SCOPED_TRACE(c.nom);
        EXPECT_EQ(c.statut, kvtnoms_cherche(c.nom, &a));
        EXPECT_EQ(c.adresse, texte(a));
    }
    EXPECT_EQ(-1, kvtnoms_cherche(nullptr, &a));
    EXPECT_EQ(1, kvtnoms_cherche("vite.essai", nullptr));
    // The next round replaces the table whole.
    const char *suivants[] = {"10.5.5.5"};
    EXPECT_EQ(1, kvtnoms_publie(suivants, 1, KVTNOMS_DELAI_MS, nullptr));
    EXPECT_EQ(-1, kvtnoms_cherche("vite.essai", &a));
    EXPECT_EQ(1, kvtnoms_cherche("10.5.5.5", &a));
    kvtnoms_oublie();
    EXPECT_EQ(-1, kvtnoms_cherche("10.5.5.5", &a));
}
