// Complete HTTP responses in one call, and the fetch of a page whose body is
// relayed to a socket.
#include "kvthttp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "kvt_raii.h"
#include "kvt_trace.h"
#include "kvthttpe.h"
#include "kvtlib.h"

namespace {

// Owns a record for the length of one call.
struct libere_record {
    void operator()(kvthttpe *e) const noexcept { kvthttpe_libere(&e); }
};
using record = std::unique_ptr<kvthttpe, libere_record>;

// Owns the connection to the server: closed exactly once, on every path.
struct socket_serveur {
    int fd;
    explicit socket_serveur(int f) noexcept : fd(f) {}
    socket_serveur(const socket_serveur &) = delete;
    socket_serveur &operator=(const socket_serveur &) = delete;
    ~socket_serveur()
    {
        if (fd >= 0) kvtnet_fermer(fd);
    }
};

}  // namespace

int kvthttp_envoie_reponse(int s, const void *corps, int longueur, const char *type_contenu,
                           int code)
{
    if (type_contenu == nullptr || longueur < 0 || (corps == nullptr && longueur > 0)) {
        KVT_ERREUR_MSG("Parametre null");
        return -1;
    }
    record e{kvthttpe_nouveau()};
    if (!e) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_reponse(e.get(), code, "HTTP/1.1") < 0) {
        KVT_ERREUR();
        return -1;
    }
    char taille[16];
    std::snprintf(taille, sizeof taille, "%d", longueur);
    // A head that lacks one of the three lines is not sent at all: the client
    // must never see a body it cannot delimit.
    if (kvthttpe_fixe_param(e.get(), "Connexion", "close") < 0 ||
        kvthttpe_fixe_param(e.get(), "Content-Type", type_contenu) < 0 ||
        kvthttpe_fixe_param(e.get(), "Content-Length", taille) < 0) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_envoie(s, e.get(), 0) < 0) {
        KVT_ERREUR();  // no body after a head that did not go out
        return -1;
    }
    e.reset();
    if (longueur > 0 && kvtnet_envoie(s, corps, longueur) < 0) {
        KVT_ERREUR();
        return -1;
    }
    return 0;
}

int kvthttp_envoie_texte(int s, const char *texte, const char *type_contenu, int code)
{
    if (texte == nullptr) {
        KVT_ERREUR_MSG("Parametre null");
        return -1;
    }
    size_t n = std::strlen(texte);
    if (n > 0x7fffffff) {
        KVT_ERREUR();
        return -1;
    }
    return kvthttp_envoie_reponse(s, texte, static_cast<int>(n), type_contenu, code);
}

int kvthttp_envoie_ok(int s, const char *texte, const char *type_contenu)
{
    return kvthttp_envoie_texte(s, texte, type_contenu, 200);
}

const char kvthttp_page_tete[] =
    "<HTML><HEAD><TITLE>Quorvel Proxy Server : Error</TITLE></HEAD><BODY>";
const char kvthttp_page_pied[] =
    "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>Quorvel Proxy Server 1.0"
    "<BR>A gateway proxy for the local network: "
    "<A HREF=\"https://quorvel.example/\">Quorvel</A>"
    "</I></FONT></DIV></BODY></HTML>";

const char kvthttp_msg_invalide[] =
    "<H1>Invalid request</H1>Your browser sent a request that could not be understood.";
const char kvthttp_msg_methode[] =
    "<H1>Method not allowed</H1>The method specified by your browser is unsupported.";
const char kvthttp_msg_interdit[] = "<H1>Not Allowed</H1>You are not allowed to connect on this server.";

int kvthttp_envoie_page(int s, const char *message, int code)
{
    if (message == nullptr) {
        KVT_ERREUR();
        return -1;
    }
    std::string page;
    try {
        page = std::string(kvthttp_page_tete) + message + kvthttp_page_pied;
    } catch (...) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttp_envoie_texte(s, page.c_str(), "text/html", code) < 0) {
        KVT_ERREUR();
        return -1;
    }
    return 0;
}

int kvthttp_recup_page(int s, const char *url)
{
    record requete{kvthttpe_nouveau()};
    if (!requete) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_requete_get(requete.get(), url) < 0) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_fixe_param(requete.get(), "Connexion", "close") < 0) {
        KVT_ERREUR();
        return -1;
    }
    uint32_t adresse = kvtnet_resoudre_adresse(requete->hote);
    if (adresse == KVTNET_ADRESSE_INVALIDE) return -1;
    // The port of the URL (its own or its scheme's default), not always 80.
    socket_serveur serveur{kvtnet_connecter(adresse, htons(static_cast<uint16_t>(requete->port)))};
    if (serveur.fd < 0) {
        KVT_ERREUR();
        return -1;
    }
    if (kvthttpe_envoie(serveur.fd, requete.get(), 0) < 0) {
        KVT_ERREUR();
        return -1;
    }
    record reponse{kvthttpe_recoit(serveur.fd, KVTHTTPE_REPONSE)};
    if (!reponse) {
        KVT_ERREUR();
        return -1;
    }
    if (reponse->code != 200) {
        kvt_cstr dit{kvthttpe_texte_reponse(reponse.get())};
        kvt_cstr demande{kvthttpe_texte_requete(requete.get(), 0)};
        std::printf("Le serveur a dit : \n%s", dit ? dit.get() : "");
        std::printf("J'ai dit : \n%s", demande ? demande.get() : "");
        std::fflush(stdout);
        return -2;
    }
    // The relay runs without limits: a non-negative result means it stopped
    // before the server's stream ended.
    int r = kvtnet_recup_str(serveur.fd, s, 0, 0, 1);
    if (r >= 0) {
        KVT_ERREUR();
        return -3;
    }
    return 0;
}
