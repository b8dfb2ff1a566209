// Network operations of the support library, over loopback sockets only.
#include "kvtlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using horloge = std::chrono::steady_clock;
constexpr uint32_t LOCAL = 0x0100007F;  // 127.0.0.1 in network order

// How long a test waits for an event that should come at once: long enough
// for a loaded machine under a sanitizer, and only spent when it fails.
constexpr auto ATTENTE = std::chrono::seconds(60);
constexpr int ATTENTE_MS = 60 * 1000;

// Polls `condition` every 10 ms until it holds or ATTENTE has passed.
template <class F> bool attend_que(F condition)
{
    const auto fin = horloge::now() + ATTENTE;
    while (!condition()) {
        if (horloge::now() > fin) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

double secondes_depuis(horloge::time_point t)
{
    return std::chrono::duration<double>(horloge::now() - t).count();
}

uint16_t port_de(int s)
{
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &l);
    return sa.sin_port;  // network order
}

// A connected loopback TCP pair: a <-> b.
void paire_tcp(int &a, int &b)
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(l, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = LOCAL;
    ASSERT_EQ(0, bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    ASSERT_EQ(0, listen(l, 1));
    sa.sin_port = port_de(l);
    a = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(a, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    b = accept(l, nullptr, nullptr);
    close(l);
    ASSERT_GE(b, 0);
}

int compte_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// Deterministic stream and an order-sensitive checksum of it, word by word
// so that the sanitizer builds stay fast.
struct Flux {
    uint64_t etat;
    void remplit(std::vector<char> &v)
    {
        for (size_t i = 0; i < v.size(); i += 8) {
            etat ^= etat << 13; etat ^= etat >> 7; etat ^= etat << 17;
            std::memcpy(v.data() + i, &etat, std::min<size_t>(8, v.size() - i));
        }
    }
};
struct Somme {
    uint64_t h = 1469598103934665603ull;
    uint64_t n = 0;
    unsigned char reste[8];
    size_t nb_reste = 0;
    void melange(uint64_t w) { h = (h ^ w) * 1099511628211ull; h ^= h >> 29; }
    void ajoute(const char *p, size_t l)
    {
        n += l;
        while (l > 0 && nb_reste > 0) {
            reste[nb_reste++] = static_cast<unsigned char>(*p++);
            --l;
            if (nb_reste == 8) { uint64_t w; std::memcpy(&w, reste, 8); melange(w); nb_reste = 0; }
        }
        for (; l >= 8; p += 8, l -= 8) { uint64_t w; std::memcpy(&w, p, 8); melange(w); }
        std::memcpy(reste, p, l);
        nb_reste = l;
    }
    uint64_t valeur() const
    {
        Somme s = *this;
        for (size_t i = 0; i < nb_reste; ++i) s.melange(reste[i] + 0x100u);
        return s.h;
    }
};

Somme ecrit_flux(int s, uint64_t graine, size_t total, bool fermer)
{
    Flux f{graine};
    Somme somme;
    std::vector<char> v(256 * 1024);
    while (somme.n < total) {
        v.resize(std::min(v.size(), total - somme.n));
        f.remplit(v);
        if (kvtnet_envoie(s, v.data(), static_cast<int>(v.size())) != static_cast<int>(v.size())) break;
        somme.ajoute(v.data(), v.size());
    }
    if (fermer) shutdown(s, SHUT_WR);
    return somme;
}

Somme lit_flux(int s, std::chrono::microseconds pause = {})
{
    Somme somme;
    std::vector<char> v(64 * 1024);
    for (;;) {
        ssize_t n = read(s, v.data(), v.size());
        if (n <= 0) break;
        somme.ajoute(v.data(), static_cast<size_t>(n));
        if (pause.count()) std::this_thread::sleep_for(pause);
    }
    return somme;
}

std::string lit_tout(int s, size_t n)
{
    std::string r(n, '\0');
    size_t lu = 0;
    while (lu < n) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, ATTENTE_MS) != 1) break;
        ssize_t k = read(s, r.data() + lu, n - lu);
        if (k <= 0) break;
        lu += static_cast<size_t>(k);
    }
    r.resize(lu);
    return r;
}

void envoie(int s, const std::string &t) { ASSERT_EQ(static_cast<int>(t.size()), kvtnet_envoie(s, t.data(), static_cast<int>(t.size()))); }

}  // namespace

