// IIS binding information "IP:PORT:HOST" read and written, and the small
// facts about bindings the deployer and the file-backed administration share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

struct BindingEndpoint {
    std::u16string ip;  // as written: "*", "127.0.0.1", "[::1]"
    int32_t port = 0;   // 0 when the port is not a number
    std::u16string host;
};

// Reads binding information the way IIS writes it: a text that begins with
// ":" has the address "*"; an IPv6 address stands in brackets; the port is
// its leading digits; the host is what follows the second separator.
BindingEndpoint ParseBindingInformation(std::u16string_view text);
std::u16string BindingInformationText(const BindingEndpoint& endpoint);

// The address of a binding's IP part for a TLS endpoint: "*" and "" are
// every IPv4 address ("0.0.0.0"); brackets go.
std::u16string TlsAddressOf(std::u16string_view ip);

// Whether a binding's sslFlags has the host-name (SNI) bit.
bool UsesHostNameCertificate(std::u16string_view sslFlags);
// The flags with the host-name bit added, other bits kept.
std::u16string WithHostNameCertificate(std::u16string_view sslFlags);

// Case-insensitive comparison of ASCII text (protocols, host names).
bool SameText(std::u16string_view a, std::u16string_view b);

}  // namespace qm
