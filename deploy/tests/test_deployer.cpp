#include "deploy/tests/test_deployer.h"

#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"

namespace qm::test {

TestDeployer::TestDeployer() {
    webType_ = u"test";
}

void TestDeployer::Record(const std::string& name) {
    int32_t stage = 0;
    GetDeployStage(stage);
    calls.emplace_back(name, stage);
}

void TestDeployer::SetSites(std::vector<SiteInfo> sites, SiteInfo mainSite) {
    sites_ = std::move(sites);
    mainSite_ = std::move(mainSite);
}

void TestDeployer::SetListenAddrs(std::vector<std::u16string> http,
                                  std::vector<std::u16string> https) {
    httpListenAddrs_ = std::move(http);
    httpsListenAddrs_ = std::move(https);
}

void TestDeployer::GetWebServiceInfo() {}

void TestDeployer::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    siteAddrs.clear();
    for (const auto& s : sites_)
        siteAddrs.push_back(s.siteAddr);
}

void TestDeployer::GetCertificate() {
    RunOperation("TestDeployer::GetCertificate", [&] {
        Record("GetCertificate");
        ConstructSelSiteInfo();
        if (enroll)
            SslCertSrvSubBase::GetCertificate();
    });
}

void TestDeployer::BackupWeb() {
    Record("BackupWeb");
    std::map<std::u16string, std::u16string> files;
    for (const auto& f : configFiles_)
        files[f];
    BackupWebConfig(files);
}

void TestDeployer::ConfigCert() {
    RunOperation("TestDeployer::ConfigCert", [&] {
        Record("ConfigCert");
        for (const auto& f : configFiles_) {
            std::string bytes;
            ReadFileBytes(f, bytes);
            RecordFileChange(f);
            WriteFileAtomic(f, bytes + "edited for " + NarrowFromWide(certName_) + "\n");
        }
        if (configHook)
            configHook();
    });
}

void TestDeployer::StopWebService() {
    Record("StopWebService");
}

void TestDeployer::StartWebService() {
    Record("StartWebService");
    ++restarts;
}

FixedResolver::FixedResolver(std::map<std::string, std::vector<std::string>> table) {
    previous_ = CNetManager::SetResolver([table = std::move(table)](const std::string& name) {
        const auto it = table.find(name);
        return it == table.end() ? std::vector<std::string>() : it->second;
    });
}

FixedResolver::~FixedResolver() {
    CNetManager::SetResolver(previous_);
}

}  // namespace qm::test
