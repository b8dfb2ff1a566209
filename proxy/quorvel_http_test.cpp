// The HTTP proxy's connection handler against an origin thread on
// loopback, and its URL readers.
#include "quorvel_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kvtstat.h"
#include "quorvel_ip_mask.h"

namespace {

TEST(QuorvelHttpUrl, AbsoluteUrlsTakenApart)
{
    struct cas {
        const char *url;
        int attendu;
        const char *hote;
        int port;
        const char *chemin;
    };
    const cas table[] = {
        {"http://a.test/x?q=1", 0, "a.test", 80, "/x?q=1"},
        {"HTTP://a.test", 0, "a.test", 80, "/"},
        {"http://a.test:8080", 0, "a.test", 8080, "/"},
        {"http://a.test:8080?q", 0, "a.test", 8080, "?q"},
        {"http://10.0.0.1:1/p#frag", 0, "10.0.0.1", 1, "/p"},
        {"http://[::1]:81/", 0, "[::1]", 81, "/"},
        {"http://a.test:/", 0, "a.test", 80, "/"},
        {"ftp://a.test/f", QUORVEL_HTTP_URL_FTP, "", 80, "/"},
        {"https://a.test/", QUORVEL_HTTP_URL_SCHEMA, "", 80, "/"},
        {"gopher://a.test/", QUORVEL_HTTP_URL_SCHEMA, "", 80, "/"},
        {"/origin/form", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://u:p@a.test/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://a.test:0/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://a.test:65536/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://a.test:8a/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://a test/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
        {"http://[::1/", QUORVEL_HTTP_URL_INVALIDE, "", 80, "/"},
    };
    for (const cas &c : table) {
        SCOPED_TRACE(c.url);
        quorvel_http_url u{};
        EXPECT_EQ(c.attendu, quorvel_http_analyse_url(c.url, &u));
        EXPECT_EQ(c.hote, u.hote);
        EXPECT_EQ(c.port, u.port);
        EXPECT_EQ(c.chemin, u.chemin);
    }
}

TEST(QuorvelHttpUrl, AccessLogUrlDropsTheQueryAndEscapes)
{
    char texte[64];
    quorvel_http_url_acces("http://a/p?token=secret", texte, sizeof texte);
    EXPECT_STREQ("http://a/p", texte);
    quorvel_http_url_acces("http://a/p=q r\x01", texte, sizeof texte);
    EXPECT_STREQ("http://a/p?q?r?", texte);
    quorvel_http_url_acces(std::string(200, 'x'), texte, sizeof texte);
    EXPECT_EQ(63u, std::strlen(texte));
}

// An origin on loopback: answers each request head with the next of its
// canned answers, counts the connections and keeps what it received.
struct origine {
    int ecoute = -1;
    int port = 0;
    std::atomic<int> connexions{0};
    std::string recu;  // read only after the thread has ended
    std::thread t;
    explicit origine(std::string reponse, int nb_reponses)
    {
        ecoute = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::bind(ecoute, reinterpret_cast<sockaddr *>(&a), sizeof a));
        EXPECT_EQ(0, ::listen(ecoute, 8));
        socklen_t l = sizeof a;
        ::getsockname(ecoute, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
        t = std::thread([this, reponse, nb_reponses] {
            int servies = 0;
            while (servies < nb_reponses) {
                const int s = ::accept(ecoute, nullptr, nullptr);
                if (s < 0) return;
                connexions.fetch_add(1);
                std::string tampon;
                char b[4096];
                for (;;) {
                    const ssize_t n = ::recv(s, b, sizeof b, 0);
                    if (n <= 0) break;
                    tampon.append(b, static_cast<size_t>(n));
                    recu.append(b, static_cast<size_t>(n));
                    size_t fin;
                    while ((fin = tampon.find("\r\n\r\n")) != std::string::npos) {
                        tampon.erase(0, fin + 4);
                        ::send(s, reponse.data(), reponse.size(), MSG_NOSIGNAL);
                        ++servies;
                    }
                    if (servies >= nb_reponses) break;
                }
                ::close(s);
            }
        });
    }
    ~origine()
    {
        ::shutdown(ecoute, SHUT_RDWR);
        if (t.joinable()) t.join();
        ::close(ecoute);
    }
};

// A client connection served by quorvel_http_connexion on its own thread.
struct client {
    int s = -1;
    std::thread t;
    explicit client(uint32_t adresse = htonl(INADDR_LOOPBACK))
    {
        int paire[2];
        EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, paire));
        s = paire[0];
        auto *bloc = static_cast<kvtnet_bloc *>(std::calloc(1, sizeof(kvtnet_bloc)));
        bloc->socket = paire[1];
        bloc->famille = AF_INET;
        bloc->port = htons(40000);
        bloc->adresse = adresse;
        t = std::thread(quorvel_http_connexion, bloc);
    }
    // Everything until the proxy closes.
    std::string tout()
    {
        std::string r;
        char b[4096];
        ssize_t n;
        while ((n = ::recv(s, b, sizeof b, 0)) > 0) r.append(b, static_cast<size_t>(n));
        return r;
    }
    ~client()
    {
        ::close(s);
        if (t.joinable()) t.join();
    }
};

struct QuorvelHttpConnexion : testing::Test {
    static void SetUpTestSuite() { (void)quorvel_ip_mask_charge(); }  // 127.0.0.1 only
};

