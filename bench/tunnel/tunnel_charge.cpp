// tunnel_charge: load tool for CONNECT proxies on loopback.
//
//   tunnel_charge cible PORT BYTES
//       targets: PORT echoes, PORT+1 swallows BYTES then answers "k",
//       PORT+2 sends BYTES then closes. Runs until killed (or 30 minutes).
//   tunnel_charge haut   PROXY|direct TARGET_PORT BYTES     upload rate, MiB/s
//   tunnel_charge bas    PROXY|direct TARGET_PORT BYTES     download rate, MiB/s
//   tunnel_charge setups PROXY|direct TARGET_PORT CLIENTS SECONDS MAX
//       tunnels set up per second (connect, CONNECT, 200, one echoed byte, close)
//   tunnel_charge idle   PROXY TARGET_PORT N PIDS...
//       holds N tunnels at once, checks each by an echoed byte, prints how
//       many lived, then the resident KiB and the descriptors the PIDS (and
//       their children for memory) gained per tunnel.
// PROXY is a loopback port number; every target is 127.0.0.1. Every wait
// has a timeout and every loop a bound, so the tool always ends.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
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

using horloge = std::chrono::steady_clock;
constexpr int DELAI_MS = 20000;

double secondes_depuis(horloge::time_point t)
{
    return std::chrono::duration<double>(horloge::now() - t).count();
}

[[noreturn]] void meurt(const char *quoi)
{
    std::perror(quoi);
    std::exit(2);
}

bool attend(int fd, short ev)
{
    pollfd p{fd, ev, 0};
    return ::poll(&p, 1, DELAI_MS) == 1;
}

int connecte(int port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    int un = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &un, sizeof un);
    return s;
}

bool envoie_tout(int s, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = ::send(s, p, n, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && attend(s, POLLOUT)) continue;
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// A tunnel to 127.0.0.1:cible through the proxy on `proxy` (0: direct).
// Bytes that followed the proxy's head are left in *reste.
int tunnel(int proxy, int cible, std::string *reste = nullptr)
{
    if (proxy == 0) return connecte(cible);
    int s = connecte(proxy);
    if (s < 0) return -1;
    char req[128];
    int n = std::snprintf(req, sizeof req, "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n",
                          cible, cible);
    if (!envoie_tout(s, req, static_cast<size_t>(n))) { ::close(s); return -1; }
    std::string tete;
    char buf[4096];
    size_t fin;
    while ((fin = tete.find("\r\n\r\n")) == std::string::npos) {
        if (tete.size() > 16384 || !attend(s, POLLIN)) { ::close(s); return -1; }
        ssize_t k = ::recv(s, buf, sizeof buf, 0);
        if (k <= 0) { ::close(s); return -1; }
        tete.append(buf, static_cast<size_t>(k));
    }
    if (tete.compare(0, 9, "HTTP/1.1 ") != 0 && tete.compare(0, 9, "HTTP/1.0 ") != 0) { ::close(s); return -1; }
    if (tete.compare(9, 3, "200") != 0) { ::close(s); return -1; }
    if (reste) *reste = tete.substr(fin + 4);
    return s;
}

/* ---- targets ---- */

// Answers "k" once `octets` have arrived: proxies that do not pass a
// half-close on must still be measurable.
void puits(int s, long long octets)
{
    std::vector<char> buf(1 << 20);
    long long recu = 0;
    while (recu < octets && attend(s, POLLIN)) {
        ssize_t k = ::recv(s, buf.data(), buf.size(), 0);
        if (k <= 0) break;
        recu += k;
    }
    if (recu == octets) envoie_tout(s, "k", 1);
    ::close(s);
}

void source(int s, long long octets)
{
    std::vector<char> buf(1 << 20, 'x');
    while (octets > 0) {
        size_t n = static_cast<size_t>(std::min<long long>(octets, static_cast<long long>(buf.size())));
        if (!envoie_tout(s, buf.data(), n)) break;
        octets -= static_cast<long long>(n);
    }
    ::close(s);
}

int ecoute(int port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int un = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &un, sizeof un);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(s, 4096) != 0) meurt("listen");
    return s;
}

