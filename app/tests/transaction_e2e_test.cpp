// Deployments as transactions, tried the way a careful operator would break
// them: the `quillmate` program killed (as by kill -9) or interrupted (as by
// Ctrl+C) at every phase boundary, a full disk, an altered backup, a file
// edited by hand, two runs at once, two deployments undone one by one. The
// real nginx (a portable one in a temporary folder, shared by the tests and
// put back to its original configuration before each) and the real center.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/deploymentrecord.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/cli_run.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::NginxSandbox;

constexpr char kShop[] = "shop.example.test";

using e2e::CliRun;

class TransactionE2E : public ::testing::Test {
protected:
    static inline std::unique_ptr<e2e::CertCenterProcess> center;
    static inline std::unique_ptr<NginxSandbox> nginx;
    static inline std::string original;

    std::unique_ptr<test::TempDir> home;     // the program folder of the runs
    std::unique_ptr<test::TempDir> service;  // their service folder

    static void SetUpTestSuite() {
        if (!std::getenv("QUILLMATE_E2E_HOSTS") || e2e::InstalledNginx().empty())
            return;
        center = std::make_unique<e2e::CertCenterProcess>();
        nginx = std::make_unique<NginxSandbox>();
        e2e::MakeSelfSignedCertificate(nginx->root() + "conf/old.crt",
                                       nginx->root() + "conf/old.key", {kShop});
        const std::string http = std::to_string(nginx->httpPort());
        const std::string https = std::to_string(nginx->httpsPort());
        // A site that sends HTTP to HTTPS: verification needs a way through.
        nginx->WriteConfig(
            "    server {\n        listen 127.0.0.1:" + http +
            ";\n        server_name shop.example.test;\n        root html;\n"
            "        return 301 https://$host$request_uri;\n    }\n"
            "    server {\n        listen 127.0.0.1:" +
            https +
            " ssl;\n        server_name shop.example.test;\n        root html;\n"
            "        ssl_certificate old.crt;\n        ssl_certificate_key old.key;\n"
            "    }\n");
        original = nginx->ReadConfigText();
        nginx->Start({nginx->httpPort(), nginx->httpsPort()});
    }
    static void TearDownTestSuite() {
        nginx.reset();
        center.reset();
    }

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_NGINX();
        ASSERT_TRUE(nginx);
        home = std::make_unique<test::TempDir>();
        service = std::make_unique<test::TempDir>();
        test::InstallConfigTemplates(home->path());
        // A verification file a successful deployment left (as it does) is
        // not this test's.
        fs::remove_all(nginx->htmlDir() + "auth");
        // The shared server back to where every test starts.
        if (nginx->ReadConfigText() != original || !nginx->Running()) {
            nginx->Stop();
            nginx->WriteConfigText(original);
            nginx->Start({nginx->httpPort(), nginx->httpsPort()});
        }
    }

    CliRun Quillmate(std::vector<std::string> args, const std::string& fault = {},
                     const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env = {"QUILLMATE_HOME=" + home->narrow(),
                                        "VANTREL_HOME=" + service->narrow(),
                                        "QUILLMATE_FAULT=" + fault};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return e2e::RunCli(env, QUILLMATE_PROGRAM, args);
    }
    CliRun Deploy(const std::string& fault = {}, const std::vector<std::string>& extraEnv = {}) {
        return Quillmate(
            {"deploy", "--server", "nginx", "--domain", kShop, "--http-port",
             std::to_string(nginx->httpPort()), "--https-port", std::to_string(nginx->httpsPort()),
             "--center", center->url(), "--ca-file", center->caFile(), "--lang", "en"},
            fault, extraEnv);
    }

    std::vector<std::u16string> Records() const {
        return DeploymentHistory(WideFromUtf8(service->narrow())).Folders();
    }
    std::string Served() const {
        const auto page = HttpGet(NginxSandbox::UrlFor("https", kShop, nginx->httpsPort(), "/"),
                                  HttpOptions().ConnectTo("127.0.0.1").Insecure());
        return page.ok ? CertificateFingerprint(page.peerCertPem) : std::string();
    }
    static std::string OldCertificate() {
        std::string pem;
        ReadFileBytes(WideFromUtf8(nginx->root() + "conf/old.crt"), pem);
        return CertificateFingerprint(pem);
    }

    // The state every recovery must leave: nginx running, answering on both
    // ports, and either the original configuration with no record, or the
    // deployed one with its committed record, serving its certificate.
    void ExpectConsistent(const std::string& after, bool rolledBack = true) {
        SCOPED_TRACE(after);
        EXPECT_TRUE(nginx->Running()) << nginx->ErrorLog();
        const auto http = HttpGet(NginxSandbox::UrlFor("http", kShop, nginx->httpPort(), "/"),
                                  HttpOptions().ConnectTo("127.0.0.1"));
        EXPECT_TRUE(http.ok) << http.error;
        EXPECT_EQ(http.status, 301);
        const auto records = Records();
        if (records.empty()) {
            EXPECT_EQ(nginx->ReadConfigText(), original);
            EXPECT_EQ(Served(), OldCertificate());
            // A deployment taken back leaves no verification file; one
            // undone keeps it, as it keeps its certificate files.
            if (rolledBack) {
                EXPECT_FALSE(fs::exists(nginx->htmlDir() + "auth/auth.txt"));
            }
            return;
        }
        ASSERT_EQ(records.size(), 1u);
        std::u16string problem;
        const auto record = DeploymentRecord::Load(records.back(), problem);
        ASSERT_TRUE(record) << Utf8FromWide(problem);
        EXPECT_EQ(record->phase, u"committed");
        std::string conf;
        ReadFileBytes(WideFromUtf8(nginx->confPath()), conf);
        const RecordedFile* file = nullptr;
        for (const auto& f : record->files) {
            if (f.path == WideFromUtf8(nginx->confPath()))
                file = &f;
        }
        ASSERT_TRUE(file);
        EXPECT_EQ(Sha256Hex(conf), file->deployedHash);
        EXPECT_EQ(Sha256Hex(original), file->originalHash);
        EXPECT_EQ(Served(), record->certificateFingerprint);
    }
};

