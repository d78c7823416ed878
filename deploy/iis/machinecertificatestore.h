// The local machine's certificate stores ("MY" holds the certificates with
// their keys that IIS serves), addressed by SHA-1 thumbprint.
//
// Windows: the system stores of the local machine. POSIX: one folder per
// store, one file per certificate named by its thumbprint, holding the
// certificate, its chain and its key, owner-only
// (posix/filecertificatestore.h).
#pragma once

#include <string>
#include <vector>

namespace qm {

class MachineCertificateStore {
public:
    virtual ~MachineCertificateStore() = default;

    // Imports the certificate with its key (and chain) of a PKCS#12 bundle
    // into `store`; `thumbprint` receives the certificate's (40 upper-case
    // hexadecimal digits). An import of a certificate already there succeeds.
    virtual bool ImportPkcs12(const std::u16string& store, const std::string& pkcs12,
                              const std::string& password, std::u16string& thumbprint,
                              std::u16string& problem) = 0;
    // Whether the store holds the certificate (thumbprint in any case).
    virtual bool Contains(const std::u16string& store, const std::u16string& thumbprint) = 0;
    // The DNS names of the certificate's subject alternative names, in
    // order; false when the store does not hold it.
    virtual bool DnsNames(const std::u16string& store, const std::u16string& thumbprint,
                          std::vector<std::u16string>& names) = 0;
    // Removes the certificate; true when it is not there.
    virtual bool Remove(const std::u16string& store, const std::u16string& thumbprint,
                        std::u16string& problem) = 0;
};

}  // namespace qm
