#include "tests/support/e2e/distro_nginx.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
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

// The folders the packaged nginx writes to or serves from, each replaced by
// a private one. /run holds the pid file (and /var/lock points into it).
const char* const kPrivateFolders[] = {"/run", "/var/log/nginx", "/var/lib/nginx", "/var/www",
                                       "/etc/nginx"};

std::atomic<bool> g_active{false};

// The guard: a shell whose parent exits at once, so that it outlives this
// process even when a time limit kills this process's whole tree. It waits
// on its end of a socket (descriptor 3). A normal teardown sends "done"
// first; when this process dies instead, the guard kills the nginx
// processes left in this mount namespace (its own) and removes the private
// copies. `test -ef` compares what the /proc links point to without a
// program start per process. $1: the nginx executable, $2: the private root.
constexpr const char* kGuardScript = R"sh(
(
    read -r word <&3
    [ "$word" = done ] && exit 0
    for pass in 1 2; do
        for p in /proc/[0-9]*; do
            if [ "$p/exe" -ef "$1" ] && [ "$p/ns/mnt" -ef /proc/self/ns/mnt ]; then
                kill -9 "${p#/proc/}"
            fi
        done
        sleep 0.1
    done
    case "$2" in
    */quillmate-distro-nginx.*/) rm -rf -- "$2" ;;
    esac
) </dev/null >/dev/null 2>&1 &
)sh";

std::string NamespaceOf(const std::string& pid, const char* kind) {
    std::error_code ec;
    const fs::path link = fs::read_symlink("/proc/" + pid + "/ns/" + kind, ec);
    return ec ? std::string() : link.string();
}

std::string OwnNamespace(const char* kind) {
    return NamespaceOf("self", kind);
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool IsMountPoint(const std::string& path) {
    // mountinfo: id parent major:minor root mount-point options ...
    std::istringstream lines(ReadTextFile("/proc/self/mountinfo"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == path)
            return true;
    }
    return false;
}

// The network interfaces this process sees (from /proc/net/dev).
std::vector<std::string> NetworkInterfaces() {
    std::vector<std::string> names;
    std::istringstream lines(ReadTextFile("/proc/net/dev"));
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        names.push_back(name);
    }
    return names;
}

// How many user ids this user namespace maps. The root of a namespace made
// by `unshare -r` maps only itself, so nginx could not switch its workers
// to their own user there.
unsigned long long MappedUserIds() {
    std::istringstream lines(ReadTextFile("/proc/self/uid_map"));
    unsigned long long total = 0;
    unsigned long long inside = 0, outside = 0, count = 0;
    while (lines >> inside >> outside >> count)
        total += count;
    return total;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void MakeFolder(const std::string& path, mode_t mode) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("cannot create " + path + ": " + ec.message());
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot set the mode of " + path + ": " + std::strerror(errno));
}

// A path below a folder of the layout: no way out of it.
std::string Below(const char* folder, const std::string& relative) {
    if (relative.empty() || relative.front() == '/' ||
        fs::path(relative).lexically_normal().string().rfind("..", 0) == 0)
        throw std::invalid_argument("not a path below " + std::string(folder) + ": " + relative);
    return folder + relative;
}

// Writes `relative` below `folder`, creating the folders on the way. The
// workers run as their own user: what they read must be readable by all,
// whatever the umask of the test.
void WriteBelow(const char* folder, const std::string& relative, const std::string& text) {
    const std::string path = Below(folder, relative);
    std::string dir = folder;
    const std::string parent = fs::path(relative).parent_path().string();
    std::istringstream parts(parent);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty())
            continue;
        dir += part + "/";
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            chmod(dir.c_str(), 0755);
        else if (ec)
            throw std::runtime_error("cannot create " + dir + ": " + ec.message());
    }
    WriteTextFile(path, text);
    chmod(path.c_str(), 0644);
}

}  // namespace