// The boundaries a deployment passes, in order.
const char* const kPhases[] = {"obtaining", "verification-ready", "obtained", "backed-up",
                               "edited",    "applying",           "applied",  "settings-saved"};

TEST_F(TransactionE2E, AKillAtEveryPhaseIsRecoveredByTheNextCommand) {
    for (const char* phase : kPhases) {
        SetUp();
        const CliRun killed = Deploy(std::string("kill@") + phase);
        EXPECT_EQ(killed.code, 128 + 9) << phase << "\n" << killed.output;
        // The next command recovers first, and says what it found.
        const CliRun status = Quillmate({"status"});
        EXPECT_NE(status.output.find("did not finish"), std::string::npos) << phase << "\n"
                                                                           << status.output;
        ExpectConsistent(std::string("kill at ") + phase);
        EXPECT_TRUE(Records().empty()) << phase;
    }
}

TEST_F(TransactionE2E, AKillWhileNginxIsStoppedForARestartIsRecovered) {
    const CliRun killed = Deploy("kill@applying", {"QUILLMATE_NGINX_APPLY=restart"});
    EXPECT_EQ(killed.code, 128 + 9) << killed.output;
    EXPECT_FALSE(nginx->Running());  // killed between stop and start
    const CliRun next = Deploy();
    EXPECT_EQ(next.code, 0) << next.output;
    EXPECT_NE(next.output.find("did not finish"), std::string::npos) << next.output;
    ExpectConsistent("kill between stop and start, then a new deployment");
    ASSERT_EQ(Quillmate({"undo"}).code, 0);
    ExpectConsistent("undone", false);
}

TEST_F(TransactionE2E, AnInterruptAtEveryPhaseRollsBackAtOnce) {
    for (const char* phase : kPhases) {
        SetUp();
        const CliRun interrupted = Deploy(std::string("int@") + phase);
        if (std::string(phase) == "settings-saved") {
            // Past the last point where an interrupt is acted on, the
            // deployment commits.
            EXPECT_TRUE(interrupted.code == 0 || interrupted.code == 10) << interrupted.code << "\n"
                                                                         << interrupted.output;
        } else {
            EXPECT_EQ(interrupted.code, 10) << phase << "\n" << interrupted.output;
            EXPECT_NE(interrupted.output.find("every change was taken back"), std::string::npos)
                << phase << "\n"
                << interrupted.output;
        }
        ExpectConsistent(std::string("interrupt at ") + phase);
        if (!Records().empty()) {
            ASSERT_EQ(Quillmate({"undo"}).code, 0);
        }
    }
}

