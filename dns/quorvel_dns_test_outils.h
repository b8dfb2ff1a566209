// Loopback sockets and datagram helpers shared by the relay's unit tests.
#ifndef QUORVEL_DNS_TEST_OUTILS_H
#define QUORVEL_DNS_TEST_OUTILS_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kvt_raii.h"
#include "quorvel_dns.h"
#include "quorvel_dns_table.h"
#include "quorvel_ip_mask.h"

inline uint32_t ip(const char *texte)
{
    in_addr a{};
    EXPECT_EQ(1, inet_pton(AF_INET, texte, &a)) << texte;
    return a.s_addr;
}

inline void vide_anneau()
{
    quorvel_dns_table_vide();
}

inline int udp(const char *adresse, uint16_t port_hote)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_hote);
    sa.sin_addr.s_addr = ip(adresse);
    // A datagram that is due may come late on a loaded machine; one that is
    // missing costs 30 s, never a hang. Checks that nothing came use rien().
    timeval tv{30, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int grand = 1 << 20;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &grand, sizeof grand);
    if (::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

inline sockaddr_in nom(int s)
{
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &l);
    return sa;
}

// The next datagram waiting on `s` with its sender, or "" after 30 s.
inline std::string recoit(int s, sockaddr_in *de = nullptr)
{
    std::vector<char> b(70000);
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    ssize_t n = ::recvfrom(s, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), &l);
    if (de != nullptr) *de = sa;
    return n < 0 ? std::string() : std::string(b.data(), static_cast<size_t>(n));
}

// What came on `s` within 0.2 s, "" when nothing did: for datagrams that
// must not come (a late one would still fail the next recoit).
inline std::string rien(int s)
{
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 200) == 1 ? recoit(s) : std::string();
}

// An empty ring, the relay socket on 127.0.0.1, and both upstreams on
// 127.0.0.2 and 127.0.0.3 at one port, which plays the part of port 53; the
// relay's settings point at them.
inline void prepare_bouclage(kvt_fd &relais, kvt_fd &amont1, kvt_fd &amont2)
{
    vide_anneau();
    if (nb_hotes == 0) quorvel_ip_mask_charge();  // 127.0.0.1 only: no configuration
    relais.fd = udp("127.0.0.1", 0);
    ASSERT_TRUE(relais);
    for (int essai = 0; essai < 20 && !amont2; ++essai) {
        amont1.fd = udp("127.0.0.2", 0);
        ASSERT_TRUE(amont1);
        amont2.fd = udp("127.0.0.3", ntohs(nom(amont1.fd).sin_port));
        if (!amont2) ::close(amont1.release());
    }
    ASSERT_TRUE(amont2);
    quorvel_dns_port = nom(amont1.fd).sin_port;
    quorvel_dns_serveur1 = ip("127.0.0.2");
    quorvel_dns_serveur2 = ip("127.0.0.3");
}

#endif
