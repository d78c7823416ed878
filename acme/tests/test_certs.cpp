#include "acme/tests/test_certs.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

#include "acme/jws.h"

namespace qm::acme::test {

namespace {

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + what);
}

void AddConfExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(extension != nullptr, "extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

std::string DnsList(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "DNS:" : ",DNS:") + name;
    return text;
}

BnPtr BnFromJwk(const Json::Value& jwk, const char* name) {
    std::string bytes;
    if (!jwk[name].isString() || !Base64UrlDecode(jwk[name].asString(), bytes))
        return nullptr;
    return BnPtr(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<int>(bytes.size()), nullptr));
}

}  // namespace

EvpPkeyPtr NewEcKey() {
    return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

X509Ptr MakeCert(EVP_PKEY* subjectKey, const CertFields& fields) {
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    BIGNUM* serial = nullptr;
    Check(BN_hex2bn(&serial, fields.serialHex.c_str()) > 0, "serial");
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
    BN_free(serial);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(fields.commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), fields.issuer ? X509_get_subject_name(fields.issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 90L * 24 * 3600);
    X509_set_pubkey(cert.get(), subjectKey);
    AddConfExtension(cert.get(), fields.issuer, NID_basic_constraints,
                     fields.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    if (!fields.dnsNames.empty())
        AddConfExtension(cert.get(), fields.issuer, NID_subject_alt_name, DnsList(fields.dnsNames));
    if (!fields.subjectKeyId.empty()) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id,
                              reinterpret_cast<const unsigned char*>(fields.subjectKeyId.data()),
                              static_cast<int>(fields.subjectKeyId.size()));
        X509_add1_ext_i2d(cert.get(), NID_subject_key_identifier, id, 0, X509V3_ADD_DEFAULT);
        ASN1_OCTET_STRING_free(id);
    }
    if (!fields.authorityKeyId.empty()) {
        AUTHORITY_KEYID* akid = AUTHORITY_KEYID_new();
        akid->keyid = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(akid->keyid,
                              reinterpret_cast<const unsigned char*>(fields.authorityKeyId.data()),
                              static_cast<int>(fields.authorityKeyId.size()));
        X509_add1_ext_i2d(cert.get(), NID_authority_key_identifier, akid, 0, X509V3_ADD_DEFAULT);
        AUTHORITY_KEYID_free(akid);
    }
    Check(X509_sign(cert.get(), fields.issuerKey ? fields.issuerKey : subjectKey, EVP_sha256()) > 0,
          "sign");
    return cert;
}

std::string MakeCsr(EVP_PKEY* key, const std::vector<std::string>& dnsNames) {
    X509_REQ* request = X509_REQ_new();
    X509_REQ_set_version(request, 0);
    X509_NAME* name = X509_REQ_get_subject_name(request);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(dnsNames.front().c_str()), -1,
                               -1, 0);
    X509_REQ_set_pubkey(request, key);
    STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, DnsList(dnsNames).c_str());
    sk_X509_EXTENSION_push(extensions, san);
    X509_REQ_add_extensions(request, extensions);
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    Check(X509_REQ_sign(request, key, EVP_sha256()) > 0, "csr");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(bio, request);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(n));
    BIO_free(bio);
    X509_REQ_free(request);
    return text;
}

EvpPkeyPtr KeyFromJwk(const Json::Value& jwk) {
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    std::vector<BnPtr> keep;
    std::string point;
    const bool isPrivate = jwk.isMember("d");
    const std::string kty = jwk["kty"].asString();
    if (kty == "EC") {
        std::string x, y;
        Check(Base64UrlDecode(jwk["x"].asString(), x) && Base64UrlDecode(jwk["y"].asString(), y),
              "EC coordinates");
        point = std::string(1, '\x04') + x + y;
        OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "P-256", 0);
        OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size());
        if (isPrivate) {
            keep.push_back(BnFromJwk(jwk, "d"));
            OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, keep.back().get());
        }
    } else {
        const std::pair<const char*, const char*> members[] = {
            {"n", OSSL_PKEY_PARAM_RSA_N},          {"e", OSSL_PKEY_PARAM_RSA_E},
            {"d", OSSL_PKEY_PARAM_RSA_D},          {"p", OSSL_PKEY_PARAM_RSA_FACTOR1},
            {"q", OSSL_PKEY_PARAM_RSA_FACTOR2},    {"dp", OSSL_PKEY_PARAM_RSA_EXPONENT1},
            {"dq", OSSL_PKEY_PARAM_RSA_EXPONENT2}, {"qi", OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
        for (const auto& [member, param] : members) {
            if (!jwk.isMember(member))
                continue;
            keep.push_back(BnFromJwk(jwk, member));
            Check(keep.back() != nullptr, member);
            OSSL_PARAM_BLD_push_BN(builder, param, keep.back().get());
        }
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, kty == "EC" ? "EC" : "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    const bool ok = ctx && EVP_PKEY_fromdata_init(ctx) == 1 &&
                    EVP_PKEY_fromdata(ctx, &key, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                                      params) == 1;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    Check(ok, "key from JWK");
    return EvpPkeyPtr(key);
}

bool VerifyJwsSignature(EVP_PKEY* key, const std::string& alg, const std::string& signingInput,
                        const std::string& signature) {
    std::string der = signature;
    if (alg == "ES256") {
        if (signature.size() != 64)
            return false;
        // Built here from r and s directly, not with the client's converter.
        const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
        ECDSA_SIG* sig = ECDSA_SIG_new();
        ECDSA_SIG_set0(sig, BN_bin2bn(raw, 32, nullptr), BN_bin2bn(raw + 32, 32, nullptr));
        unsigned char* out = nullptr;
        const int length = i2d_ECDSA_SIG(sig, &out);
        ECDSA_SIG_free(sig);
        if (length <= 0)
            return false;
        der.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
        OPENSSL_free(out);
    } else if (alg != "RS256") {
        return false;
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok =
        EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                         reinterpret_cast<const unsigned char*>(signingInput.data()),
                         signingInput.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

std::string HmacSha256(const std::string& key, const std::string& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length);
    return std::string(reinterpret_cast<const char*>(mac), length);
}

}  // namespace qm::acme::test
