// Loads a generated list of 100,000 ad-domain names through the real loader
// and prints the load time, the memory the table takes, its chain lengths,
// and lookups per second from 1 and 2 threads (half hits, half misses).
// Usage: quorvel_adhosts_bench [names] [lookups per thread]
// Each lookup run also stops after 10 seconds, so a busy machine cannot make
// it run away.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kvtlib.h"
#include "quorvel_ip_mask.h"

namespace {

using horloge = std::chrono::steady_clock;

// CPU time of the calling thread: on a shared machine it says what a lookup
// costs even when the wall clock also counts other processes.
double cpu_fil()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double secondes(horloge::time_point debut)
{
    return std::chrono::duration<double>(horloge::now() - debut).count();
}

// Names shaped like real ad hosts: a label or two before a domain and a TLD.
std::vector<std::string> genere(int n, unsigned graine)
{
    static const char *tld[] = {"com", "net", "org", "io", "de", "fr", "co.uk", "info"};
    static const char *mots[] = {"ads", "track", "pixel", "stats", "banner", "metric",
                                 "cdn", "click", "beacon", "serve", "tag", "analytics"};
    std::mt19937 g{graine};
    std::vector<std::string> noms;
    noms.reserve(n);
    for (int i = 0; i < n; ++i) {
        std::string nom = mots[g() % 12];
        nom += std::to_string(g() % 1000);
        if (g() % 2) nom += std::string(".") + mots[g() % 12];
        nom += ".site" + std::to_string(i) + "." + tld[g() % 8];
        noms.push_back(nom);
    }
    return noms;
}

}  // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    long recherches = argc > 2 ? std::atol(argv[2]) : 1000000;
    if (n < 1 || recherches < 1) {
        std::fprintf(stderr, "usage: %s [names] [lookups per thread]\n", argv[0]);
        return 2;
    }

    char modele[] = "/tmp/quorvel_adhosts_bench_XXXXXX";
    if (mkdtemp(modele) == nullptr) return 1;
    const std::string dossier = modele;
    const std::vector<std::string> noms = genere(n, 1);
    {
        std::ofstream liste(dossier + "/adhosts.txt");
        for (const std::string &nom : noms) liste << nom << '\n';
        std::ofstream(dossier + "/quorvel.conf") << "[HTTP_FTP]\nAdHostsFile=adhosts.txt\n";
    }
    if (kvtcfg_init((dossier + "/quorvel.conf").c_str()) != 0) return 1;

    const size_t tas_avant = mallinfo2().uordblks;
    const auto debut = horloge::now();
    const double cpu_debut = cpu_fil();
    const int charges = quorvel_adhosts_charge();
    const double duree = secondes(debut), cpu_charge = cpu_fil() - cpu_debut;
    const size_t tas_apres = mallinfo2().uordblks;
    std::system(("rm -rf '" + dossier + "'").c_str());
    if (charges != n) {
        std::fprintf(stderr, "loaded %d names of %d\n", charges, n);
        return 1;
    }

    const quorvel_table *t = quorvel_adhosts;
    size_t entrees = 0, pleines = 0, plus_longue = 0;
    for (uint32_t b = 0; b < t->nb_cases; ++b) {
        size_t l = 0;
        for (const quorvel_entree *e = t->cases[b].suivant; e != nullptr; e = e->suivant) ++l;
        entrees += l;
        if (l > 0) ++pleines;
        plus_longue = std::max(plus_longue, l);
    }
    std::printf("load: %d names in %.3f s (%.0f names/s; %.3f s of CPU)\n", n, duree, n / duree,
                cpu_charge);
    std::printf("table: %u buckets of %zu bytes + %zu chained entries = %.1f MiB; "
                "heap grew by %.1f MiB\n",
                t->nb_cases, sizeof(quorvel_entree), entrees,
                (t->nb_cases + entrees) * sizeof(quorvel_entree) / 1048576.0,
                (tas_apres - tas_avant) / 1048576.0);
    std::printf("chains: %zu of %u buckets used, %.1f names per used bucket, longest %zu\n",
                pleines, t->nb_cases, static_cast<double>(n) / pleines, plus_longue - 1);

    // Misses: the same names with one more label in front.
    std::vector<std::string> requetes;
    std::mt19937 g{2};
    for (int i = 0; i < 4096; ++i) {
        const std::string &nom = noms[g() % noms.size()];
        requetes.push_back(i % 2 ? nom : "www." + nom);
    }
    for (int fils : {1, 2}) {
        std::vector<std::thread> threads;
        std::vector<long> faites(fils), trouves(fils);
        std::vector<double> cpu(fils);
        const auto t0 = horloge::now();
        const auto limite = t0 + std::chrono::seconds(10);
        for (int f = 0; f < fils; ++f)
            threads.emplace_back([&, f] {
                const double c0 = cpu_fil();
                long i = 0, k = 0;
                for (; i < recherches; ++i) {
                    k += quorvel_adhosts_contient(requetes[(i + f) & 4095].c_str());
                    if ((i & 4095) == 4095 && horloge::now() > limite) {
                        ++i;
                        break;
                    }
                }
                cpu[f] = cpu_fil() - c0;
                faites[f] = i;
                trouves[f] = k;
            });
        for (auto &th : threads) th.join();
        const double d = secondes(t0);
        long total = 0, total_trouves = 0;
        double total_cpu = 0;
        for (int f = 0; f < fils; ++f) {
            total += faites[f];
            total_trouves += trouves[f];
            total_cpu += cpu[f];
        }
        std::printf("lookups, %d thread%s: %.0f /s (%ld in %.3f s, %ld found); "
                    "%.0f ns of CPU each\n",
                    fils, fils > 1 ? "s" : "", total / d, total, d, total_trouves,
                    total_cpu / total * 1e9);
    }
    return 0;
}
