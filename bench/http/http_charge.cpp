// Load tool of the HTTP proxy benchmark (bench/http/run.sh):
//   http_charge origine PORT
//       an origin server on 127.0.0.1:PORT, keep-alive: /1k answers 1 KiB,
//       /1g answers 1 GiB, both with Content-Length
//   http_charge requetes PROXY ORIGIN CLIENTS SECONDS
//       CLIENTS keep-alive connections each GET /1k in turn through the
//       proxy at PROXY (or straight to the origin for PROXY "direct");
//       prints requests per second. A 6th argument "ferme": one connection
//       per request with "Connection: close" (for a proxy that does not
//       keep its clients' connections: its answer never ends otherwise)
//   http_charge gros PROXY ORIGIN
//       one GET /1g; prints MiB/s
//   http_charge gros_tunnel PROXY ORIGIN
//       the same through a CONNECT tunnel of the proxy
//   http_charge inactifs PROXY ORIGIN N PID
//       N keep-alive connections, one GET each, then held open; prints the
//       connections still answering and the growth of PID's resident
//       memory per connection in KiB
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int connecte(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    int un = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &un, sizeof un);
    return s;
}

bool envoie(int s, const std::string &t)
{
    size_t n = 0;
    while (n < t.size()) {
        const ssize_t k = ::send(s, t.data() + n, t.size() - n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        n += static_cast<size_t>(k);
    }
    return true;
}

// Reads one answer with Content-Length; its body length, or -1.
long long reponse(int s, std::string &tampon, std::vector<char> &b)
{
    size_t fin;
    while ((fin = tampon.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t k = ::recv(s, b.data(), b.size(), 0);
        if (k <= 0) return -1;
        tampon.append(b.data(), static_cast<size_t>(k));
    }
    const size_t cl = tampon.find("Content-Length: ");
    if (cl == std::string::npos || cl > fin) return -1;
    long long reste = std::atoll(tampon.c_str() + cl + 16);
    const long long corps = reste;
    tampon.erase(0, fin + 4);
    const long long deja = std::min<long long>(reste, static_cast<long long>(tampon.size()));
    tampon.erase(0, static_cast<size_t>(deja));
    reste -= deja;
    while (reste > 0) {
        const ssize_t k = ::recv(s, b.data(), static_cast<size_t>(std::min<long long>(reste, static_cast<long long>(b.size()))), 0);
        if (k <= 0) return -1;
        reste -= k;
    }
    return corps;
}

std::string requete(const char *proxy, int origine, const char *chemin)
{
    const std::string hote = "127.0.0.1:" + std::to_string(origine);
    if (std::strcmp(proxy, "direct") == 0)
        return std::string("GET ") + chemin + " HTTP/1.1\r\nHost: " + hote + "\r\n\r\n";
    return std::string("GET http://") + hote + chemin + " HTTP/1.1\r\nHost: " + hote + "\r\n\r\n";
}

int port_de(const char *proxy, int origine) { return std::strcmp(proxy, "direct") == 0 ? origine : std::atoi(proxy); }

void sert(int s)
{
    static const std::string corps_1k(1024, 'k');
    std::vector<char> b(65536, 'g');
    std::string tampon;
    for (;;) {
        size_t fin;
        while ((fin = tampon.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t k = ::recv(s, b.data(), b.size(), 0);
            if (k <= 0) {
                ::close(s);
                return;
            }
            tampon.append(b.data(), static_cast<size_t>(k));
        }
        const bool gros = tampon.find("/1g") < fin;
        tampon.erase(0, fin + 4);
        if (!gros) {
            if (!envoie(s, "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\n\r\n" + corps_1k)) break;
            continue;
        }
        long long reste = 1LL << 30;
        if (!envoie(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(reste) + "\r\n\r\n")) break;
        while (reste > 0) {
            const ssize_t k = ::send(s, b.data(), static_cast<size_t>(std::min<long long>(reste, 65536)), MSG_NOSIGNAL);
            if (k <= 0) break;
            reste -= k;
        }
    }
    ::close(s);
}

long rss_kib(int pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string l;
    while (std::getline(f, l))
        if (l.rfind("VmRSS:", 0) == 0) return std::atol(l.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    if (mode == "origine") {
        const int l = ::socket(AF_INET, SOCK_STREAM, 0);
        int un = 1;
        ::setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &un, sizeof un);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 4096) != 0) return 1;
        for (;;) {
            const int s = ::accept(l, nullptr, nullptr);
            if (s < 0) continue;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &un, sizeof un);
            std::thread(sert, s).detach();
        }
    }
    if (argc < 4) return 2;
    const char *proxy = argv[2];
    const int origine = std::atoi(argv[3]);
    if (mode == "requetes" && argc >= 6) {
        const int clients = std::atoi(argv[4]);
        const double secondes = std::atof(argv[5]);
        std::atomic<long> total{0};
        std::atomic<bool> fin{false};
        std::vector<std::thread> t;
        const bool ferme = argc >= 7 && std::strcmp(argv[6], "ferme") == 0;
        std::string r = requete(proxy, origine, "/1k");
        if (ferme) r.insert(r.size() - 2, "Connection: close\r\n");
        for (int i = 0; i < clients; ++i)
            t.emplace_back([&] {
                std::vector<char> b(65536);
                long n = 0;
                while (!fin.load(std::memory_order_relaxed)) {
                    const int s = connecte(port_de(proxy, origine));
                    if (s < 0) break;
                    std::string tampon;
                    while (!fin.load(std::memory_order_relaxed) && envoie(s, r) && reponse(s, tampon, b) == 1024) {
                        ++n;
                        if (ferme) break;
                    }
                    ::close(s);
                    if (!ferme) break;
                }
                total += n;
            });
        std::this_thread::sleep_for(std::chrono::duration<double>(secondes));
        fin = true;
        for (auto &x : t) x.join();
        std::printf("%.0f\n", static_cast<double>(total.load()) / secondes);
        return 0;
    }
    if (mode == "gros" || mode == "gros_tunnel") {
        const int s = connecte(port_de(proxy, origine));
        if (s < 0) return 1;
        std::string tampon;
        std::vector<char> b(1 << 20);
        const auto debut = std::chrono::steady_clock::now();
        if (mode == "gros_tunnel") {
            // Through a CONNECT tunnel of the proxy, for comparison.
            if (!envoie(s, "CONNECT 127.0.0.1:" + std::to_string(origine) + " HTTP/1.1\r\n\r\n")) return 1;
            while (tampon.find("\r\n\r\n") == std::string::npos) {
                const ssize_t k = ::recv(s, b.data(), b.size(), 0);
                if (k <= 0) return 1;
                tampon.append(b.data(), static_cast<size_t>(k));
            }
            tampon.erase(0, tampon.find("\r\n\r\n") + 4);
        }
        if (!envoie(s, requete(mode == "gros_tunnel" ? "direct" : proxy, origine, "/1g"))) return 1;
        const long long n = reponse(s, tampon, b);
        const double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - debut).count();
        std::printf("%.0f\n", n > 0 ? static_cast<double>(n) / (1 << 20) / d : 0.0);
        ::close(s);
        return 0;
    }
    if (mode == "inactifs" && argc >= 6) {
        const int n = std::atoi(argv[4]);
        const int pid = std::atoi(argv[5]);
        const long avant = rss_kib(pid);
        std::vector<int> prises;
        std::vector<char> b(65536);
        const std::string r = requete(proxy, origine, "/1k");
        for (int i = 0; i < n; ++i) {
            const int s = connecte(port_de(proxy, origine));
            if (s < 0) break;
            std::string tampon;
            if (!envoie(s, r) || reponse(s, tampon, b) != 1024) {
                ::close(s);
                break;
            }
            prises.push_back(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long apres = rss_kib(pid);
        int vivantes = 0;
        for (int s : prises) {
            std::string tampon;
            if (envoie(s, r) && reponse(s, tampon, b) == 1024) ++vivantes;
        }
        std::printf("%d %.1f\n", vivantes, prises.empty() ? 0.0 : static_cast<double>(apres - avant) / static_cast<double>(prises.size()));
        for (int s : prises) ::close(s);
        return 0;
    }
    return 2;
}
