// The update lookup's reader, the archive unpacker and the journaled
// install: hostile archives, digests, partial failures and interrupted
// installs, on real files and a loopback HTTPS server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <filesystem>

#include "Common/OpenSSL/quorp/digest.h"
#include "app/selfupdate.h"
#include "app/updatearchive.h"
#include "app/updatecomm.h"
#include "enrollment/tests/tls_test_server.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "services/ziparchive.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

constexpr char kDescription[] = R"(<?xml version="1.0" encoding="utf-8"?>
<config>
  <file name="Other.exe"><version num="9.9.9.9"><desp-en>other</desp-en></version></file>
  <file name="Quillmate.exe">
    <version num="2.0.0.10" sha256="%SHA%" size="%SIZE%">
      <desp-en>Faster &amp; safer</desp-en>
      <desp-cn>更快</desp-cn>
    </version>
    <version num="3.0"><desp-en>ignored</desp-en></version>
  </file>
</config>
)";

std::string Description(const std::string& sha, const std::string& size) {
    std::string text = kDescription;
    text.replace(text.find("%SHA%"), 5, sha);
    text.replace(text.find("%SIZE%"), 6, size);
    return text;
}

std::u16string ResultOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return ResultTextOf(e);
    }
    return u"succeed";
}

TEST(UpdateDescriptionTest, ReadsTheFirstEntryOfTheProgramInTheRequestedLanguage) {
    const std::string sha(64, 'a');
    UpdateDescription found;
    UpdateComm::ReadDescription(WideFromUtf8(Description(sha, "1234")), u"Quillmate.exe",
                                u"desp-cn", found);
    EXPECT_EQ(found.version, u"2.0.0.10");
    EXPECT_EQ(found.description, u"更快");
    EXPECT_EQ(found.sha256, sha);
    EXPECT_EQ(found.size, 1234);

    UpdateComm::ReadDescription(WideFromUtf8(Description("not-a-digest", "x")), u"Quillmate.exe",
                                u"desp-en", found);
    EXPECT_EQ(found.description, u"Faster & safer");
    EXPECT_EQ(found.sha256, "");
    EXPECT_EQ(found.size, -1);
}

TEST(UpdateDescriptionTest, MissingPiecesAreUndefinedButKeepTheVersionRead) {
    const std::u16string text = WideFromUtf8(Description(std::string(64, 'b'), "1"));
    UpdateDescription found;
    // The program name is compared exactly.
    EXPECT_EQ(
        ResultOf([&] { UpdateComm::ReadDescription(text, u"quillmate.exe", u"desp-en", found); }),
        u"undefined");
    found = {};
    EXPECT_EQ(
        ResultOf([&] { UpdateComm::ReadDescription(text, u"Quillmate.exe", u"desp-fr", found); }),
        u"undefined");
    EXPECT_EQ(found.version, u"2.0.0.10");
    EXPECT_EQ(ResultOf([&] {
                  UpdateComm::ReadDescription(u"<config><file", u"Quillmate.exe", u"desp-en",
                                              found);
              }),
              u"undefined");
}

TEST(UpdateArchiveTest, EntryNamesThatCouldLeaveTheStagingDirectoryAreUnsafe) {
    for (const char* safe : {"quillmate", "Config/Vantrel.xml", "a/b/c.txt", "folder/", "..a/b.."})
        EXPECT_TRUE(IsSafeArchiveEntryName(safe)) << safe;
    for (const char* unsafe :
         {"", "/", "/etc/passwd", "../evil", "a/../../evil", "a/./b", "a//b", "C:/Windows/x", "C:x",
          "a\\..\\b", "\\\\server\\x", "a/..", "..", "a/\nb"})
        EXPECT_FALSE(IsSafeArchiveEntryName(unsafe)) << unsafe;
}

