#include "quorvel_main.h"

#include "kvtlib.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

TEST(QuorvelMainArguments, FindsTheArgumentTextOnRawCommandLines)
{
    struct cas {
        const char *ligne;
        const char *arguments;
    } rows[] = {
        {"\"/opt/mon proxy/quorvel\" console", "console"},   // quoted path with a blank
        {"/opt/quorvel   console", "console"},               // run of blanks skipped
        {"\"/opt/mon proxy/quorvel console", "\"/opt/mon proxy/quorvel console"},  // quote never closed
        {"\"/opt/q\"console", "console"},                    // no blank after the closing quote
        {"\"/opt/q\"", ""},
        {"\"\"   a b", "a b"},                               // empty quoted path
        {"/opt/quorvel", ""},
        {"/opt/quorvel ", ""},
        {"", ""},
        {" console", "console"},                             // empty program word
        {"/opt/quorvel console  x ", "console  x "},         // inner and trailing blanks kept
        {"/opt/quorvel\tconsole", ""},                       // only the blank separates
    };
    for (const cas &c : rows) {
        SCOPED_TRACE(c.ligne);
        const char *r = quorvel_main_arguments(c.ligne);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(c.arguments, r);
        EXPECT_TRUE(r >= c.ligne && r <= c.ligne + strlen(c.ligne));   // points into the line
    }
    EXPECT_EQ(nullptr, quorvel_main_arguments(nullptr));
}

TEST(QuorvelMainArguments, JoinedArgvGivesTheArgumentsBack)
{
    struct cas {
        std::vector<const char *> argv;
        const char *ligne;
        const char *arguments;
    } rows[] = {
        {{"/opt/mon proxy/quorvel", "console"}, "\"/opt/mon proxy/quorvel\" console", "console"},
        {{"/opt/quorvel", "console", "x"}, "/opt/quorvel console x", "console x"},
        {{"/opt/quorvel"}, "/opt/quorvel", ""},
        {{"quorvel", "a b"}, "quorvel a b", "a b"},
        {{}, "", ""},
    };
    for (const cas &c : rows) {
        SCOPED_TRACE(c.ligne);
        std::vector<char *> argv;
        for (const char *a : c.argv) argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        std::string ligne = quorvel_main_commande(static_cast<int>(c.argv.size()), argv.data());
        EXPECT_EQ(c.ligne, ligne);
        EXPECT_STREQ(c.arguments, quorvel_main_arguments(ligne.c_str()));
    }
}

TEST(QuorvelMainArguments, ConsoleIsAPlainCaseSensitiveSubstring)
{
    struct cas {
        const char *arguments;
        int console;
    } rows[] = {
        {"console", 1},    {"consoles", 1},         {"xconsoley", 1},   {"a console b", 1},
        {"Console", 0},    {"CONSOLE", 0},          {"consol e", 0},    {"", 0},
        {"\"/opt/mon proxy/quorvel console", 1},  // unclosed quote: the word is still seen
    };
    for (const cas &c : rows) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(c.console, quorvel_main_option_console(c.arguments) != 0);
    }
    EXPECT_EQ(0, quorvel_main_option_console(nullptr));
}

TEST(QuorvelMainChemins, ConfigurationPathBesideTheProgram)
{
    struct cas {
        const char *programme;
        const char *conf;
    } rows[] = {
        {"/opt/quorvel/quorvel", "/opt/quorvel/quorvel.conf"},
        {"/opt/quorvel/proxy", "/opt/quorvel/proxy.conf"},
        {"C:/quorvel/quorvel.exe", "C:/quorvel/quorvel.conf"},
        {"/opt/x.EXE", "/opt/x.EXE.conf"},      // the suffix test counts case
        {"/opt/x.exe.bin", "/opt/x.exe.bin.conf"},
        {".exe", ".conf"},
        {"exe", "exe.conf"},
        {"", ".conf"},
    };
    for (const cas &c : rows) {
        SCOPED_TRACE(c.programme);
        char conf[QUORVEL_MAIN_CHEMIN_MAX];
        ASSERT_EQ(0, quorvel_main_chemin_conf(c.programme, conf, sizeof conf));
        EXPECT_STREQ(c.conf, conf);
    }
}