TEST_F(TransactionE2E, AnInterruptDuringAStopAndStartIsActedOnOnceNginxRunsAgain) {
    const CliRun interrupted = Deploy("int@applying", {"QUILLMATE_NGINX_APPLY=restart"});
    EXPECT_EQ(interrupted.code, 10) << interrupted.output;
    ExpectConsistent("interrupt between stop and start");
    EXPECT_TRUE(Records().empty());
}

TEST_F(TransactionE2E, AKilledUndoIsCompletedByTheNextCommand) {
    for (const char* phase : {"undoing", "undo-restored"}) {
        SetUp();
        ASSERT_EQ(Deploy().code, 0);
        const CliRun killed = Quillmate({"undo"}, std::string("kill@") + phase);
        EXPECT_EQ(killed.code, 128 + 9) << phase << "\n" << killed.output;
        const CliRun status = Quillmate({"status"});
        EXPECT_NE(status.output.find("did not finish"), std::string::npos) << status.output;
        ExpectConsistent(std::string("undo killed at ") + phase, false);
        EXPECT_TRUE(Records().empty());
    }
}

TEST_F(TransactionE2E, SettingsThatCannotBeWrittenRollTheDeploymentBack) {
    // The service folder on a small file system of its own, filled up just
    // before the settings are saved.
    ASSERT_EQ(mount("tmpfs", service->narrow().c_str(), "tmpfs", 0, "size=4m"), 0)
        << std::strerror(errno);
    const CliRun full = Deploy("fill@applied");
    EXPECT_NE(full.code, 0) << full.output;
    ExpectConsistent("settings not written");
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Quillmate({"undo"}).code, 8);  // nothing to undo: nothing happened
    fs::remove(service->narrow() + "fault-filler");
    EXPECT_EQ(Deploy().code, 0);
    EXPECT_EQ(Quillmate({"undo"}).code, 0);
    umount(service->narrow().c_str());
}

TEST_F(TransactionE2E, AnAlteredOrMissingBackupCopyMakesTheUndoFailClearly) {
    ASSERT_EQ(Deploy().code, 0);
    const std::string deployed = nginx->ReadConfigText();
    std::u16string problem;
    const auto record = DeploymentRecord::Load(Records().back(), problem);
    ASSERT_TRUE(record);
    const std::string copy = Utf8FromWide(record->CopyPath(record->files.front()));
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(WideFromUtf8(copy), bytes));
    e2e::WriteTextFile(copy, bytes + "# altered\n");
    const CliRun altered = Quillmate({"undo"});
    EXPECT_EQ(altered.code, 8) << altered.output;
    EXPECT_NE(altered.output.find(copy + " of "), std::string::npos) << altered.output;
    EXPECT_NE(altered.output.find("was altered"), std::string::npos) << altered.output;
    EXPECT_EQ(altered.output.find("undo deployment completed"), std::string::npos);
    EXPECT_EQ(nginx->ReadConfigText(), deployed);

    fs::remove(copy);
    const CliRun missing = Quillmate({"undo"});
    EXPECT_EQ(missing.code, 8) << missing.output;
    EXPECT_NE(missing.output.find("is missing"), std::string::npos) << missing.output;
    EXPECT_EQ(nginx->ReadConfigText(), deployed);
    EXPECT_TRUE(nginx->Running());
    // Put back by hand for the next test.
    e2e::WriteTextFile(copy, bytes);
    EXPECT_EQ(Quillmate({"undo"}).code, 0);
}

