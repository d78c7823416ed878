// The renewal service's work: whether the deployed certificate is due (from
// what the web server serves, else from the deployed file), one renewal
// pass, and the service loop with its check interval, jitter and backoff.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qm {

class SslCertSrvBase;

// When a certificate is due: less than `fraction` of its lifetime left, or,
// when `days` is set, less than that many days.
struct RenewalPolicy {
    double fraction = 1.0 / 3.0;
    double days = 0;
};

// "1/3", "0.25" (of the lifetime) or "30d" (days); false when malformed.
bool ParseRenewalPolicy(const std::string& text, RenewalPolicy& policy);

// The validity of the first certificate of a PEM text, in seconds since
// 1970; false when there is none.
bool CertificateValidity(const std::string& pem, int64_t& notBefore, int64_t& notAfter);

// Whether a certificate valid from `notBefore` to `notAfter` is due at `now`.
bool RenewalDue(int64_t now, int64_t notBefore, int64_t notAfter, const RenewalPolicy& policy);

// When the certificate of the deployment in force is due under `policy`
// (seconds since 1970), and when it expires; false when nothing is deployed
// or its certificate cannot be read.
bool NextRenewal(const RenewalPolicy& policy, int64_t& due, int64_t& notAfter);

struct RenewalOptions {
    bool force = false;
    bool dryRun = false;
    RenewalPolicy policy;
    int32_t deferPollMs = 15000;
    // Makes the deployer for a server type (the program's own by default).
    std::function<std::unique_ptr<SslCertSrvBase>(int32_t type)> factory;
};

struct RenewalPass {
    enum class Outcome { NothingDeployed, NotDue, DueDryRun, Renewed, Failed };
    Outcome outcome = Outcome::Failed;
    std::u16string detail;  // the result text, or what was found
    int64_t notAfter = 0;   // of the certificate served (or renewed), 0 when unknown
};

// One pass: reads the deployment settings and the deployment in force,
// looks at the certificate served, and renews it when due (or forced).
RenewalPass RenewIfDue(const RenewalOptions& options);

struct ServiceLoopOptions {
    RenewalOptions renewal;
    int64_t checkIntervalMs = 12LL * 3600 * 1000;
    double jitter = 0.1;  // a random share of the interval added or taken away
    // Retries after a failure start here and double, up to the interval.
    int64_t firstRetryMs = 60 * 1000;
};

// Runs passes until an interrupt (SIGTERM, SIGINT) arrives; returns 0.
int RunRenewalLoop(const ServiceLoopOptions& options);

const char* OutcomeName(RenewalPass::Outcome outcome);
// "2026-12-09 17:30:00 UTC" for seconds since 1970; "unknown" for 0.
std::string UtcTimeText(int64_t seconds);

}  // namespace qm
