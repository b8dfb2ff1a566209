// libFuzzer target: the message reader over queries and answers, and the
// answer cache fed by them. The input is one control byte (bit 0: lookup
// over TCP; the rest: seconds between store and lookup), a 2-byte length L,
// a query of L bytes and an answer (the rest). Whatever the reader accepts
// must lie within the message; whatever the cache gives must be an answer
// to that very query, within the client's limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quorvel_dns_cache.h"
#include "quorvel_dns_message.h"

namespace {

void verifie(bool condition)
{
    if (!condition) std::abort();
}

void lit(const std::vector<unsigned char> &d)
{
    quorvel_dns_msg_question q;
    if (quorvel_dns_msg_question_lit(d.data(), d.size(), &q) == 0) {
        verifie(q.fin <= d.size() && q.nom_fin + 4 == q.fin && q.longueur <= 253);
        verifie(std::strlen(q.texte) == q.longueur);
    }
    if (quorvel_dns_msg_classe(d.data(), d.size(), &q) == QUORVEL_DNS_MSG_FORMERR) {
        unsigned char r[QUORVEL_DNS_MSG_ENTETE];
        verifie(quorvel_dns_msg_formerr(d.data(), d.size(), r, sizeof r) == QUORVEL_DNS_MSG_ENTETE);
        verifie(r[0] == d[0] && r[1] == d[1] && (r[3] & 0x0F) == 1);
    }
    quorvel_dns_msg_resume m;
    uint16_t ttl[64];
    size_t nb = 0;
    if (quorvel_dns_msg_parcourt(d.data(), d.size(), &m, ttl, 64, &nb) == 0) {
        verifie(m.fin <= d.size() && m.fin_questions <= m.fin);
        for (size_t i = 0; i < nb; ++i) verifie(ttl[i] + 4u <= m.fin);
        verifie(!m.opt || m.opt_rdata + m.opt_rdlongueur <= m.fin);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    if (taille < 3) return 0;
    const unsigned controle = donnees[0];
    size_t lq = size_t{donnees[1]} << 8 | donnees[2];
    if (lq > taille - 3) lq = taille - 3;
    // Exact-size copies, so that ASan faults on any read past either message.
    const std::vector<unsigned char> q(donnees + 3, donnees + 3 + lq);
    const std::vector<unsigned char> r(donnees + 3 + lq, donnees + taille);
    lit(q);
    lit(r);
    verifie(quorvel_dns_msg_meme_question(q.data(), q.size(), r.data(), r.size()) ==
            quorvel_dns_msg_meme_question(r.data(), r.size(), q.data(), q.size()));

    quorvel_dns_cache *c = quorvel_dns_cache_cree(4, 0);
    if (c == nullptr) return 0;
    const uint32_t t0 = 1000;
    const int garde = quorvel_dns_cache_garde_requete(c, q.data(), q.size(), r.data(), r.size(), t0);
    verifie(garde == 0 || garde == 1);
    if (garde == 1) verifie(quorvel_dns_cache_duree(r.data(), r.size(), 0) > 0);
    std::vector<unsigned char> s(QUORVEL_DNS_CACHE_REPONSE_MAX);
    const int tcp = controle & 1;
    const int n = quorvel_dns_cache_cherche(c, q.data(), q.size(), tcp, s.data(), s.size(), t0 + (controle >> 1));
    if (n > 0) {
        quorvel_dns_cache_requete cr;
        verifie(garde == 1 && quorvel_dns_cache_requete_lit(q.data(), q.size(), &cr) == 0);
        verifie(static_cast<size_t>(n) <= r.size());
        verifie(s[0] == q[0] && s[1] == q[1]);
        verifie(std::memcmp(s.data() + QUORVEL_DNS_MSG_ENTETE, q.data() + QUORVEL_DNS_MSG_ENTETE,
                            cr.q.fin - QUORVEL_DNS_MSG_ENTETE) == 0);
        verifie(tcp || static_cast<unsigned>(n) <= cr.limite);
        quorvel_dns_msg_resume m;
        verifie(quorvel_dns_msg_parcourt(s.data(), static_cast<size_t>(n), &m, nullptr, 0, nullptr) == 0);
    }
    // Stored again under the key bits of the control byte, then emptied.
    (void)quorvel_dns_cache_garde(c, controle, r.data(), r.size(), t0);
    (void)quorvel_dns_cache_vide(c, 2, controle);
    quorvel_dns_cache_detruit(c);
    return 0;
}