TEST(QuorvelMainChemins, TooLongPathsAreRefusedNotCut)
{
    // 254 characters + ".conf" fill the 260-byte buffer exactly; one more does not fit.
    std::string p254 = "/" + std::string(253, 'a');
    std::string p255 = p254 + "b";
    std::string e258 = "/" + std::string(253, 'a') + ".exe";   // replaced, so 258 still fits
    std::string e259 = e258.substr(0, 1) + "c" + e258.substr(1);
    struct cas {
        std::string programme;
        int resultat;
    } rows[] = {{p254, 0}, {p255, -1}, {e258, 0}, {e259, -1}, {std::string(400, 'x'), -1}};
    for (const cas &c : rows) {
        SCOPED_TRACE(c.programme.size());
        char conf[QUORVEL_MAIN_CHEMIN_MAX + 8];
        memset(conf, '#', sizeof conf);
        EXPECT_EQ(c.resultat, quorvel_main_chemin_conf(c.programme.c_str(), conf, QUORVEL_MAIN_CHEMIN_MAX));
        if (c.resultat == 0) {
            EXPECT_EQ(QUORVEL_MAIN_CHEMIN_MAX - 1, strlen(conf));
        }
        for (size_t i = QUORVEL_MAIN_CHEMIN_MAX; i < sizeof conf; ++i) EXPECT_EQ('#', conf[i]);
    }
    char conf[8];
    EXPECT_EQ(-1, quorvel_main_chemin_conf(nullptr, conf, sizeof conf));
    EXPECT_EQ(-1, quorvel_main_chemin_conf("/q", nullptr, sizeof conf));
}

TEST(QuorvelMainChemins, ProgramPathIsTheRealFile)
{
    char chemin[QUORVEL_MAIN_CHEMIN_MAX];
    ASSERT_EQ(0, quorvel_main_chemin_programme(chemin, sizeof chemin));
    EXPECT_EQ('/', chemin[0]);
    std::string s = chemin;
    EXPECT_EQ("/quorvel_main_test", s.substr(s.rfind('/')));
    // A buffer too small for the path is refused rather than cut.
    char court[8];
    EXPECT_EQ(-1, quorvel_main_chemin_programme(court, sizeof court));
    EXPECT_EQ(-1, quorvel_main_chemin_programme(nullptr, 16));
}

namespace {

// A scratch folder removed with its files at the end of the test.
struct dossier_essai {
    std::string chemin;
    dossier_essai()
    {
        char modele[] = "/tmp/quorvel_main_test.XXXXXX";
        chemin = mkdtemp(modele) ? modele : "";
    }
    ~dossier_essai()
    {
        if (!chemin.empty()) (void)!system(("rm -rf '" + chemin + "'").c_str());
    }
};

struct sortie {
    int resultat;
    std::string out, err;
};

sortie charge(const char *dossier, const char *fichier, const char *entree)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sortie s;
    s.resultat = quorvel_main_charge(dossier, fichier, entree);
    s.out = testing::internal::GetCapturedStdout();
    s.err = testing::internal::GetCapturedStderr();
    return s;
}

}  // namespace

