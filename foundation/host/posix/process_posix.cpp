// Processes as Linux shows them in /proc: existence, parents, executables,
// how they were started, the systemd service they run in, and killing a
// whole process tree.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace posix {

bool ReadProcFile(const std::string& path, std::string& contents) {
    contents.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[8192];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            contents.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

std::optional<ProcStat> ParseProcStat(const std::string& text) {
    // "pid (name) state ppid ..."; the name may itself contain ") ".
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return std::nullopt;
    ProcStat stat;
    stat.pid = static_cast<pid_t>(std::atol(text.c_str()));
    stat.state = text[close + 2];
    const char* rest = text.c_str() + close + 3;
    char* end = nullptr;
    const long parent = std::strtol(rest, &end, 10);
    if (end == rest || stat.pid <= 0)
        return std::nullopt;
    stat.parent = static_cast<pid_t>(parent);
    return stat;
}

std::optional<ProcStat> ReadProcStat(pid_t pid) {
    std::string text;
    if (pid <= 0 || !ReadProcFile("/proc/" + std::to_string(pid) + "/stat", text))
        return std::nullopt;
    return ParseProcStat(text);
}

std::vector<pid_t> ListProcesses() {
    std::vector<pid_t> pids;
    DIR* dir = opendir("/proc");
    if (!dir)
        return pids;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        char* end = nullptr;
        const long pid = std::strtol(name, &end, 10);
        if (*end == '\0' && pid > 0 && pid <= INT_MAX)
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(dir);
    return pids;
}

bool IsSingleProcessId(unsigned long long pid) {
    return pid >= 1 && pid <= static_cast<unsigned long long>(INT_MAX);
}

}  // namespace posix

using posix::IsSingleProcessId;
using posix::ReadProcFile;