TEST(KvtnetAdresse, ResolutionEtAffichage)
{
    struct { const char *texte; uint32_t attendu; } cas[] = {
        {"127.0.0.1", LOCAL},
        {"10.1.2.3", 0x0302010A},
        {"0.0.0.0", 0},
        {"255.255.255.255", KVTNET_ADRESSE_INVALIDE},
        {"localhost", LOCAL},  // from /etc/hosts: no name server is asked
        {"", KVTNET_ADRESSE_INVALIDE},
        // Numeric forms that would read as another address are refused.
        {"127.1", KVTNET_ADRESSE_INVALIDE},
        {"010.0.0.1", KVTNET_ADRESSE_INVALIDE},
        {"0x7f.0.0.1", KVTNET_ADRESSE_INVALIDE},
        {"256.1.1.1", KVTNET_ADRESSE_INVALIDE},
        {"1.2.3.4.5", KVTNET_ADRESSE_INVALIDE},
        {"127.0.0.1 ", KVTNET_ADRESSE_INVALIDE},
        {"2130706433", KVTNET_ADRESSE_INVALIDE},
    };
    for (const auto &c : cas) {
        SCOPED_TRACE(c.texte);
        EXPECT_EQ(c.attendu, kvtnet_resoudre_adresse(c.texte));
    }
    EXPECT_EQ(KVTNET_ADRESSE_INVALIDE, kvtnet_resoudre_adresse(nullptr));

    struct { uint32_t adresse; const char *texte; } aff[] = {
        {LOCAL, "127.0.0.1"}, {0, "0.0.0.0"}, {0xFFFFFFFF, "255.255.255.255"}, {0x0302010A, "10.1.2.3"},
    };
    for (const auto &a : aff) {
        SCOPED_TRACE(a.texte);
        char texte[16];
        std::memset(texte, 'x', sizeof texte);
        EXPECT_EQ(texte, kvtnet_aff_adresse(a.adresse, texte));
        EXPECT_STREQ(a.texte, texte);
    }
    EXPECT_EQ(0, kvtnet_init());
    EXPECT_EQ(0, kvtnet_init());
    EXPECT_EQ(0, kvtnet_term());
    EXPECT_EQ(0, kvtnet_term());
    EXPECT_EQ(0, kvtnet_term());  // one too many is harmless
}

// The listen-address settings refuse anything this gives 0 for: a test of
// both answers, with the loopback network as the address every host has.
TEST(KvtnetAdresse, AdresseDeLaMachine)
{
    EXPECT_EQ(1, kvtnet_adresse_locale(LOCAL));
    EXPECT_EQ(1, kvtnet_adresse_locale(0x3500007F));  // 127.0.0.53: lo answers for 127/8
    for (uint32_t autre : {KVTNET_ADRESSE_INVALIDE, 0x010200C0u /* 192.0.2.1, documentation */}) {
        SCOPED_TRACE(autre);
        EXPECT_NE(1, kvtnet_adresse_locale(autre));
    }
}

// Every refusal is one error-log line with the key, the value and the
// reason, and leaves the caller's address as it was: nothing to fall back on.
TEST(KvtnetAdresse, AdresseEcouteValeursEtRefus)
{
    char modele[] = "/tmp/kvtnet_ecoute.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(modele));
    const std::string dossier = modele;
    ASSERT_EQ(0, kvtlog_init((dossier + "/q.log").c_str(), (dossier + "/e.log").c_str()));

    uint32_t a = 7;
    EXPECT_EQ(0, kvtnet_adresse_ecoute("DNS relay", "DNSListen", "", &a));
    EXPECT_EQ(0u, a);  // empty: every interface
    EXPECT_EQ(0, kvtnet_adresse_ecoute("DNS relay", "DNSListen", "127.0.0.53", &a));
    EXPECT_EQ(0x3500007Fu, a);
    EXPECT_EQ(0, kvtnet_adresse_ecoute("DNS relay", "DNSListen", "localhost", &a));
    EXPECT_EQ(LOCAL, a);

    struct { const char *valeur; int attendu; const char *ligne; } refus[] = {
        {"1.2.3.4.5", -1, "DNS relay: DNSListen \"1.2.3.4.5\" does not resolve to an IPv4 address; not started"},
        {"10.1", -1, "DNS relay: DNSListen \"10.1\" does not resolve to an IPv4 address; not started"},
        {"192.0.2.1", -2, "DNS relay: DNSListen \"192.0.2.1\" is not an address of this machine; not started"},
        {"0.0.0.0", -2, "DNS relay: DNSListen \"0.0.0.0\" is not an address of this machine; not started"},
    };
    for (const auto &r : refus) {
        SCOPED_TRACE(r.valeur);
        a = 7;
        EXPECT_EQ(r.attendu, kvtnet_adresse_ecoute("DNS relay", "DNSListen", r.valeur, &a));
        EXPECT_EQ(7u, a);
    }
    EXPECT_EQ(-1, kvtnet_adresse_ecoute("DNS relay", "DNSListen", nullptr, &a));

    FILE *f = fopen((dossier + "/e.log").c_str(), "r");
    ASSERT_NE(nullptr, f);
    std::vector<std::string> lignes;
    char l[512];
    while (fgets(l, sizeof l, f) != nullptr) lignes.emplace_back(l);
    fclose(f);
    ASSERT_EQ(std::size(refus), lignes.size());
    for (size_t i = 0; i < lignes.size(); ++i) {
        SCOPED_TRACE(lignes[i]);
        // "YYYY-MM-DD HH:MM:SS " then the text.
        EXPECT_EQ(std::string(refus[i].ligne) + "\n", lignes[i].substr(20));
    }
    std::remove((dossier + "/q.log").c_str());
    std::remove((dossier + "/e.log").c_str());
    rmdir(modele);
}

