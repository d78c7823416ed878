// The task driver against a scripted engine: what the result view shows, in
// which order, and what the window lets the operator do meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "acme/tests/fake_acme_server.h"
#include "app/deployers.h"
#include "app/guiwnd.h"
#include "app/language.h"
#include "app/settingsfile.h"
#include "app/tests/fake_engine.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
#include "tests/support/temp_dir.h"
#include "ui/headless_backend.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

// Counts the names looked up, for as long as it lives; the names of the
// fixture's table resolve.
class CountingResolver {
public:
    CountingResolver() {
        auto calls = calls_;
        previous_ = CNetManager::SetResolver([calls](const std::string& name) {
            calls->fetch_add(1);
            static const std::vector<std::string> known = {
                "shop.example.test", "www.shop.example.test", "a.example.test", "b.example.test"};
            return std::find(known.begin(), known.end(), name) != known.end()
                       ? std::vector<std::string>{"127.0.0.1"}
                       : std::vector<std::string>{};
        });
    }
    ~CountingResolver() { CNetManager::SetResolver(previous_); }
    int Calls() const { return calls_->load(); }

private:
    std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
    CNetManager::Resolver previous_;
};

class TaskDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VANTREL_HOME", service_.narrow().c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        test::InstallConfigTemplates(test::ProgramHome());
        SetLanguageOverride(Language::English);
        script_ = std::make_shared<test::EngineScript>();
        script_->sites = {u"shop.example.test", u"www.shop.example.test"};
        window_ = std::make_unique<CGuiWnd>(backend_, u"VantrelGui.xml");
        window_->InitWindow();
        window_->SetCertCenter(u"https://center.example.test:9443", u"/tmp/center-ca.pem");
        window_->SetDeployerFactory([this](int32_t type) -> std::unique_ptr<SslCertSrvBase> {
            createdTypes_.push_back(type);
            return std::make_unique<test::FakeEngine>(script_);
        });
        window_->SetDeferReceivedCheck([this] { return deferAcknowledged_.load(); });
    }

    void TearDown() override {
        // Let a held engine finish so the window's threads can end.
        script_->holdEachStage = false;
        script_->Allow(100);
        window_.reset();
        SetLanguageOverride(std::nullopt);
        test::RestoreServiceHome();
    }

    ui::Control& Ctl(const char* name) { return *window_->FindControl(name); }
    std::u16string ResultText() { return Ctl("txtResultData").GetText(); }
    std::u16string T(const char* key) { return window_->Text(key); }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return backend_.RunUntil(done, limit);
    }
    // Presses "One Key Deployment" on the tab that is showing.
    void Deploy(const char* option = "opNginx", const char16_t* domains = u"") {
        Ctl(option).Select();
        Ctl("edSiteAddrs").SetText(domains);
        ASSERT_TRUE(window_->PerformClick(window_->GetCurrentTab() == 0 ? "btExe" : "btExeCopy"));
    }
    void WaitForDeployment() {
        ASSERT_TRUE(RunUntil([&] { return !window_->IsDeploymentRunning(); }));
    }
    bool ResultEndsWith(const std::u16string& tail) {
        const std::u16string text = ResultText();
        return text.size() >= tail.size() &&
               text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
    std::u16string Heading(const char* key) { return u"< " + T(key); }

    test::TempDir service_;
    ui::HeadlessBackend backend_;
    std::shared_ptr<test::EngineScript> script_;
    std::unique_ptr<CGuiWnd> window_;
    std::vector<int32_t> createdTypes_;
    std::atomic<bool> deferAcknowledged_{false};
    test::ResolverTable resolver_{
        {"shop.example.test", "www.shop.example.test", "a.example.test", "b.example.test"}};
};

