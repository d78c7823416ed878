#include "app/renewalservice.h"

#include <chrono>
#include <thread>

#include "app/settingsfile.h"
#include "foundation/files.h"
#include "foundation/host/process_host.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

bool RenewalServiceRunning() {
    try {
        return host::QueryServiceState(kRenewalServiceName).running;
    } catch (const std::exception&) {
        return false;
    }
}

std::string RenewalServiceStateText() {
    host::ServiceState state;
    try {
        state = host::QueryServiceState(kRenewalServiceName);
    } catch (const std::exception& e) {
        return "unknown (" + Utf8FromWide(ResultTextOf(e)) + ")";
    }
    return state.running     ? "running"
           : state.installed ? "installed, not running"
                             : "not installed (install it with \"vantrel /Service\")";
}

bool RestartRenewalService(const std::u16string& serviceDirectory) {
    // Is the service there at all? Opening the manager and querying the
    // unit tells; both fail with a text saying why when it is not.
    try {
        auto manager = host::OpenServiceManager();
        manager->Query(kRenewalServiceName);
    } catch (const std::exception& e) {
        std::u16string why = ResultTextOf(e);
        while (!why.empty() && (why.back() == u'\n' || why.back() == u'\r'))
            why.pop_back();
        LogInfo(u"StartServiceW, no renewal service installed, nothing to restart: %s", why);
        return false;
    }
    CProcessManager::StopService(kRenewalServiceName, 30000);
#ifdef _WIN32
    const std::u16string program = u"net";
    const std::u16string parameters = u"start " + std::u16string(kRenewalServiceName);
#else
    const std::u16string program = u"systemctl";
    const std::u16string parameters = u"start " + std::u16string(kRenewalServiceName);
#endif
    const int started = ShellOpen(program, parameters, serviceDirectory, WindowMode::Hidden);
    if (started <= kShellOpenFailureMax)
        LogWarn(u"StartServiceW, cannot run %s %s (%d)", program, parameters, started);
    LogInfo("complete: start korvane ssl service");
    // The promise of renewal is made only when the service really runs.
    for (int i = 0; i < 30; ++i) {
        if (RenewalServiceRunning())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    LogWarn(u"StartServiceW, the renewal service does not run");
    return false;
}

void InstallServiceComponent() {
    const std::u16string service = ServiceDirectory();
    const std::u16string program = GetProgramDirectory();
    const std::u16string vantrel(kRenewalProgramFile);
    MakeDirectoryTree(service);
    // 1, 2: stop and unregister what runs now.
    bool manager = false;
    try {
        const host::ServiceState state = host::QueryServiceState(kRenewalServiceName);
        manager = true;
        if (state.installed)
            host::UnregisterService(kRenewalServiceName);
    } catch (const std::exception& e) {
        LogWarn(u"InstallServiceComponent, the service cannot be stopped: %s", ResultTextOf(e));
    }
    // 3: the service directory's copies go.
    for (const char16_t* file : {u"Config/Trace.xml", u"Config/Backup/Backup.xml"})
        DeleteFileToRecycleBin(service + NativeSeparators(file));
    DeleteFileToRecycleBin(service + vantrel);
    DeleteDirectoryTree(service + NativeSeparators(u"Config/Backup"));
    DeleteDirectoryTree(service + u"RunLog");
    // 4: the program's current ones come.
    for (const char16_t* dir : {u"Config/", u"Config/Backup/", u"RunLog/"})
        MakeDirectoryTree(service + NativeSeparators(dir));
    for (const char16_t* file : {u"Config/Trace.xml", u"Config/Backup/Backup.xml"})
        CopyFileSilently(program + NativeSeparators(file), service + NativeSeparators(file));
    if (!CopyFileSilently(program + vantrel, service + vantrel))
        LogWarn(u"InstallServiceComponent, %s cannot be copied", program + vantrel);
    if (!FileExists(DeploymentSettingsPath()))
        CopyFileSilently(DeploymentSettingsTemplatePath(), DeploymentSettingsPath());
    // 5, 6: the copy registered and started.
    if (manager) {
        host::ServiceDefinition definition;
        definition.name = std::u16string(kRenewalServiceName);
        definition.description = u"Quillmate certificate renewal";
        definition.program = service + vantrel;
        definition.arguments = {u"run"};
        definition.workingDirectory = service;
        definition.environment = {u"VANTREL_HOME=" + service, u"QUILLMATE_HOME=" + service};
        try {
            host::RegisterService(definition);
        } catch (const std::exception& e) {
            LogWarn(u"InstallServiceComponent, the service cannot be registered: %s",
                    ResultTextOf(e));
        }
    }
    LogInfo("InstallServiceComponent finish!");
}

}  // namespace qm
