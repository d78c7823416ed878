#include "enrollment/tests/tls_test_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <stdexcept>

#include "foundation/textconv.h"

namespace qm::test {

std::string PemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(n));
    BIO_free(bio);
    return text;
}

namespace {

EvpPkeyPtr NewEcKey() {
    return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

std::string PemOf(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(n));
    BIO_free(bio);
    return text;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
    if (extension == nullptr)
        throw std::runtime_error("bad test extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

X509Ptr MakeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                        EVP_PKEY* issuerKey, const std::string& altNames, bool isCa,
                        const std::string& notAfter) {
    static long serial = 1000;
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    if (notAfter.empty()) {
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
    } else {
        // Stored as given, even when it is not a valid time.
        ASN1_TIME* time = X509_getm_notAfter(cert.get());
        ASN1_STRING_set(time, notAfter.data(), static_cast<int>(notAfter.size()));
        time->type = notAfter.size() == 13 ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME;
    }
    X509_set_pubkey(cert.get(), key);
    X509* signer = issuer ? issuer : cert.get();
    if (isCa) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, altNames.c_str());
    }
    AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return cert;
}

}  // namespace

TestPki::TestPki() {
    caKey_ = NewEcKey();
    caCert_ = MakeCertificate(caKey_.get(), "Quillmate Test CA", nullptr, nullptr, "", true, "");
    caPem_ = PemOf(caCert_.get());
    WriteAll(caFile(), caPem_);

    auto leaf = [&](const char* certName, const char* keyName, const std::string& cn,
                    const std::string& altNames) {
        EvpPkeyPtr key = NewEcKey();
        X509Ptr cert =
            MakeCertificate(key.get(), cn, caCert_.get(), caKey_.get(), altNames, false, "");
        WriteAll(dir_ / WideFromAscii(certName), PemOf(cert.get()));
        WriteAll(dir_ / WideFromAscii(keyName), PemOf(key.get()));
    };
    leaf("server.pem", "server.key", "localhost", "DNS:localhost,IP:127.0.0.1");
    leaf("wrong.pem", "wrong.key", "elsewhere.example.test", "DNS:elsewhere.example.test");
}

std::string TestPki::IssueLeaf(const std::string& name, const std::string& notAfter) const {
    EvpPkeyPtr key = NewEcKey();
    X509Ptr cert = MakeCertificate(key.get(), name, caCert_.get(), caKey_.get(), "DNS:" + name,
                                   false, notAfter);
    return PemOf(cert.get());
}

TlsTestServer::TlsTestServer(const std::string& certFile, const std::string& keyFile)
    : server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())) {
    if (!server_->is_valid())
        throw std::runtime_error("test TLS server cannot load its certificate");
}

TlsTestServer::~TlsTestServer() {
    Stop();
}

void TlsTestServer::Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("test TLS server cannot bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TlsTestServer::Stop() {
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::u16string TlsTestServer::Url() const {
    return WideFromAscii("https://localhost:" + std::to_string(port_));
}

ScriptedCenter::ScriptedCenter(const TestPki& pki, Rule rule)
    : rule_(std::move(rule)), server_(pki.serverCertFile(), pki.serverKeyFile()) {
    server_.Handlers().Post("/",
                            [this](const httplib::Request& request, httplib::Response& response) {
                                Json::Value body;
                                Json::Reader reader;
                                if (!reader.parse(request.body, body))
                                    body = Json::Value();
                                int index = 0;
                                {
                                    std::lock_guard<std::mutex> lock(mutex_);
                                    for (const Json::Value& earlier : requests_)
                                        index += earlier["type"] == body["type"] ? 1 : 0;
                                    requests_.push_back(body);
                                }
                                response.set_content(rule_(body, index), "application/json");
                            });
    server_.Start();
}

ScriptedCenter::~ScriptedCenter() {
    server_.Stop();
}

std::vector<std::string> ScriptedCenter::RequestTypes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> types;
    for (const Json::Value& r : requests_)
        types.push_back(r["type"].asString());
    return types;
}

std::vector<Json::Value> ScriptedCenter::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedCenter::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::string JsonAnswer(const std::vector<std::pair<std::string, Json::Value>>& members) {
    Json::Value root(Json::objectValue);
    for (const auto& [name, value] : members)
        root[name] = value;
    return Json::FastWriter().write(root);
}

}  // namespace qm::test