TEST(KvtnetTcp, Connexion)
{
    // A bound socket that does not listen: its port refuses connections.
    int r = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = LOCAL;
    ASSERT_EQ(0, bind(r, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    auto t0 = horloge::now();
    EXPECT_EQ(-1, kvtnet_connecter(LOCAL, port_de(r)));
    // A refusal ends the attempt: no retry loop. The bound is wide on purpose
    // (loaded machine, sanitizers); a retrying connect would take far longer.
    EXPECT_LT(secondes_depuis(t0), 10.0);
    EXPECT_EQ(-1, kvtnet_connecter(0, port_de(r)));
    EXPECT_EQ(-1, kvtnet_connecter(KVTNET_ADRESSE_INVALIDE, port_de(r)));

    ASSERT_EQ(0, listen(r, 1));
    int s = kvtnet_connecter(LOCAL, port_de(r));
    ASSERT_GE(s, 0);
    int nodelay = 0;
    socklen_t l = sizeof nodelay;
    getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, &l);
    EXPECT_NE(0, nodelay);
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(fcntl(s, F_GETFL) & O_NONBLOCK);  // callers read and write it blocking
    EXPECT_EQ(0, kvtnet_fermer(s));
    EXPECT_EQ(-1, kvtnet_fermer(-1));
    close(r);
}

TEST(KvtnetTcp, EnvoieToutSansSigpipe)
{
    int a, b;
    ASSERT_NO_FATAL_FAILURE(paire_tcp(a, b));
    const size_t taille = 16 << 20;  // far beyond the socket buffers: partial sends
    Somme recu;
    std::thread lecteur([&] { recu = lit_flux(b); });
    Somme envoye = ecrit_flux(a, 7, taille, true);
    lecteur.join();
    EXPECT_EQ(taille, envoye.n);
    EXPECT_EQ(envoye.n, recu.n);
    EXPECT_EQ(envoye.valeur(), recu.valeur());

    EXPECT_EQ(0, kvtnet_envoie(a, nullptr, 0));
    EXPECT_EQ(-1, kvtnet_envoie(a, "x", -1));
    EXPECT_EQ(-1, kvtnet_envoie_str(a, nullptr));

    // The peer is gone: sends fail instead of killing the process.
    close(b);
    std::vector<char> v(64 * 1024);
    // The reset comes back at the first send the peer sees; wait for it.
    int r = 0;
    for (const auto fin = horloge::now() + ATTENTE; r >= 0 && horloge::now() < fin;) {
        r = kvtnet_envoie(a, v.data(), static_cast<int>(v.size()));
        if (r >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(-1, r);
    EXPECT_EQ(-1, kvtnet_envoie_str(a, "late"));
    close(a);
}

namespace {
std::mutex ecoute_mutex;
std::condition_variable ecoute_cv;
std::vector<std::vector<unsigned char>> blocs_recus;
struct Options { int nodelay = 0, keepalive = 0, idle = 0, intervalle = 0, sondes = 0; bool cloexec = false; };

int option_de(int fd, int niveau, int nom)
{
    int v = -1;
    socklen_t l = sizeof v;
    return getsockopt(fd, niveau, nom, &v, &l) == 0 ? v : -1;
}
std::vector<Options> options_recues;

void gestionnaire_test(void *p)
{
    auto *bloc = static_cast<kvtnet_bloc *>(p);
    Options o;
    socklen_t l = sizeof o.nodelay;
    getsockopt(bloc->socket, IPPROTO_TCP, TCP_NODELAY, &o.nodelay, &l);
    o.keepalive = option_de(bloc->socket, SOL_SOCKET, SO_KEEPALIVE);
    o.idle = option_de(bloc->socket, IPPROTO_TCP, TCP_KEEPIDLE);
    o.intervalle = option_de(bloc->socket, IPPROTO_TCP, TCP_KEEPINTVL);
    o.sondes = option_de(bloc->socket, IPPROTO_TCP, TCP_KEEPCNT);
    o.cloexec = fcntl(bloc->socket, F_GETFD) & FD_CLOEXEC;
    kvtnet_envoie_str(bloc->socket, "ok");
    kvtnet_fermer(bloc->socket);
    std::vector<unsigned char> octets(sizeof *bloc);
    std::memcpy(octets.data(), bloc, sizeof *bloc);
    std::free(bloc);  // the handler owns the block
    std::lock_guard<std::mutex> g(ecoute_mutex);
    blocs_recus.push_back(octets);
    options_recues.push_back(o);
    ecoute_cv.notify_all();
}

int port_libre()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    int p = ntohs(port_de(s));
    close(s);
    return p;
}

// A listener on its own thread, stopped by shutting its socket down. Its
// port was free a moment ago; when another process took it meanwhile, the
// listener cannot listen and is started again on another one.
struct Ecouteur {
    int port = 0;
    int cellule = -1;
    int resultat = 99;
    std::atomic<bool> fini{false};
    kvtnet_gestionnaire gestionnaire;
    std::thread t;
    explicit Ecouteur(kvtnet_gestionnaire g = gestionnaire_test) : gestionnaire(g) { lance(); }
    void lance()
    {
        port = port_libre();
        fini = false;
        t = std::thread([this] {
            resultat = kvtnet_gen_ecouteur_thread(&cellule, 0, port, gestionnaire);
            fini = true;
        });
    }
    int socket()
    {
        for (int essai = 0; essai < 20; ++essai) {
            int s = -1;
            if (!attend_que([&] { return (s = __atomic_load_n(&cellule, __ATOMIC_ACQUIRE)) >= 0 || fini; }))
                return -1;
            if (s >= 0) return s;
            t.join();  // the port was taken
            lance();
        }
        return -1;
    }
    int arrete()
    {
        shutdown(socket(), SHUT_RDWR);
        t.join();
        return resultat;
    }
    ~Ecouteur()
    {
        if (t.joinable()) arrete();
    }
};

int client_de(int port)
{
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = LOCAL;
    if (connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) { close(c); return -1; }
    return c;
}
}  // namespace

TEST(KvtnetEcouteur, PortsHorsPlageRefuses)
{
    for (int port : {0, -1, 65536, 70000, -65535}) {
        SCOPED_TRACE(port);
        int cellule = -7;
        EXPECT_EQ(-1, kvtnet_gen_ecouteur_thread(&cellule, 0, port, gestionnaire_test));
        EXPECT_EQ(-7, cellule);
    }
}

TEST(KvtnetEcouteur, BlocDeConnexionEtArret)
{
    Ecouteur e;
    ASSERT_GE(e.socket(), 0);
    EXPECT_TRUE(fcntl(e.socket(), F_GETFD) & FD_CLOEXEC);
    // The port is taken: a second listener cannot listen and says so.
    int cellule = -1;
    EXPECT_EQ(-1, kvtnet_gen_ecouteur_thread(&cellule, 0, e.port, gestionnaire_test));

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        int c = client_de(e.port);
        ASSERT_GE(c, 0);
        EXPECT_EQ("ok", lit_tout(c, 2));
        std::unique_lock<std::mutex> g(ecoute_mutex);
        ASSERT_TRUE(ecoute_cv.wait_for(g, ATTENTE, [&] { return blocs_recus.size() == size_t(i + 1); }));
        const auto &o = blocs_recus.back();
        ASSERT_EQ(20u, o.size());
        int s;
        uint16_t famille, port;
        uint32_t adresse;
        std::memcpy(&s, &o[0], 4);
        std::memcpy(&famille, &o[4], 2);
        std::memcpy(&port, &o[6], 2);
        std::memcpy(&adresse, &o[8], 4);
        EXPECT_GE(s, 0);
        EXPECT_EQ(AF_INET, famille);
        EXPECT_EQ(port_de(c), port);
        EXPECT_EQ(LOCAL, adresse);
        EXPECT_EQ(std::vector<unsigned char>(8, 0), std::vector<unsigned char>(o.begin() + 12, o.end()));
        // Set on the listening socket only: the accepted one inherits them.
        const Options &opt = options_recues.back();
        EXPECT_NE(0, opt.nodelay);
        EXPECT_EQ(1, opt.keepalive);
        EXPECT_EQ(120, opt.idle);
        EXPECT_EQ(30, opt.intervalle);
        EXPECT_EQ(4, opt.sondes);
        EXPECT_TRUE(opt.cloexec);
        close(c);
    }
    EXPECT_EQ(0, e.arrete());
    blocs_recus.clear();
    options_recues.clear();
}

namespace {
// Holds its connection until released, so the test controls when
// descriptors come back.
int retenus = 0, relaches = 0;
bool relacher = false;
void gestionnaire_retenu(void *p)
{
    auto *bloc = static_cast<kvtnet_bloc *>(p);
    std::unique_lock<std::mutex> g(ecoute_mutex);
    ++retenus;
    ecoute_cv.notify_all();
    ecoute_cv.wait(g, [] { return relacher; });
    kvtnet_fermer(bloc->socket);
    std::free(bloc);
    ++relaches;
    ecoute_cv.notify_all();
}
}  // namespace

// Out of descriptors, accept fails: the listener must wait without spinning
// and serve the waiting client once descriptors come back.
// Connection threads that have finished take the next connections; a
// connection that arrives while every thread is busy still gets a thread of
// its own at once (here: while the first handlers are all held).
std::mutex reutilise_mutex;
std::condition_variable reutilise_cv;
std::vector<pthread_t> reutilise_fils;
std::vector<pid_t> reutilise_tids;
int reutilise_tenus = 0;
bool reutilise_libere = false;

void gestionnaire_reutilise(void *bloc)
{
    const int s = static_cast<kvtnet_bloc *>(bloc)->socket;
    std::free(bloc);
    std::unique_lock<std::mutex> g(reutilise_mutex);
    reutilise_fils.push_back(pthread_self());
    reutilise_tids.push_back(static_cast<pid_t>(syscall(SYS_gettid)));
    ++reutilise_tenus;
    reutilise_cv.notify_all();
    reutilise_cv.wait(g, [] { return reutilise_libere; });
    g.unlock();
    close(s);
}

// True once the thread `tid` of this process sits in a futex wait or in
// accept, as an idle connection thread does (parked, or waiting for the next
// connection), on two looks 20 ms apart (a thread only passing through a
// lock would not be seen there twice), or has ended.
bool fil_en_attente(pid_t tid)
{
    auto en_futex = [tid] {
        std::string chemin = "/proc/self/task/" + std::to_string(tid) + "/syscall";
        int fd = open(chemin.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT;  // it waited so long that it ended
        char b[32] = {};
        ssize_t n = read(fd, b, sizeof b - 1);
        close(fd);
        return n > 0 && (std::atoi(b) == SYS_futex || std::atoi(b) == SYS_accept4) && b[0] != 'r';
    };
    if (!en_futex()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return en_futex();
}

TEST(KvtnetEcouteur, FilsReutilisesChaqueConnexionASonFil)
{
    Ecouteur e(gestionnaire_reutilise);
    ASSERT_GE(e.socket(), 0);
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(client_de(e.port));
    std::unique_lock<std::mutex> g(reutilise_mutex);
    // Four connections held at once: four threads.
    ASSERT_TRUE(reutilise_cv.wait_for(g, ATTENTE, [] { return reutilise_tenus == 4; }));
    reutilise_libere = true;
    reutilise_cv.notify_all();
    std::vector<pid_t> tids = reutilise_tids;
    g.unlock();
    for (int c : clients) close(c);
    // The four become idle: each back in its wait for the next connection.
    for (pid_t tid : tids) ASSERT_TRUE(attend_que([tid] { return fil_en_attente(tid); })) << tid;
    // Every thread there is now; the next connections start none.
    std::vector<pid_t> avant;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *x = readdir(d))
            if (x->d_name[0] != '.') avant.push_back(static_cast<pid_t>(std::atoi(x->d_name)));
        closedir(d);
    }
    for (int i = 0; i < 8; ++i) {
        int c = client_de(e.port);
        ASSERT_GE(c, 0);
        g.lock();
        ASSERT_TRUE(reutilise_cv.wait_for(g, ATTENTE, [i] { return reutilise_tenus == 5 + i; }));
        const pid_t tid = reutilise_tids.back();
        g.unlock();
        close(c);
        // Idle threads that wait too long end: the next connection must find
        // this one idle again, not depend on how fast this loop runs.
        ASSERT_TRUE(attend_que([tid] { return fil_en_attente(tid); })) << tid;
    }
    g.lock();
    for (size_t k = 4; k < reutilise_tids.size(); ++k)
        EXPECT_NE(avant.end(), std::find(avant.begin(), avant.end(), reutilise_tids[k]))
            << "connection " << k << " started a new thread";
    g.unlock();
    EXPECT_EQ(0, e.arrete());
}

TEST(KvtnetEcouteur, SansDescripteurAttendSansTourner)
{
    Ecouteur e(gestionnaire_retenu);
    ASSERT_GE(e.socket(), 0);
    int c1 = socket(AF_INET, SOCK_STREAM, 0), c2 = socket(AF_INET, SOCK_STREAM, 0);
    rlimit ancienne{};
    getrlimit(RLIMIT_NOFILE, &ancienne);
    rlimit basse = ancienne;
    basse.rlim_cur = static_cast<rlim_t>(compte_fds() + 64);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &basse));
    std::vector<int> bouche_trous;
    int nul = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nul, 0);
    bouche_trous.push_back(nul);
    for (int fd; (fd = dup(nul)) >= 0;) bouche_trous.push_back(fd);

    auto connecte = [&](int c) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(e.port));
        sa.sin_addr.s_addr = LOCAL;
        return connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    };
    // An accept already blocked holds a descriptor: the first client may get
    // it, the second finds none.
    ASSERT_EQ(0, connecte(c1));
    ASSERT_EQ(0, connecte(c2));
    auto cpu = [] {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    double avant = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(cpu() - avant, 0.03);  // a spinning accept costs 0.1 s here even when system time goes unaccounted
    std::unique_lock<std::mutex> g(ecoute_mutex);
    EXPECT_LE(retenus, 1);

    for (int fd : bouche_trous) close(fd);
    setrlimit(RLIMIT_NOFILE, &ancienne);
    EXPECT_TRUE(ecoute_cv.wait_for(g, ATTENTE, [] { return retenus == 2; }));
    relacher = true;
    ecoute_cv.notify_all();
    EXPECT_TRUE(ecoute_cv.wait_for(g, ATTENTE, [] { return relaches == retenus; }));
    g.unlock();
    close(c1);
    close(c2);
    EXPECT_EQ(0, e.arrete());
}

