#include "tests/support/e2e/distro_tomcat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/private_mounts.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using namespace layout;

constexpr const char* kServer = "the packaged Tomcat";

// The folders the packaged Tomcat reads, writes to or serves from, each
// replaced by a private one. The whole base, not only its webapps, so that
// hosts with an appBase of their own stay private too.
const char* const kPrivateFolders[] = {"/etc/tomcat10", "/var/log/tomcat10", "/var/cache/tomcat10",
                                       "/var/lib/tomcat10"};

std::atomic<bool> g_active{false};

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A folder's owner and mode given to its private stand-in.
void LikeTheOriginal(const std::string& original, const std::string& copy) {
    struct stat st {};
    if (stat(original.c_str(), &st) != 0)
        return;
    if (chown(copy.c_str(), st.st_uid, st.st_gid) != 0 ||
        chmod(copy.c_str(), st.st_mode & 07777) != 0)
        throw std::runtime_error("cannot give " + copy + " the owner and mode of " + original +
                                 ": " + std::strerror(errno));
}

}  // namespace

std::string DistroTomcatUnavailableReason() {
    const std::string tomcat = TomcatUnavailableReason();
    if (!tomcat.empty())
        return tomcat;
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status("/var/lib/tomcat10/conf", ec)) ||
        access((std::string(DistroTomcat::kConfigDir) + "server.xml").c_str(), R_OK) != 0)
        return "the packaged Tomcat's own base is not installed (/var/lib/tomcat10 with its conf "
               "link to /etc/tomcat10; Debian package tomcat10)";
    // Tomcat runs as root here: no user of its own to switch to.
    if (geteuid() != 0)
        return std::string(kServer) + " on its own layout needs root";
    return PrivateNamespacesUnavailableReason(kServer, kPrivateFolders);
}

DistroTomcat::DistroTomcat() : TomcatBase(AdoptLater{}) {
    const std::string whyNot = DistroTomcatUnavailableReason();
    if (!whyNot.empty())
        throw std::runtime_error(whyNot);
    if (g_active.exchange(true))
        throw std::logic_error("only one DistroTomcat may exist at a time");
    try {
        LayOut();
    } catch (...) {
        Release();
        throw;
    }
}

DistroTomcat::~DistroTomcat() {
    Release();
}

void DistroTomcat::Release() noexcept {
    // The JVM holds files in the mounts: it goes first.
    try {
        Stop();
    } catch (...) {
        // What is left dies with the guard.
    }
    if (mounts_)
        mounts_->Release();
    TearDown();
    g_active = false;
}

void DistroTomcat::LayOut() {
    mounts_ = std::make_unique<PrivateMounts>();
    // The guard kills the JVMs of this mount namespace: only this test's.
    mounts_->Create("distro-tomcat", JavaHome() + "/bin/java");
    const std::string root = mounts_->root();
    Layout layout;
    layout.base = kBase;
    layout.pidFile = root + "run/tomcat10.pid";
    layout.tmpDir = root + "tmp/";
    layout.extraEnvironment = {kJavaOpts};
    layout.ownMountNamespace = true;
    layout.httpPort = 80;
    layout.httpsPort = 443;
    Adopt(layout);
    MakeFolder(root + "run", 0755);
    MakeFolder(root + "tmp", 01777);

    // The configuration as the package installed it, and the base with its
    // links as links: conf, logs and work lead where the package's links
    // lead, into the other private copies. Each folder with the package's
    // owner and mode.
    CopyTree(kConfigDir, root + "etc-tomcat10");
    LikeTheOriginal("/etc/tomcat10", root + "etc-tomcat10");
    CopyTree(kBase, root + "base");
    LikeTheOriginal("/var/lib/tomcat10", root + "base");
    if (!fs::exists(root + "base/webapps/ROOT/index.html"))
        WriteBelow(root + "base/", "webapps/ROOT/index.html",
                   "<html><body><h1>It works !</h1></body></html>\n");
    MakeFolder(root + "log", 0755);
    LikeTheOriginal("/var/log/tomcat10", root + "log");
    MakeFolder(root + "cache", 0750);
    LikeTheOriginal("/var/cache/tomcat10", root + "cache");

    mounts_->MountOver("/etc/tomcat10", root + "etc-tomcat10");
    mounts_->MountOver("/var/log/tomcat10", root + "log");
    mounts_->MountOver("/var/cache/tomcat10", root + "cache");
    mounts_->MountOver("/var/lib/tomcat10", root + "base");
    CheckMounted();
}

void DistroTomcat::CheckMounted() const {
    mounts_->Check(std::size(kPrivateFolders));
    // Through the package's links as well.
    const std::string root = mounts_->root();
    if (!SameFile(std::string(kBase) + "conf", root + "etc-tomcat10") ||
        !SameFile(std::string(kBase) + "logs", root + "log") ||
        !SameFile(std::string(kBase) + "work", root + "cache"))
        throw std::runtime_error("the links of " + std::string(kBase) +
                                 " do not lead to the private copies");
}

const std::string& DistroTomcat::privateRoot() const {
    return mounts_->root();
}

std::string DistroTomcat::ConfigPath(const std::string& relative) {
    return PathBelow(kConfigDir, relative);
}

}  // namespace qm::e2e
