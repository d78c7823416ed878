// The HTTP.sys TLS bindings through the HTTP Server API's configuration
// (what "netsh http show sslcert" lists): bindings of an address and port
// (HttpServiceConfigSSLCertInfo, "ipport") and of a host name and port
// (HttpServiceConfigSslSniCertInfo, "hostnameport"; Windows 8 / Server 2012
// and later). HTTP.sys applies each change at once; there is nothing to
// commit. Changes need an administrator.
#pragma once

#include <string>

#include "deploy/iis/tlsbindings.h"

namespace qm {

class HttpSysTlsBindings : public TlsBindings {
public:
    HttpSysTlsBindings() = default;
    ~HttpSysTlsBindings() override;
    HttpSysTlsBindings(const HttpSysTlsBindings&) = delete;
    HttpSysTlsBindings& operator=(const HttpSysTlsBindings&) = delete;

    bool Query(const TlsEndpoint& endpoint, TlsBinding& binding, bool& found,
               std::u16string& problem) override;
    bool Add(const TlsBinding& binding, std::u16string& problem) override;
    bool Delete(const TlsEndpoint& endpoint, std::u16string& problem) override;

private:
    // HttpInitialize for the configuration functions, once.
    bool Initialize(std::u16string& problem);

    bool initialized_ = false;
};

}  // namespace qm