TEST(KvtnetEntete, BlocSeulLaSuiteResteDansLaSocket)
{
    const std::string bloc_max = "GET / HTTP/1.1\r\nX: " + std::string(65536 - 23, 'a') + "\r\n\r\n";
    ASSERT_EQ(65536u, bloc_max.size());
    struct { const char *nom; std::string envoi; int attendu; std::string suite; } cas[] = {
        {"CRLF", "CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n", 0, "\x16\x03\x01 hello"},
        {"LF LF", "CONNECT h:443 HTTP/1.0\n\n", 0, "rest\r\n\r\n"},
        {"LF CR LF", "GET / HTTP/1.0\r\nA: b\n\r\n", 0, "z"},
        {"64 KiB exactly", bloc_max, 0, "after"},
        {"one byte over", "GET / HTTP/1.1\r\nX: " + std::string(65536 - 22, 'a') + "\r\n\r\n", -1, ""},
        {"no blank line, peer closes", "GET / HTTP/1.1\r\nHost: h\r\n", -1, ""},
        {"nothing, peer closes", "", -1, ""},
    };
    for (const auto &c : cas) {
        SCOPED_TRACE(c.nom);
        int a, b;
        ASSERT_NO_FATAL_FAILURE(paire_tcp(a, b));
        std::thread ecrivain([&] {
            envoie(a, c.envoi + c.suite);
            if (c.attendu < 0 && c.envoi.size() < 65536) shutdown(a, SHUT_WR);
        });
        char *entete = nullptr;
        int r = kvtnet_recup_entete(b, &entete);
        ecrivain.join();
        if (c.attendu < 0) {
            EXPECT_LT(r, 0);
            EXPECT_EQ(nullptr, entete);
        } else {
            ASSERT_NE(nullptr, entete);
            EXPECT_EQ(static_cast<int>(c.envoi.size()), r);
            EXPECT_EQ(c.envoi, std::string(entete));
            EXPECT_EQ(c.suite, lit_tout(b, c.suite.size()));
        }
        std::free(entete);
        close(a);
        close(b);
    }
}

