// The main window's background work against a loopback maker's service:
// the version check's finding on "Check Version", the start and click
// reports, statistics turned off, and a service that is down.
#include "app/backgroundwork.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "app/language.h"
#include "enrollment/tests/tls_test_server.h"
#include "tests/support/temp_dir.h"
#include "ui/headless_backend.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

class BackgroundWorkTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VANTREL_HOME", serviceHome_.narrow().c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        test::InstallConfigTemplates(test::ProgramHome());
        SetLanguageOverride(Language::English);
        server_.Handlers().Get("/download/Quillmate.update.xml.txt",
                               [](const httplib::Request&, httplib::Response& response) {
                                   response.set_content(
                                       "<config><file name=\"Quillmate.exe\"><version "
                                       "num=\"9.0.0.1\"><desp-en>Better</desp-en></version>"
                                       "</file></config>",
                                       "text/plain");
                               });
        server_.Handlers().Post("/ReceiveFeedbackServer", [this](const httplib::Request& request,
                                                                 httplib::Response& response) {
            Json::Value message;
            Json::Reader().parse(request.body, message);
            std::lock_guard lock(mutex_);
            received_.push_back(message);
            const std::string type = message["type"].asString();
            response.set_content(type == "userStatReq" ? R"({"type":"userStatResp"})"
                                                       : R"({"type":"userActionResp"})",
                                 "application/json");
        });
        server_.Start();
    }
    void TearDown() override {
        window_.reset();
        server_.Stop();
        unsetenv("QUILLMATE_STATISTICS");
        SetLanguageOverride(std::nullopt);
        test::RestoreServiceHome();
    }

    void Open(MakerService service) {
        window_ = std::make_unique<CGuiWnd>(backend_, u"VantrelGui.xml");
        window_->SetBackgroundServices(MakerBackgroundServices(service));
        window_->InitWindow();
    }
    MakerService Service() const { return {server_.Url(), pki_.caFile()}; }
    std::vector<std::string> ReceivedTypes() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> types;
        for (const Json::Value& message : received_)
            types.push_back(message["type"].asString());
        return types;
    }
    std::u16string Caption() { return window_->FindControl("btCheckUpdate")->GetText(); }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return backend_.RunUntil(done, limit);
    }

    test::TempDir serviceHome_;
    test::TestPki pki_;
    test::TlsTestServer server_{pki_.serverCertFile(), pki_.serverKeyFile()};
    std::mutex mutex_;
    std::vector<Json::Value> received_;
    ui::HeadlessBackend backend_;
    std::unique_ptr<CGuiWnd> window_;
};

TEST_F(BackgroundWorkTest, ANewerVersionIsFoundAndTheStartAndClicksAreReported) {
    Open(Service());
    ASSERT_TRUE(RunUntil([&] { return window_->GetFoundVersion().newVersionKnown; }));
    EXPECT_EQ(Caption(), window_->Text("StateHaveNew"));
    EXPECT_EQ(window_->FindControl("btCheckUpdate")->GetTextColor(), 0xFF0000u);
    EXPECT_EQ(window_->GetFoundVersion().newVersion, u"9.0.0.1");
    EXPECT_EQ(window_->GetFoundVersion().description, u"Better");

    ASSERT_TRUE(window_->PerformClick("btHelp"));
    ASSERT_TRUE(RunUntil([&] { return window_->ClickCount("otherLink") == 0; }));
    // The two reports come from two threads, in either order.
    ASSERT_TRUE(RunUntil([&] { return ReceivedTypes().size() == 2; }));
    std::lock_guard lock(mutex_);
    const Json::Value& start = received_[0]["type"] == "userStatReq" ? received_[0] : received_[1];
    const Json::Value& clicks = received_[0]["type"] == "userStatReq" ? received_[1] : received_[0];
    EXPECT_EQ(start["type"], "userStatReq");
    EXPECT_EQ(start["product"], "Quillmate");
    EXPECT_EQ(clicks["type"], "userActionReq");
    EXPECT_EQ(clicks["action"], "otherLink");
    EXPECT_EQ(clicks["actionCnt"], "1");
}

TEST_F(BackgroundWorkTest, WithStatisticsOffNothingIsSentAndClicksAreDropped) {
    setenv("QUILLMATE_STATISTICS", "off", 1);
    Open(Service());
    ASSERT_TRUE(RunUntil([&] { return window_->GetFoundVersion().newVersionKnown; }));
    ASSERT_TRUE(window_->PerformClick("btBuyCert"));
    ASSERT_TRUE(RunUntil([&] { return window_->ClickCount("buyLink") == 0; }));
    RunUntil([] { return false; }, 300ms);
    EXPECT_EQ(ReceivedTypes(), std::vector<std::string>{});
}

TEST_F(BackgroundWorkTest, AServiceThatIsDownHoldsNothingUp) {
    Open({u"https://127.0.0.1:9", pki_.caFile()});
    ASSERT_TRUE(window_->PerformClick("btHelp"));
    RunUntil([] { return false; }, 1500ms);
    EXPECT_EQ(Caption(), u"Check Version");
    EXPECT_FALSE(window_->GetFoundVersion().newVersionKnown);
    EXPECT_EQ(window_->ClickCount("otherLink"), 1);  // kept for the next pass
    const auto start = std::chrono::steady_clock::now();
    window_->Close();
    ASSERT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
    window_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
}  // namespace qm
