// The engine against the real certificate center over HTTPS: the stages of a
// deployment, deferral, and the restart after the center lost the key.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "Common/OpenSSL/quorp/quorp.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using e2e::CertCenterProcess;
using e2e::StaticFileServer;
using test::TestDeployer;

class EngineE2E : public ::testing::Test {
protected:
    test::TempDir root;
    std::unique_ptr<StaticFileServer> site;
    std::unique_ptr<TestDeployer> d;

    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        ASSERT_TRUE(MakeDirectoryTree(root / u"www"));
        test::WriteAll(root / u"site.conf", "listen 80;\n");
        site = std::make_unique<StaticFileServer>(Utf8FromWide(root / u"www"));
    }

    void MakeDeployer(const CertCenterProcess& center, std::vector<std::u16string> names) {
        d = std::make_unique<TestDeployer>();
        std::vector<SiteInfo> sites;
        for (const auto& n : names)
            sites.push_back({n, root / u"www/", site->port(), false, u""});
        d->SetSites(sites, sites.front());
        d->SetRoot(root.path());
        d->SetConfigFiles({root / u"site.conf"});
        d->SetCertCenterCaFile(WideFromUtf8(center.caFile()));
        d->SetDeferPollInterval(200);
        d->Initialize(WideFromUtf8(center.url()), site->port(), 443);
    }

    std::vector<std::string> Names(const std::vector<std::pair<std::string, int32_t>>& calls) {
        std::vector<std::string> out;
        for (const auto& c : calls)
            out.push_back(c.first + "@" + std::to_string(c.second));
        return out;
    }

    // Deploys engine.example.test while approving every request the center
    // defers; returns whether the engine was seen waiting in stage 2.
    bool DeployApprovingDeferrals(const CertCenterProcess& center) {
        std::atomic<bool> done{false};
        bool sawWaiting = false;
        std::thread approver([&] {
            std::set<std::string> approved;
            while (!done) {
                int32_t stage = 0;
                d->GetDeployStage(stage);
                if (stage == kStageWaitingDeferred) {
                    sawWaiting = true;
                    for (const auto& r : center.RequestLog()) {
                        const std::string token = r.line.get("token", "").asString();
                        if (r.outcome == "defer" && !token.empty() && !approved.count(token)) {
                            center.Approve(token);
                            approved.insert(token);
                        }
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        try {
            d->BindCertToSite({u"engine.example.test"}, 1);
        } catch (...) {
            done = true;
            approver.join();
            throw;
        }
        done = true;
        approver.join();
        return sawWaiting;
    }
};

TEST_F(EngineE2E, StagesRunInOrderAndTheCertificateIsNamedAfterTheDomain) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center;
    MakeDeployer(center, {u"engine.example.test"});
    d->BindCertToSite({u"engine.example.test"}, 1);

    EXPECT_EQ(Names(d->calls),
              (std::vector<std::string>{"GetCertificate@1", "BackupWeb@3", "ConfigCert@4",
                                        "StopWebService@5", "StartWebService@5"}));
    EXPECT_EQ(center.RequestTypes(),
              (std::vector<std::string>{"challengeRequest", "authorizationRequest",
                                        "certificateRequest"}));
    EXPECT_EQ(d->certName(), u"engine.example.test");
    EXPECT_TRUE(FileExists(root / u"conf/sslcert/engine.example.test.crt"));
    EXPECT_NE(d->certPem().find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_NE(d->privateKeyPem().find("PRIVATE KEY"), std::string::npos);
    CalendarTime expiry;
    d->GetCertExpireTime(expiry);
    EXPECT_GE(expiry.year, 2026);
    // The center fetched the verification file from the site's document root.
    EXPECT_FALSE(site->Fetched().empty());
}

TEST_F(EngineE2E, TwoDomainsShareTheMultiDomainCertificateName) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center;
    MakeDeployer(center, {u"a.example.test"});
    d->BindCertToSite({u"www.a.example.test", u"a.example.test"}, 1);
    EXPECT_EQ(d->certName(), u"KorvaneSSLCertificate");
    EXPECT_TRUE(FileExists(root / u"conf/sslcert/KorvaneSSLCertificate.crt"));
    ASSERT_EQ(d->selectedSites().size(), 2u);
    const auto log = center.RequestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().line["names"].size(), 2u);
}

TEST_F(EngineE2E, DeferralWaitsInStageTwoAndThenCompletes) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center({"--defer"});
    MakeDeployer(center, {u"engine.example.test"});
    const bool sawWaiting = DeployApprovingDeferrals(center);

    EXPECT_TRUE(sawWaiting);
    const auto types = center.RequestTypes();
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 3),
              (std::vector<std::string>{"challengeRequest", "authorizationRequest",
                                        "certificateRequest"}));
    for (size_t i = 3; i < types.size(); ++i)
        EXPECT_EQ(types[i], "statusRequest");
    EXPECT_EQ(center.RequestLog().back().outcome, "certificate");
    EXPECT_EQ(d->calls.back().first, "StartWebService");
}