TEST_F(TransactionE2E, AHandEditIsRefusedThenForcedWithTheEditedCopyKept) {
    ASSERT_EQ(Deploy().code, 0);
    const std::string edited = nginx->ReadConfigText() + "# the administrator's own line\n";
    nginx->WriteConfigText(edited);
    const CliRun refused = Quillmate({"undo"});
    EXPECT_EQ(refused.code, 12) << refused.output;
    EXPECT_NE(refused.output.find(nginx->confPath()), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("--force"), std::string::npos) << refused.output;
    EXPECT_EQ(nginx->ReadConfigText(), edited);

    const CliRun forced = Quillmate({"undo", "--force"});
    EXPECT_EQ(forced.code, 0) << forced.output;
    EXPECT_EQ(nginx->ReadConfigText(), original);
    bool kept = false;
    for (const auto& entry : fs::directory_iterator(service->narrow() + "Undo/kept")) {
        std::string text;
        ReadFileBytes(WideFromUtf8(entry.path().string()), text);
        kept = kept || text == edited;
    }
    EXPECT_TRUE(kept);
    ExpectConsistent("forced undo", false);
}

TEST_F(TransactionE2E, TwoDeploymentsAtOnceOneIsRefused) {
    // A center that holds every request for review keeps the first run busy.
    e2e::CertCenterProcess deferring({"--defer"});
    std::atomic<bool> done{false};
    CliRun first;
    std::thread runner([&] {
        std::vector<std::string> argv = {"/usr/bin/env",
                                         "QUILLMATE_HOME=" + home->narrow(),
                                         "VANTREL_HOME=" + service->narrow(),
                                         "timeout",
                                         "--preserve-status",
                                         "-s",
                                         "INT",
                                         "6",
                                         QUILLMATE_PROGRAM,
                                         "deploy",
                                         "--server",
                                         "nginx",
                                         "--domain",
                                         kShop,
                                         "--http-port",
                                         std::to_string(nginx->httpPort()),
                                         "--https-port",
                                         std::to_string(nginx->httpsPort()),
                                         "--center",
                                         deferring.url(),
                                         "--ca-file",
                                         deferring.caFile()};
        first.code = e2e::RunProgram(argv, first.output, std::chrono::milliseconds(60000));
        done = true;
    });
    // Wait until the first one holds the lock (its record exists).
    for (int i = 0; i < 100 && Records().empty() && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const CliRun second = Deploy();
    runner.join();
    EXPECT_EQ(second.code, 11) << second.output;
    EXPECT_NE(second.output.find("quillmate deploy"), std::string::npos) << second.output;
    EXPECT_EQ(first.code, 10) << first.output;
    ExpectConsistent("two at once");
    EXPECT_TRUE(Records().empty());
}

TEST_F(TransactionE2E, DeployTwiceUndoTwiceGivesTheOriginalBack) {
    ASSERT_EQ(Deploy().code, 0);
    const std::string first = nginx->ReadConfigText();
    const std::string firstServed = Served();
    ASSERT_EQ(Deploy().code, 0);
    EXPECT_NE(Served(), firstServed);
    EXPECT_EQ(Records().size(), 2u);
    const CliRun status = Quillmate({"status"});
    EXPECT_NE(status.output.find("Undo steps:          2"), std::string::npos) << status.output;

    ASSERT_EQ(Quillmate({"undo"}).code, 0);
    EXPECT_EQ(nginx->ReadConfigText(), first);
    EXPECT_EQ(Served(), firstServed);
    ASSERT_EQ(Quillmate({"undo"}).code, 0);
    EXPECT_EQ(nginx->ReadConfigText(), original);
    EXPECT_EQ(Served(), OldCertificate());
    EXPECT_EQ(Quillmate({"undo"}).code, 8);

    // --all does the same in one go.
    ASSERT_EQ(Deploy().code, 0);
    ASSERT_EQ(Deploy().code, 0);
    ASSERT_EQ(Quillmate({"undo", "--all"}).code, 0);
    EXPECT_EQ(nginx->ReadConfigText(), original);
    ExpectConsistent("undo --all", false);
}

TEST_F(TransactionE2E, UndoWithTheServerStoppedRestoresAndStartsIt) {
    ASSERT_EQ(Deploy().code, 0);
    nginx->Stop();
    const CliRun undo = Quillmate({"undo"});
    EXPECT_EQ(undo.code, 0) << undo.output;
    EXPECT_EQ(nginx->ReadConfigText(), original);
    ExpectConsistent("undo of a stopped server", false);
}

}  // namespace
}  // namespace qm
