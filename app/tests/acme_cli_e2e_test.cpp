// The quillmate program with an ACME CA (pebble, the ACME test server) as
// its certificate source, against the real nginx: `deploy --acme` gives
// the site HTTPS whose certificate chains to pebble's root, with the http-01
// files gone from the document root afterwards; `vantrel` renews over ACME
// through the source the deployment recorded; `undo` gives back the
// original configuration. A CA that refuses the validation leaves nothing
// behind, and says what it fetched.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "Common/OpenSSL/quorp/digest.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/cli_run.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_process.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::NginxSandbox;

constexpr char kShop[] = "shop.example.test";
constexpr char kShopPage[] = "<h1>shop</h1>\n";

using e2e::CliRun;

class AcmeCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_NGINX();
        QM_E2E_REQUIRE_PEBBLE();
        home_ = std::make_unique<test::TempDir>();
        service_ = std::make_unique<test::TempDir>();
        test::InstallConfigTemplates(home_->path());
        nginx_ = std::make_unique<NginxSandbox>();
        nginx_->WriteConfig(
            "    server {\n        listen 127.0.0.1:" + std::to_string(nginx_->httpPort()) +
            ";\n        server_name " + kShop + " www." + kShop + ";\n        root html;\n    }\n");
        e2e::WriteTextFile(nginx_->htmlDir() + "index.html", kShopPage);
        original_ = nginx_->ReadConfigText();
        nginx_->Start({nginx_->httpPort()});
    }

    void StartPebble(e2e::PebbleOptions options) {
        options.httpPort = nginx_->httpPort();
        pebble_ = std::make_unique<e2e::PebbleProcess>(options);
        root_ = home_->narrow() + "pebble-root.pem";
        e2e::WriteTextFile(root_, pebble_->RootPem());
    }

    CliRun Run(const char* program, const std::vector<std::string>& args,
               const std::string& fault = {}) {
        return e2e::RunCli({"QUILLMATE_HOME=" + home_->narrow(),
                            "VANTREL_HOME=" + service_->narrow(), "QUILLMATE_FAULT=" + fault},
                           program, args, std::chrono::milliseconds(120000));
    }
    CliRun Deploy(std::vector<std::string> extra = {"--agree-tos"}, const std::string& fault = {}) {
        std::vector<std::string> args = {"deploy",
                                         "--server",
                                         "nginx",
                                         "--domain",
                                         kShop,
                                         "--http-port",
                                         std::to_string(nginx_->httpPort()),
                                         "--https-port",
                                         std::to_string(nginx_->httpsPort()),
                                         "--acme",
                                         pebble_->directoryUrl(),
                                         "--ca-file",
                                         pebble_->caFile(),
                                         "--lang",
                                         "en"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(QUILLMATE_PROGRAM, args, fault);
    }

    // The shop over HTTPS, its certificate checked against pebble's root.
    e2e::HttpResult Https() const {
        return HttpGet(NginxSandbox::UrlFor("https", kShop, nginx_->httpsPort(), "/"),
                       HttpOptions().ConnectTo("127.0.0.1").Ca(root_));
    }
    // What is left of the http-01 files in the document root.
    size_t ChallengeEntries() const {
        std::error_code ec;
        size_t n = 0;
        for (const auto& e :
             fs::recursive_directory_iterator(nginx_->htmlDir() + ".well-known", ec)) {
            (void)e;
            ++n;
        }
        return n + (fs::exists(nginx_->htmlDir() + ".well-known") ? 1 : 0);
    }

    std::unique_ptr<test::TempDir> home_;
    std::unique_ptr<test::TempDir> service_;
    std::unique_ptr<NginxSandbox> nginx_;
    std::unique_ptr<e2e::PebbleProcess> pebble_;
    std::string root_;
    std::string original_;
};

