// The renewal service against the real nginx (a portable one in a temporary
// folder) and the real center issuing short-lived certificates: `quillmate
// deploy`, then `vantrel` renewing in place - the configuration untouched,
// no failed request under load, a center that refuses and recovers, a
// deferred review approved while the service was stopped, kills at every
// moment of a renewal, and an undo after two renewals that gives back the
// configuration from before the first deployment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/cli_run.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::NginxSandbox;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kShop[] = "shop.example.test";

using e2e::CliRun;

class RenewalE2E : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_NGINX();
        home_ = std::make_unique<test::TempDir>();
        service_ = std::make_unique<test::TempDir>();
        test::InstallConfigTemplates(home_->path());
        nginx_ = std::make_unique<NginxSandbox>();
        nginx_->WriteConfig(
            "    server {\n        listen 127.0.0.1:" + std::to_string(nginx_->httpPort()) +
            ";\n        server_name " + kShop + ";\n        root html;\n    }\n");
        original_ = nginx_->ReadConfigText();
        nginx_->Start({nginx_->httpPort()});
    }

    void StartCenter(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--validity", "120s"});
        center_ = std::make_unique<e2e::CertCenterProcess>(options);
    }

    std::vector<std::string> Env(const std::string& fault = {}) const {
        return {"QUILLMATE_HOME=" + home_->narrow(), "VANTREL_HOME=" + service_->narrow(),
                "QUILLMATE_FAULT=" + fault};
    }
    // /usr/bin/env with Env(): a command line for a program left running.
    std::vector<std::string> EnvCommand() const {
        std::vector<std::string> argv = Env();
        argv.insert(argv.begin(), "/usr/bin/env");
        return argv;
    }
    CliRun Run(const char* program, std::vector<std::string> args, const std::string& fault = {},
               milliseconds limit = milliseconds(90000)) {
        return e2e::RunCli(Env(fault), program, args, limit);
    }
    CliRun Quillmate(std::vector<std::string> args) {
        return Run(QUILLMATE_PROGRAM, std::move(args));
    }
    CliRun Vantrel(std::vector<std::string> args, const std::string& fault = {}) {
        return Run(VANTREL_PROGRAM, std::move(args), fault);
    }
    void Deploy() {
        const CliRun run =
            Quillmate({"deploy", "--server", "nginx", "--domain", kShop, "--http-port",
                       std::to_string(nginx_->httpPort()), "--https-port",
                       std::to_string(nginx_->httpsPort()), "--center", center_->url(), "--ca-file",
                       center_->caFile(), "--lang", "en"});
        ASSERT_EQ(run.code, 0) << run.output;
        deployed_ = nginx_->ReadConfigText();
    }
    // The certificate served for the shop (PEM), empty when none.
    std::string Served() const {
        const auto page = HttpGet(NginxSandbox::UrlFor("https", kShop, nginx_->httpsPort(), "/"),
                                  HttpOptions().ConnectTo("127.0.0.1").Insecure());
        return page.ok ? page.peerCertPem : std::string();
    }
    std::string ServedFingerprint() const { return CertificateFingerprint(Served()); }
    // The served fingerprint once it differs from `old`, or `old` after 3 s.
    std::string ServedFingerprintOtherThan(const std::string& old) const {
        const auto until = Clock::now() + seconds(3);
        std::string now = ServedFingerprint();
        while (now == old && Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(100));
            now = ServedFingerprint();
        }
        return now;
    }
    // The certificate and key files the configuration names match.
    bool FilesMatch() const {
        std::string certificate, key;
        for (const auto& e : fs::directory_iterator(nginx_->root() + "conf/sslcert")) {
            const std::string name = e.path().filename().string();
            std::string bytes;
            ReadFileBytes(WideFromUtf8(e.path().string()), bytes);
            if (name.ends_with(".crt"))
                certificate = bytes;
            else if (name.ends_with(".key"))
                key = bytes;
        }
        std::string output;
        const std::string dir = home_->narrow();
        e2e::WriteTextFile(dir + "c.pem", certificate);
        e2e::WriteTextFile(dir + "k.pem", key);
        std::string a, b;
        e2e::RunProgram({"sh", "-c", "openssl x509 -noout -pubkey -in " + dir + "c.pem"}, a);
        e2e::RunProgram({"sh", "-c", "openssl pkey -pubout -in " + dir + "k.pem"}, b);
        return !a.empty() && a == b;
    }

    std::unique_ptr<test::TempDir> home_;
    std::unique_ptr<test::TempDir> service_;
    std::unique_ptr<NginxSandbox> nginx_;
    std::unique_ptr<e2e::CertCenterProcess> center_;
    std::string original_;
    std::string deployed_;
};

