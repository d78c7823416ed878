#include "app/renewalservice.h"

#include <chrono>
#include <thread>

#include "foundation/host/process_host.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"

namespace qm {

bool RenewalServiceRunning() {
    try {
        return host::QueryServiceState(kRenewalServiceName).running;
    } catch (const std::exception&) {
        return false;
    }
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

}  // namespace qm
