// The ACME certificate source as the program sets it up: where an account
// lives for a CA, the source a deployment or renewal hands the engine, and
// what the CA's renewal information (RFC 9773) says of the certificate in
// force.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "deploy/acmesource.h"

namespace qm {

// The service directory's "Acme/HOST-HASH/": one account per CA directory
// URL, shared by deployments and the renewal service.
std::u16string AcmeAccountDirectory(std::u16string_view directoryUrl);

// The source for a CA's directory URL; the account in AcmeAccountDirectory.
AcmeSource MakeAcmeSource(std::u16string_view directoryUrl, bool agreeToTerms,
                          std::string eabKid = {}, std::string eabHmacKey = {});

// Whether a certificate center's address may be an ACME directory: an
// https URL with a path (/directory, /dir, /v2/DV90...); the enrollment
// center's address has none, and is never asked.
bool MayBeAcmeDirectory(std::u16string_view url);
// MayBeAcmeDirectory, and the address answers as an ACME directory.
bool IsAcmeCenter(std::u16string_view url, const std::u16string& caFile);

struct AcmeRenewalAdvice {
    std::string certId;   // the served certificate's renewal-information ID
    int64_t renewAt = 0;  // seconds since 1970: the moment picked in the window
    int64_t windowStart = 0;
    int64_t windowEnd = 0;
};

// Asks the CA when `certificatePem` should be renewed. Empty when the CA
// offers no renewal information, does not know the certificate, or cannot
// be asked (the caller then falls back to its own policy). The moment
// within the suggested window is fixed per certificate, so that repeated
// checks do not drift towards the window's start.
std::optional<AcmeRenewalAdvice> AskAcmeRenewalInfo(std::u16string_view directoryUrl,
                                                    const std::u16string& caFile,
                                                    const std::string& certificatePem);

// The moment within [start, end) for a certificate ID: a fraction of the
// window taken from the ID's digest.
int64_t RenewalMomentWithin(int64_t start, int64_t end, const std::string& certId);

}  // namespace qm
