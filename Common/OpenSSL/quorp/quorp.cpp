#include "Common/OpenSSL/quorp/quorp.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>

#include "foundation/files.h"

namespace qm {

namespace {

constexpr int kRsaBits = 2048;
constexpr int kPfxIterations = 2048;  // PKCS12_DEFAULT_ITER, for the key, certificates and MAC

struct BioFree {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct ReqFree {
    void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
struct Pkcs12Free {
    void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// OpenSSL keeps failures in a per-thread queue; nothing here reports them
// through it, so stale entries are dropped before they mislead a later caller.
struct ErrorQueueGuard {
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

// Hands the pass phrase to OpenSSL without ever letting it prompt on a
// terminal (which it does when no callback is given).
int PassPhraseCallback(char* buf, int size, int /*rwflag*/, void* userdata) {
    const auto* pass = static_cast<const std::string_view*>(userdata);
    if (pass == nullptr || size <= 0)
        return 0;
    const int length = static_cast<int>(std::min<size_t>(pass->size(), static_cast<size_t>(size)));
    std::memcpy(buf, pass->data(), static_cast<size_t>(length));
    return length;
}

BioPtr MemoryReader(std::string_view data) {
    if (data.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        return nullptr;
    return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

std::string MemoryText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr)
        return {};
    return std::string(data, static_cast<size_t>(length));
}

// The names as one subjectAltName extension of dNSName entries.
bool AddSubjectAltNames(STACK_OF(X509_EXTENSION) * extensions,
                        const std::vector<std::string>& dnsNames) {
    GENERAL_NAMES* names = GENERAL_NAMES_new();
    if (names == nullptr)
        return false;
    bool ok = true;
    for (const std::string& name : dnsNames) {
        GENERAL_NAME* entry = GENERAL_NAME_new();
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        if (entry == nullptr || text == nullptr ||
            ASN1_STRING_set(text, name.data(), static_cast<int>(name.size())) != 1) {
            GENERAL_NAME_free(entry);
            ASN1_IA5STRING_free(text);
            ok = false;
            break;
        }
        GENERAL_NAME_set0_value(entry, GEN_DNS, text);
        if (sk_GENERAL_NAME_push(names, entry) <= 0) {
            GENERAL_NAME_free(entry);
            ok = false;
            break;
        }
    }
    X509_EXTENSION* extension = ok ? X509V3_EXT_i2d(NID_subject_alt_name, 0, names) : nullptr;
    GENERAL_NAMES_free(names);
    if (extension == nullptr)
        return false;
    if (sk_X509_EXTENSION_push(extensions, extension) <= 0) {
        X509_EXTENSION_free(extension);
        return false;
    }
    return true;
}

EvpPkeyPtr GenerateRsaKey() {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    std::unique_ptr<BIGNUM, BnFree> exponent(BN_new());
    if (!ctx || !exponent || BN_set_word(exponent.get(), RSA_F4) != 1)
        return nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0)
        return nullptr;
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) <= 0)
        return nullptr;
    return EvpPkeyPtr(key);
}

EvpPkeyPtr PrivateKeyFromDer(std::string_view der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    if (der.empty() || der.size() > static_cast<size_t>(std::numeric_limits<long>::max()))
        return nullptr;
    return EvpPkeyPtr(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

// The DER form protected with the pass phrase: DES-EDE3-CBC under a key and
// IV derived by EVP_BytesToKey (SHA-1, no salt, one round).
bool DecryptDerKey(std::string_view data, std::string_view passPhrase, std::string& plain) {
    const EVP_CIPHER* cipher = EVP_des_ede3_cbc();
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    if (EVP_BytesToKey(cipher, EVP_sha1(), nullptr,
                       reinterpret_cast<const unsigned char*>(passPhrase.data()),
                       static_cast<int>(passPhrase.size()), 1, key, iv) <= 0)
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || data.size() > static_cast<size_t>(std::numeric_limits<int>::max() - 64))
        return false;
    plain.assign(data.size() + static_cast<size_t>(EVP_CIPHER_get_block_size(cipher)), '\0');
    int written = 0;
    int last = 0;
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    const bool ok = EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, iv) == 1 &&
                    EVP_DecryptUpdate(ctx.get(), out, &written,
                                      reinterpret_cast<const unsigned char*>(data.data()),
                                      static_cast<int>(data.size())) == 1 &&
                    EVP_DecryptFinal_ex(ctx.get(), out + written, &last) == 1;
    OPENSSL_cleanse(key, sizeof key);
    if (!ok)
        return false;
    plain.resize(static_cast<size_t>(written + last));
    return true;
}

struct Pkcs12Contents {
    EvpPkeyPtr key;
    X509Ptr certificate;
};

Pkcs12Contents ParsePkcs12(std::string_view data, std::string_view passPhrase) {
    BioPtr bio = MemoryReader(data);
    if (!bio)
        return {};
    std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12)
        return {};
    const std::string pass(passPhrase);
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* chain = nullptr;
    if (PKCS12_parse(p12.get(), pass.c_str(), &key, &certificate, &chain) != 1)
        return {};
    sk_X509_pop_free(chain, X509_free);
    return {EvpPkeyPtr(key), X509Ptr(certificate)};
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

quorp::~quorp() = default;

void quorp::PrepareLibrary() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
}

void quorp::SeedRandom() {
    // The generator seeds itself from the system; a seed file, where the
    // user keeps one, only adds to that.
    char seedFile[1024];
    if (RAND_file_name(seedFile, sizeof seedFile) == nullptr || RAND_load_file(seedFile, 1024) <= 0)
        RAND_status();
}

bool quorp::WritePrivateKey(EVP_PKEY* key, std::string_view passPhrase, std::string& pem) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return false;
    const EVP_CIPHER* cipher = passPhrase.empty() ? nullptr : EVP_des_ede3_cbc();
    std::string pass(passPhrase);
    const int ok = PEM_write_bio_PrivateKey_traditional(
        bio.get(), key, cipher, reinterpret_cast<unsigned char*>(pass.data()),
        static_cast<int>(pass.size()), nullptr, nullptr);
    OPENSSL_cleanse(pass.data(), pass.size());
    if (ok != 1)
        return false;
    pem = MemoryText(bio.get());
    return !pem.empty();
}

bool quorp::GenerateKeyPair(std::string_view passPhrase, std::string& privateKeyPem,
                            std::string& publicKeyPem) {
    ErrorQueueGuard clearErrors;
    SeedRandom();
    EvpPkeyPtr key = GenerateRsaKey();
    if (!key) {
        status_ = "generate key Error";
        return false;
    }
    BioPtr publicBio(BIO_new(BIO_s_mem()));
    std::string privatePem;
    if (!publicBio || !WritePrivateKey(key.get(), passPhrase, privatePem) ||
        PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1) {
        status_ = "Save Cert or Key File Error";
        return false;
    }
    privateKeyPem = std::move(privatePem);
    publicKeyPem = MemoryText(publicBio.get());
    status_ = "generate key ok";
    return true;
}

bool quorp::MakeCsr(std::string_view commonName, std::string_view passPhrase, std::string& csrPem,
                    std::string& privateKeyPem) {
    return MakeRequest(commonName, {}, EVP_sha1(), passPhrase, csrPem, privateKeyPem);
}

bool quorp::MakeCsrForNames(const std::vector<std::string>& dnsNames, std::string_view passPhrase,
                            std::string& csrPem, std::string& privateKeyPem) {
    if (dnsNames.empty())
        return false;
    // A common name holds at most 64 characters; longer names live in the
    // subject alternative names alone.
    const std::string& first = dnsNames.front();
    return MakeRequest(first.size() <= 64 ? std::string_view(first) : std::string_view(), dnsNames,
                       EVP_sha256(), passPhrase, csrPem, privateKeyPem);
}

bool quorp::MakeRequest(std::string_view commonName, const std::vector<std::string>& dnsNames,
                        const EVP_MD* digest, std::string_view passPhrase, std::string& csrPem,
                        std::string& privateKeyPem) {
    ErrorQueueGuard clearErrors;
    status_ = "Make CertReq Error";
    SeedRandom();
    EvpPkeyPtr key = GenerateRsaKey();
    std::unique_ptr<X509_REQ, ReqFree> request(X509_REQ_new());
    if (!key || !request ||
        commonName.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        return false;
    if (X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1)
        return false;
    // V_ASN1_UTF8STRING (not an MBSTRING_* type) stores the bytes as given.
    if ((!commonName.empty() || dnsNames.empty()) &&
        X509_NAME_add_entry_by_NID(X509_REQ_get_subject_name(request.get()), NID_commonName,
                                   V_ASN1_UTF8STRING,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) != 1)
        return false;
    if (X509_REQ_set_pubkey(request.get(), key.get()) != 1)
        return false;
    STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
    bool extensionsAdded = extensions != nullptr;
    if (extensionsAdded && !dnsNames.empty())
        extensionsAdded = AddSubjectAltNames(extensions, dnsNames);
    extensionsAdded = extensionsAdded && X509_REQ_add_extensions(request.get(), extensions) == 1;
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    if (!extensionsAdded || X509_REQ_sign(request.get(), key.get(), digest) <= 0)
        return false;
    BioPtr requestBio(BIO_new(BIO_s_mem()));
    std::string privatePem;
    if (!requestBio || PEM_write_bio_X509_REQ(requestBio.get(), request.get()) != 1 ||
        !WritePrivateKey(key.get(), passPhrase, privatePem))
        return false;
    csrPem = MemoryText(requestBio.get());
    privateKeyPem = std::move(privatePem);
    status_ = "Make CertReq ok";
    return true;
}

bool quorp::SignData(std::string_view data, std::string_view privateKeyPem,
                     std::string_view passPhrase, std::string& signature) {
    ErrorQueueGuard clearErrors;
    status_ = "sign data Error";
    BioPtr bio = MemoryReader(privateKeyPem);
    if (!bio || privateKeyPem.empty())
        return false;
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, PassPhraseCallback, &passPhrase));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx)
        return false;
    size_t length = 0;
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return false;
    std::string result(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(result.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1)
        return false;
    result.resize(length);
    signature = std::move(result);
    status_ = "sign data ok";
    return true;
}

