// Digests for comparing files and certificates: what a deployment recorded
// against what is on disk or on the wire now.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// SHA-256 of the bytes, as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

// SHA-256 of the DER form of the first certificate in a PEM text; empty
// when the text holds no certificate.
std::string CertificateFingerprint(std::string_view pem);

// SHA-1 of the DER form of the first certificate in a PEM text, as 40
// upper-case hexadecimal digits (the thumbprint certificate stores name a
// certificate by); empty when the text holds no certificate.
std::string CertificateThumbprint(std::string_view pem);

// `bytes` random bytes as lower-case hexadecimal digits (passwords of key
// stores); empty when the random generator fails.
std::string RandomHex(size_t bytes);

}  // namespace qm
