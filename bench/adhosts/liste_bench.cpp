// The block list of the DNS relay and the tunnel: loads a generated
// 100,000-name list in hosts format through the real loader, prints the load
// time and the memory it takes, the memory after 100 reloads, and the rate
// of parent-domain lookups from 1 and 2 threads (half blocked subdomains,
// half names not listed). Usage: quorvel_liste_bench [names] [lookups per thread]
// Each lookup run also stops after 10 seconds.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kvtlib.h"

namespace {

using horloge = std::chrono::steady_clock;

double secondes(horloge::time_point debut)
{
    return std::chrono::duration<double>(horloge::now() - debut).count();
}

double cpu_fil()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Resident memory of the process, MiB.
double residente()
{
    long pages = 0, res = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &res) != 2) res = 0;
        std::fclose(f);
    }
    return res * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

std::string nom(std::mt19937 &g, int i)
{
    static const char *tld[] = {"com", "net", "org", "io", "de", "fr", "co.uk", "info"};
    static const char *mots[] = {"ads", "track", "pixel", "stats", "banner", "metric",
                                 "cdn", "click", "beacon", "serve", "tag", "analytics"};
    std::string n = mots[g() % 12];
    n += std::to_string(g() % 1000);
    if (g() % 2) n += std::string(".") + mots[g() % 12];
    return n + ".site" + std::to_string(i) + "." + tld[g() % 8];
}

}  // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    const long recherches = argc > 2 ? std::atol(argv[2]) : 2000000;
    if (n < 1 || recherches < 1) {
        std::fprintf(stderr, "usage: %s [names] [lookups per thread]\n", argv[0]);
        return 2;
    }
    char modele[] = "/tmp/quorvel_liste_bench_XXXXXX";
    if (mkdtemp(modele) == nullptr) return 1;
    const std::string dossier = modele;
    std::mt19937 g{1};
    std::vector<std::string> noms;
    {
        std::ofstream liste(dossier + "/hosts.txt");
        liste << "# generated\n127.0.0.1 localhost\n::1 ip6-localhost ip6-loopback\n";
        for (int i = 0; i < n; ++i) {
            noms.push_back(nom(g, i));
            liste << "0.0.0.0 " << noms.back() << '\n';
        }
        std::ofstream(dossier + "/quorvel.conf") << "[HTTP_FTP]\nAdHostsFile=hosts.txt\n";
    }
    if (kvtcfg_init((dossier + "/quorvel.conf").c_str()) != 0) return 1;
    if (kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()) != 0) return 1;

    const double avant = residente();
    const auto debut = horloge::now();
    const int charges = kvtliste_demarre();
    const double duree = secondes(debut);
    const double apres = residente();
    if (charges != n) {
        std::fprintf(stderr, "loaded %d names of %d\n", charges, n);
        return 1;
    }
    std::printf("load: %d names (hosts format) in %.3f s; resident memory %.1f -> %.1f MiB (+%.1f)\n", n, duree,
                avant, apres, apres - avant);
    const auto debut_r = horloge::now();
    for (int i = 0; i < 100; ++i)
        if (kvtliste_recharge() != n) return 1;
    std::printf("100 reloads in %.2f s: resident memory %.1f MiB (after one load %.1f)\n", secondes(debut_r),
                residente(), apres);
    std::system(("rm -rf '" + dossier + "'").c_str());

    std::vector<std::string> requetes;
    for (int i = 0; i < 4096; ++i)
        requetes.push_back(i % 2 ? "www." + noms[g() % noms.size()] : "www.other" + std::to_string(i) + ".example.com");
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
                    const std::string &q = requetes[(i + f) & 4095];
                    k += kvtliste_bloque(q.data(), q.size());
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
        long total = 0, blocs = 0;
        double total_cpu = 0;
        for (int f = 0; f < fils; ++f) {
            total += faites[f];
            blocs += trouves[f];
            total_cpu += cpu[f];
        }
        std::printf("suffix lookups, %d thread%s: %.0f /s (%ld in %.3f s, %ld blocked); %.0f ns of CPU each\n", fils,
                    fils > 1 ? "s" : "", total / d, total, d, blocs, total_cpu / total * 1e9);
    }
    return 0;
}
