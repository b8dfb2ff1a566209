// tunnel_plancher: the least a thread-per-connection CONNECT proxy can do, as
// a floor for bench/tunnel: no allowed-host check, no caps, no deadline, no
// log, no buffer budget, no keepalive. Beside the real proxy in the same run
// it shows what this machine allows any such proxy, so a goal above it is a
// goal for the machine, not for the code.
//
//   tunnel_plancher PORT [copie|splice] [THREADS]
//       listens on 127.0.0.1:PORT; THREADS threads (default 64) each accept
//       and serve one connection at a time: read the head, connect to the
//       127.0.0.1 port it names, answer 200, then move bytes both ways
//       (read/write through 4 MiB, or splice through a pipe per direction)
//       until both sides have ended. Ends by itself after 30 minutes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t MORCEAU = 4 << 20;
constexpr size_t TUBE = 1 << 20;
bool par_splice = false;
constexpr int UN = 1;

bool ecrit_tout(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// One direction's turn once `de` is readable: false when it has ended.
bool passe(int de, int vers, char *tampon, const int tube[2])
{
    if (!par_splice) {
        ssize_t n = ::recv(de, tampon, MORCEAU, 0);
        return n > 0 && ecrit_tout(vers, tampon, static_cast<size_t>(n));
    }
    ssize_t n = ::splice(de, nullptr, tube[1], nullptr, TUBE, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n <= 0) return false;
    while (n > 0) {
        ssize_t k = ::splice(tube[0], nullptr, vers, nullptr, static_cast<size_t>(n), SPLICE_F_MOVE);
        if (k <= 0) return false;
        n -= k;
    }
    return true;
}

void relaie(int a, int b, char *tampon)
{
    int tubes[2][2] = {{-1, -1}, {-1, -1}};
    if (par_splice)
        for (auto &t : tubes)
            if (::pipe2(t, O_CLOEXEC) != 0) return;
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    const int autre[2] = {b, a};
    int ouverts = 2;
    while (ouverts > 0 && ::poll(p, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            if (!passe(p[i].fd, autre[i], tampon, tubes[i])) {
                ::shutdown(autre[i], SHUT_WR);
                p[i].fd = -1;
                --ouverts;
            }
        }
    }
    if (par_splice)
        for (auto &t : tubes) { ::close(t[0]); ::close(t[1]); }
}

void sert(int c, char *tampon)
{
    size_t lu = 0;
    char tete[4096];
    while (lu < sizeof tete - 1) {
        ssize_t n = ::recv(c, tete + lu, sizeof tete - 1 - lu, 0);
        if (n <= 0) return;
        lu += static_cast<size_t>(n);
        tete[lu] = 0;
        if (std::strstr(tete, "\r\n\r\n") != nullptr) break;
    }
    int port = 0;
    if (std::sscanf(tete, "CONNECT 127.0.0.1:%d ", &port) != 1) return;
    int u = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::setsockopt(u, IPPROTO_TCP, TCP_NODELAY, &UN, sizeof UN);
    static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (::connect(u, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && ecrit_tout(c, ok, sizeof ok - 1))
        relaie(c, u, tampon);
    ::close(u);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [copie|splice] [THREADS]\n", argv[0]);
        return 2;
    }
    par_splice = argc > 2 && std::strcmp(argv[2], "splice") == 0;
    const int fils = argc > 3 ? std::atoi(argv[3]) : 64;
    int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &UN, sizeof UN);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(l, 4096) != 0) {
        std::perror("tunnel_plancher");
        return 1;
    }
    for (int i = 0; i < fils; ++i)
        std::thread([l] {
            std::vector<char> tampon(par_splice ? 0 : MORCEAU);
            for (;;) {
                int c = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &UN, sizeof UN);
                sert(c, tampon.data());
                ::close(c);
            }
        }).detach();
    ::sleep(30 * 60);
    return 0;
}
