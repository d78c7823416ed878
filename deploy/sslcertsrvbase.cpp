#include "deploy/sslcertsrvbase.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "Common/OpenSSL/quorp/digest.h"
#include "Common/OpenSSL/quorp/quorp.h"
#include "deploy/faultpoints.h"
#include "deploy/netmanager.h"
#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"

namespace qm {

namespace {
constexpr char16_t kMultiDomainCertName[] = u"KorvaneSSLCertificate";
// Longest common name a certificate request can carry.
constexpr size_t kMaxCommonNameLength = 64;
}  // namespace

SslCertSrvBase::SslCertSrvBase() {
    LogTrace("SslCertSrvBase::SslCertSrvBase");
}

SslCertSrvBase::~SslCertSrvBase() {
    LogTrace("SslCertSrvBase::~SslCertSrvBase");
}

void SslCertSrvBase::Initialize(const std::u16string& certCenterUrl, int32_t httpPort,
                                int32_t httpsPort) {
    RunOperation("SslCertSrvBase::Initialize", [&] {
        certCenterUrl_ = certCenterUrl;
        httpPort_ = httpPort;
        httpsPort_ = httpsPort;
        GetWebServiceInfo();
    });
}

void SslCertSrvBase::GetSitesInfo(std::vector<std::u16string>&) {
    LogTrace("SslCertSrvBase::GetSitesInfo");
}

void SslCertSrvBase::BindCertToSite(const std::vector<std::u16string>& domains, int32_t certType) {
    RunOperation("SslCertSrvBase::BindCertToSite", [&] {
        if (domains.empty())
            ThrowResult(result::kUndefined);
        // Domain names are case-insensitive: compared, certified and
        // configured in lower case.
        for (const auto& domain : domains)
            inputDomains_.push_back(ToLowerAscii(domain));
        certName_ = inputDomains_.size() == 1 && !inputDomains_[0].empty() ? inputDomains_[0]
                                                                           : kMultiDomainCertName;
        certType_ = certType;
        CheckInterrupt();
        LockConfiguration();
        const ConfigurationLockRelease release{configLock_};

        BeginDeployment();
        try {
            deployStage_ = kStageObtaining;
            GetCertificate();
            deployStage_ = kStageObtained;
            LogInfo("complete: get certificate");
            LogInfo(u"web service root: %s", webServiceRoot_);
            FaultPoint(u"obtained");
            CheckInterrupt();

            BackupWeb();
            LogInfo("complete: backup config");
            FaultPoint(u"backed-up");
            CheckInterrupt();

            deployStage_ = kStageConfiguring;
            SetDeploymentPhase(phase::kEditing);
            ConfigCert();
            deployStage_ = kStageConfigured;
            LogInfo("complete: config certificate");
            FaultPoint(u"edited");
            CheckInterrupt();

            // From here until the server runs again nothing stops midway: an
            // interrupt is acted on once it serves (or was brought back).
            // What must be served (and, for a rollback, no longer) is in the
            // record before the server takes the change.
            const std::vector<WireTarget> targets = WireTargets();
            const std::string fingerprint = CertificateFingerprint(certPem_);
            record_->wireTargets = targets;
            record_->certificateFingerprint = fingerprint;
            SetDeploymentPhase(phase::kApplying);
            ApplyConfig();
            if (!targets.empty() &&
                !WaitForServedCertificate(targets, fingerprint, true, applyWaitMs_)) {
                LogError("SslCertSrvBase::BindCertToSite, the new certificate is not served");
                AddUserNote(
                    u"The web server took the configuration but does not serve the new "
                    u"certificate on " +
                    targets.front().address + u":" + FormatWide(u"%d", targets.front().port) +
                    u" for " + targets.front().host + u".");
                ThrowResult(result::kRestartFailed);
            }
            SetDeploymentPhase(phase::kApplied);
            LogInfo("complete: apply certificate");
            FaultPoint(u"applied");
            CheckInterrupt();

            RunBeforeCommit();
            FaultPoint(u"settings-saved");
            CheckInterrupt();
            CommitDeployment();
        } catch (const std::exception& e) {
            LogError(u"SslCertSrvBase::BindCertToSite, %s: rolling back", ResultTextOf(e));
            const std::u16string folder = record_->folder;
            RollBack(*record_);
            record_.reset();
            // A step cut short by the interrupt (a transfer ended) fails in
            // its own way: the interrupt is what happened.
            if (InterruptRequested()) {
                if (!DirectoryExists(folder)) {
                    AddUserNote(u"Interrupted (" + InterruptName() +
                                u"): every change was taken back and the web server runs as "
                                u"it did before.");
                }
                ThrowResult(result::kInterrupted);
            }
            throw;
        }
    });
}

void SslCertSrvBase::RunBeforeCommit() {
    for (const auto& file : beforeCommitFiles_)
        RecordFileChange(file, true);
    if (beforeCommit_)
        beforeCommit_();
}

void SslCertSrvBase::GetDeployStage(int32_t& stage) const {
    stage = deployStage_.load();
}

std::u16string SslCertSrvBase::GetWebServiceRoot() const {
    return webServiceRoot_;
}

void SslCertSrvBase::GetCertExpireTime(CalendarTime& expireTime) const {
    expireTime = certExpireTime_;
}

void SslCertSrvBase::GetWebServiceInfo() {
    RunOperation("SslCertSrvBase::GetWebServiceInfo", [&] {
        ProcessId httpPid = 0;
        ProcessId httpsPid = 0;
        GetListeningPid(httpPort_, httpPid);
        GetListeningPid(httpsPort_, httpsPid);
        if (httpPid == 0 && httpsPid == 0)
            ThrowResult(result::kPortNotListening);
        ProcessId pid = httpPid ? httpPid : httpsPid;
        if (httpPid && httpsPid && httpPid != httpsPid) {
            LogWarn("httpPid:%d != httpsPid:%d", httpPid, httpsPid);
            pid = httpsPid;
        }
        webServicePid_ = static_cast<int32_t>(pid);
        webServicePath_ = CPathTool::ProcessPidToPath(pid);
        LogInfo("web service pid: %d", webServicePid_);
        LogInfo(u"web service path: %s", webServicePath_);
        webServiceIsService_ = IsServiceProcess(pid);
    });
}

void SslCertSrvBase::MakeUniqueCertName() {}

std::u16string SslCertSrvBase::CertificateDirectory() const {
    return webServiceRoot_ + NativeSeparators(u"conf/sslcert/");
}

void SslCertSrvBase::LockConfiguration() {
    const std::u16string identity = ConfigurationIdentity();
    if (identity.empty() || configLock_.Held())
        return;
    const std::u16string path = host::TempDirectory() + PathSeparator() + u"quillmate-" +
                                WideFromUtf8(Sha256Hex(Utf8FromWide(identity)).substr(0, 16)) +
                                u".lock";
    std::u16string holder;
    if (!configLock_.TryAcquire(
            path, FormatWide(u"pid %d: %s", CurrentProcessIdentifier(), identity), holder)) {
        AddUserNote(u"Another run is changing " + identity + u" (" + holder + u").");
        ThrowResult(result::kBusy);
    }
}

void SslCertSrvBase::CheckInputDomains(const std::vector<std::u16string>& domains) {
    RunOperation("SslCertSrvBase::CheckInputDomains", [&] {
        if (AnyInputDomainUnknown(domains) && !AcceptsUserDomains()) {
            ThrowResult(result::kMoreThanOneSiteDir);
        }
    });
}

void SslCertSrvBase::SetInputDomainUnknown(const std::vector<std::u16string>&) {}

void SslCertSrvBase::ConfigCert() {
    LogTrace("SslCertSrvBase::ConfigCert");
}

void SslCertSrvBase::ApplyConfig() {
    RunOperation("SslCertSrvBase::ApplyConfig", [&] {
        StopWebService();
        StartWebService();
    });
}

void SslCertSrvBase::StopWebService() {}
void SslCertSrvBase::StartWebService() {}
void SslCertSrvBase::BackupWeb() {}
bool SslCertSrvBase::AcceptsUserDomains() {
    return true;
}

void SslCertSrvBase::SetWebTypeVersion(const std::u16string& type, const std::u16string& version) {
    webType_ = type;
    webVersion_ = version;
}

void SslCertSrvBase::SetCertParams(const std::u16string& keyPassword,
                                   const std::u16string& certName, int32_t certType) {
    keyPassword_ = keyPassword;
    certName_ = certName;
    certType_ = certType;
}

bool SslCertSrvBase::FindSiteByAddr(const std::u16string& addr, SiteInfo& site) const {
    for (const auto& s : sites_) {
        if (s.siteAddr == addr) {
            site = s;
            return true;
        }
    }
    return false;
}

bool SslCertSrvBase::ContainsSiteAddr(const std::u16string& addr) const {
    return std::any_of(sites_.begin(), sites_.end(),
                       [&](const SiteInfo& s) { return s.siteAddr == addr; });
}

bool SslCertSrvBase::ContainsSiteOrToggled(const std::u16string& addr) const {
    return ContainsSiteAddr(addr) || ContainsSiteAddr(ToggleWww(addr));
}

bool SslCertSrvBase::HasSecondSiteDir() const {
    return std::any_of(sites_.begin(), sites_.end(),
                       [&](const SiteInfo& s) { return s.siteDir != sites_.front().siteDir; });
}

bool SslCertSrvBase::AnyInputDomainUnknown(const std::vector<std::u16string>& domains) const {
    return std::any_of(domains.begin(), domains.end(),
                       [&](const std::u16string& d) { return !ContainsSiteAddr(d); });
}

void SslCertSrvBase::CollectUnknownInputDomains(std::vector<std::u16string>& unknown) const {
    for (const auto& d : inputDomains_) {
        if (!ContainsSiteAddr(d))
            unknown.push_back(d);
    }
}

void SslCertSrvBase::RemoveDuplicateSites(std::vector<SiteInfo>& sites) {
    // A hash set of the records kept finds a repeat without comparing it with
    // every earlier record: servers with thousands of sites stay fast.
    auto hash = [](const SiteInfo* s) {
        size_t h = std::hash<std::u16string>()(s->siteAddr);
        h = h * 31 + std::hash<std::u16string>()(s->siteDir);
        h = h * 31 + std::hash<std::u16string>()(s->siteIP);
        return h * 31 + static_cast<size_t>(s->sitePort) * 2 + (s->isHttps ? 1 : 0);
    };
    auto equal = [](const SiteInfo* a, const SiteInfo* b) { return *a == *b; };
    std::unordered_set<const SiteInfo*, decltype(hash), decltype(equal)> seen(sites.size() * 2,
                                                                              hash, equal);
    std::vector<bool> keep(sites.size());
    for (size_t i = 0; i < sites.size(); ++i)
        keep[i] = seen.insert(&sites[i]).second;
    if (seen.size() == sites.size())
        return;
    std::vector<SiteInfo> kept;
    kept.reserve(seen.size());
    for (size_t i = 0; i < sites.size(); ++i) {
        if (keep[i])
            kept.push_back(std::move(sites[i]));
    }
    sites = std::move(kept);
}

void SslCertSrvBase::CreateCRS(std::string& csr, const std::string& commonName,
                               const std::string& password) {
    RunOperation("SslCertSrvBase::CreateCRS", [&] {
        // A subject common name holds at most 64 characters; the centre takes
        // the names to certify from the verification list, not from here.
        std::string cn = NarrowFromWide(WideFromNarrow(commonName).substr(0, kMaxCommonNameLength));
        std::string key;
        quorp crypto;
        if (!crypto.MakeCsr(cn, password, csr, key)) {
            LogError("SslCertSrvBase::CreateCRS, %s", crypto.Status());
            ThrowResult(result::kUndefined);
        }
        privateKeyPem_ = std::move(key);
    });
}

DomainVerifyInfo SslCertSrvBase::MakeDomainVerifyInfo(const SiteInfo& site) const {
    DomainVerifyInfo info;
    info.isHttps = site.isHttps;
    info.sitePort = site.sitePort;
    info.siteAddr = site.siteAddr;
    info.verifyFileUrlPath =
        FormatWide(u"%s%s:%d/auth/auth.txt", site.isHttps ? u"https://" : u"http://", site.siteAddr,
                   site.sitePort);
    const std::u16string dir = site.siteDir + u"auth" + PathSeparator();
    info.verifyFileLocalPath = dir + u"auth.txt";
    return info;
}

bool SslCertSrvBase::FindRelatedSite(const SiteInfo& site, SiteInfo& related) const {
    for (const auto& s : sites_) {
        if (s.siteAddr == site.siteAddr && !(s == site)) {
            related = s;
            return true;
        }
    }
    return false;
}

void SslCertSrvBase::LogGetCertificateBeginParam() const {
    LogTrace("");
    LogTrace("SslCertSrvBase::LogGetCertificateBeginParam");
    LogInfo(u"webType: %s", webType_);
    LogInfo(u"webVersion: %s", webVersion_);
    for (const auto& s : selectedSites_) {
        LogInfo(u"siteAddr: %s", s.siteAddr);
        LogInfo(u"siteDir: %s", s.siteDir);
        LogInfo(u"sitePort: %d", s.sitePort);
        LogInfo(u"isHttps: %s", s.isHttps ? u"true" : u"false");
        LogInfo(u"siteIP: %s", s.siteIP);
    }
    LogInfo("certType: %d", certType_);
    LogTrace("");
}

void SslCertSrvBase::TakeIssuedCertificate() {
    std::string_view certificate, chain;
    certCenter_->ExportCertificate(certificate, chain, chainCerts_);
    certPem_ = std::string(certificate);
    chainPem_ = std::string(chain);
    certExpireTime_ = certCenter_->ExpiryTime();
}

void SslCertSrvBase::RequestCertificate(const std::vector<DomainVerifyInfo>& verifyList) {
    certCenter_->DomainVerify(verifyList, webType_, webVersion_);

    const std::u16string keyDir = GetProgramDirectory() + NativeSeparators(u"Config/Key/");
    MakeDirectoryTree(keyDir, FilePrivacy::OwnerOnly);
    const std::u16string csrPath = keyDir + u"csr.txt";
    // The key of the request is kept beside it: a request deferred for
    // review is completed by a later run, and only this key matches the
    // certificate the center then issues.
    const std::u16string csrKeyPath = keyDir + u"csrkey.txt";
    if (certCenter_->IsWaitDeferCert()) {
        if (ReadFileBytes(csrKeyPath, privateKeyPem_) && !privateKeyPem_.empty()) {
            LogInfo(u"resuming the deferred request with the key in %s", csrKeyPath);
        } else {
            LogWarn(u"the key of the deferred request is lost (%s); requesting anew", csrKeyPath);
            certCenter_->ResetProcess();
            certCenter_->DomainVerify(verifyList, webType_, webVersion_);
        }
    }
    if (!certCenter_->IsWaitDeferCert()) {
        std::string csr;
        CreateCRS(csr, NarrowFromWide(selectedSites_.front().siteDir),
                  NarrowFromWide(keyPassword_));
        if (!WriteFileAtomic(csrKeyPath, privateKeyPem_, FilePrivacy::OwnerOnly) ||
            !WriteFileAtomic(csrPath, csr)) {
            LogError(u"SslCertSrvBase::GetCertificate, cannot write %s", csrPath);
            ThrowResult(result::kUndefined);
        }
    }

    const std::u16string certDir =
        certificateStaging_.empty() ? CertificateDirectory() : certificateStaging_;
    RecordCreatedFile(certDir);
    MakeDirectoryTree(certDir);
    RecordCreatedFile(certDir + certName_ + u".crt");
    RecordCreatedFile(certDir + certName_ + u".chain.crt");
    certCenter_->CertRequest(csrPath, certDir, certName_, certType_);
    TakeIssuedCertificate();
}

bool SslCertSrvBase::WaitBeforeNextPoll() {
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(deferPollInterval_);
    while (steady_clock::now() < until) {
        if (stopRequested_ || InterruptRequested())
            return false;
        std::this_thread::sleep_for(
            std::min<milliseconds>(milliseconds(100), milliseconds(deferPollInterval_)));
    }
    return !stopRequested_ && !InterruptRequested();
}

void SslCertSrvBase::GetCertificate() {
    RunOperation("SslCertSrvBase::GetCertificate", [&] {
        chainCerts_.clear();
        LogGetCertificateBeginParam();
        if (certType_ < 1 || selectedSites_.empty())
            ThrowResult(result::kInvalidParam);
        if (acme_.enabled) {
            ObtainOverAcme();
            return;
        }

        certCenter_ = std::make_unique<CertCenterComm>();
        certCenter_->Initialize(certCenterUrl_, u"general", u"", true, certCenterCaFile_);

        std::vector<DomainVerifyInfo> verifyList;
        for (const auto& site : selectedSites_) {
            if (site.siteDir.empty()) {
                // No document root to prove control from: nothing to ask the
                // center for, and no verification file written anywhere else.
                LogError(u"SslCertSrvBase::GetCertificate, no document root for %s", site.siteAddr);
                ThrowResult(result::kInvalidParam);
            }
            verifyList.push_back(MakeDomainVerifyInfo(site));
            SiteInfo related;
            if (FindRelatedSite(site, related))
                verifyList.push_back(MakeDomainVerifyInfo(related));
        }
        // The verification files (and folders) are the deployment's own:
        // a failed deployment takes them away again.
        for (const auto& info : verifyList) {
            const std::u16string dir = DirectoryOf(info.verifyFileLocalPath);
            RecordCreatedFile(dir);
            if (!DirectoryExists(dir))
                MakeDirectoryTree(dir);
            RecordCreatedFile(info.verifyFileLocalPath);
        }

        while (true) {  // one request attempt per pass
            bool deferred = false;
            try {
                RequestCertificate(verifyList);
            } catch (const std::exception& e) {
                if (!IsResult(e, result::kDeferCertState))
                    RethrowIfFailure(e);
                deferred = true;
            }
            bool restart = false;
            while (deferred && !restart) {  // polls for a deferred certificate
                try {
                    certCenter_->CertDeferRequest();
                    TakeIssuedCertificate();
                    deferred = false;
                } catch (const std::exception& e) {
                    if (IsResult(e, result::kDeferCertState)) {
                        deployStage_ = kStageWaitingDeferred;
                        if (!WaitBeforeNextPoll()) {
                            LogInfo("SslCertSrvBase::GetCertificate, stopped while deferred");
                            CheckInterrupt();
                            ThrowResult(result::kDeferCertState);
                        }
                    } else if (IsResult(e, result::kPublicKeyIllegal)) {
                        // The record still points at the lost request; clear it
                        // so the next attempt verifies again with a new key.
                        certCenter_->ResetProcess();
                        restart = true;
                    } else {
                        LogError("%s : %s", "SslCertSrvBase::GetCertificate", e.what());
                        RethrowIfFailure(e);
                    }
                }
            }
            if (!restart)
                return;
        }
    });
}

}  // namespace qm