TEST(QuorvelMainModules, LoadsFromTheGivenFolderAndReportsEachFailure)
{
    dossier_essai tmp;
    ASSERT_FALSE(tmp.chemin.empty());
    std::ofstream(tmp.chemin + "/quorvel_faux.so") << "not a shared library\n";

    {
        SCOPED_TRACE("module that starts");
        sortie s = charge(QUORVEL_ESSAI_DOSSIER, "quorvel_essai_module.so", "_demarre_serveur_essai");
        EXPECT_EQ(0, s.resultat);   // the entry's own -5 is ignored
        EXPECT_EQ("essai started\n", s.out);
        EXPECT_EQ("", s.err);
    }
    {
        SCOPED_TRACE("folder given without its final slash, and with it");
        EXPECT_EQ(0, charge(QUORVEL_ESSAI_DOSSIER "/", "quorvel_essai_module.so", "_demarre_serveur_essai").resultat);
    }
    {
        SCOPED_TRACE("entry missing");
        sortie s = charge(QUORVEL_ESSAI_DOSSIER, "quorvel_essai_module.so", "_demarre_serveur_dns");
        EXPECT_EQ(-1, s.resultat);
        EXPECT_EQ("Unable to find _demarre_serveur_dns in quorvel_essai_module.so.\n", s.out);
    }
    {
        SCOPED_TRACE("file missing: the message names the bare file, no loader text");
        sortie s = charge(tmp.chemin.c_str(), "quorvel_socks.so", "_demarre_serveur_socks");
        EXPECT_EQ(-1, s.resultat);
        EXPECT_EQ("Unable to load quorvel_socks.so (_demarre_serveur_socks).\n", s.out);
        EXPECT_EQ("", s.err);
    }
    {
        SCOPED_TRACE("file present but not a library: the loader's reason on stderr");
        sortie s = charge(tmp.chemin.c_str(), "quorvel_faux.so", "_demarre_serveur_ssl");
        EXPECT_EQ(-1, s.resultat);
        EXPECT_EQ("Unable to load quorvel_faux.so (_demarre_serveur_ssl).\n", s.out);
        EXPECT_NE(std::string::npos, s.err.find("quorvel_faux.so")) << s.err;
    }
    {
        SCOPED_TRACE("unresolved symbol: refused at load, never called");
        sortie s = charge(QUORVEL_ESSAI_DOSSIER, "quorvel_essai_non_resolu.so", "_demarre_serveur_essai");
        EXPECT_EQ(-1, s.resultat);
        EXPECT_EQ("Unable to load quorvel_essai_non_resolu.so (_demarre_serveur_essai).\n", s.out);
        EXPECT_NE(std::string::npos, s.err.find("quorvel_essai_jamais_defini")) << s.err;
    }
    {
        SCOPED_TRACE("a name is never looked up outside the folder");
        sortie s = charge(tmp.chemin.c_str(), "libc.so.6", "malloc");
        EXPECT_EQ(-1, s.resultat);
        EXPECT_EQ("Unable to load libc.so.6 (malloc).\n", s.out);
        EXPECT_EQ(-1, charge("", "libc.so.6", "malloc").resultat);   // no folder yet: the current one
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, quorvel_main_charge(nullptr, "x.so", "e"));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("ERREUR: launcher/quorvel_main.cpp ligne "));
}

TEST(QuorvelMainSignaux, StopSignalsEndTheWaitWithZeroAndUsr1DoesNot)
{
    // In a child: the blocked mask and the ignored SIGPIPE must not leak
    // into the other tests of this process.
    for (int arret : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(arret);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            sigset_t attendus;
            if (quorvel_main_prepare_signaux(&attendus) != 0) _exit(10);
            if (signal(SIGPIPE, SIG_IGN) != SIG_IGN) _exit(11);   // still ignored
            // Pending before the wait: nothing is lost while modules start.
            kill(getpid(), SIGUSR1);
            kill(getpid(), arret);
            _exit(quorvel_main_boucle(&attendus) == 0 ? 0 : 12);
        }
        int etat = 0;
        ASSERT_EQ(pid, waitpid(pid, &etat, 0));
        ASSERT_TRUE(WIFEXITED(etat)) << "killed by signal " << WTERMSIG(etat);
        EXPECT_EQ(0, WEXITSTATUS(etat));
    }
}

