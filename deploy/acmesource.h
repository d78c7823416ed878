// How a deployment obtains its certificate from an ACME CA instead of the
// enrollment center: the engine's center address is then the CA's
// directory URL, and these are the rest of what the ACME client needs.
#pragma once

#include <string>

namespace qm {

struct AcmeSource {
    bool enabled = false;
    // The account key's folder (owner-only), one per CA.
    std::u16string accountDir;
    // A new account key is RSA-2048 (RS256) instead of P-256 (ES256); an
    // existing key is used as it is.
    bool rsaAccountKey = false;
    // The operator agreed to the CA's terms of service; never assumed.
    bool agreeToTerms = false;
    // External account binding, needed by some CAs for a new account only.
    std::string eabKid;
    std::string eabHmacKey;
    // For a renewal: the renewal-information identifier of the certificate
    // being replaced (empty: none, or the CA offers no renewal information).
    std::string replacesCertId;
};

}  // namespace qm
