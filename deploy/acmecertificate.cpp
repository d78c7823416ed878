// The certificate stage over ACME: the http-01 files go where the site's
// document root serves /.well-known/acme-challenge/, recorded like the
// enrollment center's verification files so that a failed deployment takes
// them away; the issued chain is written where the center's would be.
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>

#include "Common/OpenSSL/quorp/quorp.h"
#include "acme/acmeclient.h"
#include "deploy/faultpoints.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/interrupts.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Where a site serves the challenges from (its folder ends in a separator).
std::u16string ChallengeFolder(const std::u16string& siteDir) {
    return siteDir + u".well-known" + PathSeparator() + u"acme-challenge" + PathSeparator();
}

void RemoveFolderIfEmpty(const std::u16string& folder) {
    std::error_code ec;
    std::filesystem::remove(FsPath(folder), ec);  // only when empty
}

// The result text of an ACME failure: the CA's problem (type and detail,
// and what its validation fetched) behind the center error prefix, so the
// operator reads it as the certificate source's answer.
[[noreturn]] void ThrowAcmeFailure(const acme::AcmeError& error) {
    LogError("SslCertSrvBase::GetCertificate, ACME: %s", error.what());
    if (error.cause() == acme::AcmeError::Cause::Stopped)
        ThrowResult(result::kInterrupted);
    ThrowResult(u"%sACME: %s", result::kCenterErrorPrefix, WideFromUtf8(error.what()));
}

}  // namespace

