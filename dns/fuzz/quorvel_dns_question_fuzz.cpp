// libFuzzer target: arbitrary datagrams through the question reader; what
// it accepts must lie within the datagram and give an answer of its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quorvel_dns_question.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    // An exact-size copy, so that ASan faults on any read past the datagram.
    std::vector<unsigned char> d(donnees, donnees + taille);
    quorvel_dns_question q;
    if (quorvel_dns_question_lit(d.data(), d.size(), &q) != 0) return 0;
    if (q.fin > taille || q.longueur > 253 || std::strlen(q.nom) != q.longueur) std::abort();
    unsigned char r[QUORVEL_DNS_ENTETE + QUORVEL_DNS_NOM_MAX + 4];
    if (quorvel_dns_nxdomain(d.data(), q.fin, r, sizeof r) != static_cast<int>(q.fin)) std::abort();
    if ((r[2] & 0x80) == 0 || (r[3] & 0x0F) != 3) std::abort();
    return 0;
}
