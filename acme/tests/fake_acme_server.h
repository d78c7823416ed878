// An ACME CA in the test process, over loopback HTTPS: directory, nonces,
// accounts (with external account binding), orders, http-01 authorizations,
// finalization and chains with one alternate, renewal information. It checks
// what a CA checks of every JWS (nonce known and unused, url, signature,
// jwk or kid) and notes each fault in Faults(); the script makes it refuse
// nonces, fail validations, keep objects pending with Retry-After and so on.
//
// "Validation" asks the test's `fetch` for the file of a name and token,
// as a CA would fetch http://NAME/.well-known/acme-challenge/TOKEN.
#pragma once

#include <json/value.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/tests/tls_test_server.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace qm::acme::test {

struct FakeCaScript {
    int rejectNonces = 0;  // the next N signed requests get badNonce
    // The next N signed requests get 503 (a CA under load), or 429
    // rateLimited, each with Retry-After: retryAfterBusy seconds (-1: none).
    int unavailable = 0;
    int rateLimited = 0;
    int retryAfterBusy = 1;
    bool requireTerms = true;  // newAccount without termsOfServiceAgreed is refused
    std::string termsOfService = "https://ca.test/terms";
    std::string eabKid;                // set: newAccount needs a binding with this kid and key
    std::string eabKey;                // base64url
    std::set<std::string> failNames;   // their validation fails with a connection problem
    int pendingPolls = 0;              // an answered authorization stays pending this many polls
    int processingPolls = 0;           // a finalized order stays processing this many polls
    int retryAfterSeconds = 0;         // sent with pending and processing answers (0: none)
    bool reuseAuthorizations = false;  // names validated before come back valid in new orders
    bool offerHttp01 = true;           // false: only dns-01 is offered
    bool renewalInfo = false;          // the directory names renewalInfo
    std::optional<Json::Value> newOrderProblem;  // newOrder answers 400 with this
};

class FakeAcmeServer {
public:
    using Fetch = std::function<std::optional<std::string>(const std::string& name,
                                                           const std::string& token)>;

    FakeAcmeServer(const qm::test::TestPki& pki, FakeCaScript script, Fetch fetch);
    ~FakeAcmeServer();

    std::string directoryUrl() const;  // https://localhost:PORT/dir
    std::string url(const std::string& path) const;

    // "METHOD /path" of every request, in order.
    std::vector<std::string> Requests() const;
    int CountOf(const std::string& methodAndPath) const;  // "POST /new-order"; path prefix
    // What the server found wrong with the client's requests: stays empty.
    std::vector<std::string> Faults() const;
    int AccountsCreated() const;
    int NoncesRejected() const;
    int BusyAnswers() const;  // the 503 and rateLimited answers given
    Json::Value LastNewAccountPayload() const;
    Json::Value LastNewOrderPayload() const;
    std::string LastAccept() const;  // the Accept header of the last certificate download
    std::string RootName(int index) const { return index == 0 ? "Fake Root A" : "Fake Root B"; }
    // The certID (RFC 9773) of the last certificate issued, worked out here.
    std::string LastCertId() const;

private:
    struct Authorization {
        std::string name;
        std::string token;
        int account = -1;
        std::string status = "pending";  // pending, valid, invalid
        std::string challengeStatus = "pending";
        int pollsLeft = 0;
        Json::Value error;
        Json::Value validationRecord;
    };
    struct Order {
        int account = -1;
        std::vector<std::string> names;
        std::vector<int> authorizations;
        bool finalized = false;
        int processingLeft = 0;
        int certificate = -1;
    };
    struct Verified {
        Json::Value header;
        std::string payload;
        int account = -1;
        Json::Value jwk;
    };

    void Install();
    void Fault(const std::string& what);
    std::string NewNonce();
    bool Verify(const httplib::Request& request, httplib::Response& response, Verified& out,
                bool jwkAllowed);
    void Problem(httplib::Response& response, int status, const std::string& type,
                 const std::string& detail);
    void Reply(httplib::Response& response, int status, const Json::Value& body);
    Json::Value AuthorizationJson(int id) const;
    Json::Value OrderJson(int id);
    std::string IssueCertificate(const Order& order, EVP_PKEY* publicKey);
    void Log(const httplib::Request& request);

    FakeCaScript script_;
    Fetch fetch_;
    qm::test::TlsTestServer server_;

    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::string> faults_;
    std::set<std::string> nonces_;
    int nonceCounter_ = 0;
    int noncesRejected_ = 0;
    int busyAnswers_ = 0;
    std::vector<Json::Value> accounts_;  // JWKs
    int accountsCreated_ = 0;
    Json::Value lastNewAccount_;
    Json::Value lastNewOrder_;
    std::vector<Authorization> authorizations_;
    std::vector<Order> orders_;
    std::vector<std::string> leaves_;  // PEM
    std::map<std::string, int> certIds_;
    std::string lastAccept_;
    std::string lastCertId_;

    EvpPkeyPtr rootAKey_, rootBKey_, interKey_;
    X509Ptr rootA_, rootB_, interA_, interB_;
    std::string interAPem_, interBPem_;
};

}  // namespace qm::acme::test
