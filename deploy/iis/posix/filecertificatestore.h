// The machine certificate stores as folders: "<root>/<STORE>/<THUMBPRINT>.pem"
// holds a certificate, its chain and its private key, owner-only; the
// thumbprint is the SHA-1 of the certificate's DER form in 40 upper-case
// hexadecimal digits.
#pragma once

#include <string>
#include <vector>

#include "deploy/iis/machinecertificatestore.h"

namespace qm {

class FileCertificateStore : public MachineCertificateStore {
public:
    // `root`: the folder of the stores, ending in a separator.
    explicit FileCertificateStore(std::u16string root);

    bool ImportPkcs12(const std::u16string& store, const std::string& pkcs12,
                      const std::string& password, std::u16string& thumbprint,
                      std::u16string& problem) override;
    bool Contains(const std::u16string& store, const std::u16string& thumbprint) override;
    bool DnsNames(const std::u16string& store, const std::u16string& thumbprint,
                  std::vector<std::u16string>& names) override;
    bool Remove(const std::u16string& store, const std::u16string& thumbprint,
                std::u16string& problem) override;

    std::u16string PathOf(const std::u16string& store, const std::u16string& thumbprint) const;

private:
    std::u16string root_;
};

}  // namespace qm