TEST_F(RenewalE2E, TheServiceRenewsInPlaceUnderLoadAndUndoGivesBackTheOriginal) {
    StartCenter();
    Deploy();
    const std::string first = ServedFingerprint();
    ASSERT_FALSE(first.empty());

    // The service with a one-second check, renewing once less than 9/10 of
    // the two minutes are left (after 12 seconds).
    e2e::LoadGenerator::Options load;
    load.targets = {{NginxSandbox::UrlFor("http", kShop, nginx_->httpPort(), "/"), "127.0.0.1"},
                    {NginxSandbox::UrlFor("https", kShop, nginx_->httpsPort(), "/"), "127.0.0.1"}};
    load.requestsPerSecond = 100;
    load.maxDuration = milliseconds(100000);
    e2e::LoadGenerator generator(load);
    generator.Start();
    std::vector<std::string> argv = EnvCommand();
    argv.insert(argv.end(), {VANTREL_PROGRAM, "run", "--interval", "1", "--renew-at", "0.9"});
    std::string serviceOutput;
    const auto start = Clock::now();
    std::thread service([&] { e2e::RunProgram(argv, serviceOutput, milliseconds(80000)); });
    std::string renewed;
    while (Clock::now() - start < seconds(60)) {
        const std::string now = ServedFingerprint();
        if (!now.empty() && now != first) {
            renewed = now;
            break;
        }
        std::this_thread::sleep_for(milliseconds(200));
    }
    const auto renewedAfter = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    std::this_thread::sleep_for(milliseconds(500));
    const e2e::LoadCounts counts = generator.Stop();
    // The service ends at its next check after the interrupt.
    e2e::RunProgram({"pkill", "-TERM", "-f", std::string(VANTREL_PROGRAM) + " run"}, serviceOutput);
    service.join();
    std::printf(
        "[timing] renewed and served %lld ms after the service started; %llu requests, "
        "%llu failed\n",
        static_cast<long long>(renewedAfter.count()), static_cast<unsigned long long>(counts.sent),
        static_cast<unsigned long long>(counts.failed));
    std::fflush(stdout);
    ASSERT_FALSE(renewed.empty()) << serviceOutput;
    EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_TRUE(FilesMatch());

    // A second renewal, forced; then one undo gives back the original.
    const CliRun again = Vantrel({"renew", "--force"});
    ASSERT_EQ(again.code, 0) << again.output;
    EXPECT_NE(ServedFingerprint(), renewed);
    EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
    const CliRun undo = Quillmate({"undo"});
    ASSERT_EQ(undo.code, 0) << undo.output;
    EXPECT_EQ(nginx_->ReadConfigText(), original_);
    EXPECT_TRUE(Served().empty());
}

