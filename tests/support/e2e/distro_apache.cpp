#include "tests/support/e2e/distro_apache.h"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
#include "tests/support/e2e/upstream_apache.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The folders the packaged Apache writes to or serves from, each replaced
// by a private one (the two run folders possibly by a private /run).
const char* const kPrivateFolders[] = {"/var/log/apache2", "/var/www", "/etc/apache2"};
const char* const kRunFolders[] = {"/run/apache2", "/run/lock/apache2"};

std::atomic<bool> g_active{false};

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
// by `unshare -r` maps only itself, so Apache could not switch its children
// to www-data there.
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

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// A folder with its mode, owned by `user` when one is given.
void MakeFolder(const std::string& path, mode_t mode, const char* user = nullptr) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("cannot create " + path + ": " + ec.message());
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot set the mode of " + path + ": " + std::strerror(errno));
    if (user) {
        if (const passwd* entry = getpwnam(user)) {
            if (chown(path.c_str(), entry->pw_uid, entry->pw_gid) != 0)
                throw std::runtime_error("cannot give " + path + " to " + user + ": " +
                                         std::strerror(errno));
        }
    }
}

// A path below a folder of the layout: no way out of it.
std::string Below(const char* folder, const std::string& relative) {
    if (relative.empty() || relative.front() == '/' ||
        fs::path(relative).lexically_normal().string().rfind("..", 0) == 0)
        throw std::invalid_argument("not a path below " + std::string(folder) + ": " + relative);
    return folder + relative;
}

// Writes `relative` below `folder`, creating the folders on the way. The
// children run as www-data: what they read must be readable by all,
// whatever the umask of the test.
void WriteBelow(const char* folder, const std::string& relative, const std::string& text) {
    const std::string path = Below(folder, relative);
    std::string dir = folder;
    const std::string parent = fs::path(relative).parent_path().string();
    std::istringstream steps(parent);
    for (std::string step; std::getline(steps, step, '/');) {
        if (step.empty())
            continue;
        dir += step + "/";
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            chmod(dir.c_str(), 0755);
        else if (ec)
            throw std::runtime_error("cannot create " + dir + ": " + ec.message());
    }
    WriteTextFile(path, text);
    chmod(path.c_str(), 0644);
}

// A link as a2ensite and a2enmod make them: relative, replacing what was there.
void Link(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    if (ec)
        throw std::runtime_error("cannot link " + link + ": " + ec.message());
}

}  // namespace

std::string DistroApacheUnavailableReason() {
    if (access(DistroApache::kExecutable, X_OK) != 0 || access(DistroApache::kControl, X_OK) != 0 ||
        access((std::string(DistroApache::kConfigDir) + "apache2.conf").c_str(), R_OK) != 0 ||
        access(DistroApache::kEnvVars, R_OK) != 0) {
        return "the packaged Apache is not installed (" + std::string(DistroApache::kExecutable) +
               ", " + DistroApache::kConfigDir + "apache2.conf; Debian package apache2)";
    }
    if (geteuid() != 0)
        return "the packaged Apache on its own layout needs root";
    if (MappedUserIds() < 2) {
        return "the packaged Apache needs the machine's users, not a user namespace that maps "
               "root alone";
    }
    if (!getpwnam("www-data"))
        return "the packaged Apache runs its children as www-data, and there is no such user";
    if (Env("QUILLMATE_E2E_PRIVATE_NETWORK") != "1") {
        return "the packaged Apache runs only inside run-with-hosts --private-network "
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
        if (!IsFolder(folder))
            return std::string(folder) + " does not exist, so nothing can be mounted over it";
    }
    if (!IsFolder("/run"))
        return "/run does not exist, so nothing can be mounted over it";
    return {};
}

DistroApache::DistroApache() {
    const std::string whyNot = DistroApacheUnavailableReason();
    if (!whyNot.empty())
        throw std::runtime_error(whyNot);
    if (g_active.exchange(true))
        throw std::logic_error("only one DistroApache may exist at a time");
    try {
        LayOut();
    } catch (...) {
        TearDown();
        throw;
    }
}

DistroApache::~DistroApache() {
    TearDown();
}

