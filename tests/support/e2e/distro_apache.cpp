#include "tests/support/e2e/distro_apache.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/server_process.h"
#include "tests/support/e2e/upstream_apache.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using namespace layout;

constexpr const char* kServer = "the packaged Apache";

// The folders the packaged Apache writes to or serves from, each replaced
// by a private one (the two run folders possibly by a private /run).
const char* const kPrivateFolders[] = {"/var/log/apache2", "/var/www", "/etc/apache2"};
const char* const kRunFolders[] = {"/run/apache2", "/run/lock/apache2"};
// What must exist to be mounted over: the private folders, and /run where
// the run folders do not exist yet.
const char* const kMountPoints[] = {"/var/log/apache2", "/var/www", "/etc/apache2", "/run"};

std::atomic<bool> g_active{false};

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

}  // namespace

std::string DistroApacheUnavailableReason() {
    if (access(DistroApache::kExecutable, X_OK) != 0 || access(DistroApache::kControl, X_OK) != 0 ||
        access((std::string(DistroApache::kConfigDir) + "apache2.conf").c_str(), R_OK) != 0 ||
        access(DistroApache::kEnvVars, R_OK) != 0) {
        return "the packaged Apache is not installed (" + std::string(DistroApache::kExecutable) +
               ", " + DistroApache::kConfigDir + "apache2.conf; Debian package apache2)";
    }
    if (std::string whyNot = RootUnavailableReason(kServer); !whyNot.empty())
        return whyNot;
    if (!getpwnam("www-data"))
        return "the packaged Apache runs its children as www-data, and there is no such user";
    return PrivateNamespacesUnavailableReason(kServer, kMountPoints);
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
    mounts_.Create("distro-apache", kExecutable);
    // The children reach the served files through the mounts; the folders'
    // own modes are what they see there.
    const std::string& root = mounts_.root();
    MakeFolder(root + "log", 0755);
    MakeFolder(root + "www", 0755);

    // The run folders as apache2ctl makes them: socks/ and the lock folder
    // belong to www-data.
    const bool runFoldersExist = IsFolder(kRunFolders[0]) && IsFolder(kRunFolders[1]);
    std::vector<std::pair<std::string, std::string>> runMounts;
    if (runFoldersExist) {
        MakeFolder(root + "run-apache2", 0755);
        MakeFolder(root + "run-apache2/socks", 0755, "www-data");
        MakeFolder(root + "lock-apache2", 0755, "www-data");
        runMounts = {{kRunFolders[0], root + "run-apache2"},
                     {kRunFolders[1], root + "lock-apache2"}};
    } else {
        MakeFolder(root + "run", 0755);
        MakeFolder(root + "run/lock", 01777);
        MakeFolder(root + "run/apache2", 0755);
        MakeFolder(root + "run/apache2/socks", 0755, "www-data");
        MakeFolder(root + "run/lock/apache2", 0755, "www-data");
        runMounts = {{"/run", root + "run"}};
    }

    // The configuration as the package installed it, links kept as links
    // (mods-enabled/, sites-enabled/ hold relative ones).
    CopyTree(kConfigDir, root + "etc-apache2");
    chmod((root + "etc-apache2").c_str(), 0755);
    CopyDefaultSite(root + "www/html", "/usr/share/apache2/default-site/index.html", "index.html");

    expectedMounts_ = runMounts.size() + std::size(kPrivateFolders);
    for (const auto& [target, source] : runMounts)
        mounts_.MountOver(target, source);
    mounts_.MountOver("/var/log/apache2", root + "log");
    mounts_.MountOver("/var/www", root + "www");
    mounts_.MountOver("/etc/apache2", root + "etc-apache2");
    CheckMounted();
}

void DistroApache::CheckMounted() const {
    mounts_.Check(expectedMounts_);
}

void DistroApache::TearDown() noexcept {
    if (mounts_.mounted()) {
        try {
            Stop();
        } catch (...) {
            // What is left dies with the namespace's last process.
        }
    }
    mounts_.Release();
    g_active = false;
}

std::string DistroApache::ConfigPath(const std::string& relative) {
    return PathBelow(kConfigDir, relative);
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

// The links are relative, as a2ensite and a2enmod make them.
void DistroApache::EnableSite(const std::string& name, const std::string& text) const {
    WriteFile("sites-available/" + name, text);
    ReplaceWithLink("../sites-available/" + name, ConfigPath("sites-enabled/" + name));
}

void DistroApache::DisableSite(const std::string& name) const {
    CheckMounted();
    RemoveBelow(kConfigDir, "sites-enabled/" + name);
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
        ReplaceWithLink("../mods-available/" + file, link);
    }
}

int DistroApache::Run(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    return RunToEnd(
        {"/bin/sh", "-c", std::string(". ") + kEnvVars + " && exec " + kExecutable + " \"$@\"",
         "apache2"},
        args, output);
}

int DistroApache::RunCtl(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    return RunToEnd({kControl}, args, output);
}

bool DistroApache::TestConfig(std::string* output) const {
    return RunCtl({"configtest"}, output) == 0;
}

void DistroApache::Start(const std::vector<int>& ports, int timeoutMs) {
    std::string output;
    ThrowUnlessZero(Run({"-k", "start"}, &output), "apache2 did not start", output,
                    [this] { return ErrorLog(); });
    apache_harness::WaitToServe(
        ports.empty() ? std::vector<int>{80} : ports, timeoutMs, output,
        [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void DistroApache::GracefulRestart(int timeoutMs) {
    const size_t resumed = apache_harness::ResumedCount(ErrorLog());
    const std::vector<int> before = ChildPids();
    std::string output;
    ThrowUnlessZero(RunCtl({"graceful"}, &output), "apache2ctl graceful failed", output,
                    [this] { return ErrorLog(); });
    apache_harness::WaitForGracefulRestart(
        resumed, before, timeoutMs, [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void DistroApache::Stop(int graceMs) {
    if (const int parent = ParentPid()) {
        std::string output;
        if (RunCtl({"stop"}, &output) != 0)
            kill(parent, SIGTERM);
    } else {
        for (int pid : ProcessIds())
            kill(pid, SIGTERM);
    }
    EndProcesses([this] { return ProcessIds(); }, graceMs, "apache2 processes do not end");
}

int DistroApache::ParentPid() const {
    return apache_harness::ParentOfPidFile(kPidFile, kExecutable, true);
}

std::vector<int> DistroApache::ProcessIds() const {
    return ServerProcesses(ParentPid(), kExecutable, true);
}

std::vector<int> DistroApache::ChildPids() const {
    return ChildrenOf(ParentPid());
}

std::string DistroApache::ErrorLog() const {
    return ReadTextFile(std::string(kLogDir) + "error.log");
}

std::string DistroApache::AccessLog() const {
    return ReadTextFile(std::string(kLogDir) + "access.log");
}

}  // namespace qm::e2e
