// CGuiWnd: the main window's state and behaviour over the control model -
// the two tabs, the notifications of its buttons, the close check, and the
// task driver that runs deployment, undo and site opening on worker threads
// and renders their progress and outcome in "txtResultData".
//
// The same object serves the graphical window, the command-line front end
// (which fills the same controls and presses the same buttons) and tests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/settingsfile.h"
#include "app/strings.h"
#include "deploy/acmesource.h"
#include "deploy/recovery.h"
#include "ui/skin.h"
#include "ui/window.h"

namespace qm {

class SslCertSrvBase;

// Web-server type indexes, in the order of the type options.
enum WebServerType : int32_t {
    kWebServerIIS = 0,
    kWebServerApache = 1,
    kWebServerTomcat = 2,
    kWebServerNginx = 3,
};

class CGuiWnd : public ui::Window, public ui::INotify {
public:
    // The most domains a deployment may be given: a name and its "www."
    // twin.
    static constexpr size_t kMaxTypedDomains = 2;

    // Work the window starts on threads of its own when it opens: the
    // version check and the start and click reports. Each gets the window
    // (WaitUnlessClosing paces it and tells it when to stop) and is waited
    // for when the window closes. Empty functions start nothing.
    struct BackgroundServices {
        std::function<void(CGuiWnd&)> checkVersion;
        std::function<void(CGuiWnd&)> reportStart;
        std::function<void(CGuiWnd&)> reportClicks;
    };

    // What the start-up version check found, handed to the version window.
    struct FoundVersion {
        bool newVersionKnown = false;
        std::u16string newVersion;
        std::u16string currentVersion;
        std::u16string description;
    };

    // The modal windows of "btCheckUpdate" and "btFeedback"; a front end
    // without them leaves the functions empty (the clicks are then logged).
    struct ChildWindows {
        std::function<void(CGuiWnd&)> openVersion;
        std::function<void(CGuiWnd&)> openFeedback;
    };

    // Creates the deployer for a type index; nullptr when there is none.
    using DeployerFactory = std::function<std::unique_ptr<SslCertSrvBase>(int32_t type)>;

    // Builds the controls of `skinFile` and loads the interface strings in
    // the current language. Raises the string loader's failures.
    CGuiWnd(ui::Backend& backend, std::u16string skinFile);
    // Asks the workers to stop and waits for them.
    ~CGuiWnd() override;

    const std::u16string& GetSkinFile() const { return skinFile_; }
    // The layout the controls were built from (a graphical backend draws it).
    const ui::SkinWindow& Layout() const { return layout_; }

    // The window-created hook: initial control states.
    void InitWindow();
    void Notify(const ui::Notification& msg) override;

    // ---- The task driver ----
    void OnExe();
    void OnRestoreWeb();
    void OpenSite();
    bool CanClose();
    void SwitchTab(int index);

    // ---- Set-up by the front end (before a task starts) ----
    void SetCertCenter(std::u16string url, std::u16string caFile);
    // The front end's choice of the certificate source: the ACME CA whose
    // directory is the center's URL (see deploy/acmesource.h), or, disabled,
    // the enrollment center. Without a choice the window asks its center
    // address whether it is an ACME directory (IsAcmeCenter). The deployment
    // settings remember the source.
    void SetAcmeSource(AcmeSource source) {
        acme_ = std::move(source);
        sourceChosen_ = true;
    }
    void SetDeployerFactory(DeployerFactory factory);
    // Whether the deferred request has been acknowledged (the progress
    // record's view by default).
    void SetDeferReceivedCheck(std::function<bool()> check);
    // Applied to every engine right after it is created (tests shorten the
    // polling of deferred requests with it).
    void SetEngineSetup(std::function<void(SslCertSrvBase&)> setup);
    // Takes the site list and ports of the last deployment from the
    // deployment settings and enables Open Site and Undo Deployment, so that
    // a deployment made in an earlier session can be opened and undone.
    // False when no deployment is recorded.
    bool LoadLastDeployment();
    // Before InitWindow.
    void SetBackgroundServices(BackgroundServices services);
    void SetChildWindows(ChildWindows windows);
    // The version-check thread's finding: the caption and colour of
    // "btCheckUpdate" follow it.
    void SetFoundVersion(FoundVersion found);
    FoundVersion GetFoundVersion() const;
    // For the self-update: stops the periodic workers (as closing does),
    // and tells whether any worker still runs. A deployment waiting for a
    // deferred certificate does not count.
    void BeginClosing();
    bool AnyWorkerBusy() const;
    // Sleeps up to `ms`; false when the window is closing.
    bool WaitUnlessClosing(int ms);
    // Takes `count` clicks off a counter once they have been reported.
    void ForgetReportedClicks(const std::string& counter, int count);
    // Undo restores files edited since the deployment too (the edited
    // versions are kept beside the records).
    void SetUndoForce(bool force) { undoForce_ = force; }
    // Finishes what an interrupted run left (a deployment rolled back, an
    // undo completed) before anything else, and shows what it found. False
    // when another run holds the service directory (shown as well).
    bool RecoverInterruptedWork();

