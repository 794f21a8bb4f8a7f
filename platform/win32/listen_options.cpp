// Windows listening-socket options: SO_EXCLUSIVEADDRUSE, so no other process can bind the same port.
#include "listen_options.h"

#include <winsock2.h>

void NetListenOptions(NetSocket s) {
    BOOL one = TRUE;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
               sizeof one);
}
