#include "kvtlib.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

uint32_t ip(const char *texte)
{
    in_addr a{};
    EXPECT_EQ(1, ::inet_pton(AF_INET, texte, &a)) << texte;
    return a.s_addr;
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

// A listener on `adresse`:`port` (0: any free port), backlog `file`; -1 when
// the place is taken.
int ecoute(const char *adresse, uint16_t port, int file, uint16_t *pris)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = ip(adresse);
    socklen_t l = sizeof sa;
    if (::bind(s, reinterpret_cast<sockaddr *>(&sa), l) != 0 || ::listen(s, file) != 0) {
        ::close(s);
        return -1;
    }
    ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &l);
    if (pris != nullptr) *pris = ntohs(sa.sin_port);
    return s;
}

uint32_t pair(int s)
{
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr *>(&sa), &l) != 0) return 0;
    return sa.sin_addr.s_addr;
}

// A connection to `adresse`:`port` started and left as it is.
int lance(const char *adresse, uint16_t port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = ip(adresse);
    (void)::connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return s;
}

// A live listener on 127.0.0.1 and a silent one (its accept queue full, so
// new SYNs are dropped) on 127.0.0.3, both at one port.
struct Paire {
    int vivant = -1, muet = -1, occupant = -1, en_attente = -1;
    uint16_t port = 0;
    Paire()
    {
        for (int essai = 0; essai < 20 && muet < 0; ++essai) {
            if (vivant >= 0) ::close(vivant);
            vivant = ecoute("127.0.0.1", 0, 16, &port);
            muet = ecoute("127.0.0.3", port, 0, nullptr);
        }
        if (muet < 0) return;
        // Backlog 0 holds one connection; the ones after it get no answer.
        occupant = lance("127.0.0.3", port);
        en_attente = lance("127.0.0.3", port);
    }
    ~Paire()
    {
        for (int s : {vivant, muet, occupant, en_attente})
            if (s >= 0) ::close(s);
    }
};

}  // namespace

TEST(KvtNetCible, ResolverGivesEachAddressOnceInOrder)
{
    uint32_t a[4] = {};
    EXPECT_EQ(1, kvtnet_resoudre_adresses("10.1.2.3", a, 4));
    EXPECT_EQ(ip("10.1.2.3"), a[0]);
    for (const char *nom : {"", "010.0.0.1", "10.1", "0x7f.0.0.1", "1.2.3.4.5", "nohost.invalid"}) {
        SCOPED_TRACE(nom);
        EXPECT_EQ(-1, kvtnet_resoudre_adresses(nom, a, 4));
        EXPECT_EQ(KVTNET_ADRESSE_INVALIDE, kvtnet_resoudre_adresse(nom));
    }
    EXPECT_EQ(-1, kvtnet_resoudre_adresses(nullptr, a, 4));
    EXPECT_EQ(-1, kvtnet_resoudre_adresses("10.1.2.3", nullptr, 4));
    EXPECT_EQ(-1, kvtnet_resoudre_adresses("10.1.2.3", a, 0));
    // localhost comes from the hosts file: the one-address form gives the first.
    const int n = kvtnet_resoudre_adresses("localhost", a, 4);
    ASSERT_GE(n, 1);
    EXPECT_EQ(a[0], kvtnet_resoudre_adresse("localhost"));
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) EXPECT_NE(a[i], a[j]);
}

