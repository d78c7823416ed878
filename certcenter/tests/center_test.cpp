#include "certcenter/center.h"

#include <gtest/gtest.h>
#include <json/writer.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "certcenter/tests/test_client.h"
#include "tests/support/temp_dir.h"

namespace qm::certcenter {
namespace {

using test::ParseAnswer;
using test::SubjectAltNames;
using test::TestClient;

const std::string kShop = "shop.example.test";
const std::string kWww = "www.shop.example.test";
const std::string kShopUrl = "http://shop.example.test:80/auth/auth.txt";
const std::string kWwwUrl = "https://www.shop.example.test:443/auth/auth.txt";

// RSA key generation is the slow part; two clients serve every test.
const TestClient& Client() {
    static const TestClient client;
    return client;
}
const TestClient& OtherClient() {
    static const TestClient client;
    return client;
}

// A center over a fresh state folder, with web sites simulated by a map
// from URL to file content.
class CenterTest : public ::testing::Test {
protected:
    void SetUp() override { Open(); }

    // The settings the tests start from: the test names are under .test.
    static CenterSettings Local() {
        CenterSettings settings;
        settings.allowLocal = true;
        return settings;
    }

    void Open(CenterSettings settings = Local()) {
        if (!settings.clock)
            settings.clock = [this] { return now_; };
        center_.reset();
        state_.reset();
        if (!authority_)
            authority_ = std::make_unique<CertificateAuthority>(
                CertificateAuthority::OpenOrCreate(dir_.narrow(), KeyKind::Ec));
        state_ = std::make_unique<CenterState>(dir_.narrow());
        center_ = std::make_unique<CertCenter>(
            settings, *authority_, *state_, [this](const std::string& url) {
                std::lock_guard lock(fetchMutex_);
                fetched_.push_back(url);
                FetchResult result;
                result.hops.push_back({url, "192.0.2.7", sites_.contains(url) ? 200 : 404});
                if (const auto it = sites_.find(url); it != sites_.end()) {
                    result.ok = true;
                    result.body = it->second;
                } else {
                    result.problem = "HTTP status 404";
                }
                return result;
            });
    }

    Json::Value Send(const std::string& request, Reply* full = nullptr) {
        const Reply reply = center_->Handle(request);
        if (full)
            *full = reply;
        const Json::Value answer = ParseAnswer(CompactJson(reply.answer));
        EXPECT_TRUE(answer.isObject());
        return answer;
    }

    // Challenge and authorization for the names, the verification files
    // placed as the real client writes them (CR LF, no final break).
    void Authorize(const TestClient& client, const std::vector<std::string>& identifiers,
                   const std::vector<std::string>& urls) {
        const Json::Value challenge = Send(TestClient::Challenge(identifiers));
        ASSERT_EQ(challenge["type"], "challenge") << challenge;
        const std::string nonce = challenge["nonce"].asString();
        std::string file = client.Sign(nonce);
        for (size_t at = 0; (at = file.find('\n', at)) != std::string::npos; at += 2)
            file.replace(at, 1, "\r\n");
        for (const auto& url : urls)
            sites_[url] = file;
        const Json::Value answer =
            Send(client.Authorization(challenge["sessionID"].asString(), nonce, urls));
        ASSERT_EQ(answer["type"], "authorization") << answer;
    }

    static void ExpectError(const Json::Value& answer, const std::string& error) {
        EXPECT_EQ(answer["type"], "error") << answer;
        EXPECT_EQ(answer["error"], error) << answer;
        EXPECT_FALSE(answer["message"].asString().empty()) << answer;
    }

