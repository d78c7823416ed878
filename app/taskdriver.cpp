// The task driver of the main window: deployment (ExecuteThread) with its
// progress view (UpdateThread), the close check during a deferred request,
// undo (RestoreThread) and opening the deployed sites.
#include <algorithm>

#include "app/acmesource.h"
#include "app/deployers.h"
#include "app/guiwnd.h"
#include "app/language.h"
#include "app/renewalservice.h"
#include "app/settingsfile.h"
#include "deploy/netmanager.h"
#include "deploy/recovery.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/format.h"
#include "foundation/host/host.h"
#include "foundation/operation.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr int kOpenSiteTimer = 1;

// The leading integer of a text as the edits hold it: optional blanks and
// sign, then digits; 0 when there are none (out-of-range values saturate).
int32_t IntegerOf(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > 0x7FFFFFFFLL)
            value = 0x80000000LL;
    }
    if (negative)
        value = -value;
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

std::u16string ResultOf(const std::exception& e) {
    if (dynamic_cast<const ExceptionEx*>(&e))
        return ResultTextOf(e);
    // Not one of our result texts (an allocation failure, a library error):
    // shown as "undefined", its own text kept in the log.
    LogError("unexpected exception: %s", e.what());
    return std::u16string(result::kUndefined);
}

bool IsLocalName(std::u16string_view name) {
    return EqualsIgnoreCaseAscii(name, u"localhost") || EqualsIgnoreCaseAscii(name, u"127.0.0.1");
}

bool HasDesktopDisplay() {
#ifdef _WIN32
    return true;
#else
    for (const char16_t* name : {u"DISPLAY", u"WAYLAND_DISPLAY"}) {
        if (!host::ProcessEnvironmentValue(name).value_or(u"").empty())
            return true;
    }
    return false;
#endif
}

}  // namespace

void CGuiWnd::ShowResultText(bool append, std::u16string_view text) {
    ui::Control& result = Ctl("txtResultData");
    if (append) {
        std::u16string addition = u"\n";
        addition.append(text);
        result.AppendText(addition);
    } else {
        result.SetText(text);
    }
}

SslCertSrvBase* CGuiWnd::Deployer() const {
    std::lock_guard lock(deployerLock_);
    return deployer_.get();
}

// ---------------------------------------------------------------- deployment

void CGuiWnd::OnExe() {
    LogTrace("");
    LogTrace("%s", "CGuiWnd::OnExe");
    if (busy_ || executeRunning_)
        return;  // one deployment at a time
    // The threads of the previous deployment are ending (the busy marker is
    // clear); collect them before the marker is set again, or the old
    // progress thread would carry on.
    if (progressThread_.joinable())
        progressThread_.join();
    if (executeThread_.joinable())
        executeThread_.join();
    busy_ = true;
    deferSeen_ = false;
    try {
        progressThread_ = std::thread([this] { UpdateThread(); });
    } catch (const std::exception& e) {
        LogError("CGuiWnd::OnExe, cannot start the progress thread: %s", e.what());
    }
    try {
        executeRunning_ = true;
        executeThread_ = std::thread([this] { ExecuteThread(); });
    } catch (const std::exception& e) {
        LogError("CGuiWnd::OnExe, cannot start the deployment thread: %s", e.what());
        executeRunning_ = false;
        busy_ = false;
    }
}

