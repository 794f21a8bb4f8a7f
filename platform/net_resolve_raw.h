// The raw calls the portable name resolution (net_resolve.cpp) is built on, one pair per platform in its net.cpp.
#pragma once

#include <cstdint>

// Reads text as a dotted IPv4 address the way inet_addr does ("127.1", octal
// "010" and hex "0x7f" parts too) into *addr, network byte order. 1 when read.
int NetParseDottedIPv4(const char *text, uint32_t *addr);
// The first IPv4 address the system's resolver gives for host (getaddrinfo),
// network byte order. 1 when found.
int NetLookUpIPv4(const char *host, uint32_t *addr);
