// The HTTP.sys TLS bindings kept in one XML file:
//
//     <sslBindings>
//         <binding ipport="0.0.0.0:443" certHash="..." certStoreName="MY" appId="{...}" />
//         <binding hostnameport="shop.example:443" certHash="..." certStoreName="MY" appId="..." />
//     </sslBindings>
//
// A missing file holds no bindings. Each change is written at once through
// an atomic replace (HTTP.sys applies a binding when it is made); a binding
// added goes on a line of its own behind the others, and deleting it takes
// that line again.
#pragma once

#include <string>
#include <vector>

#include "deploy/iis/tlsbindings.h"

namespace qm {

class FileTlsBindings : public TlsBindings {
public:
    explicit FileTlsBindings(std::u16string path);

    bool Query(const TlsEndpoint& endpoint, TlsBinding& binding, bool& found,
               std::u16string& problem) override;
    bool Add(const TlsBinding& binding, std::u16string& problem) override;
    bool Delete(const TlsEndpoint& endpoint, std::u16string& problem) override;

    // Every binding, in file order (tests, the stand-in web service).
    bool List(std::vector<TlsBinding>& bindings, std::u16string& problem);

private:
    std::u16string path_;
};

}  // namespace qm
