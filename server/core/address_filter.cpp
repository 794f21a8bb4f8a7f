// The StatusNetworks list: CIDR entries parsed strictly, so a typo never admits more than was written.
#include "address_filter.h"

#include <cstring>

namespace {

bool IsSeparator(char c) { return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

uint32_t MaskOf(uint8_t prefix) { return prefix == 0 ? 0 : UINT32_MAX << (32 - prefix); }

enum class Number { Ok, NotNumber, TooLarge, LeadingZero };

// A decimal number of digits only, at most maximum, without a leading zero (but "0").
Number ReadNumber(std::string_view text, uint32_t maximum, uint32_t &value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return Number::NotNumber;
    if (text.size() > 1 && text[0] == '0') return Number::LeadingZero;
    if (text.size() > 10) return Number::TooLarge;
    uint64_t v = 0;
    for (const char c : text) v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > maximum) return Number::TooLarge;
    value = static_cast<uint32_t>(v);
    return Number::Ok;
}

// The entry as a message may show it: at most 48 bytes, bytes outside printable ASCII as '?'.
std::string Shown(std::string_view entry) {
    std::string out;
    for (size_t i = 0; i < entry.size() && i < 48; ++i) {
        const auto b = static_cast<unsigned char>(entry[i]);
        out += b > 0x20 && b < 0x7F ? static_cast<char>(b) : '?';
    }
    if (entry.size() > 48) out += "...";
    return out;
}

// One entry into network; false with a short reason.
bool ParseEntry(std::string_view entry, Ipv4Network &network, std::string &reason) {
    if (entry.find(':') != std::string_view::npos) {
        reason = "IPv6: the status port takes IPv4 only";
        return false;
    }
    const size_t slash = entry.find('/');
    const std::string_view address = entry.substr(0, slash);
    uint32_t prefix = 32;
    if (slash != std::string_view::npos) {
        if (ReadNumber(entry.substr(slash + 1), 32, prefix) != Number::Ok) {
            reason = "the prefix is not 0 to 32";
            return false;
        }
    }
    uint32_t addr = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = address.find('.', start);
        if ((part < 3) == (dot == std::string_view::npos)) {
            reason = "not four dotted decimal octets";
            return false;
        }
        const std::string_view octet = address.substr(start, part < 3 ? dot - start : std::string_view::npos);
        uint32_t value = 0;
        switch (ReadNumber(octet, 255, value)) {
        case Number::Ok: break;
        case Number::NotNumber: reason = "not four dotted decimal octets"; return false;
        case Number::TooLarge: reason = "an octet past 255"; return false;
        case Number::LeadingZero: reason = "an octet with a leading zero"; return false;
        }
        addr = addr << 8 | value;
        start = dot + 1;
    }
    network.prefix = static_cast<uint8_t>(prefix);
    network.first = addr & MaskOf(network.prefix);
    if (network.first != addr) {
        reason = "bits set past the /" + std::to_string(prefix) + " prefix; the network is " + NetworkText(network);
        return false;
    }
    return true;
}

}  // namespace

AddressFilterParse ParseStatusNetworks(std::string_view text) {
    AddressFilterParse out;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && IsSeparator(text[at])) ++at;
        size_t end = at;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        if (end == at) break;
        const std::string_view entry = text.substr(at, end - at);
        at = end;
        out.filter.restricted = true;
        Ipv4Network network;
        std::string reason;
        if (ParseEntry(entry, network, reason)) {
            out.filter.networks.push_back(network);
        } else {
            out.ignored.push_back(Shown(entry) + " (" + reason + ")");
        }
    }
    return out;
}

bool AddressFilterAllows(const AddressFilter &filter, uint32_t addrHostOrder) {
    if (!filter.restricted) return true;
    for (const Ipv4Network &n : filter.networks) {
        if ((addrHostOrder & MaskOf(n.prefix)) == n.first) return true;
    }
    return false;
}

bool AddressFilterAllows(const AddressFilter &filter, const NetPeer &peer) {
    if (!filter.restricted) return true;
    return peer.ipv4 && AddressFilterAllows(filter, Ipv4HostOrder(peer.addrNetOrder));
}

uint32_t Ipv4HostOrder(uint32_t addrNetOrder) {
    uint8_t b[4];
    std::memcpy(b, &addrNetOrder, sizeof b);  // network order: the first octet first in memory
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

std::string NetworkText(const Ipv4Network &network) {
    const uint32_t a = network.first;
    return std::to_string(a >> 24) + '.' + std::to_string(a >> 16 & 0xFF) + '.' + std::to_string(a >> 8 & 0xFF) + '.' +
           std::to_string(a & 0xFF) + '/' + std::to_string(network.prefix);
}

std::string NetworksText(const AddressFilter &filter) {
    std::string out;
    for (const Ipv4Network &n : filter.networks) {
        if (!out.empty()) out += ", ";
        out += NetworkText(n);
    }
    return out;
}