namespace {

std::string lit_fichier(const std::string &chemin)
{
    std::ifstream f(chemin);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

size_t compte(const std::string &texte, const std::string &motif)
{
    size_t n = 0;
    for (size_t p = texte.find(motif); p != std::string::npos; p = texte.find(motif, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(QuorvelMainRecharge, SighupReloadsCallsTheModulesAndKeepsWhatNeedsARestart)
{
    dossier_essai tmp;
    ASSERT_FALSE(tmp.chemin.empty());
    const std::string conf = tmp.chemin + "/quorvel.conf", log = tmp.chemin + "/q.log";
    const std::string sortie_fils = tmp.chemin + "/out";
    std::ofstream(conf) << "[Main]\nLogFile=" << log << "\n";
    // In a child: the signal mask and the loaded module stay out of the other tests.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!freopen(sortie_fils.c_str(), "w", stdout)) _exit(9);
        sigset_t attendus;
        if (quorvel_main_prepare_signaux(&attendus) != 0) _exit(10);
        kvtcfg_init(conf.c_str());
        kvtlog_init(log.c_str(), (tmp.chemin + "/q-errors.log").c_str());
        if (quorvel_main_charge(QUORVEL_ESSAI_DOSSIER, "quorvel_essai_module.so", "_demarre_serveur_essai") != 0) _exit(11);
        // A module without a reload entry is skipped.
        quorvel_main_charge(QUORVEL_ESSAI_DOSSIER, "quorvel_ip_mask_sonde_a.so", "sonde_nb_hotes");
        fflush(stdout);
        // 1. A reload through the signal; LogFile now names another file.
        // The reload runs beside the wait, so the stop is sent once it has
        // logged its end (the stop does not wait for a reload).
        std::ofstream(conf) << "[Main]\nLogFile=" << tmp.chemin << "/autre.log\n";
        std::thread envoi([&log] {
            kill(getpid(), SIGHUP);
            for (int i = 0; i < 3000 && lit_fichier(log).find("Configuration reloaded") == std::string::npos; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(getpid(), SIGTERM);
        });
        const int fin = quorvel_main_boucle(&attendus);
        envoi.join();
        if (fin != 0) _exit(12);
        // 2. The file gone: nothing is called, the running configuration stays.
        unlink(conf.c_str());
        printf("--\n");
        fflush(stdout);
        if (quorvel_main_recharge() != -1) _exit(13);
        fflush(stdout);
        _exit(0);
    }
    int etat = 0;
    ASSERT_EQ(pid, waitpid(pid, &etat, 0));
    ASSERT_TRUE(WIFEXITED(etat)) << "killed by signal " << WTERMSIG(etat);
    EXPECT_EQ(0, WEXITSTATUS(etat));

    const std::string out = lit_fichier(sortie_fils), journal = lit_fichier(log);
    // Reloaded once per start of it in this process (earlier tests of the
    // same run may have started it too), and never after the failure.
    EXPECT_EQ(0u, out.find("essai started\nessai reloaded\n")) << out;
    EXPECT_EQ(out.size() - 3, out.find("--\n")) << out;
    EXPECT_EQ(out.size() - 3 - std::string("essai started\n").size(),
              compte(out, "essai reloaded\n") * std::string("essai reloaded\n").size()) << out;
    EXPECT_EQ(1u, compte(journal, "Configuration reload: LogFile changed; the running value stays until a restart\n"))
        << journal;
    EXPECT_EQ(1u, compte(journal, "Configuration reloaded\n")) << journal;
    EXPECT_EQ(1u, compte(journal, "Configuration reload failed: " + conf +
                                      ": No such file or directory; the running configuration stays\n"))
        << journal;
    EXPECT_LT(journal.find("Configuration reloaded"), journal.find("Quorvel stops")) << journal;
    EXPECT_EQ("", lit_fichier(tmp.chemin + "/autre.log"));  // the log stays where it was
}

TEST(QuorvelMainDescripteurs, SoftLimitRaisedToTheHardOne)
{
    rlimit ancienne{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &ancienne));
    if (ancienne.rlim_max == RLIM_INFINITY || ancienne.rlim_max <= 64) GTEST_SKIP() << "no finite hard limit above 64";
    rlimit basse = ancienne;
    basse.rlim_cur = 64;  // what a shell might leave
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &basse));
    EXPECT_EQ(0, quorvel_main_leve_descripteurs());
    rlimit apres{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &apres));
    EXPECT_EQ(ancienne.rlim_max, apres.rlim_cur);
    EXPECT_EQ(ancienne.rlim_max, apres.rlim_max);
    EXPECT_EQ(0, quorvel_main_leve_descripteurs());  // already there: nothing to do
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &ancienne));
}