std::string quorp::Base64Encode(std::string_view bytes) {
    ErrorQueueGuard clearErrors;
    BioPtr base64(BIO_new(BIO_f_base64()));
    BIO* sink = BIO_new(BIO_s_mem());
    if (!base64 || sink == nullptr) {
        BIO_free(sink);
        return {};
    }
    BIO_push(base64.get(), sink);  // the chain now owns the sink
    size_t done = 0;
    while (done < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
        const int written = BIO_write(base64.get(), bytes.data() + done, chunk);
        if (written <= 0)
            return {};
        done += static_cast<size_t>(written);
    }
    if (BIO_flush(base64.get()) != 1)
        return {};
    std::string text = MemoryText(sink);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    status_ = "base64 encode ok";
    return text;
}

bool quorp::Base64Decode(std::string_view text, std::string& bytes) {
    ErrorQueueGuard clearErrors;
    if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max() / 2))
        return false;
    std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> ctx(EVP_ENCODE_CTX_new(),
                                                                        EVP_ENCODE_CTX_free);
    if (!ctx)
        return false;
    std::string out(text.size() / 4 * 3 + 80, '\0');
    int written = 0;
    int last = 0;
    EVP_DecodeInit(ctx.get());
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_DecodeUpdate(ctx.get(), target, &written,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(ctx.get(), target + written, &last) != 1) {
        status_ = "base64 decode Error";
        return false;
    }
    out.resize(static_cast<size_t>(written + last));
    bytes = std::move(out);
    status_ = "base64 decode ok";
    return true;
}