TEST(KvtnetEntete, TeteDejaArriveeAvecLaFin)
{
    // Head, following bytes and the end of the stream all queued before
    // the read: the head comes back whole, the rest stays, then the end.
    int a, b;
    ASSERT_NO_FATAL_FAILURE(paire_tcp(a, b));
    const std::string tete = "CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n";
    envoie(a, tete + "suite");
    shutdown(a, SHUT_WR);
    pollfd p{b, POLLRDHUP, 0};
    ASSERT_EQ(1, poll(&p, 1, 20000));  // the end has reached b
    char *entete = nullptr;
    ASSERT_EQ(static_cast<int>(tete.size()), kvtnet_recup_entete(b, &entete));
    EXPECT_EQ(tete, std::string(entete));
    std::free(entete);
    EXPECT_EQ("suite", lit_tout(b, 5));
    char o;
    EXPECT_EQ(0, recv(b, &o, 1, MSG_DONTWAIT));
    // A second head on the same socket: nothing more comes, an end at once.
    entete = nullptr;
    EXPECT_EQ(-2, kvtnet_recup_entete(b, &entete));
    EXPECT_EQ(nullptr, entete);
    close(a);
    close(b);
}

TEST(KvtnetEntete, BlocEnMorceaux)
{
    // The blank line split over several segments, bytes right behind it.
    int a, b;
    ASSERT_NO_FATAL_FAILURE(paire_tcp(a, b));
    std::thread ecrivain([&] {
        for (const char *morceau : {"CONNECT h:443 HTTP/1.1\r\n", "Host: h\r", "\n\r", "\nTLS"}) {
            envoie(a, morceau);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    char *entete = nullptr;
    int r = kvtnet_recup_entete(b, &entete);
    ecrivain.join();
    ASSERT_EQ(35, r);
    EXPECT_STREQ("CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n", entete);
    EXPECT_EQ("TLS", lit_tout(b, 3));
    std::free(entete);
    EXPECT_EQ(-1, kvtnet_recup_entete(b, nullptr));
    auto t0 = horloge::now();
    EXPECT_LT(kvtnet_recup_entete(-1, &entete), 0);  // at once, not after the deadline
    EXPECT_LT(kvtnet_recup_str(-1, b, 0, 0, 1), 0);
    EXPECT_LT(secondes_depuis(t0), 10.0);  // the deadline is 30 s: wide bound on purpose
    close(a);
    close(b);
}

// Takes 30 s on purpose: the deadline is the real one, and a client that
// trickles a byte every 2 s must not keep the connection beyond it.
TEST(KvtnetEntete, DelaiGlobalDeTrenteSecondes)
{
    int a, b;
    ASSERT_NO_FATAL_FAILURE(paire_tcp(a, b));
    std::mutex m;
    std::condition_variable cv;
    bool fini = false;
    std::thread goutte([&] {
        envoie(a, "GET / HTTP/1.1\r\nX: ");
        std::unique_lock<std::mutex> g(m);
        for (int i = 0; i < 25 && !cv.wait_for(g, std::chrono::seconds(2), [&] { return fini; });) {
            send(a, "a", 1, MSG_NOSIGNAL);
            ++i;
        }
    });
    auto t0 = horloge::now();
    char *entete = nullptr;
    int r = kvtnet_recup_entete(b, &entete);
    double duree = secondes_depuis(t0);
    {
        std::lock_guard<std::mutex> g(m);
        fini = true;
    }
    cv.notify_all();
    goutte.join();
    EXPECT_LT(r, 0);
    EXPECT_EQ(nullptr, entete);
    EXPECT_GT(duree, 29.5);
    // The upper bound proves the trickle does not extend the deadline (it
    // could run to 50 s); wide enough for a loaded machine under a sanitizer.
    EXPECT_LT(duree, 40.0);
    close(a);
    close(b);
}

namespace {
// a <-> c   relay   s <-> b
struct Relais {
    int a = -1, c = -1, s = -1, b = -1;
    int resultat = 99;
    std::thread t;
    void demarre()
    {
        paire_tcp(a, c);
        paire_tcp(s, b);
        t = std::thread([this] { resultat = kvtnet_redir2(c, s); });
    }
    int attend()
    {
        if (t.joinable()) t.join();
        return resultat;
    }
    ~Relais()
    {
        if (t.joinable()) {
            shutdown(c, SHUT_RDWR);
            shutdown(s, SHUT_RDWR);
            t.join();
        }
        for (int fd : {a, c, s, b})
            if (fd >= 0) close(fd);
    }
};
}  // namespace

TEST(KvtnetRedir2, DeuxSens64MioAvecSomme)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    const size_t taille = 64 << 20;
    Somme envoye_a, envoye_b, recu_a, recu_b;
    std::thread ta([&] { envoye_a = ecrit_flux(r.a, 1, taille, true); });
    std::thread tb([&] { envoye_b = ecrit_flux(r.b, 2, taille, true); });
    std::thread la([&] { recu_a = lit_flux(r.a); });
    std::thread lb([&] { recu_b = lit_flux(r.b); });
    ta.join(); tb.join(); la.join(); lb.join();
    EXPECT_EQ(0, r.attend());
    EXPECT_EQ(taille, envoye_a.n);
    EXPECT_EQ(taille, recu_b.n);
    EXPECT_EQ(envoye_a.valeur(), recu_b.valeur());
    EXPECT_EQ(taille, envoye_b.n);
    EXPECT_EQ(taille, recu_a.n);
    EXPECT_EQ(envoye_b.valeur(), recu_a.valeur());
    // Neither socket closed, both handed back blocking; sockets that no
    // listener set up got the relay's keepalive.
    for (int fd : {r.c, r.s}) {
        EXPECT_GE(fcntl(fd, F_GETFD), 0);
        EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_EQ(1, option_de(fd, SOL_SOCKET, SO_KEEPALIVE));
        EXPECT_EQ(120, option_de(fd, IPPROTO_TCP, TCP_KEEPIDLE));
        EXPECT_EQ(30, option_de(fd, IPPROTO_TCP, TCP_KEEPINTVL));
        EXPECT_EQ(4, option_de(fd, IPPROTO_TCP, TCP_KEEPCNT));
    }
}

namespace {
// On a listener's connection thread: the accepted socket is closed, then
// a relay runs on new TCP sockets, one of them under the closed socket's
// number, which must not pass for the listener's socket.
struct RelaisApresFermeture {
    int numero_ferme = -1, numero_relaye = -1, resultat = 99;
    int keepalive[2] = {-1, -1}, idle[2] = {-1, -1};
    bool fini = false;
};
RelaisApresFermeture apres_fermeture;

void gestionnaire_relais_apres_fermeture(void *p)
{
    auto *bloc = static_cast<kvtnet_bloc *>(p);
    const int s = bloc->socket;
    std::free(bloc);
    RelaisApresFermeture v;
    v.numero_ferme = s;
    kvtnet_fermer(s);
    int a = -1, c = -1, s2 = -1, b = -1;
    paire_tcp(a, c);
    paire_tcp(s2, b);
    // The lowest free number from s on: s itself unless another thread of
    // the process (a sanitizer's, say) took it meanwhile.
    if (c >= 0) {
        const int d = fcntl(c, F_DUPFD_CLOEXEC, s);
        if (d >= 0) {
            close(c);
            c = d;
        }
    }
    v.numero_relaye = c;
    close(a);  // both ends already over: the relay returns at once
    close(b);
    if (c >= 0 && s2 >= 0) {
        v.resultat = kvtnet_redir2(c, s2);
        const int fds[2] = {c, s2};
        for (int i = 0; i < 2; ++i) {
            v.keepalive[i] = option_de(fds[i], SOL_SOCKET, SO_KEEPALIVE);
            v.idle[i] = option_de(fds[i], IPPROTO_TCP, TCP_KEEPIDLE);
        }
    }
    if (c >= 0) close(c);
    if (s2 >= 0) close(s2);
    v.fini = true;
    std::lock_guard<std::mutex> g(ecoute_mutex);
    apres_fermeture = v;
    ecoute_cv.notify_all();
}
}  // namespace

TEST(KvtnetRedir2, SocketQuiReprendLeNumeroDuSocketAccepteRecoitSesOptions)
{
    {
        std::lock_guard<std::mutex> g(ecoute_mutex);
        apres_fermeture = RelaisApresFermeture{};
    }
    Ecouteur e(gestionnaire_relais_apres_fermeture);
    ASSERT_GE(e.socket(), 0);
    int c = client_de(e.port);
    ASSERT_GE(c, 0);
    {
        std::unique_lock<std::mutex> g(ecoute_mutex);
        ASSERT_TRUE(ecoute_cv.wait_for(g, ATTENTE, [] { return apres_fermeture.fini; }));
    }
    close(c);
    EXPECT_EQ(0, e.arrete());
    const RelaisApresFermeture &v = apres_fermeture;
    if (v.numero_relaye != v.numero_ferme)
        std::printf("note: number %d was taken meanwhile; the relayed socket is %d\n", v.numero_ferme, v.numero_relaye);
    EXPECT_EQ(0, v.resultat);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1, v.keepalive[i]);
        EXPECT_EQ(120, v.idle[i]);
    }
}

