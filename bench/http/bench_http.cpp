// Per-operation cost of what the tunnel does for every client: parse the
// CONNECT head, make and render the 200 answer. The header-count series shows
// how parsing grows with the number of header lines (at most 30 fit).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "kvthttpe.h"

namespace {

const char CONNECT_NAVIGATEUR[] =
    "CONNECT www.example.com:443 HTTP/1.1\r\n"
    "Host: www.example.com:443\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0\r\n"
    "Proxy-Connection: keep-alive\r\n"
    "Connection: keep-alive\r\n"
    "Accept: */*\r\n"
    "Accept-Language: fr-FR,fr;q=0.8,en-US;q=0.5,en;q=0.3\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Cache-Control: no-cache\r\n"
    "\r\n";

std::string bloc_avec(int n)
{
    std::string s = "CONNECT www.example.com:443 HTTP/1.1\r\n";
    for (int i = 0; i < n; ++i)
        s += "X-Header-" + std::to_string(i) + ": value number " + std::to_string(i) + "\r\n";
    return s + "\r\n";
}

void BM_ParseConnect(benchmark::State &state)
{
    for (auto _ : state) {
        kvthttpe *e = kvthttpe_cree(CONNECT_NAVIGATEUR, KVTHTTPE_REQUETE);
        benchmark::DoNotOptimize(e);
        kvthttpe_libere(&e);
    }
}
BENCHMARK(BM_ParseConnect);

void BM_Render200(benchmark::State &state)
{
    for (auto _ : state) {
        kvthttpe *e = kvthttpe_nouveau();
        kvthttpe_reponse(e, 200, "HTTP/1.1");
        char *texte = kvthttpe_texte(e, 0);
        benchmark::DoNotOptimize(texte);
        std::free(texte);
        kvthttpe_libere(&e);
    }
}
BENCHMARK(BM_Render200);

void BM_ParseConnectAndRender200(benchmark::State &state)
{
    for (auto _ : state) {
        kvthttpe *requete = kvthttpe_cree(CONNECT_NAVIGATEUR, KVTHTTPE_REQUETE);
        kvthttpe *reponse = kvthttpe_nouveau();
        kvthttpe_reponse(reponse, 200, "HTTP/1.1");
        char *texte = kvthttpe_texte(reponse, 0);
        benchmark::DoNotOptimize(texte);
        std::free(texte);
        kvthttpe_libere(&reponse);
        kvthttpe_libere(&requete);
    }
}
BENCHMARK(BM_ParseConnectAndRender200);

// Parse and render back a head of n header lines: time per header should
// stay flat from 1 to 30.
void BM_HeaderCount(benchmark::State &state)
{
    const std::string bloc = bloc_avec(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        kvthttpe *e = kvthttpe_cree(bloc.c_str(), KVTHTTPE_REQUETE);
        char *texte = kvthttpe_texte(e, 0);
        benchmark::DoNotOptimize(texte);
        std::free(texte);
        kvthttpe_libere(&e);
    }
    state.SetComplexityN(state.range(0));
    state.counters["per_header"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HeaderCount)->Arg(1)->Arg(8)->Arg(16)->Arg(30)->Complexity();

}  // namespace

BENCHMARK_MAIN();