X509Ptr quorp::LoadCert(std::string_view data) {
    ErrorQueueGuard clearErrors;
    status_ = "load cert Error";
    if (data.empty())
        return nullptr;
    BioPtr bio = MemoryReader(data);
    if (!bio)
        return nullptr;
    X509Ptr certificate(d2i_X509_bio(bio.get(), nullptr));
    if (!certificate) {
        (void)BIO_reset(bio.get());
        std::string_view noPass;
        certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, PassPhraseCallback, &noPass));
    }
    if (!certificate)
        certificate = ParsePkcs12(data, {}).certificate;
    if (certificate)
        status_ = "load cert ok";
    return certificate;
}

X509Ptr quorp::LoadCert(std::u16string_view filePath) {
    std::string data;
    if (!ReadFileBytes(filePath, data)) {
        status_ = "open cert file Error";
        return nullptr;
    }
    return LoadCert(std::string_view(data));
}

EvpPkeyPtr quorp::LoadPrivateKey(std::string_view data, std::string_view passPhrase) {
    ErrorQueueGuard clearErrors;
    status_ = "load private key Error";
    if (data.empty())
        return nullptr;
    EvpPkeyPtr key;
    if (!passPhrase.empty()) {
        std::string plain;
        if (DecryptDerKey(data, passPhrase, plain))
            key = PrivateKeyFromDer(plain);
        OPENSSL_cleanse(plain.data(), plain.size());
    }
    if (!key)
        key = PrivateKeyFromDer(data);
    if (!key) {
        BioPtr bio = MemoryReader(data);
        if (bio)
            key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, PassPhraseCallback, &passPhrase));
    }
    if (!key)
        key = ParsePkcs12(data, passPhrase).key;
    if (key)
        status_ = "load private key ok";
    return key;
}

