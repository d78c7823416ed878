#include "foundation/processmanager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "foundation/host/process_host.h"
#include "foundation/operation.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

constexpr int kKillPollMs = 1000;
// Bounds of the sleep while a stop someone else requested is pending.
constexpr int kPendingPollMinMs = 1000;
constexpr int kPendingPollMaxMs = 10000;
// A manager that estimates no time for the stop must not make us spin.
constexpr int kStopPollMinMs = 100;

}  // namespace

void GetListeningPid(int port, ProcessId& pid) {
    pid = 0;
    RunOperation("GetListeningPid", [&] {
        if (port <= 0 || port > 65535)
            ThrowSucceed();  // nothing can listen there
        ProcessId found = 0;
        switch (host::FindListeningProcess(port, found)) {
            case host::ListenerLookup::Found:
                pid = found;
                break;
            case host::ListenerLookup::NotListening:
                break;
            case host::ListenerLookup::TableUnreadable:
                LogError("GetListeningPid: the system's TCP socket table cannot be read");
                ThrowResult(result::kUndefined);
            case host::ListenerLookup::HolderUnknown:
                LogError(
                    "GetListeningPid: port %d has a listener, but no process holding it can be "
                    "seen (it belongs to another user and this program lacks the rights, or to "
                    "another container)",
                    port);
                ThrowResult(result::kUndefined);
        }
        ThrowSucceed();
    });
}

std::u16string CPathTool::ProcessPidToPath(ProcessId pid) {
    std::u16string path;
    int errorNumber = 0;
    if (host::ProcessImagePath(pid, path, errorNumber))
        return path;
    std::printf("CPathTool::ProcessPidToPath - OpenProcess failed; ec: %d; pid: %u\n", errorNumber,
                static_cast<unsigned>(pid));
    std::fflush(stdout);
    return {};
}

bool IsServiceProcess(ProcessId pid) {
    return !host::ServiceUnitOfProcess(pid).empty();
}

std::u16string ServiceNameOfProcess(ProcessId pid) {
    return host::ServiceUnitOfProcess(pid);
}

bool IsProcessGone(ProcessId pid) {
    return host::ProcessGone(pid);
}

ProcessId CurrentProcessIdentifier() {
    return host::CurrentProcessId();
}

bool SignalReload(ProcessId pid) {
    if (pid == 0 || pid == host::CurrentProcessId())
        return false;
    return host::SendReload(pid);
}

bool SignalGracefulRestart(ProcessId pid) {
    if (pid == 0 || pid == host::CurrentProcessId())
        return false;
    return host::SendGracefulRestart(pid);
}

bool SignalTerminate(ProcessId pid) {
    if (pid == 0 || pid == host::CurrentProcessId())
        return false;
    return host::SendTerminate(pid);
}

void KillProcessTree(ProcessId pid, int timeoutMs) {
    RunOperation("KillProcessTree",
                 [&] {
                     // Id 0 means no process, the first process takes the whole system
                     // with it, and this program must survive to report and restart.
                     if (pid == 0 || pid == 1 || pid == host::CurrentProcessId()) {
                         LogError("KillProcessTree: refusing to kill process %u", pid);
                         ThrowResult(result::kUndefined);
                     }
                     if (!host::KillProcessTreeNow(pid)) {
                         LogError("KillProcessTree: cannot kill process %u", pid);
                         ThrowResult(result::kUndefined);
                     }
                     LogInfo("KillProcessTree: killed process %u and its descendants", pid);
                     const auto start = Clock::now();
                     for (;;) {
                         // Gone is checked before the time: a process that ended in
                         // time is never reported as a time-out.
                         if (host::ProcessGone(pid))
                             ThrowSucceed();
                         if (ElapsedMs(start) >= timeoutMs)
                             ThrowResult(result::kStopProcessTimeout);
                         SleepMs(kKillPollMs);
                     }
                 },
                 {.logFailure = true});
}

namespace host {

void StopServiceWith(ServiceManager& manager, std::u16string_view name, int timeoutMs) {
    const auto start = Clock::now();
    using State = ServiceStatus::State;
    ServiceStatus status = manager.Query(name);
    if (status.state == State::Stopped)
        return;
    while (status.state == State::StopPending) {
        SleepMs(std::clamp(status.waitHintMs / 10, kPendingPollMinMs, kPendingPollMaxMs));
        status = manager.Query(name);
        if (status.state == State::Stopped)
            return;
        if (ElapsedMs(start) > timeoutMs)
            ThrowResult(u"%s", u"CProcessManager::StopService - Service stop timed out.\n");
    }
    manager.RequestStop(name);
    for (;;) {
        SleepMs(std::max(status.waitHintMs, kStopPollMinMs));
        status = manager.Query(name);
        if (status.state == State::Stopped)
            return;
        if (ElapsedMs(start) > timeoutMs)
            ThrowResult(u"%s", u"CProcessManager::StopService - Wait timed out\n");
    }
}

}  // namespace host

