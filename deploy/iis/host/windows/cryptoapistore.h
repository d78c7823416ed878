// The machine certificate stores through CryptoAPI: the local machine's
// system stores (CERT_SYSTEM_STORE_LOCAL_MACHINE), private keys in the
// machine key set, where HTTP.sys (running as SYSTEM) finds them.
//
// An import puts the certificate that has the bundle's key into the store
// named; the rest of the chain goes to the machine's intermediate store
// "CA", where TLS looks for it (roots are not trusted on our say-so and stay
// out). Importing a certificate the store already holds with its key
// changes nothing, so repeated imports leave no stray key containers.
// Removing a certificate removes its private key too: it undoes an import
// of ours.
#pragma once

#include <string>
#include <vector>

#include "deploy/iis/machinecertificatestore.h"

namespace qm {

class CryptoApiStore : public MachineCertificateStore {
public:
    bool ImportPkcs12(const std::u16string& store, const std::string& pkcs12,
                      const std::string& password, std::u16string& thumbprint,
                      std::u16string& problem) override;
    bool Contains(const std::u16string& store, const std::u16string& thumbprint) override;
    bool DnsNames(const std::u16string& store, const std::u16string& thumbprint,
                  std::vector<std::u16string>& names) override;
    bool Remove(const std::u16string& store, const std::u16string& thumbprint,
                std::u16string& problem) override;
};

}  // namespace qm
