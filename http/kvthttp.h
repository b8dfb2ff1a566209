/* kvthttp: a complete HTTP response sent in one call, and the fetch of a web
 * page whose body is relayed to a socket. Built on kvthttpe. The caller keeps
 * every socket, body and text it passes; nothing here closes its socket. */
#ifndef KVTHTTP_H
#define KVTHTTP_H

/* Sends "HTTP/1.1 CODE REASON", the headers "Connexion: close",
 * "Content-Type: <type_contenu>" and "Content-Length: <longueur>", the empty
 * line, then exactly `longueur` bytes of `corps`.
 * 0 when the whole response was handed to the socket; -1 when the head cannot
 * be built (nothing sent) or a send fails (no body after a failed head). */
int kvthttp_envoie_reponse(int s, const void *corps, int longueur, const char *type_contenu,
                           int code);
/* kvthttp_envoie_reponse with the bytes of `texte` before its NUL. */
int kvthttp_envoie_texte(int s, const char *texte, const char *type_contenu, int code);
/* kvthttp_envoie_texte with status 200. */
int kvthttp_envoie_ok(int s, const char *texte, const char *type_contenu);

/* The proxy's error page around `message`: this head, the message, this
 * footer, one text without line ends. Shared by every service that answers
 * with a page, so they all look the same. */
extern const char kvthttp_page_tete[];
extern const char kvthttp_page_pied[];
/* The messages of the pages every service sends: 400, 405 and 403. */
extern const char kvthttp_msg_invalide[];
extern const char kvthttp_msg_methode[];
extern const char kvthttp_msg_interdit[];
/* Sends the error page around `message` ("<H1>...</H1>text") as a complete
 * "text/html" response with status `code`. 0, or -1 (traced) when it cannot
 * be built or sent. */
int kvthttp_envoie_page(int s, const char *message, int code);

/* GETs `url` from the host and port it names and relays the body of a 200
 * answer to socket `s`.
 * 0 body relayed to its end; -1 bad URL, no memory, host not resolved (no
 * trace), connection, send or answer head failed; -2 the server answered
 * another status (both heads written to stdout, nothing relayed); -3 the
 * relay stopped before the end of the stream. */
int kvthttp_recup_page(int s, const char *url);

#endif
