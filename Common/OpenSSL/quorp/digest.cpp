#include "Common/OpenSSL/quorp/digest.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>

namespace qm {

namespace {

std::string Hex(const unsigned char* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return {};
    return Hex(digest, size);
}

namespace {

// The digest of the DER form of the first certificate in a PEM text.
std::string CertificateDigest(std::string_view pem, const EVP_MD* algorithm) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    if (!bio)
        return {};
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    if (!certificate)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate.get(), algorithm, digest, &size) != 1)
        return {};
    return Hex(digest, size);
}

}  // namespace

std::string CertificateFingerprint(std::string_view pem) {
    return CertificateDigest(pem, EVP_sha256());
}

std::string CertificateThumbprint(std::string_view pem) {
    std::string hex = CertificateDigest(pem, EVP_sha1());
    for (char& c : hex) {
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return hex;
}

std::string RandomHex(size_t bytes) {
    std::string random(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), static_cast<int>(bytes)) != 1)
        return {};
    return Hex(reinterpret_cast<const unsigned char*>(random.data()), bytes);
}

}  // namespace qm
