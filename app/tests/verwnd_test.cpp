// The version window on the headless backend against a loopback download
// server: the states of its check and its update, as the operator sees
// them in the controls.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "Common/OpenSSL/quorp/digest.h"
#include "app/language.h"
#include "app/verwnd.h"
#include "enrollment/tests/tls_test_server.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "services/ziparchive.h"
#include "tests/support/temp_dir.h"
#include "ui/headless_backend.h"

namespace qm {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class VerWndTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLanguageOverride(Language::English);
        server_.Handlers().Get("/download/Quillmate.update.xml.txt",
                               [this](const httplib::Request&, httplib::Response& response) {
                                   ++lookups_;
                                   response.set_content(description_, "text/plain");
                               });
        server_.Handlers().Get("/download/Quillmate.zip",
                               [this](const httplib::Request&, httplib::Response& response) {
                                   response.set_content(archive_, "application/octet-stream");
                               });
        server_.Start();
        const std::string zip = dir_.narrow() + "release.zip";
        services::WriteZip(zip, {{Utf8FromWide(FileNameOf(GetProgramPath())), "program", 0755}});
        archive_ = test::ReadAll(WideFromUtf8(zip));
        Publish(u"9.0.0.1", Sha256Hex(archive_));
    }
    void TearDown() override {
        window_.reset();
        server_.Stop();
        SetLanguageOverride(std::nullopt);
    }

    void Publish(const std::u16string& version, const std::string& sha) {
        description_ = "<config><file name=\"Quillmate.exe\"><version num=\"" +
                       Utf8FromWide(version) + "\" sha256=\"" + sha +
                       "\"><desp-en>Line one\nLine two</desp-en></version></file></config>";
    }
    MakerService Service() const { return {server_.Url(), pki_.caFile()}; }

    VerWnd& Open(MakerService service) {
        window_ = std::make_unique<VerWnd>(backend_, u"VersionWnd.xml", std::move(service),
                                           SelfUpdatePathsFor(dir_ / u"install"));
        MakeDirectoryTree(dir_ / u"install");
        window_->SetRestart({[this] { ++prepared_; },
                             [this](const std::u16string& program, const std::u16string& version) {
                                 startedProgram_ = program;
                                 startedVersion_ = version;
                             }});
        return *window_;
    }
    void CheckDone() {
        window_->InitWindow();
        ASSERT_TRUE(backend_.RunUntil([this] { return !window_->IsChecking(); }, 10s));
    }
    void Click(const char* name) { window_->PostClick(name); }
    std::u16string TextOf(const char* name) const { return window_->FindControl(name)->GetText(); }
    bool Shown(const char* name) const { return window_->FindControl(name)->IsVisible(); }
    bool Enabled(const char* name) const { return window_->FindControl(name)->IsEnabled(); }

    test::TestPki pki_;
    test::TlsTestServer server_{pki_.serverCertFile(), pki_.serverKeyFile()};
    test::TempDir dir_;
    std::string description_;
    std::string archive_;
    std::atomic<int> lookups_{0};
    ui::HeadlessBackend backend_;
    std::unique_ptr<VerWnd> window_;
    std::atomic<int> prepared_{0};
    std::u16string startedProgram_;
    std::u16string startedVersion_;
};

TEST_F(VerWndTest, ANewerVersionIsShownWithItsDescriptionAndInstalledOnRequest) {
    VerWnd& window = Open(Service());
    CheckDone();
    const std::u16string own = GetFileVersion(GetProgramPath());
    EXPECT_EQ(TextOf("lbVerState"), window.Text("StateHaveNew"));
    EXPECT_EQ(TextOf("lbNewVer"), u"New Version:9.0.0.1");
    EXPECT_EQ(TextOf("lbCurVer"), u"Current Version:" + own);
    EXPECT_EQ(TextOf("edtDesp"), u"Line one\nLine two");
    EXPECT_TRUE(window.FindControl("edtDesp")->IsReadOnly());
    EXPECT_TRUE(Shown("progUpdate") && Shown("lbNewVer"));
    EXPECT_TRUE(Enabled("btExeUpdate") && Enabled("btClose"));

    Click("btExeUpdate");
    ASSERT_TRUE(backend_.RunUntil([this] { return !startedVersion_.empty(); }, 10s));
    EXPECT_EQ(prepared_, 1);
    EXPECT_EQ(startedVersion_, u"9.0.0.1");
    EXPECT_EQ(startedProgram_, StagedProgramPath(SelfUpdatePathsFor(dir_ / u"install")));
    EXPECT_EQ(test::ReadAll(startedProgram_), "program");
    EXPECT_EQ(window.FindControl("progUpdate")->GetValue(), 100);
}

TEST_F(VerWndTest, UpToDateTurnsTheButtonIntoClose) {
    Publish(GetFileVersion(GetProgramPath()), std::string(64, 'a'));
    VerWnd& window = Open(Service());
    CheckDone();
    EXPECT_EQ(TextOf("lbVerState"), window.Text("StateIsNew"));
    EXPECT_EQ(TextOf("edtDesp"), window.Text("DespNone"));
    EXPECT_EQ(TextOf("btExeUpdate"), window.Text("BtnExeUpdateName"));
    EXPECT_FALSE(Shown("progUpdate"));
    Click("btExeUpdate");
    ASSERT_TRUE(backend_.RunUntil([&] { return window.IsClosed(); }, 5s));
    EXPECT_TRUE(startedVersion_.empty());
}

TEST_F(VerWndTest, NoServiceShowsNotConnectedAndAHandedOverVersionNeedsNoLookup) {
    VerWnd& window = Open({u"https://127.0.0.1:9", pki_.caFile()});
    CheckDone();
    EXPECT_EQ(TextOf("lbVerState"), window.Text("StateNotConnect"));
    EXPECT_FALSE(Shown("lbNewVer"));
    EXPECT_EQ(TextOf("btExeUpdate"), window.Text("BtnExeUpdateName"));
    EXPECT_TRUE(Enabled("btExeUpdate") && Enabled("btClose"));

    Open(Service()).SetVersionInfo(true, u"9.0.0.1", u"0.1.0.0", u"handed over");
    CheckDone();
    EXPECT_EQ(lookups_, 0);
    EXPECT_EQ(TextOf("lbVerState"), window_->Text("StateHaveNew"));
    EXPECT_EQ(TextOf("edtDesp"), u"handed over");
    EXPECT_EQ(TextOf("lbCurVer"), u"Current Version:0.1.0.0");
}

TEST_F(VerWndTest, AnArchiveNotMatchingItsDigestFailsTheUpdateAndTheWindowCanClose) {
    Publish(u"9.0.0.1", std::string(64, 'c'));
    VerWnd& window = Open(Service());
    CheckDone();
    Click("btExeUpdate");
    ASSERT_TRUE(backend_.RunUntil(
        [&] { return TextOf("lbVerState") == window.Text("StateUpdateFail"); }, 10s));
    ASSERT_TRUE(backend_.RunUntil([&] { return !window.IsUpdating(); }, 10s));
    EXPECT_TRUE(startedVersion_.empty());
    EXPECT_FALSE(fs::exists(FsPath(dir_ / u"install/Quillmate_tmp")));
    EXPECT_TRUE(Enabled("btClose"));
    window.PostKey(ui::Key::Escape);
    ASSERT_TRUE(backend_.RunUntil([&] { return window.IsClosed(); }, 5s));
}

}  // namespace
}  // namespace qm
