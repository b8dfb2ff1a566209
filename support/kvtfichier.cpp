/* Files read by name (the configuration, the block list): an operator may
 * name anything there, a FIFO, /dev/zero, a folder or a file of gigabytes,
 * and a reload must neither block nor spin nor grow without end. So a file
 * is opened only when it is a regular file (symlinks followed), without
 * ever waiting on the open, up to a size bound that also holds while it is
 * read; lines are streamed, and a line past KVTFICHIER_LIGNE_MAX bytes is
 * never held whole. */
#include "kvt_interne.h"
#include "kvt_raii.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The check of a file's type and size, the same before and after the open.
int verifie(const struct stat &st, long long plafond)
{
    if (S_ISDIR(st.st_mode)) return EISDIR;  // its usual text, "Is a directory"
    if (!S_ISREG(st.st_mode)) return KVTFICHIER_PAS_REGULIER;
    if (st.st_size > plafond) return KVTFICHIER_TROP_GRAND;
    return 0;
}

}  // namespace

int kvtfichier_ouvre(const char *chemin, long long plafond, int *fd)
{
    *fd = -1;
    // Checked by name first: a device is never opened (opening one may have
    // effects of its own), and a FIFO never is either.
    struct stat st;
    if (::stat(chemin, &st) != 0) return errno;
    int err = verifie(st, plafond);
    if (err != 0) return err;
    // The name may have been replaced since: O_NONBLOCK keeps even a FIFO
    // from holding the open, and the descriptor's own type decides. On a
    // regular file the flag changes nothing.
    kvt_fd f{::open(chemin, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (!f) return errno;
    if (::fstat(f.fd, &st) != 0) return errno;
    err = verifie(st, plafond);
    if (err != 0) return err;
    *fd = f.release();
    return 0;
}

std::string kvtfichier_raison(int err, long long plafond)
{
    if (err == KVTFICHIER_PAS_REGULIER) return "not a regular file";
    if (err == KVTFICHIER_TROP_GRAND) {
        if (plafond % (1024 * 1024) == 0) return "larger than " + std::to_string(plafond / (1024 * 1024)) + " MiB";
        return "larger than " + std::to_string(plafond) + " bytes";
    }
    return std::strerror(err);
}

int kvtfichier_lit(int fd, long long plafond, kvtfichier_lecteur &lecteur)
{
    // On the heap: a reload may run on a thread with a small stack.
    constexpr size_t kBloc = 64 * 1024;
    const std::unique_ptr<char[]> bloc{new char[kBloc]};
    std::string debut;        // the start of a line that runs across blocks
    debut.reserve(KVTFICHIER_LIGNE_MAX);
    bool trop_longue = false; // the current line has passed the bound: its bytes are dropped
    long numero = 0;
    long long lus = 0;
    for (;;) {
        const ssize_t n = ::read(fd, bloc.get(), kBloc);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;  // EAGAIN included: never a busy loop
        }
        if (n == 0) break;
        lus += n;
        // The file grew past the bound since it was checked.
        if (lus > plafond) return KVTFICHIER_TROP_GRAND;
        const char *p = bloc.get();
        const char *const fin = p + n;
        while (p < fin) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(fin - p)));
            const char *bout = nl != nullptr ? nl : fin;
            const size_t longueur = static_cast<size_t>(bout - p);
            if (!trop_longue) {
                if (debut.size() + longueur > KVTFICHIER_LIGNE_MAX) {
                    trop_longue = true;
                    debut.clear();
                } else if (nl == nullptr || !debut.empty()) {
                    debut.append(p, longueur);
                }
            }
            if (nl == nullptr) break;
            ++numero;
            if (trop_longue) {
                lecteur.trop_longue(numero);
            } else if (debut.empty()) {
                lecteur.ligne(numero, std::string_view(p, longueur));  // whole in this block: no copy
            } else {
                lecteur.ligne(numero, debut);
            }
            debut.clear();
            trop_longue = false;
            p = nl + 1;
        }
    }
    // A last line without its line feed.
    if (trop_longue) {
        lecteur.trop_longue(++numero);
    } else if (!debut.empty()) {
        lecteur.ligne(++numero, debut);
    }
    return 0;
}