    qm::test::TempDir dir_;
    std::unique_ptr<CertificateAuthority> authority_;
    std::unique_ptr<CenterState> state_;
    std::unique_ptr<CertCenter> center_;
    std::map<std::string, std::string> sites_;
    std::vector<std::string> fetched_;
    std::mutex fetchMutex_;  // fetches of one authorization run together
    int64_t now_ = NowSeconds();
};

TEST_F(CenterTest, FullFlowIssuesCertificateForTheChallengedNames) {
    // The same domain twice (an HTTP and an HTTPS site) and in mixed case.
    const Json::Value challenge =
        Send(TestClient::Challenge({"Shop.Example.test", kWww, "shop.example.test"}));
    ASSERT_EQ(challenge["type"], "challenge");
    EXPECT_EQ(challenge["nonce"].asString().size(), 32u);
    EXPECT_EQ(challenge["sessionID"].asString().size(), 32u);

    const std::string nonce = challenge["nonce"].asString();
    const std::string encrypt = Client().Sign(nonce);
    std::string crlf;
    for (const char c : encrypt)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    sites_[kShopUrl] = crlf;
    sites_[kWwwUrl] = encrypt + "\n";  // an editor's final line break is tolerated
    Reply reply;
    const Json::Value authorization =
        Send(Client().Authorization(challenge["sessionID"].asString(), nonce, {kShopUrl, kWwwUrl}),
             &reply);
    ASSERT_EQ(authorization["type"], "authorization") << authorization;
    std::sort(fetched_.begin(), fetched_.end());
    EXPECT_EQ(fetched_, (std::vector<std::string>{kShopUrl, kWwwUrl}));
    EXPECT_EQ(reply.details["sessionID"], challenge["sessionID"]);

    const std::string csr = TestClient::MakeCsr("KorvaneSSLCertificate");
    const Json::Value issued = Send(Client().CertificateRequest(csr, 7));
    ASSERT_EQ(issued["type"], "certificate") << issued;
    const std::string pem = issued["certificate"].asString();
    EXPECT_EQ(SubjectAltNames(pem), (std::vector<std::string>{kShop, kWww}));
    EXPECT_EQ(test::CommonName(pem), kShop);
    ASSERT_EQ(issued["chain"].size(), 1u);
    EXPECT_EQ(issued["chain"][0].asString(), authority_->certificatePem());

    // The certificate carries the CSR's key, not the client's signing key.
    Cert cert = ReadCertificatePem(pem);
    CertRequest request = ReadCertRequestPem(csr);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(request.get())), 1);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(authority_->certificate())), 1);
}

TEST_F(CenterTest, SignaturesAreChecked) {
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    const std::string nonce = challenge["nonce"].asString();
    sites_[kShopUrl] = Client().Sign(nonce);

    // "encrypt" made with another key than "publicKey".
    Json::Value forged = ParseAnswer(
        OtherClient().Authorization(challenge["sessionID"].asString(), nonce, {kShopUrl}));
    forged["publicKey"] = Client().publicKeyPem();
    ExpectError(Send(CompactJson(forged)), "badSignature");
    // A signature over something else than the nonce.
    forged["encrypt"] = Client().Sign(nonce + "x");
    ExpectError(Send(CompactJson(forged)), "badSignature");
    forged["encrypt"] = "not base64 !";
    ExpectError(Send(CompactJson(forged)), "badSignature");
    forged["publicKey"] = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
    ExpectError(Send(CompactJson(forged)), "badPublicKey");
    EXPECT_TRUE(fetched_.empty()) << "nothing is fetched for a forged request";

    ASSERT_EQ(
        Send(Client().Authorization(challenge["sessionID"].asString(), nonce, {kShopUrl}))["type"],
        "authorization");
    // The certificate request's signature covers the CSR.
    Json::Value request = ParseAnswer(Client().CertificateRequest(TestClient::MakeCsr(kShop)));
    request["csr"] = TestClient::MakeCsr(kWww);
    ExpectError(Send(CompactJson(request)), "badSignature");
}

