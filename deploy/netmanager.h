// Checks and resolution of site addresses (the DNS names a certificate is
// issued for). Stateless; name resolution goes through a replaceable
// resolver so that tests can give names fixed addresses.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qm {

class CNetManager {
public:
    // Returns the IPv4 addresses (dotted text) a name resolves to, in the
    // resolver's order.
    using Resolver = std::function<std::vector<std::string>(const std::string& name)>;

    // Whitespace removed in place; then: not empty, holds a ".", no "*",
    // no "~", at least 3 units long.
    static bool CheckSiteAddrFormat(std::u16string& siteAddr);
    // Well formed and resolves to an IPv4 address.
    static bool IsValidSiteAddr(std::u16string siteAddr);
    // The last IPv4 address the resolver lists; empty when it does not resolve.
    static std::u16string GetSiteAddrIP(std::u16string siteAddr);
    // Both resolve, to the same address.
    static bool IsSiteAddrHaveSameIP(std::u16string first, std::u16string second);

    // Replaces the resolver (the system's getaddrinfo by default); an empty
    // function restores the default. Returns the previous one.
    static Resolver SetResolver(Resolver resolver);
};

// Removes every whitespace character wherever it stands.
std::u16string RemoveWhitespace(std::u16string_view text);

}  // namespace qm
