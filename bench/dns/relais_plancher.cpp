// relais_plancher: the least a DNS forwarder can do, as a floor for
// bench/dns: one socket, batches of 32 datagrams each way, no allowed-host
// check, no identifier of its own, no slot rules, no counters. A query goes
// to one of the two upstreams at random under its own identifier; an answer
// goes to the last client that used that identifier. Beside the relay in
// the same run it shows what this machine allows any forwarder.
//
// With "port", every query leaves from a socket of its own on a port the
// kernel draws for it (sockets kept between queries, the port given back
// after the answer): what a port per query costs any forwarder.
//
//   relais_plancher ADDRESS PORT UPSTREAM1 UPSTREAM2 [port]
//       upstreams on port 53; ends by itself after 30 minutes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned LOT = 32;
constexpr size_t TAILLE = 4096;

sockaddr_in adresse(const char *texte, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, texte, &sa.sin_addr) != 1) {
        std::fprintf(stderr, "relais_plancher: bad address %s\n", texte);
        std::exit(2);
    }
    return sa;
}

sockaddr_in clients[65536];
mmsghdr entrees[LOT], sorties[LOT];
iovec iov_e[LOT], iov_s[LOT];
sockaddr_in de[LOT];
char tampons[LOT][TAILLE];

// One query per socket of its own: the client it came from, or none.
struct place {
    int fd = -1;
    sockaddr_in client{};
    bool prise = false;
};

void par_port(int s, const sockaddr_in amont[2], std::chrono::steady_clock::time_point fin)
{
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = UINT32_MAX;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
    std::vector<place> places;
    std::vector<unsigned> libres;
    char tampon[TAILLE];
    epoll_event prets[128];
    while (std::chrono::steady_clock::now() < fin) {
        const int n = ::epoll_wait(ep, prets, 128, 1000);
        for (int e = 0; e < n; ++e) {
            const uint32_t i = prets[e].data.u32;
            if (i != UINT32_MAX) {
                place &p = places[i];
                const ssize_t lu = ::recv(p.fd, tampon, TAILLE, MSG_DONTWAIT);
                if (lu < 12 || !p.prise) continue;
                ::sendto(s, tampon, static_cast<size_t>(lu), 0, reinterpret_cast<sockaddr *>(&p.client), sizeof p.client);
                // The port goes back to the kernel; the socket waits for the next query.
                sockaddr sans{};
                sans.sa_family = AF_UNSPEC;
                ::connect(p.fd, &sans, sizeof sans);
                p.prise = false;
                libres.push_back(i);
                continue;
            }
            for (unsigned i = 0; i < LOT; ++i) {
                entrees[i].msg_hdr.msg_name = &de[i];
                entrees[i].msg_hdr.msg_namelen = sizeof de[i];
            }
            const int m = ::recvmmsg(s, entrees, LOT, MSG_DONTWAIT, nullptr);
            for (int q = 0; q < m; ++q) {
                if (entrees[q].msg_len < 12) continue;
                if (libres.empty()) {
                    place p;
                    p.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                    if (p.fd < 0) continue;
                    epoll_event e2{};
                    e2.events = EPOLLIN;
                    e2.data.u32 = static_cast<uint32_t>(places.size());
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, p.fd, &e2);
                    libres.push_back(static_cast<unsigned>(places.size()));
                    places.push_back(p);
                }
                place &p = places[libres.back()];
                libres.pop_back();
                p.client = de[q];
                p.prise = true;
                const sockaddr_in &vers = amont[(std::rand() & 0x100) != 0 ? 0 : 1];
                ::sendto(p.fd, tampons[q], entrees[q].msg_len, 0, reinterpret_cast<const sockaddr *>(&vers), sizeof vers);
            }
        }
    }
}

void simple(int s, const sockaddr_in amont[2], std::chrono::steady_clock::time_point fin)
{
    while (std::chrono::steady_clock::now() < fin) {
        for (unsigned i = 0; i < LOT; ++i) {
            entrees[i].msg_hdr.msg_name = &de[i];
            entrees[i].msg_hdr.msg_namelen = sizeof de[i];
        }
        const int n = ::recvmmsg(s, entrees, LOT, MSG_WAITFORONE, nullptr);
        if (n <= 0) continue;
        unsigned k = 0;
        for (int i = 0; i < n; ++i) {
            const size_t lu = entrees[i].msg_len;
            if (lu < 12) continue;
            const unsigned id = (static_cast<unsigned char>(tampons[i][0]) << 8) | static_cast<unsigned char>(tampons[i][1]);
            const sockaddr_in *vers;
            if (de[i].sin_addr.s_addr == amont[0].sin_addr.s_addr || de[i].sin_addr.s_addr == amont[1].sin_addr.s_addr) {
                vers = &clients[id];
                if (vers->sin_family != AF_INET) continue;
            } else {
                clients[id] = de[i];
                vers = &amont[(std::rand() & 0x100) != 0 ? 0 : 1];
            }
            iov_s[k] = {tampons[i], lu};
            sorties[k].msg_hdr = msghdr{};
            sorties[k].msg_hdr.msg_name = const_cast<sockaddr_in *>(vers);
            sorties[k].msg_hdr.msg_namelen = sizeof *vers;
            sorties[k].msg_hdr.msg_iov = &iov_s[k];
            sorties[k].msg_hdr.msg_iovlen = 1;
            ++k;
        }
        for (unsigned fait = 0; fait < k;) {
            const int r = ::sendmmsg(s, sorties + fait, k - fait, 0);
            fait += r > 0 ? static_cast<unsigned>(r) : 1;  // a refused datagram is skipped
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT UPSTREAM1 UPSTREAM2 [port]\n", argv[0]);
        return 2;
    }
    const sockaddr_in ici = adresse(argv[1], std::atoi(argv[2]));
    const sockaddr_in amont[2] = {adresse(argv[3], 53), adresse(argv[4], 53)};
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ::bind(s, reinterpret_cast<const sockaddr *>(&ici), sizeof ici) != 0) {
        std::perror("relais_plancher");
        return 1;
    }
    // Wakes at least once a second, so the time limit is seen without traffic.
    timeval seconde{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &seconde, sizeof seconde);
    for (unsigned i = 0; i < LOT; ++i) {
        iov_e[i] = {tampons[i], TAILLE};
        entrees[i].msg_hdr = msghdr{};
        entrees[i].msg_hdr.msg_iov = &iov_e[i];
        entrees[i].msg_hdr.msg_iovlen = 1;
    }
    const auto fin = std::chrono::steady_clock::now() + std::chrono::minutes(30);
    if (argc == 6 && std::strcmp(argv[5], "port") == 0)
        par_port(s, amont, fin);
    else
        simple(s, amont, fin);
    return 0;
}
