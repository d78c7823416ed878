// Registering a service of our own with the service control manager: an
// own-process service started at boot, its description, its environment
// (the "Environment" value of its registry key, which the manager hands to
// the service process), then a (re)start. A failed registration is undone:
// a service created for it is deleted, the configuration it replaced is
// put back.
//
// The manager has no working directory for a service (it starts in the
// system folder); the definition's folder is checked to exist, and the
// program finds its folders through the environment it is given.
#include "foundation/host/windows/win32util.h"

#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "foundation/host/process_host.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

// A start or stop may take as long as the service says it needs; this is
// the most we wait for either.
constexpr int kServiceWaitTimeoutMs = 120000;
// How long a removal waits for the manager to let go of the name.
constexpr int kRemovalWaitMs = 10000;
// Restarts after a failure, as the POSIX unit's Restart=on-failure does.
constexpr DWORD kRestartDelayMs = 30000;
constexpr DWORD kFailureCountResetSeconds = 24 * 3600;

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// "CreateServiceW failed (5: Access is denied)".
std::u16string StepFailure(const char* step, DWORD error) {
    return WideFromAscii(step) + u" failed (" + WideFromAscii(std::to_string(error)) + u": " +
           Win32ErrorText(error) + u")";
}

// The manager's own limits: up to 256 characters, no slashes.
bool IsValidServiceName(std::u16string_view name) {
    return !name.empty() && name.size() <= 256 &&
           name.find_first_of(u"/\\") == std::u16string_view::npos;
}

bool IsAbsolute(const std::u16string& path) {
    return (path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/')) ||
           path.starts_with(u"\\\\");
}

bool IsFile(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring RegistryPathOf(std::u16string_view name) {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(name);
}

// The program quoted whatever it holds (an unquoted path with blanks is
// read up to the first blank, and may start another program), then its
// arguments.
std::wstring BinaryPath(const std::u16string& program,
                        const std::vector<std::u16string>& arguments) {
    std::wstring path = L"\"" + Wide(program) + L"\"";
    for (const auto& argument : arguments)
        path += L" " + QuoteArgument(Wide(argument));
    return path;
}

// REG_MULTI_SZ: each entry ended by a NUL, the list by another.
std::vector<wchar_t> MultiString(const std::vector<std::u16string>& entries) {
    std::vector<wchar_t> value;
    for (const auto& entry : entries) {
        const std::wstring wide = Wide(entry);
        value.insert(value.end(), wide.begin(), wide.end());
        value.push_back(L'\0');
    }
    if (value.empty())
        value.push_back(L'\0');
    value.push_back(L'\0');
    return value;
}

// The service's "Environment" value, raw; nullopt when it has none.
std::optional<std::vector<unsigned char>> ReadEnvironmentValue(HKEY key) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"Environment", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<unsigned char> bytes(size);
    if (RegQueryValueExW(key, L"Environment", nullptr, &type, bytes.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

// Sets (or, for no entries, removes) the value; 0 or the system error.
LONG WriteEnvironmentValue(HKEY key, const std::optional<std::vector<unsigned char>>& bytes) {
    if (!bytes) {
        const LONG error = RegDeleteValueW(key, L"Environment");
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    return RegSetValueExW(key, L"Environment", 0, REG_MULTI_SZ, bytes->data(),
                          static_cast<DWORD>(bytes->size()));
}

SERVICE_STATUS_PROCESS StatusOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
        status.dwCurrentState = 0;
    }
    return status;
}

// Waits while the service is in `pending`; its state at the end.
SERVICE_STATUS_PROCESS WaitWhile(SC_HANDLE service, DWORD pending, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    SERVICE_STATUS_PROCESS status = StatusOf(service);
    while (status.dwCurrentState == pending && std::chrono::steady_clock::now() < until) {
        const DWORD pause = std::clamp<DWORD>(status.dwWaitHint / 10, 100, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        status = StatusOf(service);
    }
    return status;
}

// Stops the service and waits until it has; empty, or why not. One still
// starting cannot take the request yet, so its start is waited for first.
std::u16string StopAndWait(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status =
        WaitWhile(service, SERVICE_START_PENDING, kServiceWaitTimeoutMs);
    if (status.dwCurrentState == SERVICE_STOPPED)
        return {};
    if (status.dwCurrentState != SERVICE_STOP_PENDING) {
        SERVICE_STATUS ignored{};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_NOT_ACTIVE)
                return StepFailure("ControlService", error);
        }
        // The state may read "running" for a moment after the request.
        WaitWhile(service, SERVICE_RUNNING, 5000);
    }
    status = WaitWhile(service, SERVICE_STOP_PENDING, kServiceWaitTimeoutMs);
    if (status.dwCurrentState != SERVICE_STOPPED)
        return u"the service did not stop within " +
               WideFromAscii(std::to_string(kServiceWaitTimeoutMs / 1000)) + u" s";
    return {};
}

// Starts the service and waits until it runs; empty, or why not.
std::u16string StartAndWait(SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return StepFailure("StartServiceW", GetLastError());
    const SERVICE_STATUS_PROCESS status =
        WaitWhile(service, SERVICE_START_PENDING, kServiceWaitTimeoutMs);
    if (status.dwCurrentState == SERVICE_RUNNING)
        return {};
    if (status.dwCurrentState == SERVICE_STOPPED) {
        const DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                               ? status.dwServiceSpecificExitCode
                               : status.dwWin32ExitCode;
        return u"the service stopped as it started (exit code " +
               WideFromAscii(std::to_string(code)) + u")";
    }
    return u"the service did not start within " +
           WideFromAscii(std::to_string(kServiceWaitTimeoutMs / 1000)) + u" s";
}

// The present configuration of an existing service, to put back.
struct Previous {
    std::vector<unsigned char> config;  // QUERY_SERVICE_CONFIGW and its strings
    std::vector<unsigned char> description;
    std::optional<std::vector<unsigned char>> environment;
    bool running = false;
};

bool ReadPrevious(SC_HANDLE service, HKEY key, Previous& previous) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    previous.config.resize(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
    if (!QueryServiceConfigW(service,
                             reinterpret_cast<QUERY_SERVICE_CONFIGW*>(previous.config.data()),
                             static_cast<DWORD>(previous.config.size()), &needed)) {
        return false;
    }
    needed = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    previous.description.resize(std::max<DWORD>(needed, sizeof(SERVICE_DESCRIPTIONW)));
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, previous.description.data(),
                              static_cast<DWORD>(previous.description.size()), &needed)) {
        previous.description.clear();
    }
    previous.environment = ReadEnvironmentValue(key);
    const DWORD state = StatusOf(service).dwCurrentState;
    previous.running = state != SERVICE_STOPPED && state != 0;
    return true;
}

