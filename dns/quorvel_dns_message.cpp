/* The DNS message reader. Every offset is checked against the length before
 * the byte under it is read; sums are written as differences (`l > n - i`)
 * so that no addition can wrap. */
#include "quorvel_dns_message.h"

#include <cstring>

namespace {

// A chain of pointers longer than this is no compressor's work. Each jump
// must also go backwards, which alone ends any walk; the limit keeps the
// cost of one name small whatever a forger writes.
constexpr int SAUTS_MAX = 127;

}  // namespace

int quorvel_dns_msg_entete_lit(const unsigned char *d, size_t n, quorvel_dns_msg_entete *e)
{
    if (d == nullptr || e == nullptr || n < QUORVEL_DNS_MSG_ENTETE) return -1;
    e->id = quorvel_dns_msg_u16(d);
    e->drapeaux = quorvel_dns_msg_u16(d + 2);
    e->nb_questions = quorvel_dns_msg_u16(d + 4);
    e->nb_reponses = quorvel_dns_msg_u16(d + 6);
    e->nb_autorite = quorvel_dns_msg_u16(d + 8);
    e->nb_additionnels = quorvel_dns_msg_u16(d + 10);
    return 0;
}

int quorvel_dns_msg_question_lit(const unsigned char *d, size_t n, quorvel_dns_msg_question *q)
{
    if (d == nullptr || q == nullptr || n < QUORVEL_DNS_MSG_ENTETE) return -1;
    size_t i = QUORVEL_DNS_MSG_ENTETE;
    size_t l = 0;  // bytes of text so far
    bool fidele = true;
    for (;;) {
        if (i >= n) return -1;
        const unsigned taille = d[i++];
        if (taille == 0) break;
        // 0xC0 is a pointer, 0x40 and 0x80 reserved label types: all over 63.
        if (taille > 63) return -1;
        if (taille > n - i) return -1;
        // On the wire: each label's length byte, its bytes, and the root's zero.
        if (i - QUORVEL_DNS_MSG_ENTETE + taille + 1 > QUORVEL_DNS_MSG_NOM_MAX) return -1;
        // A dot or a NUL inside a label has no faithful dotted text.
        if (std::memchr(d + i, '.', taille) != nullptr || std::memchr(d + i, '\0', taille) != nullptr)
            fidele = false;
        if (fidele) {
            if (l > 0) q->texte[l++] = '.';
            std::memcpy(q->texte + l, d + i, taille);
            l += taille;
        }
        i += taille;
    }
    if (n - i < 4) return -1;
    q->nom_fin = i;
    q->type = quorvel_dns_msg_u16(d + i);
    q->classe = quorvel_dns_msg_u16(d + i + 2);
    q->fin = i + 4;
    q->texte_fidele = fidele ? 1 : 0;
    q->longueur = fidele ? l : 0;
    q->texte[q->longueur] = '\0';
    return 0;
}

int quorvel_dns_msg_classe(const unsigned char *d, size_t n, quorvel_dns_msg_question *q)
{
    quorvel_dns_msg_entete e;
    if (quorvel_dns_msg_entete_lit(d, n, &e) < 0) return QUORVEL_DNS_MSG_TRANSMET;
    if ((e.drapeaux & QUORVEL_DNS_MSG_QR) != 0 || quorvel_dns_msg_opcode(&e) != 0) return QUORVEL_DNS_MSG_TRANSMET;
    // Without a question (a cookie refresh) there is nothing to read.
    if (e.nb_questions == 0) return QUORVEL_DNS_MSG_TRANSMET;
    if (e.nb_questions > 1) return QUORVEL_DNS_MSG_FORMERR;
    // What the relay cannot read, the upstream must not read for it either:
    // a pointer would carry a blocked name past the list.
    if (quorvel_dns_msg_question_lit(d, n, q) < 0) return QUORVEL_DNS_MSG_FORMERR;
    return QUORVEL_DNS_MSG_LUE;
}

int quorvel_dns_msg_formerr(const unsigned char *d, size_t n, unsigned char *reponse, size_t capacite)
{
    if (d == nullptr || reponse == nullptr || n < QUORVEL_DNS_MSG_ENTETE || capacite < QUORVEL_DNS_MSG_ENTETE)
        return -1;
    std::memset(reponse, 0, QUORVEL_DNS_MSG_ENTETE);
    reponse[0] = d[0];
    reponse[1] = d[1];
    reponse[2] = static_cast<unsigned char>(0x80 | (d[2] & 0x01));  // QR, opcode 0, RD as asked
    reponse[3] = 0x80 | 1;                                          // RA, FORMERR
    return QUORVEL_DNS_MSG_ENTETE;
}

