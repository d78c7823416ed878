// The self-update as an operator runs it: `quillmate update` in an installed
// copy of this build, against the real quillmate-services over HTTPS serving
// a release published from the same programs stamped one version later.
// Also the update check, hostile and damaged archives, a failure and a kill
// half way through the install, and feedback sent from the command line.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>

#include "Common/OpenSSL/quorp/digest.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "services/ziparchive.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/services_process.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kCurrentVersion =
    Utf8FromWide(GetFileVersion(WideFromUtf8(std::string(QUILLMATE_PROGRAM_DIR) + "/quillmate")));
constexpr char kNextVersion[] = QUILLMATE_NEXT_VERSION;

void CopyTree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// An installation made of the programs this build made, and a release of
// the next version published for the service to offer.
class SelfUpdateE2E : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::path(dir_.narrow());
        install_ = root_ / "opt" / "quillmate";
        fs::create_directories(install_);
        for (const char* program : {"quillmate", "vantrel"})
            fs::copy_file(fs::path(QUILLMATE_PROGRAM_DIR) / program, install_ / program);
        CopyTree(fs::path(QUILLMATE_PROGRAM_DIR) / "Config", install_ / "Config");
        e2e::WriteTextFile((install_ / "Config" / "Vantrel.xml").string(), "operator settings\n");

        const fs::path next = root_ / "next";
        fs::create_directories(next);
        for (const char* program : {"quillmate", "vantrel"})
            fs::copy_file(fs::path(QUILLMATE_NEXT_RELEASE_DIR) / program, next / program);
        CopyTree(fs::path(QUILLMATE_PROGRAM_DIR) / "Config", next / "Config");
        release_ = root_ / "release";
        std::string output;
        ASSERT_EQ(e2e::PublishRelease(next.string(), release_.string(), kNextVersion,
                                      "Faster renewals", "更快的续期", &output),
                  0)
            << output;
        originals_ = Snapshot();
    }

    // Runs the installed quillmate with the service's address and trust.
    int Quillmate(const e2e::ServicesProcess& service, std::vector<std::string> args,
                  std::string& output, std::vector<std::string> extraEnv = {}) {
        // As installed: the program folder is the program's own.
        std::vector<std::string> argv = {"env",
                                         "-u",
                                         "QUILLMATE_HOME",
                                         "QUILLMATE_SERVICES_URL=" + service.url(),
                                         "QUILLMATE_SERVICES_CA=" + service.caFile(),
                                         "VANTREL_HOME=" + (root_ / "vantrel").string()};
        argv.insert(argv.end(), extraEnv.begin(), extraEnv.end());
        argv.push_back((install_ / "quillmate").string());
        argv.insert(argv.end(), args.begin(), args.end());
        return e2e::RunProgram(argv, output, 120s);
    }

    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(install_)) {
            const std::string relative = fs::relative(entry.path(), install_).string();
            // Digests: a failure message never prints program files.
            // The install lock stays once an update ran; it holds nothing.
            if (entry.is_regular_file() && relative.rfind("RunLog", 0) != 0 &&
                relative != "Quillmate_update.lock")
                files[relative] = Sha256Hex(e2e::ReadTextFile(entry.path().string()));
        }
        return files;
    }
    std::string InstalledVersion(const char* program) const {
        return Utf8FromWide(GetFileVersion(WideFromUtf8((install_ / program).string())));
    }
    std::string RunLog() const {
        const fs::path log = install_ / "RunLog" / "quillmate.log";
        return fs::exists(log) ? e2e::ReadTextFile(log.string()) : "(no run log)";
    }
    void ExpectInstallationUnchanged() {
        EXPECT_EQ(Snapshot(), originals_) << RunLog();
        EXPECT_EQ(InstalledVersion("quillmate"), kCurrentVersion);
        EXPECT_FALSE(fs::exists(install_ / "Quillmate_tmp"));
        EXPECT_FALSE(fs::exists(install_ / "Quillmate_tmp.zip"));
        EXPECT_FALSE(fs::exists(install_ / "Quillmate_old"));
    }

    test::TempDir dir_;
    fs::path root_;
    fs::path install_;
    fs::path release_;
    std::map<std::string, std::string> originals_;
};

