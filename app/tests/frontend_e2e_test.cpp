// The main window's task driver and the command line against the real
// certificate center and a real nginx in a temporary folder; the test
// domains resolve through the private hosts file of run-with-hosts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "app/cli.h"
#include "app/guiwnd.h"
#include "app/language.h"
#include "app/settingsfile.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/temp_dir.h"
#include "ui/headless_backend.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

constexpr char kShop[] = "shop.example.test";
constexpr char kWww[] = "www.shop.example.test";

class FrontEndE2E : public ::testing::Test {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_NGINX();
        setenv("VANTREL_HOME", service_.narrow().c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        // A fresh program folder state for every test: the progress record
        // and the undo record start from their templates.
        test::InstallConfigTemplates(test::ProgramHome());
        SetLanguageOverride(Language::English);
        nginx_ = std::make_unique<e2e::NginxSandbox>();
        nginx_->WriteConfig(
            "    server {\n        listen 127.0.0.1:" + std::to_string(nginx_->httpPort()) +
            ";\n        server_name " + kShop + " " + kWww + ";\n        root html;\n    }\n");
        test::WriteAll(WideFromUtf8(nginx_->htmlDir() + "index.html"), "<h1>shop</h1>\n");
        nginx_->Start();
        originalConfig_ = nginx_->ReadConfigText();
    }
    void TearDown() override {
        window_.reset();
        SetLanguageOverride(std::nullopt);
        test::RestoreServiceHome();
    }

    // A session of its own: a new loop and a new window.
    void OpenWindow(const e2e::CertCenterProcess& center) {
        window_.reset();
        backend_ = std::make_unique<ui::HeadlessBackend>();
        window_ = std::make_unique<CGuiWnd>(*backend_, u"VantrelGui.xml");
        window_->InitWindow();
        window_->SetCertCenter(WideFromUtf8(center.url()), WideFromUtf8(center.caFile()));
        window_->SetEngineSetup([](SslCertSrvBase& engine) { engine.SetDeferPollInterval(200); });
        window_->FindControl("opNginx")->Select();
        window_->FindControl("edHttpPort")
            ->SetText(WideFromAscii(std::to_string(nginx_->httpPort())));
        window_->FindControl("edHttpsPort")
            ->SetText(WideFromAscii(std::to_string(nginx_->httpsPort())));
    }
    std::u16string ResultText() { return window_->FindControl("txtResultData")->GetText(); }
    std::u16string T(const char* key) { return window_->Text(key); }
    std::string HttpsUrl(const char* host) {
        return e2e::NginxSandbox::UrlFor("https", host, nginx_->httpsPort(), "/");
    }
    // Runs the loop, recording every distinct result text on the way.
    bool RunRecording(const std::function<bool()>& done, std::vector<std::u16string>& seen,
                      std::chrono::milliseconds limit = 60s) {
        const int listener = window_->AddChangeListener([&](const ui::Control& c, ui::Property p) {
            if (p == ui::Property::Text && c.GetName() == "txtResultData")
                seen.push_back(c.GetText());
        });
        const bool ok = backend_->RunUntil(done, limit);
        window_->RemoveChangeListener(listener);
        return ok;
    }

    test::TempDir service_;
    std::unique_ptr<e2e::NginxSandbox> nginx_;
    std::string originalConfig_;
    std::unique_ptr<ui::HeadlessBackend> backend_;
    std::unique_ptr<CGuiWnd> window_;
};