EvpPkeyPtr quorp::LoadPrivateKey(std::u16string_view filePath, std::string_view passPhrase) {
    std::string data;
    if (!ReadFileBytes(filePath, data)) {
        status_ = "open key file Error";
        return nullptr;
    }
    EvpPkeyPtr key = LoadPrivateKey(std::string_view(data), passPhrase);
    OPENSSL_cleanse(data.data(), data.size());
    return key;
}

bool quorp::ExportPfx(std::string_view certificatePem, const std::vector<std::string>& chainPems,
                      std::string_view privateKeyPem, std::string_view passPhrase,
                      std::string_view friendlyName, std::string& der) {
    const X509Ptr certificate = LoadCert(certificatePem);
    const EvpPkeyPtr key = LoadPrivateKey(privateKeyPem, "");
    std::vector<X509Ptr> chainOwned;
    std::vector<X509*> chain;
    for (const auto& pem : chainPems) {
        chainOwned.push_back(LoadCert(std::string_view(pem)));
        if (chainOwned.back())
            chain.push_back(chainOwned.back().get());
    }
    return certificate && key &&
           ExportPfx(certificate.get(), chain, key.get(), passPhrase, friendlyName, der);
}

bool quorp::ExportPfx(X509* certificate, const std::vector<X509*>& chain, EVP_PKEY* privateKey,
                      std::string_view passPhrase, std::string_view friendlyName,
                      std::string& der) {
    ErrorQueueGuard clearErrors;
    status_ = "export pfx Error";
    if (certificate == nullptr || privateKey == nullptr)
        return false;
    STACK_OF(X509)* authorities = sk_X509_new_null();
    if (authorities == nullptr)
        return false;
    for (X509* c : chain) {
        if (c != nullptr && sk_X509_push(authorities, c) <= 0) {
            sk_X509_free(authorities);
            return false;
        }
    }
    const std::string pass(passPhrase);
    const std::string name(friendlyName);
    // OpenSSL 3 defaults to AES-256 with PBKDF2 and an SHA-256 MAC, which
    // older Windows cannot import: ask for PBE-SHA1-3DES, and add the SHA-1
    // MAC separately (a MAC iteration of -1 leaves it out here).
    std::unique_ptr<PKCS12, Pkcs12Free> p12(
        PKCS12_create(pass.c_str(), name.empty() ? nullptr : name.c_str(), privateKey, certificate,
                      authorities, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                      NID_pbe_WithSHA1And3_Key_TripleDES_CBC, kPfxIterations, -1, 0));
    sk_X509_free(authorities);  // the certificates stay the caller's
    if (!p12 ||
        PKCS12_set_mac(p12.get(), pass.c_str(), -1, nullptr, 0, kPfxIterations, EVP_sha1()) != 1)
        return false;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || i2d_PKCS12_bio(bio.get(), p12.get()) != 1)
        return false;
    der = MemoryText(bio.get());
    status_ = "export pfx ok";
    return !der.empty();
}

