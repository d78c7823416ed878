// The feedback window on the headless backend and the feedback command,
// against a loopback HTTPS stand-in for the maker's service.
#include "app/feedbackwnd.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "app/feedbackcommand.h"
#include "app/language.h"
#include "app/makermessages.h"
#include "app/tests/maker_test_server.h"
#include "foundation/lineends.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"
#include "ui/headless_backend.h"

namespace qm {
namespace {

using namespace std::chrono_literals;
using test::MakerTestServer;

Json::Value Parsed(const std::string& body) {
    Json::Value value;
    Json::Reader().parse(body, value);
    return value;
}

class FeedBackWndTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLanguageOverride(Language::English);
        Open(server_.Service(), false);
    }
    void TearDown() override {
        window_.reset();
        SetLanguageOverride(std::nullopt);
    }

    void Open(const MakerService& service, bool reportClicks,
              std::chrono::milliseconds pacing = FeedBackWnd::kDefaultReportPacing) {
        window_.reset();
        window_ = std::make_unique<FeedBackWnd>(backend_, u"FeedBackWnd.xml", u"Feedback", service,
                                                reportClicks);
        window_->SetReportPacing(pacing);
        window_->InitWindow();
    }

    ui::Control& Ctl(const char* name) { return *window_->FindControl(name); }
    std::u16string T(const char* key) { return window_->Text(key); }
    void Focus(const char* name, bool gained) {
        window_->SendNotify(gained ? "setfocus" : "killfocus", Ctl(name));
    }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return backend_.RunUntil(done, limit);
    }
    // Submits `description` and waits for the outcome.
    void SubmitAndWait(const std::u16string& description) {
        Ctl("edtDesc").SetText(description);
        ASSERT_TRUE(window_->PerformClick("btnSubmit"));
        ASSERT_TRUE(RunUntil([&] { return !window_->IsSubmitting(); }));
    }

    MakerTestServer server_{MakerTestServer::Answer("msgResp")};
    ui::HeadlessBackend backend_;
    std::unique_ptr<FeedBackWnd> window_;
};

TEST_F(FeedBackWndTest, OpensWithTheErrorHintAndTheContactHint) {
    EXPECT_EQ(Ctl("title").GetText(), u"Feedback");
    EXPECT_TRUE(Ctl("opError").IsSelected());
    EXPECT_FALSE(Ctl("opAdvice").IsSelected());
    EXPECT_TRUE(Ctl("txtType").IsFocused());
    EXPECT_EQ(Ctl("edtDesc").GetText(), T("PromptsErrDescDefault"));
    EXPECT_EQ(Ctl("edtDesc").GetTextColor(), FeedBackWnd::kHintColor);
    EXPECT_EQ(Ctl("edtEmail").GetText(), T("EmailHelpTip"));
    EXPECT_EQ(Ctl("edtEmail").GetTextColor(), FeedBackWnd::kHintColor);
    EXPECT_EQ(window_->Layout().Find("btnFeedbackForum")->tooltip, T("ForumHelpTip"));
    EXPECT_EQ(T("BtnSubmitCaptionClose"), u"Close");
}

TEST_F(FeedBackWndTest, TheHintFollowsTheTypeUntilTheOperatorWrites) {
    ASSERT_TRUE(window_->PerformClick("opAdvice"));
    EXPECT_EQ(Ctl("edtDesc").GetText(), T("PromptsAdviceDescDefault"));
    ASSERT_TRUE(window_->PerformClick("opError"));
    EXPECT_EQ(Ctl("edtDesc").GetText(), T("PromptsErrDescDefault"));

    Focus("edtDesc", true);
    EXPECT_EQ(Ctl("edtDesc").GetText(), u"");
    EXPECT_EQ(Ctl("edtDesc").GetTextColor(), FeedBackWnd::kTypedColor);
    Ctl("edtDesc").SetText(u"own words");
    Focus("edtDesc", false);
    ASSERT_TRUE(window_->PerformClick("opAdvice"));
    EXPECT_EQ(Ctl("edtDesc").GetText(), u"own words");
    EXPECT_EQ(Ctl("edtDesc").GetTextColor(), FeedBackWnd::kTypedColor);

    // Blank text gets the hint of the selected type back.
    Ctl("edtDesc").SetText(u" \r\n\t");
    Focus("edtDesc", false);
    EXPECT_EQ(Ctl("edtDesc").GetText(), T("PromptsAdviceDescDefault"));
    EXPECT_EQ(Ctl("edtDesc").GetTextColor(), FeedBackWnd::kHintColor);
}

