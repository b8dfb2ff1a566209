/* Reading one HTTP header block from a socket: exactly up to its blank
 * line, so the bytes after it stay in the socket for whoever reads next. */
#include "kvtlib.h"
#include "kvt_interne.h"
#include "kvt_raii.h"
#include "kvt_trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace {
constexpr int DELAI_ENTETE_MS = 30 * 1000;
constexpr int ENTETE_MAX = 64 * 1024;
constexpr int ENTETE_INITIAL = 4096;
}  // namespace

size_t kvtnet_fin_entete(const char *p, size_t n, size_t depuis)
{
    size_t i = depuis >= 2 ? depuis - 2 : 0;
    while (i < n) {
        const void *lf = std::memchr(p + i, '\n', n - i);
        if (lf == nullptr) return 0;
        i = static_cast<size_t>(static_cast<const char *>(lf) - p);
        if (i + 1 < n && p[i + 1] == '\n') return i + 2;
        if (i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n') return i + 3;
        ++i;
    }
    return 0;
}

// -1 block over 64 KiB, -2 peer closed or failed, -3 no complete block in 30 s
// (or in the shorter wait that a capped listener imposed).
int kvtnet_recup_entete(int s, char **entete)
{
    if (entete == nullptr) { KVT_ERREUR_MSG("Parametre null"); return -1; }
    if (s < 0) return -2;  // poll would wait out the deadline on it
    const int64_t echeance = kvtnet_maintenant_ms() + DELAI_ENTETE_MS;
    size_t capacite = ENTETE_INITIAL;
    kvt_cstr tampon{static_cast<char *>(std::malloc(capacite + 1))};
    if (!tampon) { KVT_ERREUR(); return -1; }
    size_t lu = 0;
    for (;;) {
        if (lu == capacite) {
            if (capacite == ENTETE_MAX) return -1;
            size_t nouvelle = capacite * 2 > ENTETE_MAX ? ENTETE_MAX : capacite * 2;
            char *p = static_cast<char *>(std::realloc(tampon.get(), nouvelle + 1));
            if (p == nullptr) { KVT_ERREUR(); return -1; }
            (void)tampon.release();
            tampon.reset(p);
            capacite = nouvelle;
        }
        // Bytes that keep coming do not stretch the deadline.
        if (lu > 0 && kvtnet_maintenant_ms() >= echeance) return -3;
        // Look without taking, so bytes after the blank line stay in the
        // socket. The head has mostly come with the connection: poll only
        // when nothing is there yet.
        ssize_t n = ::recv(s, tampon.get() + lu, capacite - lu, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return -2;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return -2;
            int pret = kvtnet_attend(s, POLLIN, echeance);
            if (pret == 0) return -3;
            if (pret < 0) return -2;
            continue;
        }
        size_t vu = lu + static_cast<size_t>(n);
        size_t fin = kvtnet_fin_entete(tampon.get(), vu, lu);
        size_t a_prendre = (fin != 0 ? fin : vu) - lu;
        // The peeked bytes are queued, so this read takes exactly them.
        while (a_prendre > 0) {
            ssize_t m = ::recv(s, tampon.get() + lu, a_prendre, MSG_DONTWAIT);
            if (m < 0 && errno == EINTR) continue;
            if (m <= 0) return -2;
            lu += static_cast<size_t>(m);
            a_prendre -= static_cast<size_t>(m);
        }
        if (fin != 0) {
            // A listener that has already ended this wait has shut the
            // reading side: the request is given up like a late one.
            if (kvtnet_connexion_entete_lue(s) < 0) return -3;
            tampon.get()[lu] = '\0';
            *entete = tampon.release();
            return static_cast<int>(lu);
        }
    }
}
