#include "quorvel_ssl.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvtstat.h"
#include "quorvel_ip_mask.h"

namespace {

// The launcher ignores SIGPIPE for the whole process; the tests do the same.
const bool sigpipe_ignore = (signal(SIGPIPE, SIG_IGN), true);

const char TETE[] = "<HTML><HEAD><TITLE>Quorvel Proxy Server : Error</TITLE></HEAD><BODY>";
const char PIED_DEBUT[] = "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>Quorvel Proxy Server 1.0";
const char PIED_FIN[] = "</I></FONT></DIV></BODY></HTML>";

// How long a test waits for bytes or a connection that should come at once:
// long enough for a loaded machine under a sanitizer, spent only on failure.
constexpr int ATTENTE_MS = 60 * 1000;

// Everything the peer sends until it closes, or until `ms` of silence.
std::string lit_tout(int fd, int ms = ATTENTE_MS)
{
    std::string r;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        r.append(buf, static_cast<size_t>(n));
    }
    return r;
}

// Reads exactly n bytes (or less on close/timeout).
std::string lit_n(int fd, size_t n, int ms = ATTENTE_MS)
{
    std::string r;
    char buf[4096];
    while (r.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        ssize_t k = ::read(fd, buf, std::min(sizeof buf, n - r.size()));
        if (k <= 0) break;
        r.append(buf, static_cast<size_t>(k));
    }
    return r;
}

int nb_descripteurs()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

// A loopback port where nothing listens, held for the life of the object so
// that no other socket can take it: connections to it are refused.
struct port_ferme {
    int fd = -1;
    uint16_t port = 0;
    port_ferme()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), l) != 0) std::abort();
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
    }
    ~port_ferme() { ::close(fd); }
};

// A loopback listener on a free port.
struct ecoute {
    int fd = -1;
    uint16_t port = 0;
    ecoute()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), l) != 0 || ::listen(fd, 16) != 0) std::abort();
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
    }
    ~ecoute() { ::close(fd); }
    int connecte() const
    {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) std::abort();
        return c;
    }
    int accepte(int ms = ATTENTE_MS) const
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// A target that echoes one connection until its end, then closes it and
// records that it saw the end of stream.
struct echo {
    ecoute e;
    std::thread t;
    bool fin_vue = false;
    int nb_connexions = 0;
    echo()
    {
        t = std::thread([this] {
            int s = e.accepte();
            if (s < 0) return;
            ++nb_connexions;
            char buf[65536];
            for (;;) {
                pollfd p{s, POLLIN, 0};
                if (::poll(&p, 1, ATTENTE_MS) <= 0) break;
                ssize_t n = ::read(s, buf, sizeof buf);
                if (n == 0) { fin_vue = true; break; }
                if (n < 0 || ::write(s, buf, static_cast<size_t>(n)) != n) break;
            }
            ::close(s);
        });
    }
    void attend() { if (t.joinable()) t.join(); }
    ~echo()
    {
        // Unblock an echo that never got its connection.
        if (t.joinable()) { ::close(e.connecte()); attend(); }
    }
};

// The page's status line and headers up to the Content-Length value.
std::string tete_attendue(int code, const char *raison)
{
    return "HTTP/1.1 " + std::to_string(code) + " " + raison +
           "\r\nConnexion: close\r\nContent-Type: text/html\r\nContent-Length: ";
}

// Splits a response into its head and body and checks the page's frame.
void verifie_page(const std::string &recu, int code, const char *raison, const char *message)
{
    std::string tete = tete_attendue(code, raison);
    ASSERT_EQ(0u, recu.rfind(tete, 0)) << recu;
    size_t fin_tete = recu.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, fin_tete);
    std::string corps = recu.substr(fin_tete + 4);
    EXPECT_EQ(std::to_string(corps.size()), recu.substr(tete.size(), fin_tete - tete.size()));
    // The credit line between these is ours to word; the rest is fixed.
    std::string debut = std::string(TETE) + message + PIED_DEBUT;
    EXPECT_EQ(debut, corps.substr(0, debut.size()));
    EXPECT_EQ(PIED_FIN, corps.substr(corps.size() - strlen(PIED_FIN)));
    EXPECT_EQ(std::string::npos, corps.find('\n')) << "the page is one line";
}

