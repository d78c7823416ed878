// Shared pieces of the POSIX process backend: reading /proc and starting
// child programs safely from a program that runs threads.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qm::host::posix {

// ---- /proc ----

// Whole contents of a /proc file (they report size 0, so read to the end).
bool ReadProcFile(const std::string& path, std::string& contents);

struct ProcStat {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = '?';  // R, S, D, Z (ended, not collected), T, X, ...
};
// Fields of /proc/PID/stat; nullopt when the process does not exist.
std::optional<ProcStat> ReadProcStat(pid_t pid);
// Parses the text of /proc/PID/stat (the name may hold blanks and ")").
std::optional<ProcStat> ParseProcStat(const std::string& text);

// Every process the system shows (thread-group leaders), in /proc order.
std::vector<pid_t> ListProcesses();

// The system service unit named by a /proc/PID/cgroup text; empty when the
// process runs in none.
std::string ServiceUnitFromCgroup(const std::string& cgroupText);

// Ids below 1 or beyond pid_t cannot name a single process: kill(2) reads
// them as process groups or "everyone".
bool IsSingleProcessId(unsigned long long pid);

// ---- Starting programs ----

// Everything a forked child needs, built before the fork: between fork() and
// exec() in a program with threads only async-signal-safe calls are allowed.
class ExecPlan {
public:
    ExecPlan(std::string path, std::vector<std::string> arguments,
             const std::vector<std::string>* environment, std::string directory);
    ExecPlan(const ExecPlan&) = delete;
    ExecPlan& operator=(const ExecPlan&) = delete;

    const std::string& path() const { return path_; }
    const std::string& directory() const { return directory_; }
    char* const* argv() const { return argv_.data(); }
    char* const* envp() const { return envp_.data(); }
    int highestFd() const { return highestFd_; }

private:
    std::string path_;
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    std::string directory_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
    int highestFd_ = 1024;
};

// Messages a forked child sends back through a close-on-exec pipe; reading
// end-of-file without an error message means the program was started.
struct ChildReport {
    int kind;
    int value;
};
inline constexpr int kReportExecFailed = 1;   // value: errno of execve
inline constexpr int kReportChdirFailed = 2;  // value: errno of chdir
inline constexpr int kReportForkFailed = 3;   // value: errno of fork
inline constexpr int kReportStartedPid = 4;   // value: the program's pid

// In a freshly forked child: default signal handling, nothing blocked,
// standard streams from the given descriptors (-1: the null device), every
// other descriptor closed on exec, the working directory, then execve.
// Failures are reported on `reportFd` (may be -1). Never returns.
[[noreturn]] void ExecInChild(const ExecPlan& plan, int stdinFd, int stdoutFd, int stderrFd,
                              int reportFd);

// Reads child reports until every writer has closed the pipe.
std::vector<ChildReport> ReadReports(int fd);

// Finds an executable: a name with a "/" as it is (relative to `base` when
// that is not empty and the name is relative), a bare name in $PATH.
// Empty when nothing executable is there.
std::string FindExecutable(const std::string& name, const std::string& base);

// Runs a helper program as a direct child, collecting its standard output
// and error, killing it after `timeoutMs`. False when it could not run or
// was killed; `exitStatus` is its exit code otherwise. `environment`
// (nullptr: ours) is the environment it runs with.
bool RunCapture(const std::vector<std::string>& arguments, int timeoutMs, std::string& output,
                int& exitStatus, const std::vector<std::string>* environment = nullptr);

// ShellOpen's result for a failed start with this errno.
int ShellOpenResultFor(int errorNumber);

// Whether systemd runs: the folder it checks for itself (sd_booted),
// QUILLMATE_SYSTEMD_RUNTIME when set (tests).
bool SystemdRunning();

// The value of `name` in the "NAME=value" lines of `systemctl show`; empty
// when it is not there.
std::string SystemdProperty(const std::string& output, const std::string& name);

}  // namespace qm::host::posix