    // ---- State for front ends and tests ----
    bool IsBusy() const { return busy_; }
    bool IsRestoring() const { return restoring_; }
    bool IsDeploymentRunning() const { return busy_ || executeRunning_; }
    bool IsUndoRunning() const { return restoring_ || restoreRunning_; }
    bool IsOpenRunning() const;
    std::u16string LastDeployResult() const;
    std::u16string LastUndoResult() const;
    std::vector<std::u16string> SiteList() const;
    int32_t GetHttpsPort() const { return httpsPort_; }
    // The server type of the recorded deployment (LoadLastDeployment).
    int32_t RecordedWebServerType() const { return recordedType_; }
    // "https://" + site + ":" + HTTPS port + "/" for every site.
    std::vector<std::u16string> SiteAddresses() const;
    int GetCurrentTab() const { return currentTab_; }
    int32_t GetCurrentStage() const { return currentStage_; }
    // True when the last task found no deployer for its server type.
    bool LastTaskHadNoDeployer() const { return missingDeployer_; }
    int ClickCount(const std::string& counter) const;
    const StringTable& Strings() const { return strings_; }
    const std::u16string& Text(std::string_view key) const { return strings_.Get(key); }

protected:
    bool OnClose() override;
    bool PreTranslateKey(ui::Key key, bool ctrl) override;

private:
    void GetSkinLan();
    void BuildControls();
    ui::Control& Ctl(std::string_view name) const;

    // Deployment.
    void ExecuteThread();
    void ClearTaskView();
    void ReadInputs();
    void ShowPortSettings();
    int32_t SelectedWebType() const;
    bool AnyWebTypeSelected() const;
    void NewVantrel(int32_t type);
    void DeleteVantrel();
    void InitSslService(const std::u16string& centerUrl, int32_t httpPort, int32_t httpsPort);
    // The certificate source when the front end chose none.
    void ChooseCertificateSource();
    void GetSitesInfo();
    // The typed domains without blanks, in lower case, once each and
    // without the local names; raises "Too many domain names" for more than
    // kMaxTypedDomains of them, "invalid domain." (the names kept for the
    // settings tab) for names of the wrong form - both before any name is
    // looked up - and for names that do not resolve.
    std::vector<std::u16string> CheckTypedDomains(const std::vector<std::u16string>& input);
    void BindCertToSite();
    void SaveConfig();
    void StartServiceW();
    // Takes the service directory's lock for the task and finishes what an
    // interrupted run left; raises "another deployment or undo is running".
    void BeginExclusiveTask(std::u16string_view command);
    // Lines for the operator under their own heading.
    void ShowNotes(const std::vector<std::u16string>& notes);
    std::vector<std::u16string> TakeEngineNotes();
    void ShowDomainInputResult(const std::u16string& resultText);
    void DisplayProcessResult(const std::u16string& resultText);
    void EnableInputs();
    void SetTaskButtons(bool enabled);

    // Progress.
    void UpdateThread();
    void UpdateTaskStep();
    void UpdateTaskStepLocked();

    // Close and undo.
    void DeferWaitThread();
    void RestoreThread();
    void OpenHttpsSite(std::vector<std::u16string> addresses, std::atomic<bool>* done);
    void StartBackgroundServices();
    // "opStatistics": the operator's consent to usage statistics, saved in
    // the deployment settings file.
    void ToggleStatistics();

    void ShowResultText(bool append, std::u16string_view text);
    SslCertSrvBase* Deployer() const;
    void JoinFinishedOpenThreads();
    void StopWorkers();

    const std::u16string skinFile_;
    ui::SkinWindow layout_;
    StringTable strings_;
    std::u16string centerUrl_;
    std::u16string centerCaFile_;
    AcmeSource acme_;
    bool sourceChosen_ = false;
    DeployerFactory factory_;
    std::function<bool()> deferReceived_;
    std::function<void(SslCertSrvBase&)> engineSetup_;

    // The deployer lock guards the engine while its stage is read or it is
    // destroyed; it is recursive because the deployment thread renders the
    // last step and deletes the engine under one hold.
    mutable std::recursive_mutex deployerLock_;
    std::unique_ptr<SslCertSrvBase> deployer_;

    mutable std::mutex stateMutex_;  // lists, texts and counters below
    std::vector<std::u16string> siteList_;
    std::vector<std::u16string> inputDomains_;
    std::u16string invalidDomains_;
    std::u16string lastDeployResult_;
    std::u16string lastUndoResult_;
    std::map<std::string, int> clickCounters_;
    ExpiryDate certExpireTime_;

    std::atomic<int32_t> httpPort_{80};
    std::atomic<int32_t> httpsPort_{443};
    std::atomic<int32_t> certType_{1};
    std::atomic<int32_t> recordedType_{0};
    std::atomic<int> currentTab_{0};
    std::atomic<int32_t> lastShownStep_{0};
    std::atomic<int32_t> currentStage_{0};
    std::atomic<bool> deferSeen_{false};
    // The renewal service runs after the last deployment (what its result says).
    std::atomic<bool> renewalRunning_{false};
    std::atomic<bool> closeWaiting_{false};
    std::atomic<bool> restoring_{false};
    std::atomic<bool> busy_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> executeRunning_{false};
    std::atomic<bool> progressRunning_{false};
    std::atomic<bool> restoreRunning_{false};
    std::atomic<bool> deferWaitRunning_{false};
    std::atomic<bool> missingDeployer_{false};
    std::atomic<bool> undoForce_{false};
    // Held by the running deployment or undo.
    ServiceLock serviceLock_;
    std::vector<std::u16string> pendingNotes_;  // guarded by stateMutex_

    std::mutex closingMutex_;  // wakes sleeping workers when closing
    std::condition_variable closingWake_;

    std::thread progressThread_;
    std::thread executeThread_;
    std::thread restoreThread_;
    std::thread deferWaitThread_;
    BackgroundServices services_;
    ChildWindows childWindows_;
    FoundVersion foundVersion_;  // guarded by stateMutex_
    std::atomic<int> servicesRunning_{0};
    std::atomic<bool> statisticsOn_{true};
    std::vector<std::thread> serviceThreads_;
    struct OpenThread {
        std::thread thread;
        std::unique_ptr<std::atomic<bool>> done;
    };
    std::vector<OpenThread> openThreads_;
};

}  // namespace qm
