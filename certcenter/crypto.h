// The OpenSSL pieces the center needs: owning handles, PEM and Base64,
// signature checks and random identifiers.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "certcenter/options.h"

namespace qm::certcenter {

template <auto Free>
struct OpenSslDeleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using PKey = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using CertRequest = std::unique_ptr<X509_REQ, OpenSslDeleter<X509_REQ_free>>;

// A failure of the crypto library, with its error queue in the message.
class CryptoError : public std::runtime_error {
public:
    explicit CryptoError(const std::string& what);
};

// `bytes` random bytes as lower-case hex.
std::string RandomHex(size_t bytes);

PKey GenerateKey(KeyKind kind);

// PEM readers; null when the text holds no such object.
PKey ReadPublicKeyPem(std::string_view pem);
PKey ReadPrivateKeyPem(std::string_view pem);
Cert ReadCertificatePem(std::string_view pem);
CertRequest ReadCertRequestPem(std::string_view pem);

std::string PrivateKeyPem(EVP_PKEY* key);
std::string CertificatePem(X509* cert);

// The key's SubjectPublicKeyInfo (DER) in Base64: the same text for every
// PEM layout of one key, so keys are compared by it.
std::string PublicKeyId(EVP_PKEY* key);

// Decodes Base64 that may be broken into lines; false for anything else.
bool DecodeBase64(std::string_view text, std::string& bytes);

// Whether `signature` is an RSA PKCS#1 v1.5 signature over SHA-256 of `data`.
bool VerifyRsaSha256(EVP_PKEY* key, std::string_view data, std::string_view signature);

}  // namespace qm::certcenter
