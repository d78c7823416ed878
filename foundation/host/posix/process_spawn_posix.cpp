// Starting programs on POSIX: detached ("open"), with a time limit, and
// helper tools whose output we read.
//
// Detached programs and programs run with a time limit are started through
// an intermediate process that starts a new session and then forks the
// program: the program has no controlling terminal, is not in our process
// group (a Ctrl-C aimed at us does not reach a restarted web server), and
// becomes the child of the system's reaper when the intermediate exits, so
// it never lingers as a zombie of ours, whatever it outlives. It receives
// only standard streams on the null device: a restarted server must not
// hold our pipes, sockets or log files open.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace posix {

ExecPlan::ExecPlan(std::string path, std::vector<std::string> arguments,
                   const std::vector<std::string>* environment, std::string directory)
    : path_(std::move(path)), arguments_(std::move(arguments)), directory_(std::move(directory)) {
    if (environment) {
        environment_ = *environment;
    } else {
        for (char** entry = environ; entry && *entry; ++entry)
            environment_.emplace_back(*entry);
    }
    for (auto& a : arguments_)
        argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (auto& e : environment_)
        envp_.push_back(e.data());
    envp_.push_back(nullptr);
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        highestFd_ = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

namespace {

// Moves a descriptor out of the standard-stream range so that setting up
// streams 0-2 cannot overwrite it (possible when our own stdio is closed).
int LiftAboveStdio(int fd) {
    if (fd >= 0 && fd <= 2)
        return fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return fd;
}

[[noreturn]] void ReportAndExit(int reportFd, int kind, int value) {
    if (reportFd >= 0) {
        const ChildReport report{kind, value};
        const ssize_t written = write(reportFd, &report, sizeof report);
        (void)written;
    }
    _exit(127);
}

}  // namespace

void ExecInChild(const ExecPlan& plan, int stdinFd, int stdoutFd, int stderrFd, int reportFd) {
    // Only async-signal-safe calls from here on.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults;
    std::memset(&defaults, 0, sizeof defaults);
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &defaults, nullptr);  // ignored signals would stay ignored
    }

    reportFd = LiftAboveStdio(reportFd);
    int sources[3] = {LiftAboveStdio(stdinFd), LiftAboveStdio(stdoutFd), LiftAboveStdio(stderrFd)};
    int nullFd = -1;
    if (sources[0] < 0 || sources[1] < 0 || sources[2] < 0) {
        nullFd = LiftAboveStdio(open("/dev/null", O_RDWR | O_CLOEXEC));
        if (nullFd < 0)
            ReportAndExit(reportFd, kReportExecFailed, errno);
    }
    for (int i = 0; i < 3; ++i) {
        if (dup2(sources[i] >= 0 ? sources[i] : nullFd, i) < 0)
            ReportAndExit(reportFd, kReportExecFailed, errno);
    }
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd <= plan.highestFd(); ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (!plan.directory().empty() && chdir(plan.directory().c_str()) != 0)
        ReportAndExit(reportFd, kReportChdirFailed, errno);
    execve(plan.path().c_str(), plan.argv(), plan.envp());
    ReportAndExit(reportFd, kReportExecFailed, errno);
}

std::vector<ChildReport> ReadReports(int fd) {
    std::vector<ChildReport> reports;
    ChildReport report{};
    size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd, reinterpret_cast<char*>(&report) + have, sizeof report - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
        if (have == sizeof report) {
            reports.push_back(report);
            have = 0;
        }
    }
    return reports;
}

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void WaitForChild(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string FindExecutable(const std::string& name, const std::string& base) {
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos) {
        if (name.front() == '/' || base.empty())
            return name;
        return base + (base.back() == '/' ? "" : "/") + name;
    }
    const char* env = getenv("PATH");
    const std::string searchPath =
        (env && *env) ? env : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    size_t at = 0;
    while (at <= searchPath.size()) {
        size_t colon = searchPath.find(':', at);
        if (colon == std::string::npos)
            colon = searchPath.size();
        std::string dir = searchPath.substr(at, colon - at);
        at = colon + 1;
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + name;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return {};
}

int ShellOpenResultFor(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
            return kShellOpenFileNotFound;
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return kShellOpenPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return kShellOpenAccessDenied;
        case ENOMEM:
        case E2BIG:
            return kShellOpenOutOfMemory;
        case ENOEXEC:
        case ELIBBAD:
            return kShellOpenBadFormat;
        default:
            return kShellOpenOutOfResources;
    }
}

