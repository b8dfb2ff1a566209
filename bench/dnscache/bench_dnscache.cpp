// The answer cache's memory and lookup cost, without sockets:
//   bench_dnscache [entries, default 100000] [lookups per thread, default 2000000]
//                  [A records per answer, default 4 to 16 in turn]
// Fills a cache of that size with answers of 100 to 300 bytes (A records for
// distinct names; 17 records make 300-byte answers), reports the heap and resident memory the entries took,
// then the time of one hit from 1 thread and from 2 threads at once (each
// the best of 3 runs), and of one miss.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <random>
#include <thread>
#include <vector>

#include "quorvel_dns_cache.h"
#include "quorvel_dns_message_outils.h"

namespace {

// Query and answer for `nom` with `k` A records (16 bytes each).
void paire(const std::string &nom, unsigned k, Octets &q, Octets &r)
{
    q = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    const Octets n = nom_fil(nom);
    q.insert(q.end(), n.begin(), n.end());
    q.insert(q.end(), {0, 1, 0, 1});
    r = q;
    r[2] = 0x81, r[3] = 0x80;
    r[7] = static_cast<unsigned char>(k);
    for (unsigned i = 0; i < k; ++i) {
        r.insert(r.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 192, 0, 2});
        r.push_back(static_cast<unsigned char>(i));
    }
}

long rss_kib()
{
    FILE *f = std::fopen("/proc/self/statm", "r");
    long pages = 0, residentes = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &pages, &residentes) != 2) residentes = 0;
        std::fclose(f);
    }
    return residentes * 4;
}

double secondes(std::chrono::steady_clock::time_point debut)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - debut).count();
}

double cpu_thread()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Queries laid out one after the other in the order they are looked up,
// 64 bytes each: the relay finds its query in a buffer already in cache, so
// the benchmark must not pay a memory miss to fetch it either.
struct lot {
    std::vector<unsigned char> octets;
    std::vector<uint16_t> longueurs;
    lot(const std::vector<Octets> &q, const std::vector<unsigned> &ordre) : octets(64 * ordre.size())
    {
        for (size_t k = 0; k < ordre.size(); ++k) {
            const Octets &m = q[ordre[k]];
            std::copy(m.begin(), m.end(), octets.begin() + static_cast<long>(64 * k));
            longueurs.push_back(static_cast<uint16_t>(m.size()));
        }
    }
};

// `n` lookups of the queries of `l` in turn, in one thread: ns per lookup,
// of wall time and of this thread's CPU time (the machine may be shared).
struct mesure {
    double mur, cpu;
};
mesure boucle(quorvel_dns_cache *c, const lot &l, size_t n, std::atomic<int> &fautes, int attendu = 1)
{
    std::vector<unsigned char> s(QUORVEL_DNS_CACHE_REPONSE_MAX);
    const auto debut = std::chrono::steady_clock::now();
    const double cpu = cpu_thread();
    for (size_t k = 0, i = 0; k < n; ++k, i = i + 1 == l.longueurs.size() ? 0 : i + 1) {
        const int r =
            quorvel_dns_cache_cherche(c, l.octets.data() + 64 * i, l.longueurs[i], 1, s.data(), s.size(), 10);
        if ((r > 0) != (attendu > 0)) ++fautes;
    }
    return {secondes(debut) * 1e9 / static_cast<double>(n), (cpu_thread() - cpu) * 1e9 / static_cast<double>(n)};
}

}  // namespace

