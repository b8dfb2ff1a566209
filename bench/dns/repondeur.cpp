// dns_repondeur ADDRESS ANSWER: a DNS server for the benchmark that answers
// every query on ADDRESS:53 with one A record ANSWER, in batches, so that the
// upstream is never what limits the figures. It keeps the question, drops
// any additional records (EDNS) and never looks the name up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int LOT = 64;
constexpr int TAILLE = 4096;

// Turns the query of `n` bytes in `m` into its answer; the new length, or 0
// for anything that is not a one-question query.
int repond(unsigned char *m, int n, const unsigned char adresse[4])
{
    if (n < 12 || (m[2] & 0x80) || m[4] != 0 || m[5] != 1) return 0;
    int i = 12;
    while (i < n && m[i] != 0) {
        if (m[i] > 63) return 0;
        i += 1 + m[i];
    }
    i += 5;  // the root label, type and class
    if (i > n || i + 16 > TAILLE) return 0;
    m[2] = static_cast<unsigned char>(0x84 | (m[2] & 0x01));  // answer, authoritative, RD kept
    m[3] = 0x80;                                              // recursion available, NOERROR
    m[6] = 0, m[7] = 1;                                       // one answer
    std::memset(m + 8, 0, 4);                                 // no authority, no additional
    const unsigned char rr[12] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    std::memcpy(m + i, rr, sizeof rr);
    std::memcpy(m + i + 12, adresse, 4);
    return i + 16;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ADDRESS ANSWER\n", argv[0]);
        return 2;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    unsigned char adresse[4];
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || inet_pton(AF_INET, argv[2], adresse) != 1) {
        std::fprintf(stderr, "%s: bad address\n", argv[0]);
        return 2;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int grand = 4 << 20;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &grand, sizeof grand);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        std::perror("dns_repondeur: bind");
        return 1;
    }
    static unsigned char tampons[LOT][TAILLE];
    sockaddr_in de[LOT];
    iovec iov[LOT];
    mmsghdr msg[LOT];
    for (;;) {
        for (int k = 0; k < LOT; ++k) {
            iov[k] = {tampons[k], TAILLE};
            msg[k] = {};
            msg[k].msg_hdr.msg_name = &de[k];
            msg[k].msg_hdr.msg_namelen = sizeof de[k];
            msg[k].msg_hdr.msg_iov = &iov[k];
            msg[k].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(s, msg, LOT, MSG_WAITFORONE, nullptr);
        if (n < 0) continue;
        int sortants = 0;  // answers packed at the front of msg[]
        for (int k = 0; k < n; ++k) {
            const int l = repond(tampons[k], static_cast<int>(msg[k].msg_len), adresse);
            if (l == 0) continue;
            iov[k].iov_len = static_cast<size_t>(l);
            if (sortants != k) msg[sortants] = msg[k];
            ++sortants;
        }
        for (int fait = 0; fait < sortants;) {
            const int r = ::sendmmsg(s, msg + fait, static_cast<unsigned>(sortants - fait), 0);
            if (r <= 0) break;
            fait += r;
        }
    }
}