TEST(KvtnetRedir2, DemiFermetureLAutreSensContinue)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    envoie(r.a, "ping");
    shutdown(r.a, SHUT_WR);
    EXPECT_EQ("ping", lit_tout(r.b, 4));
    char x;
    EXPECT_EQ(0, read(r.b, &x, 1));  // the end reached the server side
    envoie(r.b, "late answer");
    EXPECT_EQ("late answer", lit_tout(r.a, 11));
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, read(r.a, &x, 1));
    EXPECT_EQ(0, r.attend());
}

TEST(KvtnetRedir2, DestinationLenteRienNEstPerdu)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    const size_t taille = 8 << 20;
    Somme envoye, recu;
    std::thread lb([&] { recu = lit_flux(r.b, std::chrono::microseconds(1500)); });
    envoye = ecrit_flux(r.a, 3, taille, true);
    lb.join();
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, r.attend());
    EXPECT_EQ(taille, recu.n);
    EXPECT_EQ(envoye.valeur(), recu.valeur());
}

TEST(KvtnetRedir2, UneErreurTermineLesDeuxSens)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(r.demarre());
    envoie(r.a, "hello");
    EXPECT_EQ("hello", lit_tout(r.b, 5));
    linger l{1, 0};  // close with a reset
    setsockopt(r.b, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(r.b);
    r.b = -1;
    auto t0 = horloge::now();
    EXPECT_EQ(-1, r.attend());
    // Ends on the reset, without waiting for the other direction: a relay
    // that waited would never end. Wide bound for a loaded machine.
    EXPECT_LT(secondes_depuis(t0), 20.0);
}

