// A minimal client of the enrollment protocol for the center's own tests:
// an RSA client key, "encrypt" signatures laid out as the real client lays
// them out (Base64, a line feed after every 64 characters, none at the end),
// certificate requests, and the four request messages.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "certcenter/crypto.h"

namespace qm::certcenter::test {

class TestClient {
public:
    TestClient();  // a fresh RSA 2048 key

    const std::string& publicKeyPem() const { return publicKeyPem_; }
    std::string Sign(const std::string& text) const;

    // A CSR for `key` (default: one RSA 2048 key shared by all calls), signed with `digest`.
    static std::string MakeCsr(const std::string& commonName, const EVP_MD* digest = EVP_sha1(),
                               EVP_PKEY* key = nullptr);

    static std::string Challenge(const std::vector<std::string>& identifiers);
    std::string Authorization(const std::string& sessionId, const std::string& nonce,
                              const std::vector<std::string>& verifyRes) const;
    std::string CertificateRequest(const std::string& csr, unsigned templateId = 1) const;
    std::string StatusRequest(const std::string& token, unsigned templateId = 1) const;

    EVP_PKEY* key() const { return key_.get(); }

private:
    PKey key_;
    std::string publicKeyPem_;
};

// Parses an answer; a null value when it is not JSON.
Json::Value ParseAnswer(const std::string& text);
// Names (DNS) in the subjectAltName of a PEM certificate, in order.
std::vector<std::string> SubjectAltNames(const std::string& certificatePem);
std::string CommonName(const std::string& certificatePem);

}  // namespace qm::certcenter::test
