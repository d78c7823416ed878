#include "acme/acmeclient.h"

#include <algorithm>
#include <thread>

#include "acme/acmesession.h"
#include "foundation/filelock.h"
#include "foundation/files.h"
#include "foundation/interrupts.h"
#include "foundation/paths.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm::acme {

namespace {

using std::chrono::milliseconds;

constexpr char kJoseJson[] = "application/jose+json";
// Answers of a busy CA (503, rateLimited with a short Retry-After) asked
// again per request, and the longest wait taken for one.
constexpr int kBusyRetries = 3;
constexpr std::chrono::seconds kLongestBusyWait{60};
// How long a process waits for another one making the account key.
constexpr std::chrono::seconds kAccountLockWait{30};

std::string StringAt(const Json::Value& object, const char* name) {
    if (!object.isObject())
        return {};
    const Json::Value& value = object[name];
    return value.isString() ? value.asString() : std::string();
}

bool IsBase64UrlText(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// Without a stop request of its own, the client stops on Ctrl+C.
AcmeOptions WithDefaults(AcmeOptions options) {
    if (!options.stopRequested)
        options.stopRequested = InterruptRequested;
    return options;
}

}  // namespace

AcmeSession::AcmeSession(AcmeOptions options)
    : options_(WithDefaults(std::move(options))), http_(options_.caFile, options_.stopRequested) {
    if (!options_.directoryUrl.starts_with("https://"))
        throw AcmeError(AcmeError::Cause::Local,
                        "the ACME directory must be an https URL: " + options_.directoryUrl);
    quorp::PrepareLibrary();
}

bool AcmeSession::StopRequested() const {
    return options_.stopRequested();
}

const AcmeDirectory& AcmeSession::Directory() {
    if (directory_)
        return *directory_;
    const HttpResponse response = http_.Get(options_.directoryUrl, "application/json");
    if (response.status != 200) {
        Json::Value problem;
        ParseJson(response.body, problem);
        throw AcmeError::FromProblem(problem, static_cast<int>(response.status),
                                     "directory " + options_.directoryUrl);
    }
    const Json::Value object = ObjectOf(response, "directory");
    AcmeDirectory directory;
    directory.newNonce = StringAt(object, "newNonce");
    directory.newAccount = StringAt(object, "newAccount");
    directory.newOrder = StringAt(object, "newOrder");
    directory.renewalInfo = StringAt(object, "renewalInfo");
    directory.termsOfService = StringAt(object["meta"], "termsOfService");
    directory.externalAccountRequired = object["meta"].isObject() &&
                                        object["meta"]["externalAccountRequired"].isBool() &&
                                        object["meta"]["externalAccountRequired"].asBool();
    if (directory.newNonce.empty() || directory.newAccount.empty() || directory.newOrder.empty())
        throw AcmeError(AcmeError::Cause::Protocol, "the directory at " + options_.directoryUrl +
                                                        " lacks newNonce, newAccount or newOrder");
    directory_ = std::move(directory);
    return *directory_;
}

void AcmeSession::KeepNonce(const HttpResponse& response) {
    // A nonce is base64url (RFC 8555 §6.5.1); anything else is not one.
    const std::string nonce = response.Header("replay-nonce");
    if (IsBase64UrlText(nonce))
        nonce_ = nonce;
}

std::string AcmeSession::TakeNonce() {
    if (nonce_.empty()) {
        const HttpResponse response = http_.Head(Directory().newNonce);
        KeepNonce(response);
        if (nonce_.empty())
            throw AcmeError(AcmeError::Cause::Protocol, "newNonce answered HTTP " +
                                                            std::to_string(response.status) +
                                                            " without a Replay-Nonce");
    }
    return std::exchange(nonce_, std::string());
}

Json::Value AcmeSession::ObjectOf(const HttpResponse& response, std::string_view context) {
    Json::Value object;
    if (!ParseJson(response.body, object) || !object.isObject())
        throw AcmeError(AcmeError::Cause::Protocol,
                        std::string(context) + ": the CA's answer (HTTP " +
                            std::to_string(response.status) + ") is not a JSON object");
    return object;
}

HttpResponse AcmeSession::SignedPost(const std::string& url, const std::string& payload,
                                     std::string_view context, bool withJwk,
                                     const std::string& accept) {
    if (!key_ || (!withJwk && kid_.empty()))
        throw AcmeError(AcmeError::Cause::Local, "no ACME account for " + std::string(context));
    int busyRetries = 0;
    for (int attempt = 0;; ++attempt) {
        const std::string nonce = TakeNonce();
        const std::string body =
            AcmeJws(key_.get(), JwsHeader{nonce, url, withJwk ? std::string() : kid_}, payload);
        ++stats_.signedRequests;
        HttpResponse response = http_.Post(url, body, kJoseJson, accept);
        KeepNonce(response);
        if (response.status < 400)
            return response;
        Json::Value problem;
        ParseJson(response.body, problem);
        AcmeError error =
            AcmeError::FromProblem(problem, static_cast<int>(response.status), context);
        // The CA refused the nonce, not the request: the answer carries a
        // fresh one (else newNonce gives one) and the request goes again.
        if (error.Is("badNonce") && attempt < options_.badNonceRetries) {
            ++stats_.badNonceRetries;
            LogTrace("ACME: %s: nonce refused, retrying", std::string(context));
            continue;
        }
        // A CA that is busy, or limits this account for a little while, is
        // asked again after the wait it names; a longer limit is the
        // operator's to know about, not to sit through.
        if ((response.status == 503 || error.Is("rateLimited")) && busyRetries < kBusyRetries) {
            const auto after = RetryAfter(response, std::chrono::system_clock::now());
            const std::chrono::seconds wait =
                after ? *after : std::chrono::seconds(response.status == 503 ? 2 : 0);
            if (wait <= kLongestBusyWait && (after || response.status == 503)) {
                ++busyRetries;
                ++stats_.busyRetries;
                LogInfo("ACME: %s: %s, asking again in %lld s", std::string(context), error.what(),
                        static_cast<long long>(wait.count()));
                Pause(std::chrono::duration_cast<milliseconds>(wait),
                      Clock::now() + wait + std::chrono::seconds(1), context);
                continue;
            }
        }
        throw error;
    }
}

Json::Value AcmeSession::Fetch(const std::string& url, std::string_view context,
                               HttpResponse* raw) {
    HttpResponse response = SignedPost(url, std::string(), context);
    Json::Value object = ObjectOf(response, context);
    if (raw != nullptr)
        *raw = std::move(response);
    return object;
}

void AcmeSession::Pause(milliseconds delay, Clock::time_point deadline,
                        std::string_view waitingFor) {
    if (StopRequested())
        throw AcmeError(AcmeError::Cause::Stopped, "stopped on request");
    const auto now = Clock::now();
    if (now >= deadline)
        throw AcmeError(AcmeError::Cause::Timeout,
                        "the CA did not finish " + std::string(waitingFor) + " within " +
                            std::to_string(options_.maxWait.count()) + " s");
    const auto until = std::min(now + delay, deadline);
    // Short slices: a stop request ends the wait promptly.
    while (Clock::now() < until) {
        if (StopRequested())
            throw AcmeError(AcmeError::Cause::Stopped, "stopped on request");
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
        std::this_thread::sleep_for(std::clamp(left, milliseconds(1), milliseconds(50)));
    }
}

void AcmeSession::LoadOrCreateKey(bool& existed) {
    if (options_.accountDir.empty())
        throw AcmeError(AcmeError::Cause::Local, "no folder for the ACME account key");
    std::u16string path = options_.accountDir;
    EnsureTrailingSeparator(path);
    path += AcmeClient::kAccountKeyFile;
    existed = FileExists(path);
    if (existed) {
        std::string pem;
        if (!ReadFileBytes(path, pem) || !(key_ = PrivateKeyFromPem(pem)) ||
            JwsAlgorithm(key_.get()).empty())
            throw AcmeError(AcmeError::Cause::Local,
                            "the ACME account key " + Utf8FromWide(path) +
                                " cannot be read, or is neither P-256 nor RSA");
    } else {
        CreateKey(path, existed);
    }
    jwk_ = PublicJwk(key_.get());
}

void AcmeSession::CreateKey(const std::u16string& path, bool& existed) {
    if (!MakeDirectoryTree(options_.accountDir, FilePrivacy::OwnerOnly))
        throw AcmeError(AcmeError::Cause::Local,
                        "cannot make the ACME account folder " + Utf8FromWide(options_.accountDir));
    // Two processes making the first account of a CA at once (a deployment
    // and the renewal service) would each register a key of their own and
    // one would overwrite the other's: the second waits, then takes the
    // first one's key.
    FileLock lock;
    std::u16string lockPath = options_.accountDir;
    EnsureTrailingSeparator(lockPath);
    lockPath += u"account.lock";
    const auto deadline = Clock::now() + kAccountLockWait;
    for (std::u16string holder;
         !lock.TryAcquire(lockPath, u"making the ACME account key", holder);) {
        if (!lock.HeldByAnother())
            throw AcmeError(AcmeError::Cause::Local,
                            "cannot lock " + Utf8FromWide(lockPath) + ": " + Utf8FromWide(holder));
        Pause(milliseconds(100), deadline, "the account key another process is making");
    }
    std::string pem;
    if (FileExists(path) && ReadFileBytes(path, pem) && (key_ = PrivateKeyFromPem(pem)) &&
        !JwsAlgorithm(key_.get()).empty()) {
        existed = true;
        return;
    }
    key_ = GenerateAccountKey(options_.accountKey);
    // Written before the account exists: a key the CA knows is never lost.
    if (!WriteFileAtomic(path, PrivateKeyPem(key_.get()), FilePrivacy::OwnerOnly))
        throw AcmeError(AcmeError::Cause::Local,
                        "cannot write the ACME account key " + Utf8FromWide(path));
    LogInfo("ACME: new %s account key %s", JwsAlgorithm(key_.get()), Utf8FromWide(path));
}

bool AcmeSession::FindExistingAccount() {
    Json::Value payload(Json::objectValue);
    payload["onlyReturnExisting"] = true;
    try {
        const HttpResponse response =
            SignedPost(Directory().newAccount, CompactJson(payload), "account lookup", true);
        kid_ = response.Header("location");
        if (kid_.empty())
            throw AcmeError(AcmeError::Cause::Protocol, "the CA named no account URL");
        const std::string status = StringAt(ObjectOf(response, "account lookup"), "status");
        if (!status.empty() && status != "valid") {
            kid_.clear();
            throw AcmeError(AcmeError::Cause::Server, "the ACME account is " + status);
        }
        return true;
    } catch (const AcmeError& error) {
        if (error.Is("accountDoesNotExist"))
            return false;
        throw;
    }
}

void AcmeSession::RegisterAccount() {
    const AcmeDirectory& directory = Directory();
    Json::Value payload(Json::objectValue);
    if (options_.agreeToTerms)
        payload["termsOfServiceAgreed"] = true;
    if (!options_.contacts.empty()) {
        Json::Value contacts(Json::arrayValue);
        for (const std::string& contact : options_.contacts)
            contacts.append(contact);
        payload["contact"] = contacts;
    }
    if (!options_.eabKid.empty() || !options_.eabHmacKey.empty())
        payload["externalAccountBinding"] = ExternalAccountBinding(
            jwk_, options_.eabKid, options_.eabHmacKey, directory.newAccount);
    else if (directory.externalAccountRequired)
        throw AcmeError(AcmeError::Cause::Local,
                        "the CA requires external account binding: its key ID and HMAC key "
                        "are needed");
    std::string context = "newAccount";
    if (!options_.agreeToTerms && !directory.termsOfService.empty())
        context += " (the terms of service " + directory.termsOfService + " were not agreed to)";
    const HttpResponse response =
        SignedPost(directory.newAccount, CompactJson(payload), context, true);
    kid_ = response.Header("location");
    if (kid_.empty())
        throw AcmeError(AcmeError::Cause::Protocol, "newAccount: the CA named no account URL");
    stats_.accountCreated = response.status == 201;
    LogInfo("ACME: account %s %s", kid_, stats_.accountCreated ? "created" : "found");
}

void AcmeSession::EnsureAccount() {
    if (!kid_.empty())
        return;
    bool existed = false;
    LoadOrCreateKey(existed);
    // A known key first asks for its account, so that no second one is made.
    if (existed && FindExistingAccount())
        return;
    RegisterAccount();
}

AcmeClient::AcmeClient(AcmeOptions options)
    : session_(std::make_unique<AcmeSession>(std::move(options))) {}

AcmeClient::~AcmeClient() = default;

const AcmeStats& AcmeClient::Stats() const {
    return session_->stats();
}

const std::string& AcmeClient::AccountUrl() {
    session_->EnsureAccount();
    return session_->accountUrl();
}

std::string AcmeClient::TermsOfService() {
    return session_->Directory().termsOfService;
}

bool AcmeClient::ExternalAccountRequired() {
    return session_->Directory().externalAccountRequired;
}

std::optional<RenewalWindow> AcmeClient::RenewalInfo(std::string_view certificate) {
    const std::string base = session_->Directory().renewalInfo;
    if (base.empty())
        return std::nullopt;
    const std::string url = base + (base.ends_with('/') ? "" : "/") + AriCertId(certificate);
    // Renewal information is public: a plain GET, no account needed.
    const HttpResponse response = session_->http().Get(url, "application/json");
    if (response.status == 404)
        return std::nullopt;
    if (response.status >= 400) {
        Json::Value problem;
        ParseJson(response.body, problem);
        throw AcmeError::FromProblem(problem, static_cast<int>(response.status), "renewalInfo");
    }
    std::optional<RenewalWindow> window = ParseRenewalInfo(response.body);
    if (!window)
        throw AcmeError(AcmeError::Cause::Protocol,
                        "renewalInfo: the CA's answer holds no readable suggested window");
    window->retryAfter = RetryAfter(response, std::chrono::system_clock::now());
    return window;
}

bool IsAcmeDirectory(const std::string& url, const std::u16string& caFile) {
    if (!url.starts_with("https://"))
        return false;
    try {
        const HttpTransport http(caFile, InterruptRequested);
        const HttpResponse response = http.Get(url, "application/json");
        Json::Value object;
        return response.status == 200 && ParseJson(response.body, object) &&
               !StringAt(object, "newNonce").empty() && !StringAt(object, "newAccount").empty() &&
               !StringAt(object, "newOrder").empty();
    } catch (const AcmeError& e) {
        LogInfo("%s is not an ACME directory: %s", url, e.what());
        return false;
    }
}

}  // namespace qm::acme