TEST_F(FeedBackWndTest, TheContactHintGoesOnFocusAndComesBackWhenLeftEmpty) {
    Focus("edtEmail", true);
    EXPECT_EQ(Ctl("edtEmail").GetText(), u"");
    EXPECT_EQ(Ctl("edtEmail").GetTextColor(), FeedBackWnd::kTypedColor);
    Focus("edtEmail", false);
    EXPECT_EQ(Ctl("edtEmail").GetText(), T("EmailHelpTip"));
    EXPECT_EQ(Ctl("edtEmail").GetTextColor(), FeedBackWnd::kHintColor);

    Focus("edtEmail", true);
    Ctl("edtEmail").SetText(u"me@example.test");
    Focus("edtEmail", false);
    EXPECT_EQ(Ctl("edtEmail").GetText(), u"me@example.test");
    EXPECT_EQ(Ctl("edtEmail").GetTextColor(), FeedBackWnd::kTypedColor);
}

TEST_F(FeedBackWndTest, AnEmptyDescriptionIsRefusedAndNothingIsSent) {
    ASSERT_TRUE(window_->PerformClick("btnSubmit"));
    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsEmptyDesp"));
    EXPECT_EQ(Ctl("txtPrompts").GetTextColor(), FeedBackWnd::kPromptErrorColor);
    EXPECT_TRUE(Ctl("edtDesc").IsFocused());
    Ctl("edtDesc").SetText(u"  \t");
    ASSERT_TRUE(window_->PerformClick("btnSubmit"));
    EXPECT_FALSE(window_->IsSubmitting());
    RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(server_.RequestCount(), 0u);
}

