#include "tests/support/e2e/server_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"

extern char** environ;

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The guard: a shell whose parent exits at once, so that it outlives this
// process even when a time limit kills this process's whole tree. It waits
// on its end of a socket (descriptor 3). A normal teardown sends "done"
// first; when this process dies instead, the guard kills the processes of
// the executable (those of its own mount namespace when $3 is "ns") and
// removes the folder. `test -ef` compares what the /proc links point to
// without a program start per process. $1: the executable, $2: the folder.
constexpr const char* kGuardScript = R"sh(
(
    read -r word <&3
    [ "$word" = done ] && exit 0
    for pass in 1 2; do
        for p in /proc/[0-9]*; do
            if [ "$p/exe" -ef "$1" ]; then
                if [ "$3" != ns ] || [ "$p/ns/mnt" -ef /proc/self/ns/mnt ]; then
                    kill -9 "${p#/proc/}"
                fi
            fi
        done
        sleep 0.1
    done
    case "$2" in
    */quillmate-*.*/) rm -rf -- "$2" ;;
    esac
) </dev/null >/dev/null 2>&1 &
)sh";

// Starts the guard; returns this end of the connection to it.
int StartGuard(const std::string& executable, const std::string& root, bool ownMountNamespace) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair: " + std::string(std::strerror(errno)));
    // Above the standard descriptors, so that the guard's 3 is a real copy.
    const int guardEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    close(fds[1]);
    if (guardEnd < 0) {
        close(fds[0]);
        throw std::runtime_error("fcntl: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, guardEnd, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    std::vector<std::string> argv{
        "/bin/sh", "-c", kGuardScript, "sh", executable, root, ownMountNamespace ? "ns" : "any"};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(guardEnd);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start the guard process: " +
                                 std::string(std::strerror(rc)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        close(fds[0]);
        throw std::runtime_error("the guard process did not start");
    }
    return fds[0];
}

// Polls until `done` or `timeoutMs` has passed; whether it was done.
bool PollUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (!done()) {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

}  // namespace

void GuardedFolder::Create(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmate-" + name + ".XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    path_ = pattern + "/";
    if (chmod(path_.c_str(), 0755) != 0)
        throw std::runtime_error("cannot set the mode of " + path_ + ": " + std::strerror(errno));
}

void GuardedFolder::Guard(const std::string& executable, bool ownMountNamespace) {
    guard_ = StartGuard(executable, path_, ownMountNamespace);
}

void GuardedFolder::Remove() noexcept {
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
        path_.clear();
    }
    if (guard_ >= 0) {
        const char done[] = "done\n";
        send(guard_, done, sizeof done - 1, MSG_NOSIGNAL);
        close(guard_);
        guard_ = -1;
    }
}

std::string NamespaceOf(const std::string& pid, const char* kind) {
    std::error_code ec;
    const fs::path link = fs::read_symlink("/proc/" + pid + "/ns/" + kind, ec);
    return ec ? std::string() : link.string();
}

int ProcessOfPidFile(const std::string& pidFile, const std::string& executable,
                     bool ownMountNamespace) {
    if (executable.empty())
        return 0;
    const int pid = std::atoi(ReadTextFile(pidFile).c_str());
    // A stale pid file may name an unrelated process by now.
    if (!ProcessAlive(pid) || ExecutableOf(pid) != executable)
        return 0;
    if (ownMountNamespace && NamespaceOf(std::to_string(pid), "mnt") != NamespaceOf("self", "mnt"))
        return 0;
    return pid;
}

std::vector<int> ChildrenOf(int parent) {
    std::vector<int> pids;
    if (parent <= 0)
        return pids;
    for (int pid : AllProcessIds()) {
        if (ParentProcess(pid) == parent && ProcessAlive(pid))
            pids.push_back(pid);
    }
    return pids;
}

std::vector<int> ServerProcesses(int parent, const std::string& executable,
                                 bool ownMountNamespace) {
    std::vector<int> pids;
    if (parent <= 0 && executable.empty())
        return pids;
    const std::string ownMount = ownMountNamespace ? NamespaceOf("self", "mnt") : std::string();
    for (int pid : AllProcessIds()) {
        if (!ProcessAlive(pid))
            continue;
        const bool runsIt =
            !executable.empty() && ExecutableOf(pid) == executable &&
            (!ownMountNamespace || NamespaceOf(std::to_string(pid), "mnt") == ownMount);
        if (pid == parent || (parent > 0 && ParentProcess(pid) == parent) || runsIt)
            pids.push_back(pid);
    }
    return pids;
}

int RunToEnd(std::vector<std::string> argv, const std::vector<std::string>& args,
             std::string* output) {
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    const int rc = RunProgram(argv, text);
    if (output)
        *output = text;
    return rc;
}

void ThrowUnlessZero(int exitCode, const std::string& what, const std::string& output,
                     const std::function<std::string()>& errorLog) {
    if (exitCode != 0) {
        throw std::runtime_error(what + " (exit " + std::to_string(exitCode) + "):\n" + output +
                                 errorLog());
    }
}

void WaitToServe(const std::string& server, const std::vector<int>& ports, int timeoutMs,
                 const std::string& output, const std::function<int()>& mainPid,
                 const std::function<std::string()>& errorLog, const std::string& noMainProcess) {
    for (int port : ports) {
        if (!WaitForPort(port, timeoutMs))
            throw std::runtime_error(server + " does not listen on port " + std::to_string(port) +
                                     ":\n" + output + errorLog());
    }
    // Tests that compare main processes need the pid file and the process.
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (mainPid() == 0) {
        if (steady_clock::now() > deadline)
            throw std::runtime_error(server + " listens but " + noMainProcess + ":\n" + errorLog());
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void WaitForNewChild(const std::vector<int>& childrenBefore, int timeoutMs,
                     const std::function<int()>& mainPid, const std::function<bool()>& ready,
                     const std::string& failure, const std::function<std::string()>& errorLog) {
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        if (ready()) {
            for (int pid : ChildrenOf(mainPid())) {
                if (std::find(childrenBefore.begin(), childrenBefore.end(), pid) ==
                    childrenBefore.end())
                    return;
            }
        }
        if (steady_clock::now() > deadline)
            throw std::runtime_error(failure + ":\n" + errorLog());
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void EndProcesses(const std::function<std::vector<int>()>& processes, int graceMs,
                  const std::string& failure) {
    const auto gone = [&] { return processes().empty(); };
    if (PollUntil(gone, graceMs))
        return;
    for (int pid : processes())
        kill(pid, SIGKILL);
    if (!PollUntil(gone, 5000))
        throw std::runtime_error(failure);
}

std::string ReportOfAChildThatDied(const std::function<std::string()>& start, bool ownMounts) {
    int report[2];
    if (pipe(report) != 0)
        return {};
    const pid_t child = fork();
    if (child < 0)
        return {};
    if (child == 0) {
        close(report[0]);
        if (ownMounts && unshare(CLONE_NEWNS) != 0)
            _exit(2);
        try {
            const std::string root = start();
            if (write(report[1], root.data(), root.size()) != static_cast<ssize_t>(root.size()))
                _exit(3);
            _exit(0);
        } catch (...) {
            _exit(4);
        }
    }
    close(report[1]);
    std::string root;
    char buffer[512];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;)
        root.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return root;
}

bool RemovedSoon(const std::string& folder) {
    return PollUntil([&] { return !fs::exists(folder); }, 3000);
}

}  // namespace qm::e2e