int quorvel_dns_msg_meme_question(const unsigned char *a, size_t na, const unsigned char *b, size_t nb)
{
    quorvel_dns_msg_question qa, qb;
    if (quorvel_dns_msg_question_lit(a, na, &qa) < 0 || quorvel_dns_msg_question_lit(b, nb, &qb) < 0 ||
        qa.fin != qb.fin || quorvel_dns_msg_u16(a + 4) != 1 || quorvel_dns_msg_u16(b + 4) != 1)
        return 0;
    // Length bytes are below 64, never letters: folding them is harmless.
    for (size_t i = QUORVEL_DNS_MSG_ENTETE; i < qa.nom_fin; ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return 0;
    }
    return std::memcmp(a + qa.nom_fin, b + qb.nom_fin, 4) == 0 ? 1 : 0;
}

size_t quorvel_dns_msg_nom_fin(const unsigned char *d, size_t n, size_t i)
{
    if (d == nullptr) return 0;
    size_t fin = 0;       // past the first pointer, once one was followed
    size_t segment = i;   // start of the labels being read: a pointer must go before it
    size_t total = 0;     // wire bytes of the name so far
    int sauts = 0;
    for (;;) {
        if (i >= n) return 0;
        const unsigned l = d[i];
        if (l == 0) return fin != 0 ? fin : i + 1;
        if ((l & 0xC0) == 0xC0) {
            if (n - i < 2) return 0;
            const size_t cible = (size_t{l} & 0x3F) << 8 | d[i + 1];
            if (cible >= segment || cible < QUORVEL_DNS_MSG_ENTETE || ++sauts > SAUTS_MAX) return 0;
            if (fin == 0) fin = i + 2;
            i = segment = cible;
            continue;
        }
        if (l > 63) return 0;
        if (l >= n - i) return 0;  // the label and at least one byte after it
        total += 1 + l;
        if (total + 1 > QUORVEL_DNS_MSG_NOM_MAX) return 0;
        i += 1 + l;
    }
}

int quorvel_dns_msg_rr_lit(const unsigned char *d, size_t n, size_t *i, quorvel_dns_msg_rr *rr)
{
    const size_t debut = *i;
    const size_t apres_nom = quorvel_dns_msg_nom_fin(d, n, debut);
    if (apres_nom == 0 || n - apres_nom < 10) return -1;
    const unsigned char *p = d + apres_nom;
    rr->debut = debut;
    rr->type = quorvel_dns_msg_u16(p);
    rr->classe = quorvel_dns_msg_u16(p + 2);
    rr->ttl_pos = apres_nom + 4;
    rr->ttl = quorvel_dns_msg_u32(p + 4);
    rr->rdlongueur = quorvel_dns_msg_u16(p + 8);
    rr->rdata = apres_nom + 10;
    if (rr->rdlongueur > n - rr->rdata) return -1;
    *i = rr->rdata + rr->rdlongueur;
    return 0;
}

namespace {

// SOA data: two names within the data, then exactly 20 bytes of which the
// last 4 are MINIMUM.
bool lit_soa(const unsigned char *d, const quorvel_dns_msg_rr &rr, uint32_t *minimum)
{
    const size_t fin = rr.rdata + rr.rdlongueur;
    // Bounded by the data's end: a name may point back anywhere, but its
    // own bytes stay inside the record.
    const size_t mname = quorvel_dns_msg_nom_fin(d, fin, rr.rdata);
    if (mname == 0) return false;
    const size_t rname = quorvel_dns_msg_nom_fin(d, fin, mname);
    if (rname == 0 || fin - rname != 20) return false;
    *minimum = quorvel_dns_msg_u32(d + fin - 4);
    return true;
}

}  // namespace

