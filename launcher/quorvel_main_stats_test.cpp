// The metrics endpoint's decisions: what a request line asks for, and who
// may ask; and one connection served for real on loopback: its status, its
// "Connection: close" and its orderly end whatever the client sent.
#include "quorvel_main_stats.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kvt_essai_tcp.h"
#include "kvtlib.h"

namespace {

struct Echange {
    std::string recu;
    int fin = -1;  // 0: the stream ended with a FIN; otherwise the errno (ECONNRESET)
};

// Serves one connection from loopback that sends `requete`, reads the
// answer until the stream ends (30 s at most), then closes.
Echange echange(const std::string &requete)
{
    Echange e;
    int c = -1, s = -1;
    kvt_essai_paire_tcp(c, s);
    if (c < 0 || s < 0) return e;
    auto *b = static_cast<kvtnet_bloc *>(calloc(1, sizeof(kvtnet_bloc)));
    b->socket = s;
    b->famille = AF_INET;
    b->adresse = htonl(INADDR_LOOPBACK);
    std::thread t(quorvel_main_stats_connexion, b);
    (void)send(c, requete.data(), requete.size(), MSG_NOSIGNAL);
    const auto echeance = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char tampon[4096];
    while (std::chrono::steady_clock::now() < echeance) {
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        ssize_t n = recv(c, tampon, sizeof tampon, 0);
        if (n > 0) {
            e.recu.append(tampon, static_cast<size_t>(n));
            continue;
        }
        e.fin = n == 0 ? 0 : errno;
        break;
    }
    close(c);
    t.join();
    return e;
}

TEST(QuorvelMainStats, EveryAnswerSaysConnectionCloseAndEndsWithAFin)
{
    // A body, a second request and a bad version all get their answer and
    // a FIN: the server reads what was sent before it closes.
    const std::string corps(20000, 'x');
    struct { std::string requete; const char *statut; } cas[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 "},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 "},
        {"GET /metrics HTTP/1.1\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 "},
        {"GET /metrics HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + corps, "HTTP/1.1 200 "},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + corps, "HTTP/1.1 405 "},
        {"GET /other HTTP/1.1\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
        {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 "},
        {"GET /metrics HTTP/1.1x\r\n\r\n" + corps, "HTTP/1.1 400 "},
    };
    for (const auto &c : cas) {
        const Echange e = echange(c.requete);
        const std::string ligne = c.requete.substr(0, c.requete.find('\r'));
        EXPECT_EQ(0u, e.recu.rfind(c.statut, 0)) << ligne << "\n" << e.recu.substr(0, 200);
        const size_t tete = e.recu.find("\r\n\r\n");
        ASSERT_NE(std::string::npos, tete) << ligne;
        EXPECT_NE(std::string::npos, e.recu.substr(0, tete).find("\r\nConnection: close\r\n")) << ligne;
        EXPECT_EQ(std::string::npos, e.recu.find("Connexion")) << ligne;
        // Exactly one answer: its Content-Length covers the rest.
        const size_t cl = e.recu.find("Content-Length: ");
        ASSERT_NE(std::string::npos, cl) << ligne;
        EXPECT_EQ(strtoul(e.recu.c_str() + cl + 16, nullptr, 10), e.recu.size() - tete - 4) << ligne;
        EXPECT_EQ(0, e.fin) << ligne << ": " << strerror(e.fin);
    }
}

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
        {"GET /metrics HTTP/2.0\r\n\r\n", 400},
        {"GET /metrics HTTP/1.2\r\n\r\n", 400},
        {"GET /metrics HTTP/\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1 \r\n\r\n", 400},
        {"GET /metrics http/1.1\r\n\r\n", 400},
        {"GET /metrics HTTP/1.10\r\n\r\n", 400},
        {"POST /metrics HTTP/0.9\r\n\r\n", 400},
        {"GET /x HTTP/1.0\r\n\r\n", 404},
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