TEST_F(AcmeCommandLine, DeployRenewAndUndoThroughPebbleWithRefusedNonces) {
    StartPebble({.nonceRejectPercent = 20, .authzReusePercent = 50, .chainLength = 2});
    const CliRun deploy = Deploy();
    ASSERT_EQ(deploy.code, 0) << deploy.output << pebble_->Output();
    EXPECT_NE(deploy.output.find("ACME CA"), std::string::npos) << deploy.output;

    const e2e::HttpResult page = Https();
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.body, kShopPage);
    EXPECT_NE(page.peerAltNames.find(std::string("DNS:") + kShop), std::string::npos)
        << page.peerAltNames;
    EXPECT_EQ(ChallengeEntries(), 0u);
    const std::string first = CertificateFingerprint(page.peerCertPem);

    const CliRun status = Run(QUILLMATE_PROGRAM, {"status", "--lang", "en"});
    EXPECT_NE(status.output.find(pebble_->directoryUrl() + " (ACME)"), std::string::npos)
        << status.output;
    // The account key stays with the service, for renewals.
    bool accountKey = false;
    for (const auto& e : fs::recursive_directory_iterator(service_->narrow() + "Acme"))
        accountKey = accountKey || e.path().filename() == "account.key";
    EXPECT_TRUE(accountKey);

    // The renewal service goes to the same CA with the same account.
    const CliRun renew = Run(VANTREL_PROGRAM, {"renew", "--force"});
    ASSERT_EQ(renew.code, 0) << renew.output << pebble_->Output();
    const e2e::HttpResult renewed = Https();
    ASSERT_TRUE(renewed.ok) << renewed.error;
    EXPECT_NE(CertificateFingerprint(renewed.peerCertPem), first);
    EXPECT_EQ(ChallengeEntries(), 0u);

    const CliRun undo = Run(QUILLMATE_PROGRAM, {"undo", "--lang", "en"});
    ASSERT_EQ(undo.code, 0) << undo.output;
    EXPECT_EQ(nginx_->ReadConfigText(), original_);
    EXPECT_FALSE(Https().ok);
    EXPECT_EQ(HttpGet(NginxSandbox::UrlFor("http", kShop, nginx_->httpPort(), "/"),
                      HttpOptions().ConnectTo("127.0.0.1"))
                  .body,
              kShopPage);
}

TEST_F(AcmeCommandLine, AFailedValidationChangesNothingAndShowsWhatTheCaFetched) {
    StartPebble({});
    // Every request for the challenge files is refused by the site.
    nginx_->Stop();
    nginx_->WriteConfig(
        "    server {\n        listen 127.0.0.1:" + std::to_string(nginx_->httpPort()) +
        ";\n        server_name " + kShop + " www." + kShop +
        ";\n        root html;\n        location /.well-known/ { return 403; }\n"
        "    }\n");
    const std::string before = nginx_->ReadConfigText();
    nginx_->Start({nginx_->httpPort()});

    const CliRun deploy = Deploy();
    EXPECT_EQ(deploy.code, 5) << deploy.output;
    EXPECT_NE(deploy.output.find("403"), std::string::npos) << deploy.output;
    EXPECT_NE(deploy.output.find("unauthorized"), std::string::npos) << deploy.output;
    EXPECT_EQ(nginx_->ReadConfigText(), before);
    EXPECT_EQ(ChallengeEntries(), 0u);
    EXPECT_FALSE(fs::exists(nginx_->root() + "conf/sslcert"));
}

TEST_F(AcmeCommandLine, ARedirectingSiteLetsTheChallengesThroughForTheTimeOfTheOrder) {
    StartPebble({});
    nginx_->Stop();
    e2e::MakeSelfSignedCertificate(nginx_->root() + "conf/old.crt", nginx_->root() + "conf/old.key",
                                   {kShop});
    const std::string port = std::to_string(nginx_->httpPort());
    const std::string redirect = "    server {\n        listen 127.0.0.1:" + port +
                                 ";\n        server_name " + kShop + " www." + kShop +
                                 ";\n        return 301 https://$host$request_uri;\n    }\n";
    nginx_->WriteConfig(
        redirect + "    server {\n        listen 127.0.0.1:" + std::to_string(nginx_->httpsPort()) +
        " ssl;\n        server_name " + kShop + " www." + kShop +
        ";\n        root html;\n        ssl_certificate old.crt;\n"
        "        ssl_certificate_key old.key;\n    }\n");
    nginx_->Start({nginx_->httpPort()});
    const std::string http = NginxSandbox::UrlFor("http", kShop, nginx_->httpPort(), "/");
    ASSERT_EQ(HttpGet(http, HttpOptions().ConnectTo("127.0.0.1")).status, 301);

    const CliRun deploy = Deploy();
    ASSERT_EQ(deploy.code, 0) << deploy.output << pebble_->Output();
    const e2e::HttpResult page = Https();
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.body, kShopPage);
    // The redirect is as it was: no rule left behind.
    const std::string conf = nginx_->ReadConfigText();
    EXPECT_NE(conf.find(redirect), std::string::npos) << conf;
    EXPECT_EQ(conf.find("acme-challenge"), std::string::npos) << conf;
    EXPECT_EQ(
        HttpGet(http + ".well-known/acme-challenge/x", HttpOptions().ConnectTo("127.0.0.1")).status,
        301);
}

