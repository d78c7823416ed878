#include "certcenter/addresspolicy.h"

#include <array>
#include <cstdint>
#include <optional>

namespace qm::certcenter {

namespace {

using IPv6Groups = std::array<uint16_t, 8>;

// Strict dotted quad: four decimal parts 0-255 without leading zeros (a
// leading zero reads as octal to some parsers, so such text is no address).
std::optional<uint32_t> ParseIPv4(std::string_view text) {
    uint32_t address = 0;
    int parts = 0;
    size_t i = 0;
    while (true) {
        const size_t start = i;
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
        }
        const size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0'))
            return std::nullopt;
        address = (address << 8) | value;
        ++parts;
        if (parts == 4)
            break;
        if (i >= text.size() || text[i] != '.')
            return std::nullopt;
        ++i;
    }
    if (i != text.size())
        return std::nullopt;
    return address;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends the groups of a colon-separated run ("1:2:3" or "1:2:1.2.3.4");
// an IPv4 tail only where `mayEndInIPv4`.
bool ParseGroups(std::string_view run, bool mayEndInIPv4, IPv6Groups& out, int& count) {
    size_t start = 0;
    while (true) {
        const size_t colon = run.find(':', start);
        const std::string_view piece = run.substr(
            start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        const bool last = colon == std::string_view::npos;
        if (last && mayEndInIPv4 && piece.find('.') != std::string_view::npos) {
            const auto v4 = ParseIPv4(piece);
            if (!v4 || count > 6)
                return false;
            out[count++] = static_cast<uint16_t>(*v4 >> 16);
            out[count++] = static_cast<uint16_t>(*v4 & 0xffff);
            return true;
        }
        if (piece.empty() || piece.size() > 4 || count > 7)
            return false;
        uint16_t value = 0;
        for (const char c : piece) {
            const int digit = HexValue(c);
            if (digit < 0)
                return false;
            value = static_cast<uint16_t>((value << 4) | digit);
        }
        out[count++] = value;
        if (last)
            return true;
        start = colon + 1;
    }
}

std::optional<IPv6Groups> ParseIPv6(std::string_view text) {
    IPv6Groups head{}, tail{};
    int headCount = 0, tailCount = 0;
    const size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, true, head, headCount) || headCount != 8)
            return std::nullopt;
        return head;
    }
    const std::string_view left = text.substr(0, gap);
    const std::string_view right = text.substr(gap + 2);
    if (!left.empty() && !ParseGroups(left, false, head, headCount))
        return std::nullopt;
    if (!right.empty() && !ParseGroups(right, true, tail, tailCount))
        return std::nullopt;
    if (headCount + tailCount > 7)
        return std::nullopt;
    IPv6Groups groups{};
    for (int i = 0; i < headCount; ++i)
        groups[i] = head[i];
    for (int i = 0; i < tailCount; ++i)
        groups[8 - tailCount + i] = tail[i];
    return groups;
}

bool InRange(uint32_t address, uint32_t network, int prefixLength) {
    const uint32_t mask = prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength);
    return (address & mask) == network;
}

AddressKind ClassifyIPv4(uint32_t a) {
    if (InRange(a, 0x00000000, 8))
        return AddressKind::Unspecified;
    if (InRange(a, 0x7f000000, 8))
        return AddressKind::Loopback;
    if (InRange(a, 0x0a000000, 8) || InRange(a, 0xac100000, 12) || InRange(a, 0xc0a80000, 16))
        return AddressKind::Private;
    if (InRange(a, 0x64400000, 10))
        return AddressKind::SharedNat;
    if (InRange(a, 0xa9fe0000, 16))
        return AddressKind::LinkLocal;
    if (InRange(a, 0xe0000000, 4))
        return AddressKind::Multicast;
    if (a == 0xffffffff)
        return AddressKind::Broadcast;
    if (InRange(a, 0xf0000000, 4))
        return AddressKind::Reserved;
    // Protocol assignments, documentation and benchmarking networks.
    if (InRange(a, 0xc0000000, 24) || InRange(a, 0xc0000200, 24) || InRange(a, 0xc6120000, 15) ||
        InRange(a, 0xc6336400, 24) || InRange(a, 0xcb007100, 24))
        return AddressKind::Reserved;
    return AddressKind::Public;
}

