/* Small owners used inside functions: heap strings and descriptors released
 * on every path. Never part of an interface. */
#ifndef KVT_RAII_H
#define KVT_RAII_H

#include <cstdlib>
#include <memory>
#include <unistd.h>

struct kvt_free {
    void operator()(void *p) const noexcept { std::free(p); }
};
using kvt_cstr = std::unique_ptr<char, kvt_free>;

struct kvt_fd {
    int fd = -1;
    kvt_fd() noexcept = default;
    explicit kvt_fd(int f) noexcept : fd(f) {}
    kvt_fd(const kvt_fd &) = delete;
    kvt_fd &operator=(const kvt_fd &) = delete;
    ~kvt_fd() { if (fd >= 0) ::close(fd); }
    explicit operator bool() const noexcept { return fd >= 0; }
    int release() noexcept { int f = fd; fd = -1; return f; }
};

#endif
