// The addresses of <VirtualHost> and Listen lines: "*", "*:80",
// "_default_:443", "192.0.2.1:80", "[::]:80", "[2001:db8::1]", "name:8080".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct ApacheAddress {
    std::u16string host;   // "*", "_default_", an IPv4 text, "[v6]", a name; empty for none
    int32_t port = 0;      // 0: none given
    bool anyPort = false;  // ":*"
};

ApacheAddress ParseApacheAddress(std::u16string_view text);

// The port a virtual host serves for the deployment: the HTTP port when one
// of its addresses names it, has the port "*" or no port at all; else the
// first port named.
int32_t VirtualHostPort(const std::vector<std::u16string>& addresses, int32_t httpPort);

// The address a virtual host is bound to as the site model keeps it: the
// first IPv4 address, else "localhost" when it is named, else empty.
std::u16string VirtualHostIP(const std::vector<std::u16string>& addresses);

// The addresses of the HTTPS copy of a host: each address on `httpsPort`
// (duplicates dropped), "*" for none.
std::vector<std::u16string> HttpsAddresses(const std::vector<std::u16string>& addresses,
                                           int32_t httpsPort);

// A Listen line's address and port ("Listen [addr:]port [protocol]").
struct ApacheListen {
    std::u16string host;  // empty: every address
    int32_t port = 0;
    // Whether it listens on every address of the machine.
    bool CoversAll() const;
};
ApacheListen ParseApacheListen(std::span<const std::u16string> args);

// The address a client connects to for a listen or host address.
std::u16string ConnectAddressOf(const std::u16string& host);

// Whether a text looks like an IPv4 address.
bool IsIPv4Text(std::u16string_view text);

}  // namespace qm
