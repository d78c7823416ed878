// What an ACME order yields: the certificate with its chain as the CA serves
// it (application/pem-certificate-chain), and the alternate chains the CA
// offers for the same certificate (Link rel="alternate", RFC 8555 §7.4.2),
// each leading to another root. A deployer picks one by its issuer's name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::acme {

struct CertificateChain {
    std::string url;             // where the CA serves this chain
    std::string certificatePem;  // the end-entity certificate
    std::string chainPem;        // its issuers, the certificate's issuer first
    // The issuer of each certificate from the end-entity one upwards: its
    // common name, or the whole name when it has none. The last entry names
    // the root (or the top issuer) the chain leads to.
    std::vector<std::string> issuers;

    const std::string& TopIssuer() const;  // issuers.back(); empty when none
};

struct IssuedChain {
    std::string orderUrl;
    CertificateChain chain;                    // the CA's default chain
    std::vector<CertificateChain> alternates;  // in the order the CA listed them
};

// The PEM certificates of a text, each one whole block ending in a newline.
// Text outside the blocks is ignored.
std::vector<std::string> SplitPemCertificates(std::string_view pem);

// Reads a served chain. Throws AcmeError (Protocol) when it holds no
// certificate or one that does not parse.
CertificateChain ReadChain(std::string url, std::string_view pem);

// The first chain (default, then alternates) whose top issuer is
// `issuerName`; failing that, the first with any issuer of that name; else
// the default chain. An empty name picks the default chain.
const CertificateChain& PreferredChain(const IssuedChain& issued, std::string_view issuerName);

}  // namespace qm::acme
