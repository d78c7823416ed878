// Renewal in place: a new certificate for the names of the deployment in
// force, written over the files the server's configuration already names,
// applied the way a deployment is applied and checked on the wire. The
// renewal's own record (in "Renewal/") is the journal that puts the
// previous files back after a failure or a crash.
#include <algorithm>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/faultpoints.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr std::u16string_view kRenewalFolder = u"Renewal";

bool EndsWith(std::u16string_view text, std::u16string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string JoinPem(std::string first, const std::string& second) {
    if (!first.empty() && first.back() != '\n' && !second.empty())
        first += '\n';  // PEM blocks must not run together
    return first + second;
}

}  // namespace

std::vector<SslCertSrvBase::RenewedFile> SslCertSrvBase::RenewedFiles(
    const DeploymentRecord& deployment) const {
    std::vector<RenewedFile> files;
    auto created = [&](const std::u16string& path) {
        return std::find(deployment.created.begin(), deployment.created.end(), path) !=
               deployment.created.end();
    };
    for (const std::u16string& path : deployment.created) {
        if (EndsWith(path, u".chain.crt")) {
            files.push_back({path, chainPem_, false, {}});
        } else if (EndsWith(path, u".crt")) {
            const std::u16string chainFile = path.substr(0, path.size() - 4) + u".chain.crt";
            const bool chainApart = created(chainFile) && FileExists(chainFile);
            files.push_back(
                {path, chainApart ? certPem_ : JoinPem(certPem_, chainPem_), false, {}});
        } else if (EndsWith(path, u".key")) {
            files.push_back({path, privateKeyPem_, true, {}});
        }
    }
    // Only files that are there: a chain file the deployment did not need
    // is not made now.
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const RenewedFile& f) { return !FileExists(f.path); }),
                files.end());
    return files;
}

bool SslCertSrvBase::PutRenewalInPlace(const DeploymentRecord& deployment) {
    const std::vector<RenewedFile> files = RenewedFiles(deployment);
    if (files.empty())
        return false;
    // The files as they are, in the record and beside them; then the new
    // ones, the key last: the server reads them only when told.
    for (const RenewedFile& f : files) {
        RecordFileChange(f.path);
        RecordCreatedFile(f.path + u".previous");
        if (!CopyFileSilently(f.path, f.path + u".previous"))
            LogWarn(u"SslCertSrvBase, %s.previous cannot be written", f.path);
    }
    std::vector<RenewedFile> ordered = files;
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](const RenewedFile& f) { return !f.secret; });
    bool first = true;
    for (const RenewedFile& f : ordered) {
        if (!first)
            FaultPoint(u"renewal-writing");
        first = false;
        if (!WriteFileAtomic(f.path, f.content,
                             f.secret ? FilePrivacy::OwnerOnly : FilePrivacy::Normal)) {
            AddUserNote(u"The renewed certificate cannot be written to " + f.path + u".");
            ThrowResult(result::kConfigWriteFailed);
        }
        if (!f.shareWithGroupOf.empty() && !ShareWithGroupOf(f.path, f.shareWithGroupOf))
            LogWarn(u"SslCertSrvBase, %s keeps its owner-only access", f.path);
        LogInfo(u"renewed %s", f.path);
    }
    return true;
}

void SslCertSrvBase::RenewalServed(DeploymentRecord&) {}

void SslCertSrvBase::RecoverRenewal() {
    const DeploymentHistory renewals(GetServiceDirectory(), kRenewalFolder);
    for (const std::u16string& folder : renewals.Folders()) {
        std::u16string problem;
        const auto record = DeploymentRecord::Load(folder, problem);
        if (!record) {
            LogWarn(u"SslCertSrvBase, an unreadable renewal record %s: %s", folder, problem);
            DeleteDirectoryTree(folder);
            continue;
        }
        AddUserNote(u"A renewal started " + record->started +
                    u" did not finish; the previous certificate files are put back.");
        RecoverRecord(*record);
    }
}

void SslCertSrvBase::RenewCertificate(const std::vector<std::u16string>& domains,
                                      int32_t certType) {
    RunOperation("SslCertSrvBase::RenewCertificate", [&] {
        LockConfiguration();
        const ConfigurationLockRelease release{configLock_};
        RecoverRenewal();

        const std::vector<std::u16string> deployments =
            DeploymentHistory(GetServiceDirectory()).Folders();
        std::u16string problem;
        auto deployment = deployments.empty() ? std::nullopt
                                              : DeploymentRecord::Load(deployments.back(), problem);
        if (!deployment || deployment->phase != phase::kCommitted) {
            AddUserNote(u"There is no deployment in force to renew.");
            ThrowResult(result::kNothingToRenew);
        }
        inputDomains_.clear();
        for (const auto& domain : domains)
            inputDomains_.push_back(ToLowerAscii(domain));
        certName_ = u"renewal";
        certType_ = certType;
        keyPassword_.clear();
        SetWebTypeVersion(ServerKind(), webVersion_);
        ConstructSelSiteInfo();

        const std::u16string staging = GetServiceDirectory() + std::u16string(kRenewalFolder) +
                                       PathSeparator() + u"staging" + PathSeparator();
        BeginRecord(DeploymentHistory(GetServiceDirectory(), kRenewalFolder));
        certificateStaging_ = staging;
        try {
            deployStage_ = kStageObtaining;
            SslCertSrvBase::GetCertificate();
            deployStage_ = kStageObtained;
            FaultPoint(u"renewal-obtained");
            SetDeploymentPhase(phase::kEditing);
            deployStage_ = kStageConfiguring;
            if (!PutRenewalInPlace(*deployment)) {
                AddUserNote(u"This web server's certificate cannot be renewed in place.");
                ThrowResult(result::kNothingToRenew);
            }
            FaultPoint(u"renewal-written");

            const std::string fingerprint = CertificateFingerprint(certPem_);
            record_->wireTargets = deployment->wireTargets;
            record_->certificateFingerprint = fingerprint;
            SetDeploymentPhase(phase::kApplying);
            NoteServerTouched();
            ApplyConfig();
            if (!deployment->wireTargets.empty() &&
                !WaitForServedCertificate(deployment->wireTargets, fingerprint, true,
                                          applyWaitMs_)) {
                AddUserNote(u"The web server does not serve the renewed certificate.");
                ThrowResult(result::kRestartFailed);
            }
            deployStage_ = kStageConfigured;
            FaultPoint(u"renewal-applied");
            RenewalServed(*deployment);
            // Done: the previous files stay beside the new ones; the record
            // and the staging files go.
            DeleteDirectoryTree(record_->folder);
            record_.reset();
            DeleteDirectoryTree(staging);
            certificateStaging_.clear();
            LogInfo("the certificate is renewed and served");
        } catch (const std::exception& e) {
            LogError(u"SslCertSrvBase::RenewCertificate, %s: putting the previous files back",
                     ResultTextOf(e));
            certificateStaging_.clear();
            if (record_) {
                RollBack(*record_);
                record_.reset();
            }
            throw;
        }
    });
}

}  // namespace qm
