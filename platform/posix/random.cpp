// Random bytes on POSIX: getrandom(2), the kernel's pool.
#include "random.h"

#include <cerrno>
#include <sys/random.h>

int RandomBytes(void *buffer, size_t size) {
    auto *p = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const ssize_t n = getrandom(p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}