TEST_F(AcmeCommandLine, AKillOrAnInterruptWhileTheCaValidatesLeavesNothingBehind) {
    StartPebble({});
    const CliRun killed = Deploy({"--agree-tos"}, "kill@challenge-placed");
    EXPECT_EQ(killed.code, 128 + 9) << killed.output;
    // The next command finishes the rollback: no challenge file, no folder.
    const CliRun status = Run(QUILLMATE_PROGRAM, {"status", "--lang", "en"});
    EXPECT_NE(status.output.find("did not finish"), std::string::npos) << status.output;
    EXPECT_EQ(ChallengeEntries(), 0u);
    EXPECT_EQ(nginx_->ReadConfigText(), original_);
    EXPECT_FALSE(fs::exists(nginx_->root() + "conf/sslcert"));

    const CliRun interrupted = Deploy({"--agree-tos"}, "int@challenge-placed");
    EXPECT_EQ(interrupted.code, 10) << interrupted.output;
    EXPECT_EQ(ChallengeEntries(), 0u);
    EXPECT_EQ(nginx_->ReadConfigText(), original_);

    // The account made meanwhile serves the next deployment.
    const CliRun deploy = Deploy();
    ASSERT_EQ(deploy.code, 0) << deploy.output;
    EXPECT_TRUE(Https().ok);
}

TEST_F(AcmeCommandLine, TermsOfServiceMustBeAgreedAndOptionsAreChecked) {
    StartPebble({});
    const CliRun refused = Deploy({"--acme-key", "rsa"});
    EXPECT_EQ(refused.code, 5) << refused.output;
    EXPECT_NE(refused.output.find("give --agree-tos"), std::string::npos) << refused.output;
    EXPECT_EQ(nginx_->ReadConfigText(), original_);
    // The key was made (as asked, RSA) before the CA refused: the account
    // made later under the terms is the same key's.
    std::string keyText;
    for (const auto& e : fs::recursive_directory_iterator(service_->narrow() + "Acme"))
        if (e.path().filename() == "account.key")
            e2e::RunProgram({"openssl", "pkey", "-noout", "-text", "-in", e.path().string()},
                            keyText);
    EXPECT_NE(keyText.find("Private-Key: (2048 bit"), std::string::npos) << keyText;
    EXPECT_EQ(Deploy({"--acme-key", "dsa"}).code, 2);

    const CliRun both =
        Run(QUILLMATE_PROGRAM, {"deploy", "--server", "nginx", "--acme", pebble_->directoryUrl(),
                                "--center", "https://localhost:1/"});
    EXPECT_EQ(both.code, 2) << both.output;
    const CliRun halfBinding =
        Run(QUILLMATE_PROGRAM, {"deploy", "--server", "nginx", "--acme", pebble_->directoryUrl(),
                                "--acme-eab-kid", "kid-1"});
    EXPECT_EQ(halfBinding.code, 2) << halfBinding.output;

    // A --center that answers as an ACME directory is taken as one.
    const CliRun byCenter = Run(
        QUILLMATE_PROGRAM,
        {"deploy", "--server", "nginx", "--domain", kShop, "--http-port",
         std::to_string(nginx_->httpPort()), "--https-port", std::to_string(nginx_->httpsPort()),
         "--center", pebble_->directoryUrl(), "--ca-file", pebble_->caFile(), "--agree-tos"});
    ASSERT_EQ(byCenter.code, 0) << byCenter.output << pebble_->Output();
    EXPECT_TRUE(Https().ok);
}

}  // namespace
}  // namespace qm
