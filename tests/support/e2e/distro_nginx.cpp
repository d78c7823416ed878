#include "tests/support/e2e/distro_nginx.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <stdexcept>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/server_process.h"

namespace qm::e2e {
namespace {

using namespace layout;

constexpr const char* kServer = "the packaged nginx";

// The folders the packaged nginx writes to or serves from, each replaced by
// a private one. /run holds the pid file (and /var/lock points into it).
const char* const kPrivateFolders[] = {"/run", "/var/log/nginx", "/var/lib/nginx", "/var/www",
                                       "/etc/nginx"};

std::atomic<bool> g_active{false};

}  // namespace

std::string DistroNginxUnavailableReason() {
    if (access(DistroNginx::kExecutable, X_OK) != 0 ||
        access((std::string(DistroNginx::kConfigDir) + "nginx.conf").c_str(), R_OK) != 0) {
        return "the packaged nginx is not installed (" + std::string(DistroNginx::kExecutable) +
               ", " + DistroNginx::kConfigDir + "nginx.conf; Debian package nginx-light)";
    }
    if (std::string whyNot = RootUnavailableReason(kServer); !whyNot.empty())
        return whyNot;
    return PrivateNamespacesUnavailableReason(kServer, kPrivateFolders);
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
    mounts_.Create("distro-nginx", kExecutable);
    // The workers reach the served files through the mounts; the folders'
    // own modes are what they see there.
    const std::string& root = mounts_.root();
    MakeFolder(root + "run", 0755);
    MakeFolder(root + "run/lock", 01777);
    MakeFolder(root + "log", 0755);
    MakeFolder(root + "lib", 0755);
    MakeFolder(root + "www", 0755);

    // The configuration as the package installed it, links kept as links
    // (sites-enabled/default points to /etc/nginx/sites-available/default,
    // which is the copy once it is mounted).
    CopyTree(kConfigDir, root + "etc-nginx");
    CopyDefaultSite(root + "www/html", "/usr/share/nginx/html/index.html",
                    "index.nginx-debian.html");

    mounts_.MountOver("/run", root + "run");
    mounts_.MountOver("/var/log/nginx", root + "log");
    mounts_.MountOver("/var/lib/nginx", root + "lib");
    mounts_.MountOver("/var/www", root + "www");
    mounts_.MountOver("/etc/nginx", root + "etc-nginx");
    CheckMounted();
}

void DistroNginx::CheckMounted() const {
    mounts_.Check(std::size(kPrivateFolders));
}

void DistroNginx::TearDown() noexcept {
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

std::string DistroNginx::ConfigPath(const std::string& relative) {
    return PathBelow(kConfigDir, relative);
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
    ReplaceWithLink(ConfigPath("sites-available/" + name), ConfigPath("sites-enabled/" + name));
}

void DistroNginx::DisableSite(const std::string& name) const {
    CheckMounted();
    RemoveBelow(kConfigDir, "sites-enabled/" + name);
}

int DistroNginx::Run(const std::vector<std::string>& args, std::string* output) const {
    CheckMounted();
    return RunToEnd({kExecutable}, args, output);
}

bool DistroNginx::TestConfig(std::string* output) const {
    return Run({"-t"}, output) == 0;
}

void DistroNginx::Start(const std::vector<int>& ports, int timeoutMs) {
    // Exactly as an administrator starts it: no options.
    std::string output;
    ThrowUnlessZero(Run({}, &output), "nginx did not start", output, [this] { return ErrorLog(); });
    WaitForNginxToServe(
        ports.empty() ? std::vector<int>{80} : ports, timeoutMs, output,
        [this] { return MasterPid(); }, [this] { return ErrorLog(); });
}

void DistroNginx::Reload(int timeoutMs) {
    const std::vector<int> before = WorkerPids();
    std::string output;
    ThrowUnlessZero(Run({"-s", "reload"}, &output), "nginx -s reload failed", output,
                    [this] { return ErrorLog(); });
    WaitForNewChild(
        before, timeoutMs, [this] { return MasterPid(); }, [] { return true; },
        "nginx started no new worker after a reload", [this] { return ErrorLog(); });
}

void DistroNginx::Stop(int graceMs) {
    if (const int master = MasterPid()) {
        std::string output;
        if (Run({"-s", "quit"}, &output) != 0)
            kill(master, SIGQUIT);
    } else {
        for (int pid : ProcessIds())
            kill(pid, SIGQUIT);
    }
    EndProcesses([this] { return ProcessIds(); }, graceMs, "nginx processes do not end");
}

int DistroNginx::MasterPid() const {
    const int pid = ProcessOfPidFile(kPidFile, kExecutable, true);
    if (!pid)
        return 0;
    const std::string cmdline = ReadTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.rfind("nginx: master process", 0) == 0 ? pid : 0;
}

std::vector<int> DistroNginx::ProcessIds() const {
    return ServerProcesses(MasterPid(), kExecutable, true);
}

std::vector<int> DistroNginx::WorkerPids() const {
    return ChildrenOf(MasterPid());
}

std::string DistroNginx::ErrorLog() const {
    return ReadTextFile(std::string(kLogDir) + "error.log");
}

std::string DistroNginx::AccessLog() const {
    return ReadTextFile(std::string(kLogDir) + "access.log");
}

}  // namespace qm::e2e