TEST_F(FeedBackWndTest, ASentReportTurnsSubmitIntoClose) {
    LogError("%s : %s", "FeedBackWndTest", "an earlier failure");
    Open(server_.Service(), false);
    ASSERT_TRUE(RunUntil([&] { return window_->IsExcerptReady(); }));
    const std::u16string caption = Ctl("btnSubmit").GetText();

    SubmitAndWait(u"  The deployment stops at the second step.\n");
    ASSERT_EQ(server_.RequestCount(), 1u);
    const Json::Value request = server_.Requests()[0];
    EXPECT_EQ(request, Parsed(window_->LastRequestBody()));
    EXPECT_EQ(server_.Paths()[0], "/ReceiveFeedbackServer");
    EXPECT_EQ(request["type"], "msgReq");
    EXPECT_EQ(request["msgType"], "bug");
    EXPECT_EQ(request["desc"], "The deployment stops at the second step.");
    EXPECT_EQ(request["contact"], "");  // the hint is no contact
    EXPECT_EQ(request["platform"], std::string(kMakerPlatform));
    EXPECT_EQ(request["product"], Utf8FromWide(ExecutableProduct().name));
    EXPECT_EQ(request["version"], Utf8FromWide(ExecutableProduct().version));
    const std::string loginfo = request["loginfo"].asString();
    const std::string tail = "[Error] FeedBackWndTest : an earlier failure";
    ASSERT_GE(loginfo.size(), tail.size());
    EXPECT_EQ(loginfo.substr(loginfo.size() - tail.size()), tail);

    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsSuccess"));
    EXPECT_EQ(Ctl("txtPrompts").GetTextColor(), FeedBackWnd::kPromptOkColor);
    EXPECT_EQ(Ctl("btnSubmit").GetText(), T("BtnSubmitCaptionClose"));
    EXPECT_NE(caption, T("BtnSubmitCaptionClose"));
    EXPECT_EQ(Ctl("btnSubmit").GetBkColor(), FeedBackWnd::kSubmitColor);
    for (const char* name : {"btClose", "btnSubmit", "edtEmail", "edtDesc", "opAdvice", "opError"})
        EXPECT_TRUE(Ctl(name).IsEnabled()) << name;

    ASSERT_TRUE(window_->PerformClick("btnSubmit"));
    EXPECT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
    EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(FeedBackWndTest, AdviceWithAContact) {
    ASSERT_TRUE(window_->PerformClick("opAdvice"));
    Ctl("edtEmail").SetText(u" me@example.test ");
    SubmitAndWait(u"More server types, please.");
    ASSERT_EQ(server_.RequestCount(), 1u);
    EXPECT_EQ(server_.Requests()[0]["msgType"], "advice");
    EXPECT_EQ(server_.Requests()[0]["contact"], "me@example.test");
}

TEST_F(FeedBackWndTest, ARefusedReportShowsFailedAndIsLogged) {
    server_.SetRule(MakerTestServer::Answer("error", "quota exceeded"));
    const std::u16string caption = Ctl("btnSubmit").GetText();
    SubmitAndWait(u"It crashed.");
    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsFailed"));
    EXPECT_EQ(Ctl("txtPrompts").GetTextColor(), FeedBackWnd::kPromptErrorColor);
    EXPECT_EQ(Ctl("btnSubmit").GetText(), caption);
    const std::string log = ReadTextFileLf(CurrentLogFilePath());
    EXPECT_NE(log.find("[Error] FeedBackWnd::Submit : type: error, message: quota exceeded\n"),
              std::string::npos);

    // The operator may try again.
    server_.SetRule(MakerTestServer::Answer("msgResp"));
    SubmitAndWait(u"It crashed.");
    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsSuccess"));
}

TEST_F(FeedBackWndTest, NoServiceShowsCommunicationFailed) {
    Open(test::UnreachableService(), false);
    SubmitAndWait(u"It crashed.");
    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsCommunicateFailed"));
    EXPECT_EQ(Ctl("txtPrompts").GetTextColor(), FeedBackWnd::kPromptErrorColor);
}

TEST_F(FeedBackWndTest, EscapeIsIgnoredWhileSubmitting) {
    server_.HoldAnswers();
    Ctl("edtDesc").SetText(u"It crashed.");
    ASSERT_TRUE(window_->PerformClick("btnSubmit"));
    ASSERT_TRUE(RunUntil([&] { return server_.RequestCount() == 1; }));
    EXPECT_TRUE(window_->IsSubmitting());
    for (const char* name : {"btClose", "btnSubmit", "edtEmail", "edtDesc", "opAdvice", "opError"})
        EXPECT_FALSE(Ctl(name).IsEnabled()) << name;
    EXPECT_EQ(Ctl("btnSubmit").GetBkColor(), FeedBackWnd::kSubmitBusyColor);
    EXPECT_TRUE(Ctl("txtType").IsFocused());

    EXPECT_TRUE(window_->FilterKey(ui::Key::Escape, false));
    // Long enough for a progress tick.
    RunUntil([] { return false; }, 600ms);
    EXPECT_FALSE(window_->IsClosed());
    EXPECT_EQ(Ctl("txtPrompts").GetText().substr(0, T("PromptsSubmitting").size()),
              T("PromptsSubmitting"));

    server_.ReleaseAnswers();
    ASSERT_TRUE(RunUntil([&] { return !window_->IsSubmitting(); }));
    EXPECT_EQ(Ctl("txtPrompts").GetText(), T("PromptsSuccess"));
    EXPECT_FALSE(window_->FilterKey(ui::Key::Enter, false));
    EXPECT_TRUE(window_->FilterKey(ui::Key::Escape, false));
    EXPECT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
}

#ifndef _WIN32  // the desktop opener is a shell script on the PATH
// Records the addresses handed to the desktop's opener.
class FakeOpener {
public:
    FakeOpener() {
        const std::string bin = dir_.narrow() + "bin";
        mkdir(bin.c_str(), 0755);
        test::WriteAll(dir_ / u"bin/xdg-open",
                       "#!/bin/sh\necho \"$@\" >> '" + dir_.narrow() + "opened'\n");
        chmod((bin + "/xdg-open").c_str(), 0755);
        const char* path = std::getenv("PATH");
        oldPath_ = path ? path : "";
        setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);
    }
    ~FakeOpener() { setenv("PATH", oldPath_.c_str(), 1); }
    std::u16string OpenedFile() const { return dir_ / u"opened"; }

private:
    test::TempDir dir_;
    std::string oldPath_;
};