TEST_F(TaskDriverTest, ASuccessfulDeploymentRendersEachStageInOrderAndRecordsItself) {
    script_->holdEachStage = true;
    Deploy();
    EXPECT_TRUE(RunUntil([&] { return !Ctl("btExe").IsEnabled(); }));
    for (const char* name : {"btOpen", "btRestoreWeb", "btExeCopy", "edSiteAddrs", "btDefault"})
        EXPECT_FALSE(Ctl(name).IsEnabled()) << name;

    const std::u16string progress = Heading("configCert") + u"\n\n";
    const std::vector<std::u16string> blocks = {
        T("applyCertIng"),
        T("applyCertIng") + u"\n" + T("applyCertComplete"),
        T("applyCertIng") + u"\n" + T("applyCertComplete") + u"\n" + T("configCertIng"),
        T("applyCertIng") + u"\n" + T("applyCertComplete") + u"\n" + T("configCertIng") + u"\n" +
            T("configCertComplete"),
    };
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(RunUntil([&] {
            return script_->StagesEntered() == static_cast<int>(i + 1) &&
                   ResultEndsWith(progress + blocks[i]);
        })) << "stage block "
            << i << ":\n"
            << Utf8FromWide(ResultText());
        // Closing is refused while the engine obtains or configures.
        if (i == 1) {
            window_->Close();
            RunUntil([] { return false; }, 50ms);
            EXPECT_FALSE(window_->IsClosed());
            EXPECT_EQ(Ctl("lbPromptInfo").GetText(), T("promptInformation"));
        }
        script_->Allow();
    }
    WaitForDeployment();

    const std::u16string expected = u"\n" + Heading("settingInfo") +
                                    u"\n\nhttp port: 80 https port: 443\n\n" + Heading("siteList") +
                                    u"\n\nshop.example.test, www.shop.example.test\n\n" + progress +
                                    blocks.back() + u"\n\n" + Heading("result") + u"\n\n" +
                                    T("succeed") + u"\n" + T("renewalNotInstalled");
    EXPECT_EQ(Utf8FromWide(ResultText()), Utf8FromWide(expected));
    EXPECT_EQ(window_->LastDeployResult(), u"succeed");
    EXPECT_EQ(Ctl("lbPromptInfo").GetText(), u"");

    // What the engine was given.
    EXPECT_EQ(createdTypes_, std::vector<int32_t>{kWebServerNginx});
    EXPECT_EQ(script_->centerUrl, u"https://center.example.test:9443");
    EXPECT_EQ(script_->caFile, u"/tmp/center-ca.pem");
    EXPECT_EQ(script_->boundDomains,
              (std::vector<std::u16string>{u"shop.example.test", u"www.shop.example.test"}));
    EXPECT_EQ(script_->certType, 1);

    // Every task button is usable again; the deployment is recorded.
    for (const char* name : {"btOpen", "btExe", "btRestoreWeb", "btExeCopy", "edSiteAddrs"})
        EXPECT_TRUE(Ctl(name).IsEnabled()) << name;
    EXPECT_EQ(window_->ClickCount("applyCert"), 1);
    const DeploymentSettings saved = ReadDeploymentSettings(DeploymentSettingsPath());
    EXPECT_EQ(saved.webServerType, kWebServerNginx);
    EXPECT_EQ(saved.httpPort, 80);
    EXPECT_EQ(saved.sites, script_->boundDomains);
    EXPECT_EQ(saved.certExpireTime, (ExpiryDate{2031, 4, 9}));
    EXPECT_EQ(saved.centerUrl, u"https://center.example.test:9443");
    EXPECT_EQ(saved.centerCaFile, u"/tmp/center-ca.pem");

    // With the engine gone the window closes.
    window_->Close();
    EXPECT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
}

TEST_F(TaskDriverTest, ACenterAddressThatIsAnAcmeDirectoryMakesTheCaTheSource) {
    qm::test::TestPki pki;
    acme::test::FakeAcmeServer ca(pki, {}, [](const std::string&, const std::string&) {
        return std::optional<std::string>();
    });
    // The enrollment center's address (no path) is never asked.
    Deploy();
    WaitForDeployment();
    EXPECT_FALSE(script_->acme);
    EXPECT_EQ(ca.CountOf("GET /dir"), 0);

    window_->SetCertCenter(WideFromUtf8(ca.directoryUrl()), pki.caFile());
    Deploy();
    WaitForDeployment();
    EXPECT_TRUE(script_->acme);
    EXPECT_FALSE(script_->acmeTermsAgreed);  // the window gives no agreement of its own
    EXPECT_EQ(script_->centerUrl, WideFromUtf8(ca.directoryUrl()));
    // Saved as an ACME source, for the renewals.
    const DeploymentSettings saved = ReadDeploymentSettings(DeploymentSettingsPath());
    EXPECT_TRUE(saved.centerIsAcme);

    // A choice of the front end stands.
    window_->SetAcmeSource(AcmeSource{});
    Deploy();
    WaitForDeployment();
    EXPECT_FALSE(script_->acme);
}

