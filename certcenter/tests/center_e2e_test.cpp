// The real quillmate-certcenter over HTTPS, with a hand-built client and the
// verification files served by a local web site under test domain names.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/writer.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "certcenter/tests/test_client.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/temp_dir.h"

namespace qm::certcenter {
namespace {

using e2e::CertCenterProcess;
using e2e::StaticFileServer;
using test::ParseAnswer;
using test::SubjectAltNames;
using test::TestClient;

const TestClient& Client() {
    static const TestClient client;
    return client;
}

struct Posted {
    int status = 0;
    Json::Value answer;
};

// Posts as the enrollment client does: to the bare URL, trusting only the
// center's CA, with libcurl's default form content type.
Posted Post(const std::string& url, const std::string& caFile, const std::string& body) {
    httplib::Client client(url);
    client.set_ca_cert_path(caFile.c_str());
    client.enable_server_certificate_verification(true);
    const auto response = client.Post("/", body, "application/x-www-form-urlencoded");
    Posted posted;
    if (!response) {
        ADD_FAILURE() << "POST to " << url << " failed: " << httplib::to_string(response.error());
        return posted;
    }
    posted.status = response->status;
    posted.answer = ParseAnswer(response->body);
    return posted;
}

Json::Value Post(const CertCenterProcess& center, const std::string& body) {
    return Post(center.url(), center.caFile(), body).answer;
}

std::vector<std::string> Outcomes(const CertCenterProcess& center) {
    std::vector<std::string> outcomes;
    for (const auto& entry : center.RequestLog())
        outcomes.push_back(entry.outcome + (entry.error.empty() ? "" : ":" + entry.error));
    return outcomes;
}

class CenterE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        std::filesystem::create_directories(site_.narrow() + "auth");
        server_ = std::make_unique<StaticFileServer>(site_.narrow());
    }

    std::string VerifyUrl(const std::string& host) const {
        return server_->UrlFor(host, "/auth/auth.txt");
    }

    // The verification file as the client writes it: CR LF, no final break.
    void PlaceVerificationFile(const std::string& encrypt) {
        std::string text;
        for (const char c : encrypt)
            text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        qm::test::WriteAll(site_ / u"auth/auth.txt", text);
    }

    // Challenge and authorization; returns the authorization's answer.
    Json::Value Authorize(const CertCenterProcess& center, const std::vector<std::string>& names) {
        const Json::Value challenge = Post(center, TestClient::Challenge(names));
        EXPECT_EQ(challenge["type"], "challenge") << challenge;
        const std::string nonce = challenge["nonce"].asString();
        PlaceVerificationFile(Client().Sign(nonce));
        std::vector<std::string> urls;
        for (const auto& name : names)
            urls.push_back(VerifyUrl(name));
        return Post(center, Client().Authorization(challenge["sessionID"].asString(), nonce, urls));
    }

    qm::test::TempDir site_;
    std::unique_ptr<StaticFileServer> server_;
};

TEST_F(CenterE2eTest, FullFlowIssuesCertificateForTheDemandedNames) {
    CertCenterProcess center;
    const Json::Value authorization =
        Authorize(center, {"shop.example.test", "www.shop.example.test", "Shop.Example.Test"});
    ASSERT_EQ(authorization["type"], "authorization") << authorization;
    // The center fetched each name's file through the private name resolution
    // (at the same time, so in any order).
    std::vector<std::string> fetched = server_->Fetched();
    std::sort(fetched.begin(), fetched.end());
    EXPECT_EQ(fetched, (std::vector<std::string>{"shop.example.test /auth/auth.txt",
                                                 "shop.example.test /auth/auth.txt",
                                                 "www.shop.example.test /auth/auth.txt"}));

    const Json::Value issued =
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("KorvaneSSLCertificate")));
    ASSERT_EQ(issued["type"], "certificate") << issued;
    EXPECT_EQ(SubjectAltNames(issued["certificate"].asString()),
              (std::vector<std::string>{"shop.example.test", "www.shop.example.test"}));
    ASSERT_EQ(issued["chain"].size(), 1u);
    EXPECT_EQ(issued["chain"][0].asString(), qm::test::ReadAll(WideFromUtf8(center.caFile())));

    EXPECT_EQ(center.RequestTypes(),
              (std::vector<std::string>{"challengeRequest", "authorizationRequest",
                                        "certificateRequest"}));
    EXPECT_EQ(Outcomes(center),
              (std::vector<std::string>{"challenge", "authorization", "certificate"}));
    const auto log = center.RequestLog();
    EXPECT_EQ(log[0].line["sessionID"], log[1].line["sessionID"]);
    EXPECT_EQ(log[2].line["names"].size(), 2u);
    EXPECT_EQ(log[0].time.size(), 20u);
}

