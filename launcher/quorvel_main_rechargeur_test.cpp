// The reload thread: reloads one at a time, and requests during a reload
// merged into exactly one more. The reload here is a function that the
// test holds at a gate, so every step waits on a state, never on time.
#include "quorvel_main.h"

#include "kvtlib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex verrou;
std::condition_variable cv;
int commencees = 0;   // reloads started
int en_meme_temps = 0, max_en_meme_temps = 0;
bool retenue = false;  // while true, a started reload waits

void recharge_essai()
{
    std::unique_lock<std::mutex> g{verrou};
    ++commencees;
    max_en_meme_temps = std::max(max_en_meme_temps, ++en_meme_temps);
    cv.notify_all();
    cv.wait_for(g, std::chrono::seconds(30), [] { return !retenue; });
    --en_meme_temps;
}

void retient(bool oui)
{
    std::lock_guard<std::mutex> g{verrou};
    retenue = oui;
    cv.notify_all();
}

// Waits (30 s at most) until `n` reloads have started.
bool attend_commencees(int n)
{
    std::unique_lock<std::mutex> g{verrou};
    return cv.wait_for(g, std::chrono::seconds(30), [n] { return commencees >= n; });
}

int nb_commencees()
{
    std::lock_guard<std::mutex> g{verrou};
    return commencees;
}

}  // namespace

TEST(QuorvelMainRechargeur, RequestsDuringAReloadMakeExactlyOneMore)
{
    quorvel_main_rechargeur *r = quorvel_main_rechargeur_demarre(recharge_essai);
    ASSERT_NE(nullptr, r);
    // Requests made during one reload, and the reloads they make in all.
    struct Cas {
        int pendant;
        int en_tout;
    };
    for (const Cas c : {Cas{0, 1}, Cas{1, 2}, Cas{5, 2}}) {
        SCOPED_TRACE(c.pendant);
        const int avant = nb_commencees();
        retient(true);
        quorvel_main_rechargeur_demande(r);  // returns at once, the reload held
        ASSERT_TRUE(attend_commencees(avant + 1));
        for (int i = 0; i < c.pendant; ++i) quorvel_main_rechargeur_demande(r);
        retient(false);
        quorvel_main_rechargeur_attend(r);
        EXPECT_EQ(avant + c.en_tout, nb_commencees());
    }
    EXPECT_EQ(1, max_en_meme_temps);
    EXPECT_EQ(nullptr, quorvel_main_rechargeur_demarre(nullptr));
    quorvel_main_rechargeur_demande(nullptr);  // nothing, no fault
    quorvel_main_rechargeur_attend(nullptr);
}

namespace {

std::string lit(const std::string &chemin)
{
    std::ifstream f(chemin);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

size_t compte(const std::string &texte, const std::string &motif)
{
    size_t n = 0;
    for (size_t p = texte.find(motif); p != std::string::npos; p = texte.find(motif, p + 1)) ++n;
    return n;
}

void recharge_reelle()
{
    (void)quorvel_main_recharge();
}

}  // namespace

// What SIGUSR1 and SIGUSR2 do on the signal thread, while the reload thread
// reads the configuration and moves the access log from file to file: every
// line lands whole, nothing is lost (and the sanitizers see no race).
TEST(QuorvelMainRechargeur, ReloadsBesideLogReopeningAndStatistics)
{
    char modele[] = "/tmp/quorvel_rechargeur_XXXXXX";
    const std::string d = mkdtemp(modele);
    const std::string conf = d + "/q.conf";
    auto ecrit_conf = [&](int n) {
        std::ofstream(conf + ".new") << "[Main]\nAccessLog=" << d << "/acces" << n % 2 << ".log\n";
        std::rename((conf + ".new").c_str(), conf.c_str());
    };
    ecrit_conf(0);
    ASSERT_EQ(0, kvtcfg_init(conf.c_str()));
    ASSERT_EQ(0, kvtlog_init((d + "/q.log").c_str(), (d + "/q-errors.log").c_str()));
    ASSERT_EQ(0, quorvel_main_ouvre_acces());
    quorvel_main_rechargeur *r = quorvel_main_rechargeur_demarre(recharge_reelle);
    ASSERT_NE(nullptr, r);
    constexpr int kTours = 40;
    std::thread acces([] {
        for (int i = 0; i < 2000; ++i) kvtlog_acces("ligne %d", i);
    });
    for (int i = 1; i <= kTours; ++i) {
        ecrit_conf(i);
        quorvel_main_rechargeur_demande(r);
        (void)kvtlog_reouvre();
        EXPECT_GE(kvtstat_journal(), 0);
    }
    acces.join();
    quorvel_main_rechargeur_attend(r);
    const std::string journal = lit(d + "/q.log");
    EXPECT_EQ(static_cast<size_t>(kTours), compte(journal, " Logs reopened\n"));
    const size_t recharges = compte(journal, " Configuration reloaded\n");
    EXPECT_GE(recharges, 1u);
    EXPECT_LE(recharges, static_cast<size_t>(kTours));
    // Each access line whole, in one file or the other.
    const std::string tout = lit(d + "/acces0.log") + lit(d + "/acces1.log");
    EXPECT_EQ(2000u, compte(tout, " ligne "));
    EXPECT_EQ(2000u, compte(tout, "\n"));
    ASSERT_EQ(0, kvtlog_acces_ouvre(""));
    std::system(("rm -rf '" + d + "'").c_str());
}