TEST_F(QuorvelHttpConnexion, RequestsOfOneClientShareTheServerConnection)
{
    origine o("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-R: 1\r\nX-R: 2\r\nKeep-Alive: 9\r\n\r\nok", 2);
    client c;
    const std::string u = "http://127.0.0.1:" + std::to_string(o.port);
    const std::string req = "GET " + u + "/a?b HTTP/1.1\r\nHost: x\r\nX-Q: 1\r\nX-Q: 2\r\nProxy-Connection: k\r\n\r\n";
    const std::string fin = "GET " + u + "/c HTTP/1.1\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(req.size()), ::send(c.s, req.data(), req.size(), 0));
    ASSERT_EQ(static_cast<ssize_t>(fin.size()), ::send(c.s, fin.data(), fin.size(), 0));
    const std::string r = c.tout();
    const std::string une = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-R: 1\r\nX-R: 2\r\nVia: 1.1 quorvel\r\n\r\nok";
    EXPECT_EQ(une + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-R: 1\r\nX-R: 2\r\nConnection: close\r\n"
                    "Via: 1.1 quorvel\r\n\r\nok",
              r);
    EXPECT_EQ(1, o.connexions.load());
}

TEST_F(QuorvelHttpConnexion, AKeptConnectionClosedAsTheRequestLeavesIsRetriedOnce)
{
    // The server reads the second request on the kept connection and closes
    // it unanswered, as a server whose idle limit strikes at that moment.
    const int ecoute = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(ecoute, reinterpret_cast<sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(ecoute, 4));
    socklen_t l = sizeof a;
    ::getsockname(ecoute, reinterpret_cast<sockaddr *>(&a), &l);
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    auto lit_tete = [](int s) {
        std::string t;
        char c;
        while (t.find("\r\n\r\n") == std::string::npos && ::recv(s, &c, 1, 0) == 1) t += c;
        return t;
    };
    std::thread serveur([&] {
        const int s1 = ::accept(ecoute, nullptr, nullptr);
        lit_tete(s1);
        ::send(s1, ok.data(), ok.size(), MSG_NOSIGNAL);
        lit_tete(s1);
        ::close(s1);
        const int s2 = ::accept(ecoute, nullptr, nullptr);
        lit_tete(s2);
        ::send(s2, ok.data(), ok.size(), MSG_NOSIGNAL);
        ::close(s2);
    });
    client c;
    const std::string u = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
    const std::string req = "GET " + u + " HTTP/1.1\r\n\r\nGET " + u + " HTTP/1.1\r\nConnection: close\r\n\r\n";
    ::send(c.s, req.data(), req.size(), 0);
    const std::string r = c.tout();
    serveur.join();
    ::close(ecoute);
    EXPECT_EQ(2u, [&] {
        size_t n = 0;
        for (size_t i = r.find("HTTP/1.1 200 OK"); i != std::string::npos; i = r.find("HTTP/1.1 200 OK", i + 1)) ++n;
        return n;
    }()) << r;
}

TEST_F(QuorvelHttpConnexion, RefusedClientGetsThePageAndIsCounted)
{
    const uint64_t avant = kvtstat.http.refus.load();
    client c(inet_addr("10.1.2.3"));
    const std::string r = c.tout();
    EXPECT_EQ(0u, r.find("HTTP/1.1 403 Forbidden\r\n"));
    EXPECT_NE(std::string::npos, r.find("<H1>Not Allowed</H1>"));
    EXPECT_EQ(avant + 1, kvtstat.http.refus.load());
}

TEST_F(QuorvelHttpConnexion, BodyFramedTwoWaysNeverReachesTheServer)
{
    origine o("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 1);
    client c;
    const std::string req = "POST http://127.0.0.1:" + std::to_string(o.port) +
                            "/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n";
    ::send(c.s, req.data(), req.size(), 0);
    ::shutdown(c.s, SHUT_WR);
    const std::string r = c.tout();
    EXPECT_EQ(0u, r.find("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(0, o.connexions.load());
}

TEST_F(QuorvelHttpConnexion, ServerWithoutAnAnswerGets502)
{
    origine o("garbage\r\n\r\n", 1);
    client c;
    const std::string req = "GET http://127.0.0.1:" + std::to_string(o.port) + "/ HTTP/1.1\r\n\r\n";
    ::send(c.s, req.data(), req.size(), 0);
    const std::string r = c.tout();
    EXPECT_EQ(0u, r.find("HTTP/1.1 502 Bad Gateway\r\n"));
    EXPECT_NE(std::string::npos, r.find("<H1>Bad answer</H1>"));
}

TEST_F(QuorvelHttpConnexion, ServerSilentPastTheDeadlineGets504)
{
    quorvel_http_regle_essai(300);
    origine o("", 0);  // listens, never answers
    client c;
    const std::string req = "GET http://127.0.0.1:" + std::to_string(o.port) + "/ HTTP/1.1\r\n\r\n";
    ::send(c.s, req.data(), req.size(), 0);
    const std::string r = c.tout();
    quorvel_http_regle_essai(0);
    EXPECT_EQ(0u, r.find("HTTP/1.1 504 Gateway Timeout\r\n")) << r;
    EXPECT_NE(std::string::npos, r.find("<H1>No answer</H1>The server did not answer in time."));
}

TEST_F(QuorvelHttpConnexion, AnswerWithABadChunkEndsTheClientConnection)
{
    origine o("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\nzz\r\nrest", 1);
    client c;
    const std::string u = "http://127.0.0.1:" + std::to_string(o.port) + "/";
    // A second request waits behind: it is never served.
    const std::string req = "GET " + u + " HTTP/1.1\r\n\r\nGET " + u + " HTTP/1.1\r\n\r\n";
    ::send(c.s, req.data(), req.size(), 0);
    const std::string r = c.tout();
    EXPECT_EQ(0u, r.find("HTTP/1.1 200 OK\r\n")) << r;
    EXPECT_EQ(std::string::npos, r.find("zz"));
    EXPECT_EQ(r.size() - 7, r.find("2\r\nok\r\n")) << r;  // the good chunk ends it
}

}  // namespace