TEST(KvtNetCible, ConnectSkipsRefusedAndInvalidAddresses)
{
    const int avant = nb_descripteurs();
    uint16_t port;
    const int l = ecoute("127.0.0.1", 0, 16, &port);
    ASSERT_GE(l, 0);
    // 127.0.0.2 refuses at once: nothing listens there on that port.
    const uint32_t liste[] = {0, KVTNET_ADRESSE_INVALIDE, ip("127.0.0.2"), ip("127.0.0.1"), ip("127.0.0.4")};
    const int s = kvtnet_connecter_adresses(liste, 5, htons(port));
    ASSERT_GE(s, 0);
    EXPECT_EQ(ip("127.0.0.1"), pair(s));
    ::close(s);
    // The one-address form is the same call.
    const int s1 = kvtnet_connecter(ip("127.0.0.1"), htons(port));
    ASSERT_GE(s1, 0);
    ::close(s1);
    ::close(l);
    // All refused, none valid, none at all: -1 at once.
    const auto debut = steady_clock::now();
    const uint32_t refuses[] = {ip("127.0.0.1"), ip("127.0.0.2")};
    EXPECT_EQ(-1, kvtnet_connecter_adresses(refuses, 2, htons(port)));
    const uint32_t invalides[] = {0, KVTNET_ADRESSE_INVALIDE};
    EXPECT_EQ(-1, kvtnet_connecter_adresses(invalides, 2, htons(port)));
    EXPECT_EQ(-1, kvtnet_connecter_adresses(refuses, 0, htons(port)));
    EXPECT_EQ(-1, kvtnet_connecter_adresses(nullptr, 1, htons(port)));
    EXPECT_LT(steady_clock::now() - debut, std::chrono::seconds(3));
    EXPECT_EQ(avant, nb_descripteurs());
}

// A silent first address neither makes the tunnel wait for its whole
// deadline nor loses the race to a later one it would have won.
TEST(KvtNetCible, SilentFirstAddressDoesNotHoldTheNextBack)
{
    const int avant = nb_descripteurs();
    {
        Paire p;
        ASSERT_GE(p.muet, 0) << "no port free on both 127.0.0.1 and 127.0.0.3";
        const uint32_t liste[] = {ip("127.0.0.3"), ip("127.0.0.1")};
        const auto debut = steady_clock::now();
        const int s = kvtnet_connecter_adresses(liste, 2, htons(p.port));
        const auto duree = steady_clock::now() - debut;
        ASSERT_GE(s, 0);
        EXPECT_EQ(ip("127.0.0.1"), pair(s));
        EXPECT_LT(duree, std::chrono::seconds(5)) << "waited on the silent address";
        ::close(s);
    }
    EXPECT_EQ(avant, nb_descripteurs()) << "an attempt left open";
}

TEST(KvtNetCible, OneDeadlineForAllAddresses)
{
    Paire p;
    ASSERT_GE(p.muet, 0);
    const uint32_t liste[] = {ip("127.0.0.3"), ip("127.0.0.3"), ip("127.0.0.3")};
    const auto debut = steady_clock::now();
    EXPECT_EQ(-1, kvtnet_connecter_adresses(liste, 3, htons(p.port)));
    const auto duree = steady_clock::now() - debut;
    EXPECT_GE(duree, milliseconds(9500));
    EXPECT_LT(duree, std::chrono::seconds(15)) << "each address had a deadline of its own";
}

TEST(KvtNetCible, LocalAddressesAreThoseOfEveryInterface)
{
    for (const char *a : {"0.0.0.0", "127.0.0.1", "127.9.9.9", "127.255.255.254"}) {
        SCOPED_TRACE(a);
        EXPECT_EQ(1, kvtnet_adresse_locale(ip(a)));
    }
    // Documentation networks and the broadcast address are nobody's here.
    for (const char *a : {"198.51.100.7", "203.0.113.200", "255.255.255.255"}) {
        SCOPED_TRACE(a);
        EXPECT_EQ(0, kvtnet_adresse_locale(ip(a)));
    }
    ifaddrs *liste = nullptr;
    ASSERT_EQ(0, ::getifaddrs(&liste));
    int vues = 0;
    for (ifaddrs *i = liste; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
        char texte[16];
        SCOPED_TRACE(kvtnet_aff_adresse(a, texte));
        EXPECT_EQ(1, kvtnet_adresse_locale(a));
        ++vues;
    }
    ::freeifaddrs(liste);
    EXPECT_GE(vues, 1);
}
