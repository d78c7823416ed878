// Certificates and keys for the ACME tests: a few lines of OpenSSL for CAs,
// cross-signed intermediates and leaves, and keys made from JWK members (the
// RFC examples) to sign and verify with.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/tests/tls_test_server.h"

namespace qm::acme::test {

EvpPkeyPtr NewEcKey();

struct CertFields {
    std::string commonName;
    X509* issuer = nullptr;  // null: self-signed
    EVP_PKEY* issuerKey = nullptr;
    bool ca = false;
    std::vector<std::string> dnsNames;
    std::string serialHex = "1000";  // positive, big-endian hex
    std::string subjectKeyId;        // raw bytes; empty: none
    std::string authorityKeyId;      // raw bytes; empty: none
};
X509Ptr MakeCert(EVP_PKEY* subjectKey, const CertFields& fields);
// The enrollment tests' PEM writer.
using qm::test::PemOf;

// A CSR (PEM) for the names, signed by `key`.
std::string MakeCsr(EVP_PKEY* key, const std::vector<std::string>& dnsNames);

// EC P-256 or RSA key from JWK members (public, or private with "d"; RSA
// private keys need n, e, d and may carry p, q, dp, dq, qi).
EvpPkeyPtr KeyFromJwk(const Json::Value& jwk);

// Checks a JWS signature: ES256 (raw r||s) or RS256.
bool VerifyJwsSignature(EVP_PKEY* key, const std::string& alg, const std::string& signingInput,
                        const std::string& signature);

// HMAC-SHA256, computed here independently of the client.
std::string HmacSha256(const std::string& key, const std::string& data);

}  // namespace qm::acme::test
