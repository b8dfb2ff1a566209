/* The answer cache: one heap block per entry holding its links, its TTL
 * offsets and the answer's bytes, in a chained hash table (the chains run
 * through the entries) and a least-recently-used list (likewise). The key
 * is not stored apart: it is the answer's own question, compared without
 * regard to case, and the entry's key bits.
 *
 * 100,000 answers of 100 to 300 bytes take 48 bytes of links and sizes
 * and the answer, plus the allocator's 8 to 16, each; with 8 bytes per
 * bucket, about 18 to 37 MiB in all (bench/dnscache). */
#include "quorvel_dns_cache.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/random.h>

#include "kvt_trace.h"

namespace {

// Records of a kept answer: each takes at least 11 bytes.
constexpr size_t RR_MAX = QUORVEL_DNS_CACHE_REPONSE_MAX / 11 + 1;
// The longest key: a name, type and class, the key bits.
constexpr size_t CLE_MAX = QUORVEL_DNS_MSG_NOM_MAX + 4 + 1;

struct entree {
    entree *suivante;                  // same bucket
    entree *plus_recente, *plus_ancienne;
    uint32_t hache;
    uint32_t depuis;                   // when it was kept
    uint32_t duree;                    // seconds it lives
    uint16_t longueur;                 // answer bytes
    uint16_t fin_question;             // in the answer
    uint8_t cle;                       // QUORVEL_DNS_CACHE_OPT | _DO | _CD
    // Then the answer. Its TTLs are found again by a walk of the copy
    // given out, outside the lock: 2 bytes a record saved on every entry.
};

unsigned char *octets_de(entree *e) noexcept { return reinterpret_cast<unsigned char *>(e + 1); }

void ecrit32(unsigned char *p, uint32_t v) noexcept
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

unsigned char minuscule(unsigned char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// SipHash-1-3 under a key drawn at creation: a client who picks names
// cannot pile them into one chain without knowing it.
uint64_t rotg(uint64_t x, int b) noexcept { return x << b | x >> (64 - b); }

struct sip {
    uint64_t v0, v1, v2, v3;
    void tour() noexcept
    {
        v0 += v1, v1 = rotg(v1, 13), v1 ^= v0, v0 = rotg(v0, 32);
        v2 += v3, v3 = rotg(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotg(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotg(v1, 17), v1 ^= v2, v2 = rotg(v2, 32);
    }
};

uint64_t siphash(const uint64_t k[2], const unsigned char *m, size_t n) noexcept
{
    sip s{k[0] ^ 0x736f6d6570736575ULL, k[1] ^ 0x646f72616e646f6dULL, k[0] ^ 0x6c7967656e657261ULL,
          k[1] ^ 0x7465646279746573ULL};
    const size_t fin = n - n % 8;
    for (size_t i = 0; i < fin; i += 8) {
        uint64_t w;
        std::memcpy(&w, m + i, 8);
        s.v3 ^= w;
        s.tour();
        s.v0 ^= w;
    }
    uint64_t b = uint64_t{n} << 56;
    for (size_t i = fin; i < n; ++i) b |= uint64_t{m[i]} << (8 * (i - fin));
    s.v3 ^= b;
    s.tour();
    s.v0 ^= b;
    s.v2 ^= 0xff;
    s.tour(), s.tour(), s.tour();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Buckets for `taille` entries: the next power of two, 16 at least.
size_t cases_pour(size_t taille) noexcept
{
    size_t n = 16;
    while (n < taille) n <<= 1;
    return n;
}

unsigned borne_taille(unsigned taille) noexcept
{
    return taille > QUORVEL_DNS_CACHE_TAILLE_MAX ? QUORVEL_DNS_CACHE_TAILLE_MAX : taille;
}

unsigned borne_min_ttl(unsigned t) noexcept
{
    return t > QUORVEL_DNS_CACHE_MIN_TTL_MAX ? QUORVEL_DNS_CACHE_MIN_TTL_MAX : t;
}

// What the walk of an answer to be kept found.
struct analyse {
    quorvel_dns_msg_resume r;
    quorvel_dns_msg_question q;
    uint16_t ttl[RR_MAX];
    size_t nb_ttl;
    size_t longueur;  // bytes kept: the message without trailing bytes or OPT options
    bool positive;
    uint32_t duree;
};

// Reads the answer `d` and decides whether and how long it is kept.
bool analyse_reponse(const unsigned char *d, size_t n, unsigned min_ttl, analyse &a)
{
    if (n > QUORVEL_DNS_CACHE_REPONSE_MAX) return false;
    if (quorvel_dns_msg_parcourt(d, n, &a.r, a.ttl, RR_MAX, &a.nb_ttl) < 0) return false;
    const quorvel_dns_msg_entete &e = a.r.e;
    if ((e.drapeaux & QUORVEL_DNS_MSG_QR) == 0 || quorvel_dns_msg_opcode(&e) != 0 ||
        (e.drapeaux & QUORVEL_DNS_MSG_TC) != 0 || e.nb_questions != 1)
        return false;
    // The client's question replaces the answer's: it must lie in place.
    if (quorvel_dns_msg_question_lit(d, n, &a.q) < 0 || a.q.fin != a.r.fin_questions ||
        a.q.classe != QUORVEL_DNS_MSG_IN)
        return false;
    // The cache rewrites TTLs, the header and the question's letter case,
    // and cuts what follows the last name: only a message whose names never
    // read those bytes keeps its meaning.
    if (!quorvel_dns_msg_compression_sure(d, n)) return false;
    // An answer signed for one client is for that client only; an extended
    // RCODE is no NOERROR or NXDOMAIN.
    if (a.r.tsig || a.r.opt_rcode != 0) return false;
    const unsigned rcode = quorvel_dns_msg_rcode(&e);
    a.longueur = a.r.fin;
    if (a.r.opt && a.r.opt_rdlongueur > 0) {
        // Only the last record's data can be cut without moving what a
        // compression pointer may name.
        if (!a.r.opt_dernier) return false;
        a.longueur = a.r.opt_rdata;
    }
    if (rcode == 0 && e.nb_reponses > 0) {
        a.positive = true;
        if (a.r.ttl_min == 0 || a.r.ttl_min == UINT32_MAX) return false;
        a.duree = a.r.ttl_min < min_ttl ? min_ttl : a.r.ttl_min;
    } else if ((rcode == 3 || (rcode == 0 && e.nb_reponses == 0)) && a.r.soa) {
        a.positive = false;
        // RFC 2308: the smaller of the SOA's TTL and MINIMUM; and no other
        // record may run out before the entry does.
        uint32_t t = a.r.soa_ttl < a.r.soa_minimum ? a.r.soa_ttl : a.r.soa_minimum;
        if (a.r.ttl_min < t) t = a.r.ttl_min;
        if (t == 0) return false;
        a.duree = t;
    } else {
        return false;
    }
    if (a.duree > QUORVEL_DNS_CACHE_DUREE_MAX) a.duree = QUORVEL_DNS_CACHE_DUREE_MAX;
    return true;
}

// The key bytes: the name in lower case, type and class, the key bits.
size_t cle_octets(const unsigned char *nom, size_t l, const unsigned char *type_classe, unsigned bits,
                  unsigned char *k) noexcept
{
    for (size_t i = 0; i < l; ++i) k[i] = minuscule(nom[i]);
    std::memcpy(k + l, type_classe, 4);
    k[l + 4] = static_cast<unsigned char>(bits);
    return l + 5;
}

}  // namespace

struct quorvel_dns_cache {
    std::mutex verrou;
    entree **cases = nullptr;
    size_t masque = 0;
    entree *plus_recente = nullptr, *plus_ancienne = nullptr;
    size_t nb = 0;
    size_t taille = 0;
    std::atomic<unsigned> min_ttl{0};
    uint64_t graine[2] = {0, 0};
    std::atomic<uint64_t> succes{0}, echecs{0}, evictions{0}, entrees{0};
};

namespace {

// The list and table operations, under the lock.
void lru_retire(quorvel_dns_cache &c, entree *e) noexcept
{
    if (e->plus_recente != nullptr) e->plus_recente->plus_ancienne = e->plus_ancienne;
    else c.plus_recente = e->plus_ancienne;
    if (e->plus_ancienne != nullptr) e->plus_ancienne->plus_recente = e->plus_recente;
    else c.plus_ancienne = e->plus_recente;
}

void lru_en_tete(quorvel_dns_cache &c, entree *e) noexcept
{
    e->plus_recente = nullptr;
    e->plus_ancienne = c.plus_recente;
    if (c.plus_recente != nullptr) c.plus_recente->plus_recente = e;
    c.plus_recente = e;
    if (c.plus_ancienne == nullptr) c.plus_ancienne = e;
}

// Unlinks `e` from its bucket and the list.
void retire(quorvel_dns_cache &c, entree *e) noexcept
{
    entree **p = &c.cases[e->hache & c.masque];
    while (*p != e) p = &(*p)->suivante;
    *p = e->suivante;
    lru_retire(c, e);
    --c.nb;
    c.entrees.store(c.nb, std::memory_order_relaxed);
}

// The entry of the key whose bytes the query's name `nom` (`l` bytes),
// `type_classe` and `bits` make, or null.
entree *trouve(quorvel_dns_cache &c, uint32_t h, const unsigned char *nom, size_t l,
               const unsigned char *type_classe, unsigned bits) noexcept
{
    for (entree *e = c.cases[h & c.masque]; e != nullptr; e = e->suivante) {
        if (e->hache != h || e->cle != bits || size_t{e->fin_question} != QUORVEL_DNS_MSG_ENTETE + l + 4) continue;
        const unsigned char *q = octets_de(e) + QUORVEL_DNS_MSG_ENTETE;
        if (std::memcmp(q + l, type_classe, 4) != 0) continue;
        size_t i = 0;
        while (i < l && minuscule(q[i]) == minuscule(nom[i])) ++i;
        if (i == l) return e;
    }
    return nullptr;
}

void libere_liste(entree *e) noexcept
{
    while (e != nullptr) {
        entree *suivante = e->plus_ancienne;
        std::free(e);
        e = suivante;
    }
}

}  // namespace

int quorvel_dns_cache_nombre(const char *texte, unsigned max, unsigned *valeur)
{
    *valeur = 0;
    if (texte == nullptr) return 0;
    uint64_t v = 0;
    bool trop = false;
    for (const char *p = texte; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return -1;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > max) trop = true, v = max;  // also keeps a long text from wrapping
    }
    *valeur = static_cast<unsigned>(v);
    return trop ? 1 : 0;
}

int quorvel_dns_cache_requete_lit(const unsigned char *d, size_t n, quorvel_dns_cache_requete *r)
{
    if (r == nullptr || quorvel_dns_msg_classe(d, n, &r->q) != QUORVEL_DNS_MSG_LUE) return -1;
    return quorvel_dns_cache_requete_complete(d, n, r);
}

int quorvel_dns_cache_requete_complete(const unsigned char *d, size_t n, quorvel_dns_cache_requete *r)
{
    if (r == nullptr || r->q.classe != QUORVEL_DNS_MSG_IN) return -1;
    quorvel_dns_msg_resume m;
    if (quorvel_dns_msg_parcourt(d, n, &m, nullptr, 0, nullptr) < 0 || m.tsig) return -1;
    r->cle = (m.opt ? QUORVEL_DNS_CACHE_OPT : 0u) | (m.opt && m.opt_do ? QUORVEL_DNS_CACHE_DO : 0u) |
             ((m.e.drapeaux & QUORVEL_DNS_MSG_CD) != 0 ? QUORVEL_DNS_CACHE_CD : 0u);
    r->limite = !m.opt || m.opt_taille < QUORVEL_DNS_CACHE_UDP_MIN ? QUORVEL_DNS_CACHE_UDP_MIN : m.opt_taille;
    return 0;
}

uint32_t quorvel_dns_cache_duree(const unsigned char *d, size_t n, unsigned min_ttl)
{
    if (d == nullptr) return 0;
    analyse a;
    return analyse_reponse(d, n, borne_min_ttl(min_ttl), a) ? a.duree : 0;
}

quorvel_dns_cache *quorvel_dns_cache_cree(unsigned taille, unsigned min_ttl)
{
    if (taille == 0) return nullptr;
    taille = borne_taille(taille);
    quorvel_dns_cache *c = new (std::nothrow) quorvel_dns_cache;
    if (c == nullptr) {
        KVT_ERREUR();
        return nullptr;
    }
    const size_t nb_cases = cases_pour(taille);
    c->cases = static_cast<entree **>(std::calloc(nb_cases, sizeof(entree *)));
    if (c->cases == nullptr || ::getrandom(c->graine, sizeof c->graine, 0) != static_cast<ssize_t>(sizeof c->graine)) {
        KVT_ERREUR();
        std::free(c->cases);
        delete c;
        return nullptr;
    }
    c->masque = nb_cases - 1;
    c->taille = taille;
    c->min_ttl.store(borne_min_ttl(min_ttl), std::memory_order_relaxed);
    return c;
}

void quorvel_dns_cache_detruit(quorvel_dns_cache *c)
{
    if (c == nullptr) return;
    libere_liste(c->plus_recente);
    std::free(c->cases);
    delete c;
}

int quorvel_dns_cache_vide(quorvel_dns_cache *c, unsigned taille, unsigned min_ttl)
{
    if (c == nullptr || taille == 0) return -1;
    taille = borne_taille(taille);
    const size_t nb_cases = cases_pour(taille);
    entree **nouvelles = static_cast<entree **>(std::calloc(nb_cases, sizeof(entree *)));
    entree **anciennes;
    entree *liste;
    {
        std::lock_guard<std::mutex> g{c->verrou};
        liste = c->plus_recente;
        c->plus_recente = c->plus_ancienne = nullptr;
        c->nb = 0;
        c->entrees.store(0, std::memory_order_relaxed);
        if (nouvelles != nullptr) {
            anciennes = c->cases;
            c->cases = nouvelles;
            c->masque = nb_cases - 1;
            c->taille = taille;
        } else {
            // Same buckets, emptied: the entries are freed below.
            anciennes = nullptr;
            std::memset(c->cases, 0, (c->masque + 1) * sizeof(entree *));
        }
        c->min_ttl.store(borne_min_ttl(min_ttl), std::memory_order_relaxed);
    }
    // A million entries take a while to free: never under the lock.
    libere_liste(liste);
    std::free(anciennes);
    if (nouvelles == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    return 0;
}

int quorvel_dns_cache_cherche(quorvel_dns_cache *c, const unsigned char *d, size_t n, int tcp,
                              unsigned char *sortie, size_t capacite, uint32_t maintenant)
{
    if (c == nullptr || sortie == nullptr || capacite < QUORVEL_DNS_CACHE_REPONSE_MAX) return -1;
    quorvel_dns_cache_requete r;
    if (quorvel_dns_cache_requete_lit(d, n, &r) < 0) return -1;
    return quorvel_dns_cache_cherche_lue(c, d, n, &r, tcp, sortie, capacite, maintenant);
}

int quorvel_dns_cache_cherche_lue(quorvel_dns_cache *c, const unsigned char *d, size_t, const quorvel_dns_cache_requete *lue,
                                  int tcp, unsigned char *sortie, size_t capacite, uint32_t maintenant)
{
    if (c == nullptr || lue == nullptr || sortie == nullptr || capacite < QUORVEL_DNS_CACHE_REPONSE_MAX) return -1;
    const quorvel_dns_cache_requete &r = *lue;
    const size_t l = r.q.nom_fin - QUORVEL_DNS_MSG_ENTETE;
    const unsigned char *nom = d + QUORVEL_DNS_MSG_ENTETE;
    unsigned char k[CLE_MAX];
    const uint32_t h = static_cast<uint32_t>(siphash(c->graine, k, cle_octets(nom, l, d + r.q.nom_fin, r.cle, k)));

    entree *perimee = nullptr;
    size_t longueur = 0;
    uint32_t ecoule = 0;
    bool tronquee = false;
    {
        std::lock_guard<std::mutex> g{c->verrou};
        entree *e = trouve(*c, h, nom, l, d + r.q.nom_fin, r.cle);
        if (e != nullptr && maintenant - e->depuis >= e->duree) {
            retire(*c, e);
            perimee = e;
            e = nullptr;
        }
        if (e != nullptr) {
            lru_retire(*c, e);
            lru_en_tete(*c, e);
            tronquee = !tcp && e->longueur > r.limite;
            longueur = tronquee ? e->fin_question : e->longueur;
            ecoule = maintenant - e->depuis;
            std::memcpy(sortie, octets_de(e), longueur);
        }
    }
    std::free(perimee);
    if (longueur > 0 && !tronquee) {
        // Every TTL but the OPT record's, lowered by the time kept. The
        // answer was walked whole when it was kept, and its names never
        // read what changes here.
        uint16_t ttl[RR_MAX];
        size_t nb = 0;
        quorvel_dns_msg_resume m;
        if (quorvel_dns_msg_parcourt(sortie, longueur, &m, ttl, RR_MAX, &nb) < 0) {
            KVT_ERREUR();
            longueur = 0;
        }
        for (size_t i = 0; i < nb && longueur > 0; ++i) {
            const uint32_t t = quorvel_dns_msg_u32(sortie + ttl[i]);
            ecrit32(sortie + ttl[i], t > ecoule ? t - ecoule : 0);
        }
    }
    if (longueur == 0) {
        c->echecs.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    // This client's identifier, RD bit and question, letter case kept.
    sortie[0] = d[0];
    sortie[1] = d[1];
    sortie[2] = static_cast<unsigned char>((sortie[2] & ~0x01) | (d[2] & 0x01));
    std::memcpy(sortie + QUORVEL_DNS_MSG_ENTETE, nom, l);
    if (tronquee) {
        sortie[2] |= QUORVEL_DNS_MSG_TC >> 8;
        std::memset(sortie + 6, 0, 6);
    }
    c->succes.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(longueur);
}

int quorvel_dns_cache_garde(quorvel_dns_cache *c, unsigned cle, const unsigned char *reponse, size_t nr,
                            uint32_t maintenant)
{
    if (c == nullptr || reponse == nullptr) return 0;
    analyse a;
    const unsigned min_ttl = c->min_ttl.load(std::memory_order_relaxed);
    if (!analyse_reponse(reponse, nr, min_ttl, a)) return 0;
    cle &= QUORVEL_DNS_CACHE_OPT | QUORVEL_DNS_CACHE_DO | QUORVEL_DNS_CACHE_CD;

    // Built whole before the lock is taken.
    const size_t taille = sizeof(entree) + a.longueur;
    entree *e = static_cast<entree *>(std::malloc(taille));
    if (e == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    e->suivante = e->plus_recente = e->plus_ancienne = nullptr;
    e->depuis = maintenant;
    e->duree = a.duree;
    e->longueur = static_cast<uint16_t>(a.longueur);
    e->fin_question = static_cast<uint16_t>(a.q.fin);
    e->cle = static_cast<uint8_t>(cle);
    unsigned char *o = octets_de(e);
    std::memcpy(o, reponse, a.longueur);
    if (a.r.opt && a.longueur != a.r.fin) o[a.r.opt_rdata - 2] = o[a.r.opt_rdata - 1] = 0;  // options dropped
    // Short positive times served as the least time, counting down from it.
    if (a.positive)
        for (size_t i = 0; i < a.nb_ttl; ++i)
            if (quorvel_dns_msg_u32(o + a.ttl[i]) < min_ttl) ecrit32(o + a.ttl[i], min_ttl);
    const size_t l = a.q.nom_fin - QUORVEL_DNS_MSG_ENTETE;
    unsigned char k[CLE_MAX];
    e->hache = static_cast<uint32_t>(
        siphash(c->graine, k, cle_octets(o + QUORVEL_DNS_MSG_ENTETE, l, o + a.q.nom_fin, e->cle, k)));

    entree *sortante[2] = {nullptr, nullptr};
    {
        std::lock_guard<std::mutex> g{c->verrou};
        if (entree *ancienne = trouve(*c, e->hache, o + QUORVEL_DNS_MSG_ENTETE, l, o + a.q.nom_fin, e->cle)) {
            retire(*c, ancienne);
            sortante[0] = ancienne;
        } else if (c->nb >= c->taille && c->plus_ancienne != nullptr) {
            sortante[1] = c->plus_ancienne;
            retire(*c, sortante[1]);
            c->evictions.fetch_add(1, std::memory_order_relaxed);
        }
        entree **tete = &c->cases[e->hache & c->masque];
        e->suivante = *tete;
        *tete = e;
        lru_en_tete(*c, e);
        ++c->nb;
        c->entrees.store(c->nb, std::memory_order_relaxed);
    }
    std::free(sortante[0]);
    std::free(sortante[1]);
    return 1;
}

int quorvel_dns_cache_garde_requete(quorvel_dns_cache *c, const unsigned char *requete, size_t nq,
                                    const unsigned char *reponse, size_t nr, uint32_t maintenant)
{
    quorvel_dns_cache_requete r;
    if (c == nullptr || reponse == nullptr || quorvel_dns_cache_requete_lit(requete, nq, &r) < 0 ||
        !quorvel_dns_msg_meme_question(requete, nq, reponse, nr))
        return 0;
    return quorvel_dns_cache_garde(c, r.cle, reponse, nr, maintenant);
}

void quorvel_dns_cache_compte(const quorvel_dns_cache *c, quorvel_dns_cache_compteurs *r)
{
    if (c == nullptr || r == nullptr) return;
    r->succes = c->succes.load(std::memory_order_relaxed);
    r->echecs = c->echecs.load(std::memory_order_relaxed);
    r->evictions = c->evictions.load(std::memory_order_relaxed);
    r->entrees = c->entrees.load(std::memory_order_relaxed);
}