TEST_F(FrontEndE2E, DeploymentRendersItsStagesServesHttpsAndUndoRestoresTheConfiguration) {
    e2e::CertCenterProcess center;
    OpenWindow(center);
    window_->FindControl("edSiteAddrs")->SetText(WideFromAscii(kWww));
    ASSERT_TRUE(window_->PerformClick("btExe"));
    std::vector<std::u16string> seen;
    ASSERT_TRUE(RunRecording([&] { return !window_->IsDeploymentRunning(); }, seen));
    ASSERT_EQ(window_->LastDeployResult(), u"succeed") << Utf8FromWide(ResultText());

    // The progress blocks appeared in order, and the last one is complete.
    const std::vector<std::u16string> order = {
        T("settingInfo"),       T("siteList"),           T("configCert"),         T("applyCertIng"),
        T("applyCertComplete"), T("configCertIng"),      T("configCertComplete"), T("result"),
        T("succeed"),           T("renewalNotInstalled")};
    const std::u16string text = ResultText();
    size_t at = 0;
    for (const std::u16string& part : order) {
        const size_t found = text.find(part, at);
        ASSERT_NE(found, std::u16string::npos) << Utf8FromWide(part) << "\n" << Utf8FromWide(text);
        at = found + part.size();
    }
    EXPECT_NE(text.find(u"shop.example.test, www.shop.example.test"), std::u16string::npos);
    // No renewal service runs here: the result says so instead of promising it.
    EXPECT_TRUE(text.ends_with(T("succeed") + u"\n" + T("renewalNotInstalled")));
    // Each stage block grew from the previous one: no rendered block was
    // ever missing the lines of an earlier stage.
    for (const std::u16string& snapshot : seen) {
        if (snapshot.find(T("configCertIng")) != std::u16string::npos) {
            EXPECT_NE(snapshot.find(T("applyCertComplete")), std::u16string::npos);
        }
    }

    const e2e::HttpResult page = e2e::HttpGet(HttpsUrl(kWww), center.caFile());
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.body, "<h1>shop</h1>\n");
    EXPECT_NE(page.peerAltNames.find(kShop), std::string::npos) << page.peerAltNames;
    EXPECT_NE(page.peerAltNames.find(kWww), std::string::npos);

    const DeploymentSettings settings = ReadDeploymentSettings(DeploymentSettingsPath());
    EXPECT_EQ(settings.webServerType, kWebServerNginx);
    EXPECT_EQ(settings.httpsPort, nginx_->httpsPort());
    EXPECT_EQ(settings.sites,
              (std::vector<std::u16string>{u"shop.example.test", u"www.shop.example.test"}));
    EXPECT_GT(settings.certExpireTime.year, 2000);
    EXPECT_EQ(settings.centerUrl, WideFromUtf8(center.url()));

    // Undo puts the configuration back and nginx stops answering HTTPS.
    ASSERT_TRUE(window_->PerformClick("btRestoreWeb"));
    ASSERT_TRUE(backend_->RunUntil([&] { return !window_->IsUndoRunning(); }, 60s));
    EXPECT_EQ(window_->LastUndoResult(), u"succeed") << Utf8FromWide(ResultText());
    EXPECT_TRUE(ResultText().ends_with(u"\n" + T("revokeConfigComplete")));
    EXPECT_EQ(nginx_->ReadConfigText(), originalConfig_);
    ASSERT_TRUE(e2e::WaitForPort(nginx_->httpPort(), 10000));
    EXPECT_FALSE(e2e::HttpGet(HttpsUrl(kShop), center.caFile(), 2000).ok);
}

TEST_F(FrontEndE2E, ADeferredRequestIsShownAndTheWindowClosesOnceItIsAcknowledged) {
    e2e::CertCenterProcess center({"--defer"});
    OpenWindow(center);
    ASSERT_TRUE(window_->PerformClick("btExe"));
    std::vector<std::u16string> seen;
    ASSERT_TRUE(RunRecording(
        [&] { return ResultText().ends_with(T("applyCertIng") + u"\n" + T("applyCertDefer")); },
        seen, 60s))
        << Utf8FromWide(ResultText());
    EXPECT_EQ(window_->GetCurrentStage(), kStageWaitingDeferred);

    // Stage 2: the close waits for the progress record to show the request
    // as received, then the window goes and the engine stops polling.
    window_->Close();
    ASSERT_TRUE(backend_->RunUntil([&] { return window_->IsClosed(); }, 30s))
        << Utf8FromWide(window_->FindControl("lbPromptInfo")->GetText());
    EXPECT_FALSE(window_->IsDeploymentRunning());
    EXPECT_EQ(window_->LastDeployResult(), result::kDeferCertState);
    EXPECT_FALSE(e2e::HttpGet(HttpsUrl(kShop), center.caFile(), 2000).ok);

    // The request stays with the center, waiting for approval.
    std::string token;
    for (const e2e::CenterRequest& request : center.RequestLog()) {
        if (request.outcome == "defer" && request.line.isMember("token"))
            token = request.line["token"].asString();
    }
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(center.Approve(token), 0);
}