TEST_F(TaskDriverTest, AStageThatJumpsShowsTheWholeBlockAndChineseUsesType2) {
    SetLanguageOverride(Language::Chinese);
    window_ = std::make_unique<CGuiWnd>(backend_, u"VantrelGui.xml");
    window_->InitWindow();
    window_->SetDeployerFactory([this](int32_t) -> std::unique_ptr<SslCertSrvBase> {
        return std::make_unique<test::FakeEngine>(script_);
    });
    EXPECT_EQ(Ctl("btExe").GetText(), u"一键部署证书");
    EXPECT_EQ(Ctl("lbSiteAddrTip").GetPos(), (ui::Rect{163, 68, 200, 30}));

    script_->holdEachStage = true;
    script_->stages = {1, 3};
    Deploy();
    EXPECT_TRUE(RunUntil([&] { return script_->StagesEntered() == 1; }));
    script_->Allow();
    EXPECT_TRUE(RunUntil([&] {
        return ResultEndsWith(T("applyCertIng") + u"\n" + T("applyCertComplete"));
    })) << Utf8FromWide(ResultText());
    script_->Allow();
    WaitForDeployment();
    EXPECT_EQ(script_->certType, 2);
    EXPECT_TRUE(
        ResultEndsWith(u"部署结果\n\n自动部署证书成功！\n证书自动续期服务未运行：证书不会自动续期。"
                       u"请运行 \"vantrel /Service\" 安装。"))
        << Utf8FromWide(ResultText());
}

TEST_F(TaskDriverTest, RenewalIsPromisedOnlyWhenItsServiceRunsAfterTheDeployment) {
    QM_POSIX_ONLY("a stand-in systemctl");
    // A stand-in systemctl first on PATH whose unit "tarnix" stops and
    // starts as asked.
    test::TempDir root;
    const std::string r = root.narrow();
    std::filesystem::create_directories(r + "bin");
    std::filesystem::create_directories(r + "runtime");
    test::WritePlain(WideFromUtf8(r + "bin/systemctl"),
                     "#!/bin/sh\nstate='" + r +
                         "state'\ncase \"$1\" in\n"
                         "  show) s=active; [ -f \"$state\" ] && s=$(cat \"$state\");\n"
                         "        printf 'LoadState=loaded\\nActiveState=%s\\n' \"$s\" ;;\n"
                         "  stop) echo inactive > \"$state\" ;;\n"
                         "  start|restart) echo active > \"$state\" ;;\n"
                         "esac\nexit 0\n");
    std::filesystem::permissions(r + "bin/systemctl", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (r + "bin:" + path).c_str(), 1);
    setenv("QUILLMATE_SYSTEMD_RUNTIME", (r + "runtime").c_str(), 1);

    Deploy();
    WaitForDeployment();
    EXPECT_TRUE(ResultEndsWith(T("succeed") + u"\n" + T("autoUpdateEnabled")))
        << Utf8FromWide(ResultText());
    EXPECT_EQ(test::ReadAll(WideFromUtf8(r + "state")), "active\n");

    setenv("PATH", path.c_str(), 1);
    unsetenv("QUILLMATE_SYSTEMD_RUNTIME");
}

TEST_F(TaskDriverTest, ADeferredRequestIsShownAndACloseWaitsUntilItIsAcknowledged) {
    script_->holdEachStage = true;
    script_->stages = {1, 2, 3, 4, 5};
    Deploy();
    script_->Allow();  // leave stage 1
    ASSERT_TRUE(RunUntil([&] {
        return ResultEndsWith(T("applyCertIng") + u"\n" + T("applyCertDefer"));
    })) << Utf8FromWide(ResultText());

    // Not acknowledged yet: the close is refused and the prompt says why.
    window_->Close();
    EXPECT_TRUE(RunUntil([&] { return Ctl("lbPromptInfo").GetText() == T("saveReqCertInfo"); }));
    RunUntil([] { return false; }, 150ms);
    EXPECT_FALSE(window_->IsClosed());

    // Once the progress record shows it received, the window closes by itself
    // and the engine gives up its wait (the center keeps the request).
    deferAcknowledged_ = true;
    EXPECT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
    EXPECT_FALSE(window_->IsDeploymentRunning());
    EXPECT_EQ(window_->LastDeployResult(), result::kDeferCertState);
    EXPECT_EQ(script_->StagesEntered(), 2);
}