TEST_F(CenterTest, DomainControlIsProvenForEveryNameAndOnlyThose) {
    const Json::Value challenge = Send(TestClient::Challenge({kShop, kWww}));
    const std::string session = challenge["sessionID"].asString();
    const std::string nonce = challenge["nonce"].asString();
    const std::string signature = Client().Sign(nonce);

    // Wrong content.
    sites_[kShopUrl] = signature;
    sites_[kWwwUrl] = OtherClient().Sign(nonce);
    ExpectError(Send(Client().Authorization(session, nonce, {kShopUrl, kWwwUrl})), "verifyFailed");
    // A name without a URL.
    ExpectError(Send(Client().Authorization(session, nonce, {kShopUrl})), "verifyFailed");
    // A URL on a name that was not challenged is never fetched.
    fetched_.clear();
    ExpectError(Send(Client().Authorization(
                    session, nonce, {kShopUrl, kWwwUrl, "http://internal.example.test/secret"})),
                "verifyFailed");
    EXPECT_TRUE(fetched_.empty());
    // A file that is not there.
    sites_.erase(kWwwUrl);
    const Json::Value missing = Send(Client().Authorization(session, nonce, {kShopUrl, kWwwUrl}));
    ExpectError(missing, "verifyFailed");
    EXPECT_NE(missing["message"].asString().find("HTTP status 404"), std::string::npos);

    // Failed attempts do not authorize the key.
    ExpectError(Send(Client().CertificateRequest(TestClient::MakeCsr(kShop))), "publicKeyIllegal");

    sites_[kWwwUrl] = signature;
    EXPECT_EQ(Send(Client().Authorization(session, nonce, {kShopUrl, kWwwUrl}))["type"],
              "authorization");
}

TEST_F(CenterTest, UnknownSessionOrNonceAnswersUnknown) {
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    ExpectError(Send(Client().Authorization("0123", challenge["nonce"].asString(), {kShopUrl})),
                "unknown");
    ExpectError(
        Send(Client().Authorization(challenge["sessionID"].asString(), "other", {kShopUrl})),
        "unknown");
}

TEST_F(CenterTest, SessionKeepsTheKeyOfItsAuthorization) {
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    const std::string session = challenge["sessionID"].asString();
    const std::string nonce = challenge["nonce"].asString();
    sites_[kShopUrl] = Client().Sign(nonce);
    ASSERT_EQ(Send(Client().Authorization(session, nonce, {kShopUrl}))["type"], "authorization");
    sites_[kShopUrl] = OtherClient().Sign(nonce);
    ExpectError(Send(OtherClient().Authorization(session, nonce, {kShopUrl})), "publicKeyIllegal");
    // Only the authorized key may request the certificate.
    ExpectError(Send(OtherClient().CertificateRequest(TestClient::MakeCsr(kShop))),
                "publicKeyIllegal");
}