namespace {

std::string ProcPath(ProcessId pid, const char* item) {
    return "/proc/" + std::to_string(pid) + "/" + item;
}

bool ReadLink(const std::string& path, std::string& target) {
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The kernel marks a replaced or removed executable with this suffix; a
// package upgrade puts the new executable at the old path, which is the one
// a caller wants.
std::string WithoutDeletedMark(std::string path) {
    static const std::string kMark = " (deleted)";
    if (path.size() > kMark.size() &&
        path.compare(path.size() - kMark.size(), kMark.size(), kMark) == 0) {
        path.resize(path.size() - kMark.size());
    }
    return path;
}

std::vector<std::u16string> SplitAtNul(const std::string& bytes) {
    std::vector<std::u16string> items;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            end = bytes.size();
        items.push_back(WideFromUtf8(std::string_view(bytes).substr(start, end - start)));
        start = end + 1;
    }
    return items;
}

bool SystemdIsRunning() {
    struct stat st {};
    return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace posix {

// A process runs in a system service when the first unit of its systemd
// cgroup path (below the slices) is a ".service". Scopes (login sessions,
// containers) are not services, and "user@N.service" is a user's own
// service manager, not something the system's manager restarts.
std::string ServiceUnitFromCgroup(const std::string& cgroupText) {
    size_t lineStart = 0;
    while (lineStart < cgroupText.size()) {
        size_t lineEnd = cgroupText.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = cgroupText.size();
        const std::string line = cgroupText.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string hierarchy = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        if (!(hierarchy == "0" && controllers.empty()) && controllers != "name=systemd")
            continue;
        const std::string path = line.substr(second + 1);
        size_t at = 0;
        while (at < path.size()) {
            size_t slash = path.find('/', at);
            if (slash == std::string::npos)
                slash = path.size();
            const std::string segment = path.substr(at, slash - at);
            at = slash + 1;
            if (segment.empty())
                continue;
            auto endsWith = [&](const std::string& suffix) {
                return segment.size() > suffix.size() &&
                       segment.compare(segment.size() - suffix.size(), suffix.size(), suffix) == 0;
            };
            if (endsWith(".slice"))
                continue;
            if (endsWith(".service") && segment.rfind("user@", 0) != 0)
                return segment;
            break;
        }
    }
    return {};
}

}  // namespace posix

ProcessId CurrentProcessId() {
    return static_cast<ProcessId>(getpid());
}

bool ProcessGone(ProcessId pid) {
    if (!IsSingleProcessId(pid))
        return true;
    const auto stat = posix::ReadProcStat(static_cast<pid_t>(pid));
    return !stat || stat->state == 'Z' || stat->state == 'X';
}

bool ProcessImagePath(ProcessId pid, std::u16string& path, int& errorNumber) {
    path.clear();
    if (!IsSingleProcessId(pid)) {
        errorNumber = ESRCH;
        return false;
    }
    std::string target;
    if (!ReadLink(ProcPath(pid, "exe"), target)) {
        errorNumber = errno;
        return false;
    }
    path = WideFromUtf8(WithoutDeletedMark(target));
    return true;
}

std::u16string ServiceUnitOfProcess(ProcessId pid) {
    std::string cgroup;
    if (!IsSingleProcessId(pid) || !SystemdIsRunning() ||
        !ReadProcFile(ProcPath(pid, "cgroup"), cgroup)) {
        return {};
    }
    return WideFromUtf8(posix::ServiceUnitFromCgroup(cgroup));
}

bool RunCaptured(const std::vector<std::u16string>& arguments, int timeoutMs, std::string& output,
                 int& exitCode, const std::vector<std::u16string>* environment) {
    std::vector<std::string> narrow;
    for (const auto& argument : arguments)
        narrow.push_back(Utf8FromWide(argument));
    std::vector<std::string> narrowEnvironment;
    if (environment) {
        for (const auto& entry : *environment)
            narrowEnvironment.push_back(Utf8FromWide(entry));
    }
    const std::string path = posix::FindExecutable(narrow.front(), {});
    if (path.empty() || access(path.c_str(), X_OK) != 0) {
        output = narrow.front() + " not found";
        return false;
    }
    if (posix::RunCapture(narrow, std::max(timeoutMs, 0), output, exitCode,
                          environment ? &narrowEnvironment : nullptr))
        return true;
    output += "\n" + narrow.front() + " could not start or was killed after " +
              std::to_string(timeoutMs) + " ms";
    return false;
}

std::optional<ProcessLaunch> ReadLaunch(ProcessId pid) {
    if (!IsSingleProcessId(pid) || ProcessGone(pid))
        return std::nullopt;
    std::string bytes;
    if (!ReadProcFile(ProcPath(pid, "cmdline"), bytes) || bytes.empty())
        return std::nullopt;
    ProcessLaunch launch;
    launch.arguments = SplitAtNul(bytes);
    std::string target;
    if (ReadLink(ProcPath(pid, "exe"), target))
        launch.program = WideFromUtf8(WithoutDeletedMark(target));
    else
        launch.program = launch.arguments.front();
    if (ReadLink(ProcPath(pid, "cwd"), target))
        launch.directory = WideFromUtf8(WithoutDeletedMark(target));
    if (ReadProcFile(ProcPath(pid, "environ"), bytes)) {
        launch.environment = SplitAtNul(bytes);
        launch.environmentKnown = true;
    }
    // The process may have ended while we read: what we have may be torn.
    if (ProcessGone(pid))
        return std::nullopt;
    return launch;
}

bool SendReload(ProcessId pid) {
    return IsSingleProcessId(pid) && kill(static_cast<pid_t>(pid), SIGHUP) == 0;
}

bool SendGracefulRestart(ProcessId pid) {
    return IsSingleProcessId(pid) && kill(static_cast<pid_t>(pid), SIGUSR1) == 0;
}

bool SendTerminate(ProcessId pid) {
    return IsSingleProcessId(pid) && kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

bool KillProcessTreeNow(ProcessId pid) {
    const pid_t self = getpid();
    if (!IsSingleProcessId(pid) || static_cast<pid_t>(pid) == self)
        return false;
    const pid_t root = static_cast<pid_t>(pid);
    // Freeze the tree first: a stopped process cannot fork, and a master
    // cannot replace workers that die before it does.
    if (kill(root, SIGSTOP) != 0) {
        // Gone already, or not ours to kill: the caller's wait tells which.
        return true;
    }
    std::vector<pid_t> frozen = {root};
    std::set<pid_t> seen = {root};
    for (int round = 0; round < 64; ++round) {
        const std::vector<pid_t> all = posix::ListProcesses();
        if (all.empty())
            break;
        std::multimap<pid_t, pid_t> children;
        for (pid_t p : all) {
            if (const auto stat = posix::ReadProcStat(p))
                children.emplace(stat->parent, p);
        }
        bool added = false;
        std::vector<pid_t> queue = {root};
        while (!queue.empty()) {
            const pid_t parent = queue.back();
            queue.pop_back();
            const auto [begin, end] = children.equal_range(parent);
            for (auto it = begin; it != end; ++it) {
                const pid_t child = it->second;
                if (child == self)
                    continue;  // never take this program down with the tree
                queue.push_back(child);
                if (seen.insert(child).second) {
                    kill(child, SIGSTOP);
                    frozen.push_back(child);
                    added = true;
                }
            }
        }
        if (!added)
            break;
    }
    for (pid_t p : frozen)
        kill(p, SIGKILL);
    return true;
}

}  // namespace qm::host