std::string DistroNginxUnavailableReason() {
    if (access(DistroNginx::kExecutable, X_OK) != 0 ||
        access((std::string(DistroNginx::kConfigDir) + "nginx.conf").c_str(), R_OK) != 0) {
        return "the packaged nginx is not installed (" + std::string(DistroNginx::kExecutable) +
               ", " + DistroNginx::kConfigDir + "nginx.conf; Debian package nginx-light)";
    }
    if (geteuid() != 0)
        return "the packaged nginx on its own layout needs root";
    if (MappedUserIds() < 2) {
        return "the packaged nginx needs the machine's users, not a user namespace that maps "
               "root alone";
    }
    if (Env("QUILLMATE_E2E_PRIVATE_NETWORK") != "1") {
        return "the packaged nginx runs only inside run-with-hosts --private-network "
               "(quillmate_add_e2e_test ... PRIVATE_NETWORK): QUILLMATE_E2E_PRIVATE_NETWORK is "
               "not set";
    }
    const std::string outerMount = Env("QUILLMATE_E2E_OUTER_MNT_NS");
    const std::string outerNet = Env("QUILLMATE_E2E_OUTER_NET_NS");
    const std::string ownMount = OwnNamespace("mnt");
    const std::string ownNet = OwnNamespace("net");
    if (outerMount.empty() || ownMount.empty() || outerMount == ownMount)
        return "this process is not in a mount namespace of its own";
    if (outerNet.empty() || ownNet.empty() || outerNet == ownNet)
        return "this process is not in a network namespace of its own";
    // Where the first process's namespaces can be read, they must differ too.
    const std::string initMount = NamespaceOf("1", "mnt");
    const std::string initNet = NamespaceOf("1", "net");
    if ((!initMount.empty() && initMount == ownMount) || (!initNet.empty() && initNet == ownNet))
        return "this process shares its namespaces with process 1";
    if (!IsMountPoint("/etc/hosts"))
        return "/etc/hosts is not the private one of run-with-hosts";
    if (NetworkInterfaces() != std::vector<std::string>{"lo"})
        return "the network namespace has interfaces besides the loopback one";
    for (const char* folder : kPrivateFolders) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec))
            return std::string(folder) + " does not exist, so nothing can be mounted over it";
    }
    return {};
}

DistroNginx::DistroNginx() {
    const std::string whyNot = DistroNginxUnavailableReason();
    if (!whyNot.empty())
        throw std::runtime_error(whyNot);
    if (g_active.exchange(true))
        throw std::logic_error("only one DistroNginx may exist at a time");
    try {
        LayOut();
    } catch (...) {
        TearDown();
        throw;
    }
}

DistroNginx::~DistroNginx() {
    TearDown();
}

void DistroNginx::LayOut() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmate-distro-nginx.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    root_ = pattern + "/";
    StartGuard();
    // The workers reach the served files through the mounts; the folders'
    // own modes are what they see there.
    MakeFolder(root_, 0755);

    MakeFolder(root_ + "run", 0755);
    MakeFolder(root_ + "run/lock", 01777);
    MakeFolder(root_ + "log", 0755);
    MakeFolder(root_ + "lib", 0755);
    MakeFolder(root_ + "www", 0755);

    // The configuration as the package installed it, links kept as links
    // (sites-enabled/default points to /etc/nginx/sites-available/default,
    // which is the copy once it is mounted).
    std::error_code ec;
    const auto copyTree = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
    fs::copy(kConfigDir, root_ + "etc-nginx", copyTree, ec);
    if (ec)
        throw std::runtime_error(std::string("cannot copy ") + kConfigDir + ": " + ec.message());
    if (fs::is_directory("/var/www/html", ec)) {
        fs::copy("/var/www/html", root_ + "www/html", copyTree, ec);
        if (ec)
            throw std::runtime_error("cannot copy /var/www/html: " + ec.message());
    } else {
        MakeFolder(root_ + "www/html", 0755);
        WriteTextFile(root_ + "www/html/index.html", "<html><body>default site</body></html>\n");
        chmod((root_ + "www/html/index.html").c_str(), 0644);
    }

    MountOver("/run", root_ + "run");
    MountOver("/var/log/nginx", root_ + "log");
    MountOver("/var/lib/nginx", root_ + "lib");
    MountOver("/var/www", root_ + "www");
    MountOver("/etc/nginx", root_ + "etc-nginx");
    CheckMounted();
}

