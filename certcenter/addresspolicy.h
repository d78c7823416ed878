// Which network addresses the center may fetch verification files from: a
// hostile site could otherwise point its name at the center's own host or
// its private network and use the fetch to probe it.
#pragma once

#include <string>
#include <string_view>

namespace qm::certcenter {

enum class AddressKind {
    Public,
    NotAnAddress,
    Unspecified,  // 0.0.0.0/8, ::
    Loopback,     // 127/8, ::1
    Private,      // 10/8, 172.16/12, 192.168/16, fc00::/7, fec0::/10, 64:ff9b:1::/48
    SharedNat,    // 100.64/10 (carrier-grade NAT)
    LinkLocal,    // 169.254/16, fe80::/10
    Multicast,    // 224/4, ff00::/8
    Broadcast,    // 255.255.255.255
    Reserved,     // 240/4, documentation and benchmark ranges, IPv6 outside 2000::/3
};

// Classifies an IPv4 or IPv6 address text as libcurl reports it ("a.b.c.d",
// "2001:db8::1", with or without brackets or a "%zone"). An IPv6 address
// that carries an IPv4 address (mapped, compatible, NAT64, 6to4) takes the
// kind of that IPv4 address.
AddressKind ClassifyAddress(std::string_view ipText);

// "a loopback address", "not an IP address", …
std::string_view DescribeAddressKind(AddressKind kind);

inline bool IsPublicAddress(std::string_view ipText) {
    return ClassifyAddress(ipText) == AddressKind::Public;
}

// True when the text is an IPv4 dotted quad or an IPv6 address (brackets
// allowed): a host given as an IP literal rather than a name.
bool IsIpAddressText(std::string_view text);

}  // namespace qm::certcenter
