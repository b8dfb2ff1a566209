// The launcher's reload (SIGHUP, systemctl reload): the configuration is
// read again, then each started module takes up what may change while it
// runs through its optional reload entry. What only a restart can apply
// keeps its running value and is named in the log.
#include "quorvel_main.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "kvtlib.h"
#include "quorvel_main_stats.h"

namespace {

// Modules whose start entry was called, with that entry's name. Written
// at start, then read by the reloads (on the reload thread, started after).
struct module_demarre {
    void *handle;
    const char *entree;
};
module_demarre modules_demarres[8];
int nb_modules_demarres;

// The log paths in force: only a restart changes them.
char log_en_cours[QUORVEL_MAIN_CHEMIN_MAX];
char erreurs_en_cours[QUORVEL_MAIN_CHEMIN_MAX];
char acces_en_cours[QUORVEL_MAIN_CHEMIN_MAX];

void copie(char *vers, const char *de)
{
    strncpy(vers, de, QUORVEL_MAIN_CHEMIN_MAX - 1);
    vers[QUORVEL_MAIN_CHEMIN_MAX - 1] = '\0';
}

}  // namespace

void quorvel_main_garde_logs(const char *log, const char *erreurs)
{
    copie(log_en_cours, log);
    copie(erreurs_en_cours, erreurs);
}

int quorvel_main_ouvre_acces(void)
{
    kvtcfg_recup_E("Main", "AccessLog", acces_en_cours, sizeof acces_en_cours, "");
    return kvtlog_acces_ouvre(acces_en_cours);
}

void quorvel_main_garde_module(void *handle, const char *entree)
{
    if (nb_modules_demarres < static_cast<int>(sizeof modules_demarres / sizeof modules_demarres[0]))
        modules_demarres[nb_modules_demarres++] = {handle, entree};
}

int quorvel_main_resout_noms(void)
{
    // The values as each module's table reads them (255 characters at most),
    // so that the texts match exactly; star patterns name no host.
    std::vector<std::string> valeurs;
    std::vector<const char *> noms;
    try {
        char cle[32];
        char valeur[256];
        for (int n = 0; n < 100; ++n) {
            snprintf(cle, sizeof cle, "AllowedHost%d", n);
            if (kvtcfg_recup_E("Main", cle, valeur, sizeof valeur, "") < 0) continue;
            if (valeur[0] != '\0' && strchr(valeur, '*') == nullptr) valeurs.emplace_back(valeur);
        }
        for (const std::string &v : valeurs) noms.push_back(v.c_str());
    } catch (...) {
        return -1;
    }
    return kvtnoms_publie(noms.data(), static_cast<int>(noms.size()), KVTNOMS_DELAI_MS, nullptr);
}

int quorvel_main_recharge(void)
{
    char raison[512];
    if (kvtcfg_recharge(raison, sizeof raison) < 0) {
        kvtlog_log("Configuration reload failed: %s; the running configuration stays", raison);
        return -1;
    }
    char log[QUORVEL_MAIN_CHEMIN_MAX];
    char erreurs[QUORVEL_MAIN_CHEMIN_MAX];
    kvtcfg_recup_E("Main", "LogFile", log, sizeof log, "quorvel.log");
    kvtcfg_recup_E("Main", "ErrFile", erreurs, sizeof erreurs, "quorvel-errors.log");
    if (strcmp(log, log_en_cours) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "LogFile");
    if (strcmp(erreurs, erreurs_en_cours) != 0) kvtlog_log(KVTCFG_TEXTE_REDEMARRAGE, "ErrFile");
    // The access log moves at once: lines of the connections that end from
    // now on go to the new path.
    kvtcfg_recup_E("Main", "AccessLog", log, sizeof log, "");
    if (strcmp(log, acces_en_cours) != 0) (void)quorvel_main_ouvre_acces();
    // Names once for every module, before their reload entries read them.
    (void)quorvel_main_resout_noms();
    // The block list is the process's: loaded again once, before the modules
    // look at their switches (a module that turns blocking on then finds it).
    (void)kvtliste_recharge();
    // "_demarre_serveur_x" has the reload entry "_recharge_serveur_x"; a
    // module without one has nothing that changes while it runs.
    static const char debut[] = "_demarre_";
    for (int i = 0; i < nb_modules_demarres; ++i) {
        const module_demarre &m = modules_demarres[i];
        if (strncmp(m.entree, debut, sizeof debut - 1) != 0) continue;
        const std::string nom = std::string("_recharge_") + (m.entree + sizeof debut - 1);
        auto recharge = reinterpret_cast<int (*)()>(dlsym(m.handle, nom.c_str()));
        if (recharge != nullptr) (void)recharge();   // each module logs what it could not take up
    }
    quorvel_main_stats_recharge();
    kvtlog_log("Configuration reloaded");
    return 0;
}