void DistroNginx::StartGuard() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair: " + std::string(std::strerror(errno)));
    guardFd_ = fds[0];
    // Above the standard descriptors, so that the guard's 3 is a real copy.
    const int guardEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    close(fds[1]);
    if (guardEnd < 0)
        throw std::runtime_error("fcntl: " + std::string(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, guardEnd, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    std::vector<std::string> argv{"/bin/sh", "-c", kGuardScript, "sh", kExecutable, root_};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(guardEnd);
    if (rc != 0)
        throw std::runtime_error("cannot start the guard process: " +
                                 std::string(std::strerror(rc)));
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the guard process did not start");
}

void DistroNginx::MountOver(const std::string& target, const std::string& source) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("cannot mount " + source + " over " + target + ": " +
                                 std::strerror(errno));
    }
    mounts_.push_back({target, source});
    // run-with-hosts made every mount of the namespace private already;
    // marking this one as well keeps it from spreading should that change.
    if (mount(nullptr, target.c_str(), nullptr, MS_PRIVATE, nullptr) != 0) {
        throw std::runtime_error("cannot make the mount over " + target +
                                 " private: " + std::strerror(errno));
    }
}

void DistroNginx::CheckMounted() const {
    for (const Mount& m : mounts_) {
        if (!SameFile(m.target, m.source))
            throw std::runtime_error(m.target + " is not the private copy " + m.source);
    }
    if (mounts_.size() != std::size(kPrivateFolders))
        throw std::runtime_error("the private layout is not mounted");
}

void DistroNginx::TearDown() noexcept {
    if (!mounts_.empty()) {
        try {
            Stop();
        } catch (...) {
            // What is left dies with the namespace's last process.
        }
    }
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        // A process that survived may still hold a log file open.
        if (umount2(it->target.c_str(), 0) != 0)
            umount2(it->target.c_str(), MNT_DETACH);
    }
    mounts_.clear();
    if (!root_.empty()) {
        // remove_all removes links themselves, never what they point to.
        std::error_code ec;
        fs::remove_all(root_, ec);
        root_.clear();
    }
    if (guardFd_ >= 0) {
        // Everything is cleaned up: the guard may go without doing anything.
        const char done[] = "done\n";
        send(guardFd_, done, sizeof done - 1, MSG_NOSIGNAL);
        close(guardFd_);
        guardFd_ = -1;
    }
    g_active = false;
}

std::string DistroNginx::ConfigPath(const std::string& relative) {
    return Below(kConfigDir, relative);
}

void DistroNginx::WriteFile(const std::string& relative, const std::string& text) const {
    CheckMounted();
    WriteBelow(kConfigDir, relative, text);
}

std::string DistroNginx::ReadFile(const std::string& relative) const {
    CheckMounted();
    return ReadTextFile(ConfigPath(relative));
}

void DistroNginx::WriteWebFile(const std::string& relative, const std::string& text) const {
    CheckMounted();
    WriteBelow(kWebDir, relative, text);
}

void DistroNginx::EnableSite(const std::string& name, const std::string& text) const {
    WriteFile("sites-available/" + name, text);
    const std::string link = ConfigPath("sites-enabled/" + name);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(ConfigPath("sites-available/" + name), link, ec);
    if (ec)
        throw std::runtime_error("cannot link " + link + ": " + ec.message());
}

