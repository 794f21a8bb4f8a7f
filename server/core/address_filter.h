// Who may connect to the status port: the StatusNetworks setting's IPv4 networks, parsed from their CIDR text.
#pragma once

#include "net.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 network: the addresses whose first prefix bits are first's (host byte order).
struct Ipv4Network {
    uint32_t first = 0;
    uint8_t prefix = 0;  // 0..32
};

// The networks a status connection may come from.
struct AddressFilter {
    bool restricted = false;            // false: any address (no list, or an empty one)
    std::vector<Ipv4Network> networks;  // when restricted: only these; none left refuses every address
};

struct AddressFilterParse {
    AddressFilter filter;
    // Each entry left out, with why: "10.300.0.0/16 (an octet past 255)".
    std::vector<std::string> ignored;
};

// Reads a list of networks such as "10.20.0.0/16, 192.168.5.0/24". Entries are
// separated by commas, semicolons or white space (empty entries are nothing);
// each is a dotted address of four decimal octets 0..255 without leading
// zeros, then "/" and a prefix 0..32 (none: /32, one address), with no bits set
// past the prefix. A bad entry (IPv6 included: the status port is IPv4 only)
// is left out, never read as something wider, and listed in ignored. Text with
// no entry at all is no restriction; text whose entries are all bad restricts
// to no network.
AddressFilterParse ParseStatusNetworks(std::string_view text);

// Whether an address (host byte order) lies in one of the filter's networks,
// or the filter is not restricted.
bool AddressFilterAllows(const AddressFilter &filter, uint32_t addrHostOrder);
// The same for an accepted peer: a peer whose address is not known as IPv4
// passes only a filter that is not restricted.
bool AddressFilterAllows(const AddressFilter &filter, const NetPeer &peer);

// An address in network byte order (as the net layer gives it) in host order.
uint32_t Ipv4HostOrder(uint32_t addrNetOrder);
// "10.20.0.0/16".
std::string NetworkText(const Ipv4Network &network);
// The filter's networks as "10.20.0.0/16, 192.168.5.0/24".
std::string NetworksText(const AddressFilter &filter);