TEST_F(TaskDriverTest, AnAcknowledgedDeferredRequestLetsTheWindowCloseAtOnce) {
    script_->holdEachStage = true;
    script_->stages = {2, 3};
    deferAcknowledged_ = true;
    Deploy();
    ASSERT_TRUE(RunUntil([&] { return ResultEndsWith(T("applyCertDefer")); }));
    window_->Close();
    EXPECT_TRUE(RunUntil([&] { return window_->IsClosed(); }, 2s));
}

TEST_F(TaskDriverTest, NoSelectedTypeAsksForOneAndReportsTheFailure) {
    Ctl("opIIS").Select(false);
    ASSERT_TRUE(window_->PerformClick("btExe"));
    WaitForDeployment();
    EXPECT_EQ(Utf8FromWide(ResultText()),
              Utf8FromWide(u"\n" + T("selectWebType") + u"\n\n" + Heading("result") + u"\n\n" +
                           T("failedReport")));
    EXPECT_EQ(window_->LastDeployResult(), u"failed");
    EXPECT_TRUE(createdTypes_.empty());
    EXPECT_EQ(window_->GetCurrentTab(), 0);
    // After a failure the inputs come back, the site buttons do not.
    EXPECT_TRUE(Ctl("btExe").IsEnabled());
    EXPECT_TRUE(Ctl("edSiteAddrs").IsEnabled());
    EXPECT_FALSE(Ctl("btOpen").IsEnabled());
    EXPECT_FALSE(Ctl("btRestoreWeb").IsEnabled());
    EXPECT_EQ(window_->ClickCount("applyCert"), 0);
}

TEST_F(TaskDriverTest, InvalidTypedDomainsLeadToTheSettingsTabWithTheirNames) {
    // A name of the wrong form is refused before any name is looked up.
    CountingResolver resolver;
    Deploy("opNginx", u"bad.nowhere.test,x");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), result::kInvalidDomain);
    EXPECT_EQ(window_->GetCurrentTab(), 1);
    EXPECT_TRUE(Ctl("ctSetting").IsVisible());
    EXPECT_FALSE(Ctl("ctSign").IsVisible());
    EXPECT_EQ(Ctl("lbInvalidSiteAddr").GetText(), u"invalid domain: x");
    EXPECT_TRUE(ResultEndsWith(T("failedReport")));
    EXPECT_TRUE(script_->boundDomains.empty());
    EXPECT_EQ(resolver.Calls(), 0);

    Deploy("opNginx", u"x,*.example.test");
    WaitForDeployment();
    EXPECT_EQ(Ctl("lbInvalidSiteAddr").GetText(), u"invalid domain: x, *.example.test");
    EXPECT_EQ(resolver.Calls(), 0);

    // Well formed, but it does not resolve.
    Deploy("opNginx", u"bad.nowhere.test, shop.example.test");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), result::kInvalidDomain);
    EXPECT_EQ(Ctl("lbInvalidSiteAddr").GetText(), u"invalid domain: bad.nowhere.test");
    EXPECT_TRUE(script_->boundDomains.empty());

    // The next deployment clears the message.
    Deploy("opNginx", u"shop.example.test");
    WaitForDeployment();
    EXPECT_EQ(Ctl("lbInvalidSiteAddr").GetText(), u"");
    EXPECT_EQ(window_->GetCurrentTab(), 0);
}

