// Process, service and port control: which process listens on a port, what
// it is and how it was started, stopping it (process tree or service), and
// starting programs, either detached ("open") or with a time limit.
// All operations are synchronous and keep no state between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

using ProcessId = std::uint32_t;

// The process that listens on the TCP port (IPv4, or IPv6 accepting IPv4 as
// well); 0 when none does, which still ends with "succeed". When several
// processes share the listening socket (a master and its workers), the
// master is returned: the process whose parent does not hold the socket.
// Fails with "undefined" when the socket table cannot be read, or when a
// listener exists but the process holding it cannot be seen.
void GetListeningPid(int port, ProcessId& pid);

class CPathTool {
public:
    // Full path of the process's executable; empty when it cannot be read
    // (a line saying why goes to standard output).
    static std::u16string ProcessPidToPath(ProcessId pid);
};

// True when the process belongs to a service run by the system's service
// manager (on POSIX: a systemd service unit).
bool IsServiceProcess(ProcessId pid);

// The service the process belongs to ("nginx.service"), empty when none.
std::u16string ServiceNameOfProcess(ProcessId pid);

// The id of the running program itself.
ProcessId CurrentProcessIdentifier();

// True when no living process has the id; a process that has ended but was
// not yet collected by its parent counts as gone.
bool IsProcessGone(ProcessId pid);

// Asks a server process to re-read its configuration the way daemons
// define it (SIGHUP on POSIX). False when the request cannot be delivered
// (no such process, not ours to signal, or no such request on this system).
bool SignalReload(ProcessId pid);
// Asks an Apache parent for a graceful restart (SIGUSR1 on POSIX): it
// re-reads its configuration and lets its children finish what they serve.
bool SignalGracefulRestart(ProcessId pid);
// Asks a process to end in order (SIGTERM on POSIX: a JVM runs its shutdown
// hooks). False when the request cannot be delivered.
bool SignalTerminate(ProcessId pid);

// Kills the process and all its descendants at once, then checks every
// second until the process is gone: "succeed", or the plain text
// "stop process timeout" after `timeoutMs`. "undefined" when the kill cannot
// be issued (including the ids of this program itself and of the system's
// first process, which are refused).
void KillProcessTree(ProcessId pid, int timeoutMs);

class CProcessManager {
public:
    // Stops the service together with the services that depend on it and
    // waits until it is stopped. Failures are plain texts beginning
    // "CProcessManager::StopService - ".
    static void StopService(std::u16string_view serviceName, int timeoutMs);
};

// Runs the command line (program and arguments, split as described at
// SplitCommandLine) without a terminal, in `directory` (the caller's own
// when empty), and waits up to `timeoutMs`. A program still running then is
// left running, with the Warn line "CreateProcess wait timeout!param is %s".
// A negative time-out waits without limit. False when the program could
// not be started. Its exit code is not read.
bool RunAndWait(std::u16string_view directory, std::u16string_view commandLine, int timeoutMs);

// Runs a program (`arguments` holds it first) to its end in our working
// directory, at most `timeoutMs`, collecting what it writes to standard
// output and error. True when it ran to its end, with its exit code in
// `exitCode`; false when it could not start or was killed at the time-out
// (`output` then says why, after anything it wrote).
bool RunAndCapture(const std::vector<std::u16string>& arguments, int timeoutMs, std::string& output,
                   int& exitCode);
// The same with the environment the program runs with ("NAME=value"
// entries, as a process launch holds them).
bool RunAndCaptureWith(const std::vector<std::u16string>& arguments,
                       const std::vector<std::u16string>& environment, int timeoutMs,
                       std::string& output, int& exitCode);

// ---- Starting programs without waiting ("open") ----

enum class WindowMode { Hidden, Shown };

// Results of ShellOpen and StartDetached: above kShellOpenFailureMax the
// program was started; at or below it the start failed, for this reason.
inline constexpr int kShellOpenFailureMax = 32;
inline constexpr int kShellOpenOutOfResources = 0;
inline constexpr int kShellOpenFileNotFound = 2;
inline constexpr int kShellOpenPathNotFound = 3;  // also: the working directory is missing
inline constexpr int kShellOpenAccessDenied = 5;
inline constexpr int kShellOpenOutOfMemory = 8;
inline constexpr int kShellOpenBadFormat = 11;
inline constexpr int kShellOpenNoAssociation = 31;  // nothing can open this document or address
inline constexpr int kShellOpenStarted = 42;

// Opens `file` as the desktop shell's "open" verb does: a program is started
// detached (its own session, no terminal, standard streams on the null
// device, none of our other files or sockets) with `parameters` (split as
// at SplitCommandLine) in `directory`; a document or an address
// ("https://...") is handed to the desktop's opener. Does not wait.
// A relative `file` is looked up in `directory` first, then, when it is a
// bare name, in the search path.
int ShellOpen(std::u16string_view file, std::u16string_view parameters,
              std::u16string_view directory, WindowMode mode);

// How a process was started, as the kernel keeps it: what a restart needs to
// start the program again exactly as it was started.
struct ProcessLaunch {
    std::u16string program;                   // the executable's path
    std::vector<std::u16string> arguments;    // the full argument vector, its name first
    std::u16string directory;                 // working directory
    std::vector<std::u16string> environment;  // "NAME=value", in order
    bool environmentKnown = false;            // false: start with our own environment
};

// The launch of a running process; nullopt when the process is gone or its
// command line cannot be read (kernel threads have none). A program that
// rewrites its process title shows that title as its command line (an
// nginx master reads "nginx: master process /usr/sbin/nginx -c ..." as one
// argument), and the environment it started with may be overwritten too;
// its restart must take the original arguments from the title.
std::optional<ProcessLaunch> ReadProcessLaunch(ProcessId pid);

// Starts the launch detached, like ShellOpen does a program, and does not
// wait. An empty `arguments` runs `program` with its name as only argument;
// an empty `directory` keeps ours. Returns a ShellOpen result; `startedPid`
// receives the new process's id when it started.
int StartDetached(const ProcessLaunch& launch, ProcessId* startedPid = nullptr);

// ---- Command-line texts ----

// Splits a command line into arguments by the rules Windows programs use:
// blanks and tabs separate arguments; double quotes group (a doubled quote
// inside quotes is a literal quote); backslashes are literal except before a
// double quote, where 2n backslashes give n and open or close quotes, and
// 2n+1 give n and a literal quote. So "C:\Program Files\x" and
// "/opt/web server/bin" stay one argument each when quoted.
std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);

// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::u16string QuoteCommandLineArgument(std::u16string_view argument);

// Joins arguments into a command line (each quoted when needed).
std::u16string JoinCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace qm