kvtnet_bloc *bloc_pour(int s, const char *adresse)
{
    auto *b = static_cast<kvtnet_bloc *>(std::calloc(1, sizeof(kvtnet_bloc)));
    b->socket = s;
    b->famille = AF_INET;
    b->port = htons(40000);
    ::inet_pton(AF_INET, adresse, &b->adresse);
    return b;
}

// The handler tests need the table as the start entry leaves it: 127.0.0.1
// first (added once for the whole program).
void admet_local()
{
    static const int n = quorvel_ip_mask_ajoute("127.0.0.1");
    (void)n;
}

}  // namespace

TEST(QuorvelSsl, ConnectionBlockLayoutIsTheListenersOwn)
{
    static_assert(sizeof(kvtnet_bloc) == 20);
    EXPECT_EQ(0u, offsetof(kvtnet_bloc, socket));
    EXPECT_EQ(4u, offsetof(kvtnet_bloc, famille));
    EXPECT_EQ(6u, offsetof(kvtnet_bloc, port));
    EXPECT_EQ(8u, offsetof(kvtnet_bloc, adresse));
}

TEST(QuorvelSsl, ErrorPagesCarryTheirMessageAndStatus)
{
    struct ligne { int page, code; const char *raison, *message; } lignes[] = {
        {0, 400, "Bad Request", "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
        {1, 405, "Method Not Allowed", "<H1>Method not allowed</H1>The method specified by your browser is unsupported."},
        {2, 403, "Forbidden", "<H1>Not Allowed</H1>You are not allowed to connect on this server."},
        {3, 503, "Service Unavailable", "<H1>Connection refused</H1>The connection to the application server was refused."},
        {4, 503, "Service Unavailable", "<H1>Failed to resolve</H1>Impossible to resolve the requested hostname."},
        {5, 500, "Internal Server Error", "<H1>Error</H1>An error occured while retrieving the page."},
        {6, 400, "Bad Request", "<H1>Error</H1>An error occured while retrieving the page."},
        {-1, 400, "Bad Request", "<H1>Error</H1>An error occured while retrieving the page."},
        {1000, 400, "Bad Request", "<H1>Error</H1>An error occured while retrieving the page."},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.page);
        int sv[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        quorvel_ssl_page_erreur(sv[0], l.page);
        // The sender never closes the socket: it is still usable here.
        EXPECT_EQ(1, ::write(sv[0], "", 1)) << "socket closed by the page sender";
        ::close(sv[0]);
        std::string recu = lit_tout(sv[1]);
        ::close(sv[1]);
        ASSERT_FALSE(recu.empty());
        recu.pop_back();  // the marker byte written above
        verifie_page(recu, l.code, l.raison, l.message);
    }
}

TEST(QuorvelSsl, LoopbackAndZeroAreTheGatewaysOwn)
{
    struct { const char *a; int local; } lignes[] = {
        {"127.0.0.1", 1}, {"127.255.255.254", 1}, {"127.1.2.3", 1}, {"0.0.0.0", 1},
        {"126.255.255.255", 0}, {"128.0.0.1", 0}, {"10.0.0.1", 0}, {"1.0.0.127", 0},
        {"0.0.0.1", 0}, {"255.255.255.255", 0},
    };
    for (auto &l : lignes) {
        SCOPED_TRACE(l.a);
        uint32_t v;
        ASSERT_EQ(1, ::inet_pton(AF_INET, l.a, &v));
        EXPECT_EQ(l.local, quorvel_ssl_cible_locale(v) != 0);
    }
}

TEST(QuorvelSsl, TunnelFailuresNameTheirCauseAndLeakNothing)
{
    int avant = nb_descripteurs();
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    EXPECT_EQ(QUORVEL_SSL_TUNNEL_ERREUR, quorvel_ssl_tunnel(sv[0], nullptr, 443));
    EXPECT_EQ(QUORVEL_SSL_TUNNEL_RESOLUTION, quorvel_ssl_tunnel(sv[0], "", 443));

    // A port where nothing listens.
    {
        port_ferme ferme;
        const uint16_t libre = ferme.port;
        ecoute local_e;
        int client = local_e.connecte();
        int cote = local_e.accepte();
        ASSERT_GE(cote, 0);
        EXPECT_EQ(QUORVEL_SSL_TUNNEL_CONNEXION, quorvel_ssl_tunnel(cote, "127.0.0.1", libre));
        // Nothing at all was sent to the client on these failures.
        ::close(cote);
        EXPECT_EQ("", lit_tout(client, 2000));
        ::close(client);
    }

    // A client that is not the gateway itself (here a peer without an IPv4
    // address) may not reach loopback, nor 0.0.0.0: no connection is made.
    for (const char *cible : {"127.0.0.1", "127.9.9.9", "0.0.0.0"}) {
        SCOPED_TRACE(cible);
        echo cible_echo;
        EXPECT_EQ(QUORVEL_SSL_TUNNEL_INTERDIT, quorvel_ssl_tunnel(sv[0], cible, cible_echo.e.port));
        ::close(cible_echo.e.connecte());  // frees the waiting echo
        cible_echo.attend();
        EXPECT_EQ(1, cible_echo.nb_connexions) << "the tunnel must not have connected";
        EXPECT_TRUE(cible_echo.fin_vue) << "the first connection must be ours, not the tunnel's";
    }
    ::close(sv[0]);
    EXPECT_EQ("", lit_tout(sv[1], 500));
    ::close(sv[1]);
    EXPECT_EQ(avant, nb_descripteurs());
}

TEST(QuorvelSsl, TunnelRelaysAndClosesTheUpstreamOnce)
{
    echo cible;
    ecoute proxy;
    int avant = nb_descripteurs();
    int client = proxy.connecte();
    int cote = proxy.accepte();
    ASSERT_GE(cote, 0);
    int r = -9;
    std::thread t([&] { r = quorvel_ssl_tunnel(cote, "127.0.0.1", cible.e.port); });
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", lit_n(client, 19));
    ASSERT_EQ(5, ::write(client, "hello", 5));
    EXPECT_EQ("hello", lit_n(client, 5));
    ::shutdown(client, SHUT_WR);
    EXPECT_EQ("", lit_tout(client));  // the target's close comes back as our end of stream
    t.join();
    cible.attend();
    EXPECT_EQ(0, r);
    EXPECT_TRUE(cible.fin_vue);
    // The client socket is the caller's: still open after the tunnel.
    EXPECT_EQ(0, ::close(cote));
    ::close(client);
    EXPECT_EQ(avant, nb_descripteurs());
}

TEST(QuorvelSsl, HandlerAnswersEachRequestWithItsPage)
{
    admet_local();
    port_ferme ferme;
    const std::string p0 = "127.0.0.1:" + std::to_string(ferme.port);
    struct ligne { std::string requete; int code; const char *raison, *message; } lignes[] = {
        {"GET http://127.0.0.1/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 405, "Method Not Allowed",
         "<H1>Method not allowed</H1>The method specified by your browser is unsupported."},
        {"CONNECT 127.0.0.1:0 HTTP/1.1\r\n\r\n", 400, "Bad Request",
         "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
        {"CONNECT 127.0.0.1:65536 HTTP/1.1\r\n\r\n", 400, "Bad Request",
         "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
        {"\r\n\r\n", 400, "Bad Request",
         "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
        {"CONNECT 127.0.0.1:443", 400, "Bad Request",  // the client ends before the blank line
         "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
        {"CONNECT " + p0 + " HTTP/1.1\r\n\r\n", 503, "Service Unavailable",
         "<H1>Connection refused</H1>The connection to the application server was refused."},
        {"CONNECTX " + p0 + " HTTP/1.1\r\n\r\n", 405, "Method Not Allowed",
         "<H1>Method not allowed</H1>The method specified by your browser is unsupported."},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.requete);
        ecoute proxy;
        int client = proxy.connecte();
        int cote = proxy.accepte();
        ASSERT_GE(cote, 0);
        std::thread t(quorvel_ssl_connexion, bloc_pour(cote, "127.0.0.1"));
        ASSERT_EQ(static_cast<ssize_t>(l.requete.size()), ::write(client, l.requete.data(), l.requete.size()));
        if (l.requete.find("\r\n\r\n") == std::string::npos) ::shutdown(client, SHUT_WR);
        std::string recu = lit_tout(client);
        t.join();
        ::close(client);
        verifie_page(recu, l.code, l.raison, l.message);
    }
}

TEST(QuorvelSsl, HandlerServesLowerCaseConnectAndEarlyBytes)
{
    admet_local();
    echo cible;
    ecoute proxy;
    int client = proxy.connecte();
    int cote = proxy.accepte();
    ASSERT_GE(cote, 0);
    std::thread t(quorvel_ssl_connexion, bloc_pour(cote, "127.0.0.1"));
    // The first bytes of the stream travel with the request, before the 200.
    std::string req = "connect 127.0.0.1:" + std::to_string(cible.e.port) +
                      " HTTP/1.1\r\nHost: x\r\n\r\n\x16\x03\x01" "early";
    ASSERT_EQ(static_cast<ssize_t>(req.size()), ::write(client, req.data(), req.size()));
    EXPECT_EQ(std::string("HTTP/1.1 200 OK\r\n\r\n\x16\x03\x01" "early"), lit_n(client, 27));
    ::shutdown(client, SHUT_WR);
    EXPECT_EQ("", lit_tout(client));
    t.join();
    cible.attend();
    EXPECT_TRUE(cible.fin_vue);
    ::close(client);
}

TEST(QuorvelSsl, RefusedClientIsAnsweredWithoutBeingRead)
{
    admet_local();
    ecoute proxy;
    int client = proxy.connecte();
    int cote = proxy.accepte();
    ASSERT_GE(cote, 0);
    // The client sends nothing: a handler that read would wait 30 seconds.
    auto debut = std::chrono::steady_clock::now();
    quorvel_ssl_connexion(bloc_pour(cote, "10.1.2.3"));
    // Well below the 30 s a read would take; wide for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - debut, std::chrono::seconds(20));
    verifie_page(lit_tout(client), 403, "Forbidden",
                 "<H1>Not Allowed</H1>You are not allowed to connect on this server.");
    ::close(client);
    quorvel_ssl_connexion(nullptr);  // only a trace
}

// A tunnel to this machine at the proxy's own port would come back in as a
// new client: refused for every client, loopback included, at every local
// address, with no connection made. Other loopback services stay reachable
// from loopback.
TEST(QuorvelSsl, TunnelNeverComesBackToTheProxysOwnPorts)
{
    echo soi;  // plays the tunnel's own port
    quorvel_ssl_port = soi.e.port;
    std::vector<std::string> locales = {"127.0.0.1", "127.0.0.2", "0.0.0.0"};
    ifaddrs *liste = nullptr;
    ASSERT_EQ(0, ::getifaddrs(&liste));
    for (ifaddrs *i = liste; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        char texte[16];
        locales.push_back(kvtnet_aff_adresse(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr, texte));
    }
    ::freeifaddrs(liste);
    ecoute proxy;
    for (const std::string &cible : locales) {
        SCOPED_TRACE(cible);
        int client = proxy.connecte();  // a loopback client
        int cote = proxy.accepte();
        ASSERT_GE(cote, 0);
        EXPECT_EQ(QUORVEL_SSL_TUNNEL_INTERDIT, quorvel_ssl_tunnel(cote, cible.c_str(), soi.e.port));
        ::close(cote);
        EXPECT_EQ("", lit_tout(client, 500));
        ::close(client);
    }
    ::close(soi.e.connecte());
    soi.attend();
    EXPECT_EQ(1, soi.nb_connexions) << "a refused tunnel connected";

    // The relay's TCP port 53 only while the relay is on; other ports and
    // other machines are not concerned.
    uint32_t lo, loin;
    ::inet_pton(AF_INET, "127.0.0.1", &lo);
    ::inet_pton(AF_INET, "198.51.100.7", &loin);
    quorvel_ssl_port_dns = 0;
    EXPECT_EQ(0, quorvel_ssl_boucle(lo, 53));
    quorvel_ssl_port_dns = 53;
    EXPECT_NE(0, quorvel_ssl_boucle(lo, 53));
    EXPECT_EQ(0, quorvel_ssl_boucle(loin, 53));
    EXPECT_EQ(0, quorvel_ssl_boucle(loin, quorvel_ssl_port));
    EXPECT_EQ(0, quorvel_ssl_boucle(lo, quorvel_ssl_port == 65535 ? 1 : quorvel_ssl_port + 1));

    // Loopback still reaches loopback's other services.
    echo autre;
    int client = proxy.connecte();
    int cote = proxy.accepte();
    ASSERT_GE(cote, 0);
    int r = -9;
    std::thread t([&] { r = quorvel_ssl_tunnel(cote, "127.0.0.1", autre.e.port); });
    EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", lit_n(client, 19));
    ::shutdown(client, SHUT_WR);
    EXPECT_EQ("", lit_tout(client));
    t.join();
    EXPECT_EQ(0, r);
    ::close(cote);
    ::close(client);
    quorvel_ssl_port = 0;
    quorvel_ssl_port_dns = 0;
}

TEST(QuorvelSsl, TooManyConnectionsPageAndRefusalLine)
{
    // The page sent for connections the listener turns away, by number.
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    quorvel_ssl_page_erreur(sv[0], QUORVEL_SSL_PAGE_SATURE);
    ::close(sv[0]);
    verifie_page(lit_tout(sv[1]), 503, "Service Unavailable",
                 "<H1>Too many connections</H1>This gateway serves no more connections at the moment.");
    ::close(sv[1]);

    // The listener's answer: the same page on a non-blocking socket, and
    // the line naming the client in the log.
    char dossier[] = "/tmp/quorvel_ssl_test.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dossier));
    const std::string log = std::string(dossier) + "/q.log", err = std::string(dossier) + "/e.log";
    ASSERT_EQ(0, kvtlog_init(log.c_str(), err.c_str()));
    ecoute proxy;
    int client = proxy.connecte();
    int cote = proxy.accepte();
    ASSERT_GE(cote, 0);
    ASSERT_EQ(0, ::fcntl(cote, F_SETFL, ::fcntl(cote, F_GETFL) | O_NONBLOCK));
    uint32_t adresse;
    ::inet_pton(AF_INET, "10.1.2.3", &adresse);
    quorvel_ssl_refus(cote, adresse);
    ::close(cote);
    verifie_page(lit_tout(client), 503, "Service Unavailable",
                 "<H1>Too many connections</H1>This gateway serves no more connections at the moment.");
    ::close(client);
    std::string texte;
    if (FILE *f = std::fopen(log.c_str(), "r")) {
        char b[512];
        while (std::fgets(b, sizeof b, f)) texte += b;
        std::fclose(f);
    }
    EXPECT_NE(std::string::npos, texte.find(" Connection from 10.1.2.3 refused: too many connections (SSL)\n")) << texte;
    ::unlink(log.c_str());
    ::unlink(err.c_str());
    ::rmdir(dossier);
}

// The service counters move by exactly what passed: one tunnel of 5 bytes
// each way, one page, one refused client and its 403 page.
TEST(QuorvelSsl, CountersMoveByWhatPassed)
{
    admet_local();
    auto &c = kvtstat.ssl;
    const uint64_t tunnels = c.tunnels.load(), refus = c.refus.load(), pages = c.pages.load(),
                   haut = c.octets_montants.load(), bas = c.octets_descendants.load();
    {
        echo cible;
        ecoute proxy;
        int client = proxy.connecte();
        int cote = proxy.accepte();
        ASSERT_GE(cote, 0);
        std::thread t(quorvel_ssl_connexion, bloc_pour(cote, "127.0.0.1"));
        std::string req = "CONNECT 127.0.0.1:" + std::to_string(cible.e.port) + " HTTP/1.1\r\n\r\nhello";
        ASSERT_EQ(static_cast<ssize_t>(req.size()), ::write(client, req.data(), req.size()));
        EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\nhello", lit_n(client, 24));
        EXPECT_EQ(1u, c.ouverts.load());
        ::shutdown(client, SHUT_WR);
        EXPECT_EQ("", lit_tout(client));
        t.join();
        cible.attend();
        ::close(client);
    }
    EXPECT_EQ(0u, c.ouverts.load());
    EXPECT_EQ(tunnels + 1, c.tunnels.load());
    EXPECT_EQ(haut + 5, c.octets_montants.load());
    EXPECT_EQ(bas + 5, c.octets_descendants.load());
    EXPECT_EQ(pages, c.pages.load());
    {
        ecoute proxy;
        int client = proxy.connecte();
        int cote = proxy.accepte();
        ASSERT_GE(cote, 0);
        quorvel_ssl_connexion(bloc_pour(cote, "10.1.2.3"));
        (void)lit_tout(client);
        ::close(client);
        client = proxy.connecte();
        cote = proxy.accepte();
        ASSERT_GE(cote, 0);
        std::thread t(quorvel_ssl_connexion, bloc_pour(cote, "127.0.0.1"));
        ASSERT_EQ(4, ::write(client, "\r\n\r\n", 4));
        (void)lit_tout(client);
        t.join();
        ::close(client);
    }
    EXPECT_EQ(refus + 1, c.refus.load());
    EXPECT_EQ(pages + 2, c.pages.load());
    EXPECT_EQ(tunnels + 1, c.tunnels.load());
}

TEST(QuorvelSsl, BlockedPageAndAddressLiterals)
{
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    quorvel_ssl_page_erreur(sv[0], QUORVEL_SSL_PAGE_BLOQUE);
    ::close(sv[0]);
    verifie_page(lit_tout(sv[1]), 403, "Forbidden",
                 "<H1>Blocked</H1>The requested host is on this gateway's block list.");
    ::close(sv[1]);

    // Every form the resolver would take as an address is one; names with
    // digits in them are names.
    for (const char *a : {"10.1.2.3", "127.1", "0x7f000001", "2130706433", "::1", "[::1]", "[2001:db8::5]",
                          "::ffff:10.0.0.1"})
        EXPECT_EQ(1, quorvel_ssl_adresse_litterale(a)) << a;
    for (const char *n : {"ads.example.com", "1.2.3.4.example", "[ads.example]", "[]", "[", "", "10.1.2.3.", "a1"})
        EXPECT_EQ(0, quorvel_ssl_adresse_litterale(n)) << n;
    EXPECT_EQ(0, quorvel_ssl_adresse_litterale(nullptr));

    // Off (the default), nothing is blocked whatever the list holds.
    EXPECT_EQ(0, quorvel_ssl_bloque("ads.example.com"));

    char sur[8];
    quorvel_ssl_hote_sur("a\r\nb\x7f" "cdefgh", sur, sizeof sur);
    EXPECT_STREQ("a??b?cd", sur);
}