void DistroNginx::DisableSite(const std::string& name) const {
    CheckMounted();
    std::error_code ec;
    fs::remove(ConfigPath("sites-enabled/" + name), ec);
    if (ec)
        throw std::runtime_error("cannot remove sites-enabled/" + name + ": " + ec.message());
}

int DistroNginx::Run(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    std::vector<std::string> argv{kExecutable};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    const int rc = RunProgram(argv, text);
    if (output)
        *output = text;
    return rc;
}

bool DistroNginx::TestConfig(std::string* output) const {
    return Run({"-t"}, output) == 0;
}

void DistroNginx::Start(const std::vector<int>& ports, int timeoutMs) {
    // Exactly as an administrator starts it: no options.
    std::string output;
    const int rc = Run({}, &output);
    if (rc != 0) {
        throw std::runtime_error("nginx did not start (exit " + std::to_string(rc) + "):\n" +
                                 output + ErrorLog());
    }
    WaitForNginxToServe(
        ports.empty() ? std::vector<int>{80} : ports, timeoutMs, output,
        [this] { return MasterPid(); }, [this] { return ErrorLog(); });
}

void DistroNginx::Reload(int timeoutMs) {
    const std::vector<int> before = WorkerPids();
    std::string output;
    const int rc = Run({"-s", "reload"}, &output);
    if (rc != 0) {
        throw std::runtime_error("nginx -s reload failed (exit " + std::to_string(rc) + "):\n" +
                                 output + ErrorLog());
    }
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        for (int pid : WorkerPids()) {
            if (std::find(before.begin(), before.end(), pid) == before.end())
                return;
        }
        if (steady_clock::now() > deadline)
            throw std::runtime_error("nginx started no new worker after a reload:\n" + ErrorLog());
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void DistroNginx::Stop(int graceMs) {
    auto waitGone = [&](milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!ProcessIds().empty()) {
            if (steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    };
    if (const int master = MasterPid()) {
        std::string output;
        if (Run({"-s", "quit"}, &output) != 0)
            kill(master, SIGQUIT);
    } else {
        for (int pid : ProcessIds())
            kill(pid, SIGQUIT);
    }
    if (waitGone(milliseconds(graceMs)))
        return;
    for (int pid : ProcessIds())
        kill(pid, SIGKILL);
    if (!waitGone(milliseconds(5000)))
        throw std::runtime_error("nginx processes do not end");
}

int DistroNginx::MasterPid() const {
    const int pid = std::atoi(ReadTextFile(kPidFile).c_str());
    if (!ProcessAlive(pid) || ExecutableOf(pid) != kExecutable ||
        NamespaceOf(std::to_string(pid), "mnt") != OwnNamespace("mnt"))
        return 0;
    const std::string cmdline = ReadTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.rfind("nginx: master process", 0) == 0 ? pid : 0;
}

std::vector<int> DistroNginx::ProcessIds() const {
    std::vector<int> pids;
    const int master = MasterPid();
    const std::string ownMount = OwnNamespace("mnt");
    for (int pid : AllProcessIds()) {
        if (!ProcessAlive(pid))
            continue;
        const bool ours =
            ExecutableOf(pid) == kExecutable && NamespaceOf(std::to_string(pid), "mnt") == ownMount;
        if (pid == master || (master && ParentProcess(pid) == master) || ours)
            pids.push_back(pid);
    }
    return pids;
}

std::vector<int> DistroNginx::WorkerPids() const {
    std::vector<int> pids;
    const int master = MasterPid();
    if (!master)
        return pids;
    for (int pid : AllProcessIds()) {
        if (ParentProcess(pid) == master && ProcessAlive(pid))
            pids.push_back(pid);
    }
    return pids;
}

std::string DistroNginx::ErrorLog() const {
    return ReadTextFile(std::string(kLogDir) + "error.log");
}

std::string DistroNginx::AccessLog() const {
    return ReadTextFile(std::string(kLogDir) + "access.log");
}

}  // namespace qm::e2e
