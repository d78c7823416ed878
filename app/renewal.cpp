#include "app/renewal.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <optional>
#include <random>
#include <thread>

#include "Common/OpenSSL/quorp/quorp.h"
#include "app/acmesource.h"
#include "app/deployers.h"
#include "app/settingsfile.h"
#include "deploy/deploymentrecord.h"
#include "deploy/sslcertsrvbase.h"
#include "deploy/wirecheck.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The certificate the deployment in force serves: from the wire, else the
// deployed file.
std::string DeployedCertificate(const DeploymentRecord& deployment) {
    for (const WireTarget& target : deployment.wireTargets) {
        std::string problem;
        const std::string pem = ServedCertificatePem(target, 5000, problem);
        if (!pem.empty())
            return pem;
        LogWarn(u"vantrel, nothing served at %s:%d for %s (%s)", target.address, target.port,
                target.host, WideFromUtf8(problem));
    }
    for (const std::u16string& path : deployment.created) {
        std::string pem;
        if (path.size() > 4 && path.substr(path.size() - 4) == u".crt" &&
            path.find(u".chain.crt") == std::u16string::npos && ReadFileBytes(path, pem)) {
            return pem;
        }
    }
    return {};
}

}  // namespace

bool ParseRenewalPolicy(const std::string& text, RenewalPolicy& policy) {
    try {
        if (text.empty())
            return false;
        if (text.back() == 'd') {
            size_t used = 0;
            const double days = std::stod(text.substr(0, text.size() - 1), &used);
            if (used + 1 != text.size() || !(days > 0))
                return false;
            policy = {0, days};
            return true;
        }
        const size_t slash = text.find('/');
        double fraction = 0;
        size_t used = 0;
        if (slash != std::string::npos) {
            size_t usedDen = 0;
            const double num = std::stod(text.substr(0, slash), &used);
            const double den = std::stod(text.substr(slash + 1), &usedDen);
            if (used != slash || slash + 1 + usedDen != text.size() || den == 0)
                return false;
            fraction = num / den;
        } else {
            fraction = std::stod(text, &used);
            if (used != text.size())
                return false;
        }
        if (!(fraction > 0 && fraction < 1))
            return false;
        policy = {fraction, 0};
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CertificateValidity(const std::string& pem, int64_t& notBefore, int64_t& notAfter) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    if (!certificate)
        return false;
    bool error = false;
    notBefore = quorp::AsnTimeToTime(X509_get0_notBefore(certificate.get()), error);
    notAfter = quorp::AsnTimeToTime(X509_get0_notAfter(certificate.get()), error);
    return !error && notAfter > notBefore;
}

bool RenewalDue(int64_t now, int64_t notBefore, int64_t notAfter, const RenewalPolicy& policy) {
    const double left = static_cast<double>(notAfter - now);
    if (policy.days > 0)
        return left < policy.days * 86400.0;
    return left < policy.fraction * static_cast<double>(notAfter - notBefore);
}

bool NextRenewal(const RenewalPolicy& policy, int64_t& due, int64_t& notAfter) {
    const std::vector<std::u16string> folders = DeploymentHistory(GetServiceDirectory()).Folders();
    std::u16string problem;
    const auto deployment =
        folders.empty() ? std::nullopt : DeploymentRecord::Load(folders.back(), problem);
    int64_t notBefore = 0;
    if (!deployment || deployment->phase != u"committed" ||
        !CertificateValidity(DeployedCertificate(*deployment), notBefore, notAfter)) {
        return false;
    }
    const double ahead = policy.days > 0
                             ? policy.days * 86400.0
                             : policy.fraction * static_cast<double>(notAfter - notBefore);
    due = notAfter - static_cast<int64_t>(ahead);
    return true;
}

std::string UtcTimeText(int64_t seconds) {
    if (seconds <= 0)
        return "unknown";
    const std::time_t t = static_cast<std::time_t>(seconds);
    const std::tm* tm = std::gmtime(&t);
    char text[32] = "unknown";
    if (tm)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", tm);
    return text;
}

const char* OutcomeName(RenewalPass::Outcome outcome) {
    switch (outcome) {
        case RenewalPass::Outcome::NothingDeployed:
            return "nothing deployed";
        case RenewalPass::Outcome::NotDue:
            return "not due";
        case RenewalPass::Outcome::DueDryRun:
            return "due (dry run)";
        case RenewalPass::Outcome::Renewed:
            return "renewed";
        case RenewalPass::Outcome::Failed:
            return "failed";
    }
    return "failed";
}

RenewalPass RenewIfDue(const RenewalOptions& options) {
    RenewalPass pass;
    DeploymentSettings settings;
    try {
        settings = ReadDeploymentSettings(DeploymentSettingsPath());
    } catch (const std::exception&) {
        pass.outcome = RenewalPass::Outcome::NothingDeployed;
        pass.detail = u"no deployment settings in " + DeploymentSettingsPath();
        return pass;
    }
    const std::vector<std::u16string> folders = DeploymentHistory(GetServiceDirectory()).Folders();
    std::u16string problem;
    const auto deployment =
        folders.empty() ? std::nullopt : DeploymentRecord::Load(folders.back(), problem);
    if (!deployment || deployment->phase != u"committed" || settings.sites.empty()) {
        pass.outcome = RenewalPass::Outcome::NothingDeployed;
        pass.detail = u"no deployment in force";
        return pass;
    }
    int64_t notBefore = 0;
    const std::string served = DeployedCertificate(*deployment);
    const bool known = CertificateValidity(served, notBefore, pass.notAfter);
    // A CA with renewal information says when; the policy is the fallback.
    std::optional<AcmeRenewalAdvice> advice;
    if (settings.centerIsAcme && known)
        advice = AskAcmeRenewalInfo(settings.centerUrl, settings.centerCaFile, served);
    bool due = options.force || !known;
    if (!due && advice) {
        due = NowSeconds() >= advice->renewAt;
        LogInfo(u"vantrel, the CA suggests renewing between %s and %s; this certificate at %s",
                WideFromUtf8(UtcTimeText(advice->windowStart)),
                WideFromUtf8(UtcTimeText(advice->windowEnd)),
                WideFromUtf8(UtcTimeText(advice->renewAt)));
    } else if (!due) {
        due = RenewalDue(NowSeconds(), notBefore, pass.notAfter, options.policy);
    }
    if (!due) {
        pass.outcome = RenewalPass::Outcome::NotDue;
        return pass;
    }
    if (options.dryRun) {
        pass.outcome = RenewalPass::Outcome::DueDryRun;
        return pass;
    }

    std::unique_ptr<SslCertSrvBase> engine = options.factory
                                                 ? options.factory(settings.webServerType)
                                                 : CreateDeployer(settings.webServerType);
    if (!engine) {
        pass.detail = MissingDeployerMessage(settings.webServerType);
        return pass;
    }
    try {
        engine->SetDeferPollInterval(options.deferPollMs);
        if (!settings.centerCaFile.empty())
            engine->SetCertCenterCaFile(settings.centerCaFile);
        if (settings.centerIsAcme) {
            AcmeSource source = MakeAcmeSource(settings.centerUrl, settings.acmeTermsAgreed);
            if (advice)
                source.replacesCertId = advice->certId;
            engine->SetAcmeSource(std::move(source));
        }
        engine->Initialize(settings.centerUrl, settings.httpPort, settings.httpsPort);
        std::vector<std::u16string> names;
        engine->GetSitesInfo(names);
        engine->RenewCertificate(settings.sites, settings.certType);
        pass.outcome = RenewalPass::Outcome::Renewed;
        pass.detail = std::u16string(result::kSucceed);
        settings.certExpireTime = ExpiryOf(*engine);
        int64_t renewedBefore = 0;
        CertificateValidity(engine->certPem(), renewedBefore, pass.notAfter);
        try {
            SaveDeploymentSettings(DeploymentSettingsPath(), settings);
        } catch (const std::exception& e) {
            LogWarn(u"vantrel, the new expiry is not saved: %s", ResultTextOf(e));
        }
    } catch (const std::exception& e) {
        pass.outcome = RenewalPass::Outcome::Failed;
        pass.detail = ResultTextOf(e);
    }
    for (const auto& note : engine->TakeUserNotes())
        LogInfo(u"vantrel: %s", note);
    return pass;
}

int RunRenewalLoop(const ServiceLoopOptions& options) {
    std::mt19937_64 random(std::random_device{}());
    int64_t retryMs = options.firstRetryMs;
    while (!InterruptRequested()) {
        const RenewalPass pass = RenewIfDue(options.renewal);
        LogInfo(u"vantrel, check: %s%s%s", WideFromUtf8(OutcomeName(pass.outcome)),
                pass.detail.empty() ? u"" : u": ", pass.detail);
        int64_t waitMs = options.checkIntervalMs;
        if (pass.outcome == RenewalPass::Outcome::Failed) {
            waitMs = std::min(retryMs, options.checkIntervalMs);
            retryMs = std::min(retryMs * 2, options.checkIntervalMs);
        } else {
            retryMs = options.firstRetryMs;
            std::uniform_real_distribution<double> spread(-options.jitter, options.jitter);
            waitMs = static_cast<int64_t>(
                std::llround(static_cast<double>(waitMs) * (1.0 + spread(random))));
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!InterruptRequested() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    LogInfo(u"vantrel, %s: stopping", InterruptName());
    return 0;
}

}  // namespace qm