TEST_F(CenterE2eTest, RefusesBadSignatureAndWrongVerificationContent) {
    CertCenterProcess center;
    const Json::Value challenge = Post(center, TestClient::Challenge({"a.example.test"}));
    const std::string session = challenge["sessionID"].asString();
    const std::string nonce = challenge["nonce"].asString();
    const std::vector<std::string> urls = {VerifyUrl("a.example.test")};

    PlaceVerificationFile(Client().Sign("another nonce"));
    Json::Value answer = Post(center, Client().Authorization(session, nonce, urls));
    EXPECT_EQ(answer["error"], "verifyFailed") << answer;

    PlaceVerificationFile(Client().Sign(nonce));
    Json::Value forged = ParseAnswer(Client().Authorization(session, nonce, urls));
    forged["encrypt"] = Client().Sign(nonce + "!");
    answer = Post(center, Json::StyledWriter().write(forged));
    EXPECT_EQ(answer["error"], "badSignature") << answer;

    // Nothing was authorized, so no certificate.
    answer = Post(center, Client().CertificateRequest(TestClient::MakeCsr("a.example.test")));
    EXPECT_EQ(answer["error"], "publicKeyIllegal") << answer;
    EXPECT_EQ(Outcomes(center),
              (std::vector<std::string>{"challenge", "error:verifyFailed", "error:badSignature",
                                        "error:publicKeyIllegal"}));
}

TEST_F(CenterE2eTest, DeferredUntilApprovedOnTheCommandLine) {
    CertCenterProcess center({"--defer"});
    ASSERT_EQ(Authorize(center, {"shop.example.test"})["type"], "authorization");
    const Json::Value deferred =
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("shop.example.test")));
    ASSERT_EQ(deferred["type"], "defer") << deferred;
    const std::string token = deferred["token"].asString();

    EXPECT_EQ(Post(center, Client().StatusRequest(token))["type"], "defer");
    EXPECT_EQ(Post(center, Client().StatusRequest(token))["type"], "defer");
    EXPECT_NE(center.Approve(std::string(32, '0')), 0) << "an unknown token is refused";
    EXPECT_NE(center.Approve("not-a-token"), 0);
    ASSERT_EQ(center.Approve(token), 0);
    const Json::Value issued = Post(center, Client().StatusRequest(token));
    ASSERT_EQ(issued["type"], "certificate") << issued;
    EXPECT_EQ(SubjectAltNames(issued["certificate"].asString()),
              std::vector<std::string>{"shop.example.test"});
    EXPECT_EQ(Outcomes(center), (std::vector<std::string>{"challenge", "authorization", "defer",
                                                          "defer", "defer", "certificate"}));
}

TEST_F(CenterE2eTest, StateSurvivesRestart) {
    CertCenterProcess center({"--defer"});
    ASSERT_EQ(Authorize(center, {"b.example.test"})["type"], "authorization");
    const std::string token =
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("b.example.test")))["token"]
            .asString();
    const std::string ca = qm::test::ReadAll(WideFromUtf8(center.caFile()));

    EXPECT_EQ(center.Stop(), 0) << "SIGTERM ends the center cleanly";
    ASSERT_EQ(center.Approve(token), 0) << "approval works while the center is down";
    center.Restart({"--defer"});
    EXPECT_EQ(qm::test::ReadAll(WideFromUtf8(center.caFile())), ca) << "the CA is kept";
    const Json::Value issued = Post(center, Client().StatusRequest(token));
    ASSERT_EQ(issued["type"], "certificate") << issued << center.StderrText();

    // The authorization of the client key is remembered too.
    center.Restart({});
    EXPECT_EQ(
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("b.example.test")))["type"],
        "certificate");
}

