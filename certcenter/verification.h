// Fetching a verification file from a client's web site: http or https,
// bounded in time and size, redirects checked one by one.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "certcenter/center.h"

namespace qm::certcenter {

struct VerificationUrl {
    std::string scheme;  // "http" or "https"
    std::string host;    // lower case
    int port = 0;
    std::string target;  // path and query, starting with "/"
};

// Accepts "http[s]://host[:port][/path][?query]" with a domain-name host;
// no user information, no IP literals.
bool ParseVerificationUrl(std::string_view url, VerificationUrl& parsed);

// What a verification fetch may do. The defaults suit a center on the
// internet; tests and private installations widen them.
struct FetchPolicy {
    PortSet allowedPorts{80, 443};       // ports the first URL and every redirect may use
    bool allowPrivateAddresses = false;  // loopback/private/link-local/multicast targets, IP hosts
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds deadline{
        10000};  // wall clock for the whole fetch, redirects included
    size_t maxBytes = 64 * 1024;
    int maxRedirects = 10;
};

// GET of the URL, following redirects under the policy; every request is
// recorded in the result's hops. The address each connection reached is
// checked before the request is sent, so a name that resolves differently
// from one lookup to the next cannot lead the fetch to a private address.
// The site's TLS certificate is not checked: the site may not have a
// trusted one yet (that is why it asks), and the proof is the content, not
// the connection. Thread-safe.
FetchResult FetchVerificationFile(const std::string& url, const FetchPolicy& policy = {});

}  // namespace qm::certcenter