TEST(UpdateArchiveTest, UnpacksFoldersAndModesAndSkipsEmptyEntries) {
    TempDir dir;
    const std::string zip = dir.narrow() + "update.zip";
    services::WriteZip(zip, {{"quillmate", "program", 0755},
                             {"Config/", "", 0755},
                             {"Config/Vantrel.xml", "<config/>", 0644},
                             {"empty.txt", "", 0644},
                             {"deep/er/file", "x", 0600}});
    const std::u16string staging = dir / u"Quillmate_tmp";
    UnpackUpdateArchive(WideFromUtf8(zip), staging);
    EXPECT_EQ(ReadAll(staging + u"/quillmate"), "program");
    EXPECT_EQ(ReadAll(staging + u"/Config/Vantrel.xml"), "<config/>");
    EXPECT_EQ(ReadAll(staging + u"/deep/er/file"), "x");
    EXPECT_FALSE(fs::exists(FsPath(staging + u"/empty.txt")));
#ifndef _WIN32  // Unix modes
    struct stat info {};
    ASSERT_EQ(stat(Utf8FromWide(staging + u"/quillmate").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(Utf8FromWide(staging + u"/deep/er/file").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
}

TEST(UpdateArchiveTest, OneHostileEntryRefusesTheWholeArchiveBeforeAnythingIsWritten) {
    for (const char* hostile : {"../evil", "/tmp/evil", "C:/evil", "sub/../../evil"}) {
        TempDir dir;
        const std::string zip = dir.narrow() + "update.zip";
        services::WriteZip(zip, {{"quillmate", "program", 0755}, {hostile, "owned", 0644}});
        const std::u16string staging = dir / u"inner/Quillmate_tmp";
        const std::u16string result =
            ResultOf([&] { UnpackUpdateArchive(WideFromUtf8(zip), staging); });
        EXPECT_EQ(result.rfind(u"update archive entry refused", 0), 0u) << Utf8FromWide(result);
        EXPECT_FALSE(fs::exists(FsPath(staging))) << hostile;
        EXPECT_FALSE(fs::exists(FsPath(dir / u"evil")));
        EXPECT_FALSE(fs::exists("/tmp/evil"));
    }
    TempDir dir;
    WriteAll(dir / u"broken.zip", "PK this is no archive");
    EXPECT_EQ(ResultOf([&] { UnpackUpdateArchive(dir / u"broken.zip", dir / u"staging"); }),
              u"update archive cannot be opened");
}

// An installation and a staged release of it.
struct InstallFixture {
    TempDir dir;
    std::u16string install = dir / u"opt/quillmate/";
    std::u16string staging = install + u"Quillmate_tmp";

    InstallFixture() {
        MakeDirectoryTree(install + u"Config");
        WriteAll(install + u"quillmate", "old quillmate");
        WriteAll(install + u"vantrel", "old vantrel");
        WriteAll(install + u"Config/Vantrel.xml", "the operator's settings");
        MakeDirectoryTree(staging + u"/Config");
        WriteAll(staging + u"/quillmate", "new quillmate");
        WriteAll(staging + u"/vantrel", "new vantrel");
        WriteAll(staging + u"/helper.so", "new helper");
        WriteAll(staging + u"/Config/Vantrel.xml", "template");
        WriteAll(staging + u"/Config/User.xml", "template user");
    }
    bool Exists(std::u16string_view relative) const {
        return fs::exists(FsPath(install + std::u16string(relative)));
    }
};

TEST(SelfUpdateInstallTest, ReplacesProgramFilesAndKeepsTheInstallationsRecords) {
    InstallFixture f;
    InstallStagedTree(f.staging, f.install);
    EXPECT_EQ(ReadAll(f.install + u"quillmate"), "new quillmate");
    EXPECT_EQ(ReadAll(f.install + u"vantrel"), "new vantrel");
    EXPECT_EQ(ReadAll(f.install + u"helper.so"), "new helper");
    EXPECT_EQ(ReadAll(f.install + u"Config/Vantrel.xml"), "the operator's settings");
    EXPECT_EQ(ReadAll(f.install + u"Config/User.xml"), "template user");
    EXPECT_FALSE(f.Exists(u"Quillmate_old"));
    EXPECT_FALSE(RecoverInterruptedUpdate(f.install));
}

TEST(SelfUpdateInstallTest, AFailureHalfWayPutsEveryFileBack) {
    InstallFixture f;
    // "vantrel" cannot be replaced: a folder stands in the staging tree's way.
    fs::remove(FsPath(f.install + u"vantrel"));
    MakeDirectoryTree(f.install + u"vantrel/keep");
    EXPECT_EQ(
        ResultOf([&] { InstallStagedTree(f.staging, f.install); }).rfind(u"cannot install", 0), 0u);
    EXPECT_EQ(ReadAll(f.install + u"quillmate"), "old quillmate");
    EXPECT_FALSE(f.Exists(u"helper.so"));
    EXPECT_TRUE(f.Exists(u"vantrel/keep"));
    EXPECT_FALSE(f.Exists(u"Config/User.xml"));
    EXPECT_FALSE(f.Exists(u"Quillmate_old"));
}

TEST(SelfUpdateInstallTest, AnInstallCutOffByAKillIsTakenBackAtTheNextStart) {
    InstallFixture f;
    // What a kill after the first replaced file leaves: the kept copies,
    // the journal, one file new.
    MakeDirectoryTree(f.install + u"Quillmate_old");
    WriteAll(f.install + u"Quillmate_old/quillmate", "old quillmate");
    WriteAll(f.install + u"Quillmate_old/vantrel", "old vantrel");
    WriteAll(f.install + u"Quillmate_old/update.journal",
             "quillmate update journal 1\nR\tquillmate\nN\thelper.so\nR\tvantrel\n");
    WriteAll(f.install + u"quillmate", "new quillmate");
    WriteAll(f.install + u"helper.so", "new helper");
    EXPECT_TRUE(RecoverInterruptedUpdate(f.install));
    EXPECT_EQ(ReadAll(f.install + u"quillmate"), "old quillmate");
    EXPECT_EQ(ReadAll(f.install + u"vantrel"), "old vantrel");
    EXPECT_FALSE(f.Exists(u"helper.so"));
    EXPECT_FALSE(f.Exists(u"Quillmate_old"));
}

TEST(SelfUpdateInstallTest, TheStagedCopyFindsItsVersionSwitch) {
    EXPECT_EQ(UpdateVersionArgument({"/UpdateVersion:2.0.0.3"}), u"2.0.0.3");
    EXPECT_EQ(UpdateVersionArgument({"--lang", "en", "/updateversion:2.1"}), u"2.1");
    EXPECT_EQ(UpdateVersionArgument({"-UPDATEVERSION:\"2.2\""}), u"2.2");
    EXPECT_EQ(UpdateVersionArgument({"/UpdateVersion:"}), u"");
    EXPECT_EQ(UpdateVersionArgument({"/home/user:x", "deploy"}), u"");
    EXPECT_FALSE(FinishSelfUpdate({"status"}).has_value());
}

// The maker's download server on loopback HTTPS.
struct DownloadServer {
    test::TestPki pki;
    test::TlsTestServer server{pki.serverCertFile(), pki.serverKeyFile()};
    std::string description;
    std::string archive;

    DownloadServer() {
        server.Handlers().Get("/download/Quillmate.update.xml.txt",
                              [this](const httplib::Request&, httplib::Response& response) {
                                  response.set_content(description, "text/plain");
                              });
        server.Handlers().Get("/download/Quillmate.zip",
                              [this](const httplib::Request&, httplib::Response& response) {
                                  response.set_content(archive, "application/octet-stream");
                              });
        server.Start();
    }
    MakerService Service() const { return {server.Url(), pki.caFile()}; }
};

TEST(StageUpdateTest, StagesOnlyAnArchiveMatchingTheDescribedDigest) {
    DownloadServer maker;
    TempDir dir;
    const std::string zip = dir.narrow() + "release.zip";
    services::WriteZip(zip, {{Utf8FromWide(FileNameOf(GetProgramPath())), "program", 0755}});
    maker.archive = ReadAll(WideFromUtf8(zip));
    maker.description = Description(Sha256Hex(maker.archive), std::to_string(maker.archive.size()));
    const SelfUpdatePaths paths = SelfUpdatePathsFor(dir / u"install");
    MakeDirectoryTree(paths.installDir);

    UpdateDescription update;
    UpdateComm::GetVerInfo(maker.Service().UpdateDescriptionUrl(), u"Quillmate.exe", u"desp-en",
                           maker.Service().caFile, update);
    std::vector<int> steps;
    StageUpdate(maker.Service(), update, paths, [&](int percent) { steps.push_back(percent); });
    EXPECT_EQ(ReadAll(StagedProgramPath(paths)), "program");
    EXPECT_FALSE(fs::exists(FsPath(paths.stagingArchive)));
    EXPECT_EQ(steps, (std::vector<int>{20, 40, 60, 80}));

    // The same length, other bytes: refused, nothing staged.
    maker.archive.back() = static_cast<char>(maker.archive.back() ^ 1);
    EXPECT_EQ(ResultOf([&] { StageUpdate(maker.Service(), update, paths); }),
              u"update archive does not match the digest of the update description");
    EXPECT_FALSE(fs::exists(FsPath(paths.stagingDir)));
    EXPECT_FALSE(fs::exists(FsPath(paths.stagingArchive)));

    // A version that is no version never reaches a command line.
    UpdateDescription odd = update;
    odd.version = u"9.0 /NoRelaunch";
    EXPECT_EQ(ResultOf([&] { StageUpdate(maker.Service(), odd, paths); }),
              u"the update description names no valid version");

    // A description without a digest proves nothing.
    update.sha256.clear();
    EXPECT_EQ(ResultOf([&] { StageUpdate(maker.Service(), update, paths); }),
              u"the update description gives no digest of the archive");

    // Nothing answers: the lookup fails as one.
    const MakerService nowhere{u"https://127.0.0.1:9", maker.Service().caFile};
    EXPECT_EQ(ResultOf([&] {
                  UpdateComm::GetVerInfo(nowhere.UpdateDescriptionUrl(), u"Quillmate.exe",
                                         u"desp-en", nowhere.caFile, update);
              }),
              u"UpdateComm::GetVerInfo");
}

}  // namespace
}  // namespace qm
