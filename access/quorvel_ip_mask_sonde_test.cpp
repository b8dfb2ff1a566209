// Two modules that each link the access library keep separate tables, and
// export none of its names, whether loaded with RTLD_LOCAL or RTLD_GLOBAL.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct Sonde {
    void *h = nullptr;
    int (*ajoute)(const char *) = nullptr;
    int (*autorise)(uint32_t) = nullptr;
    int (*nb_hotes)() = nullptr;
    int (*adhosts_insere)(const char *) = nullptr;
    int (*adhosts_contient)(const char *) = nullptr;
};

template <typename F>
void trouve(void *h, const char *nom, F &f)
{
    f = reinterpret_cast<F>(dlsym(h, nom));
    ASSERT_NE(nullptr, reinterpret_cast<void *>(f)) << nom;
}

// The modules stay loaded for the life of the process, as the launcher's do.
void charge(const char *chemin, int mode, Sonde &s)
{
    s.h = dlopen(chemin, RTLD_NOW | mode);
    ASSERT_NE(nullptr, s.h) << dlerror();
    trouve(s.h, "sonde_ajoute", s.ajoute);
    trouve(s.h, "sonde_autorise", s.autorise);
    trouve(s.h, "sonde_nb_hotes", s.nb_hotes);
    trouve(s.h, "sonde_adhosts_insere", s.adhosts_insere);
    trouve(s.h, "sonde_adhosts_contient", s.adhosts_contient);
}

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a | b << 8 | c << 16 | d << 24;
}

void tables_separees(const char *a_chemin, const char *b_chemin, int mode)
{
    Sonde a, b;
    ASSERT_NO_FATAL_FAILURE(charge(a_chemin, mode, a));
    ASSERT_NO_FATAL_FAILURE(charge(b_chemin, mode, b));
    ASSERT_NE(a.h, b.h);

    EXPECT_EQ(1, a.ajoute("10.*"));
    EXPECT_EQ(0, b.nb_hotes());
    EXPECT_EQ(1, a.autorise(ip(10, 1, 2, 3)));
    EXPECT_EQ(0, b.autorise(ip(10, 1, 2, 3)));
    EXPECT_EQ(1, b.ajoute("192.168.*"));
    EXPECT_EQ(2, b.ajoute("172.16.*"));
    EXPECT_EQ(1, a.nb_hotes());
    EXPECT_EQ(0, a.autorise(ip(192, 168, 0, 1)));
    EXPECT_EQ(1, b.autorise(ip(192, 168, 0, 1)));
    EXPECT_EQ(0, b.autorise(ip(10, 1, 2, 3)));

    EXPECT_EQ(0, a.adhosts_insere("pub.a.example"));
    EXPECT_EQ(1, a.adhosts_contient("pub.a.example"));
    EXPECT_EQ(0, b.adhosts_contient("pub.a.example"));  // b has no table yet
    EXPECT_EQ(0, b.adhosts_insere("pub.b.example"));
    EXPECT_EQ(0, b.adhosts_contient("pub.a.example"));
    EXPECT_EQ(0, a.adhosts_contient("pub.b.example"));

    // Nothing of the access library is in either module's dynamic symbols.
    for (void *h : {a.h, b.h})
        for (const char *nom : {"nb_hotes", "adresses", "masques", "quorvel_adhosts",
                                "_Z22quorvel_ip_mask_ajoutePKc", "_Z24quorvel_ip_mask_autorisej",
                                "_Z22quorvel_ip_mask_chargev", "_Z22quorvel_adhosts_chargev",
                                "_Z24quorvel_adhosts_contientPKc", "_Z18quorvel_table_creej"}) {
            SCOPED_TRACE(nom);
            EXPECT_EQ(nullptr, dlsym(h, nom));
        }
}

TEST(QuorvelIpMaskModules, SeparateTablesWithLocalLoading)
{
    tables_separees(SONDE_A, SONDE_B, RTLD_LOCAL);
}

// With RTLD_GLOBAL the second module would bind to the first one's table if
// the names were exported: hidden visibility must hold even then.
TEST(QuorvelIpMaskModules, SeparateTablesWithGlobalLoading)
{
    tables_separees(SONDE_C, SONDE_D, RTLD_GLOBAL);
}

}  // namespace
