#include "kvtlib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Every token of `texte` split on `seps`, and whether the cursor was null
// after each call that returned a token.
std::vector<std::string> jetons(const char *texte, const char *seps, std::vector<bool> *nuls = nullptr)
{
    std::string tampon = texte;
    char *curseur = tampon.data();
    std::vector<std::string> r;
    while (char *j = kvtstr_extrait(&curseur, seps)) {
        r.emplace_back(j);
        std::free(j);
        if (nuls) nuls->push_back(curseur == nullptr);
    }
    EXPECT_EQ(curseur, nullptr) << "cursor left non-null after the last token";
    return r;
}

using V = std::vector<std::string>;

}  // namespace

TEST(KvtStr, ExtraitSeparatorRunsCountAsOne)
{
    struct Cas { const char *texte, *seps; V attendu; } cas[] = {
        {"GET host:443 HTTP/1.1", " ", {"GET", "host:443", "HTTP/1.1"}},
        {"  lead and  double  ", " ", {"lead", "and", "double"}},
        {"Host: x\r\nAccept: */*\r\n\r\n", "\r\n", {"Host: x", "Accept: */*"}},
        {"Host: value with blanks", " :", {"Host", "value", "with", "blanks"}},
        {"/path/only", "/", {"path", "only"}},
        {"", " ", {}},
        {"   ", " ", {}},
        {"whole", "", {"whole"}},
        {"a\xE9" "b c", " ", {"a\xE9" "b", "c"}},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(std::string("[") + c.texte + "] seps [" + c.seps + "]");
        EXPECT_EQ(jetons(c.texte, c.seps), c.attendu);
    }
}

TEST(KvtStr, ExtraitCursorPositions)
{
    // After the scheme with ":", the cursor stands just after the colon.
    std::string url = "http://host:8080/p";
    char *curseur = url.data();
    char *j = kvtstr_extrait(&curseur, ":");
    ASSERT_NE(j, nullptr);
    EXPECT_STREQ(j, "http");
    std::free(j);
    EXPECT_STREQ(curseur, "//host:8080/p");

    // The cursor becomes null with the last token, not one call later.
    std::vector<bool> nuls;
    EXPECT_EQ(jetons("host:443", ":", &nuls), (V{"host", "443"}));
    EXPECT_EQ(nuls, (std::vector<bool>{false, true}));
    nuls.clear();
    EXPECT_EQ(jetons("a\r\n\r\n", "\r\n", &nuls), (V{"a"}));
    EXPECT_EQ(nuls, (std::vector<bool>{true}));

    // A null cursor, a null cell or null separators give null, cursor kept.
    char *nul = nullptr;
    EXPECT_EQ(kvtstr_extrait(&nul, " "), nullptr);
    EXPECT_EQ(kvtstr_extrait(nullptr, " "), nullptr);
    std::string t = "x y";
    curseur = t.data();
    EXPECT_EQ(kvtstr_extrait(&curseur, nullptr), nullptr);
    EXPECT_EQ(curseur, t.data());
}

TEST(KvtStr, ConcatAndPrintReplaceTheCell)
{
    char *s = nullptr;
    ASSERT_EQ(kvtstr_concat(&s, "abc"), 0);  // null cell = empty text
    ASSERT_EQ(kvtstr_concat(&s, ""), 0);
    ASSERT_EQ(kvtstr_concat(&s, "def"), 0);
    EXPECT_STREQ(s, "abcdef");
    ASSERT_EQ(kvtstr_concat(&s, s + 3), 0);  // text taken from the cell itself
    EXPECT_STREQ(s, "abcdefdef");

    EXPECT_EQ(kvtstr_print(&s, "%s %d|%s", "HTTP/1.1", 200, s), 22);  // old text as argument
    EXPECT_STREQ(s, "HTTP/1.1 200|abcdefdef");
    EXPECT_EQ(kvtstr_print(&s, "%s", ""), 0);
    EXPECT_STREQ(s, "");
    std::string long_texte(100000, 'x');
    EXPECT_EQ(kvtstr_print(&s, "%s!", long_texte.c_str()), 100001);
    EXPECT_EQ(std::strlen(s), 100001u);

    // Failures release the old text and leave the cell null (ASan sees leaks).
    EXPECT_EQ(kvtstr_concat(&s, nullptr), -1);
    EXPECT_EQ(s, nullptr);
    s = kvtstr_cree("old");
    EXPECT_EQ(kvtstr_print(&s, nullptr), -1);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(kvtstr_concat(nullptr, "x"), -1);
    EXPECT_EQ(kvtstr_print(nullptr, "x"), -1);
}

