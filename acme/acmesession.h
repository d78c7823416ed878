// Inside AcmeClient (not for other modules): the CA's directory, the nonce
// pool of one, the account key and URL, JWS-signed requests with their
// badNonce retries, and polling that honours Retry-After within a deadline.
#pragma once

#include <json/value.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "acme/acmeclient.h"
#include "acme/acmehttp.h"

namespace qm::acme {

struct AcmeDirectory {
    std::string newNonce;
    std::string newAccount;
    std::string newOrder;
    std::string renewalInfo;  // empty: no renewal information
    std::string termsOfService;
    bool externalAccountRequired = false;
};

class AcmeSession {
public:
    using Clock = std::chrono::steady_clock;

    explicit AcmeSession(AcmeOptions options);

    const AcmeOptions& options() const { return options_; }
    AcmeStats& stats() { return stats_; }
    const HttpTransport& http() const { return http_; }

    const AcmeDirectory& Directory();
    void EnsureAccount();
    const std::string& accountUrl() const { return kid_; }
    const Json::Value& jwk() const { return jwk_; }

    // A JWS POST of `payload` (empty: POST-as-GET) under the account's kid
    // (or the JWK for newAccount). Error answers throw AcmeError from their
    // problem document, with `context` leading the message; badNonce is
    // retried with a fresh nonce up to options().badNonceRetries times.
    HttpResponse SignedPost(const std::string& url, const std::string& payload,
                            std::string_view context, bool withJwk = false,
                            const std::string& accept = {});
    // The JSON object of an answer; throws AcmeError (Protocol) otherwise.
    static Json::Value ObjectOf(const HttpResponse& response, std::string_view context);
    // POST-as-GET of a resource that is a JSON object.
    Json::Value Fetch(const std::string& url, std::string_view context,
                      HttpResponse* raw = nullptr);

    bool StopRequested() const;
    // Sleeps `delay` (cut to the deadline), checking for a stop request.
    // Throws Timeout when the deadline has passed, Stopped on request.
    void Pause(std::chrono::milliseconds delay, Clock::time_point deadline,
               std::string_view waitingFor);

private:
    std::string TakeNonce();
    void KeepNonce(const HttpResponse& response);
    void LoadOrCreateKey(bool& existed);
    // Makes the key under a lock, or takes the one another process made.
    void CreateKey(const std::u16string& path, bool& existed);
    bool FindExistingAccount();
    void RegisterAccount();

    AcmeOptions options_;
    HttpTransport http_;
    std::optional<AcmeDirectory> directory_;
    EvpPkeyPtr key_;
    Json::Value jwk_;
    std::string kid_;
    std::string nonce_;
    AcmeStats stats_;
};

}  // namespace qm::acme
