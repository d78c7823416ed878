// The IIS deployer against the stand-in IIS on ports 80 and 443 of a private
// network namespace: the stand-in reads applicationHost.config, the TLS
// bindings and the store the deployer changes and serves HTTPS from them,
// as IIS and HTTP.sys do. Driven as the task driver drives a deployer, with
// the real certificate center; the test domains resolve to 127.0.0.1.
//
// The shop has HTTP bindings for its name and its www. name; an unrelated
// site on the HTTPS port serves a certificate of its own by host name, and
// must go on serving it through every deployment and undo.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "deploy/iis/posix/filetlsbindings.h"
#include "deploy/iis/sslcertsrviis.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_deployer.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/standin_iis.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::StandinIis;
using test::ResultOf;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kShop[] = "shop.example.test";
constexpr char kWwwShop[] = "www.shop.example.test";
constexpr char kOther[] = "other.example.test";
constexpr char kShopPage[] = "<h1>shop</h1>\n";
constexpr char kOtherPage[] = "<h1>other</h1>\n";

struct Served {
    e2e::HttpResult result;
    std::string thumbprint;
};

Served GetHttps(const std::string& host, const std::string& caFile = {}) {
    HttpOptions options = HttpOptions().ConnectTo("127.0.0.1");
    if (caFile.empty())
        options.Insecure();
    else
        options.Ca(caFile);
    Served served;
    served.result = HttpGet("https://" + host + "/", options);
    served.thumbprint = e2e::CertificateThumbprint(served.result.peerCertPem);
    return served;
}

// Asks the unrelated site every 50 ms, on a thread of its own, and counts
// the answers that did not come with its own certificate and page.
class UnrelatedSiteWatch {
public:
    explicit UnrelatedSiteWatch(std::string thumbprint) {
        thread_ = std::thread([this, thumbprint = std::move(thumbprint)] {
            while (!stop_) {
                const Served s = GetHttps(kOther);
                ++polls_;
                if (!s.result.ok || s.thumbprint != thumbprint || s.result.body != kOtherPage)
                    ++wrong_;
                std::this_thread::sleep_for(milliseconds(50));
            }
        });
    }
    ~UnrelatedSiteWatch() { Stop(); }
    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }
    int polls() const { return polls_; }
    int wrong() const { return wrong_; }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> polls_{0};
    std::atomic<int> wrong_{0};
};

class IisDeployment : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        if (!e2e::InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network";
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
        iis_ = std::make_unique<StandinIis>();
        const std::string shop = iis_->MakeFolder("shop");
        const std::string other = iis_->MakeFolder("other");
        e2e::WriteTextFile(shop + "index.html", kShopPage);
        e2e::WriteTextFile(other + "index.html", kOtherPage);
        iis_->WriteSites(
            {{"Shop",
              1,
              "Started",
              shop,
              {{"http", std::string("*:80:") + kShop}, {"http", std::string("*:80:") + kWwwShop}}},
             {"Other",
              2,
              "",
              other,
              {{"http", std::string("*:80:") + kOther},
               {"https", std::string("*:443:") + kOther, 1}}}});
        otherThumbprint_ = iis_->AddSelfSigned({kOther});
        iis_->WriteSslBindings({{std::string(kOther) + ":443", true, otherThumbprint_}});
        iis_->Start({80, 443});
        setenv("QUILLMATE_IIS_HOME", iis_->Home().c_str(), 1);
        if (!center_)
            center_ = std::make_unique<e2e::CertCenterProcess>();
        config_ = ReadText(iis_->ApplicationHostConfig());
        tls_ = TlsNow();
        store_ = StoreNow();
    }
    void TearDown() override {
        unsetenv("QUILLMATE_IIS_HOME");
        iis_.reset();
    }
    static void TearDownTestSuite() { center_.reset(); }

    std::unique_ptr<SslCertSrvIIS> Deployer() {
        auto d = std::make_unique<SslCertSrvIIS>();
        d->SetCertCenterCaFile(WideFromUtf8(center_->caFile()));
        d->Initialize(WideFromUtf8(center_->url()), 80, 443);
        return d;
    }
    std::string Deploy(SslCertSrvIIS& d) {
        std::vector<std::u16string> names;
        const auto start = Clock::now();
        const std::string result = ResultOf([&] {
            d.GetSitesInfo(names);
            d.BindCertToSite({WideFromUtf8(kShop), WideFromUtf8(kWwwShop)}, 1);
        });
        std::printf("[timing] deployment: %lld ms (%s)\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()),
                    result.c_str());
        std::fflush(stdout);
        return result;
    }
    static std::string ReadText(const std::string& path) {
        std::string bytes;
        ReadFileBytes(WideFromUtf8(path), bytes);
        return bytes;
    }
    // The TLS bindings as endpoint -> certificate, in file order.
    std::vector<std::pair<std::u16string, std::u16string>> TlsNow() const {
        std::vector<TlsBinding> all;
        std::u16string problem;
        FileTlsBindings(WideFromUtf8(iis_->SslBindingsFile())).List(all, problem);
        std::vector<std::pair<std::u16string, std::u16string>> out;
        for (const auto& b : all)
            out.emplace_back(b.endpoint.Text(), b.certificateHash);
        return out;
    }
    std::vector<std::string> StoreNow() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(iis_->StoreFolder()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static inline std::unique_ptr<e2e::CertCenterProcess> center_;
    std::unique_ptr<StandinIis> iis_;
    std::string otherThumbprint_;
    std::string config_;
    std::vector<std::pair<std::u16string, std::u16string>> tls_;
    std::vector<std::string> store_;
};

