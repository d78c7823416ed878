// ACME Renewal Information (RFC 9773): the identifier a CA knows a
// certificate by (certID) and the renewal window the CA suggests for it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace qm::acme {

struct RenewalWindow {
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::string explanationUrl;                      // empty when the CA gave none
    std::optional<std::chrono::seconds> retryAfter;  // when to ask again, if the CA said

    // A moment drawn uniformly from [start, end): renewals of many hosts
    // spread over the window instead of arriving together (RFC 9773 §4.2).
    std::chrono::system_clock::time_point RandomTimeWithin() const;
};

// base64url(keyIdentifier of the Authority Key Identifier) "." base64url(the
// serial number's DER content octets) (RFC 9773 §4.1). The certificate is
// PEM or DER. Throws AcmeError (Local) when it cannot be read or has no
// authority key identifier.
std::string AriCertId(std::string_view certificate);

// The renewalInfo answer: {"suggestedWindow":{"start":..,"end":..},
// "explanationURL":..}. Empty when malformed or when end is not after start.
std::optional<RenewalWindow> ParseRenewalInfo(std::string_view body);

// RFC 3339 date-time ("2025-01-02T03:04:05Z", fractions and offsets too).
bool ParseRfc3339(std::string_view text, std::chrono::system_clock::time_point& time);

}  // namespace qm::acme
