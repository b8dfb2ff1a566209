// Test helper shared by the tests of the support library and the launcher:
// a connected loopback TCP pair.
#ifndef KVT_ESSAI_TCP_H
#define KVT_ESSAI_TCP_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// `client` connected to the accepted `serveur`; `recu` > 0 sets the
// listener's receive buffer first, which the accepted socket inherits.
inline void kvt_essai_paire_tcp(int &client, int &serveur, int recu = 0)
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(l, 0);
    if (recu > 0) {
        ASSERT_EQ(0, setsockopt(l, SOL_SOCKET, SO_RCVBUF, &recu, sizeof recu));
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(0, bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    ASSERT_EQ(0, listen(l, 1));
    ASSERT_EQ(0, getsockname(l, reinterpret_cast<sockaddr *>(&sa), &len));
    client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    serveur = accept(l, nullptr, nullptr);
    close(l);
    ASSERT_GE(serveur, 0);
}

#endif
