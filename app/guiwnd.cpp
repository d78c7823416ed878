// The main window: controls, tabs, notifications, keys and the close check.
// The task driver (deployment, progress, undo, open) is in taskdriver.cpp.
#include "app/guiwnd.h"

#include <array>

#include "app/deployers.h"
#include "app/language.h"
#include "deploy/sslcertsrvbase.h"
#include "enrollment/centerconfig.h"
#include "enrollment/certcentercomm.h"
#include "foundation/format.h"
#include "foundation/hostfacts.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

using ui::ControlKind;

struct ControlEntry {
    ControlKind kind;
    const char* name;
    const char* parent;
    const char16_t* english;  // caption of the English layout (nullptr: none)
    const char16_t* chinese;  // caption of the Chinese layout
};

// The controls of "VantrelGui.xml", with their fixed captions.
constexpr ControlEntry kMainWindowControls[] = {
    {ControlKind::Label, "lbTitle", "", u"QUILLMATE", u"Quillmate"},
    {ControlKind::Button, "btMin", "", u"-", u"-"},
    {ControlKind::Button, "btClose", "", u"\u00D7", u"\u00D7"},
    {ControlKind::Button, "btTabSign", "", u"MAIN", u"主面板"},
    {ControlKind::Button, "btTabSetting", "", u"SETTING", u"设置"},
    {ControlKind::Container, "ctSign", "", nullptr, nullptr},
    {ControlKind::Label, "lbSelFile", "ctSign", u"Select Web Service Type", u"选择WEB服务类型"},
    {ControlKind::Option, "opIIS", "ctSign", u"IIS", u"IIS"},
    {ControlKind::Option, "opApache", "ctSign", u"Apache", u"Apache"},
    {ControlKind::Option, "opTomcat", "ctSign", u"Tomcat", u"Tomcat"},
    {ControlKind::Option, "opNginx", "ctSign", u"Nginx", u"Nginx"},
    {ControlKind::Button, "btExe", "ctSign", u"One Key Deployment", u"一键部署证书"},
    {ControlKind::Button, "btOpen", "ctSign", u"Open Site", u"打开网站"},
    {ControlKind::Button, "btRestoreWeb", "ctSign", u"Undo Deployment", u"撤销部署"},
    {ControlKind::Label, "lbResult", "ctSign", u"Process Result", u"执行结果"},
    {ControlKind::Label, "lbPromptInfo", "ctSign", nullptr, nullptr},
    {ControlKind::Text, "txtResultData", "ctSign", nullptr, nullptr},
    {ControlKind::Container, "ctSetting", "", nullptr, nullptr},
    {ControlKind::Label, "lbCert", "ctSetting", u"Certificate Server：", u"证书服务器："},
    {ControlKind::Edit, "edServerAddr", "ctSetting", nullptr, nullptr},
    {ControlKind::Label, "lbHttpPort", "ctSetting", u"HTTP Port：", u"HTTP端口："},
    {ControlKind::Edit, "edHttpPort", "ctSetting", nullptr, nullptr},
    {ControlKind::Label, "lbHttpsPort", "ctSetting", u"HTTPS Port：", u"HTTPS端口："},
    {ControlKind::Edit, "edHttpsPort", "ctSetting", nullptr, nullptr},
    {ControlKind::Label, "lbSiteAddr", "ctSetting", u"Add Domain:", u"增加域名："},
    {ControlKind::Label, "lbSiteAddrTip", "ctSetting", u"(use','to seperate multiple domains)",
     u"(多个域名使用,分隔)"},
    {ControlKind::Edit, "edSiteAddrs", "ctSetting", nullptr, nullptr},
    {ControlKind::Label, "lbInvalidSiteAddr", "ctSetting", nullptr, nullptr},
    {ControlKind::Button, "btDefault", "ctSetting", u"Default", u"默认"},
    {ControlKind::Button, "btExeCopy", "ctSetting", u"One Key Deployment", u"一键部署证书"},
    {ControlKind::Button, "btCheckUpdate", "", u"Check Version", u"检查版本"},
    {ControlKind::Button, "btFeedback", "", u"Feedback", u"意见反馈"},
    {ControlKind::Button, "btHelp", "", u"Contact Us", u"联系我们"},
    {ControlKind::Button, "lbLogo", "", nullptr, nullptr},
    {ControlKind::Button, "btBuyCert", "", u"Buy Online", u"在线购买证书"},
    {ControlKind::Text, "txtDbg", "", nullptr, nullptr},
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
    const bool chinese = CurrentLanguage() == Language::Chinese;
    for (const ControlEntry& entry : kMainWindowControls) {
        ui::Control& control = AddControl(entry.kind, entry.name, entry.parent);
        const char16_t* caption = chinese ? entry.chinese : entry.english;
        if (caption)
            control.SetText(caption);
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

    for (const char* name :
         {"lbCert", "edServerAddr", "lbHttpPort", "edHttpPort", "lbHttpsPort", "edHttpsPort"})
        Ctl(name).SetVisible(false);

    const bool chinese = CurrentLanguage() == Language::Chinese;
    Ctl("lbSiteAddr").SetPos({104, 68, chinese ? 70 : 85, 30});
    Ctl("lbSiteAddrTip").SetPos(chinese ? ui::Rect{163, 68, 200, 30} : ui::Rect{170, 68, 240, 30});
    Ctl("edSiteAddrs").SetPos({103, 111, 560, 30});
    Ctl("lbInvalidSiteAddr").SetPos({103, 158, 560, 30});
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
    } else if (is(u"btBuyCert")) {
        openLink("WebSiteBuy", "buyLink");
    } else if (is(u"btHelp")) {
        openLink("WebSiteHelp", "otherLink");
    } else if (is(u"lbLogo")) {
        openLink("WebSiteHome", "otherLink");
    } else if (is(u"btFeedback") || is(u"btCheckUpdate")) {
        // The feedback and version windows come with the graphical backend.
        LogInfo("CGuiWnd::Notify, %s is not available in this front end", msg.sender);
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
    closing_ = true;
    busy_ = false;
    { std::lock_guard lock(closingMutex_); }
    closingWake_.notify_all();
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