bool RunCapture(const std::vector<std::string>& arguments, int timeoutMs, std::string& output,
                int& exitStatus, const std::vector<std::string>* environment) {
    output.clear();
    exitStatus = -1;
    if (arguments.empty())
        return false;
    const std::string path = FindExecutable(arguments.front(), {});
    if (path.empty())
        return false;
    const ExecPlan plan(path, arguments, environment, {});
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        // A group of its own: a Ctrl-C at our terminal is ours to handle and
        // must not cut a helper tool short (a reload half sent, a test cut off).
        setpgid(0, 0);
        ExecInChild(plan, -1, pipeFds[1], pipeFds[1], -1);
    }
    close(pipeFds[1]);
    if (child < 0) {
        close(pipeFds[0]);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(child, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    WaitForChild(child, status);
    if (killed || !WIFEXITED(status))
        return false;
    exitStatus = WEXITSTATUS(status);
    return true;
}

}  // namespace posix

using posix::ChildReport;
using posix::ExecPlan;

namespace {

std::vector<std::string> Utf8All(const std::vector<std::u16string>& items) {
    std::vector<std::string> out;
    out.reserve(items.size());
    for (const auto& item : items)
        out.push_back(Utf8FromWide(item));
    return out;
}

struct StartFailure {
    int kind = 0;
    int errorNumber = 0;
};

// Starts the plan in a new session through an intermediate process that
// exits at once (detached) or after the program ends or the time runs out
// (`waitMs` >= 0; exit status 1 then means the time ran out).
// Returns the intermediate's exit status, or -1 when nothing was started.
// Closes the descriptors first..last in a forked child (async-signal-safe).
void CloseDescriptors(unsigned first, unsigned last, int highestFd) {
    if (first > last || close_range(first, last, 0) == 0)
        return;
    const unsigned end = std::min(last, static_cast<unsigned>(highestFd));
    for (unsigned fd = first; fd <= end; ++fd)
        close(static_cast<int>(fd));
}

int StartInNewSession(const ExecPlan& plan, int waitMs, ProcessId* startedPid,
                      StartFailure& failure) {
    int reportPipe[2];
    if (pipe2(reportPipe, O_CLOEXEC) != 0) {
        failure = {posix::kReportForkFailed, errno};
        return -1;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        // This copy may live as long as the time limit: it must not keep
        // pipes and sockets of our other threads open meanwhile.
        const int keep = reportPipe[1];
        CloseDescriptors(3, keep - 1, plan.highestFd());
        CloseDescriptors(keep + 1, ~0U, plan.highestFd());
        setsid();
        const pid_t program = fork();
        if (program < 0) {
            const ChildReport failed{posix::kReportForkFailed, errno};
            const ssize_t written = write(reportPipe[1], &failed, sizeof failed);
            (void)written;
            _exit(2);
        }
        if (program == 0)
            posix::ExecInChild(plan, -1, -1, -1, reportPipe[1]);
        const ChildReport started{posix::kReportStartedPid, program};
        const ssize_t written = write(reportPipe[1], &started, sizeof started);
        (void)written;
        close(reportPipe[1]);
        if (waitMs < 0)
            _exit(0);
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        long stepNs = 1000000;  // 1 ms, doubling up to 50 ms
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(program, &status, WNOHANG);
            if (done == program || (done < 0 && errno != EINTR))
                _exit(0);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long elapsedMs =
                (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
            if (elapsedMs >= waitMs)
                _exit(1);
            const long long leftNs = (waitMs - elapsedMs) * 1000000LL;
            const long long sleepNs = std::min<long long>(stepNs, leftNs);
            const timespec pause{static_cast<time_t>(sleepNs / 1000000000LL),
                                 static_cast<long>(sleepNs % 1000000000LL)};
            nanosleep(&pause, nullptr);
            stepNs = std::min(stepNs * 2, 50000000L);
        }
    }
    close(reportPipe[1]);
    if (middle < 0) {
        failure = {posix::kReportForkFailed, errno};
        close(reportPipe[0]);
        return -1;
    }
    const auto reports = posix::ReadReports(reportPipe[0]);
    close(reportPipe[0]);
    int status = 0;
    posix::WaitForChild(middle, status);
    pid_t program = 0;
    for (const auto& report : reports) {
        if (report.kind == posix::kReportStartedPid)
            program = report.value;
        else
            failure = {report.kind, report.value};
    }
    if (failure.kind != 0 || program <= 0) {
        if (failure.kind == 0)
            failure = {posix::kReportForkFailed, EAGAIN};
        return -1;
    }
    if (startedPid)
        *startedPid = static_cast<ProcessId>(program);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

int ResultForFailure(const StartFailure& failure) {
    switch (failure.kind) {
        case posix::kReportChdirFailed:
            return kShellOpenPathNotFound;
        case posix::kReportExecFailed:
            return posix::ShellOpenResultFor(failure.errorNumber);
        default:
            return kShellOpenOutOfResources;
    }
}

int StartPlanDetached(const ExecPlan& plan, ProcessId* startedPid) {
    StartFailure failure;
    if (StartInNewSession(plan, -1, startedPid, failure) < 0)
        return ResultForFailure(failure);
    return kShellOpenStarted;
}

bool IsAddress(const std::string& text) {
    const size_t colon = text.find("://");
    if (colon == std::string::npos || colon == 0)
        return false;
    return std::all_of(text.begin(), text.begin() + static_cast<long>(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// Documents, folders and addresses go to the desktop's opener.
int OpenWithDesktop(const std::string& target, const std::string& directory) {
    const std::string opener = posix::FindExecutable("xdg-open", {});
    if (opener.empty())
        return kShellOpenNoAssociation;
    const ExecPlan plan(opener, {opener, target}, nullptr, directory);
    return StartPlanDetached(plan, nullptr);
}

}  // namespace

int StartDetachedProcess(const ProcessLaunch& launch, ProcessId* startedPid) {
    const std::string program = Utf8FromWide(launch.program);
    const std::string directory = Utf8FromWide(launch.directory);
    if (!directory.empty() && !posix::IsDirectory(directory))
        return kShellOpenPathNotFound;
    const std::string path = posix::FindExecutable(program, {});
    if (path.empty())
        return kShellOpenFileNotFound;
    std::vector<std::string> arguments = Utf8All(launch.arguments);
    if (arguments.empty())
        arguments.push_back(program);
    const std::vector<std::string> environment = Utf8All(launch.environment);
    const ExecPlan plan(path, std::move(arguments),
                        launch.environmentKnown ? &environment : nullptr, directory);
    return StartPlanDetached(plan, startedPid);
}

int ShellOpen(std::u16string_view file, std::u16string_view parameters,
              std::u16string_view directory, WindowMode) {
    // Console programs have no window to show or hide here; a graphical
    // program opens its windows as it always does.
    const std::string name = Utf8FromWide(file);
    const std::string dir = Utf8FromWide(directory);
    if (name.empty())
        return kShellOpenFileNotFound;
    if (!dir.empty() && !posix::IsDirectory(dir))
        return kShellOpenPathNotFound;
    if (IsAddress(name))
        return OpenWithDesktop(name, dir);
    std::string path;
    if (name.find('/') != std::string::npos) {
        path = posix::FindExecutable(name, dir);
    } else if (!dir.empty() && access((dir + "/" + name).c_str(), F_OK) == 0) {
        path = dir + "/" + name;
    } else {
        path = posix::FindExecutable(name, {});
    }
    struct stat st {};
    if (path.empty())
        return kShellOpenFileNotFound;
    if (stat(path.c_str(), &st) != 0)
        return posix::ShellOpenResultFor(errno);
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && access(path.c_str(), X_OK) != 0))
        return OpenWithDesktop(path, dir);
    std::vector<std::string> arguments = {path};
    for (const auto& parameter : SplitCommandLine(parameters))
        arguments.push_back(Utf8FromWide(parameter));
    const ExecPlan plan(path, std::move(arguments), nullptr, dir);
    return StartPlanDetached(plan, nullptr);
}

RunOutcome RunWithTimeLimit(std::u16string_view directory,
                            const std::vector<std::u16string>& arguments, int timeoutMs,
                            std::string& startFailure) {
    startFailure.clear();
    if (arguments.empty() || arguments.front().empty()) {
        startFailure = "empty command line";
        return RunOutcome::NotStarted;
    }
    const std::string dir = Utf8FromWide(directory);
    if (!dir.empty() && !posix::IsDirectory(dir)) {
        startFailure = "working directory " + dir + " does not exist";
        return RunOutcome::NotStarted;
    }
    const std::string program = Utf8FromWide(arguments.front());
    const std::string path = posix::FindExecutable(program, {});
    if (path.empty()) {
        startFailure = program + " not found";
        return RunOutcome::NotStarted;
    }
    const ExecPlan plan(path, Utf8All(arguments), nullptr, dir);
    StartFailure failure;
    // A negative time-out waits without limit (as an infinite wait does elsewhere).
    const int waitMs = timeoutMs < 0 ? INT_MAX : timeoutMs;
    const int status = StartInNewSession(plan, waitMs, nullptr, failure);
    if (status < 0) {
        const char* what = failure.kind == posix::kReportChdirFailed ? "cannot enter " : "";
        startFailure = std::string(what) +
                       (failure.kind == posix::kReportChdirFailed ? dir : path) + ": " +
                       std::strerror(failure.errorNumber);
        return RunOutcome::NotStarted;
    }
    return status == 1 ? RunOutcome::TimedOut : RunOutcome::Finished;
}

}  // namespace qm::host