TEST_F(TaskDriverTest, TypedDomainsMergeWithTheSitesOnceEach) {
    script_->sites = {u"shop.example.test"};
    // Two commas give no empty entry; blanks, case and repetitions do not
    // make a second copy of a name, nor of a site the server already has.
    Deploy("opNginx", u"A.example.test,, shop.example .test,a.example.test,SHOP.example.test");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), u"succeed");
    EXPECT_EQ(script_->boundDomains,
              (std::vector<std::u16string>{u"a.example.test", u"shop.example.test"}));
    EXPECT_NE(ResultText().find(u"\n\na.example.test, shop.example.test\n"), std::u16string::npos)
        << Utf8FromWide(ResultText());
}

TEST_F(TaskDriverTest, MoreThanTwoTypedDomainsAreRefusedBeforeAnyIsLookedUp) {
    CountingResolver resolver;
    Deploy("opNginx", u"a.example.test,b.example.test,shop.example.test");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), result::kTooManyDomains);
    EXPECT_TRUE(ResultEndsWith(Heading("result") + u"\n\n" + T("tooManySites")))
        << Utf8FromWide(ResultText());
    EXPECT_EQ(resolver.Calls(), 0);
    EXPECT_TRUE(script_->boundDomains.empty());

    // Two thousand names, some of them malformed: refused at once.
    std::u16string many;
    for (int i = 0; i < 2000; ++i)
        many += FormatWide(i % 7 == 3 ? u"bad~%d," : u"site%d.example.test,", i);
    const auto start = std::chrono::steady_clock::now();
    Deploy("opNginx", many.c_str());
    WaitForDeployment();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(window_->LastDeployResult(), result::kTooManyDomains);
    EXPECT_EQ(resolver.Calls(), 0);
    EXPECT_LT(elapsed, 1s);

    // Local names are not counted; neither are blanks, case and repetitions.
    Deploy("opNginx",
           u"localhost, shop.example.test,127.0.0.1,WWW.shop.example.test,www.shop.example.test");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), u"succeed");
    EXPECT_EQ(script_->boundDomains,
              (std::vector<std::u16string>{u"shop.example.test", u"www.shop.example.test"}));
    EXPECT_GT(resolver.Calls(), 0);
}

TEST_F(TaskDriverTest, LocalhostAloneGivesNoValidDomain) {
    script_->sites = {u"localhost"};
    Deploy("opNginx", u"localhost");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), result::kNoValidDomain);
    EXPECT_EQ(window_->GetCurrentTab(), 1);
    EXPECT_EQ(Ctl("lbSiteAddr").GetTextColor(), 0xFF0000u);
    EXPECT_EQ(Ctl("lbInvalidSiteAddr").GetText(), u"");
    EXPECT_TRUE(ResultEndsWith(Heading("result") + u"\n\n" + T("noValidDomain")));
    // The colour is reset by the next deployment.
    script_->sites = {u"shop.example.test"};
    Deploy("opNginx", u"");
    WaitForDeployment();
    EXPECT_EQ(Ctl("lbSiteAddr").GetTextColor(), 0u);
}

TEST_F(TaskDriverTest, EngineFailuresShowTheirMappedMessage) {
    const std::pair<std::u16string_view, const char*> cases[] = {
        {result::kPortNotListening, "webServiceNotRunning"},
        {result::kCommunicationFailed, "commFailed"},
        {result::kHighFrequency, "highFrequency"},
        {result::kHighFrequencyCertificate, "highFrequency"},
        {result::kConfigTestFailed, "failedReport"},
    };
    for (const auto& [failure, key] : cases) {
        script_->initializeFailure = failure == result::kPortNotListening ? failure : u"";
        script_->bindFailure = failure == result::kPortNotListening ? u"" : failure;
        Deploy();
        WaitForDeployment();
        EXPECT_EQ(window_->LastDeployResult(), failure);
        EXPECT_TRUE(ResultEndsWith(Heading("result") + u"\n\n" + T(key)))
            << Utf8FromWide(ResultText());
    }
    // The settings of a failed deployment are not written.
    EXPECT_THROW(ReadDeploymentSettings(DeploymentSettingsPath()), ExceptionEx);
}