bool PutBack(SC_HANDLE service, HKEY key, Previous& previous) {
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(previous.config.data());
    bool ok = ChangeServiceConfigW(service, config->dwServiceType, config->dwStartType,
                                   config->dwErrorControl, config->lpBinaryPathName,
                                   config->lpLoadOrderGroup, nullptr, config->lpDependencies,
                                   nullptr, nullptr, config->lpDisplayName) != FALSE;
    if (!previous.description.empty())
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, previous.description.data());
    ok = WriteEnvironmentValue(key, previous.environment) == ERROR_SUCCESS && ok;
    if (ok && previous.running)
        StartServiceW(service, 0, nullptr);
    return ok;
}

// A body that ends with a failure exit code, or a crash, is started again
// after a while. At best effort: the service runs without it.
void SetRestartOnFailure(SC_HANDLE service) {
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = kFailureCountResetSeconds;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
}

// The definition's problem, empty when it can be registered.
std::u16string CheckDefinition(ServiceDefinition& service) {
    if (!IsValidServiceName(service.name))
        return u"not a valid service name";
    if (!IsAbsolute(service.program))
        return u"the program must be an absolute path";
    if (!IsFile(service.program)) {
        if (!IsFile(service.program + u".exe"))
            return u"the program " + service.program + u" is not an executable file";
        service.program += u".exe";
    }
    if (!service.workingDirectory.empty() && !IsDirectory(service.workingDirectory))
        return u"the working directory " + service.workingDirectory + u" is not a folder";
    for (const auto& entry : service.environment) {
        const size_t equals = entry.find(u'=');
        if (equals == 0 || equals == std::u16string::npos)
            return u"\"" + entry + u"\" is not a NAME=value environment entry";
    }
    return {};
}

}  // namespace

