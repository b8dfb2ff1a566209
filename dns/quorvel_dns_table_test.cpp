// The pending-query table: the slot a record reports is the one it wrote,
// a slot taken again while its query waits is handed to the hook first
// (and counted unanswered), and lookups take the newest record.
#include "quorvel_dns_table.h"

#include <gtest/gtest.h>

#include <vector>

#include "kvtstat.h"

namespace {

std::vector<int> reprises;

TEST(QuorvelDnsTable, SlotWrittenHookOnRetakeNewestFound)
{
    quorvel_dns_table_vide();
    quorvel_dns_table_reprise = [](int slot) { reprises.push_back(slot); };
    const uint64_t sans = kvtstat.dns.sans_reponse.load();
    for (int i = 0; i < QUORVEL_DNS_NB_REQUETES; ++i) {
        const int slot = quorvel_dns_table_ecrit(1000 + i, 7, 7, 100);
        ASSERT_EQ(i, slot);
        EXPECT_EQ(1000 + i, quorvel_dns_table[slot].id);
        EXPECT_EQ(-1, quorvel_dns_table[slot].fd_propre);
        EXPECT_EQ(-1, quorvel_dns_table[slot].cle_cache);
    }
    EXPECT_TRUE(reprises.empty());
    quorvel_dns_table[0].repondue = true;  // answered: free again without the hook
    EXPECT_EQ(0, quorvel_dns_table_ecrit(5, 1, 1, 100));
    EXPECT_TRUE(reprises.empty());
    // Every other slot waits: the oldest (1) is taken again, through the hook.
    EXPECT_EQ(1, quorvel_dns_table_ecrit(5, 2, 2, 100));
    EXPECT_EQ(std::vector<int>{1}, reprises);
    EXPECT_EQ(sans + 1, kvtstat.dns.sans_reponse.load());
    EXPECT_EQ(1, quorvel_dns_table_cherche(5)) << "the newest of two records";
    EXPECT_EQ(2u, quorvel_dns_table[1].adresse);
    // Ten seconds later every waiting query has been given up by its client.
    EXPECT_EQ(2, quorvel_dns_table_ecrit(6, 3, 3, 110));
    EXPECT_EQ(std::vector<int>({1, 2}), reprises);
    quorvel_dns_table_reprise = nullptr;
    quorvel_dns_table_vide();
    EXPECT_EQ(-1, quorvel_dns_table_cherche(5));
}

}  // namespace