TEST_F(EngineE2E, LostKeyWhileWaitingStartsANewVerificationWithNewKeys) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center({"--defer", "--fail-status", "publicKeyIllegal:once"});
    MakeDeployer(center, {u"engine.example.test"});
    DeployApprovingDeferrals(center);

    const auto log = center.RequestLog();
    std::vector<std::string> types;
    std::vector<std::string> keys;
    for (const auto& r : log) {
        types.push_back(r.type + ":" + r.outcome);
    }
    ASSERT_GE(types.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 7),
              (std::vector<std::string>{
                  "challengeRequest:challenge", "authorizationRequest:authorization",
                  "certificateRequest:defer", "statusRequest:error", "challengeRequest:challenge",
                  "authorizationRequest:authorization", "certificateRequest:defer"}));
    EXPECT_EQ(log[3].error, "publicKeyIllegal");
    EXPECT_EQ(log.back().outcome, "certificate");
    // A new session with the center: the key pair and nonce were made anew.
    EXPECT_NE(log[0].line.get("sessionID", "").asString(),
              log[4].line.get("sessionID", "").asString());
    EXPECT_TRUE(FileExists(root / u"conf/sslcert/engine.example.test.crt"));
}

// Leaves a request deferred at the center, as a run that was closed while
// waiting does, and approves it.
void LeaveDeferredAndApprove(TestDeployer& d, const CertCenterProcess& center) {
    std::thread stopper([&] {
        int32_t stage = 0;
        while (stage != kStageWaitingDeferred) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            d.GetDeployStage(stage);
        }
        d.RequestStop();
    });
    try {
        d.BindCertToSite({u"engine.example.test"}, 1);
        ADD_FAILURE() << "the deployment should have stopped while deferred";
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), result::kDeferCertState);
    }
    stopper.join();
    for (const auto& r : center.RequestLog()) {
        if (r.outcome == "defer") {
            EXPECT_EQ(center.Approve(r.line["token"].asString()), 0);
        }
    }
}

bool KeyMatchesCertificate(const std::string& keyPem, const std::string& certPem) {
    quorp crypto;
    const X509Ptr cert = crypto.LoadCert(std::string_view(certPem));
    const EvpPkeyPtr key = crypto.LoadPrivateKey(std::string_view(keyPem), "");
    return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

TEST_F(EngineE2E, AResumedDeferredRequestDeploysTheKeyOfThatRequest) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center({"--defer"});
    MakeDeployer(center, {u"engine.example.test"});
    LeaveDeferredAndApprove(*d, center);
    const size_t before = center.RequestTypes().size();

    MakeDeployer(center, {u"engine.example.test"});
    d->BindCertToSite({u"engine.example.test"}, 1);
    const auto types = center.RequestTypes();
    ASSERT_EQ(types.size(), before + 1);
    EXPECT_EQ(types.back(), "statusRequest");
    EXPECT_TRUE(KeyMatchesCertificate(d->privateKeyPem(), d->certPem()));
}

TEST_F(EngineE2E, ADeferredRequestWhoseKeyIsLostIsRequestedAnew) {
    QM_E2E_REQUIRE_PRIVATE_HOSTS();
    CertCenterProcess center({"--defer"});
    MakeDeployer(center, {u"engine.example.test"});
    LeaveDeferredAndApprove(*d, center);
    ASSERT_TRUE(DeleteFileToRecycleBin(test::ProgramHome() + u"Config/Key/csrkey.txt"));
    const size_t before = center.RequestTypes().size();

    MakeDeployer(center, {u"engine.example.test"});
    DeployApprovingDeferrals(center);
    const auto types = center.RequestTypes();
    ASSERT_GT(types.size(), before + 3);
    EXPECT_EQ(std::vector<std::string>(types.begin() + before, types.begin() + before + 3),
              (std::vector<std::string>{"challengeRequest", "authorizationRequest",
                                        "certificateRequest"}));
    EXPECT_TRUE(KeyMatchesCertificate(d->privateKeyPem(), d->certPem()));
}

}  // namespace
}  // namespace qm