int64_t quorp::AsnTimeToTime(const ASN1_TIME* time, bool& error) {
    error = true;
    if (time == nullptr)
        return 0;
    const int type = ASN1_STRING_type(time);
    if (type != V_ASN1_UTCTIME && type != V_ASN1_GENERALIZEDTIME)
        return 0;
    const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(time));
    const int length = ASN1_STRING_length(time);
    if (data == nullptr || length <= 0)
        return 0;
    return AsnTimeToTime(std::string_view(data, static_cast<size_t>(length)),
                         type == V_ASN1_GENERALIZEDTIME, error);
}

int64_t quorp::AsnTimeToTime(std::string_view text, bool generalized, bool& error) {
    error = true;
    size_t pos = 0;
    // Reads `count` digits as a number within [low, high]; -1 when it cannot.
    auto number = [&](size_t count, int low, int high) {
        if (text.size() - pos < count)
            return -1;
        int value = 0;
        for (size_t i = 0; i < count; ++i) {
            const char c = text[pos + i];
            if (!IsDigit(c))
                return -1;
            value = value * 10 + (c - '0');
        }
        if (value < low || value > high)
            return -1;
        pos += count;
        return value;
    };

    int year = 0;
    if (generalized) {
        year = number(4, 0, 9999);
    } else {
        const int twoDigits = number(2, 0, 99);
        year = twoDigits < 0 ? -1 : (twoDigits < 50 ? 2000 + twoDigits : 1900 + twoDigits);
    }
    const int month = year < 0 ? -1 : number(2, 1, 12);
    if (month < 0)
        return 0;
    const int day = number(2, 1, DaysInMonth(year, month));
    const int hour = day < 0 ? -1 : number(2, 0, 23);
    const int minute = hour < 0 ? -1 : number(2, 0, 59);
    if (minute < 0)
        return 0;
    int second = 0;
    if (pos < text.size() && IsDigit(text[pos])) {
        second = number(2, 0, 59);
        if (second < 0)
            return 0;
    }
    if (generalized && pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        ++pos;
        const size_t digitsFrom = pos;
        while (pos < text.size() && IsDigit(text[pos]))
            ++pos;
        if (pos == digitsFrom)
            return 0;
    }

    const int64_t wallClock =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second;
    if (pos == text.size()) {
        if (!generalized)
            return 0;
        // No zone: the time is local.
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        const std::time_t t = std::mktime(&local);
        error = false;
        return static_cast<int64_t>(t);
    }
    const char zone = text[pos++];
    int64_t offset = 0;
    if (zone == '+' || zone == '-') {
        const int zoneHours = number(2, 0, 12);
        const int zoneMinutes = zoneHours < 0 ? -1 : number(2, 0, 59);
        if (zoneMinutes < 0)
            return 0;
        offset = (zoneHours * 3600 + zoneMinutes * 60) * (zone == '+' ? 1 : -1);
    } else if (zone != 'Z') {
        return 0;
    }
    if (pos != text.size())
        return 0;
    error = false;
    return wallClock - offset;
}

}  // namespace qm