TEST_F(FeedBackWndTest, ForumClicksAreReportedTogether) {
    FakeOpener opener;
    server_.SetRule(MakerTestServer::Answer("userActionResp"));
    Open(server_.Service(), true, 1000ms);
    // The first round found nothing to report and waits: both clicks fall
    // between two rounds, however slowly the thread started.
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(window_->PerformClick("btnFeedbackForum"));
    ASSERT_TRUE(window_->PerformClick("btnFeedbackForum"));
    EXPECT_EQ(window_->ForumClicks(), 2);
    ASSERT_TRUE(RunUntil([&] { return window_->ForumClicks() == 0; }));
    ASSERT_EQ(server_.RequestCount(), 1u);
    const Json::Value report = server_.Requests()[0];
    EXPECT_EQ(report["type"], "userActionReq");
    EXPECT_EQ(report["action"], "otherLink");
    EXPECT_EQ(report["actionCnt"], "2");
    EXPECT_TRUE(RunUntil([&] { return test::ReadAll(opener.OpenedFile()).size() > 0; }, 2s));
    EXPECT_EQ(test::ReadAll(opener.OpenedFile()).substr(0, 38),
              "https://forum.quillmate.dev/c/feedback");
}
#endif

TEST_F(FeedBackWndTest, ClosingStopsTheReportsAtOnce) {
    Open(server_.Service(), true);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(window_->PerformClick("btClose"));
    ASSERT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(server_.RequestCount(), 0u);
}

class FeedbackCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLanguageOverride(Language::English);
        setenv("QUILLMATE_SERVICES_URL", Utf8FromWide(server_.Service().baseUrl).c_str(), 1);
        setenv("QUILLMATE_SERVICES_CA", Utf8FromWide(server_.Service().caFile).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUILLMATE_SERVICES_URL");
        unsetenv("QUILLMATE_SERVICES_CA");
        SetLanguageOverride(std::nullopt);
    }
    int Run(const std::string& type, const std::u16string& text, const std::u16string& contact) {
        out_.str("");
        err_.str("");
        return SendFeedbackFromCommandLine(type, text, contact, out_, err_);
    }

    MakerTestServer server_{MakerTestServer::Answer("msgResp")};
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(FeedbackCommandTest, SendsTheWindowsReport) {
    LogError("%s : %s", "FeedbackCommandTest", "what went wrong before");
    EXPECT_EQ(Run("error", u" It crashed. ", u""), 0);
    EXPECT_EQ(out_.str(), "Submitted successfully! Thank you for your support of our work.\n");
    ASSERT_EQ(server_.RequestCount(), 1u);
    const Json::Value request = server_.Requests()[0];
    EXPECT_EQ(request["msgType"], "bug");
    EXPECT_EQ(request["desc"], "It crashed.");
    EXPECT_EQ(request["contact"], "");
    EXPECT_NE(request["loginfo"].asString().find("FeedbackCommandTest : what went wrong before"),
              std::string::npos);

    EXPECT_EQ(Run("advice", u"More servers.", u"me@example.test"), 0);
    EXPECT_EQ(server_.Requests()[1]["msgType"], "advice");
    EXPECT_EQ(server_.Requests()[1]["contact"], "me@example.test");
}

TEST_F(FeedbackCommandTest, FailuresPrintTheWindowsPrompts) {
    EXPECT_EQ(Run("error", u" \r\n", u""), 1);
    EXPECT_EQ(err_.str(), "Description information can not be empty.\n");
    EXPECT_EQ(Run("praise", u"Nice.", u""), 1);
    EXPECT_EQ(server_.RequestCount(), 0u);

    server_.SetRule(MakerTestServer::Answer("error", "busy"));
    EXPECT_EQ(Run("error", u"It crashed.", u""), 1);
    EXPECT_EQ(err_.str(), "Submitted failed! Please try again.\n");
    EXPECT_EQ(out_.str(), "");

    setenv("QUILLMATE_SERVICES_URL", "https://localhost:1", 1);
    EXPECT_EQ(Run("error", u"It crashed.", u""), 1);
    EXPECT_EQ(err_.str(), "Communication failed, please check the network settings.\n");
}

}  // namespace
}  // namespace qm
