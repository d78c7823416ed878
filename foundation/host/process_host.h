// The host backend of process, service and port control. The portable layer
// (foundation/processmanager.cpp) adds the operation boundaries, the waiting
// loops and the result texts; these functions only ask or tell the system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/processmanager.h"

namespace qm::host {

enum class ListenerLookup {
    Found,            // `pid` holds the listener's process
    NotListening,     // nobody listens on the port
    TableUnreadable,  // the socket table could not be read
    HolderUnknown,    // a listener exists, but no visible process holds it
};
ListenerLookup FindListeningProcess(int port, ProcessId& pid);

// The executable's path; false (with the system's error number) when the
// process cannot be inspected.
bool ProcessImagePath(ProcessId pid, std::u16string& path, int& errorNumber);

std::u16string ServiceUnitOfProcess(ProcessId pid);

bool ProcessGone(ProcessId pid);

// Sends the reload request (SIGHUP); false when it cannot be delivered.
bool SendReload(ProcessId pid);
bool SendGracefulRestart(ProcessId pid);
bool SendTerminate(ProcessId pid);

// Sends the kill to the process and every descendant (which cannot fork any
// more while this runs). False when it could not be issued at all.
bool KillProcessTreeNow(ProcessId pid);

// The id of the running program itself.
ProcessId CurrentProcessId();

// Outcome of a start with a time limit.
enum class RunOutcome { NotStarted, Finished, TimedOut };
// `arguments` holds the program first. When it cannot start, `startFailure`
// says why.
RunOutcome RunWithTimeLimit(std::u16string_view directory,
                            const std::vector<std::u16string>& arguments, int timeoutMs,
                            std::string& startFailure);

// Runs a program to its end with a time limit, collecting its output (see
// RunAndCapture). False when it could not start or was killed.
bool RunCaptured(const std::vector<std::u16string>& arguments, int timeoutMs, std::string& output,
                 int& exitCode, const std::vector<std::u16string>* environment = nullptr);

// The "open" verb (see ShellOpen); returns a ShellOpen result.
int ShellOpen(std::u16string_view file, std::u16string_view parameters,
              std::u16string_view directory, WindowMode mode);

// Starts a program detached (see ShellOpen); returns a ShellOpen result.
int StartDetachedProcess(const ProcessLaunch& launch, ProcessId* startedPid);

std::optional<ProcessLaunch> ReadLaunch(ProcessId pid);

// ---- Services ----

struct ServiceStatus {
    enum class State { Stopped, StopPending, Running };
    State state = State::Running;
    int waitHintMs = 0;  // how long the manager expects the pending change to take
};

// One connection to the service manager. Every failure is raised as a plain
// text beginning "CProcessManager::StopService - ".
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    virtual ServiceStatus Query(std::u16string_view name) = 0;
    // Asks the service, and the services that depend on it, to stop.
    virtual void RequestStop(std::u16string_view name) = 0;
};

std::unique_ptr<ServiceManager> OpenServiceManager();

// The stopping procedure over any manager (the backend's, or a test's):
// nothing is sent to a stopped service; a stop already pending is waited
// for without a second request; otherwise the stop is requested and waited
// for. Time-outs count from the call.
void StopServiceWith(ServiceManager& manager, std::u16string_view name, int timeoutMs);

// ---- Registering a service of our own ----

struct ServiceDefinition {
    std::u16string name;                      // "tarnix"
    std::u16string description;               // one line
    std::u16string program;                   // absolute path of the executable
    std::vector<std::u16string> arguments;    // e.g. {u"run"}
    std::u16string workingDirectory;          // the service directory
    std::vector<std::u16string> environment;  // "NAME=value" entries the service needs
};

// Registers the service with the system's service manager, enables it and
// (re)starts it, so a re-registration runs the new program. Throws a result
// text saying why when there is no service manager, the definition cannot
// be registered or a step fails. A failed registration leaves nothing
// installed: a unit file written for it is removed again, or the one it
// replaced put back.
void RegisterService(const ServiceDefinition& service);

// Stops, disables and removes the service; one that is not installed is not
// an error. Throws a result text when a step fails.
void UnregisterService(std::u16string_view name);

// Whether the service is installed, and whether it runs (both false without
// a service manager). Throws a result text when the manager cannot be asked.
struct ServiceState {
    bool installed = false;
    bool running = false;
};
ServiceState QueryServiceState(std::u16string_view name);

// ---- Running as a service ----

// Runs `body` as the service `name` when the system's service manager
// started this program: the manager is told the service runs, a stop or
// shutdown request interrupts the program (see InterruptThisProcess) so
// that `body` ends at its next check, and the service is reported stopped
// with the exit code `body` returned (also placed in `exitCode`). Returns
// false at once when the manager did not start the program (it was started
// from a console; on POSIX always: systemd runs the program as it is).
bool RunAsService(std::u16string_view name, const std::function<int()>& body, int& exitCode);

}  // namespace qm::host
