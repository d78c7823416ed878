#include "tests/support/e2e/private_mounts.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "tests/support/e2e/harness_util.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPrivateNetworkVariable = "QUILLMATE_E2E_PRIVATE_NETWORK";

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
// by `unshare -r` maps only itself, so a server could not switch its
// workers to their own user there.
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

}  // namespace

bool InPrivateNetwork() {
    return Env(kPrivateNetworkVariable) == "1" && geteuid() == 0;
}

void OutsidePrivateNetwork(const std::function<void()>& body) {
    const char* saved = std::getenv(kPrivateNetworkVariable);
    const std::string value = saved ? saved : "";
    unsetenv(kPrivateNetworkVariable);
    body();
    if (saved)
        setenv(kPrivateNetworkVariable, value.c_str(), 1);
}

std::string RootUnavailableReason(const std::string& server) {
    if (geteuid() != 0)
        return server + " on its own layout needs root";
    if (MappedUserIds() < 2)
        return server + " needs the machine's users, not a user namespace that maps root alone";
    return {};
}

std::string PrivateNamespacesUnavailableReason(const std::string& server,
                                               std::span<const char* const> folders) {
    if (Env(kPrivateNetworkVariable) != "1") {
        return server +
               " runs only inside run-with-hosts --private-network "
               "(quillmate_add_e2e_test ... PRIVATE_NETWORK): QUILLMATE_E2E_PRIVATE_NETWORK is "
               "not set";
    }
    const std::string outerMount = Env("QUILLMATE_E2E_OUTER_MNT_NS");
    const std::string outerNet = Env("QUILLMATE_E2E_OUTER_NET_NS");
    const std::string ownMount = NamespaceOf("self", "mnt");
    const std::string ownNet = NamespaceOf("self", "net");
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
    for (const char* folder : folders) {
        if (!IsFolder(folder))
            return std::string(folder) + " does not exist, so nothing can be mounted over it";
    }
    return {};
}

void PrivateMounts::Create(const std::string& name, const std::string& executable) {
    folder_.Create(name);
    folder_.Guard(executable, true);
}

void PrivateMounts::MountOver(const std::string& target, const std::string& source) {
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

void PrivateMounts::Check(size_t expected) const {
    for (const Mount& m : mounts_) {
        if (!SameFile(m.target, m.source))
            throw std::runtime_error(m.target + " is not the private copy " + m.source);
    }
    if (mounts_.size() != expected || expected == 0)
        throw std::runtime_error("the private layout is not mounted");
}

void PrivateMounts::Release() noexcept {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        // A process that survived may still hold a log file open.
        if (umount2(it->target.c_str(), 0) != 0)
            umount2(it->target.c_str(), MNT_DETACH);
    }
    mounts_.clear();
    // Everything is cleaned up: the guard may go without doing anything.
    folder_.Remove();
}

namespace layout {

void MakeFolder(const std::string& path, mode_t mode, const char* user) {
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

std::string PathBelow(const std::string& folder, const std::string& relative) {
    if (relative.empty() || relative.front() == '/' ||
        fs::path(relative).lexically_normal().string().rfind("..", 0) == 0)
        throw std::invalid_argument("not a path below " + folder + ": " + relative);
    return folder + relative;
}

void WriteBelow(const std::string& folder, const std::string& relative, const std::string& text) {
    const std::string path = PathBelow(folder, relative);
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

void CopyTree(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec)
        throw std::runtime_error("cannot copy " + from + ": " + ec.message());
}

void CopyDefaultSite(const std::string& to, const std::string& packagePage,
                     const std::string& name) {
    // Only the server's own page: /var/www/html is shared by every web
    // server package installed, and another's index.html would be served.
    MakeFolder(to, 0755);
    std::error_code ec;
    fs::copy_file(packagePage, to + "/" + name, fs::copy_options::overwrite_existing, ec);
    if (ec)
        WriteTextFile(to + "/" + name, "<html><body>default site</body></html>\n");
    chmod((to + "/" + name).c_str(), 0644);
}

void ReplaceWithLink(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    if (ec)
        throw std::runtime_error("cannot link " + link + ": " + ec.message());
}

void RemoveBelow(const std::string& folder, const std::string& relative) {
    std::error_code ec;
    fs::remove(PathBelow(folder, relative), ec);
    if (ec)
        throw std::runtime_error("cannot remove " + relative + ": " + ec.message());
}

}  // namespace layout

}  // namespace qm::e2e