void CProcessManager::StopService(std::u16string_view serviceName, int timeoutMs) {
    RunOperation("CProcessManager::StopService",
                 [&] {
                     const auto manager = host::OpenServiceManager();
                     host::StopServiceWith(*manager, serviceName, timeoutMs);
                     ThrowSucceed();
                 },
                 {.logFailure = true});
}

bool RunAndWait(std::u16string_view directory, std::u16string_view commandLine, int timeoutMs) {
    std::string failure;
    switch (host::RunWithTimeLimit(directory, SplitCommandLine(commandLine), timeoutMs, failure)) {
        case host::RunOutcome::NotStarted:
            LogError(u"RunAndWait: cannot start %s: %s", commandLine, failure);
            return false;
        case host::RunOutcome::TimedOut:
            LogWarn(u"CreateProcess wait timeout!param is %s", commandLine);
            return true;
        case host::RunOutcome::Finished:
            break;
    }
    return true;
}

namespace {

bool RunAndCaptureIn(const std::vector<std::u16string>& arguments,
                     const std::vector<std::u16string>* environment, int timeoutMs,
                     std::string& output, int& exitCode) {
    exitCode = -1;
    output.clear();
    if (arguments.empty() || arguments.front().empty()) {
        output = "empty command line";
        return false;
    }
    if (host::RunCaptured(arguments, timeoutMs, output, exitCode, environment))
        return true;
    LogWarn(u"RunAndCapture: %s did not run to its end", JoinCommandLine(arguments));
    return false;
}

}  // namespace

bool RunAndCapture(const std::vector<std::u16string>& arguments, int timeoutMs, std::string& output,
                   int& exitCode) {
    return RunAndCaptureIn(arguments, nullptr, timeoutMs, output, exitCode);
}

bool RunAndCaptureWith(const std::vector<std::u16string>& arguments,
                       const std::vector<std::u16string>& environment, int timeoutMs,
                       std::string& output, int& exitCode) {
    return RunAndCaptureIn(arguments, &environment, timeoutMs, output, exitCode);
}

int ShellOpen(std::u16string_view file, std::u16string_view parameters,
              std::u16string_view directory, WindowMode mode) {
    const int result = host::ShellOpen(file, parameters, directory, mode);
    if (result <= kShellOpenFailureMax)
        LogWarn(u"ShellOpen: cannot open %s in \"%s\" (%d)", file, directory, result);
    return result;
}

std::optional<ProcessLaunch> ReadProcessLaunch(ProcessId pid) {
    return host::ReadLaunch(pid);
}

int StartDetached(const ProcessLaunch& launch, ProcessId* startedPid) {
    if (startedPid)
        *startedPid = 0;
    if (launch.program.empty())
        return kShellOpenFileNotFound;
    const int result = host::StartDetachedProcess(launch, startedPid);
    if (result <= kShellOpenFailureMax)
        LogWarn(u"StartDetached: cannot start %s (%d)", launch.program, result);
    return result;
}

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
    std::vector<std::u16string> arguments;
    std::u16string current;
    bool inArgument = false;
    bool inQuotes = false;
    size_t i = 0;
    while (i < line.size()) {
        const char16_t c = line[i];
        if ((c == u' ' || c == u'\t') && !inQuotes) {
            if (inArgument)
                arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == u'\\') {
            size_t end = i;
            while (end < line.size() && line[end] == u'\\')
                ++end;
            const size_t count = end - i;
            if (end < line.size() && line[end] == u'"') {
                current.append(count / 2, u'\\');
                if (count % 2 == 1) {
                    current.push_back(u'"');
                    ++end;
                }
            } else {
                current.append(count, u'\\');
            }
            i = end;
            continue;
        }
        if (c == u'"') {
            if (inQuotes && i + 1 < line.size() && line[i + 1] == u'"') {
                current.push_back(u'"');
                i += 2;
                continue;
            }
            inQuotes = !inQuotes;
            ++i;
            continue;
        }
        current.push_back(c);
        ++i;
    }
    if (inArgument)
        arguments.push_back(std::move(current));
    return arguments;
}

std::u16string QuoteCommandLineArgument(std::u16string_view argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string_view::npos)
        return std::u16string(argument);
    std::u16string quoted = u"\"";
    size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') {
            quoted.append(backslashes * 2 + 1, u'\\');
        } else {
            quoted.append(backslashes, u'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, u'\\');
    quoted.push_back(u'"');
    return quoted;
}

std::u16string JoinCommandLine(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (const auto& argument : arguments) {
        if (!line.empty())
            line.push_back(u' ');
        line += QuoteCommandLineArgument(argument);
    }
    return line;
}

}  // namespace qm