std::vector<std::string> SslCertSrvBase::AcmeNames() const {
    std::vector<std::string> names;
    for (const auto& site : selectedSites_) {
        if (site.siteDir.empty()) {
            // No document root to answer the challenge from.
            LogError(u"SslCertSrvBase::GetCertificate, no document root for %s", site.siteAddr);
            ThrowResult(result::kInvalidParam);
        }
        const std::string name = Utf8FromWide(ToLowerAscii(site.siteAddr));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

std::vector<std::u16string> SslCertSrvBase::ChallengeRoots(const std::string& name) const {
    // Every site of the name answers: the selected one (whose folder may be
    // that of the server a name without a site of its own reaches) and its
    // twin on the other port.
    const std::u16string wideName = ToLowerAscii(WideFromUtf8(name));
    std::vector<std::u16string> roots;
    for (const auto* list : {&selectedSites_, &sites_}) {
        for (const auto& site : *list) {
            if (ToLowerAscii(site.siteAddr) == wideName && !site.siteDir.empty() &&
                std::find(roots.begin(), roots.end(), site.siteDir) == roots.end())
                roots.push_back(site.siteDir);
        }
    }
    return roots;
}

void SslCertSrvBase::PlaceChallenge(const std::string& name, const std::string& token,
                                    const std::string& keyAuthorization) {
    for (const std::u16string& root : ChallengeRoots(name)) {
        const std::u16string folder = ChallengeFolder(root);
        RecordCreatedFile(root + u".well-known" + PathSeparator());
        RecordCreatedFile(folder);
        std::vector<std::pair<std::u16string, std::string>> files;
        for (auto& [file, content] : ChallengeFolderFiles()) {
            if (!FileExists(folder + file))
                files.emplace_back(folder + file, std::move(content));
        }
        files.emplace_back(folder + WideFromUtf8(token), keyAuthorization);
        for (const auto& [path, content] : files) {
            RecordCreatedFile(path);
            if (!MakeDirectoryTree(folder) ||
                !WriteFileAtomic(path, content, FilePrivacy::ReadableByAll)) {
                LogError(u"SslCertSrvBase::GetCertificate, cannot write %s", path);
                throw acme::AcmeError(acme::AcmeError::Cause::Local,
                                      "cannot write the challenge file " + Utf8FromWide(path));
            }
        }
        LogInfo(u"challenge file %s", files.back().first);
    }
    FaultPoint(u"challenge-placed");
}

void SslCertSrvBase::RemoveChallenge(const std::string& name, const std::string& token) {
    for (const std::u16string& root : ChallengeRoots(name)) {
        const std::u16string folder = ChallengeFolder(root);
        const std::u16string path = folder + WideFromUtf8(token);
        if (FileExists(path))
            DeleteFileToRecycleBin(path);
        // The folders go too when this deployment made them and they are empty.
        auto created = [&](const std::u16string& entry) {
            return record_ && std::find(record_->created.begin(), record_->created.end(), entry) !=
                                  record_->created.end();
        };
        if (created(folder)) {
            // The folder's own files go with the last challenge in it.
            const auto own = ChallengeFolderFiles();
            std::error_code ec;
            const bool challengesLeft = std::any_of(
                std::filesystem::directory_iterator(FsPath(folder), ec),
                std::filesystem::directory_iterator(), [&](const auto& entry) {
                    const std::u16string name = WidePath(entry.path().filename());
                    return std::none_of(own.begin(), own.end(),
                                        [&](const auto& file) { return file.first == name; });
                });
            for (const auto& file : own) {
                if (!challengesLeft && created(folder + file.first))
                    DeleteFileToRecycleBin(folder + file.first);
            }
            RemoveFolderIfEmpty(folder);
            const std::u16string wellKnown = root + u".well-known" + PathSeparator();
            if (created(wellKnown))
                RemoveFolderIfEmpty(wellKnown);
        }
    }
}

void SslCertSrvBase::ObtainOverAcme() {
    LogInfo(u"certificate source: ACME directory %s", certCenterUrl_);
    const std::vector<std::string> names = AcmeNames();

    std::string csr;
    quorp crypto;
    if (!crypto.MakeCsrForNames(names, NarrowFromWide(keyPassword_), csr, privateKeyPem_)) {
        LogError("SslCertSrvBase::GetCertificate, %s", crypto.Status());
        ThrowResult(result::kUndefined);
    }

    acme::AcmeOptions options;
    options.directoryUrl = Utf8FromWide(certCenterUrl_);
    options.caFile = certCenterCaFile_;
    options.accountDir = acme_.accountDir;
    options.agreeToTerms = acme_.agreeToTerms;
    options.accountKey = acme_.rsaAccountKey ? acme::KeyKind::Rsa : acme::KeyKind::Ec;
    options.eabKid = acme_.eabKid;
    options.eabHmacKey = acme_.eabHmacKey;
    options.stopRequested = [this] { return stopRequested_ || InterruptRequested(); };
    const acme::Http01Responder responder{
        [this](const std::string& name, const std::string& token, const std::string& keyAuth) {
            PlaceChallenge(name, token, keyAuth);
        },
        [this](const std::string& name, const std::string& token) {
            RemoveChallenge(name, token);
        }};

    acme::IssuedChain issued;
    try {
        acme::AcmeClient client(options);
        issued = client.Obtain(names, csr, responder, acme_.replacesCertId);
        LogInfo("ACME order %s: %d signed requests, %d challenges answered, %d reused",
                issued.orderUrl, client.Stats().signedRequests, client.Stats().challengesAnswered,
                client.Stats().authorizationsReused);
    } catch (const acme::AcmeError& e) {
        CheckInterrupt();
        ThrowAcmeFailure(e);
    }
    const acme::CertificateChain& chain = issued.chain;
    certPem_ = chain.certificatePem;
    chainPem_ = chain.chainPem;
    chainCerts_ = acme::SplitPemCertificates(chainPem_);

    X509Ptr certificate = crypto.LoadCert(std::string_view(certPem_));
    bool error = true;
    const int64_t notAfter =
        certificate ? quorp::AsnTimeToTime(X509_get0_notAfter(certificate.get()), error) : 0;
    if (error) {
        LogError("SslCertSrvBase::GetCertificate, the CA's certificate does not parse");
        ThrowResult(result::kUndefined);
    }
    certExpireTime_ = LocalCalendarTime(notAfter);

    const std::u16string certDir =
        certificateStaging_.empty() ? CertificateDirectory() : certificateStaging_;
    RecordCreatedFile(certDir);
    MakeDirectoryTree(certDir);
    const std::u16string certPath = certDir + certName_ + u".crt";
    const std::u16string chainPath = certDir + certName_ + u".chain.crt";
    RecordCreatedFile(certPath);
    RecordCreatedFile(chainPath);
    if (!WriteFileAtomic(certPath, certPem_) || !WriteFileAtomic(chainPath, chainPem_)) {
        LogError(u"SslCertSrvBase::GetCertificate, cannot write %s", certPath);
        ThrowResult(result::kUndefined);
    }
    LogInfo(u"certificate from the ACME CA in %s, issued by %s", certPath,
            WideFromUtf8(chain.issuers.empty() ? std::string() : chain.issuers.front()));
}

}  // namespace qm
