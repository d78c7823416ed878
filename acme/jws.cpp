#include "acme/jws.h"

#include <json/reader.h>
#include <json/writer.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>

#include "acme/acmeerror.h"

namespace qm::acme {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr size_t kP256Size = 32;

[[noreturn]] void Fail(const std::string& what) {
    throw AcmeError(AcmeError::Cause::Local, what);
}

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, EcdsaSigFree>;

int DecodeChar(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '-')
        return 62;
    if (c == '_')
        return 63;
    return -1;
}

BnPtr BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1)
        Fail(std::string("cannot read the key's ") + name);
    return BnPtr(bn);
}

std::string BnBytes(const BIGNUM* bn, int padTo) {
    const int size = padTo > 0 ? padTo : BN_num_bytes(bn);
    std::string bytes(static_cast<size_t>(size), '\0');
    const int written = padTo > 0
                            ? BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(bytes.data()), size)
                            : BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
    if (written != size)
        Fail("a key component does not fit its size");
    return bytes;
}

bool IsP256(EVP_PKEY* key) {
    if (!EVP_PKEY_is_a(key, "EC"))
        return false;
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1)
        return false;
    const std::string_view name(group, length);
    return name == "prime256v1" || name == "P-256";
}

std::string RequiredString(const Json::Value& jwk, const char* name) {
    const Json::Value& value = jwk[name];
    if (!value.isString())
        Fail(std::string("the JWK has no string member \"") + name + "\"");
    return value.asString();
}

std::string HmacSha256(std::string_view key, std::string_view data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
             &length) == nullptr)
        Fail("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char*>(mac), length);
}

}  // namespace

std::string Base64UrlEncode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        text += kAlphabet[v >> 18];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        text += kAlphabet[v >> 18];
        text += kAlphabet[(v >> 12) & 63];
        if (rest == 2)
            text += kAlphabet[(v >> 6) & 63];
    }
    return text;
}

bool Base64UrlDecode(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 == 1)
        return false;
    bytes.reserve(text.size() * 3 / 4);
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const int value = DecodeChar(c);
        if (value < 0)
            return false;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    // Left-over bits must be zero: each byte string has one encoding.
    return (buffer & ((1u << bits) - 1)) == 0;
}

std::string CompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool ParseJson(std::string_view text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    // JsonCpp throws for nesting beyond its stack limit: that is malformed too.
    try {
        return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const std::exception&) {
        value = Json::Value();
        return false;
    }
}

EvpPkeyPtr GenerateAccountKey(KeyKind kind) {
    EVP_PKEY* key = kind == KeyKind::Ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    if (key == nullptr)
        Fail("cannot generate an account key");
    return EvpPkeyPtr(key);
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        Fail("cannot write the account key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

EvpPkeyPtr PrivateKeyFromPem(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    // An encrypted key fails instead of asking on the terminal for a pass phrase.
    auto noPassPhrase = [](char*, int, int, void*) { return 0; };
    return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassPhrase, nullptr));
}

std::string JwsAlgorithm(EVP_PKEY* key) {
    if (key == nullptr)
        return {};
    if (IsP256(key))
        return "ES256";
    if (EVP_PKEY_is_a(key, "RSA"))
        return "RS256";
    return {};
}

Json::Value PublicJwk(EVP_PKEY* key) {
    Json::Value jwk(Json::objectValue);
    if (key != nullptr && IsP256(key)) {
        jwk["kty"] = "EC";
        jwk["crv"] = "P-256";
        jwk["x"] =
            Base64UrlEncode(BnBytes(BnParam(key, OSSL_PKEY_PARAM_EC_PUB_X).get(), kP256Size));
        jwk["y"] =
            Base64UrlEncode(BnBytes(BnParam(key, OSSL_PKEY_PARAM_EC_PUB_Y).get(), kP256Size));
        return jwk;
    }
    if (key != nullptr && EVP_PKEY_is_a(key, "RSA")) {
        jwk["kty"] = "RSA";
        jwk["n"] = Base64UrlEncode(BnBytes(BnParam(key, OSSL_PKEY_PARAM_RSA_N).get(), 0));
        jwk["e"] = Base64UrlEncode(BnBytes(BnParam(key, OSSL_PKEY_PARAM_RSA_E).get(), 0));
        return jwk;
    }
    Fail("the account key is neither P-256 nor RSA");
}