TEST_F(CenterTest, CertificateRequestsAreChecked) {
    Authorize(Client(), {kShop}, {kShopUrl});
    ExpectError(Send(Client().CertificateRequest("not a csr")), "badCsr");

    // A CSR whose signature was made by another key than the one it carries.
    const PKey carried = GenerateKey(KeyKind::Rsa);
    const PKey signer = GenerateKey(KeyKind::Rsa);
    CertRequest forged(X509_REQ_new());
    X509_REQ_set_pubkey(forged.get(), carried.get());
    X509_REQ_sign(forged.get(), signer.get(), EVP_sha256());
    std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509_REQ(bio.get(), forged.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    ExpectError(Send(Client().CertificateRequest(std::string(data, static_cast<size_t>(size)))),
                "badCsr");

    PKey weak(EVP_RSA_gen(1024));
    ExpectError(
        Send(Client().CertificateRequest(TestClient::MakeCsr(kShop, EVP_sha256(), weak.get()))),
        "badCsr");

    // SHA-1 and SHA-256 signed requests, RSA and EC keys are all fine.
    EXPECT_EQ(Send(Client().CertificateRequest(TestClient::MakeCsr(kShop, EVP_sha1())))["type"],
              "certificate");
    PKey ec = GenerateKey(KeyKind::Ec);
    EXPECT_EQ(Send(Client().CertificateRequest(
                  TestClient::MakeCsr(kShop, EVP_sha256(), ec.get())))["type"],
              "certificate");
    // "templateID" is a number.
    Json::Value request = ParseAnswer(Client().CertificateRequest(TestClient::MakeCsr(kShop)));
    request["templateID"] = "1";
    ExpectError(Send(CompactJson(request)), "badRequest");
}

TEST_F(CenterTest, DeferredRequestIsIssuedOnceApproved) {
    CenterSettings settings = Local();
    settings.defer = true;
    Open(settings);
    Authorize(Client(), {kShop}, {kShopUrl});
    Reply reply;
    const Json::Value deferred =
        Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)), &reply);
    ASSERT_EQ(deferred["type"], "defer") << deferred;
    const std::string token = deferred["token"].asString();
    EXPECT_TRUE(IsWellFormedToken(token));
    EXPECT_EQ(reply.details["token"], token);

    for (int i = 0; i < 3; ++i) {
        const Json::Value status = Send(Client().StatusRequest(token));
        EXPECT_EQ(status["type"], "defer");
        EXPECT_EQ(status["token"], token);
    }
    // Another client's key, an unknown token, a bad signature.
    ExpectError(Send(OtherClient().StatusRequest(token)), "publicKeyIllegal");
    ExpectError(Send(Client().StatusRequest(std::string(32, 'a'))), "publicKeyIllegal");
    Json::Value forged = ParseAnswer(Client().StatusRequest(token));
    forged["encrypt"] = Client().Sign("x");
    ExpectError(Send(CompactJson(forged)), "badSignature");

    CenterState::Approve(dir_.narrow(), token);
    const Json::Value issued = Send(Client().StatusRequest(token));
    ASSERT_EQ(issued["type"], "certificate") << issued;
    EXPECT_EQ(SubjectAltNames(issued["certificate"].asString()), std::vector<std::string>{kShop});
    // Asking again (an answer lost on the way) gives the same certificate.
    EXPECT_EQ(Send(Client().StatusRequest(token))["certificate"], issued["certificate"]);
}

TEST_F(CenterTest, AutoApprovalAfterSomePolls) {
    CenterSettings settings = Local();
    settings.defer = true;
    settings.autoApproveAfter = 2;
    Open(settings);
    Authorize(Client(), {kShop}, {kShopUrl});
    const std::string token =
        Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)))["token"].asString();
    EXPECT_EQ(Send(Client().StatusRequest(token))["type"], "defer");
    EXPECT_EQ(Send(Client().StatusRequest(token))["type"], "defer");
    EXPECT_EQ(Send(Client().StatusRequest(token))["type"], "certificate");
}

TEST_F(CenterTest, CertificatesLastTheConfiguredValidity) {
    CenterSettings settings = Local();
    settings.validitySeconds = 120;
    Open(settings);
    Authorize(Client(), {kShop}, {kShopUrl});
    const Json::Value answer = Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)));
    ASSERT_EQ(answer["type"], "certificate") << answer;
    Cert cert = ReadCertificatePem(answer["certificate"].asString());
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert.get()),
                             X509_get0_notAfter(cert.get())),
              1);
    EXPECT_EQ(days, 0);
    EXPECT_EQ(seconds, 120);
}

TEST_F(CenterTest, InjectedFaultsAnswerTheNamedErrorTheGivenNumberOfTimes) {
    CenterSettings settings = Local();
    settings.failChallenge = ParseFaultRule("highFrequency:2");
    settings.failAuthorization = ParseFaultRule("unknown:once");
    settings.failCertificate = ParseFaultRule("underReview:once");
    settings.failStatus = ParseFaultRule("publicKeyIllegal");
    settings.defer = true;
    Open(settings);

    Reply reply;
    ExpectError(Send(TestClient::Challenge({kShop}), &reply), "highFrequency");
    EXPECT_TRUE(reply.details["injected"].asBool());
    ExpectError(Send(TestClient::Challenge({kShop})), "highFrequency");
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    ASSERT_EQ(challenge["type"], "challenge");

    const std::string nonce = challenge["nonce"].asString();
    sites_[kShopUrl] = Client().Sign(nonce);
    const std::string authorization =
        Client().Authorization(challenge["sessionID"].asString(), nonce, {kShopUrl});
    ExpectError(Send(authorization), "unknown");
    EXPECT_TRUE(fetched_.empty());
    EXPECT_EQ(Send(authorization)["type"], "authorization");

    const std::string request = Client().CertificateRequest(TestClient::MakeCsr(kShop));
    ExpectError(Send(request), "underReview");
    const std::string token = Send(request)["token"].asString();
    for (int i = 0; i < 3; ++i)
        ExpectError(Send(Client().StatusRequest(token)), "publicKeyIllegal");
}

