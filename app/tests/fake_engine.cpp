#include "app/tests/fake_engine.h"

#include <algorithm>
#include <chrono>

#include "enrollment/certcentercomm.h"
#include "foundation/results.h"

namespace qm::test {

void EngineScript::Allow(int count) {
    {
        std::lock_guard lock(mutex);
        allowed += count;
    }
    changed.notify_all();
}

int EngineScript::StagesEntered() {
    std::lock_guard lock(mutex);
    return entered;
}

FakeEngine::FakeEngine(std::shared_ptr<EngineScript> script) : script_(std::move(script)) {
    SetDeferPollInterval(20);
}

FakeEngine::~FakeEngine() = default;

void FakeEngine::Initialize(const std::u16string& url, int32_t httpPort, int32_t httpsPort) {
    script_->centerUrl = url;
    script_->caFile = certCenterCaFile_;
    script_->acme = acmeSource().enabled;
    script_->acmeTermsAgreed = acmeSource().agreeToTerms;
    script_->httpPort = httpPort;
    script_->httpsPort = httpsPort;
    if (!script_->initializeFailure.empty())
        ThrowResult(u"%s", script_->initializeFailure);
}

void FakeEngine::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    siteAddrs = script_->sites;
}

void FakeEngine::BindCertToSite(const std::vector<std::u16string>& domains, int32_t certType) {
    script_->boundDomains = domains;
    script_->certType = certType;
    for (int32_t stage : script_->stages) {
        deployStage_ = stage;
        std::unique_lock lock(script_->mutex);
        const int index = ++script_->entered;
        script_->changed.notify_all();
        if (!script_->holdEachStage)
            continue;
        if (stage != kStageWaitingDeferred) {
            script_->changed.wait_for(lock, std::chrono::seconds(20),
                                      [&] { return script_->allowed >= index; });
            continue;
        }
        // A deferred request is polled like the real engine does, and given
        // up when the window asks the engine to stop.
        while (script_->allowed < index) {
            lock.unlock();
            if (!WaitBeforeNextPoll())
                ThrowResult(result::kDeferCertState);
            lock.lock();
        }
    }
    if (!script_->bindFailure.empty())
        ThrowResult(u"%s", script_->bindFailure);
    RunBeforeCommit();
}

void FakeEngine::RestoreWeb() {
    script_->restores++;
    if (!script_->restoreFailure.empty())
        ThrowResult(u"%s", script_->restoreFailure);
}

void FakeEngine::GetCertExpireTime(CalendarTime& expireTime) const {
    expireTime = CalendarTime{};
    expireTime.year = script_->expiryYear;
    expireTime.month = script_->expiryMonth;
    expireTime.day = script_->expiryDay;
}

ResolverTable::ResolverTable(std::vector<std::string> resolvable) {
    previous_ = CNetManager::SetResolver(
        [names = std::move(resolvable)](const std::string& name) -> std::vector<std::string> {
            if (std::find(names.begin(), names.end(), name) != names.end())
                return {"127.0.0.1"};
            return {};
        });
}

ResolverTable::~ResolverTable() {
    CNetManager::SetResolver(previous_);
}

}  // namespace qm::test
