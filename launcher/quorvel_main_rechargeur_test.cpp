// The reload thread: reloads one at a time, and requests during a reload
// merged into exactly one more. The reload here is a function that the
// test holds at a gate, so every step waits on a state, never on time.
#include "quorvel_main.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

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
