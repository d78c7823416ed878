// The center's own certification authority: a self-signed CA kept in the
// state folder, which signs the issued certificates and the center's TLS
// certificate.
#pragma once

#include <string>
#include <vector>

#include "certcenter/crypto.h"

namespace qm::certcenter {

class CertificateAuthority {
public:
    // Loads ca.pem and ca-key.pem from `stateDir`, creating both at first
    // start (the key readable by its owner only). Throws std::runtime_error
    // when the folder holds only one of them, an unreadable one, or a pair
    // that does not match.
    static CertificateAuthority OpenOrCreate(const std::string& stateDir, KeyKind kind);

    const std::string& certificatePem() const { return certificatePem_; }
    X509* certificate() const { return certificate_.get(); }

    struct Issued {
        std::string pem;
        std::string serial;  // hex
    };
    // A server certificate for `subjectKey` naming `dnsNames` (the first is
    // the common name), valid for `validitySeconds` from a moment shortly
    // before now (notAfter - notBefore is exactly that), SHA-256.
    Issued Issue(EVP_PKEY* subjectKey, const std::vector<std::string>& dnsNames,
                 long validitySeconds) const;

    struct TlsIdentity {
        Cert certificate;
        PKey key;
    };
    // A fresh key and certificate for the center's own TLS endpoint, naming
    // localhost, 127.0.0.1 and `hostnames` (IP address texts become IP names).
    TlsIdentity MakeTlsIdentity(const std::vector<std::string>& hostnames) const;

private:
    CertificateAuthority(Cert certificate, PKey key);
    Issued Sign(EVP_PKEY* subjectKey, const std::string& commonName,
                const std::string& subjectAltNames, long validitySeconds) const;

    Cert certificate_;
    PKey key_;
    std::string certificatePem_;
};

}  // namespace qm::certcenter
