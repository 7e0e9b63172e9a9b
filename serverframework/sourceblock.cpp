#include "serverframework/sourceblock.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

// The address part of a peer text: "[v6]:port" gives v6, "a.b.c.d:port"
// gives a.b.c.d, a text with no colon or more than one (an IPv6 address
// without brackets) is taken whole.
std::string AddressPart(const std::string& peer) {
    if (!peer.empty() && peer[0] == '[') {
        size_t close = peer.find(']');
        return close == std::string::npos ? std::string() : peer.substr(1, close - 1);
    }
    size_t colon = peer.find(':');
    if (colon != std::string::npos && peer.find(':', colon + 1) == std::string::npos) {
        return peer.substr(0, colon);
    }
    return peer;
}

// Dotted IPv4 text in [begin, end): four decimal parts of 0..255, at most
// three digits each.
bool ParseV4(const std::string& text, size_t begin, size_t end, uint8_t out[4]) {
    size_t i = begin;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= end || text[i] != '.') return false;
            ++i;
        }
        size_t start = i;
        unsigned value = 0;
        while (i < end && i - start < 3 && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        if (i == start || value > 255) return false;
        out[part] = static_cast<uint8_t>(value);
    }
    return i == end;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// IPv6 text (RFC 4291 section 2.2: groups of 1..4 hex digits, one "::",
// an optional dotted IPv4 tail; a "%zone" suffix is ignored).
bool ParseV6(const std::string& whole, uint8_t out[16]) {
    const std::string text = whole.substr(0, whole.find('%'));
    const size_t n = text.size();
    uint16_t groups[8] = {};
    int count = 0;
    int gap = -1;  // index of the group the "::" stands before
    size_t i = 0;
    if (n >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    } else if (n == 0 || text[0] == ':') {
        return false;
    }
    while (i < n) {
        size_t next = std::min(text.find(':', i), n);
        if (text.find('.', i) < next) {
            // The dotted IPv4 tail: the last two groups.
            uint8_t v4[4];
            if (next != n || count > 6 || !ParseV4(text, i, n, v4)) return false;
            groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
            groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
            i = n;
            break;
        }
        if (next == i || next - i > 4 || count == 8) return false;
        unsigned value = 0;
        for (size_t k = i; k < next; ++k) {
            int digit = HexDigit(text[k]);
            if (digit < 0) return false;
            value = value << 4 | static_cast<unsigned>(digit);
        }
        groups[count++] = static_cast<uint16_t>(value);
        i = next;
        if (i == n) break;
        ++i;  // the colon
        if (i < n && text[i] == ':') {
            if (gap >= 0) return false;
            gap = count;
            ++i;
        } else if (i == n) {
            return false;  // a single colon at the end
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return false;
    uint16_t full[8] = {};
    if (gap < 0) {
        std::copy(groups, groups + 8, full);
    } else {
        std::copy(groups, groups + gap, full);
        std::copy(groups + gap, groups + count, full + 8 - (count - gap));
    }
    for (int g = 0; g < 8; ++g) {
        out[2 * g] = static_cast<uint8_t>(full[g] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(full[g] & 0xff);
    }
    return true;
}

// Clears every bit of the address past the first `bits`.
void Mask(uint8_t* bytes, int size, int bits) {
    for (int i = 0; i < size; ++i) {
        int keep = std::clamp(bits - 8 * i, 0, 8);
        bytes[i] = static_cast<uint8_t>(bytes[i] & (0xff00 >> keep));
    }
}

std::string V4Text(const uint8_t bytes[4], int bits) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u/%d", bytes[0], bytes[1], bytes[2], bytes[3],
                  bits);
    return text;
}

// RFC 5952: lower-case hex without leading zeros, the longest run of two
// or more zero groups (the first of equal runs) written "::".
std::string V6Text(const uint8_t bytes[16], int bits) {
    uint16_t groups[8];
    for (int g = 0; g < 8; ++g)
        groups[g] = static_cast<uint16_t>(bytes[2 * g] << 8 | bytes[2 * g + 1]);
    int bestStart = -1;
    int bestLength = 1;
    for (int g = 0; g < 8;) {
        if (groups[g] != 0) {
            ++g;
            continue;
        }
        int start = g;
        while (g < 8 && groups[g] == 0) ++g;
        if (g - start > bestLength) {
            bestStart = start;
            bestLength = g - start;
        }
    }
    std::string text;
    char group[8];
    for (int g = 0; g < 8; ++g) {
        if (g == bestStart) {
            text += "::";
            g += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(group, sizeof group, "%x", groups[g]);
        text += group;
    }
    return text + "/" + std::to_string(bits);
}

}  // namespace

std::string SourceBlockOf(const std::string& peer, const TSourceBlockBits& bits) {
    const std::string address = AddressPart(peer);
    const int v4Bits = std::clamp(bits.v4, 0, 32);
    uint8_t v4[4];
    if (ParseV4(address, 0, address.size(), v4)) {
        Mask(v4, 4, v4Bits);
        return V4Text(v4, v4Bits);
    }
    uint8_t v6[16];
    if (!ParseV6(address, v6)) return peer;
    static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(kMappedPrefix, kMappedPrefix + 12, v6)) {
        Mask(v6 + 12, 4, v4Bits);
        return V4Text(v6 + 12, v4Bits);
    }
    const int v6Bits = std::clamp(bits.v6, 0, 128);
    Mask(v6, 16, v6Bits);
    return V6Text(v6, v6Bits);
}