int main(int argc, char **argv)
{
    const unsigned nb = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 100000;
    const size_t recherches = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 2000000;
    const unsigned fixe = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
    if (nb == 0 || recherches == 0 || fixe > 200) {
        std::fprintf(stderr, "usage: bench_dnscache [entries] [lookups per thread] [records per answer]\n");
        return 2;
    }
    std::vector<Octets> q(nb), r(nb);
    size_t octets = 0;
    for (unsigned i = 0; i < nb; ++i) {
        paire("host" + std::to_string(i) + ".example.net", fixe != 0 ? fixe : 4 + i % 13, q[i], r[i]);
        octets += r[i].size();
    }
    std::vector<unsigned> ordre(nb);
    for (unsigned i = 0; i < nb; ++i) ordre[i] = i;
    std::mt19937 tirage{1};  // the same order every run
    std::shuffle(ordre.begin(), ordre.end(), tirage);

    malloc_trim(0);
    const size_t tas_avant = mallinfo2().uordblks;
    const long rss_avant = rss_kib();
    quorvel_dns_cache *c = quorvel_dns_cache_cree(nb, 0);
    if (c == nullptr) return 1;
    for (unsigned i = 0; i < nb; ++i)
        if (quorvel_dns_cache_garde_requete(c, q[i].data(), q[i].size(), r[i].data(), r[i].size(), 0) != 1) {
            std::fprintf(stderr, "answer %u not kept\n", i);
            return 1;
        }
    const size_t tas = mallinfo2().uordblks - tas_avant;
    const long rss = rss_kib() - rss_avant;
    std::printf("entries %u, answers %zu bytes on average (%zu in all)\n", nb, octets / nb, octets);
    std::printf("memory: heap %.1f MiB (%.0f bytes per entry), resident %.1f MiB\n", tas / 1048576.0,
                static_cast<double>(tas) / nb, rss / 1024.0);

    std::atomic<int> fautes{0};
    mesure un{1e18, 1e18}, deux{1e18, 1e18}, manque{1e18, 1e18};
    std::vector<Octets> absentes(1024), rien(1024);
    for (unsigned i = 0; i < 1024; ++i) paire("absent" + std::to_string(i) + ".example.org", 1, absentes[i], rien[i]);
    std::vector<unsigned> ordre_absentes(1024);
    for (unsigned i = 0; i < 1024; ++i) ordre_absentes[i] = i;
    // Two threads look up the same entries in two different orders.
    const std::vector<unsigned> ordre2(ordre.rbegin(), ordre.rend());
    const lot lot1(q, ordre), lot2(q, ordre2), lot_absentes(absentes, ordre_absentes);
    for (int essai = 0; essai < 3; ++essai) {
        const mesure m = boucle(c, lot1, recherches, fautes);
        un = {std::min(un.mur, m.mur), std::min(un.cpu, m.cpu)};
        mesure a{}, b{};
        const auto debut = std::chrono::steady_clock::now();
        std::thread t1([&] { a = boucle(c, lot1, recherches, fautes); });
        std::thread t2([&] { b = boucle(c, lot2, recherches, fautes); });
        t1.join();
        t2.join();
        // Wall time per lookup of both threads together; CPU per lookup of each.
        deux = {std::min(deux.mur, secondes(debut) * 1e9 / static_cast<double>(2 * recherches)),
                std::min(deux.cpu, (a.cpu + b.cpu) / 2)};
        // A miss: a name never kept.
        const mesure x = boucle(c, lot_absentes, recherches, fautes, 0);
        manque = {std::min(manque.mur, x.mur), std::min(manque.cpu, x.cpu)};
    }
    std::printf("hit, 1 thread: %.0f ns per lookup (%.0f ns of CPU; %.2f M/s)\n", un.mur, un.cpu, 1e3 / un.mur);
    std::printf("hit, 2 threads at once: %.0f ns per lookup of the pair (%.0f ns of CPU each; %.2f M/s together)\n",
                deux.mur, deux.cpu, 1e3 / deux.mur);
    std::printf("miss, 1 thread: %.0f ns per lookup (%.0f ns of CPU)\n", manque.mur, manque.cpu);
    quorvel_dns_cache_detruit(c);
    if (fautes.load() != 0) {
        std::fprintf(stderr, "%d lookups gave the wrong result\n", fautes.load());
        return 1;
    }
    return 0;
}
