#include "kvthttp.h"

#include <gtest/gtest.h>

#include "paire_test.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

// One-shot web server on 127.0.0.1: accepts one connection within 60 seconds
// (a loaded machine may be slow; a passing test never waits that long),
// reads the request head, sends `reponse` and closes.
class serveur_local {
public:
    explicit serveur_local(std::string reponse) : reponse_(std::move(reponse))
    {
        ecoute_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof sa;
        if (ecoute_ < 0 || ::bind(ecoute_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
            ::listen(ecoute_, 1) < 0 ||
            ::getsockname(ecoute_, reinterpret_cast<sockaddr *>(&sa), &l) < 0) {
            ADD_FAILURE() << "no loopback listener";
            return;
        }
        port_ = ntohs(sa.sin_port);
        fil_ = std::thread([this] { sert(); });
    }
    ~serveur_local()
    {
        if (fil_.joinable()) fil_.join();
        if (ecoute_ >= 0) ::close(ecoute_);
    }
    int port() const { return port_; }
    // The request head the server read; waits for the server to finish.
    std::string requete()
    {
        if (fil_.joinable()) fil_.join();
        return requete_;
    }

private:
    void sert()
    {
        pollfd pf{ecoute_, POLLIN, 0};
        if (::poll(&pf, 1, 60 * 1000) <= 0) return;
        int c = ::accept4(ecoute_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        timeval attente{60, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &attente, sizeof attente);
        char buf[1024];
        while (requete_.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            requete_.append(buf, static_cast<size_t>(n));
        }
        ::send(c, reponse_.data(), reponse_.size(), MSG_NOSIGNAL);
        ::close(c);
    }

    std::string reponse_;
    std::string requete_;
    int ecoute_ = -1;
    int port_ = 0;
    std::thread fil_;
};

std::string url_locale(int port, const char *chemin)
{
    return "http://127.0.0.1:" + std::to_string(port) + chemin;
}

const char REQUETE_PAGE[] =
    "GET /page HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnexion: close\r\n\r\n";

}  // namespace

TEST(KvthttpReponse, ExactBytesOnTheSocket)
{
    const std::string corps57(57, 'x');
    struct ligne {
        const char *nom;
        int code;
        std::string corps, type, attendu;
    } lignes[] = {
        {"57-byte body", 404, corps57, "text/html",
         "HTTP/1.1 404 Not Found\r\nConnexion: close\r\nContent-Type: text/html\r\n"
         "Content-Length: 57\r\n\r\n" + corps57},
        {"empty body", 200, "", "text/plain",
         "HTTP/1.1 200 OK\r\nConnexion: close\r\nContent-Type: text/plain\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"503", 503, "down", "text/html",
         "HTTP/1.1 503 Service Unavailable\r\nConnexion: close\r\nContent-Type: text/html\r\n"
         "Content-Length: 4\r\n\r\ndown"},
        {"299 is not in the table", 299, "?", "text/html",
         "HTTP/1.1 299 Unknown\r\nConnexion: close\r\nContent-Type: text/html\r\n"
         "Content-Length: 1\r\n\r\n?"},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.nom);
        paire p;
        EXPECT_EQ(0, kvthttp_envoie_texte(p.fd[0], l.corps.c_str(), l.type.c_str(), l.code));
        EXPECT_EQ(l.attendu, p.disponible());
    }

    paire p;
    EXPECT_EQ(0, kvthttp_envoie_ok(p.fd[0], "<p>ok</p>", "text/html"));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nConnexion: close\r\nContent-Type: text/html\r\n"
              "Content-Length: 9\r\n\r\n<p>ok</p>",
              p.disponible());

    // A body is bytes, NULs included, counted by the length given.
    EXPECT_EQ(0, kvthttp_envoie_reponse(p.fd[0], "a\0b", 3, "application/octet-stream", 200));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nConnexion: close\r\n"
              "Content-Type: application/octet-stream\r\nContent-Length: 3\r\n\r\n" +
                  std::string("a\0b", 3),
              p.disponible());
}

TEST(KvthttpReponse, FailuresAreReportedAndSendNothing)
{
    paire p;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttp_envoie_texte(p.fd[0], nullptr, "text/html", 200));
    EXPECT_EQ(-1, kvthttp_envoie_texte(p.fd[0], "x", nullptr, 200));
    EXPECT_EQ(-1, kvthttp_envoie_reponse(p.fd[0], "x", -1, "text/html", 200));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("ERREUR: Parametre null\nhttp/kvthttp.cpp ligne "))
        << err;
    EXPECT_EQ("", p.disponible());

    // A client that has gone: the send fails and says so, without a signal.
    ::close(p.fd[1]);
    p.fd[1] = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttp_envoie_texte(p.fd[0], "gone", "text/html", 500));
    testing::internal::GetCapturedStderr();
}

TEST(KvthttpPage, FetchRelaysTheBodyOfA200FromTheUrlsPort)
{
    const std::string corps = "<html>page body</html>\n";
    serveur_local serveur("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                          std::to_string(corps.size()) + "\r\n\r\n" + corps);
    ASSERT_GT(serveur.port(), 0);
    paire p;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, kvthttp_recup_page(p.fd[0], url_locale(serveur.port(), "/page").c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(REQUETE_PAGE, serveur.requete());
    EXPECT_EQ(corps, p.disponible());
}

TEST(KvthttpPage, AnotherStatusRelaysNothingAndShowsBothHeads)
{
    serveur_local serveur(
        "HTTP/1.1 404 Missing\r\nContent-Length: 9\r\nServer: essai\r\n\r\nnot here!");
    ASSERT_GT(serveur.port(), 0);
    paire p;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-2, kvthttp_recup_page(p.fd[0], url_locale(serveur.port(), "/page").c_str()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string("Le serveur a dit : \nHTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n"
                          "Server: essai\r\n\r\nJ'ai dit : \n") +
                  REQUETE_PAGE,
              out);
    EXPECT_EQ(REQUETE_PAGE, serveur.requete());
    EXPECT_EQ("", p.disponible());
}

TEST(KvthttpPage, FailuresBeforeAnyRelay)
{
    paire p;
    // An empty host never resolves (and asks no name server): -1 without a trace.
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttp_recup_page(p.fd[0], "http://"));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    struct ligne {
        const char *nom;
        std::string url;
    } lignes[] = {
        {"bad port", "http://127.0.0.1:0/"},
        {"port out of range", "http://127.0.0.1:65536/"},
        {"null URL", ""},
    };
    for (const ligne &l : lignes) {
        SCOPED_TRACE(l.nom);
        testing::internal::CaptureStderr();
        EXPECT_EQ(-1, kvthttp_recup_page(p.fd[0], l.url.empty() ? nullptr : l.url.c_str()));
        EXPECT_NE(std::string::npos,
                  testing::internal::GetCapturedStderr().find("http/kvthttp.cpp ligne "));
    }

    // Nobody listens on a port bound without listening, held until the
    // attempt is over so no other socket can take it: the connection is refused.
    int libre = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof sa;
    ASSERT_EQ(0, ::bind(libre, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    ASSERT_EQ(0, ::getsockname(libre, reinterpret_cast<sockaddr *>(&sa), &l));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttp_recup_page(p.fd[0], url_locale(ntohs(sa.sin_port), "/").c_str()));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("http/kvthttp.cpp ligne "));
    ::close(libre);

    // A server that answers with something that is not a head.
    serveur_local serveur("nonsense");
    ASSERT_GT(serveur.port(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kvthttp_recup_page(p.fd[0], url_locale(serveur.port(), "/page").c_str()));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("", p.disponible());
}