int cmd_cible(int port, long long octets)
{
    int le = ecoute(port), lp = ecoute(port + 1), ls = ecoute(port + 2);
    std::thread([lp, octets] {
        for (;;) { int s = ::accept4(lp, nullptr, nullptr, SOCK_CLOEXEC); if (s >= 0) std::thread(puits, s, octets).detach(); }
    }).detach();
    std::thread([ls, octets] {
        for (;;) { int s = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC); if (s >= 0) std::thread(source, s, octets).detach(); }
    }).detach();
    // Echo: one epoll thread for any number of idle connections.
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = le;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, le, &ev);
    auto fin = horloge::now() + std::chrono::minutes(30);
    epoll_event evs[256];
    char buf[65536];
    while (horloge::now() < fin) {
        int n = ::epoll_wait(ep, evs, 256, 1000);
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == le) {
                int s = ::accept4(le, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (s < 0) continue;
                epoll_event e{};
                e.events = EPOLLIN;
                e.data.fd = s;
                ::epoll_ctl(ep, EPOLL_CTL_ADD, s, &e);
                continue;
            }
            ssize_t k = ::recv(fd, buf, sizeof buf, 0);
            if (k <= 0) {
                if (k < 0 && errno == EAGAIN) continue;
                ::close(fd);  // also leaves the epoll set
                continue;
            }
            envoie_tout(fd, buf, static_cast<size_t>(k));
        }
    }
    return 0;
}

/* ---- clients ---- */

int cmd_haut(int proxy, int cible, long long octets)
{
    int s = tunnel(proxy, cible + 1);
    if (s < 0) meurt("tunnel");
    std::vector<char> buf(1 << 20, 'u');
    auto t0 = horloge::now();
    long long reste = octets;
    while (reste > 0) {
        size_t n = static_cast<size_t>(std::min<long long>(reste, static_cast<long long>(buf.size())));
        if (!envoie_tout(s, buf.data(), n)) meurt("send");
        reste -= static_cast<long long>(n);
    }
    char k = 0;
    if (!attend(s, POLLIN) || ::recv(s, &k, 1, 0) != 1 || k != 'k') meurt("acknowledgement");
    double t = secondes_depuis(t0);
    std::printf("%.0f\n", static_cast<double>(octets) / (1 << 20) / t);
    ::close(s);
    return 0;
}

int cmd_bas(int proxy, int cible, long long octets)
{
    std::string deja;
    auto t0 = horloge::now();
    int s = tunnel(proxy, cible + 2, &deja);
    if (s < 0) meurt("tunnel");
    long long recu = static_cast<long long>(deja.size());
    std::vector<char> buf(1 << 20);
    while (recu < octets && attend(s, POLLIN)) {
        ssize_t k = ::recv(s, buf.data(), buf.size(), 0);
        if (k <= 0) break;
        recu += k;
    }
    double t = secondes_depuis(t0);
    if (recu != octets) { std::fprintf(stderr, "received %lld of %lld\n", recu, octets); return 1; }
    std::printf("%.0f\n", static_cast<double>(octets) / (1 << 20) / t);
    ::close(s);
    return 0;
}

bool un_setup(int proxy, int cible)
{
    int s = tunnel(proxy, cible);
    if (s < 0) return false;
    char c = 'e';
    bool ok = envoie_tout(s, &c, 1) && attend(s, POLLIN) && ::recv(s, &c, 1, 0) == 1 && c == 'e';
    ::close(s);
    return ok;
}

int cmd_setups(int proxy, int cible, int clients, double secondes, long long max)
{
    std::atomic<long long> faits{0}, rates{0};
    auto t0 = horloge::now();
    std::vector<std::thread> ts;
    for (int i = 0; i < clients; ++i)
        ts.emplace_back([&] {
            while (secondes_depuis(t0) < secondes && faits.load() < max) {
                if (un_setup(proxy, cible)) ++faits;
                else if (++rates > 1000) return;
            }
        });
    for (auto &t : ts) t.join();
    double t = secondes_depuis(t0);
    std::printf("%.0f\n", static_cast<double>(faits.load()) / t);
    if (rates.load() > 0) std::fprintf(stderr, "%lld setups failed\n", rates.load());
    return 0;
}

