// The three interfaces the IIS deployer works through, as this host
// provides them: on Windows IIS itself, the machine's certificate stores and
// HTTP.sys; on POSIX files of our own that keep the same state, in
// IisStateDirectory().
#pragma once

#include <memory>
#include <string>

#include "deploy/iis/iissiteadministration.h"
#include "deploy/iis/machinecertificatestore.h"
#include "deploy/iis/tlsbindings.h"

namespace qm {

struct IisInterfaces {
    std::unique_ptr<IisSiteAdministration> sites;
    std::unique_ptr<MachineCertificateStore> store;
    std::unique_ptr<TlsBindings> tlsBindings;
};

// The folder of the file-backed IIS state: QUILLMATE_IIS_HOME, else the
// service directory's "IIS/"; ends in a separator.
std::u16string IisStateDirectory();

// The interfaces of this host.
IisInterfaces CreateIisInterfaces();
// The file-backed interfaces rooted at `home` (ending in a separator).
IisInterfaces CreateFileIisInterfaces(const std::u16string& home);

}  // namespace qm
