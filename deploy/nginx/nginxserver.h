// What an nginx server block says about itself, read from the whole
// configuration (directives of included files count as written in place):
// its listen and server_name directives, its document root and index, its
// certificate directives, and whether it sends every request elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deploy/nginx/nginxconf.h"

namespace qm {

// One listen directive's first argument and parameters.
struct NginxListen {
    std::u16string address;  // as written: "", "*", "127.0.0.1", "[::]", "localhost", "unix:..."
    int32_t port = 80;       // 80 when only an address is given; 0 when no port can be read
    std::vector<std::u16string> parameters;
};
NginxListen ParseListen(const NginxDirective& listen);
// Just the address and port of a listen directive, for the many blocks read
// at once (the address is a view into the directive).
struct NginxListenPlace {
    std::u16string_view address;
    int32_t port = 80;
};
NginxListenPlace ListenPlaceOf(const NginxDirective& listen);
// The address part as nginx compares listen sockets: "*" stands for every
// IPv4 address (also "0.0.0.0" and none), IPv6 in lower case with brackets.
std::u16string ListenAddressKey(const std::u16string& address);
// Parameters nginx accepts only once per address and port ("default_server",
// "reuseport", "backlog=", ...), by name.
bool IsOncePerAddressParameter(const std::u16string& parameter);
// "backlog=511" -> "backlog".
std::u16string ParameterName(const std::u16string& parameter);

struct NginxServerFacts {
    std::vector<const NginxNode*> listens;      // at server level, in order
    std::vector<const NginxNode*> serverNames;  // at server level, in order
    const NginxNode* root = nullptr;            // the first anywhere in the block
    const NginxNode* index = nullptr;
    const NginxNode* certificate = nullptr;  // the first ssl_certificate anywhere
    const NginxNode* certificateKey = nullptr;
    const NginxNode* protocols = nullptr;  // ssl_protocols at server level
    const NginxNode* ciphers = nullptr;    // ssl_ciphers at server level
    // A return or rewrite at server level that sends every request to
    // https: a verification file can never be fetched over HTTP there.
    bool redirectsToHttps = false;

    bool IsHttps() const { return certificate && certificateKey; }
};
NginxServerFacts FactsOf(const NginxNode& server);

// The source text of a directive's arguments, first to last as written
// ("index.html  index.htm", "\"/srv/my site\"").
std::u16string RawArguments(const NginxConfig& config, const NginxNode& node);

}  // namespace qm