void DistroApache::LayOut() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmate-distro-apache.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    root_ = pattern + "/";
    guardFd_ = apache_harness::StartGuard(kExecutable, root_, true);
    // The children reach the served files through the mounts; the folders'
    // own modes are what they see there.
    MakeFolder(root_, 0755);
    MakeFolder(root_ + "log", 0755);
    MakeFolder(root_ + "www", 0755);

    // The run folders as apache2ctl makes them: socks/ and the lock folder
    // belong to www-data.
    const bool runFoldersExist = IsFolder(kRunFolders[0]) && IsFolder(kRunFolders[1]);
    std::vector<std::pair<std::string, std::string>> runMounts;
    if (runFoldersExist) {
        MakeFolder(root_ + "run-apache2", 0755);
        MakeFolder(root_ + "run-apache2/socks", 0755, "www-data");
        MakeFolder(root_ + "lock-apache2", 0755, "www-data");
        runMounts = {{kRunFolders[0], root_ + "run-apache2"},
                     {kRunFolders[1], root_ + "lock-apache2"}};
    } else {
        MakeFolder(root_ + "run", 0755);
        MakeFolder(root_ + "run/lock", 01777);
        MakeFolder(root_ + "run/apache2", 0755);
        MakeFolder(root_ + "run/apache2/socks", 0755, "www-data");
        MakeFolder(root_ + "run/lock/apache2", 0755, "www-data");
        runMounts = {{"/run", root_ + "run"}};
    }

    // The configuration as the package installed it, links kept as links
    // (mods-enabled/, sites-enabled/ hold relative ones).
    std::error_code ec;
    const auto copyTree = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
    fs::copy(kConfigDir, root_ + "etc-apache2", copyTree, ec);
    if (ec)
        throw std::runtime_error(std::string("cannot copy ") + kConfigDir + ": " + ec.message());
    chmod((root_ + "etc-apache2").c_str(), 0755);
    if (IsFolder("/var/www/html")) {
        fs::copy("/var/www/html", root_ + "www/html", copyTree, ec);
        if (ec)
            throw std::runtime_error("cannot copy /var/www/html: " + ec.message());
    } else {
        MakeFolder(root_ + "www/html", 0755);
        WriteTextFile(root_ + "www/html/index.html", "<html><body>default site</body></html>\n");
        chmod((root_ + "www/html/index.html").c_str(), 0644);
    }

    expectedMounts_ = runMounts.size() + std::size(kPrivateFolders);
    for (const auto& [target, source] : runMounts)
        MountOver(target, source);
    MountOver("/var/log/apache2", root_ + "log");
    MountOver("/var/www", root_ + "www");
    MountOver("/etc/apache2", root_ + "etc-apache2");
    CheckMounted();
}