TEST_F(TaskDriverTest, AServerKindWithoutDeployerFailsClearly) {
    // A build without the IIS deployer.
    window_->SetDeployerFactory(
        [](int32_t type) { return type == 0 ? nullptr : CreateDeployer(type); });
    Deploy("opIIS");
    WaitForDeployment();
    EXPECT_EQ(window_->LastDeployResult(), result::kUndefined);
    EXPECT_TRUE(window_->LastTaskHadNoDeployer());
    EXPECT_TRUE(ResultEndsWith(T("failedReport")));
    std::string log;
    ASSERT_TRUE(ReadFileBytes(CurrentLogFilePath(), log));
    EXPECT_NE(log.find("the IIS deployer is not part of this build"), std::string::npos);
}

TEST_F(TaskDriverTest, UndoUsesTheRecordedServerAndPortsAndReportsTheOutcome) {
    // Nothing recorded yet: the undo fails and says so.
    ASSERT_TRUE(EnsureDeploymentSettingsFile());
    EXPECT_FALSE(window_->LoadLastDeployment());
    window_->OnRestoreWeb();
    ASSERT_TRUE(RunUntil([&] { return !window_->IsUndoRunning(); }));
    EXPECT_TRUE(ResultEndsWith(u"\n" + T("revokeConfigFailed")));
    EXPECT_EQ(window_->LastUndoResult(), result::kNothingToUndo);

    Ctl("edHttpPort").SetText(u"8080");
    Ctl("edHttpsPort").SetText(u"8443");
    Deploy();
    WaitForDeployment();
    ASSERT_EQ(window_->LastDeployResult(), u"succeed");
    createdTypes_.clear();
    script_->httpPort = 0;

    ASSERT_TRUE(window_->PerformClick("btRestoreWeb"));
    EXPECT_FALSE(Ctl("btRestoreWeb").IsEnabled());
    EXPECT_FALSE(Ctl("btOpen").IsEnabled());
    ASSERT_TRUE(RunUntil([&] { return !window_->IsUndoRunning(); }));
    EXPECT_EQ(createdTypes_, std::vector<int32_t>{kWebServerNginx});
    EXPECT_EQ(script_->httpPort, 8080);
    EXPECT_EQ(script_->httpsPort, 8443);
    EXPECT_EQ(script_->restores, 1);
    EXPECT_TRUE(ResultEndsWith(u"\n" + T("revokeConfigComplete")));
    EXPECT_EQ(window_->LastUndoResult(), u"succeed");
    EXPECT_FALSE(window_->IsRestoring());

    // A server that no longer listens is undone all the same (and started
    // again by the engine).
    script_->initializeFailure = std::u16string(result::kPortNotListening);
    window_->OnRestoreWeb();
    ASSERT_TRUE(RunUntil([&] { return !window_->IsUndoRunning(); }));
    EXPECT_EQ(script_->restores, 2);
    EXPECT_EQ(window_->LastUndoResult(), u"succeed");
    // A failing restore is reported too.
    script_->initializeFailure.clear();
    script_->restoreFailure = u"undefined";
    window_->OnRestoreWeb();
    ASSERT_TRUE(RunUntil([&] { return !window_->IsUndoRunning(); }));
    EXPECT_TRUE(ResultEndsWith(u"\n" + T("revokeConfigFailed")));
}

TEST_F(TaskDriverTest, OpenSiteListsTheHttpsAddressesAndComesBackWithoutADisplay) {
    QM_POSIX_ONLY("a desktop without a display; Windows opens the browser");
    Ctl("edHttpsPort").SetText(u"8443");
    Deploy();
    WaitForDeployment();
    EXPECT_EQ(window_->SiteAddresses(),
              (std::vector<std::u16string>{u"https://shop.example.test:8443/",
                                           u"https://www.shop.example.test:8443/"}));
    ASSERT_TRUE(window_->PerformClick("btOpen"));
    EXPECT_FALSE(Ctl("btExe").IsEnabled());
    EXPECT_FALSE(Ctl("btOpen").IsEnabled());
    EXPECT_TRUE(RunUntil([&] { return !window_->IsOpenRunning(); }, 2s));
    EXPECT_TRUE(RunUntil([&] { return Ctl("btOpen").IsEnabled(); }, 3s));
    std::string log;
    ASSERT_TRUE(ReadFileBytes(CurrentLogFilePath(), log));
    EXPECT_NE(log.find("OpenHttpsSite: https://www.shop.example.test:8443/"), std::string::npos);

    // A fresh session finds the sites in the deployment settings.
    window_ = std::make_unique<CGuiWnd>(backend_, u"VantrelGui.xml");
    window_->InitWindow();
    EXPECT_FALSE(Ctl("btOpen").IsEnabled());
    ASSERT_TRUE(window_->LoadLastDeployment());
    EXPECT_TRUE(Ctl("btOpen").IsEnabled());
    EXPECT_EQ(window_->SiteAddresses().size(), 2u);
}

