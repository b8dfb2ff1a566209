/* Reading the question of a query and writing the relay's own NXDOMAIN
 * answer, for ad blocking. The name is read by the one message reader
 * (quorvel_dns_message.h); this file only keeps the dotted text that the
 * block list is matched with. */
#include "quorvel_dns_question.h"

#include <cstring>

#include "quorvel_dns_message.h"

int quorvel_dns_question_lit(const unsigned char *d, size_t n, quorvel_dns_question *q)
{
    if (d == nullptr || q == nullptr) return -1;
    quorvel_dns_msg_question m;
    // A name with a dot or a NUL inside a label has no faithful dotted text:
    // it is left to the upstream rather than matched wrongly.
    if (quorvel_dns_msg_classe(d, n, &m) != QUORVEL_DNS_MSG_LUE || quorvel_dns_msg_u16(d + 4) != 1 ||
        !m.texte_fidele)
        return -1;
    std::memcpy(q->nom, m.texte, m.longueur);
    q->nom[m.longueur] = '\0';
    q->longueur = m.longueur;
    q->type = m.type;
    q->classe = m.classe;
    q->fin = m.fin;
    return 0;
}

int quorvel_dns_nxdomain(const unsigned char *d, size_t fin, unsigned char *reponse, size_t capacite)
{
    if (d == nullptr || reponse == nullptr || fin < QUORVEL_DNS_ENTETE || capacite < fin) return -1;
    std::memcpy(reponse, d, fin);
    reponse[2] = static_cast<unsigned char>(0x80 | (d[2] & 0x01));  // QR, opcode 0, RD as asked
    reponse[3] = 0x80 | 3;                                          // RA, NXDOMAIN
    std::memset(reponse + 6, 0, 6);                                 // AN, NS, AR: 0
    return static_cast<int>(fin);
}
