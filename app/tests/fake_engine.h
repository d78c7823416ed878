// A scripted deployment engine for tests of the task driver: its sites,
// failures and stages are set by the test, and BindCertToSite can be held
// at each stage until the test lets it go on.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deploy/netmanager.h"
#include "deploy/sslcertsrvbase.h"

namespace qm::test {

// What the test sets and what the engine records; shared by every engine
// the factory makes.
struct EngineScript {
    std::vector<std::u16string> sites;
    std::u16string initializeFailure;  // raised by Initialize when not empty
    std::u16string bindFailure;        // raised by BindCertToSite after its stages
    std::u16string restoreFailure;     // raised by RestoreWeb
    std::vector<int32_t> stages = {1, 3, 4, 5};
    bool holdEachStage = false;  // wait for Allow() before leaving each stage
    int expiryYear = 2031, expiryMonth = 4, expiryDay = 9;

    // Recorded.
    std::u16string centerUrl;
    std::u16string caFile;
    bool acme = false;  // the engine was given an ACME source
    bool acmeTermsAgreed = false;
    int32_t httpPort = 0;
    int32_t httpsPort = 0;
    std::vector<std::u16string> boundDomains;
    int32_t certType = 0;
    int restores = 0;
    int stopRequests = 0;

    // Lets a held BindCertToSite leave `count` more stages.
    void Allow(int count = 1);
    // How many stages BindCertToSite has entered.
    int StagesEntered();

    std::mutex mutex;
    std::condition_variable changed;
    int allowed = 0;
    int entered = 0;
};

class FakeEngine : public SslCertSrvBase {
public:
    explicit FakeEngine(std::shared_ptr<EngineScript> script);
    ~FakeEngine() override;

    void Initialize(const std::u16string& url, int32_t httpPort, int32_t httpsPort) override;
    void GetSitesInfo(std::vector<std::u16string>& siteAddrs) override;
    void BindCertToSite(const std::vector<std::u16string>& domains, int32_t certType) override;
    void RestoreWeb() override;
    void GetCertExpireTime(CalendarTime& expireTime) const override;

private:
    std::shared_ptr<EngineScript> script_;
};

// Gives names fixed IPv4 addresses (every other name does not resolve) for
// the life of the object.
class ResolverTable {
public:
    explicit ResolverTable(std::vector<std::string> resolvable);
    ~ResolverTable();

private:
    CNetManager::Resolver previous_;
};

}  // namespace qm::test