// The resumed run must deploy the key of the deferred request, not a new one:
// nginx refuses a certificate paired with another key.
TEST_F(FrontEndE2E, AnApprovedDeferredRequestIsDeployedByTheNextRun) {
    e2e::CertCenterProcess center({"--defer"});
    OpenWindow(center);
    ASSERT_TRUE(window_->PerformClick("btExe"));
    ASSERT_TRUE(
        backend_->RunUntil([&] { return ResultText().ends_with(T("applyCertDefer")); }, 60s));
    window_->Close();
    ASSERT_TRUE(backend_->RunUntil([&] { return window_->IsClosed(); }, 30s));
    std::string token;
    for (const e2e::CenterRequest& request : center.RequestLog()) {
        if (request.outcome == "defer" && request.line.isMember("token"))
            token = request.line["token"].asString();
    }
    ASSERT_EQ(center.Approve(token), 0);
    const size_t requestsBefore = center.RequestTypes().size();

    OpenWindow(center);
    ASSERT_TRUE(window_->PerformClick("btExe"));
    ASSERT_TRUE(backend_->RunUntil([&] { return !window_->IsDeploymentRunning(); }, 60s));
    EXPECT_EQ(window_->LastDeployResult(), u"succeed") << Utf8FromWide(ResultText());
    const std::vector<std::string> types = center.RequestTypes();
    ASSERT_GT(types.size(), requestsBefore);
    EXPECT_EQ(types[requestsBefore], "statusRequest");  // no new challenge
    EXPECT_TRUE(e2e::HttpGet(HttpsUrl(kShop), center.caFile()).ok);
}

TEST_F(FrontEndE2E, TheCommandLineDeploysAndReportsFailuresByClass) {
    e2e::CertCenterProcess center;
    auto run = [&](std::vector<std::string> args, std::string* out = nullptr) {
        std::ostringstream o;
        std::ostringstream e;
        const int code = RunCommandLine(args, o, e);
        if (out)
            *out = o.str() + e.str();
        return code;
    };
    const std::string http = std::to_string(nginx_->httpPort());
    const std::string https = std::to_string(nginx_->httpsPort());

    // Nothing listens on the HTTP port given: the web server class.
    std::string output;
    EXPECT_EQ(
        run({"deploy", "--server", "nginx", "--http-port", std::to_string(e2e::FreeLoopbackPort()),
             "--center", center.url(), "--ca-file", center.caFile()},
            &output),
        kExitWebServer)
        << output;
    EXPECT_NE(output.find("web service is not running with current setting"), std::string::npos);

    // A center that does not answer: the center class.
    EXPECT_EQ(run({"deploy", "--server", "nginx", "--http-port", http, "--https-port", https,
                   "--center", "https://localhost:" + std::to_string(e2e::FreeLoopbackPort()),
                   "--ca-file", center.caFile()},
                  &output),
              kExitCenter)
        << output;
    EXPECT_EQ(nginx_->ReadConfigText(), originalConfig_);

    EXPECT_EQ(run({"deploy", "--server", "nginx", "--http-port", http, "--https-port", https,
                   "--center", center.url(), "--ca-file", center.caFile(), "--lang", "zh"},
                  &output),
              kExitSucceed)
        << output;
    EXPECT_NE(output.find("自动部署证书成功！"), std::string::npos) << output;
    EXPECT_TRUE(e2e::HttpGet(HttpsUrl(kShop), center.caFile()).ok);

    EXPECT_EQ(run({"status"}, &output), kExitSucceed);
    EXPECT_NE(output.find("Certificate names:   shop.example.test, www.shop.example.test"),
              std::string::npos)
        << output;
    // The renewal service's state, and when the certificate is due.
    EXPECT_NE(output.find("Renewal service:     not installed (install it with \"vantrel "
                          "/Service\")"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Next renewal:        "), std::string::npos) << output;
    EXPECT_EQ(run({"undo"}, &output), kExitSucceed) << output;
    EXPECT_EQ(nginx_->ReadConfigText(), originalConfig_);
}

}  // namespace
}  // namespace qm
