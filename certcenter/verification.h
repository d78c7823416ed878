// Fetching a verification file from a client's web site: http or https,
// bounded in time and size, no redirects.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

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

struct FetchLimits {
    std::chrono::seconds connectTimeout{5};
    std::chrono::seconds totalTimeout{10};
    size_t maxBytes = 64 * 1024;
};

// GET of the URL. The site's TLS certificate is not checked: the site may
// not have a trusted one yet (that is why it asks), and the proof is the
// signed content, not the connection.
FetchResult FetchVerificationFile(const std::string& url, const FetchLimits& limits = {});

}  // namespace qm::certcenter