void DistroApache::MountOver(const std::string& target, const std::string& source) {
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

void DistroApache::CheckMounted() const {
    for (const Mount& m : mounts_) {
        if (!SameFile(m.target, m.source))
            throw std::runtime_error(m.target + " is not the private copy " + m.source);
    }
    if (mounts_.size() != expectedMounts_ || expectedMounts_ == 0)
        throw std::runtime_error("the private layout is not mounted");
}

void DistroApache::TearDown() noexcept {
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
    // Everything is cleaned up: the guard may go without doing anything.
    apache_harness::ReleaseGuard(guardFd_);
    g_active = false;
}

std::string DistroApache::ConfigPath(const std::string& relative) {
    return Below(kConfigDir, relative);
}

void DistroApache::WriteFile(const std::string& relative, const std::string& text) const {
    CheckMounted();
    WriteBelow(kConfigDir, relative, text);
}

std::string DistroApache::ReadFile(const std::string& relative) const {
    CheckMounted();
    return ReadTextFile(ConfigPath(relative));
}

void DistroApache::WriteWebFile(const std::string& relative, const std::string& text) const {
    CheckMounted();
    WriteBelow(kWebDir, relative, text);
}

void DistroApache::EnableSite(const std::string& name, const std::string& text) const {
    WriteFile("sites-available/" + name, text);
    Link("../sites-available/" + name, ConfigPath("sites-enabled/" + name));
}

void DistroApache::DisableSite(const std::string& name) const {
    CheckMounted();
    std::error_code ec;
    fs::remove(ConfigPath("sites-enabled/" + name), ec);
    if (ec)
        throw std::runtime_error("cannot remove sites-enabled/" + name + ": " + ec.message());
}

void DistroApache::EnableModule(const std::string& name) const {
    CheckMounted();
    std::vector<std::string> seen;
    LinkModule(name, seen);
}

void DistroApache::LinkModule(const std::string& name, std::vector<std::string>& seen) const {
    if (std::find(seen.begin(), seen.end(), name) != seen.end())
        return;
    seen.push_back(name);
    const std::string load = ReadTextFile(ConfigPath("mods-available/" + name + ".load"));
    if (load.empty())
        throw std::runtime_error("there is no module " + name + " in mods-available/");
    std::istringstream lines(load);
    for (std::string line; std::getline(lines, line);) {
        const std::string marker = "# Depends:";
        if (line.rfind(marker, 0) != 0)
            continue;
        std::istringstream names(line.substr(marker.size()));
        for (std::string dependency; names >> dependency;)
            LinkModule(dependency, seen);
    }
    for (const char* kind : {".load", ".conf"}) {
        const std::string file = name + kind;
        const std::string link = ConfigPath("mods-enabled/" + file);
        std::error_code ec;
        if (!fs::exists(ConfigPath("mods-available/" + file), ec) ||
            fs::is_symlink(fs::symlink_status(link, ec)))
            continue;
        Link("../mods-available/" + file, link);
    }
}

int DistroApache::Run(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    std::vector<std::string> argv{
        "/bin/sh", "-c", std::string(". ") + kEnvVars + " && exec " + kExecutable + " \"$@\"",
        "apache2"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    const int rc = RunProgram(argv, text);
    if (output)
        *output = text;
    return rc;
}

int DistroApache::RunCtl(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    std::vector<std::string> argv{kControl};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    const int rc = RunProgram(argv, text);
    if (output)
        *output = text;
    return rc;
}

bool DistroApache::TestConfig(std::string* output) const {
    return RunCtl({"configtest"}, output) == 0;
}

void DistroApache::Start(const std::vector<int>& ports, int timeoutMs) {
    std::string output;
    const int rc = Run({"-k", "start"}, &output);
    if (rc != 0) {
        throw std::runtime_error("apache2 did not start (exit " + std::to_string(rc) + "):\n" +
                                 output + ErrorLog());
    }
    apache_harness::WaitToServe(
        ports.empty() ? std::vector<int>{80} : ports, timeoutMs, output,
        [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void DistroApache::GracefulRestart(int timeoutMs) {
    const size_t resumed = apache_harness::ResumedCount(ErrorLog());
    const std::vector<int> before = ChildPids();
    std::string output;
    const int rc = RunCtl({"graceful"}, &output);
    if (rc != 0) {
        throw std::runtime_error("apache2ctl graceful failed (exit " + std::to_string(rc) + "):\n" +
                                 output + ErrorLog());
    }
    apache_harness::WaitForGracefulRestart(
        resumed, before, timeoutMs, [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void DistroApache::Stop(int graceMs) {
    auto waitGone = [&](milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!ProcessIds().empty()) {
            if (steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    };
    if (const int parent = ParentPid()) {
        std::string output;
        if (RunCtl({"stop"}, &output) != 0)
            kill(parent, SIGTERM);
    } else {
        for (int pid : ProcessIds())
            kill(pid, SIGTERM);
    }
    if (waitGone(milliseconds(graceMs)))
        return;
    for (int pid : ProcessIds())
        kill(pid, SIGKILL);
    if (!waitGone(milliseconds(5000)))
        throw std::runtime_error("apache2 processes do not end");
}

int DistroApache::ParentPid() const {
    const int pid = std::atoi(ReadTextFile(kPidFile).c_str());
    if (!ProcessAlive(pid) || ExecutableOf(pid) != kExecutable ||
        NamespaceOf(std::to_string(pid), "mnt") != OwnNamespace("mnt"))
        return 0;
    // A child never writes the pid file; a stale file may name one of a
    // later run by now.
    return ExecutableOf(ParentProcess(pid)) == kExecutable ? 0 : pid;
}

std::vector<int> DistroApache::ProcessIds() const {
    std::vector<int> pids;
    const int parent = ParentPid();
    const std::string ownMount = OwnNamespace("mnt");
    for (int pid : AllProcessIds()) {
        if (!ProcessAlive(pid))
            continue;
        const bool ours =
            ExecutableOf(pid) == kExecutable && NamespaceOf(std::to_string(pid), "mnt") == ownMount;
        if (pid == parent || (parent && ParentProcess(pid) == parent) || ours)
            pids.push_back(pid);
    }
    return pids;
}

std::vector<int> DistroApache::ChildPids() const {
    return apache_harness::ChildrenOf(ParentPid());
}

std::string DistroApache::ErrorLog() const {
    return ReadTextFile(std::string(kLogDir) + "error.log");
}

std::string DistroApache::AccessLog() const {
    return ReadTextFile(std::string(kLogDir) + "access.log");
}

}  // namespace qm::e2e
