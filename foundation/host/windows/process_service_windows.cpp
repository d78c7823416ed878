// Services on Windows: the service control manager. The failure texts keep
// the names of the Win32 steps, with the system's error number in the
// parentheses, so that an operator's log reads the same on every system.
#include "foundation/host/windows/win32util.h"

#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/host/process_host.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

// How long the services that depend on one may take to stop before the
// stop of the one itself is asked for (it is refused while they run).
constexpr int kDependentsStopMs = 30000;
constexpr int kDependentsPollMs = 200;

[[noreturn]] void Fail(const char* step, DWORD error) {
    ThrowResult(u"%s", u"CProcessManager::StopService - " + WideFromAscii(step) + u" failed (" +
                           WideFromAscii(std::to_string(error)) + u")\n");
}

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

DWORD CurrentState(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

// A stop that finds the service stopped, or stopping already, has nothing
// left to ask.
bool StopRefusedHarmlessly(SC_HANDLE service, DWORD error) {
    return error == ERROR_SERVICE_NOT_ACTIVE || (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                                                 CurrentState(service) == SERVICE_STOP_PENDING);
}

class ScmServiceManager : public ServiceManager {
public:
    explicit ScmServiceManager(ServiceHandle manager) : manager_(std::move(manager)) {}

    ServiceStatus Query(std::u16string_view name) override {
        const ServiceHandle service(Open(name, SERVICE_QUERY_STATUS));
        SERVICE_STATUS_PROCESS raw{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&raw), sizeof raw, &needed)) {
            Fail("QueryServiceStatusEx", GetLastError());
        }
        ServiceStatus status;
        status.waitHintMs = static_cast<int>(std::min<DWORD>(raw.dwWaitHint, 600000));
        switch (raw.dwCurrentState) {
            case SERVICE_STOPPED:
                status.state = ServiceStatus::State::Stopped;
                break;
            case SERVICE_STOP_PENDING:
                status.state = ServiceStatus::State::StopPending;
                break;
            default:  // running, starting, paused: all must be stopped
                status.state = ServiceStatus::State::Running;
                break;
        }
        return status;
    }

    // The manager refuses to stop a service while services that depend on
    // it run, so those are stopped first and waited for (briefly: the
    // caller's time limit governs the wait for the service itself).
    void RequestStop(std::u16string_view name) override {
        const ServiceHandle service(
            Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS));
        StopDependents(service.get());
        SERVICE_STATUS status{};
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = GetLastError();
            if (!StopRefusedHarmlessly(service.get(), error))
                Fail("ControlService", error);
        }
    }

private:
    SC_HANDLE Open(std::u16string_view name, DWORD access) {
        const std::u16string text(name);
        SC_HANDLE service = OpenServiceW(manager_.get(), W(text), access);
        if (service == nullptr)
            Fail("OpenService", GetLastError());
        return service;
    }

    void StopDependents(SC_HANDLE service) {
        DWORD needed = 0, count = 0;
        std::vector<unsigned char> buffer(4096);
        while (!EnumDependentServicesW(service, SERVICE_ACTIVE,
                                       reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                                       static_cast<DWORD>(buffer.size()), &needed, &count)) {
            if (GetLastError() != ERROR_MORE_DATA || needed <= buffer.size())
                Fail("EnumDependentServices", GetLastError());
            buffer.resize(needed);
        }
        if (count == 0)
            return;
        // Listed in the order they should stop: the ones depending on
        // others first.
        const auto* dependents = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
        std::vector<ServiceHandle> stopping;
        for (DWORD i = 0; i < count; ++i) {
            ServiceHandle dependent(OpenServiceW(manager_.get(), dependents[i].lpServiceName,
                                                 SERVICE_STOP | SERVICE_QUERY_STATUS));
            if (!dependent)
                Fail("OpenService", GetLastError());
            SERVICE_STATUS status{};
            if (!ControlService(dependent.get(), SERVICE_CONTROL_STOP, &status)) {
                const DWORD error = GetLastError();
                if (!StopRefusedHarmlessly(dependent.get(), error))
                    Fail("ControlService", error);
            }
            stopping.push_back(std::move(dependent));
        }
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDependentsStopMs);
        for (const auto& dependent : stopping) {
            for (;;) {
                const DWORD state = CurrentState(dependent.get());
                if (state == SERVICE_STOPPED || state == 0 ||
                    std::chrono::steady_clock::now() >= until) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(kDependentsPollMs));
            }
        }
    }

    ServiceHandle manager_;
};

}  // namespace

std::unique_ptr<ServiceManager> OpenServiceManager() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        Fail("OpenSCManager", GetLastError());
    return std::make_unique<ScmServiceManager>(std::move(manager));
}

}  // namespace qm::host