std::string JwkThumbprint(const Json::Value& jwk) {
    if (!jwk.isObject())
        Fail("the JWK is not an object");
    const std::string kty = RequiredString(jwk, "kty");
    Json::Value required(Json::objectValue);
    required["kty"] = kty;
    if (kty == "EC") {
        for (const char* name : {"crv", "x", "y"})
            required[name] = RequiredString(jwk, name);
    } else if (kty == "RSA") {
        for (const char* name : {"e", "n"})
            required[name] = RequiredString(jwk, name);
    } else {
        Fail("no thumbprint for a JWK of type " + kty);
    }
    // JsonCpp keeps members sorted by name; the values are plain ASCII.
    const std::string input = CompactJson(required);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return Base64UrlEncode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string KeyAuthorization(std::string_view token, const Json::Value& accountJwk) {
    return std::string(token) + "." + JwkThumbprint(accountJwk);
}

bool EcdsaDerToRaw(std::string_view der, size_t size, std::string& raw) {
    raw.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
        return false;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    for (const BIGNUM* value : {r, s}) {
        if (BN_is_negative(value) || static_cast<size_t>(BN_num_bytes(value)) > size)
            return false;
    }
    std::string out(2 * size, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    if (BN_bn2binpad(r, bytes, static_cast<int>(size)) < 0 ||
        BN_bn2binpad(s, bytes + size, static_cast<int>(size)) < 0)
        return false;
    raw = std::move(out);
    return true;
}

bool EcdsaRawToDer(std::string_view raw, std::string& der) {
    der.clear();
    if (raw.empty() || raw.size() % 2 != 0)
        return false;
    const size_t half = raw.size() / 2;
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    BnPtr r(BN_bin2bn(bytes, static_cast<int>(half), nullptr));
    BnPtr s(BN_bin2bn(bytes + half, static_cast<int>(half), nullptr));
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return false;
    r.release();  // owned by sig now
    s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0)
        return false;
    std::string out(static_cast<size_t>(length), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    if (i2d_ECDSA_SIG(sig.get(), &p) != length)
        return false;
    der = std::move(out);
    return true;
}

std::string SignJwsInput(EVP_PKEY* key, std::string_view signingInput) {
    const std::string alg = JwsAlgorithm(key);
    if (alg.empty())
        Fail("the account key is neither P-256 nor RSA");
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    size_t length = 0;
    const auto* input = reinterpret_cast<const unsigned char*>(signingInput.data());
    // RSA keys sign with PKCS#1 v1.5 padding by default: what RS256 is.
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, input, signingInput.size()) != 1)
        Fail("cannot sign with the account key");
    std::string signature(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       input, signingInput.size()) != 1)
        Fail("cannot sign with the account key");
    signature.resize(length);
    if (alg == "RS256")
        return signature;
    std::string raw;
    if (!EcdsaDerToRaw(signature, kP256Size, raw))
        Fail("OpenSSL made an ECDSA signature that does not convert");
    return raw;
}

Json::Value SignFlattened(EVP_PKEY* key, Json::Value protectedHeader, std::string_view payload) {
    protectedHeader["alg"] = JwsAlgorithm(key);
    const std::string protected64 = Base64UrlEncode(CompactJson(protectedHeader));
    const std::string payload64 = Base64UrlEncode(payload);
    Json::Value jws(Json::objectValue);
    jws["protected"] = protected64;
    jws["payload"] = payload64;
    jws["signature"] = Base64UrlEncode(SignJwsInput(key, protected64 + "." + payload64));
    return jws;
}

std::string AcmeJws(EVP_PKEY* key, const JwsHeader& header, std::string_view payload) {
    Json::Value protectedHeader(Json::objectValue);
    protectedHeader["nonce"] = header.nonce;
    protectedHeader["url"] = header.url;
    if (header.kid.empty())
        protectedHeader["jwk"] = PublicJwk(key);
    else
        protectedHeader["kid"] = header.kid;
    return CompactJson(SignFlattened(key, std::move(protectedHeader), payload));
}

Json::Value ExternalAccountBinding(const Json::Value& accountJwk, const std::string& eabKid,
                                   const std::string& hmacKeyBase64Url,
                                   const std::string& newAccountUrl) {
    // CAs hand the key out as base64url, some with padding or the plain
    // alphabet; all of them mean the same bytes.
    std::string text = hmacKeyBase64Url;
    while (!text.empty() && (text.back() == '=' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    for (char& c : text) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    std::string hmacKey;
    if (eabKid.empty() || !Base64UrlDecode(text, hmacKey) || hmacKey.empty())
        Fail("the external account binding needs a key ID and a base64url HMAC key");
    Json::Value protectedHeader(Json::objectValue);
    protectedHeader["alg"] = "HS256";
    protectedHeader["kid"] = eabKid;
    protectedHeader["url"] = newAccountUrl;
    const std::string protected64 = Base64UrlEncode(CompactJson(protectedHeader));
    const std::string payload64 = Base64UrlEncode(CompactJson(accountJwk));
    Json::Value jws(Json::objectValue);
    jws["protected"] = protected64;
    jws["payload"] = payload64;
    jws["signature"] = Base64UrlEncode(HmacSha256(hmacKey, protected64 + "." + payload64));
    return jws;
}

}  // namespace qm::acme
