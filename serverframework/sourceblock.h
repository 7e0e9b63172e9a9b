// SourceBlockOf: the source block a client connection is counted against.
// Clients are grouped by the network of their address, cut to a prefix
// length per family (by default a /32 for IPv4, a /64 for IPv6: one IPv6
// host usually holds a whole /64), so that an attacker who owns many
// addresses of one network is one source to every per-source bound: the
// connections not logged in (CIOCPServer) and the guessing budget
// (server/loginbudget.h).
//
// A pure function of its arguments; any thread.
#pragma once

#include <string>

// Prefix lengths that group client addresses into source blocks: 0..32
// for IPv4, 0..128 for IPv6 (0: every address of the family is one block).
struct TSourceBlockBits {
    int v4 = 32;
    int v6 = 64;
};

// The block of a peer as platform::PeerAddressText writes it ("a.b.c.d:port",
// "[v6 address]:port"; an address without a port is taken too): the
// network address with every bit past the prefix cleared and the prefix
// length, "10.1.2.0/24" or "2001:db8:1:2::/64" (RFC 5952 text; an
// IPv4-mapped IPv6 address counts as its IPv4 address). Prefix lengths out
// of range are clamped. A text that is no address ("unknown") is a block of
// its own, returned as it is.
std::string SourceBlockOf(const std::string& peer, const TSourceBlockBits& bits);