TEST_F(RenewalE2E, ACenterThatRefusesChangesNothingAndIsRetriedUntilItRenews) {
    StartCenter();
    Deploy();
    const std::string first = ServedFingerprint();
    center_->Restart({"--validity", "120s", "--fail-certificate", "highFrequency:2"});
    const CliRun refused = Vantrel({"renew", "--force"});
    EXPECT_EQ(refused.code, 1) << refused.output;
    EXPECT_EQ(ServedFingerprint(), first);
    EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
    EXPECT_TRUE(FilesMatch());
    // The loop retries (after 1 s) until the center issues: it refuses once more.
    std::vector<std::string> argv = EnvCommand();
    argv.insert(argv.end(),
                {VANTREL_PROGRAM, "run", "--interval", "30", "--retry", "1", "--renew-at", "0.99"});
    std::string output;
    std::thread service([&] { e2e::RunProgram(argv, output, milliseconds(60000)); });
    const auto start = Clock::now();
    while (ServedFingerprint() == first && Clock::now() - start < seconds(40))
        std::this_thread::sleep_for(milliseconds(200));
    e2e::RunProgram({"pkill", "-TERM", "-f", std::string(VANTREL_PROGRAM) + " run"}, output);
    service.join();
    EXPECT_NE(ServedFingerprint(), first) << output;
    EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
}

TEST_F(RenewalE2E, ADeferredReviewApprovedWhileTheServiceWasStoppedIsDeployedAfterARestart) {
    StartCenter();
    Deploy();
    const std::string first = ServedFingerprint();
    center_->Restart({"--validity", "120s", "--defer"});
    // The renewal waits for the review; the service is stopped meanwhile.
    std::vector<std::string> argv = EnvCommand();
    argv.insert(argv.end(), {VANTREL_PROGRAM, "renew", "--force", "--poll", "1"});
    std::string output;
    std::thread waiting([&] { e2e::RunProgram(argv, output, milliseconds(60000)); });
    std::string token;
    const auto start = Clock::now();
    while (token.empty() && Clock::now() - start < seconds(30)) {
        for (const e2e::CenterRequest& request : center_->RequestLog()) {
            if (request.outcome == "defer" && request.line.isMember("token"))
                token = request.line["token"].asString();
        }
        std::this_thread::sleep_for(milliseconds(200));
    }
    std::this_thread::sleep_for(milliseconds(1500));
    e2e::RunProgram({"pkill", "-TERM", "-f", std::string(VANTREL_PROGRAM) + " renew"}, output);
    waiting.join();
    ASSERT_FALSE(token.empty()) << output;
    EXPECT_EQ(ServedFingerprint(), first);
    ASSERT_EQ(center_->Approve(token), 0);
    const size_t before = center_->RequestTypes().size();
    const CliRun resumed = Vantrel({"renew", "--force", "--poll", "1"});
    ASSERT_EQ(resumed.code, 0) << resumed.output;
    const auto types = center_->RequestTypes();
    ASSERT_GT(types.size(), before);
    EXPECT_EQ(types[before], "statusRequest");  // the approved request, not a new one
    EXPECT_NE(ServedFingerprint(), first);
    EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
}

TEST_F(RenewalE2E, AKillAtEveryMomentKeepsThePairMatchedAndTheNextRunCompletes) {
    StartCenter();
    Deploy();
    for (const char* moment :
         {"renewal-obtained", "renewal-writing", "renewal-written", "renewal-applied"}) {
        SCOPED_TRACE(moment);
        const std::string before = ServedFingerprint();
        const CliRun killed = Vantrel({"renew", "--force"}, std::string("kill@") + moment);
        EXPECT_EQ(killed.code, 128 + 9) << killed.output;
        // What nginx serves is always a whole pair.
        EXPECT_FALSE(Served().empty());
        const CliRun next = Vantrel({"renew", "--force"});
        EXPECT_EQ(next.code, 0) << next.output;
        // The renewal saw its certificate served; a worker of the previous
        // generation may still answer a connection for a moment.
        EXPECT_NE(ServedFingerprintOtherThan(before), before);
        EXPECT_TRUE(FilesMatch());
        EXPECT_EQ(nginx_->ReadConfigText(), deployed_);
    }
    EXPECT_TRUE(fs::is_empty(service_->narrow() + "Renewal") ||
                !fs::exists(service_->narrow() + "Renewal/000001"));
}

}  // namespace
}  // namespace qm