int quorvel_dns_msg_parcourt(const unsigned char *d, size_t n, quorvel_dns_msg_resume *r, uint16_t *ttl,
                             size_t capacite, size_t *nb_ttl)
{
    if (r == nullptr || quorvel_dns_msg_entete_lit(d, n, &r->e) < 0) return -1;
    // Offsets are stored in 16 bits: no DNS message is longer.
    if (ttl != nullptr && n > 65535) return -1;
    size_t i = QUORVEL_DNS_MSG_ENTETE;
    for (unsigned k = 0; k < r->e.nb_questions; ++k) {
        const size_t apres = quorvel_dns_msg_nom_fin(d, n, i);
        if (apres == 0 || n - apres < 4) return -1;
        i = apres + 4;
    }
    r->fin_questions = i;
    r->ttl_min = UINT32_MAX;
    r->soa = r->opt = r->tsig = 0;
    r->soa_ttl = r->soa_minimum = 0;
    r->opt_debut = r->opt_rdata = 0;
    r->opt_taille = r->opt_rdlongueur = 0;
    r->opt_rcode = r->opt_version = 0;
    r->opt_do = r->opt_dernier = 0;
    size_t nb = 0;
    const unsigned comptes[3] = {r->e.nb_reponses, r->e.nb_autorite, r->e.nb_additionnels};
    for (int section = 1; section <= 3; ++section)
        for (unsigned k = 0; k < comptes[section - 1]; ++k) {
            quorvel_dns_msg_rr rr;
            if (quorvel_dns_msg_rr_lit(d, n, &i, &rr) < 0) return -1;
            rr.section = section;
            r->opt_dernier = 0;
            if (rr.type == QUORVEL_DNS_MSG_OPT) {
                // One OPT, in the additional section, owned by the root.
                if (section != 3 || r->opt || d[rr.debut] != 0) return -1;
                r->opt = 1;
                r->opt_debut = rr.debut;
                r->opt_rdata = rr.rdata;
                r->opt_rdlongueur = rr.rdlongueur;
                r->opt_taille = rr.classe;
                r->opt_rcode = static_cast<uint8_t>(rr.ttl >> 24);
                r->opt_version = static_cast<uint8_t>(rr.ttl >> 16);
                r->opt_do = (rr.ttl & 0x8000u) != 0;
                r->opt_dernier = 1;
                continue;
            }
            if (rr.type == QUORVEL_DNS_MSG_TSIG) r->tsig = 1;
            // A TTL with its top bit set means 0 (RFC 2181, 8).
            const uint32_t t = (rr.ttl & 0x80000000u) != 0 ? 0 : rr.ttl;
            if (t < r->ttl_min) r->ttl_min = t;
            if (section == 2 && rr.type == QUORVEL_DNS_MSG_SOA && !r->soa) {
                uint32_t minimum;
                if (!lit_soa(d, rr, &minimum)) return -1;
                r->soa = 1;
                r->soa_ttl = t;
                r->soa_minimum = minimum;
            }
            if (ttl != nullptr) {
                if (nb >= capacite) return -1;
                ttl[nb] = static_cast<uint16_t>(rr.ttl_pos);
            }
            ++nb;
        }
    r->fin = i;
    if (nb_ttl != nullptr) *nb_ttl = nb;
    return 0;
}

namespace {

// Label starts written in place so far, one bit per offset a pointer can
// name (14 bits): 2 KiB, so that the relay's small thread stacks hold it.
struct debuts {
    uint64_t bits[0x4000 / 64];
    void marque(size_t i) noexcept
    {
        if (i < 0x4000) bits[i / 64] |= uint64_t{1} << (i % 64);
    }
    bool contient(size_t i) const noexcept { return i < 0x4000 && (bits[i / 64] >> (i % 64) & 1) != 0; }
};

// The name at `i`, ending by `fin`: its labels are marked, and a pointer
// must go to a marked label. Just past it, or 0.
size_t nom_sur(const unsigned char *d, size_t fin, size_t i, debuts &vus)
{
    for (;;) {
        if (i >= fin) return 0;
        const unsigned l = d[i];
        if (l == 0) return i + 1;
        if ((l & 0xC0) == 0xC0) {
            if (fin - i < 2) return 0;
            const size_t cible = (size_t{l} & 0x3F) << 8 | d[i + 1];
            return vus.contient(cible) ? i + 2 : 0;
        }
        if (l > 63 || l >= fin - i) return 0;
        vus.marque(i);
        i += 1 + l;
    }
}

// The names inside a record's data, for the types that hold some: true when
// they are sure and end where the data says (SOA: 20 bytes before).
bool donnees_sures(const unsigned char *d, const quorvel_dns_msg_rr &rr, debuts &vus)
{
    const size_t fin = rr.rdata + rr.rdlongueur;
    size_t avant = 0, apres = 0;  // fixed bytes before and after the name(s)
    int noms = 1;
    switch (rr.type) {
    case 2: case 5: case 12: case 39: break;  // NS, CNAME, PTR, DNAME
    case 6: noms = 2, apres = 20; break;       // SOA
    case 15: avant = 2; break;                 // MX
    case 33: avant = 6; break;                 // SRV
    default: return true;                      // opaque: no compressor points into it
    }
    if (rr.rdlongueur < avant + apres) return false;
    size_t i = rr.rdata + avant;
    for (int k = 0; k < noms; ++k)
        if ((i = nom_sur(d, fin - apres, i, vus)) == 0) return false;
    return i == fin - apres;
}

}  // namespace

int quorvel_dns_msg_compression_sure(const unsigned char *d, size_t n)
{
    quorvel_dns_msg_resume r;
    if (n > 65535 || quorvel_dns_msg_parcourt(d, n, &r, nullptr, 0, nullptr) < 0) return 0;
    debuts vus{};
    size_t i = QUORVEL_DNS_MSG_ENTETE;
    for (unsigned k = 0; k < r.e.nb_questions; ++k) {
        if ((i = nom_sur(d, n, i, vus)) == 0) return 0;
        i += 4;
    }
    const unsigned nb = unsigned{r.e.nb_reponses} + r.e.nb_autorite + r.e.nb_additionnels;
    for (unsigned k = 0; k < nb; ++k) {
        quorvel_dns_msg_rr rr;
        const size_t debut = i;
        if (quorvel_dns_msg_rr_lit(d, n, &i, &rr) < 0 || nom_sur(d, n, debut, vus) == 0 ||
            !donnees_sures(d, rr, vus))
            return 0;
    }
    return 1;
}
