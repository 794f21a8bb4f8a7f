// Address options for a listening socket that another library creates (the dashboard's HTTP server).
#pragma once

#include "net.h"

// Lets a restarted server bind again at once, but never lets a second live
// listener share the port: SO_EXCLUSIVEADDRUSE on Windows, SO_REUSEADDR on POSIX.
void NetListenOptions(NetSocket s);