TEST_F(CenterTest, StateSurvivesARestart) {
    CenterSettings settings = Local();
    settings.defer = true;
    Open(settings);
    Authorize(Client(), {kShop, kWww}, {kShopUrl, kWwwUrl});
    const std::string token =
        Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)))["token"].asString();
    ASSERT_FALSE(token.empty());

    // The same folder, a new center: the deferred request and the
    // authorization are still known.
    Open(settings);
    EXPECT_EQ(Send(Client().StatusRequest(token))["type"], "defer");
    CenterState::Approve(dir_.narrow(), token);
    const Json::Value issued = Send(Client().StatusRequest(token));
    ASSERT_EQ(issued["type"], "certificate") << issued;
    EXPECT_EQ(SubjectAltNames(issued["certificate"].asString()),
              (std::vector<std::string>{kShop, kWww}));

    Open();
    EXPECT_EQ(Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)))["type"], "certificate");
    EXPECT_EQ(Send(Client().StatusRequest(token))["certificate"], issued["certificate"]);
}

TEST_F(CenterTest, MalformedRequestsGetErrorAnswers) {
    const std::vector<std::string> bad = {
        "",
        "not json",
        "[1,2]",
        "{\"type\":1}",
        "{\"identifier\":[\"shop.example.test\"]}",
        "{\"type\":\"renewRequest\"}",
        "{\"type\":\"challengeRequest\"}",
        "{\"type\":\"challengeRequest\",\"identifier\":[]}",
        "{\"type\":\"challengeRequest\",\"identifier\":\"shop.example.test\"}",
        "{\"type\":\"challengeRequest\",\"identifier\":[1]}",
        "{\"type\":\"challengeRequest\",\"identifier\":[\"*.example.test\"]}",
        "{\"type\":\"challengeRequest\",\"identifier\":[\"127.0.0.1\"]}",
        "{\"type\":\"challengeRequest\",\"identifier\":[\"caf\xc3\xa9.test\"]}",
        "{\"type\":\"challengeRequest\",\"identifier\":[\"\xff\xfe\"]}",
        "{\"type\":\"challengeRequest\",\"type\":\"statusRequest\"}",
        "{\"type\":\"challengeRequest\"} trailing",
        "{\"type\":\"authorizationRequest\",\"sessionID\":[],\"nonce\":{}}",
        "{\"type\":\"certificateRequest\",\"csr\":null}",
        "{\"type\":\"statusRequest\",\"token\":\"a\",\"publicKey\":\"x\",\"encrypt\":\"y\"}",
        std::string(200, '[') + std::string(200, ']'),
        std::string("{\"type\":\"challengeRequest\0\"}", 29),
    };
    for (const auto& request : bad) {
        Reply reply;
        const Json::Value answer = Send(request, &reply);
        EXPECT_EQ(answer["type"], "error") << request;
        EXPECT_NE(reply.status, 500) << request << answer;
        EXPECT_FALSE(answer["error"].asString().empty()) << request;
    }

    Reply reply;
    Send(std::string(CertCenter::kMaxRequestBytes + 1, ' '), &reply);
    EXPECT_EQ(reply.status, 413);
    EXPECT_EQ(reply.answer["error"], "tooLarge");
}

TEST_F(CenterTest, NameCountIsBounded) {
    CenterSettings settings = Local();
    settings.maxNames = 3;
    Open(settings);
    ExpectError(Send(TestClient::Challenge({"a.test", "b.test", "c.test", "d.test"})),
                "badRequest");
    // Duplicates do not count against the limit.
    EXPECT_EQ(
        Send(TestClient::Challenge({"a.test", "A.test", "b.test", "c.test", "c.test"}))["type"],
        "challenge");
}

