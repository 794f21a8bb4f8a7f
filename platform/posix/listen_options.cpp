// POSIX listening-socket options: SO_REUSEADDR, which never lets two live listeners share a port.
#include "listen_options.h"

#include <sys/socket.h>

void NetListenOptions(NetSocket s) {
    int one = 1;
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}
