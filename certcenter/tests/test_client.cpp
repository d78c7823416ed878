#include "certcenter/tests/test_client.h"

#include <json/reader.h>
#include <json/writer.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace qm::certcenter::test {
namespace {

std::string Styled(const Json::Value& message) {
    Json::StyledWriter writer;
    return writer.write(message);
}

std::string Base64Lines(const unsigned char* data, size_t size) {
    std::string flat(4 * ((size + 2) / 3) + 1, '\0');
    flat.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()),
                                                    data, static_cast<int>(size))));
    std::string lines;
    for (size_t i = 0; i < flat.size(); i += 64) {
        if (i)
            lines += '\n';
        lines += flat.substr(i, 64);
    }
    return lines;
}

}  // namespace

TestClient::TestClient() : key_(GenerateKey(KeyKind::Rsa)) {
    std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(bio.get(), key_.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    publicKeyPem_.assign(data, static_cast<size_t>(size));
}

std::string TestClient::Sign(const std::string& text) const {
    std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
    unsigned char signature[1024];
    size_t size = sizeof signature;
    if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &size,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1)
        throw std::runtime_error("cannot sign");
    return Base64Lines(signature, size);
}

std::string TestClient::MakeCsr(const std::string& commonName, const EVP_MD* digest,
                                EVP_PKEY* key) {
    if (!key) {
        // RSA key generation dominates the tests' time; the center does not
        // care whether two requests share a key.
        static const PKey shared = GenerateKey(KeyKind::Rsa);
        key = shared.get();
    }
    CertRequest request(X509_REQ_new());
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_REQ_set_pubkey(request.get(), key);
    if (X509_REQ_sign(request.get(), key, digest) <= 0)
        throw std::runtime_error("cannot sign the CSR");
    std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509_REQ(bio.get(), request.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string TestClient::Challenge(const std::vector<std::string>& identifiers) {
    Json::Value message;
    message["type"] = "challengeRequest";
    message["identifier"] = Json::Value(Json::arrayValue);
    for (const auto& id : identifiers)
        message["identifier"].append(id);
    message["webType"] = "nginx";
    message["webVersion"] = "1.22.1";
    return Styled(message);
}

std::string TestClient::Authorization(const std::string& sessionId, const std::string& nonce,
                                      const std::vector<std::string>& verifyRes) const {
    Json::Value message;
    message["type"] = "authorizationRequest";
    message["sessionID"] = sessionId;
    message["nonce"] = nonce;
    message["customerID"] = "general";
    message["verifyRes"] = Json::Value(Json::arrayValue);
    for (const auto& url : verifyRes)
        message["verifyRes"].append(url);
    message["publicKey"] = publicKeyPem_;
    message["encrypt"] = Sign(nonce);
    return Styled(message);
}

std::string TestClient::CertificateRequest(const std::string& csr, unsigned templateId) const {
    Json::Value message;
    message["type"] = "certificateRequest";
    message["csr"] = csr;
    message["templateID"] = templateId;
    message["publicKey"] = publicKeyPem_;
    message["encrypt"] = Sign(csr);
    return Styled(message);
}

std::string TestClient::StatusRequest(const std::string& token, unsigned templateId) const {
    Json::Value message;
    message["type"] = "statusRequest";
    message["token"] = token;
    message["templateID"] = templateId;
    message["publicKey"] = publicKeyPem_;
    message["encrypt"] = Sign(token);
    return Styled(message);
}

Json::Value ParseAnswer(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        return Json::Value();
    return value;
}

std::vector<std::string> SubjectAltNames(const std::string& certificatePem) {
    std::vector<std::string> names;
    Cert cert = ReadCertificatePem(certificatePem);
    if (!cert)
        return names;
    auto* general = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; general && i < sk_GENERAL_NAME_num(general); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
        if (name->type == GEN_DNS)
            names.emplace_back(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                static_cast<size_t>(ASN1_STRING_length(name->d.dNSName)));
    }
    GENERAL_NAMES_free(general);
    return names;
}

std::string CommonName(const std::string& certificatePem) {
    Cert cert = ReadCertificatePem(certificatePem);
    if (!cert)
        return {};
    char text[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert.get()), NID_commonName, text, sizeof text);
    return text;
}

}  // namespace qm::certcenter::test