void CGuiWnd::ExecuteThread() {
    LogTrace("%s", "CGuiWnd::ExecuteThread");
    executeRunning_ = true;
    std::u16string outcome;
    try {
        ClearTaskView();
        BeginExclusiveTask(u"deploy");
        ReadInputs();
        ShowPortSettings();
        NewVantrel(SelectedWebType());
        ChooseCertificateSource();
        InitSslService(centerUrl_, httpPort_, httpsPort_);
        GetSitesInfo();
        SwitchTab(0);
        BindCertToSite();  // saves the deployment settings before it commits
        StartServiceW();
        for (const char* name : {"btOpen", "btExe", "btRestoreWeb", "btExeCopy"})
            Ctl(name).SetEnabled(true);
        ThrowSucceed();
    } catch (const std::exception& e) {
        outcome = ResultOf(e);
    }

    if (outcome == result::kSucceed) {
        std::lock_guard lock(stateMutex_);
        clickCounters_["applyCert"]++;
    }
    Ctl("lbPromptInfo").SetText(u"");
    ShowDomainInputResult(outcome);
    std::vector<std::u16string> notes;
    {
        std::lock_guard lock(deployerLock_);
        UpdateTaskStepLocked();
        notes = TakeEngineNotes();
        DeleteVantrel();
    }
    ShowNotes(notes);
    DisplayProcessResult(outcome);
    serviceLock_.Release();
    EnableInputs();
    {
        std::lock_guard lock(stateMutex_);
        lastDeployResult_ = outcome;
    }
    lastShownStep_ = 0;
    busy_ = false;
    executeRunning_ = false;
}

void CGuiWnd::ClearTaskView() {
    ShowResultText(false, u"");
    Ctl("lbSiteAddr").SetTextColor(0);
    Ctl("lbInvalidSiteAddr").SetText(u"");
    for (const char* name :
         {"btOpen", "btExe", "btRestoreWeb", "btExeCopy", "edSiteAddrs", "btDefault"})
        Ctl(name).SetEnabled(false);
}

bool CGuiWnd::AnyWebTypeSelected() const {
    for (const char* name : {"opIIS", "opApache", "opTomcat", "opNginx"}) {
        if (Ctl(name).IsSelected())
            return true;
    }
    return false;
}

int32_t CGuiWnd::SelectedWebType() const {
    const char* names[] = {"opIIS", "opApache", "opTomcat", "opNginx"};
    for (int32_t type = 0; type < 4; ++type) {
        if (Ctl(names[type]).IsSelected())
            return type;
    }
    return kWebServerIIS;
}

void CGuiWnd::ReadInputs() {
    if (!AnyWebTypeSelected()) {
        ShowResultText(true, Text("selectWebType"));
        SwitchTab(0);
        ThrowResult(result::kFailed);
    }
    httpPort_ = IntegerOf(Ctl("edHttpPort").GetText());
    httpsPort_ = IntegerOf(Ctl("edHttpsPort").GetText());

    std::vector<std::u16string> domains;
    const std::u16string typed = Ctl("edSiteAddrs").GetText();
    size_t start = 0;
    for (;;) {
        const size_t comma = typed.find(u',', start);
        const std::u16string piece = typed.substr(
            start, comma == std::u16string::npos ? std::u16string::npos : comma - start);
        if (!piece.empty())
            domains.push_back(piece);
        if (comma == std::u16string::npos)
            break;
        start = comma + 1;
    }
    {
        std::lock_guard lock(stateMutex_);
        inputDomains_ = std::move(domains);
    }
    certType_ = CertificateTypeFor(CurrentLanguage());
}

void CGuiWnd::ShowPortSettings() {
    ShowResultText(true, u"< " + Text("settingInfo") + u"\n\n" + Text("httpPort") +
                             FormatWide(u"%d", httpPort_.load()) + u" " + Text("httpsPort") +
                             FormatWide(u"%d", httpsPort_.load()));
}

void CGuiWnd::NewVantrel(int32_t type) {
    RunOperation("CGuiWnd::NewVantrel",
                 [&] {
                     std::unique_ptr<SslCertSrvBase> engine = factory_ ? factory_(type) : nullptr;
                     missingDeployer_ = !engine;
                     if (!engine) {
                         LogError(u"CGuiWnd::NewVantrel, %s", MissingDeployerMessage(type));
                         ThrowResult(result::kUndefined);
                     }
                     if (engineSetup_)
                         engineSetup_(*engine);
                     std::lock_guard lock(deployerLock_);
                     deployer_ = std::move(engine);
                     ThrowSucceed();
                 },
                 {.logLeave = true});
}

void CGuiWnd::DeleteVantrel() {
    LogTrace("%s", "CGuiWnd::DeleteVantrel");
    std::lock_guard lock(deployerLock_);
    deployer_.reset();
}

