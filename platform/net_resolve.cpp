// Server names to IPv4 addresses, the same rule on every platform over each side's raw parse and lookup.
#include "net.h"
#include "net_resolve_raw.h"

int NetResolveIPv4(const char *name, uint32_t *addr) {
    if (!name) return 0;
    // A name that starts with a digit is an address: never looked up.
    if (*name >= '0' && *name <= '9') return NetParseDottedIPv4(name, addr);
    return NetLookUpIPv4(*name ? name : "localhost", addr);
}