TEST(KvtnetRedir2, RelaisInactifNeGardeQueSesSockets)
{
    Relais r;
    ASSERT_NO_FATAL_FAILURE(paire_tcp(r.a, r.c));
    ASSERT_NO_FATAL_FAILURE(paire_tcp(r.s, r.b));
    int avant = compte_fds();
    r.t = std::thread([&] { r.resultat = kvtnet_redir2(r.c, r.s); });
    // Time for the relay to set up; a slow start could only hide a fault
    // here, never fail the test.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(avant, compte_fds());

    // Bytes flow both ways, then the relay idles: it still holds only its
    // sockets. Both ends write and read at once, as real clients do: reading
    // one direction to its end first would leave the other at a zero window.
    std::string un_mio(1 << 20, 'q');
    std::string recu_a, recu_b;
    std::thread ta([&] { envoie(r.a, un_mio); });
    std::thread tb([&] { envoie(r.b, un_mio); });
    std::thread la([&] { recu_a = lit_tout(r.a, un_mio.size()); });
    std::thread lb([&] { recu_b = lit_tout(r.b, un_mio.size()); });
    ta.join(); tb.join(); la.join(); lb.join();
    EXPECT_EQ(un_mio.size(), recu_b.size());
    EXPECT_EQ(un_mio.size(), recu_a.size());
    // Whatever the relay takes while bytes flow goes back after a second of
    // silence.
    EXPECT_TRUE(attend_que([&] { return compte_fds() == avant; }));
    EXPECT_EQ(avant, compte_fds());

    envoie(r.a, "still relaying");
    EXPECT_EQ("still relaying", lit_tout(r.b, 14));
    shutdown(r.a, SHUT_WR);
    shutdown(r.b, SHUT_WR);
    EXPECT_EQ(0, r.attend());
    EXPECT_EQ(avant, compte_fds());
}

