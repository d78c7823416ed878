#include "deploy/apache/tests/apache_e2e_support.h"

#include <filesystem>
#include <vector>

#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm::test {

namespace fs = std::filesystem;

std::string UserNotes(SslCertSrvApache& d) {
    std::string shown;
    for (const auto& n : d.TakeUserNotes())
        shown += Utf8FromWide(n) + "\n";
    return shown;
}

void ApacheDeployerE2E::PrepareDeployments() {
    InstallConfigTemplates(ProgramHome());
    DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
    if (!center)
        center = std::make_unique<e2e::CertCenterProcess>();
}

std::string ApacheDeployerE2E::DeployWith(SslCertSrvApache& d, const std::u16string& domain) {
    std::vector<std::u16string> names;
    d.GetSitesInfo(names);
    return ResultOf([&] { d.BindCertToSite({domain}, 1); });
}

std::string ApacheDeployerE2E::Deploy(const std::u16string& domain) {
    auto d = Deployer();
    return DeployWith(*d, domain);
}

std::string ApacheDeployerE2E::Undo() {
    auto d = Deployer();
    return ResultOf([&] { d->RestoreWeb(); });
}

}  // namespace qm::test
