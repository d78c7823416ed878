// Loopback HTTPS for the enrollment tests: a throwaway CA with server
// certificates, a server that runs the test's handlers, and a scripted
// certificate center.
#pragma once

#include <json/value.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/OpenSSL/quorp/quorp.h"
#include "tests/support/temp_dir.h"

namespace httplib {
class SSLServer;
}

namespace qm::test {

// The certificate as PEM text.
std::string PemOf(X509* cert);

// A CA and certificates it issues (EC P-256 keys: quick to make). Files are
// written into a folder of its own.
class TestPki {
public:
    TestPki();

    std::u16string caFile() const { return dir_ / u"ca.pem"; }
    std::string caPem() const { return caPem_; }
    // For "localhost" and 127.0.0.1.
    std::string serverCertFile() const { return dir_.narrow() + "server.pem"; }
    std::string serverKeyFile() const { return dir_.narrow() + "server.key"; }
    // Chains to the CA but names only "elsewhere.example.test".
    std::string wrongHostCertFile() const { return dir_.narrow() + "wrong.pem"; }
    std::string wrongHostKeyFile() const { return dir_.narrow() + "wrong.key"; }

    // A leaf certificate (PEM) for `name`; notAfter as an ASN.1 time text
    // (13 characters: UTCTime, 15: GeneralizedTime), stored as given.
    std::string IssueLeaf(const std::string& name, const std::string& notAfter) const;

private:
    TempDir dir_;
    EvpPkeyPtr caKey_;
    X509Ptr caCert_;
    std::string caPem_;
};

class TlsTestServer {
public:
    TlsTestServer(const std::string& certFile, const std::string& keyFile);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // Register handlers before Start.
    httplib::SSLServer& Handlers() { return *server_; }
    void Start();
    void Stop();
    int port() const { return port_; }
    std::u16string Url() const;  // "https://localhost:PORT"

private:
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
};

// A certificate center whose every answer comes from the test's rule. The
// rule sees each request and its position among the requests of its type
// (0 for the first "challengeRequest", ...).
class ScriptedCenter {
public:
    using Rule = std::function<std::string(const Json::Value& request, int indexOfType)>;

    ScriptedCenter(const TestPki& pki, Rule rule);
    ~ScriptedCenter();

    std::u16string Url() const { return server_.Url(); }
    std::vector<std::string> RequestTypes() const;
    std::vector<Json::Value> Requests() const;
    void ClearLog();

private:
    Rule rule_;
    mutable std::mutex mutex_;
    std::vector<Json::Value> requests_;
    TlsTestServer server_;
};

// JSON text of an object holding the given members.
std::string JsonAnswer(const std::vector<std::pair<std::string, Json::Value>>& members);

}  // namespace qm::test
