// The CONNECT path shared by the tunnel and the HTTP proxy: the service's
// own words in its lines and counters, the targets it refuses, its pages.
#include "quorvel_tunnel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <string>

namespace {

std::atomic<uint64_t> tunnels{0}, pages{0}, bloques{0};
std::atomic<int> inactif{0};

int jamais(const char *) { return 0; }
int toujours(const char *) { return 1; }
// Port 9 of any address counts as the proxy's own here.
int boucle_9(uint32_t, int port) { return port == 9; }

quorvel_tunnel_service service(int (*bloque)(const char *))
{
    return {"ESSAI", "essai", &tunnels, nullptr, &pages, &bloques, nullptr, nullptr, &inactif, bloque, boucle_9};
}

std::string lit_tout(int s)
{
    std::string r;
    char b[4096];
    ssize_t n;
    while ((n = ::recv(s, b, sizeof b, 0)) > 0) r.append(b, static_cast<size_t>(n));
    return r;
}

TEST(QuorvelTunnel, ForbiddenTargetsAreRefusedBeforeAnyConnection)
{
    const quorvel_tunnel_service sv = service(jamais);
    const uint32_t lan = inet_addr("10.0.0.7"), local = inet_addr("127.0.0.1");
    // Loopback from a LAN client, the proxy's own port from anyone.
    EXPECT_EQ(QUORVEL_TUNNEL_INTERDIT, quorvel_tunnel_joint(&sv, -1, lan, "127.0.0.1", 80, nullptr));
    EXPECT_EQ(QUORVEL_TUNNEL_INTERDIT, quorvel_tunnel_joint(&sv, -1, lan, "0.0.0.0", 80, nullptr));
    EXPECT_EQ(QUORVEL_TUNNEL_INTERDIT, quorvel_tunnel_joint(&sv, -1, local, "127.0.0.1", 9, nullptr));
    // Loopback from the gateway itself: only refused when nothing listens.
    EXPECT_EQ(QUORVEL_TUNNEL_CONNEXION, quorvel_tunnel_joint(&sv, -1, local, "127.0.0.1", 1, nullptr));
    EXPECT_EQ(QUORVEL_TUNNEL_ERREUR, quorvel_tunnel_joint(&sv, -1, local, nullptr, 1, nullptr));
}

TEST(QuorvelTunnel, BlockedConnectGetsThePageAndIsCounted)
{
    const quorvel_tunnel_service sv = service(toujours);
    int paire[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, paire));
    const uint64_t p = pages.load(), b = bloques.load();
    EXPECT_EQ(403, quorvel_tunnel_connect(&sv, paire[1], inet_addr("10.0.0.7"), htons(1234), "ads.test", 443, -1));
    ::close(paire[1]);
    const std::string r = lit_tout(paire[0]);
    ::close(paire[0]);
    EXPECT_EQ(0u, r.find("HTTP/1.1 403 Forbidden\r\n"));
    EXPECT_NE(std::string::npos, r.find("<H1>Blocked</H1>"));
    EXPECT_EQ(p + 1, pages.load());
    EXPECT_EQ(b + 1, bloques.load());
}

TEST(QuorvelTunnel, TunnelRelaysAfterThe200)
{
    const quorvel_tunnel_service sv = service(jamais);
    const int ecoute = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(ecoute, reinterpret_cast<sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(ecoute, 1));
    socklen_t l = sizeof a;
    ::getsockname(ecoute, reinterpret_cast<sockaddr *>(&a), &l);
    int paire[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, paire));
    ASSERT_EQ(4, ::send(paire[0], "ping", 4, 0));
    ::shutdown(paire[0], SHUT_WR);
    quorvel_tunnel_bilan bl;
    const uint64_t t = tunnels.load();
    // The target answers "pong" and closes once it has read the ping.
    std::string vu;
    std::thread cible([&] {
        const int s = ::accept(ecoute, nullptr, nullptr);
        vu = lit_tout(s);
        ::send(s, "pong", 4, MSG_NOSIGNAL);
        ::close(s);
    });
    EXPECT_EQ(0, quorvel_tunnel_etablit(&sv, paire[1], inet_addr("127.0.0.1"), "127.0.0.1", ntohs(a.sin_port), &bl));
    cible.join();
    ::close(paire[1]);
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\npong", lit_tout(paire[0]));
    EXPECT_EQ("ping", vu);
    EXPECT_EQ(4u, bl.montants);
    EXPECT_EQ(4u, bl.descendants);
    EXPECT_EQ(inet_addr("127.0.0.1"), bl.adresse);
    EXPECT_EQ(t + 1, tunnels.load());
    ::close(paire[0]);
    ::close(ecoute);
}

TEST(QuorvelTunnel, OwnPortsComeFromTheServicesSwitchedOn)
{
    char modele[] = "/tmp/quorvel_tunnel_testXXXXXX";
    const int fd = ::mkstemp(modele);
    ASSERT_GE(fd, 0);
    const std::string texte = "[SSL]\nSSLEnabled=yes\nSSLPort=8443\n[HTTP_FTP]\nHTTPEnabled=no\nHTTPPort=3129\n"
                              "[DNS]\nDNSEnabled=yes\n[Main]\nStatsPort=9109\n";
    ASSERT_EQ(static_cast<ssize_t>(texte.size()), ::write(fd, texte.data(), texte.size()));
    ::close(fd);
    ASSERT_EQ(0, kvtcfg_init(modele));
    quorvel_tunnel_lit_ports();
    for (int p : {8443, 53, 9109}) EXPECT_EQ(1, quorvel_tunnel_port_propre(p)) << p;
    for (int p : {0, -1, 3129, 8080, 80}) EXPECT_EQ(0, quorvel_tunnel_port_propre(p)) << p;
    std::remove(modele);
}

TEST(QuorvelTunnel, LiteralsAndLocalTargets)
{
    for (const char *h : {"10.0.0.1", "127.1", "::1", "[::1]", "[fe80::1]"}) EXPECT_EQ(1, quorvel_tunnel_adresse_litterale(h)) << h;
    for (const char *h : {"a.test", "[a.test]", "", "[]"}) EXPECT_EQ(0, quorvel_tunnel_adresse_litterale(h)) << h;
    EXPECT_EQ(1, quorvel_tunnel_cible_locale(inet_addr("127.8.0.1")));
    EXPECT_EQ(1, quorvel_tunnel_cible_locale(0));
    EXPECT_EQ(0, quorvel_tunnel_cible_locale(inet_addr("10.0.0.1")));
    char texte[8];
    quorvel_tunnel_hote_sur("a\x01\x7f" "bcdefgh", texte, sizeof texte);
    EXPECT_STREQ("a??bcde", texte);
}

}  // namespace
