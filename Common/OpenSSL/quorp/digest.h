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

}  // namespace qm