TEST_F(IisDeployment, DeployAgainAndUndoTwiceWhileTheUnrelatedSiteKeepsItsCertificate) {
    UnrelatedSiteWatch watch(otherThumbprint_);
    EXPECT_FALSE(GetHttps(kShop).result.ok);  // no HTTPS for the shop yet

    auto first = Deployer();
    ASSERT_EQ(Deploy(*first), "succeed") << iis_->Output();
    // Served at once, trusted through the center's chain, for both names.
    for (const char* host : {kShop, kWwwShop}) {
        const Served s = GetHttps(host, center_->caFile());
        ASSERT_TRUE(s.result.ok) << host << ": " << s.result.error;
        EXPECT_EQ(s.result.body, kShopPage);
        EXPECT_EQ(WideFromUtf8(s.thumbprint), first->certHash());
    }
    const std::string afterFirst = ReadText(iis_->ApplicationHostConfig());
    EXPECT_NE(afterFirst, config_);
    EXPECT_EQ(StoreNow().size(), store_.size() + 1);
    // No restart was needed: the same process serves.
    const int pid = iis_->Pid();

    auto second = Deployer();
    ASSERT_EQ(Deploy(*second), "succeed");
    EXPECT_EQ(WideFromUtf8(GetHttps(kShop, center_->caFile()).thumbprint), second->certHash());
    EXPECT_NE(second->certHash(), first->certHash());
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), afterFirst);  // the same bindings
    EXPECT_EQ(iis_->Pid(), pid);
    EXPECT_EQ(iis_->Output().find("restart"), std::string::npos) << iis_->Output();

    // The first undo: the state after the first deployment.
    auto undo = Deployer();
    ASSERT_EQ(ResultOf([&] { undo->RestoreWeb(); }), "succeed");
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), afterFirst);
    EXPECT_EQ(WideFromUtf8(GetHttps(kShop, center_->caFile()).thumbprint), first->certHash());

    // The second: byte for byte as before, the TLS bindings and the store too.
    auto undo2 = Deployer();
    ASSERT_EQ(ResultOf([&] { undo2->RestoreWeb(); }), "succeed");
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), config_);
    EXPECT_EQ(TlsNow(), tls_);
    EXPECT_EQ(StoreNow(), store_);
    EXPECT_FALSE(GetHttps(kShop).result.ok);
    EXPECT_EQ(GetHttps(kOther).thumbprint, otherThumbprint_);
    EXPECT_EQ(
        HttpGet(std::string("http://") + kShop + "/", HttpOptions().ConnectTo("127.0.0.1")).body,
        kShopPage);

    watch.Stop();
    std::printf("[unrelated site] %d polls, %d without its own certificate and page\n",
                watch.polls(), watch.wrong());
    EXPECT_GT(watch.polls(), 10);
    EXPECT_EQ(watch.wrong(), 0);
}