TEST_F(TaskDriverTest, TabsKeysAndTheDefaultButton) {
    EXPECT_TRUE(Ctl("opIIS").IsSelected());
    EXPECT_FALSE(Ctl("edHttpPort").IsVisible());
    EXPECT_EQ(Ctl("edServerAddr").GetText(), u"https://center.example.test:9443");
    EXPECT_EQ(Ctl("btTabSign").GetBkColor(), 0xFF00FF00u);

    window_->PostKey(ui::Key::Tab, true);
    window_->PostKey(ui::Key::Escape);
    window_->PostKey(ui::Key::Enter);
    RunUntil([] { return false; }, 30ms);
    EXPECT_EQ(window_->GetCurrentTab(), 1);
    EXPECT_FALSE(window_->IsClosed());  // Escape does not close
    EXPECT_EQ(Ctl("btTabSetting").GetBkColor(), 0xFF00FF00u);
    EXPECT_EQ(Ctl("btTabSign").GetBkColor(), 0x0000FF00u);

    Ctl("edSiteAddrs").SetText(u"x.example.test");
    Ctl("edHttpPort").SetText(u"81");
    ASSERT_TRUE(window_->PerformClick("btDefault"));
    EXPECT_EQ(Ctl("edSiteAddrs").GetText(), u"");
    EXPECT_EQ(Ctl("edHttpPort").GetText(), u"80");
    EXPECT_EQ(Ctl("txtDbg").GetText(), u"\nNotify(msg.sType = click, ctl = btDefault");
    ASSERT_TRUE(window_->PerformClick("BTTABSIGN"));
    EXPECT_EQ(window_->GetCurrentTab(), 0);
}

TEST_F(TaskDriverTest, TheStatisticsOptionWorksAsACheckBoxAndIsSaved) {
    EXPECT_TRUE(Ctl("opStatistics").IsSelected());
    window_->SwitchTab(1);
    ASSERT_TRUE(window_->PerformClick("opStatistics"));
    EXPECT_FALSE(Ctl("opStatistics").IsSelected());
    EXPECT_FALSE(ReadStatisticsSetting(DeploymentSettingsPath()));
    ASSERT_TRUE(window_->PerformClick("opStatistics"));
    EXPECT_TRUE(Ctl("opStatistics").IsSelected());
    EXPECT_TRUE(ReadStatisticsSetting(DeploymentSettingsPath()));
}

TEST_F(TaskDriverTest, BackgroundWorkRunsWhileTheWindowIsOpenAndIsWaitedForAtClose) {
    window_.reset();  // the fixture's window has no background work
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    auto service = [&](CGuiWnd& window) {
        ++started;
        while (window.WaitUnlessClosing(20)) {
        }
        ++ended;
    };
    window_ = std::make_unique<CGuiWnd>(backend_, u"VantrelGui.xml");
    window_->SetBackgroundServices({service, service, service});
    window_->InitWindow();
    ASSERT_TRUE(RunUntil([&] { return started == 3; }));
    EXPECT_EQ(ended, 0);

    // A click counted twice, then reported once and again in full.
    ASSERT_TRUE(window_->PerformClick("btBuyCert"));
    ASSERT_TRUE(window_->PerformClick("btBuyCert"));
    EXPECT_EQ(window_->ClickCount("buyLink"), 2);
    window_->ForgetReportedClicks("buyLink", 1);
    EXPECT_EQ(window_->ClickCount("buyLink"), 1);
    window_->ForgetReportedClicks("buyLink", 5);
    EXPECT_EQ(window_->ClickCount("buyLink"), 0);

    window_->Close();
    ASSERT_TRUE(RunUntil([&] { return window_->IsClosed(); }));
    EXPECT_EQ(ended, 3);
}

}  // namespace
}  // namespace qm
