#include "serverframework/sourceblock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TSourceBlockBits Bits(int v4, int v6) {
    TSourceBlockBits bits;
    bits.v4 = v4;
    bits.v6 = v6;
    return bits;
}

TEST(SourceBlockTest, PeerTextsToBlocks) {
    const struct {
        const char* peer;
        int v4;
        int v6;
        const char* block;
    } cases[] = {
        // The port goes; by default an IPv4 address is its own block.
        {"10.0.0.1:50123", 32, 64, "10.0.0.1/32"},
        {"10.1.2.3", 32, 64, "10.1.2.3/32"},
        {"10.1.2.3:1", 24, 64, "10.1.2.0/24"},
        {"10.1.2.255:1", 23, 64, "10.1.2.0/23"},
        {"10.1.3.255:1", 23, 64, "10.1.2.0/23"},
        {"10.1.2.3:1", 31, 64, "10.1.2.2/31"},
        {"255.255.255.255:1", 1, 64, "128.0.0.0/1"},
        {"127.0.0.99:1", 0, 64, "0.0.0.0/0"},
        // Out of range: clamped.
        {"10.1.2.3:1", 40, 64, "10.1.2.3/32"},
        {"10.1.2.3:1", -1, 64, "0.0.0.0/0"},
        // IPv6 in brackets; by default a /64.
        {"[::1]:50123", 32, 64, "::/64"},
        {"[::1]:50123", 32, 128, "::1/128"},
        {"[2001:db8:1:2:3:4:5:6]:80", 32, 64, "2001:db8:1:2::/64"},
        {"[2001:DB8:1:2:ffff:4:5:6]:80", 32, 64, "2001:db8:1:2::/64"},
        {"[2001:0db8:0000:0000:0001:0000:0000:0001]:80", 32, 128, "2001:db8::1:0:0:1/128"},
        {"[2001:db8:abcd:12ff::1]:80", 32, 56, "2001:db8:abcd:1200::/56"},
        {"[2001:db8:abcd:12ff::1]:80", 32, 0, "::/0"},
        {"[fe80::1%eth0]:80", 32, 64, "fe80::/64"},
        {"[1:0:0:2:0:0:0:3]:80", 32, 128, "1:0:0:2::3/128"},
        {"[1:0:0:2:0:0:3:4]:80", 32, 128, "1::2:0:0:3:4/128"},
        {"[1:0:2:3:4:5:6:7]:80", 32, 128, "1:0:2:3:4:5:6:7/128"},
        {"[64:ff9b::192.0.2.33]:80", 32, 128, "64:ff9b::c000:221/128"},
        // An IPv4 client of an IPv6 listener counts as its IPv4 address.
        {"[::ffff:10.1.2.3]:80", 24, 64, "10.1.2.0/24"},
        {"::ffff:10.1.2.3", 32, 64, "10.1.2.3/32"},
        // No address: a block of its own, unchanged.
        {"unknown", 32, 64, "unknown"},
        {"", 32, 64, ""},
        {"10.1.2:80", 32, 64, "10.1.2:80"},
        {"10.1.2.256:80", 32, 64, "10.1.2.256:80"},
        {"10.1.2.3.4:80", 32, 64, "10.1.2.3.4:80"},
        {"[1::2::3]:80", 32, 64, "[1::2::3]:80"},
        {"[1:2:3:4:5:6:7:8:9]:80", 32, 64, "[1:2:3:4:5:6:7:8:9]:80"},
        {"[12345::1]:80", 32, 64, "[12345::1]:80"},
        {"[1:2:3:4:5:6:7:]:80", 32, 64, "[1:2:3:4:5:6:7:]:80"},
        {"[:1:2:3:4:5:6:7]:80", 32, 64, "[:1:2:3:4:5:6:7]:80"},
        {"[::g]:80", 32, 64, "[::g]:80"},
        {"[1:2:3:4:5:6:7:8::]:80", 32, 64, "[1:2:3:4:5:6:7:8::]:80"},
        {"[::1.2.3.4:5]:80", 32, 64, "[::1.2.3.4:5]:80"},
        {"[2001:db8::1", 32, 64, "[2001:db8::1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.block, SourceBlockOf(c.peer, Bits(c.v4, c.v6)))
            << c.peer << " /" << c.v4 << " /" << c.v6;
    }
}

// The point of the blocks: every address of one /64 is one source, the
// next /64 another.
TEST(SourceBlockTest, HundredAddressesOfOneSlash64AreOneBlock) {
    const TSourceBlockBits bits;
    for (int i = 0; i < 100; ++i) {
        char peer[64];
        std::snprintf(peer, sizeof peer, "[2001:db8:5:6:%x:%x::%x]:%d", i, i * 13, i * 101,
                      40000 + i);
        EXPECT_EQ("2001:db8:5:6::/64", SourceBlockOf(peer, bits)) << peer;
    }
    EXPECT_EQ("2001:db8:5:7::/64", SourceBlockOf("[2001:db8:5:7::1]:1", bits));
}

}  // namespace
