// Builders of DNS queries and answers for the unit tests of the message
// reader and of the answer cache, and for the cache's benchmark.
#ifndef QUORVEL_DNS_MESSAGE_OUTILS_H
#define QUORVEL_DNS_MESSAGE_OUTILS_H

#include <cstdint>
#include <string>
#include <vector>

using Octets = std::vector<unsigned char>;

inline void ajoute16(Octets &o, unsigned v)
{
    o.push_back(static_cast<unsigned char>(v >> 8));
    o.push_back(static_cast<unsigned char>(v));
}

inline void ajoute32(Octets &o, uint32_t v)
{
    ajoute16(o, v >> 16);
    ajoute16(o, v & 0xFFFF);
}

// "a.example" -> 1 a 7 example 0; "" -> the root.
inline Octets nom_fil(const std::string &nom)
{
    Octets o;
    size_t debut = 0;
    while (debut < nom.size()) {
        size_t point = nom.find('.', debut);
        if (point == std::string::npos) point = nom.size();
        o.push_back(static_cast<unsigned char>(point - debut));
        o.insert(o.end(), nom.begin() + static_cast<long>(debut), nom.begin() + static_cast<long>(point));
        debut = point + 1;
    }
    o.push_back(0);
    return o;
}

// A pointer to the question's name, at offset 12.
inline Octets vers_question() { return {0xC0, 0x0C}; }

struct Rr {
    Octets nom;
    uint16_t type;
    uint16_t classe;
    uint32_t ttl;
    Octets donnees;
};

inline Rr rr_a(uint32_t ttl, unsigned char dernier = 1)
{
    return {vers_question(), 1, 1, ttl, {192, 0, 2, dernier}};
}

inline Rr rr_cname(uint32_t ttl, const std::string &cible)
{
    return {vers_question(), 5, 1, ttl, nom_fil(cible)};
}

// An SOA owned by the question's name: MNAME written out, RNAME a pointer.
inline Rr rr_soa(uint32_t ttl, uint32_t minimum)
{
    Octets d = nom_fil("ns.example");
    d.insert(d.end(), {0xC0, 0x0C});
    for (uint32_t v : {2024u, 3600u, 600u, 86400u}) ajoute32(d, v);
    ajoute32(d, minimum);
    return {vers_question(), 6, 1, ttl, d};
}

// OPT: UDP size in the class, DO in the TTL, `options` as its data.
inline Rr rr_opt(uint16_t taille, bool do_bit = false, Octets options = {}, uint8_t rcode = 0)
{
    return {{0}, 41, taille, uint32_t{rcode} << 24 | (do_bit ? 0x8000u : 0u), options};
}

inline void ajoute_rr(Octets &o, const Rr &r)
{
    o.insert(o.end(), r.nom.begin(), r.nom.end());
    ajoute16(o, r.type);
    ajoute16(o, r.classe);
    ajoute32(o, r.ttl);
    ajoute16(o, static_cast<unsigned>(r.donnees.size()));
    o.insert(o.end(), r.donnees.begin(), r.donnees.end());
}

inline Octets entete(uint16_t id, uint16_t drapeaux, unsigned qd, unsigned an, unsigned ns, unsigned ar)
{
    Octets o;
    for (unsigned v : {unsigned{id}, unsigned{drapeaux}, qd, an, ns, ar}) ajoute16(o, v);
    return o;
}

// A query for `nom`, RD set (and CD when asked), with an OPT record when
// `taille_opt` is not 0.
inline Octets requete(const std::string &nom, uint16_t type = 1, uint16_t taille_opt = 0, bool do_bit = false,
                      bool cd = false, uint16_t id = 0x1234)
{
    Octets o = entete(id, static_cast<uint16_t>(0x0100 | (cd ? 0x0010 : 0)), 1, 0, 0, taille_opt ? 1 : 0);
    const Octets n = nom_fil(nom);
    o.insert(o.end(), n.begin(), n.end());
    ajoute16(o, type);
    ajoute16(o, 1);
    if (taille_opt) ajoute_rr(o, rr_opt(taille_opt, do_bit));
    return o;
}

// The upstream's answer to `nom` with RCODE `rcode` and the three sections.
inline Octets reponse(const std::string &nom, uint16_t type, unsigned rcode, const std::vector<Rr> &an,
                      const std::vector<Rr> &ns = {}, const std::vector<Rr> &ar = {}, uint16_t id = 0x1234,
                      uint16_t drapeaux = 0x8180)
{
    Octets o = entete(id, static_cast<uint16_t>(drapeaux | rcode), 1, static_cast<unsigned>(an.size()),
                      static_cast<unsigned>(ns.size()), static_cast<unsigned>(ar.size()));
    const Octets n = nom_fil(nom);
    o.insert(o.end(), n.begin(), n.end());
    ajoute16(o, type);
    ajoute16(o, 1);
    for (const auto *section : {&an, &ns, &ar})
        for (const Rr &r : *section) ajoute_rr(o, r);
    return o;
}

#endif
