// The metrics endpoint's decisions: what a request line asks for, and who
// may ask. The answers themselves go through the real program in the
// end-to-end test.
#include "quorvel_main_stats.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

TEST(QuorvelMainStats, RequestLineGivesTheStatus)
{
    struct { const char *entete; int statut; } cas[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"GET /metrics?name=x HTTP/1.0\r\n\r\n", 200},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", 404},
        {"GET / HTTP/1.1\r\n\r\n", 404},
        {"GET /Metrics HTTP/1.1\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\n\r\n", 405},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 405},
        {"get /metrics HTTP/1.1\r\n\r\n", 405},
        {"CONNECT a:443 HTTP/1.1\r\n\r\n", 405},
        {"GET /metrics\r\n\r\n", 400},
        {"GET  HTTP/1.1\r\n\r\n", 400},
        {" GET /metrics HTTP/1.1\r\n\r\n", 400},
        {"GET /metrics FTP/1.0\r\n\r\n", 400},
        {"", 400},
    };
    for (const auto &c : cas) EXPECT_EQ(c.statut, quorvel_main_stats_statut(c.entete)) << c.entete;
    EXPECT_EQ(400, quorvel_main_stats_statut(nullptr));
}

TEST(QuorvelMainStats, LoopbackIsServedStrangersAreNot)
{
    // With an empty allowed-host table only loopback reads the metrics.
    for (const char *a : {"127.0.0.1", "127.5.6.7"}) {
        uint32_t v;
        ASSERT_EQ(1, inet_pton(AF_INET, a, &v));
        EXPECT_NE(0, quorvel_main_stats_autorise(v)) << a;
    }
    for (const char *a : {"10.0.0.1", "128.0.0.1", "1.2.3.127", "0.0.0.0"}) {
        uint32_t v;
        ASSERT_EQ(1, inet_pton(AF_INET, a, &v));
        EXPECT_EQ(0, quorvel_main_stats_autorise(v)) << a;
    }
}

}  // namespace
