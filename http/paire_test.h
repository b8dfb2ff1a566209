// Test helper shared by the HTTP library's tests: both ends of a connected
// stream pair, closed at the end of the test.
#ifndef PAIRE_TEST_H
#define PAIRE_TEST_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

struct paire {
    int fd[2] = {-1, -1};
    paire() { EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fd)); }
    ~paire()
    {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    paire(const paire &) = delete;
    paire &operator=(const paire &) = delete;
    // What is waiting at end 1 right now, without blocking.
    std::string disponible()
    {
        ::fcntl(fd[1], F_SETFL, ::fcntl(fd[1], F_GETFL) | O_NONBLOCK);
        std::string s;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd[1], buf, sizeof buf, 0)) > 0) s.append(buf, static_cast<size_t>(n));
        return s;
    }
};

#endif