TEST(KvtStr, CreeCopies)
{
    const char texte[] = "copy me";
    char *c = kvtstr_cree(texte);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, texte);
    EXPECT_STREQ(c, texte);
    std::free(c);
    EXPECT_EQ(kvtstr_cree(nullptr), nullptr);
    c = kvtstr_cree("");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "");
    std::free(c);
}

TEST(KvtStr, IsoleCutsAtFirstOccurrence)
{
    struct Cas { const char *texte, *sep, *tete, *reste; } cas[] = {
        {"192.168.1.*", ".", "192", "168.1.*"},
        {"a.", ".", "a", ""},
        {".a", ".", "", "a"},
        {"host::port", "::", "host", "port"},
        {"nodot", ".", "nodot", nullptr},
        {"text", "", "text", nullptr},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(std::string(c.texte) + " / " + c.sep);
        std::string t = c.texte;
        char *reste = kvtstr_isole(t.data(), c.sep);
        EXPECT_STREQ(t.c_str(), c.tete);
        if (c.reste == nullptr) {
            EXPECT_EQ(reste, nullptr);
            EXPECT_EQ(t, c.texte);  // left whole
        } else {
            EXPECT_STREQ(reste, c.reste);
        }
    }
    EXPECT_EQ(kvtstr_isole(nullptr, "."), nullptr);
}

TEST(KvtStr, ContientAndEnint)
{
    EXPECT_NE(kvtstr_contient("host:443", ':'), 0);
    EXPECT_EQ(kvtstr_contient("host", ':'), 0);
    EXPECT_EQ(kvtstr_contient("host", '\0'), 0);
    EXPECT_EQ(kvtstr_contient(nullptr, ':'), 0);
    EXPECT_NE(kvtstr_contient("caf\xE9", 0xE9), 0);  // as unsigned char
    EXPECT_NE(kvtstr_contient("caf\xE9", static_cast<char>(0xE9)), 0);

    struct Cas { const char *texte; int attendu; } cas[] = {
        {"443", 443}, {"  \t\n42", 42}, {"+7", 7}, {"-12", -12}, {"12abc", 12},
        {"abc", 0}, {"", 0}, {"-", 0}, {"+-3", 0}, {"- 3", 0}, {"0x10", 0},
        {"65535", 65535}, {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX}, {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN}, {"-99999999999999999999", INT_MIN},
        {"000000000000000000000000012", 12},
    };
    for (const Cas &c : cas) {
        SCOPED_TRACE(c.texte);
        EXPECT_EQ(kvtstr_enint(c.texte), c.attendu);
    }
    EXPECT_EQ(kvtstr_enint(nullptr), 0);
}

// Every byte value: kept exactly when it is 0x21-0x7E and not '='.
TEST(KvtStr, EchappeTableOfEveryByte)
{
    for (int b = 1; b <= 0xFF; ++b) {
        const char texte[4] = {'a', static_cast<char>(b), 'z', '\0'};
        char t[8];
        ASSERT_EQ(3u, kvtstr_echappe(texte, t, sizeof t)) << b;
        const bool garde = b >= 0x21 && b <= 0x7E && b != '=';
        EXPECT_EQ(garde ? static_cast<char>(b) : '?', t[1]) << "byte " << b;
        EXPECT_EQ('a', t[0]);
        EXPECT_EQ('z', t[2]);
    }
    // 0x00 ends the text: nothing after it is read.
    char t[8];
    EXPECT_EQ(1u, kvtstr_echappe("a\0z", t, sizeof t));
    EXPECT_STREQ("a", t);
}

TEST(KvtStr, EchappeKeepsOneFieldOfOneLine)
{
    char t[64];
    // Blanks, tabs, line ends, other control bytes, DEL and '=' cannot start
    // a new field or line; bytes from 0x80 up (UTF-8, C1 controls) are not
    // passed on either: the line stays plain ASCII.
    EXPECT_EQ(23u, kvtstr_echappe("a b=c\r\nd\te\x01\x7f" "f\xc3\xa9.example", t, sizeof t));
    EXPECT_STREQ("a?b?c??d?e??f??.example", t);
    EXPECT_EQ(0u, kvtstr_echappe("", t, sizeof t));
    EXPECT_STREQ("", t);
    EXPECT_EQ(0u, kvtstr_echappe(nullptr, t, sizeof t));
    EXPECT_STREQ("", t);
    // Cut to fit, always terminated.
    EXPECT_EQ(3u, kvtstr_echappe("abcdef", t, 4));
    EXPECT_STREQ("abc", t);
    EXPECT_EQ(0u, kvtstr_echappe("abc", t, 1));
    EXPECT_STREQ("", t);
    EXPECT_EQ(0u, kvtstr_echappe("abc", nullptr, 8));
}