TEST_F(SelfUpdateE2E, ChecksAndInstallsTheNextVersionKeepingTheOperatorsSettings) {
    ASSERT_NE(kCurrentVersion, "");
    e2e::ServicesProcess service(release_.string());
    std::string output;
    ASSERT_EQ(Quillmate(service, {"update", "--check"}, output), 0) << output;
    EXPECT_NE(output.find("Current version: " + kCurrentVersion), std::string::npos) << output;
    EXPECT_NE(output.find("Newest version:  " + std::string(kNextVersion)), std::string::npos);
    EXPECT_NE(output.find("Faster renewals"), std::string::npos) << output;
    ASSERT_EQ(Quillmate(service, {"update", "--check", "--lang", "zh"}, output), 0) << output;
    EXPECT_NE(output.find("更快的续期"), std::string::npos) << output;
    EXPECT_EQ(Snapshot(), originals_);

    ASSERT_EQ(Quillmate(service, {"update"}, output), 0) << output << RunLog();
    EXPECT_NE(output.find("Updated to " + std::string(kNextVersion)), std::string::npos);
    EXPECT_EQ(InstalledVersion("quillmate"), kNextVersion);
    EXPECT_EQ(InstalledVersion("vantrel"), kNextVersion);
    EXPECT_EQ(e2e::ReadTextFile((install_ / "Config" / "Vantrel.xml").string()),
              "operator settings\n");
    EXPECT_TRUE(fs::status(install_ / "quillmate").permissions() ==
                fs::status(install_ / "vantrel").permissions());
    EXPECT_NE(fs::status(install_ / "quillmate").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_FALSE(fs::exists(install_ / "Quillmate_tmp"));
    EXPECT_FALSE(fs::exists(install_ / "Quillmate_old"));

    // The updated program runs and knows itself as the new version.
    ASSERT_EQ(Quillmate(service, {"update", "--check"}, output), 0) << output;
    EXPECT_NE(output.find("Current version: " + std::string(kNextVersion)), std::string::npos)
        << output;
    EXPECT_NE(output.find("latest version"), std::string::npos) << output;
    ASSERT_EQ(Quillmate(service, {"update"}, output), 0) << output;
    EXPECT_EQ(output.find("Updated to"), std::string::npos);
}

TEST_F(SelfUpdateE2E, DamagedOrForeignArchivesAreRefusedAndNothingIsInstalled) {
    {
        e2e::ServicesProcess service(release_.string(),
                                     {"--fault-download", "wrong-content@Quillmate.zip"});
        std::string output;
        EXPECT_EQ(Quillmate(service, {"update"}, output), 1) << output;
        EXPECT_NE(output.find("does not match the digest"), std::string::npos) << output;
        ExpectInstallationUnchanged();
    }
    {
        e2e::ServicesProcess service(release_.string(),
                                     {"--fault-download", "truncated@Quillmate.zip"});
        std::string output;
        EXPECT_EQ(Quillmate(service, {"update"}, output), 1) << output;
        EXPECT_NE(output.find("download failed"), std::string::npos) << output;
        ExpectInstallationUnchanged();
    }
    // An archive with an entry that climbs out of the staging directory,
    // correctly described: refused as a whole.
    services::WriteZip((release_ / "Quillmate.zip").string(),
                       {{"quillmate", "not a program", 0755}, {"../../evil", "owned", 0644}});
    const std::string archive = e2e::ReadTextFile((release_ / "Quillmate.zip").string());
    std::string description = e2e::ReadTextFile((release_ / "Quillmate.update.xml.txt").string());
    const size_t sha = description.find("sha256=\"") + 8;
    description.replace(sha, 64, Sha256Hex(archive));
    const size_t size = description.find("size=\"") + 6;
    description.replace(size, description.find('"', size) - size, std::to_string(archive.size()));
    e2e::WriteTextFile((release_ / "Quillmate.update.xml.txt").string(), description);
    e2e::ServicesProcess service(release_.string());
    std::string output;
    EXPECT_EQ(Quillmate(service, {"update"}, output), 1) << output;
    EXPECT_NE(output.find("update archive entry refused: ../../evil"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(root_ / "evil"));
    EXPECT_FALSE(fs::exists(install_.parent_path() / "evil"));
    ExpectInstallationUnchanged();
}

TEST_F(SelfUpdateE2E, AnInstallThatFailsOrIsKilledHalfWayLeavesTheOldProgramRunnable) {
    e2e::ServicesProcess service(release_.string());
    std::string output;
    // Killed right after the first program file was replaced: the command
    // reports the failure, and the next start puts the old files back.
    EXPECT_EQ(Quillmate(service, {"update"}, output, {"QUILLMATE_FAULT=kill@update-installing"}), 1)
        << output;
    EXPECT_TRUE(fs::exists(install_ / "Quillmate_old" / "update.journal")) << output;
    ASSERT_EQ(Quillmate(service, {"update", "--check"}, output), 0) << output << RunLog();
    EXPECT_NE(output.find("Current version: " + kCurrentVersion), std::string::npos) << output;
    ExpectInstallationUnchanged();
    EXPECT_NE(RunLog().find("interrupted update"), std::string::npos) << RunLog();

    // A file that cannot be replaced (a folder stands in its place): the
    // files replaced before it are put back at once.
    fs::remove(install_ / "vantrel");
    fs::create_directories(install_ / "vantrel" / "keep");
    originals_ = Snapshot();
    EXPECT_EQ(Quillmate(service, {"update"}, output), 1) << output;
    EXPECT_NE(output.find("cannot install"), std::string::npos) << output;
    EXPECT_TRUE(fs::is_directory(install_ / "vantrel" / "keep"));
    ExpectInstallationUnchanged();
}

TEST_F(SelfUpdateE2E, FeedbackFromTheCommandLineAndAServiceThatIsDown) {
    e2e::ServicesProcess service(release_.string());
    // An error line in the run log travels with an error report.
    fs::create_directories(install_ / "RunLog");
    e2e::WriteTextFile((install_ / "RunLog" / "quillmate.log").string(),
                       "[2026-12-09 10:00:00.000][Error] something broke\r\n");
    std::string output;
    ASSERT_EQ(Quillmate(service,
                        {"feedback", "--type", "error", "--text", "It broke", "--contact",
                         "ops@example.test"},
                        output),
              0)
        << output;
    const std::vector<Json::Value> received = service.Received();
    ASSERT_EQ(received.size(), 1u);
    const Json::Value& message = received[0];
    EXPECT_EQ(message["type"], "msgReq");
    EXPECT_EQ(message["msgType"], "bug");
    EXPECT_EQ(message["desc"], "It broke");
    EXPECT_EQ(message["contact"], "ops@example.test");
    EXPECT_EQ(message["product"], "Quillmate");
    EXPECT_EQ(message["version"], kCurrentVersion);
    EXPECT_EQ(message["platform"], "linux");
    EXPECT_NE(message["loginfo"].asString().find("something broke"), std::string::npos)
        << message.toStyledString();

    // Down: the commands say so and end at once.
    service.Stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Quillmate(service, {"update", "--check"}, output), 1) << output;
    EXPECT_NE(output.find("Not connected"), std::string::npos) << output;
    EXPECT_EQ(Quillmate(service, {"feedback", "--type", "advice", "--text", "x"}, output), 1)
        << output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

}  // namespace
}  // namespace qm
