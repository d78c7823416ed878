// The quillmate program deploying into the stand-in IIS on ports 80 and 443
// of a private network (QUILLMATE_IIS_HOME names its files), with the real
// center: a deployment, its status and its undo; a run killed at every
// boundary of a deployment (recovered by the next command), interrupted at
// every boundary, or out of disk space between two changes, each leaving
// applicationHost.config, the TLS bindings and the store as they were.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "deploy/deploymentrecord.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/cli_run.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/standin_iis.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::HttpGet;
using e2e::HttpOptions;

constexpr char kShop[] = "shop.example.test";
constexpr char kShopPage[] = "<h1>shop</h1>\n";

using e2e::CliRun;

class IisCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        if (!e2e::InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network";
        if (!center_)
            center_ = std::make_unique<e2e::CertCenterProcess>();
        home_ = std::make_unique<test::TempDir>();
        service_ = std::make_unique<test::TempDir>();
        test::InstallConfigTemplates(home_->path());
        iis_ = std::make_unique<e2e::StandinIis>();
        const std::string root = iis_->MakeFolder("shop");
        e2e::WriteTextFile(root + "index.html", kShopPage);
        iis_->WriteSites({{"Shop",
                           1,
                           "Started",
                           root,
                           {{"http", std::string("*:80:") + kShop},
                            {"http", std::string("*:80:www.") + kShop}}}});
        iis_->Start({80});
        config_ = Read(iis_->ApplicationHostConfig());
    }
    void TearDown() override { iis_.reset(); }
    static void TearDownTestSuite() { center_.reset(); }

    CliRun Quillmate(std::vector<std::string> args, const std::string& fault = {}) {
        return e2e::RunCli(
            {"QUILLMATE_HOME=" + home_->narrow(), "VANTREL_HOME=" + service_->narrow(),
             "QUILLMATE_IIS_HOME=" + iis_->Home(), "QUILLMATE_FAULT=" + fault},
            QUILLMATE_PROGRAM, args);
    }
    CliRun Deploy(const std::string& fault = {}) {
        return Quillmate({"deploy", "--server", "iis", "--domain", kShop, "--center",
                          center_->url(), "--ca-file", center_->caFile(), "--lang", "en"},
                         fault);
    }
    static std::string Read(const std::string& path) {
        std::string bytes;
        ReadFileBytes(WideFromUtf8(path), bytes);
        return bytes;
    }
    std::vector<std::string> Store() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(iis_->StoreFolder()))
            names.push_back(e.path().filename().string());
        return names;
    }
    // No TLS binding left: sslbindings.xml missing or without bindings.
    bool NoTlsBindings() const {
        return Read(iis_->SslBindingsFile()).find("<binding") == std::string::npos;
    }
    std::vector<std::u16string> Records() const {
        return DeploymentHistory(WideFromUtf8(service_->narrow())).Folders();
    }
    // IIS as it was before any deployment, the shop served over HTTP.
    void ExpectAsBefore() {
        EXPECT_EQ(Read(iis_->ApplicationHostConfig()), config_);
        EXPECT_TRUE(NoTlsBindings()) << Read(iis_->SslBindingsFile());
        EXPECT_TRUE(Store().empty());
        EXPECT_TRUE(Records().empty());
        EXPECT_EQ(
            HttpGet(std::string("http://") + kShop + "/", HttpOptions().ConnectTo("127.0.0.1"))
                .body,
            kShopPage);
    }

    static inline std::unique_ptr<e2e::CertCenterProcess> center_;
    std::unique_ptr<test::TempDir> home_;
    std::unique_ptr<test::TempDir> service_;
    std::unique_ptr<e2e::StandinIis> iis_;
    std::string config_;
};

TEST_F(IisCommandLine, DeploysShowsAndUndoes) {
    const CliRun deploy = Deploy();
    ASSERT_EQ(deploy.code, 0) << deploy.output << iis_->Output();
    EXPECT_NE(deploy.output.find("Automatically deploy certificate success!"), std::string::npos)
        << deploy.output;
    for (const std::string& host : {std::string(kShop), "www." + std::string(kShop)}) {
        const auto page = HttpGet("https://" + host + "/",
                                  HttpOptions().ConnectTo("127.0.0.1").Ca(center_->caFile()));
        ASSERT_TRUE(page.ok) << host << ": " << page.error;
        EXPECT_EQ(page.body, kShopPage);
    }
    EXPECT_EQ(Store().size(), 1u);
    const CliRun status = Quillmate({"status"});
    EXPECT_EQ(status.code, 0) << status.output;
    EXPECT_NE(status.output.find(kShop), std::string::npos) << status.output;

    const CliRun undo = Quillmate({"undo"});
    ASSERT_EQ(undo.code, 0) << undo.output;
    EXPECT_EQ(Read(iis_->ApplicationHostConfig()), config_);
    EXPECT_TRUE(NoTlsBindings()) << Read(iis_->SslBindingsFile());
    EXPECT_TRUE(Store().empty());
    EXPECT_FALSE(HttpGet(std::string("https://") + kShop + "/",
                         HttpOptions().ConnectTo("127.0.0.1").Insecure())
                     .ok);
}

TEST_F(IisCommandLine, AKillAtEveryBoundaryIsRecoveredByTheNextCommand) {
    for (const char* phase : {"obtained", "backed-up", "bindings-committed", "edited", "applying",
                              "applied", "settings-saved"}) {
        SCOPED_TRACE(phase);
        const CliRun killed = Deploy(std::string("kill@") + phase);
        EXPECT_EQ(killed.code, 128 + 9) << killed.output;
        const CliRun status = Quillmate({"status"});
        EXPECT_NE(status.output.find("did not finish"), std::string::npos) << status.output;
        ExpectAsBefore();
    }
}

TEST_F(IisCommandLine, AnInterruptAtEveryBoundaryTakesEverythingBack) {
    for (const char* phase :
         {"obtained", "backed-up", "bindings-committed", "edited", "applying", "applied"}) {
        SCOPED_TRACE(phase);
        const CliRun interrupted = Deploy(std::string("int@") + phase);
        EXPECT_EQ(interrupted.code, 10) << interrupted.output;
        EXPECT_NE(interrupted.output.find("every change was taken back"), std::string::npos)
            << interrupted.output;
        ExpectAsBefore();
    }
}

TEST_F(IisCommandLine, AFullDiskBetweenTwoChangesRollsBackWhatWasChanged) {
    // The service folder on a small file system of its own, filled once the
    // bindings are committed: the record of the next change cannot be
    // written, so that change is not made and the ones before are taken back.
    ASSERT_EQ(mount("tmpfs", service_->narrow().c_str(), "tmpfs", 0, "size=4m"), 0)
        << std::strerror(errno);
    const CliRun full = Deploy("fill@bindings-committed");
    EXPECT_NE(full.code, 0) << full.output;
    ExpectAsBefore();
    fs::remove(service_->narrow() + "fault-filler");
    const CliRun deployed = Deploy();
    EXPECT_EQ(deployed.code, 0) << deployed.output;
    EXPECT_EQ(Quillmate({"undo"}).code, 0);
    ExpectAsBefore();
    umount(service_->narrow().c_str());
}

}  // namespace
}  // namespace qm
