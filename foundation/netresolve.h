// Name resolution to IPv4 addresses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The IPv4 addresses the system resolver lists for a host name (TCP, any
// port), in the resolver's order, as dotted-decimal texts. Empty when the
// name does not resolve or resolves only to IPv6 addresses.
std::vector<std::string> ResolveIPv4Addresses(std::string_view hostName);

}  // namespace qm