void CGuiWnd::InitSslService(const std::u16string& centerUrl, int32_t httpPort, int32_t httpsPort) {
    RunOperation("CGuiWnd::InitSslService", [&] {
        SslCertSrvBase* engine = Deployer();
        if (!engine)
            ThrowResult(result::kUndefined);
        engine->SetCertCenterCaFile(centerCaFile_);
        engine->SetAcmeSource(acme_);
        engine->Initialize(centerUrl, httpPort, httpsPort);
        ThrowSucceed();
    });
}

void CGuiWnd::ChooseCertificateSource() {
    if (sourceChosen_ || !IsAcmeCenter(centerUrl_, centerCaFile_))
        return;
    // The window has no agreement of its own to give: the terms count as
    // agreed when the last deployment through this CA agreed to them.
    bool agreed = false;
    try {
        const DeploymentSettings last = ReadDeploymentSettings(DeploymentSettingsPath());
        agreed = last.centerIsAcme && last.acmeTermsAgreed && last.centerUrl == centerUrl_;
    } catch (const std::exception&) {
        // no deployment yet
    }
    LogInfo(u"certificate source: the ACME CA at %s", centerUrl_);
    acme_ = MakeAcmeSource(centerUrl_, agreed);
}

void CGuiWnd::GetSitesInfo() {
    RunOperation("CGuiWnd::GetSitesInfo", [&] {
        std::vector<std::u16string> sites;
        Deployer()->GetSitesInfo(sites);
        std::vector<std::u16string> input;
        {
            std::lock_guard lock(stateMutex_);
            invalidDomains_.clear();
            input = inputDomains_;
        }
        const std::vector<std::u16string> typed = CheckTypedDomains(input);

        if (!typed.empty()) {
            sites.insert(sites.end(), typed.begin(), typed.end());
            std::sort(sites.begin(), sites.end());
            sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
        }

        // Names are compared once their blanks are gone, so a site written
        // with a blank is not listed (and certified) twice.
        std::vector<std::u16string> kept;
        std::u16string collected;
        for (const std::u16string& site : sites) {
            const std::u16string name = RemoveWhitespace(site);
            if (std::find(kept.begin(), kept.end(), name) != kept.end())
                continue;
            const bool usable = !IsLocalName(name) && CNetManager::IsValidSiteAddr(name);
            if (!usable) {
                LogInfo(u"siteAddr is %s, no valide!", name);
                continue;
            }
            kept.push_back(name);
            collected += name + u", ";
        }
        for (const std::u16string& site : kept)
            LogTrace(u"%s", site);
        {
            std::lock_guard lock(stateMutex_);
            siteList_ = kept;
        }
        if (kept.empty())
            ThrowResult(result::kNoValidDomain);
        collected.resize(collected.size() - 2);
        ShowResultText(true, u"\n< " + Text("siteList") + u"\n");
        ShowResultText(true, collected);
        ThrowSucceed();
    });
}

std::vector<std::u16string> CGuiWnd::CheckTypedDomains(const std::vector<std::u16string>& input) {
    // "localhost" and "127.0.0.1" are not rejected here: like a server's own
    // local names they are dropped, so typing only them ends in "no valid
    // domain".
    auto isLocal = [](const std::u16string& domain) {
        return IsLocalName(RemoveWhitespace(domain));
    };

    // The count and the form come first: no name is looked up before the
    // list is known to be short enough and well formed, so a long list is
    // refused at once rather than after one name query per entry.
    std::vector<std::u16string> typed;     // without blanks, lower case, once each
    std::vector<std::u16string> spelling;  // as typed, for the list of invalid names
    for (const std::u16string& domain : input) {
        const std::u16string name = ToLowerAscii(RemoveWhitespace(domain));
        if (name.empty() || isLocal(domain))
            continue;
        if (std::find(typed.begin(), typed.end(), name) != typed.end())
            continue;
        typed.push_back(name);
        spelling.push_back(domain);
        if (typed.size() > kMaxTypedDomains) {
            LogWarn("CGuiWnd::GetSitesInfo, more than %d domain names typed", kMaxTypedDomains);
            ThrowResult(result::kTooManyDomains);
        }
    }

    auto refuse = [&](const std::u16string& invalid) {
        {
            std::lock_guard lock(stateMutex_);
            invalidDomains_ = invalid.substr(0, invalid.size() - 2);
        }
        ThrowResult(result::kInvalidDomain);
    };
    std::u16string invalid;
    for (const std::u16string& domain : input) {
        std::u16string name = domain;
        if (isLocal(domain) || CNetManager::CheckSiteAddrFormat(name))
            continue;
        LogWarn(u"CNetManager::CheckSiteAddrFormat return false, siteAddr: %s", domain);
        invalid += domain + u", ";
    }
    if (!invalid.empty())
        refuse(invalid);

    // Well formed; each name must also resolve.
    for (size_t i = 0; i < typed.size(); ++i) {
        if (!CNetManager::IsValidSiteAddr(typed[i])) {
            LogWarn(u"CNetManager::IsValidSiteAddr return false, siteAddr: %s", spelling[i]);
            invalid += spelling[i] + u", ";
        }
    }
    if (!invalid.empty())
        refuse(invalid);
    return typed;
}

