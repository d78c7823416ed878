// The HTTP.sys TLS bindings: which certificate the kernel's HTTP listener
// presents on an address and port, or for a host name and port (SNI).
//
// Windows: the HTTP Server API (what "netsh http ... sslcert" shows). POSIX:
// one XML file of bindings (posix/filetlsbindings.h).
#pragma once

#include <cstdint>
#include <string>

namespace qm {

struct TlsEndpoint {
    // An address ("0.0.0.0", "::", "127.0.0.1") or, with hostName, a host name.
    std::u16string address;
    int32_t port = 0;
    bool hostName = false;

    bool operator==(const TlsEndpoint&) const = default;
    // "0.0.0.0:443", "[::]:443", "shop.example:443".
    std::u16string Text() const;
};

struct TlsBinding {
    TlsEndpoint endpoint;
    std::u16string certificateHash;  // thumbprint, 40 hexadecimal digits
    std::u16string storeName;        // "MY"
    std::u16string appId;            // "{GUID}"
};

class TlsBindings {
public:
    virtual ~TlsBindings() = default;

    // The binding of an endpoint: `found` false when there is none; false
    // with `problem` when the bindings cannot be read.
    virtual bool Query(const TlsEndpoint& endpoint, TlsBinding& binding, bool& found,
                       std::u16string& problem) = 0;
    // Adds a binding for an endpoint that has none.
    virtual bool Add(const TlsBinding& binding, std::u16string& problem) = 0;
    // Deletes the binding of an endpoint; true when there is none.
    virtual bool Delete(const TlsEndpoint& endpoint, std::u16string& problem) = 0;
};

}  // namespace qm