TEST_F(CenterE2eTest, InjectedFaults) {
    CertCenterProcess center({"--defer", "--fail-challenge", "highFrequency:once",
                              "--fail-authorization", "unknown:once", "--fail-status",
                              "publicKeyIllegal:once"});
    EXPECT_EQ(Post(center, TestClient::Challenge({"a.example.test"}))["error"], "highFrequency");
    const Json::Value first = Authorize(center, {"a.example.test"});
    EXPECT_EQ(first["error"], "unknown") << first;
    ASSERT_EQ(Authorize(center, {"a.example.test"})["type"], "authorization");
    const std::string token =
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("a.example.test")))["token"]
            .asString();
    EXPECT_EQ(Post(center, Client().StatusRequest(token))["error"], "publicKeyIllegal");
    EXPECT_EQ(Post(center, Client().StatusRequest(token))["type"], "defer");
    EXPECT_EQ(
        Outcomes(center),
        (std::vector<std::string>{"error:highFrequency", "challenge", "error:unknown", "challenge",
                                  "authorization", "defer", "error:publicKeyIllegal", "defer"}));
}

TEST_F(CenterE2eTest, RequestSizeIsBounded) {
    CertCenterProcess center;
    Posted posted = Post(center.url(), center.caFile(), std::string(2 * 1024 * 1024, 'x'));
    EXPECT_EQ(posted.status, 413);
    EXPECT_EQ(posted.answer["error"], "tooLarge");

    // Bodies above the form-size limit of the HTTP library are still read whole.
    Json::Value challenge = ParseAnswer(TestClient::Challenge({"a.example.test"}));
    challenge["webVersion"] = std::string(100 * 1024, 'v');
    posted = Post(center.url(), center.caFile(), Json::StyledWriter().write(challenge));
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.answer["type"], "challenge") << posted.answer;

    posted = Post(center.url(), center.caFile(), "{\"type\":");
    EXPECT_EQ(posted.status, 400);
    EXPECT_EQ(posted.answer["error"], "badRequest");
    EXPECT_EQ(Outcomes(center),
              (std::vector<std::string>{"error:tooLarge", "challenge", "error:badRequest"}));
}

TEST_F(CenterE2eTest, TlsCertificateNamesTheCenterAndNeedsItsCa) {
    CertCenterProcess center({"--hostname", "center.example.test"});
    const std::string port = std::to_string(center.port());
    for (const std::string host : {"localhost", "127.0.0.1", "center.example.test"})
        EXPECT_EQ(Post("https://" + host + ":" + port, center.caFile(),
                       TestClient::Challenge({"a.example.test"}))
                      .answer["type"],
                  "challenge")
            << host;

    // Trusting something else than the center's CA fails the handshake.
    CertCenterProcess other;
    httplib::Client client(center.url());
    client.set_ca_cert_path(other.caFile().c_str());
    client.enable_server_certificate_verification(true);
    const auto response = client.Post("/", "{}", "application/json");
    EXPECT_FALSE(response);
    EXPECT_EQ(response.error(), httplib::Error::SSLServerVerification);
}

TEST(CenterProgramTest, HelpAndUsageErrors) {
    const std::string program = e2e::CertCenterProgram();
    auto run = [&](const std::string& args) {
        const int status = std::system((program + " " + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(run("serve --help"), 0);
    EXPECT_EQ(run("approve --help"), 0);
    EXPECT_EQ(run("serve"), 2);
    EXPECT_EQ(run("serve --state /tmp --listen nowhere"), 2);
    qm::test::TempDir dir;
    EXPECT_EQ(run("approve " + std::string(32, 'a') + " --state " + dir.narrow()), 1);
}

}  // namespace
}  // namespace qm::certcenter
