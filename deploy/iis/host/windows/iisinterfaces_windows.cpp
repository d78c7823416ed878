// The IIS interfaces on Windows: IIS itself, the machine's certificate
// stores and HTTP.sys. QUILLMATE_IIS_HOME selects the file-backed ones
// instead (tests under Wine, which has no IIS and no HTTP.sys
// configuration), rooted where IisStateDirectory() says.
#include <memory>

#include "deploy/iis/host/windows/comsiteadministration.h"
#include "deploy/iis/host/windows/cryptoapistore.h"
#include "deploy/iis/host/windows/httpsystlsbindings.h"
#include "deploy/iis/iisinterfaces.h"
#include "foundation/host/host.h"

namespace qm {

IisInterfaces CreateIisInterfaces() {
    if (!host::ProcessEnvironmentValue(u"QUILLMATE_IIS_HOME").value_or(u"").empty())
        return CreateFileIisInterfaces(IisStateDirectory());
    IisInterfaces interfaces;
    interfaces.sites = std::make_unique<ComSiteAdministration>();
    interfaces.store = std::make_unique<CryptoApiStore>();
    interfaces.tlsBindings = std::make_unique<HttpSysTlsBindings>();
    return interfaces;
}

}  // namespace qm
