// Random bytes on Windows: BCryptGenRandom with the system's preferred generator.
#include "random.h"

#include <windows.h>

#include <bcrypt.h>

int RandomBytes(void *buffer, size_t size) {
    auto *p = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
        if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return 0;
        p += chunk;
        size -= chunk;
    }
    return 1;
}
