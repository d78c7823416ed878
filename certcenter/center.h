// The center side of the enrollment protocol, free of any transport: one
// JSON request text in, one JSON answer out. The HTTPS server (server.h)
// feeds it; the unit tests call it directly.
//
// Answers:
//   challengeRequest      {"type":"challenge","sessionID":..,"nonce":..}
//   authorizationRequest  {"type":"authorization","status":"valid"}
//   certificateRequest,
//   statusRequest         {"type":"certificate","certificate":PEM,"chain":[CA PEM]}
//                         or {"type":"defer","token":..}
//   any failure           {"type":"error","error":CODE,"message":TEXT}
// Error codes: "highFrequency", "unknown" (session or nonce not known),
// "publicKeyIllegal" (key or deferred request not known), "badRequest",
// "badPublicKey", "badSignature", "verifyFailed", "badCsr", "internal", and
// whatever a fault rule names.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "certcenter/authority.h"
#include "certcenter/center_state.h"
#include "certcenter/options.h"
#include "certcenter/ratelimit.h"

namespace qm::certcenter {

// Where a site holds its verification file: the only path the center fetches.
inline constexpr std::string_view kVerificationPath = "/auth/auth.txt";

// One request of a verification fetch: the first URL, then each redirect.
struct FetchHop {
    std::string url;
    std::string address;  // the address connected to; empty when no connection was made
    int status = 0;       // HTTP status; 0 when no answer was read
};

struct FetchResult {
    bool ok = false;
    std::string body;
    std::string problem;         // why it failed
    std::vector<FetchHop> hops;  // every request made, in order
};
// Fetches one verification URL (already checked to be exactly the site's
// verification file on a challenged name and an allowed port).
using VerificationFetcher = std::function<FetchResult(const std::string& url)>;

struct CenterSettings {
    long validitySeconds = 90L * 24 * 60 * 60;
    bool defer = false;
    int autoApproveAfter = -1;
    size_t maxNames = 100;
    FaultRule failChallenge, failAuthorization, failCertificate, failStatus;

    bool allowLocal = false;  // certify local and reserved names
    PortSet allowedPorts{80, 443};
    Lifetimes lifetimes;
    int requestsPerAddress = 300;  // per minute; 0: no limit
    int requestsPerKey = 120;
    // Seconds since 1970; the system clock when empty (tests set their own).
    std::function<int64_t()> clock;

    static CenterSettings From(const ServeOptions& options);
};

struct Reply {
    int status = 200;  // HTTP status
    std::string requestType;
    Json::Value answer;   // the JSON object sent back
    Json::Value details;  // for the request log: "sessionID", "token", "names"

    std::string outcome() const { return answer.get("type", "").asString(); }
};

// The text form of an answer or log line: compact, one line.
std::string CompactJson(const Json::Value& value);

// Lower case, at most 253 characters, labels of 1 to 63 letters, digits and
// inner hyphens, not ending in an all-digit label (that would be an address).
bool IsValidDnsName(const std::string& name);

// The verification file's text as compared: CR LF read as LF, trailing line
// breaks dropped.
std::string NormalizeVerificationText(std::string_view text);

class CertCenter {
public:
    // Requests larger than this are refused before they reach Handle.
    static constexpr size_t kMaxRequestBytes = 1024 * 1024;

    CertCenter(CenterSettings settings, const CertificateAuthority& authority, CenterState& state,
               VerificationFetcher fetcher);

    // Thread-safe; never throws. `peerAddress` is the client's address (for
    // the per-address limits).
    Reply Handle(std::string_view requestText, const std::string& peerAddress = {});

private:
    void Challenge(const Json::Value& request, Reply& reply);
    void Authorize(const Json::Value& request, Reply& reply);
    void RequestCertificate(const Json::Value& request, Reply& reply);
    void Status(const Json::Value& request, Reply& reply);

    bool InjectFault(FaultRule& rule, Reply& reply);
    int64_t Now() const;
    void AdmitKey(const std::string& keyId);
    // Forgets what expired and writes the state; call with mutex_ held.
    void SaveState();
    std::vector<FetchResult> FetchAll(const std::vector<std::string>& urls);
    Json::Value CertificateAnswer(const std::string& certificate) const;

    CenterSettings settings_;
    const CertificateAuthority& authority_;
    CenterState& state_;
    VerificationFetcher fetcher_;
    RateLimiter byAddress_;
    RateLimiter byKey_;
    // Guards settings_ (fault counters) and state_. Signature checks and
    // verification fetches run outside it.
    std::mutex mutex_;
};

int64_t NowSeconds();
std::string UtcTimeText(int64_t seconds);  // "YYYY-MM-DDThh:mm:ssZ"

}  // namespace qm::certcenter