AddressKind ClassifyEmbedded(uint16_t high, uint16_t low) {
    return ClassifyIPv4((uint32_t{high} << 16) | low);
}

AddressKind ClassifyIPv6(const IPv6Groups& g) {
    const bool firstFiveZero = g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0;
    if (firstFiveZero && g[5] == 0 && g[6] == 0 && (g[7] == 0 || g[7] == 1))
        return g[7] == 0 ? AddressKind::Unspecified : AddressKind::Loopback;
    // IPv4-mapped (::ffff:a.b.c.d) and IPv4-compatible (::a.b.c.d).
    if (firstFiveZero && (g[5] == 0xffff || g[5] == 0))
        return ClassifyEmbedded(g[6], g[7]);
    if (g[0] == 0x64 && g[1] == 0xff9b) {
        if (g[2] == 0 && g[3] == 0 && g[4] == 0 && g[5] == 0)
            return ClassifyEmbedded(g[6], g[7]);  // NAT64 well-known prefix
        if (g[2] == 1)
            return AddressKind::Private;  // 64:ff9b:1::/48, local-use NAT64
    }
    if ((g[0] & 0xfe00) == 0xfc00)
        return AddressKind::Private;
    if ((g[0] & 0xffc0) == 0xfe80)
        return AddressKind::LinkLocal;
    if ((g[0] & 0xffc0) == 0xfec0)
        return AddressKind::Private;  // the former site-local range
    if ((g[0] & 0xff00) == 0xff00)
        return AddressKind::Multicast;
    if (g[0] == 0x2002)
        return ClassifyEmbedded(g[1], g[2]);  // 6to4
    if (g[0] == 0x2001 && g[1] == 0x0db8)
        return AddressKind::Reserved;  // documentation
    if ((g[0] & 0xe000) != 0x2000)
        return AddressKind::Reserved;  // only 2000::/3 is global unicast
    return AddressKind::Public;
}

// The IPv6 text without brackets and zone; empty when malformed.
std::optional<std::string_view> StripIPv6Decoration(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        if (text.size() < 2 || text.back() != ']')
            return std::nullopt;
        text = text.substr(1, text.size() - 2);
    }
    if (const size_t zone = text.find('%'); zone != std::string_view::npos) {
        if (zone + 1 == text.size())
            return std::nullopt;
        text = text.substr(0, zone);
    }
    return text;
}

}  // namespace

AddressKind ClassifyAddress(std::string_view ipText) {
    if (ipText.find(':') == std::string_view::npos) {
        const auto v4 = ParseIPv4(ipText);
        return v4 ? ClassifyIPv4(*v4) : AddressKind::NotAnAddress;
    }
    const auto bare = StripIPv6Decoration(ipText);
    if (!bare)
        return AddressKind::NotAnAddress;
    const auto v6 = ParseIPv6(*bare);
    return v6 ? ClassifyIPv6(*v6) : AddressKind::NotAnAddress;
}

bool IsIpAddressText(std::string_view text) {
    return ClassifyAddress(text) != AddressKind::NotAnAddress;
}

std::string_view DescribeAddressKind(AddressKind kind) {
    switch (kind) {
        case AddressKind::Public:
            return "a public address";
        case AddressKind::NotAnAddress:
            return "not an IP address";
        case AddressKind::Unspecified:
            return "an unspecified address";
        case AddressKind::Loopback:
            return "a loopback address";
        case AddressKind::Private:
            return "a private address";
        case AddressKind::SharedNat:
            return "a shared (carrier-grade NAT) address";
        case AddressKind::LinkLocal:
            return "a link-local address";
        case AddressKind::Multicast:
            return "a multicast address";
        case AddressKind::Broadcast:
            return "the broadcast address";
        case AddressKind::Reserved:
            return "a reserved address";
    }
    return "not an IP address";
}

}  // namespace qm::certcenter
