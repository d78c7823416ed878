// AcmeClient: certificates from an ACME CA (RFC 8555) such as Let's Encrypt
// or ZeroSSL, proven with http-01. The caller brings the names, its own CSR
// and a responder that puts the challenge files where the sites serve
// /.well-known/acme-challenge/; the client brings the account, the order,
// the validation, the finalization and the download.
//
//     AcmeOptions options;
//     options.directoryUrl = "https://acme-v02.api.letsencrypt.org/directory";
//     options.accountDir = programDir + u"Acme/letsencrypt";
//     options.agreeToTerms = userAgreed;  // never assumed
//     AcmeClient client(options);
//     Http01Responder files{
//         [&](auto& name, auto& token, auto& keyAuthorization) {
//             WriteFileAtomic(DocumentRoot(name) + u"/.well-known/acme-challenge/" + token,
//                             keyAuthorization, FilePrivacy::ReadableByAll);
//         },
//         [&](auto& name, auto& token) { DeleteFile(...); }};
//     IssuedChain issued = client.Obtain({"shop.example.com"}, csrPem, files);
//     const CertificateChain& chain = PreferredChain(issued, "ISRG Root X1");
//
// Every failure throws AcmeError; one refused by the CA carries its problem
// document, a failed validation the CA's own account of what it fetched.
// One client serves one thread at a time.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acme/acmeerror.h"
#include "acme/certchain.h"
#include "acme/jws.h"
#include "acme/renewalinfo.h"

namespace qm::acme {

class AcmeSession;

struct AcmeOptions {
    std::string directoryUrl;  // https only
    std::u16string caFile;     // extra trust anchor (PEM) for the CA's API; empty: system's only
    // Holds the account key (account.key, owner-only PEM); made when missing.
    // One folder per CA: an account belongs to one CA.
    std::u16string accountDir;
    KeyKind accountKey = KeyKind::Ec;  // for a key made now; an existing key is used as it is
    // Sent as termsOfServiceAgreed only when true: agreeing is the user's act.
    bool agreeToTerms = false;
    std::vector<std::string> contacts;  // "mailto:admin@example.com"
    // External account binding (ZeroSSL, Google, ...): key ID and base64url HMAC key.
    std::string eabKid;
    std::string eabHmacKey;
    // The longest the whole of an Obtain waits for the CA (validation, issuance).
    std::chrono::seconds maxWait{300};
    // Fresh-nonce retries of one request after urn:ietf:params:acme:error:badNonce.
    int badNonceRetries = 5;
    // Asked between polls and during transfers; empty: the process's
    // interrupt request (Ctrl+C).
    std::function<bool()> stopRequested;
};

// http-01 (RFC 8555 §8.3): `place` must make
// http://NAME/.well-known/acme-challenge/TOKEN answer keyAuthorization; every
// file placed (or attempted) is handed to `remove` afterwards, on success
// and failure alike. `remove` must tolerate a file that is not there.
struct Http01Responder {
    std::function<void(const std::string& name, const std::string& token,
                       const std::string& keyAuthorization)>
        place;
    std::function<void(const std::string& name, const std::string& token)> remove;
};

// What the client did, for logs and tests.
struct AcmeStats {
    int signedRequests = 0;
    int badNonceRetries = 0;
    int busyRetries = 0;           // requests asked again after 503 or a short rateLimited
    int challengesAnswered = 0;    // challenges this client asked the CA to validate
    int authorizationsReused = 0;  // authorizations already valid when the order came
    bool accountCreated = false;   // newAccount made a new account (not found an existing one)
};

// Whether `url` answers a GET with an ACME directory (newNonce, newAccount
// and newOrder); false for anything else, an unreachable address included.
bool IsAcmeDirectory(const std::string& url, const std::u16string& caFile);

class AcmeClient {
public:
    static constexpr char16_t kAccountKeyFile[] = u"account.key";

    explicit AcmeClient(AcmeOptions options);
    ~AcmeClient();
    AcmeClient(const AcmeClient&) = delete;
    AcmeClient& operator=(const AcmeClient&) = delete;

    // A certificate for `names` (DNS names, the first one usually the CSR's
    // subject) from `csr` (PEM or DER; its key stays with the caller).
    // `replacesCertId` (AriCertId of the certificate being renewed) tells a
    // CA with renewal information which certificate this one replaces; it is
    // left out for CAs without it.
    IssuedChain Obtain(const std::vector<std::string>& names, std::string_view csr,
                       const Http01Responder& responder, const std::string& replacesCertId = {});

    // The CA's suggested renewal window for a certificate it issued; empty
    // when the CA offers no renewal information (no "renewalInfo" in its
    // directory) or does not know the certificate.
    std::optional<RenewalWindow> RenewalInfo(std::string_view certificate);

    // The account URL, after finding or registering the account.
    const std::string& AccountUrl();
    // The CA's terms of service (directory meta), to show before agreeing;
    // empty when it names none.
    std::string TermsOfService();
    // Whether the CA requires external account binding.
    bool ExternalAccountRequired();

    const AcmeStats& Stats() const;

private:
    std::unique_ptr<AcmeSession> session_;
};

}  // namespace qm::acme
