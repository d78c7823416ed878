// What a server really serves: the certificate a TLS handshake with it
// presents, asked for by name (SNI) at a given address and port. A
// deployment is verified this way once the server took its new
// configuration.
#pragma once

#include <string>

#include "deploy/deploymentrecord.h"

namespace qm {

// The leaf certificate served at the target, PEM; empty when no handshake
// completed within `timeoutMs` (`problem` says why).
std::string ServedCertificatePem(const WireTarget& target, int timeoutMs, std::string& problem);

// The SHA-256 fingerprint of the leaf certificate served at the target;
// empty when no handshake completed within `timeoutMs` (`problem` says why).
std::string ServedCertificateFingerprint(const WireTarget& target, int timeoutMs,
                                         std::string& problem);

// The status code of a plain HTTP GET of `path` at the target (no redirect
// followed); 0 when no answer came within `timeoutMs`.
long HttpStatusAt(const WireTarget& target, const std::string& path, int timeoutMs,
                  std::string& problem);

}  // namespace qm
