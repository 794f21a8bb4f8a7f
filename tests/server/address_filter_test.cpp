// Tests of the StatusNetworks list: a table of entries good and bad, what each admits, and the text shown for it.
#include "address_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(StatusNetworks, ATableOfListsGoodAndBad) {
    struct Case {
        const char *text;
        bool restricted;
        std::string networks;  // as NetworksText shows the ones kept
        size_t ignored;        // entries left out
        const char *why;       // in the first ignored entry's reason
    };
    const Case cases[] = {
        // Good lists, in any spacing and with any of the separators.
        {"10.20.0.0/16, 192.168.5.0/24", true, "10.20.0.0/16, 192.168.5.0/24", 0, ""},
        {"  10.20.0.0/16,192.168.5.0/24  ", true, "10.20.0.0/16, 192.168.5.0/24", 0, ""},
        {"10.20.0.0/16 192.168.5.0/24\t172.16.0.0/12", true, "10.20.0.0/16, 192.168.5.0/24, 172.16.0.0/12", 0, ""},
        {"10.20.0.0/16; 192.168.5.0/24", true, "10.20.0.0/16, 192.168.5.0/24", 0, ""},
        {"0.0.0.0/0", true, "0.0.0.0/0", 0, ""},
        {"192.168.5.7/32", true, "192.168.5.7/32", 0, ""},
        {"192.168.5.7", true, "192.168.5.7/32", 0, ""},  // one address
        {"255.255.255.255/32", true, "255.255.255.255/32", 0, ""},
        {"0.0.0.0/8", true, "0.0.0.0/8", 0, ""},
        // Empty entries are nothing; no entry at all is no restriction.
        {"10.20.0.0/16,,, ,192.168.5.0/24,", true, "10.20.0.0/16, 192.168.5.0/24", 0, ""},
        {"", false, "", 0, ""},
        {"   ", false, "", 0, ""},
        {" , ;, ", false, "", 0, ""},
        // Bad entries are left out; the good ones stay.
        {"10.300.0.0/16, 192.168.5.0/24", true, "192.168.5.0/24", 1, "past 255"},
        {"256.0.0.0/8", true, "", 1, "past 255"},
        {"10.20.0.0/33", true, "", 1, "prefix"},
        {"10.20.0.0/-1", true, "", 1, "prefix"},
        {"10.20.0.0/", true, "", 1, "prefix"},
        {"10.20.0.0/16/8", true, "", 1, "prefix"},
        {"10.20.0.0/08", true, "", 1, "prefix"},
        {"10.20.0.0/ 16", true, "", 2, "prefix"},  // and "16" alone is no dotted address
        {"10.20.1.0/16", true, "", 1, "10.20.0.0/16"},  // bits past the prefix: never widened
        {"1.2.3.4/0", true, "", 1, "0.0.0.0/0"},
        {"10.20.0/16", true, "", 1, "four dotted"},
        {"10.20.0.0.0/16", true, "", 1, "four dotted"},
        {"10..0.0/16", true, "", 1, "four dotted"},
        {"10.20.0.x/24", true, "", 1, "four dotted"},
        {"+10.20.0.0/16", true, "", 1, "four dotted"},
        {"010.20.0.0/16", true, "", 1, "leading zero"},  // octal to some readers, decimal to others
        {"0x0a.20.0.0/16", true, "", 1, "four dotted decimal"},
        {"10.20.0.0/16 fe80::/10", true, "10.20.0.0/16", 1, "IPv6"},
        {"::ffff:10.20.0.0/112", true, "", 1, "IPv6"},
        {"ten.twenty/16", true, "", 1, "four dotted"},
        {"99999999999.0.0.0/8", true, "", 1, "past 255"},
        // Wholly bad: restricted, with nothing left, so no address gets in.
        {"garbage", true, "", 1, "four dotted"},
        {"10.300.0.0/16, 10.20.1.0/16", true, "", 2, "past 255"},
    };
    for (const Case &c : cases) {
        const AddressFilterParse parsed = ParseStatusNetworks(c.text);
        EXPECT_EQ(parsed.filter.restricted, c.restricted) << '"' << c.text << '"';
        EXPECT_EQ(NetworksText(parsed.filter), c.networks) << '"' << c.text << '"';
        ASSERT_EQ(parsed.ignored.size(), c.ignored) << '"' << c.text << '"';
        if (c.ignored) {
            EXPECT_NE(parsed.ignored[0].find(c.why), std::string::npos) << parsed.ignored[0];
        }
    }
}

TEST(StatusNetworks, WhatEachListAdmits) {
    const AddressFilter farm = ParseStatusNetworks("10.20.0.0/16, 192.168.5.0/24, 172.16.9.9").filter;
    const std::pair<uint32_t, bool> peers[] = {
        {Ip(10, 20, 0, 0), true},      {Ip(10, 20, 255, 255), true}, {Ip(10, 21, 0, 0), false},
        {Ip(10, 19, 255, 255), false}, {Ip(192, 168, 5, 1), true},   {Ip(192, 168, 4, 255), false},
        {Ip(172, 16, 9, 9), true},     {Ip(172, 16, 9, 10), false},  {Ip(127, 0, 0, 1), false},
    };
    for (const auto &[addr, allowed] : peers) EXPECT_EQ(AddressFilterAllows(farm, addr), allowed) << std::hex << addr;

    const AddressFilter any = ParseStatusNetworks("").filter;
    const AddressFilter everything = ParseStatusNetworks("0.0.0.0/0").filter;
    const AddressFilter none = ParseStatusNetworks("10.300.0.0/16").filter;
    for (const uint32_t addr : {Ip(0, 0, 0, 0), Ip(10, 20, 1, 1), Ip(255, 255, 255, 255)}) {
        EXPECT_TRUE(AddressFilterAllows(any, addr));
        EXPECT_TRUE(AddressFilterAllows(everything, addr));
        EXPECT_FALSE(AddressFilterAllows(none, addr)) << "a list with no good entry admits no one";
    }

    // A peer as the net layer gives it: network byte order; one not known as IPv4 only without a list.
    NetPeer peer;
    uint32_t addr = 0;
    ASSERT_EQ(NetResolveIPv4("10.20.3.4", &addr), 1);
    EXPECT_EQ(Ipv4HostOrder(addr), Ip(10, 20, 3, 4));
    peer.addrNetOrder = addr;
    peer.ipv4 = true;
    EXPECT_TRUE(AddressFilterAllows(farm, peer));
    peer.ipv4 = false;
    EXPECT_FALSE(AddressFilterAllows(farm, peer));
    EXPECT_FALSE(AddressFilterAllows(everything, peer));
    EXPECT_TRUE(AddressFilterAllows(any, peer));
}

TEST(StatusNetworks, IgnoredEntriesAreShownShortAndPrintable) {
    const AddressFilterParse parsed = ParseStatusNetworks(std::string(100, '9') + ",\x01\x7f/8");
    ASSERT_EQ(parsed.ignored.size(), 2u);
    EXPECT_LT(parsed.ignored[0].size(), 100u);
    EXPECT_EQ(parsed.ignored[1].substr(0, 4), "?" "?/8");
}

}  // namespace