TEST_F(IisDeployment, ARenewalRebindsEveryNameAndTheUndoStillGivesBackTheOriginal) {
    UnrelatedSiteWatch watch(otherThumbprint_);
    auto first = Deployer();
    ASSERT_EQ(Deploy(*first), "succeed");
    const std::string deployed = ReadText(iis_->ApplicationHostConfig());
    auto renewal = Deployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] {
                  renewal->GetSitesInfo(names);
                  renewal->RenewCertificate({WideFromUtf8(kShop), WideFromUtf8(kWwwShop)}, 1);
              }),
              "succeed");
    for (const char* host : {kShop, kWwwShop}) {
        const Served s = GetHttps(host, center_->caFile());
        ASSERT_TRUE(s.result.ok) << host << ": " << s.result.error;
        EXPECT_EQ(WideFromUtf8(s.thumbprint), renewal->certHash());
    }
    EXPECT_NE(renewal->certHash(), first->certHash());
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), deployed);  // no binding changed
    auto undo = Deployer();
    ASSERT_EQ(ResultOf([&] { undo->RestoreWeb(); }), "succeed");
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), config_);
    EXPECT_EQ(TlsNow(), tls_);
    EXPECT_FALSE(GetHttps(kShop).result.ok);
    watch.Stop();
    EXPECT_EQ(watch.wrong(), 0);
}

TEST_F(IisDeployment, ACertificateFromAnAcmeCaIsBoundRenewedAndUndone) {
    QM_E2E_REQUIRE_PEBBLE();
    e2e::PebbleForDeployer ca({.httpPort = 80, .chainLength = 2});
    auto acmeDeployer = [&] {
        auto d = std::make_unique<SslCertSrvIIS>();
        ca.Point(*d, 80, 443);
        return d;
    };
    auto first = acmeDeployer();
    ASSERT_EQ(Deploy(*first), "succeed") << iis_->Output() << ca.pebble().Output();
    for (const char* host : {kShop, kWwwShop}) {
        const Served s = GetHttps(host, ca.rootFile());
        ASSERT_TRUE(s.result.ok) << host << ": " << s.result.error;
        EXPECT_EQ(WideFromUtf8(s.thumbprint), first->certHash());
    }
    EXPECT_FALSE(std::filesystem::exists(iis_->MakeFolder("shop") + ".well-known"));

    auto renewal = acmeDeployer();
    std::vector<std::u16string> names;
    ASSERT_EQ(ResultOf([&] {
                  renewal->GetSitesInfo(names);
                  renewal->RenewCertificate({WideFromUtf8(kShop), WideFromUtf8(kWwwShop)}, 1);
              }),
              "succeed");
    EXPECT_EQ(WideFromUtf8(GetHttps(kShop, ca.rootFile()).thumbprint), renewal->certHash());
    EXPECT_NE(renewal->certHash(), first->certHash());

    auto undo = Deployer();
    ASSERT_EQ(ResultOf([&] { undo->RestoreWeb(); }), "succeed");
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), config_);
    EXPECT_EQ(TlsNow(), tls_);
    EXPECT_FALSE(GetHttps(kShop).result.ok);
}

TEST_F(IisDeployment, AStoppedWebServiceIsReportedAndNothingChanges) {
    iis_->Stop();
    auto d = std::make_unique<SslCertSrvIIS>();
    EXPECT_EQ(ResultOf([&] { d->Initialize(WideFromUtf8(center_->url()), 80, 443); }),
              "port is not listening.");
    EXPECT_EQ(ReadText(iis_->ApplicationHostConfig()), config_);
    EXPECT_TRUE(DeploymentHistory(GetServiceDirectory()).Folders().empty());
}

}  // namespace
}  // namespace qm