TEST_F(CenterTest, OnlyNamesSomeoneCanProveAreCertified) {
    CenterSettings strict;
    Open(strict);
    for (const char* name : {"localhost", "intranet", "printer.local", "db.internal", "shop.test",
                             "www.example", "x.invalid", "app.localhost", "nas.home.arpa"}) {
        const Json::Value answer = Send(TestClient::Challenge({"shop.example.com", name}));
        ExpectError(answer, "rejectedName");
        EXPECT_NE(answer["message"].asString().find(name), std::string::npos) << answer;
    }
    // Look-alikes of the reserved names are ordinary names.
    EXPECT_EQ(Send(TestClient::Challenge({"shop.example.com", "example.org", "testing.com",
                                          "mylocal.net", "localhost.example.com"}))["type"],
              "challenge");
    // IP literals are never names.
    ExpectError(Send(TestClient::Challenge({"192.0.2.1"})), "badRequest");

    Open(Local());
    EXPECT_EQ(Send(TestClient::Challenge({"localhost", "intranet", "shop.test"}))["type"],
              "challenge");
}

TEST_F(CenterTest, ProofCountsOnlyAtTheVerificationFileOnAnAllowedPort) {
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    const std::string session = challenge["sessionID"].asString();
    const std::string nonce = challenge["nonce"].asString();
    for (const char* url :
         {"http://shop.example.test/uploads/auth.txt", "http://shop.example.test/auth/auth.txt?x=1",
          "http://shop.example.test/auth/auth.txt/", "http://shop.example.test/AUTH/auth.txt",
          "http://shop.example.test/auth/%61uth.txt", "http://shop.example.test:8080/auth/auth.txt",
          "https://shop.example.test:8443/auth/auth.txt"}) {
        sites_[url] = Client().Sign(nonce);
        const Json::Value answer = Send(Client().Authorization(session, nonce, {url}));
        ExpectError(answer, "verifyFailed");
        EXPECT_FALSE(answer["message"].asString().empty());
    }
    EXPECT_TRUE(fetched_.empty()) << "nothing is fetched from another path or port";

    CenterSettings settings = Local();
    settings.allowedPorts.Add(8080, 8080);
    Open(settings);
    const std::string onPort = "http://shop.example.test:8080/auth/auth.txt";
    sites_[onPort] = Client().Sign(nonce);
    Reply reply;
    EXPECT_EQ(Send(Client().Authorization(session, nonce, {onPort}), &reply)["type"],
              "authorization");
    // Every request of the fetch is in the request log.
    ASSERT_EQ(reply.details["fetches"].size(), 1u) << reply.details;
    EXPECT_EQ(reply.details["fetches"][0]["hops"][0]["url"], onPort);
    EXPECT_EQ(reply.details["fetches"][0]["hops"][0]["address"], "192.0.2.7");
}

TEST_F(CenterTest, ChallengesAndAuthorizationsExpire) {
    CenterSettings settings = Local();
    settings.defer = true;
    settings.lifetimes.challenge = 3600;
    settings.lifetimes.authorization = 30 * 86400;
    Open(settings);

    // A challenge answered too late: "unknown" sends the client back to a new one.
    const Json::Value challenge = Send(TestClient::Challenge({kShop}));
    const std::string nonce = challenge["nonce"].asString();
    sites_[kShopUrl] = Client().Sign(nonce);
    now_ += 3601;
    ExpectError(Send(Client().Authorization(challenge["sessionID"].asString(), nonce, {kShopUrl})),
                "unknown");

    // An authorization used after its lifetime: the answer for a lost key.
    Authorize(Client(), {kShop}, {kShopUrl});
    const std::string token =
        Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)))["token"].asString();
    ASSERT_FALSE(token.empty());
    now_ += 30 * 86400 - 10;
    EXPECT_EQ(Send(Client().StatusRequest(token))["type"], "defer") << "still within its lifetime";
    CenterState::Approve(dir_.narrow(), token);
    now_ += 20;
    ExpectError(Send(Client().StatusRequest(token)), "publicKeyIllegal");
    ExpectError(Send(Client().CertificateRequest(TestClient::MakeCsr(kShop))), "publicKeyIllegal");

    // Verifying again authorizes again.
    Authorize(Client(), {kShop}, {kShopUrl});
    EXPECT_EQ(Send(Client().CertificateRequest(TestClient::MakeCsr(kShop)))["type"], "defer");

    // What expired is gone from the state file, approval markers included.
    const std::string stateText = qm::test::ReadAll(dir_ / u"center.json");
    EXPECT_EQ(stateText.find(token), std::string::npos);
    EXPECT_EQ(stateText.find(challenge["sessionID"].asString()), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_.narrow() + "approved/" + token));
}