void CGuiWnd::BindCertToSite() {
    LogTrace("");
    RunOperation("CGuiWnd::BindCertToSite", [&] {
        ShowResultText(true, u"\n< " + Text("configCert") + u"\n");
        ShowResultText(true, Text("applyCertIng"));
        SslCertSrvBase* engine = Deployer();
        // The settings are part of the deployment: written once the server
        // serves the certificate, before it commits; if they cannot be
        // written, the deployment is rolled back.
        engine->SetBeforeCommit(
            [this, engine] {
                const ExpiryDate expiry = ExpiryOf(*engine);
                {
                    std::lock_guard lock(stateMutex_);
                    certExpireTime_ = expiry;
                }
                SaveConfig();
            },
            {DeploymentSettingsPath()});
        engine->BindCertToSite(SiteList(), certType_);
        ThrowSucceed();
    });
}

void CGuiWnd::SaveConfig() {
    RunOperation("CGuiWnd::SaveConfig", [&] {
        DeploymentSettings settings;
        settings.webServerType = SelectedWebType();
        settings.httpPort = httpPort_;
        settings.httpsPort = httpsPort_;
        {
            std::lock_guard lock(stateMutex_);
            settings.sites = siteList_;
            settings.certExpireTime = certExpireTime_;
        }
        settings.certType = certType_;
        settings.centerUrl = centerUrl_;
        settings.centerCaFile = centerCaFile_;
        settings.centerIsAcme = acme_.enabled;
        settings.acmeTermsAgreed = acme_.enabled && acme_.agreeToTerms;
        // Start-up puts the template there; a service directory made since
        // gets it now.
        EnsureDeploymentSettingsFile();
        SaveDeploymentSettings(DeploymentSettingsPath(), settings);
        LogInfo("complete: save user input");
        ThrowSucceed();
    });
}

void CGuiWnd::StartServiceW() {
    RunOperation("CGuiWnd::StartServiceW", [&] {
        renewalRunning_ = RestartRenewalService(ServiceDirectory());
        ThrowSucceed();
    });
}

void CGuiWnd::ShowDomainInputResult(const std::u16string& resultText) {
    if (resultText == result::kNoValidDomain) {
        if (currentTab_ != 1)
            SwitchTab(1);
        Ctl("lbSiteAddr").SetTextColor(0xFF0000);
    } else if (resultText == result::kInvalidDomain) {
        SwitchTab(1);
        std::u16string invalid;
        {
            std::lock_guard lock(stateMutex_);
            invalid = invalidDomains_;
        }
        Ctl("lbInvalidSiteAddr").SetText(Text("invalidDomain") + u": " + invalid);
    } else {
        SwitchTab(0);
    }
}