TEST(KvtnetRecupStr, LimitesEtFin)
{
    int x1, x2, y1, y2;  // x1 -> x2 ==relay==> y1 -> y2
    ASSERT_NO_FATAL_FAILURE(paire_tcp(x1, x2));
    ASSERT_NO_FATAL_FAILURE(paire_tcp(y1, y2));

    // Each call below is given bytes that are already there.
    auto arrives = [](int s, int n) {
        return attend_que([s, n] { int k = 0; return ioctl(s, FIONREAD, &k) == 0 && k >= n; });
    };
    envoie(x1, "abcdefghij");
    ASSERT_TRUE(arrives(x2, 10));
    EXPECT_EQ(4, kvtnet_recup_str(x2, y1, 4, 0, 1));  // never reads past the limit
    EXPECT_EQ("abcd", lit_tout(y2, 4));
    EXPECT_EQ(6, kvtnet_recup_str(x2, y1, 0, 0, 0));  // one receive
    EXPECT_EQ("efghij", lit_tout(y2, 6));

    envoie(x1, "hello");
    ASSERT_TRUE(arrives(x2, 5));
    auto t0 = horloge::now();
    EXPECT_EQ(5, kvtnet_recup_str(x2, y1, 0, 1, 1));  // then a second of silence
    EXPECT_GT(secondes_depuis(t0), 0.9);
    EXPECT_EQ("hello", lit_tout(y2, 5));

    const size_t taille = 4 << 20;
    Somme envoye, recu;
    std::thread ecrivain([&] { envoye = ecrit_flux(x1, 5, taille, true); });
    std::thread lecteur([&] { recu = lit_flux(y2); });
    EXPECT_LT(kvtnet_recup_str(x2, y1, 0, 0, 1), 0);  // the stream ended
    ecrivain.join();
    shutdown(y1, SHUT_WR);
    lecteur.join();
    EXPECT_EQ(taille, recu.n);
    EXPECT_EQ(envoye.valeur(), recu.valeur());
    for (int fd : {x1, x2, y1, y2}) close(fd);
}

TEST(KvtnetDatagramme, SendtoRefusEtRecvfrom)
{
    auto udp = [](uint32_t adresse) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = adresse;
        bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        return s;
    };
    int recepteur = udp(0);  // every local address: a send to 0.0.0.0 would land here
    int emetteur = udp(LOCAL);
    for (uint32_t refusee : {0u, KVTNET_ADRESSE_INVALIDE}) {
        SCOPED_TRACE(refusee);
        EXPECT_EQ(-1, kvtnet_sendto(emetteur, refusee, port_de(recepteur), "q", 1));
    }
    pollfd p{recepteur, POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 200));  // nothing arrived
    EXPECT_EQ(-1, kvtnet_sendto(emetteur, LOCAL, port_de(recepteur), "q", -1));

    const char requete[] = "\x12\x34query";
    EXPECT_EQ(7, kvtnet_sendto(emetteur, LOCAL, port_de(recepteur), requete, 7));
    std::vector<char> tampon(100000);
    uint32_t adresse = 0;
    uint16_t port = 0;
    EXPECT_EQ(7, kvtnet_recvfrom(recepteur, &adresse, &port, 53, tampon.data(), static_cast<int>(tampon.size())));
    EXPECT_EQ(0, std::memcmp(requete, tampon.data(), 7));
    EXPECT_EQ(LOCAL, adresse);
    EXPECT_EQ(port_de(emetteur), port);
    EXPECT_LT(kvtnet_recvfrom(recepteur, &adresse, &port, 53, tampon.data(), 0), 1);
    EXPECT_LT(kvtnet_recvfrom(recepteur, &adresse, &port, 53, nullptr, 10), 1);
    close(recepteur);
    close(emetteur);
}
