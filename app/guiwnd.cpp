// The main window: controls, tabs, notifications, keys and the close check.
// The task driver (deployment, progress, undo, open) is in taskdriver.cpp.
#include "app/guiwnd.h"

#include <array>

#include "app/deployers.h"
#include "app/language.h"
#include "app/makerservice.h"
#include "app/skins.h"
#include "deploy/sslcertsrvbase.h"
#include "enrollment/centerconfig.h"
#include "enrollment/certcentercomm.h"
#include "foundation/format.h"
#include "foundation/hostfacts.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "ui/skin_controls.h"

namespace qm {

namespace {

using ui::ControlKind;

struct ControlEntry {
    ControlKind kind;
    const char* name;
};

// The controls this window works with: its skin "VantrelGui.xml" must have
// each of them, of this kind (captions, positions and looks are the skin's).
constexpr ControlEntry kMainWindowControls[] = {
    {ControlKind::Label, "lbTitle"},       {ControlKind::Button, "btMin"},
    {ControlKind::Button, "btClose"},      {ControlKind::Button, "btTabSign"},
    {ControlKind::Button, "btTabSetting"}, {ControlKind::Container, "ctSign"},
    {ControlKind::Label, "lbSelFile"},     {ControlKind::Option, "opIIS"},
    {ControlKind::Option, "opApache"},     {ControlKind::Option, "opTomcat"},
    {ControlKind::Option, "opNginx"},      {ControlKind::Button, "btExe"},
    {ControlKind::Button, "btOpen"},       {ControlKind::Button, "btRestoreWeb"},
    {ControlKind::Label, "lbResult"},      {ControlKind::Label, "lbPromptInfo"},
    {ControlKind::Text, "txtResultData"},  {ControlKind::Container, "ctSetting"},
    {ControlKind::Label, "lbCert"},        {ControlKind::Edit, "edServerAddr"},
    {ControlKind::Label, "lbHttpPort"},    {ControlKind::Edit, "edHttpPort"},
    {ControlKind::Label, "lbHttpsPort"},   {ControlKind::Edit, "edHttpsPort"},
    {ControlKind::Label, "lbSiteAddr"},    {ControlKind::Label, "lbSiteAddrTip"},
    {ControlKind::Edit, "edSiteAddrs"},    {ControlKind::Label, "lbInvalidSiteAddr"},
    {ControlKind::Button, "btDefault"},    {ControlKind::Button, "btExeCopy"},
    {ControlKind::Option, "opStatistics"}, {ControlKind::Button, "btCheckUpdate"},
    {ControlKind::Button, "btFeedback"},   {ControlKind::Button, "btHelp"},
    {ControlKind::Button, "lbLogo"},       {ControlKind::Button, "btBuyCert"},
    {ControlKind::Text, "txtDbg"},
};

constexpr ui::Color kSelectedTabColor = 0xFF00FF00;
constexpr ui::Color kOtherTabColor = 0x0000FF00;

}  // namespace

CGuiWnd::CGuiWnd(ui::Backend& backend, std::u16string skinFile)
    : ui::Window(backend), skinFile_(std::move(skinFile)) {
    const CenterEndpoint center = ResolveCenterEndpoint();
    centerUrl_ = center.url;
    centerCaFile_ = center.caFile;
    factory_ = [](int32_t type) { return CreateDeployer(type); };
    deferReceived_ = [] { return CertCenterComm::IsDeferReqRecved(); };
    BuildControls();
    GetSkinLan();
    clickCounters_ = {{"buyLink", 0}, {"otherLink", 0}, {"applyCert", 0}};
    SetNotifier(this);
    SetMainWindow(true);
}

CGuiWnd::~CGuiWnd() {
    StopWorkers();
}

void CGuiWnd::GetSkinLan() {
    LogTrace("%s", "CGuiWnd::GetSkinLan");
    try {
        strings_ = StringTable::Load(StringTableIdFor(CurrentLanguage()), MainWindowStringKeys());
    } catch (const std::exception& e) {
        LogError(u"CGuiWnd::GetSkinLan, %s", ResultTextOf(e));
        throw;
    }
}

void CGuiWnd::BuildControls() {
    layout_ = LoadSkinLayout(skinFile_);
    ui::AddSkinControls(*this, layout_);
    for (const ControlEntry& entry : kMainWindowControls) {
        const ui::Control* control = FindControl(entry.name);
        if (!control || control->GetKind() != entry.kind)
            ThrowResult(u"the skin %s has no control %s of the kind this window needs", skinFile_,
                        WideFromAscii(entry.name));
    }
}

ui::Control& CGuiWnd::Ctl(std::string_view name) const {
    // Every name used here is in kMainWindowControls.
    return *FindControl(name);
}

void CGuiWnd::InitWindow() {
    Ctl("txtDbg").SetText(u"initialized");
    for (const char* name : {"opIIS", "opApache", "opTomcat", "opNginx"})
        Ctl(name).SetGroup("GroupWebServiceType");
    SwitchTab(0);
    Ctl("opIIS").Select();

    Ctl("btOpen").SetEnabled(false);
    Ctl("btRestoreWeb").SetEnabled(false);

    Ctl("edServerAddr").SetText(centerUrl_);
    Ctl("edHttpPort").SetText(u"80");
    Ctl("edHttpsPort").SetText(u"443");
    Ctl("edSiteAddrs").SetText(u"");
    statisticsOn_ = StatisticsEnabled();
    Ctl("opStatistics").Select(statisticsOn_);

    for (const char* name :
         {"lbCert", "edServerAddr", "lbHttpPort", "edHttpPort", "lbHttpsPort", "edHttpsPort"})
        Ctl(name).SetVisible(false);

    const bool chinese = CurrentLanguage() == Language::Chinese;
    Ctl("lbSiteAddr").SetPos({104, 68, chinese ? 70 : 85, 30});
    Ctl("lbSiteAddrTip").SetPos(chinese ? ui::Rect{163, 68, 200, 30} : ui::Rect{170, 68, 240, 30});
    Ctl("edSiteAddrs").SetPos({103, 111, 560, 30});
    Ctl("lbInvalidSiteAddr").SetPos({103, 158, 560, 30});

    StartBackgroundServices();
}

void CGuiWnd::SetBackgroundServices(BackgroundServices services) {
    services_ = std::move(services);
}

void CGuiWnd::StartBackgroundServices() {
    for (const auto* service :
         {&services_.checkVersion, &services_.reportStart, &services_.reportClicks}) {
        if (!*service)
            continue;
        try {
            ++servicesRunning_;
            serviceThreads_.emplace_back([this, service] {
                try {
                    (*service)(*this);
                } catch (const std::exception& e) {
                    // Background work fails silently for the operator.
                    LogWarn(u"CGuiWnd, background work failed: %s", ResultTextOf(e));
                }
                --servicesRunning_;
            });
        } catch (const std::exception& e) {
            --servicesRunning_;
            LogError("CGuiWnd::InitWindow, cannot start a background thread: %s", e.what());
        }
    }
}

void CGuiWnd::ToggleStatistics() {
    // A click selects an option; this one works as a check box.
    const bool enable = !statisticsOn_;
    try {
        if (!EnsureDeploymentSettingsFile())
            ThrowResult(result::kUndefined);
        SaveStatisticsSetting(DeploymentSettingsPath(), enable);
        statisticsOn_ = enable;
    } catch (const std::exception& e) {
        LogError(u"CGuiWnd::ToggleStatistics, %s", ResultTextOf(e));
    }
    Ctl("opStatistics").Select(statisticsOn_ && StatisticsEnabled());
}

void CGuiWnd::SetChildWindows(ChildWindows windows) {
    childWindows_ = std::move(windows);
}

void CGuiWnd::SetFoundVersion(FoundVersion found) {
    ui::Control& button = Ctl("btCheckUpdate");
    button.SetText(Text(found.newVersionKnown ? "StateHaveNew" : "StateCheck"));
    button.SetTextColor(found.newVersionKnown ? 0xFF0000 : 0x30A139);
    std::lock_guard lock(stateMutex_);
    foundVersion_ = std::move(found);
}

CGuiWnd::FoundVersion CGuiWnd::GetFoundVersion() const {
    std::lock_guard lock(stateMutex_);
    return foundVersion_;
}

void CGuiWnd::BeginClosing() {
    closing_ = true;
    { std::lock_guard lock(closingMutex_); }
    closingWake_.notify_all();
}

bool CGuiWnd::AnyWorkerBusy() const {
    return progressRunning_ || (executeRunning_ && currentStage_ != 2) || restoreRunning_ ||
           servicesRunning_ > 0;
}

void CGuiWnd::ForgetReportedClicks(const std::string& counter, int count) {
    std::lock_guard lock(stateMutex_);
    auto it = clickCounters_.find(counter);
    if (it != clickCounters_.end())
        it->second = it->second > count ? it->second - count : 0;
}

void CGuiWnd::SwitchTab(int index) {
    const bool main = index == 0;
    Ctl("ctSign").SetVisible(main);
    Ctl("ctSetting").SetVisible(!main);
    Ctl("btTabSign").SetBkColor(main ? kSelectedTabColor : kOtherTabColor);
    Ctl("btTabSetting").SetBkColor(main ? kOtherTabColor : kSelectedTabColor);
    currentTab_ = main ? 0 : 1;
}

void CGuiWnd::Notify(const ui::Notification& msg) {
    Ctl("txtDbg").SetText(FormatWide(u"\nNotify(msg.sType = %s, ctl = %s", msg.type, msg.sender));
    if (msg.type != "click")
        return;
    const std::u16string name = WideFromAscii(msg.sender);
    auto is = [&](std::u16string_view control) { return EqualsIgnoreCaseAscii(name, control); };
    auto openLink = [&](std::string_view key, const char* counter) {
        // A link that cannot be opened is ignored.
        ShellOpen(Text(key), u"", u"", WindowMode::Shown);
        std::lock_guard lock(stateMutex_);
        clickCounters_[counter]++;
    };

    if (is(u"btClose")) {
        Close();
    } else if (is(u"btMin")) {
        Minimize();
    } else if (is(u"btTabSign")) {
        SwitchTab(0);
    } else if (is(u"btTabSetting")) {
        SwitchTab(1);
    } else if (is(u"btExe") || is(u"btExeCopy")) {
        OnExe();
    } else if (is(u"btOpen")) {
        OpenSite();
    } else if (is(u"btDefault")) {
        LogTrace("");
        Ctl("edHttpPort").SetText(u"80");
        Ctl("edHttpsPort").SetText(u"443");
        Ctl("edSiteAddrs").SetText(u"");
    } else if (is(u"btRestoreWeb")) {
        OnRestoreWeb();
    } else if (is(u"opStatistics")) {
        ToggleStatistics();
    } else if (is(u"btBuyCert")) {
        openLink("WebSiteBuy", "buyLink");
    } else if (is(u"btHelp")) {
        openLink("WebSiteHelp", "otherLink");
    } else if (is(u"lbLogo")) {
        openLink("WebSiteHome", "otherLink");
    } else if (is(u"btFeedback") || is(u"btCheckUpdate")) {
        const auto& open =
            is(u"btFeedback") ? childWindows_.openFeedback : childWindows_.openVersion;
        if (!open) {
            LogInfo("CGuiWnd::Notify, %s is not available in this front end", msg.sender);
            return;
        }
        try {
            open(*this);
        } catch (const std::exception& e) {
            LogError(u"CGuiWnd::Notify, the window of %s failed: %s", name, ResultTextOf(e));
        }
    }
}

bool CGuiWnd::PreTranslateKey(ui::Key key, bool ctrl) {
    if (key == ui::Key::Enter)
        return true;  // swallowed: Enter must not press a button by accident
    if (key == ui::Key::Tab && ctrl) {
        SwitchTab(currentTab_ == 0 ? 1 : 0);
        return true;
    }
    return false;  // Escape included: it does not close the window
}

bool CGuiWnd::OnClose() {
    if (!CanClose())
        return false;
    closing_ = true;
    busy_ = false;
    StopWorkers();
    return true;
}

// Workers are asked to stop rather than killed: the closing flag ends the
// progress, waiting and opening loops, and a deployment waiting for a
// deferred certificate gives up at its next poll (the request stays with the
// center and the next run resumes it). Stages 1, 3 and 4 never get here,
// because the close check refuses them.
void CGuiWnd::StopWorkers() {
    busy_ = false;
    BeginClosing();
    {
        std::lock_guard lock(deployerLock_);
        if (deployer_)
            deployer_->RequestStop();
    }
    for (std::thread* worker :
         {&progressThread_, &executeThread_, &restoreThread_, &deferWaitThread_}) {
        if (worker->joinable() && worker->get_id() != std::this_thread::get_id())
            worker->join();
    }
    for (OpenThread& open : openThreads_) {
        if (open.thread.joinable())
            open.thread.join();
    }
    openThreads_.clear();
    for (std::thread& service : serviceThreads_) {
        if (service.joinable() && service.get_id() != std::this_thread::get_id())
            service.join();
    }
    serviceThreads_.clear();
}

bool CGuiWnd::WaitUnlessClosing(int ms) {
    std::unique_lock lock(closingMutex_);
    return !closingWake_.wait_for(lock, std::chrono::milliseconds(ms),
                                  [this] { return closing_.load(); });
}

void CGuiWnd::SetCertCenter(std::u16string url, std::u16string caFile) {
    centerUrl_ = std::move(url);
    centerCaFile_ = std::move(caFile);
    Ctl("edServerAddr").SetText(centerUrl_);
}

void CGuiWnd::SetDeployerFactory(DeployerFactory factory) {
    factory_ = std::move(factory);
}

void CGuiWnd::SetDeferReceivedCheck(std::function<bool()> check) {
    deferReceived_ = std::move(check);
}

void CGuiWnd::SetEngineSetup(std::function<void(SslCertSrvBase&)> setup) {
    engineSetup_ = std::move(setup);
}

bool CGuiWnd::LoadLastDeployment() {
    try {
        const DeploymentSettings settings = ReadDeploymentSettings(DeploymentSettingsPath());
        {
            std::lock_guard lock(stateMutex_);
            siteList_ = settings.sites;
        }
        httpPort_ = settings.httpPort;
        httpsPort_ = settings.httpsPort;
        recordedType_ = settings.webServerType;
        // A recorded deployment can be undone and opened in this session too.
        Ctl("btRestoreWeb").SetEnabled(true);
        Ctl("btOpen").SetEnabled(true);
        return true;
    } catch (const std::exception& e) {
        LogWarn(u"CGuiWnd::LoadLastDeployment, %s", ResultTextOf(e));
        return false;
    }
}

std::u16string CGuiWnd::LastDeployResult() const {
    std::lock_guard lock(stateMutex_);
    return lastDeployResult_;
}

std::u16string CGuiWnd::LastUndoResult() const {
    std::lock_guard lock(stateMutex_);
    return lastUndoResult_;
}

std::vector<std::u16string> CGuiWnd::SiteList() const {
    std::lock_guard lock(stateMutex_);
    return siteList_;
}

std::vector<std::u16string> CGuiWnd::SiteAddresses() const {
    std::vector<std::u16string> addresses;
    const int32_t port = httpsPort_;
    for (const std::u16string& site : SiteList())
        addresses.push_back(u"https://" + site + u":" + FormatWide(u"%d", port) + u"/");
    return addresses;
}

int CGuiWnd::ClickCount(const std::string& counter) const {
    std::lock_guard lock(stateMutex_);
    auto it = clickCounters_.find(counter);
    return it == clickCounters_.end() ? 0 : it->second;
}

bool CGuiWnd::IsOpenRunning() const {
    for (const OpenThread& open : openThreads_) {
        if (!open.done->load())
            return true;
    }
    return false;
}

}  // namespace qm