void CGuiWnd::DisplayProcessResult(const std::u16string& resultText) {
    ShowResultText(true, u"\n< " + Text("result") + u"\n");
    const ResultDisplayRow& row = ResultDisplayFor(resultText);
    if (resultText == result::kSucceed) {
        LogTrace("");
        LogInfo("succeed ^_^");
        LogTrace("");
    }
    ShowResultText(true, Text(row.messageKey));
    if (!row.followUpKey.empty()) {
        // Renewal is promised only when its service really runs.
        const bool promise = row.followUpKey != "autoUpdateEnabled" || renewalRunning_;
        ShowResultText(true, Text(promise ? row.followUpKey : "renewalNotInstalled"));
    }
    if (resultText != result::kSucceed)
        LogError(u"CGuiWnd::DisplayProcessResult, %s", resultText);
}

void CGuiWnd::EnableInputs() {
    for (const char* name : {"btExe", "btExeCopy", "edSiteAddrs", "btDefault"})
        Ctl(name).SetEnabled(true);
}

// ------------------------------------------------------------------ progress

void CGuiWnd::UpdateThread() {
    LogTrace("%s", "CGuiWnd::UpdateThread");
    progressRunning_ = true;
    while (busy_) {
        UpdateTaskStep();
        if (closing_)
            break;
        if (!WaitUnlessClosing(200))
            break;
    }
    progressRunning_ = false;
}

void CGuiWnd::UpdateTaskStep() {
    std::lock_guard lock(deployerLock_);
    UpdateTaskStepLocked();
}

