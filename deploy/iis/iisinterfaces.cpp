#include "deploy/iis/iisinterfaces.h"

#include "deploy/iis/posix/filecertificatestore.h"
#include "deploy/iis/posix/filesiteadministration.h"
#include "deploy/iis/posix/filetlsbindings.h"
#include "foundation/format.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"

namespace qm {

std::u16string TlsEndpoint::Text() const {
    const bool v6 = !hostName && address.find(u':') != std::u16string::npos;
    return FormatWide(v6 ? u"[%s]:%d" : u"%s:%d", address, port);
}

std::u16string IisStateDirectory() {
    std::u16string dir = host::ProcessEnvironmentValue(u"QUILLMATE_IIS_HOME").value_or(u"");
    if (dir.empty())
        dir = GetServiceDirectory() + u"IIS";
    if (!IsPathSeparator(dir.back()))
        dir += PathSeparator();
    return dir;
}

IisInterfaces CreateFileIisInterfaces(const std::u16string& home) {
    IisInterfaces interfaces;
    interfaces.sites = std::make_unique<FileSiteAdministration>(home);
    interfaces.store =
        std::make_unique<FileCertificateStore>(home + u"Certificates" + PathSeparator());
    interfaces.tlsBindings = std::make_unique<FileTlsBindings>(home + u"sslbindings.xml");
    return interfaces;
}

#ifndef _WIN32
IisInterfaces CreateIisInterfaces() {
    return CreateFileIisInterfaces(IisStateDirectory());
}
#endif

}  // namespace qm
