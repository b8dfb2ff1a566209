// Throughput of kvtnet_redir2 between two loopback TCP connections, against
// a direct loopback connection measured in the same run, in each direction.
//   bench_relay [MiB per direction, default 1024] [runs, default 3]
// Every figure is the best of the runs; measurements alternate direct and
// relayed so that other load on the machine hits both alike.
#include "kvtlib.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MORCEAU = 1 << 20;

// A connected loopback TCP pair, or false.
bool paire(int &a, int &b)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(l, 1) < 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        return false;
    a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (a < 0 || connect(a, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) return false;
    b = accept(l, nullptr, nullptr);
    close(l);
    return b >= 0;
}

// Sends `total` bytes on `de` and reads them on `vers`; GiB/s, or 0 when
// the stream broke.
double mesure(int de, int vers, size_t total)
{
    std::vector<char> tampon_e(MORCEAU, 'r'), tampon_l(MORCEAU);
    auto debut = std::chrono::steady_clock::now();
    std::thread ecrivain([&] {
        for (size_t envoye = 0; envoye < total;) {
            ssize_t n = write(de, tampon_e.data(), std::min(MORCEAU, total - envoye));
            if (n <= 0) return;
            envoye += static_cast<size_t>(n);
        }
    });
    size_t lu = 0;
    while (lu < total) {
        ssize_t n = read(vers, tampon_l.data(), std::min(MORCEAU, total - lu));
        if (n <= 0) break;
        lu += static_cast<size_t>(n);
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - debut).count();
    ecrivain.join();
    return lu == total ? static_cast<double>(total) / s / (1 << 30) : 0.0;
}

}  // namespace

int main(int argc, char **argv)
{
    size_t mio = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int tours = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mio == 0 || tours < 1) {
        std::fprintf(stderr, "usage: %s [MiB per direction] [runs]\n", argv[0]);
        return 2;
    }
    const size_t total = mio << 20;

    // Direct: x <-> y. Relayed: a <-> c ==kvtnet_redir2== s <-> b.
    int x, y, a, c, s, b;
    if (!paire(x, y) || !paire(a, c) || !paire(s, b)) {
        std::perror("loopback connections");
        return 1;
    }
    int resultat = 99;
    std::thread relais([&] { resultat = kvtnet_redir2(c, s); });

    double direct[2] = {0, 0}, relaye[2] = {0, 0};
    for (int t = 0; t < tours; ++t) {
        direct[0] = std::max(direct[0], mesure(x, y, total));
        relaye[0] = std::max(relaye[0], mesure(a, b, total));
        direct[1] = std::max(direct[1], mesure(y, x, total));
        relaye[1] = std::max(relaye[1], mesure(b, a, total));
    }
    shutdown(a, SHUT_WR);
    shutdown(b, SHUT_WR);
    relais.join();

    std::printf("kvtnet_redir2 over loopback TCP, %zu MiB each way, best of %d runs\n", mio, tours);
    const char *noms[2] = {"client -> server", "server -> client"};
    bool ok = resultat == 0;
    for (int d = 0; d < 2; ++d) {
        double ratio = direct[d] > 0 ? relaye[d] / direct[d] : 0;
        std::printf("%s: direct %.2f GiB/s, relay %.2f GiB/s, ratio %.2f\n", noms[d], direct[d], relaye[d],
                    ratio);
        ok = ok && relaye[d] > 0;
    }
    if (resultat != 0) std::printf("relay ended with %d\n", resultat);
    for (int fd : {x, y, a, c, s, b}) close(fd);
    return ok ? 0 : 1;
}
