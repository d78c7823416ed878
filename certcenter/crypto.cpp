#include "certcenter/crypto.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <limits>
#include <vector>

namespace qm::certcenter {
namespace {

using Bio = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using EncodeContext = std::unique_ptr<EVP_ENCODE_CTX, OpenSslDeleter<EVP_ENCODE_CTX_free>>;

std::string ErrorQueueText() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text;
}

Bio ReadBio(std::string_view text) {
    if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        return nullptr;
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

template <class Write>
std::string WritePem(Write write) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        throw CryptoError("cannot write PEM");
    return BioText(bio.get());
}

}  // namespace

CryptoError::CryptoError(const std::string& what)
    : std::runtime_error([&] {
          const std::string queue = ErrorQueueText();
          return queue.empty() ? what : what + " (" + queue + ")";
      }()) {}

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw CryptoError("no random bytes");
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : raw) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

PKey GenerateKey(KeyKind kind) {
    PKey key(kind == KeyKind::Ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048));
    if (!key)
        throw CryptoError("cannot generate a key");
    return key;
}

PKey ReadPublicKeyPem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    PKey key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return key;
}

PKey ReadPrivateKeyPem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    // An empty pass phrase: the center's own keys are stored unencrypted (owner-only).
    PKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""))
                 : nullptr);
    ERR_clear_error();
    return key;
}

Cert ReadCertificatePem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return cert;
}

CertRequest ReadCertRequestPem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    CertRequest request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr)
                            : nullptr);
    ERR_clear_error();
    return request;
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    return WritePem([key](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    });
}

std::string CertificatePem(X509* cert) {
    return WritePem([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
}

std::string PublicKeyId(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    if (size <= 0)
        throw CryptoError("cannot encode a public key");
    std::string encoded(4 * ((static_cast<size_t>(size) + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), der, size);
    OPENSSL_free(der);
    encoded.resize(static_cast<size_t>(length));
    return encoded;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.empty() || text.size() > 1024 * 1024)
        return false;
    for (const char c : text) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=' ||
                             c == '\n' || c == '\r';
        if (!allowed)
            return false;
    }
    EncodeContext context(EVP_ENCODE_CTX_new());
    if (!context)
        return false;
    EVP_DecodeInit(context.get());
    bytes.resize(text.size() * 3 / 4 + 3);
    int written = 0;
    if (EVP_DecodeUpdate(context.get(), reinterpret_cast<unsigned char*>(bytes.data()), &written,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0)
        return false;
    int tail = 0;
    if (EVP_DecodeFinal(context.get(), reinterpret_cast<unsigned char*>(bytes.data()) + written,
                        &tail) != 1)
        return false;
    bytes.resize(static_cast<size_t>(written + tail));
    return !bytes.empty();
}

bool VerifyRsaSha256(EVP_PKEY* key, std::string_view data, std::string_view signature) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return false;
    DigestContext context(EVP_MD_CTX_new());
    const bool good =
        context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                         data.size()) == 1;
    ERR_clear_error();
    return good;
}

}  // namespace qm::certcenter
