// A small deployer for tests of the engine: its sites are given by the test,
// it finds no process, and it records which stages ran and in what order.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "deploy/netmanager.h"
#include "deploy/sslcertsrvsubbase.h"

namespace qm::test {

class TestDeployer : public SslCertSrvSubBase {
public:
    TestDeployer();

    // The site model GetSitesInfo reports.
    void SetSites(std::vector<SiteInfo> sites, SiteInfo mainSite);
    void SetListenAddrs(std::vector<std::u16string> http, std::vector<std::u16string> https);
    void SetWebType(const std::u16string& type) { webType_ = type; }
    void SetRoot(const std::u16string& root) { webServiceRoot_ = root; }
    void SetAcceptsUserDomains(bool accepts) { acceptsUserDomains_ = accepts; }
    // Files BackupWeb records and ConfigCert appends a line to.
    void SetConfigFiles(std::vector<std::u16string> files) { configFiles_ = std::move(files); }
    // When set, run after ConfigCert's edit (to inject failures).
    std::function<void()> configHook;
    // What ServerRunning reports.
    bool running = true;
    // When false, GetCertificate only selects sites (no enrollment).
    bool enroll = true;

    void SetInputDomains(std::vector<std::u16string> domains) {
        inputDomains_ = std::move(domains);
    }
    void AddAlias(const std::u16string& alias, const std::u16string& primary) {
        aliasMap_[alias] = primary;
    }

    void GetWebServiceInfo() override;
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    void GetCertificate() override;
    void BackupWeb() override;
    void ConfigCert() override;
    void StopWebService() override;
    void StartWebService() override;
    bool AcceptsUserDomains() override { return acceptsUserDomains_; }
    bool ServerRunning() override { return running; }

    // "GetCertificate", "BackupWeb", ... with the stage seen on entry.
    std::vector<std::pair<std::string, int32_t>> calls;
    int restarts = 0;

private:
    void Record(const std::string& name);
    std::vector<std::u16string> configFiles_;
    bool acceptsUserDomains_ = true;
};

// Gives names fixed IPv4 addresses for the life of the object.
class FixedResolver {
public:
    explicit FixedResolver(std::map<std::string, std::vector<std::string>> table);
    ~FixedResolver();

private:
    CNetManager::Resolver previous_;
};

}  // namespace qm::test