void RegisterService(const ServiceDefinition& definition) {
    ServiceDefinition service = definition;
    const std::u16string refused = u"the service " + service.name + u" cannot be installed: ";
    if (const std::u16string problem = CheckDefinition(service); !problem.empty())
        ThrowResult(u"%s", refused + problem);

    ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        ThrowResult(u"%s", refused + StepFailure("OpenSCManagerW", GetLastError()));

    const std::wstring binaryPath = BinaryPath(service.program, service.arguments);
    std::optional<Previous> previous;
    ServiceHandle handle(OpenServiceW(manager.get(), W(service.name), SERVICE_ALL_ACCESS));
    if (!handle && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        ThrowResult(u"%s", refused + StepFailure("OpenServiceW", GetLastError()));

    std::u16string failure;
    if (handle) {
        KeyHandle key;
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryPathOf(service.name).c_str(), 0,
                          KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS) {
            key.reset(opened);
        }
        previous.emplace();
        if (!key || !ReadPrevious(handle.get(), key.get(), *previous))
            ThrowResult(u"%s", refused + u"the present configuration cannot be read");
        if (!ChangeServiceConfigW(handle.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr, W(service.name))) {
            ThrowResult(u"%s", refused + StepFailure("ChangeServiceConfigW", GetLastError()));
        }
    } else {
        handle.reset(CreateServiceW(manager.get(), W(service.name), W(service.name),
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!handle)
            ThrowResult(u"%s", refused + StepFailure("CreateServiceW", GetLastError()));
    }

    // From here on a failure undoes what was done.
    std::u16string description = service.description;
    SERVICE_DESCRIPTIONW describe{W(description)};
    if (!ChangeServiceConfig2W(handle.get(), SERVICE_CONFIG_DESCRIPTION, &describe))
        failure = StepFailure("ChangeServiceConfig2W", GetLastError());
    if (failure.empty()) {
        SetRestartOnFailure(handle.get());
        HKEY opened = nullptr;
        const LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryPathOf(service.name).c_str(),
                                         0, KEY_SET_VALUE, &opened);
        if (error != ERROR_SUCCESS) {
            failure = StepFailure("RegOpenKeyExW", static_cast<DWORD>(error));
        } else {
            const KeyHandle key(opened);
            std::optional<std::vector<unsigned char>> value;
            if (!service.environment.empty()) {
                const std::vector<wchar_t> entries = MultiString(service.environment);
                const auto* bytes = reinterpret_cast<const unsigned char*>(entries.data());
                value.emplace(bytes, bytes + entries.size() * sizeof(wchar_t));
            }
            if (const LONG written = WriteEnvironmentValue(key.get(), value); written != 0)
                failure = StepFailure("RegSetValueExW", static_cast<DWORD>(written));
        }
    }
    // A restart, not a start: a service running already takes the program
    // and configuration just written.
    if (failure.empty())
        failure = StopAndWait(handle.get());
    if (failure.empty())
        failure = StartAndWait(handle.get());
    if (failure.empty())
        return;

    std::u16string done;
    if (!previous) {
        StopAndWait(handle.get());
        if (DeleteService(handle.get()) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
            done = u"; the service was removed again";
        else
            done = u"; the service could not be removed (" + Win32ErrorText(GetLastError()) + u")";
    } else {
        StopAndWait(handle.get());
        HKEY opened = nullptr;
        const bool keyOpen = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryPathOf(service.name).c_str(),
                                           0, KEY_SET_VALUE, &opened) == ERROR_SUCCESS;
        const KeyHandle key(keyOpen ? opened : nullptr);
        done = keyOpen && PutBack(handle.get(), key.get(), *previous)
                   ? u"; the previous configuration was put back"
                   : u"; the previous configuration could not be put back";
    }
    ThrowResult(u"%s", refused + failure + done);
}

namespace {

// Checks the name and connects to the manager to read or remove a service;
// failures are raised after `refused`.
ServiceHandle ConnectFor(std::u16string_view name, const std::u16string& refused) {
    if (!IsValidServiceName(name))
        ThrowResult(u"%s", refused + u"not a valid service name");
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        ThrowResult(u"%s", refused + StepFailure("OpenSCManagerW", GetLastError()));
    return manager;
}

}  // namespace

void UnregisterService(std::u16string_view name) {
    const std::u16string refused = u"the service " + std::u16string(name) + u" cannot be removed: ";
    ServiceHandle manager = ConnectFor(name, refused);
    const std::u16string text(name);
    ServiceHandle service(
        OpenServiceW(manager.get(), W(text), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return;
        ThrowResult(u"%s", refused + StepFailure("OpenServiceW", GetLastError()));
    }
    if (const std::u16string failure = StopAndWait(service.get()); !failure.empty())
        ThrowResult(u"%s", refused + failure);
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        ThrowResult(u"%s", refused + StepFailure("DeleteService", GetLastError()));
    // The manager removes it once the last handle to it is closed; until
    // then a service of the same name cannot be created, so a registration
    // that follows at once waits for that here. A handle another program
    // keeps open (a services console) leaves it marked, which is not an error.
    service.reset();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemovalWaitMs);
    while (std::chrono::steady_clock::now() < until) {
        const ServiceHandle still(OpenServiceW(manager.get(), W(text), SERVICE_QUERY_STATUS));
        if (!still)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

ServiceState QueryServiceState(std::u16string_view name) {
    const std::u16string refused =
        u"the state of the service " + std::u16string(name) + u" cannot be read: ";
    ServiceHandle manager = ConnectFor(name, refused);
    const std::u16string text(name);
    ServiceHandle service(OpenServiceW(manager.get(), W(text), SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return {};
        ThrowResult(u"%s", refused + StepFailure("OpenServiceW", GetLastError()));
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        ThrowResult(u"%s", refused + StepFailure("QueryServiceStatusEx", GetLastError()));
    }
    ServiceState state;
    state.installed = true;
    state.running = status.dwCurrentState == SERVICE_RUNNING;
    return state;
}

}  // namespace qm::host