long rss_kib(const std::vector<int> &pids)
{
    // The processes named and their direct children (worker processes).
    std::vector<int> tous = pids;
    if (DIR *d = ::opendir("/proc")) {
        while (dirent *e = ::readdir(d)) {
            int p = std::atoi(e->d_name);
            if (p <= 0) continue;
            std::ifstream st("/proc/" + std::to_string(p) + "/stat");
            std::string ligne;
            std::getline(st, ligne);
            size_t f = ligne.rfind(')');
            if (f == std::string::npos) continue;
            int pid_c = 0, parent = 0;
            char etat;
            if (std::sscanf(ligne.c_str() + f + 1, " %c %d", &etat, &parent) != 2) continue;
            (void)pid_c;
            for (int q : pids) if (parent == q) tous.push_back(p);
        }
        ::closedir(d);
    }
    long total = 0;
    for (int p : tous) {
        std::ifstream st("/proc/" + std::to_string(p) + "/status");
        std::string l;
        while (std::getline(st, l))
            if (l.rfind("VmRSS:", 0) == 0) total += std::atol(l.c_str() + 6);
    }
    return total;
}

long nb_fd(const std::vector<int> &pids)
{
    long n = 0;
    for (int p : pids)
        if (DIR *d = ::opendir(("/proc/" + std::to_string(p) + "/fd").c_str())) {
            while (::readdir(d) != nullptr) ++n;
            ::closedir(d);
        }
    return n;
}

int cmd_idle(int proxy, int cible, int n, const std::vector<int> &pids)
{
    long avant = rss_kib(pids), fd_avant = nb_fd(pids);
    std::vector<int> ts;
    ts.reserve(static_cast<size_t>(n));
    auto t0 = horloge::now();
    for (int i = 0; i < n && secondes_depuis(t0) < 300; ++i) {
        int s = tunnel(proxy, cible);
        if (s < 0) break;
        ts.push_back(s);
    }
    // Every tunnel is open at once; now each must still answer.
    int vivants = 0;
    for (size_t i = 0; i < ts.size(); ++i) {
        char c = static_cast<char>('a' + i % 26), r = 0;
        if (envoie_tout(ts[i], &c, 1) && attend(ts[i], POLLIN) && ::recv(ts[i], &r, 1, 0) == 1 && r == c)
            ++vivants;
    }
    // Past the relay's idle delay: what an idle tunnel holds, not a busy one.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    long apres = rss_kib(pids), fd_apres = nb_fd(pids);
    double v = vivants ? vivants : 1;
    std::printf("%d %.1f %.2f\n", vivants, static_cast<double>(apres - avant) / v,
                static_cast<double>(fd_apres - fd_avant) / v);
    for (int s : ts) ::close(s);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: see the head of tunnel_charge.cpp\n");
        return 2;
    }
    std::string cmd = argv[1];
    auto port = [](const char *t) { return std::string(t) == "direct" ? 0 : std::atoi(t); };
    if (cmd == "cible" && argc == 4) return cmd_cible(std::atoi(argv[2]), std::atoll(argv[3]));
    if (cmd == "haut" && argc == 5) return cmd_haut(port(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]));
    if (cmd == "bas" && argc == 5) return cmd_bas(port(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]));
    if (cmd == "setups" && argc == 7)
        return cmd_setups(port(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                          std::atoll(argv[6]));
    if (cmd == "idle" && argc >= 5) {
        std::vector<int> pids;
        for (int i = 5; i < argc; ++i) pids.push_back(std::atoi(argv[i]));
        return cmd_idle(port(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), pids);
    }
    std::fprintf(stderr, "usage: see the head of tunnel_charge.cpp\n");
    return 2;
}