void CGuiWnd::UpdateTaskStepLocked() {
    try {
        if (!deployer_)
            return;
        int32_t stage = kStageIdle;
        deployer_->GetDeployStage(stage);
        currentStage_ = stage;
        if (stage == kStageWaitingDeferred && !closeWaiting_)
            Ctl("lbPromptInfo").SetText(u"");
        if (stage == lastShownStep_)
            return;
        lastShownStep_ = stage;

        // The cut and the redraw are one change of the view: no other
        // thread's text can fall between them.
        std::lock_guard viewLock(ModelLock());
        const std::u16string heading = u"< " + Text("configCert");
        const std::u16string text = Ctl("txtResultData").GetText();
        const size_t at = text.find(heading);
        if (at == std::u16string::npos)
            return;
        ShowResultText(false, text.substr(0, at) + heading + u"\n");

        std::u16string base = Text("applyCertIng") + u"\n";
        if (deferSeen_)
            base += Text("applyCertDefer") + u"\n";
        switch (stage) {
            case kStageObtaining:
                ShowResultText(true, Text("applyCertIng"));
                break;
            case kStageWaitingDeferred:
                ShowResultText(true, Text("applyCertIng") + u"\n" + Text("applyCertDefer"));
                deferSeen_ = true;
                break;
            case kStageObtained:
                ShowResultText(true, base + Text("applyCertComplete"));
                break;
            case kStageConfiguring:
                ShowResultText(true,
                               base + Text("applyCertComplete") + u"\n" + Text("configCertIng"));
                break;
            case kStageConfigured:
                ShowResultText(true, base + Text("applyCertComplete") + u"\n" +
                                         Text("configCertIng") + u"\n" +
                                         Text("configCertComplete"));
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        LogError("UpdateTaskStep, exception: %s", e.what());
    }
}

// ------------------------------------------------------------- close check

bool CGuiWnd::CanClose() {
    int32_t stage = kStageIdle;
    {
        std::lock_guard lock(deployerLock_);
        if (deployer_)
            deployer_->GetDeployStage(stage);
    }
    if (stage == kStageObtaining || stage == kStageObtained || stage == kStageConfiguring) {
        SwitchTab(0);
        Ctl("lbPromptInfo").SetText(Text("promptInformation"));
        return false;
    }
    if (restoring_) {
        SwitchTab(0);
        Ctl("lbPromptInfo").SetText(Text("restoringPromptInfo"));
        return false;
    }
    bool received = true;
    {
        std::lock_guard lock(deployerLock_);
        if (stage == kStageWaitingDeferred)
            received = deferReceived_ ? deferReceived_() : true;
    }
    if (received || stage != kStageWaitingDeferred)
        return true;

    LogInfo("DeferReq not recv, waiting...");
    closeWaiting_ = true;
    if (deferWaitRunning_)
        return false;  // a waiting thread is already on it
    if (deferWaitThread_.joinable())
        deferWaitThread_.join();
    deferWaitRunning_ = true;
    try {
        deferWaitThread_ = std::thread([this] { DeferWaitThread(); });
    } catch (const std::exception& e) {
        deferWaitRunning_ = false;
        LogError("CGuiWnd::CanClose, cannot start the waiting thread: %s", e.what());
    }
    return false;
}

void CGuiWnd::DeferWaitThread() {
    for (;;) {
        bool received = true;
        {
            std::lock_guard lock(deployerLock_);
            int32_t stage = kStageIdle;
            if (deployer_)
                deployer_->GetDeployStage(stage);
            received = !deployer_ || stage != kStageWaitingDeferred ||
                       (deferReceived_ ? deferReceived_() : true);
        }
        if (received || !deferSeen_)
            break;
        Ctl("lbPromptInfo").SetText(Text("saveReqCertInfo"));
        if (!WaitUnlessClosing(100))
            break;
    }
    LogInfo("DeferReq Recv,close");
    deferWaitRunning_ = false;
    Close();
}

// ---------------------------------------------------------------------- undo

void CGuiWnd::OnRestoreWeb() {
    LogTrace("");
    LogTrace("%s", "CGuiWnd::OnRestoreWeb");
    if (restoring_ || restoreRunning_ || busy_)
        return;
    Ctl("btRestoreWeb").SetEnabled(false);
    Ctl("btOpen").SetEnabled(false);
    if (restoreThread_.joinable())
        restoreThread_.join();
    restoring_ = true;
    try {
        restoreThread_ = std::thread([this] { RestoreThread(); });
    } catch (const std::exception&) {
        restoring_ = false;
        LogError("Create restore thread failed, please try again.");
    }
}

// The undo works from the newest deployment's own record (server kind,
// ports, how the server was launched), so it also works with the server
// stopped: the files are restored and the server is started again.
void CGuiWnd::RestoreThread() {
    restoreRunning_ = true;
    restoring_ = true;
    std::u16string outcome = std::u16string(result::kSucceed);
    try {
        RunOperation("CGuiWnd::RestoreThread", [&] {
            BeginExclusiveTask(u"undo");
            int32_t type = 0, httpPort = 0, httpsPort = 0;
            const auto record = NewestDeployment();
            if (record) {
                type = WebServerTypeOfKind(record->server.kind);
                httpPort = record->httpPort;
                httpsPort = record->httpsPort;
            } else {
                // A deployment recorded before deployments kept records.
                DeploymentSettings settings;
                try {
                    settings = ReadDeploymentSettings(DeploymentSettingsPath());
                } catch (const std::exception&) {
                    ThrowResult(result::kNothingToUndo);
                }
                type = settings.webServerType;
                httpPort = settings.httpPort;
                httpsPort = settings.httpsPort;
            }
            NewVantrel(type);
            try {
                InitSslService(centerUrl_, httpPort, httpsPort);
            } catch (const std::exception& e) {
                if (!IsResult(e, result::kPortNotListening))
                    throw;
                LogInfo("the web server is not running: the undo starts it again");
            }
            SslCertSrvBase* engine = Deployer();
            if (record)
                engine->UndoLastDeployment(undoForce_);
            else
                engine->RestoreWeb();
            ThrowSucceed();
        });
    } catch (const std::exception& e) {
        outcome = ResultOf(e);
        LogError(u"CGuiWnd::RestoreThread, %s", outcome);
    }
    std::vector<std::u16string> notes;
    {
        std::lock_guard lock(deployerLock_);
        notes = TakeEngineNotes();
    }
    if (outcome == result::kNothingToUndo)
        notes.push_back(u"There is no deployment to undo.");
    ShowNotes(notes);
    ShowResultText(
        true, Text(outcome == result::kSucceed ? "revokeConfigComplete" : "revokeConfigFailed"));
    serviceLock_.Release();
    {
        std::lock_guard lock(stateMutex_);
        lastUndoResult_ = outcome;
    }
    Ctl("lbPromptInfo").SetText(u"");
    restoring_ = false;
    restoreRunning_ = false;
}

// ------------------------------------------------------- exclusive tasks

void CGuiWnd::BeginExclusiveTask(std::u16string_view command) {
    std::u16string holder;
    if (!serviceLock_.Acquire(command, holder)) {
        {
            std::lock_guard lock(stateMutex_);
            pendingNotes_.push_back(u"Another run is working on " + ServiceDirectory() + u": " +
                                    holder + u". Nothing was changed.");
        }
        ThrowResult(result::kBusy);
    }
    const RecoveryOutcome recovery =
        RecoverUnfinishedDeployment([this](const std::u16string& kind) {
            std::unique_ptr<SslCertSrvBase> engine =
                factory_ ? factory_(WebServerTypeOfKind(kind)) : nullptr;
            if (engine && engineSetup_)
                engineSetup_(*engine);
            return engine;
        });
    if (!recovery.found)
        return;
    ShowNotes(recovery.lines);
    if (!recovery.complete)
        ThrowResult(result::kRestoreFailed);
}

bool CGuiWnd::RecoverInterruptedWork() {
    try {
        BeginExclusiveTask(u"status");
    } catch (const std::exception&) {
        ShowNotes(TakeEngineNotes());
        serviceLock_.Release();
        return false;
    }
    serviceLock_.Release();
    return true;
}

std::vector<std::u16string> CGuiWnd::TakeEngineNotes() {
    std::vector<std::u16string> notes;
    {
        std::lock_guard lock(stateMutex_);
        notes.swap(pendingNotes_);
    }
    std::lock_guard lock(deployerLock_);
    if (deployer_) {
        for (auto& note : deployer_->TakeUserNotes())
            notes.push_back(std::move(note));
    }
    return notes;
}

void CGuiWnd::ShowNotes(const std::vector<std::u16string>& notes) {
    if (notes.empty())
        return;
    std::u16string text = u"\n< " + Text("notes") + u"\n";
    for (const auto& note : notes)
        text += u"\n" + note;
    ShowResultText(true, text);
}

// ---------------------------------------------------------------- open site

void CGuiWnd::OpenSite() {
    LogTrace("");
    for (const char* name : {"btOpen", "btExe", "btRestoreWeb", "btExeCopy"})
        Ctl(name).SetEnabled(false);
    JoinFinishedOpenThreads();
    OpenThread open{std::thread(), std::make_unique<std::atomic<bool>>(false)};
    std::atomic<bool>* done = open.done.get();
    try {
        open.thread = std::thread(
            [this, addresses = SiteAddresses(), done] { OpenHttpsSite(addresses, done); });
        openThreads_.push_back(std::move(open));
    } catch (const std::exception& e) {
        LogError("CGuiWnd::OpenSite, cannot start the opening thread: %s", e.what());
    }
    // The buttons come back after a second, without holding up the window.
    SetTimer(kOpenSiteTimer, 1000, [this] {
        KillTimer(kOpenSiteTimer);
        for (const char* name : {"btOpen", "btExe", "btRestoreWeb", "btExeCopy"})
            Ctl(name).SetEnabled(true);
    });
}

void CGuiWnd::OpenHttpsSite(std::vector<std::u16string> addresses, std::atomic<bool>* done) {
    const bool display = HasDesktopDisplay();
    bool first = true;
    for (const std::u16string& address : addresses) {
        if (address.empty())
            continue;
        if (display) {
            // Addresses go to the desktop's opener (the default browser).
            ShellOpen(address, u"", u"", WindowMode::Shown);
        }
        LogInfo(u"OpenHttpsSite: %s", address);
        if (!display)
            continue;  // nothing was opened, so nothing to wait for
        if (!WaitUnlessClosing(first ? 3000 : 500))
            break;
        first = false;
    }
    if (!display)
        LogInfo("OpenHttpsSite: no display, the addresses were not opened");
    *done = true;
}

void CGuiWnd::JoinFinishedOpenThreads() {
    for (auto it = openThreads_.begin(); it != openThreads_.end();) {
        if (it->done->load()) {
            if (it->thread.joinable())
                it->thread.join();
            it = openThreads_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace qm