TEST_F(CenterTest, RequestsBeyondTheRatesAnswerHighFrequency) {
    CenterSettings settings = Local();
    settings.requestsPerAddress = 3;
    settings.requestsPerKey = 2;
    Open(settings);
    const std::string challenge = TestClient::Challenge({kShop});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(center_->Handle(challenge, "192.0.2.1").answer["type"], "challenge");
    EXPECT_EQ(center_->Handle(challenge, "192.0.2.1").answer["error"], "highFrequency");
    EXPECT_EQ(center_->Handle(challenge, "192.0.2.2").answer["type"], "challenge")
        << "another address has its own count";
    now_ += 60;
    EXPECT_EQ(center_->Handle(challenge, "192.0.2.1").answer["type"], "challenge")
        << "a new minute, a new count";

    // One key from many addresses.
    const std::string status = Client().StatusRequest(std::string(32, 'a'));
    EXPECT_EQ(center_->Handle(status, "198.51.100.1").answer["error"], "publicKeyIllegal");
    EXPECT_EQ(center_->Handle(status, "198.51.100.2").answer["error"], "publicKeyIllegal");
    EXPECT_EQ(center_->Handle(status, "198.51.100.3").answer["error"], "highFrequency");
    EXPECT_EQ(center_->Handle(OtherClient().StatusRequest(std::string(32, 'a')), "198.51.100.3")
                  .answer["error"],
              "publicKeyIllegal");
}

TEST(CenterStateTest, DamagedFileIsReportedNotDiscarded) {
    qm::test::TempDir dir;
    for (const char* damaged :
         {"{", "[]", "{\"sessions\":[1]}", "{\"sessions\":[{\"id\":1}]}",
          "{\"requests\":[{\"token\":\"t\",\"publicKeyId\":\"k\",\"csr\":\"c\",\"names\":[],"
          "\"templateID\":\"x\"}]}"}) {
        qm::test::WriteAll(dir / u"center.json", damaged);
        EXPECT_THROW(CenterState state(dir.narrow()), std::runtime_error) << damaged;
    }
    EXPECT_EQ(qm::test::ReadAll(dir / u"center.json").front(), '{');
}

TEST(CenterStateTest, ApproveChecksTheToken) {
    qm::test::TempDir dir;
    CenterState state(dir.narrow());
    DeferredRequest request;
    request.token = std::string(32, 'b');
    state.AddRequest(request);
    state.Save();

    EXPECT_THROW(CenterState::Approve(dir.narrow(), "../../etc/passwd"), std::runtime_error);
    EXPECT_THROW(CenterState::Approve(dir.narrow(), std::string(32, 'c')), std::runtime_error);
    EXPECT_FALSE(state.IsApproved(request.token));
    CenterState::Approve(dir.narrow(), request.token);
    EXPECT_TRUE(state.IsApproved(request.token));
}

TEST(CenterTimeTest, UtcTimeText) {
    EXPECT_EQ(UtcTimeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcTimeText(2524608000 + 3723), "2050-01-01T01:02:03Z");
}

}  // namespace
}  // namespace qm::certcenter
