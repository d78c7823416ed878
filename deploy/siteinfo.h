// The site model shared by the engine and the deployers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm {

// One web site as a deployer finds it in the server's configuration.
struct SiteInfo {
    std::u16string siteAddr;  // host name the site answers to
    std::u16string siteDir;   // document root, ending in a path separator
    int32_t sitePort = 0;
    bool isHttps = false;
    std::u16string siteIP;  // bound address as configured: "", "*", an IPv4 text or "localhost"

    bool operator==(const SiteInfo&) const = default;
};

// One site block of a text-configured server: its place in a configuration
// file's text (valid until that text changes) and what it configures.
struct SiteNode {
    size_t start = 0;  // first character of the block
    size_t end = 0;    // one past its last character
    SiteInfo site;
    size_t file = 0;  // which file of the configuration holds it (0: the main one)
};

}  // namespace qm
