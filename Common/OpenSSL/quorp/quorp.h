// quorp: the program's one door to OpenSSL. Keys, certificate requests,
// signatures, Base64, certificate and key loading, PKCS#12 export and ASN.1
// times. PEM and DER data travel as byte strings; OpenSSL objects come back
// in owning pointers.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct EvpPkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

class quorp {
public:
    quorp() = default;
    virtual ~quorp();

    // Loads error strings, ciphers and digests; repeating it is harmless.
    static void PrepareLibrary();

    // A fresh RSA-2048 key pair (exponent 65537). The private key is a
    // traditional "RSA PRIVATE KEY" PEM, DES-EDE3-CBC encrypted under
    // `passPhrase` when that is not empty; the public key a "PUBLIC KEY" PEM.
    bool GenerateKeyPair(std::string_view passPhrase, std::string& privateKeyPem,
                         std::string& publicKeyPem);

    // A new RSA-2048 key and a SHA-1 signed certificate request whose subject
    // is one commonName (UTF8String of `commonName`'s bytes) with an empty
    // extension list. The key is written as in GenerateKeyPair.
    bool MakeCsr(std::string_view commonName, std::string_view passPhrase, std::string& csrPem,
                 std::string& privateKeyPem);
    // The same key, and a SHA-256 signed request for `dnsNames` as subject
    // alternative names, the first one also the common name when it fits,
    // as public CAs take them.
    bool MakeCsrForNames(const std::vector<std::string>& dnsNames, std::string_view passPhrase,
                         std::string& csrPem, std::string& privateKeyPem);

    // RSA PKCS#1 v1.5 signature over SHA-256 with the PEM private key.
    bool SignData(std::string_view data, std::string_view privateKeyPem,
                  std::string_view passPhrase, std::string& signature);

    // Base64 with a line feed after every 64 characters and none at the end.
    std::string Base64Encode(std::string_view bytes);
    // Accepts line breaks; false for text that is not Base64.
    bool Base64Decode(std::string_view text, std::string& bytes);

    // A certificate from DER, PEM or PKCS#12 (empty pass phrase) data, in that
    // order; the second form reads the data from a file. Null when none fits.
    X509Ptr LoadCert(std::string_view data);
    X509Ptr LoadCert(std::u16string_view filePath);

    // A private key from DER (decrypted first when a pass phrase is given),
    // PEM or PKCS#12 data, in that order; the second form reads a file.
    EvpPkeyPtr LoadPrivateKey(std::string_view data, std::string_view passPhrase);
    EvpPkeyPtr LoadPrivateKey(std::u16string_view filePath, std::string_view passPhrase);

    // PKCS#12 (DER) holding the key, the certificate and the chain. Key and
    // certificates are protected with PBE-SHA1-3DES and the MAC is SHA-1, the
    // combination every Windows version and Java can import.
    bool ExportPfx(X509* certificate, const std::vector<X509*>& chain, EVP_PKEY* privateKey,
                   std::string_view passPhrase, std::string_view friendlyName, std::string& der);
    // The same from PEM texts: the certificate, its chain, and an unencrypted key.
    bool ExportPfx(std::string_view certificatePem, const std::vector<std::string>& chainPems,
                   std::string_view privateKeyPem, std::string_view passPhrase,
                   std::string_view friendlyName, std::string& der);

    // Seconds since 1970-01-01 UTC of an ASN.1 UTCTime or GeneralizedTime.
    // `error` is set (and 0 returned) for anything malformed or out of range.
    static int64_t AsnTimeToTime(const ASN1_TIME* time, bool& error);
    // The same on the time's text; `generalized` selects the four-digit year.
    static int64_t AsnTimeToTime(std::string_view text, bool generalized, bool& error);

    // Diagnostic text of the last operation; nothing depends on it.
    const std::string& Status() const { return status_; }

private:
    static void SeedRandom();
    bool WritePrivateKey(EVP_PKEY* key, std::string_view passPhrase, std::string& pem);
    bool MakeRequest(std::string_view commonName, const std::vector<std::string>& dnsNames,
                     const EVP_MD* digest, std::string_view passPhrase, std::string& csrPem,
                     std::string& privateKeyPem);

    std::string status_;
};

}  // namespace qm
