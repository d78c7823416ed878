// Running as a Windows service: the service control manager starts the
// program, which hands its main thread to the dispatcher; the manager then
// calls ServiceMain on a thread of its own, and our handler on the main
// thread. A stop or a system shutdown becomes an interrupt request, so the
// body finishes its current step and ends as it does after a Ctrl+C.
#include "foundation/host/windows/win32util.h"

#include <winsvc.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/host/process_host.h"
#include "foundation/interrupts.h"

namespace qm::host {

namespace {

// What the manager is told a start and a stop may take. A stop waits for
// the body's current step (a web server restart may take minutes), so its
// progress is reported again at every kStopProgressInterval.
constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 30000;
constexpr auto kStopProgressInterval = std::chrono::seconds(10);

struct ServiceRun {
    std::u16string name;
    const std::function<int()>* body = nullptr;
    int exitCode = 0;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    bool stopRequested = false;
    bool finished = false;
    std::mutex mutex;
    std::condition_variable changed;
};

// The dispatcher's callbacks take no context of ours but the handler's;
// one service runs per process.
ServiceRun* g_run = nullptr;

// With the run's mutex held.
void ReportLocked(ServiceRun& run, DWORD state, DWORD waitHint, int exitCode = 0) {
    run.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    run.status.dwCurrentState = state;
    run.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    run.status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    run.status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    run.status.dwCheckPoint = pending ? run.status.dwCheckPoint + 1 : 0;
    run.status.dwWaitHint = pending ? waitHint : 0;
    SetServiceStatus(run.handle, &run.status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID context) {
    auto& run = *static_cast<ServiceRun*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            {
                const std::lock_guard<std::mutex> lock(run.mutex);
                if (run.stopRequested || run.finished)
                    return NO_ERROR;
                run.stopRequested = true;
                ReportLocked(run, SERVICE_STOP_PENDING, kStopWaitHintMs);
            }
            run.changed.notify_all();
            InterruptThisProcess();
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    ServiceRun& run = *g_run;
    run.handle = RegisterServiceCtrlHandlerExW(W(run.name), Handler, &run);
    if (run.handle == nullptr) {
        run.exitCode = 1;  // nothing can be reported without a handle
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(run.mutex);
        ReportLocked(run, SERVICE_START_PENDING, kStartWaitHintMs);
        ReportLocked(run, SERVICE_RUNNING, 0);
    }
    // While a stop is pending, tells the manager the stop progresses: it
    // takes a service whose check point stands still for hung.
    std::thread progress([&run] {
        std::unique_lock<std::mutex> lock(run.mutex);
        while (!run.finished) {
            run.changed.wait_for(lock, kStopProgressInterval);
            if (run.stopRequested && !run.finished)
                ReportLocked(run, SERVICE_STOP_PENDING, kStopWaitHintMs);
        }
    });
    int exitCode = 1;
    try {
        exitCode = (*run.body)();
    } catch (...) {
        exitCode = 1;  // an escaped failure must still end the service properly
    }
    {
        const std::lock_guard<std::mutex> lock(run.mutex);
        run.finished = true;
    }
    run.changed.notify_all();
    progress.join();
    run.exitCode = exitCode;
    const std::lock_guard<std::mutex> lock(run.mutex);
    // Last word to the manager: it may end the process right after. An
    // exit code other than 0 starts the failure actions (a restart), which
    // must not undo a stop that was asked for.
    ReportLocked(run, SERVICE_STOPPED, 0, run.stopRequested ? 0 : exitCode);
}

}  // namespace

bool RunAsService(std::u16string_view name, const std::function<int()>& body, int& exitCode) {
    ServiceRun run;
    run.name = std::u16string(name);
    run.body = &body;
    g_run = &run;
    std::u16string tableName = run.name;
    SERVICE_TABLE_ENTRYW table[] = {{W(tableName), ServiceMain}, {nullptr, nullptr}};
    // Returns when the service has stopped; at once, with
    // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when the program was started
    // from a console rather than by the manager.
    const BOOL dispatched = StartServiceCtrlDispatcherW(table);
    g_run = nullptr;
    if (!dispatched)
        return false;
    exitCode = run.exitCode;
    return true;
}

}  // namespace qm::host
