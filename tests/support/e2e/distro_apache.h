// Debian's packaged Apache httpd on its own default layout, for end-to-end
// tests of what an administrator has after `apt install apache2`:
// /usr/sbin/apache2 started with `-k start` and the variables of
// /etc/apache2/envvars (as apache2ctl starts it), /etc/apache2/apache2.conf
// with its mods-enabled/, conf-enabled/ and sites-enabled/ links, the pid
// file /run/apache2/apache2.pid, logs in /var/log/apache2/, the default site
// in /var/www/html/.
//
// It only works inside the private mount and network namespaces that
// run-with-hosts --private-network gives a test (quillmate_add_e2e_test with
// PRIVATE_NETWORK), as root. There it lays a copy of the installed
// /etc/apache2 over /etc/apache2 and fresh temporary folders over
// /var/log/apache2, /var/www, /run/apache2 (APACHE_RUN_DIR) and
// /run/lock/apache2 (APACHE_LOCK_DIR, /var/lock being /run/lock) with bind
// mounts that only this process (and the httpd it starts) sees; where the
// two run folders do not exist yet (a machine booted since apache2 last
// ran), a private /run holds both. The machine's own files are never
// touched, and ports 80 and 443 are those of the private loopback. Should
// the test process die without its destructors, a small guard process it
// leaves behind kills the apache2 processes of the namespace and removes
// the temporary folder.
//
//     QM_E2E_REQUIRE_DISTRO_APACHE();
//     qm::e2e::DistroApache apache;
//     apache.WriteWebFile("shop/index.html", "shop\n");
//     apache.EnableSite("shop.conf", "<VirtualHost *:80>\n...</VirtualHost>\n");
//     apache.Start();                     // waits until port 80 accepts
//     auto page = qm::e2e::HttpGet("http://127.0.0.1/");
//     ...
//     // the destructor stops httpd and removes the mounts
//
// Failures throw std::runtime_error carrying Apache's own messages.
#pragma once

#include <string>
#include <vector>

#include "tests/support/e2e/private_mounts.h"

namespace qm::e2e {

// Why this process may not run the packaged Apache on its own layout (not
// root, not inside the private namespaces of run-with-hosts
// --private-network, apache2 not installed); empty when it may.
std::string DistroApacheUnavailableReason();

// Skips the current test, with the reason, when DistroApache cannot be used.
#define QM_E2E_REQUIRE_DISTRO_APACHE()                                         \
    do {                                                                       \
        const std::string whyNot = ::qm::e2e::DistroApacheUnavailableReason(); \
        if (!whyNot.empty())                                                   \
            GTEST_SKIP() << whyNot;                                            \
    } while (0)

class DistroApache {
public:
    static constexpr const char* kExecutable = "/usr/sbin/apache2";
    static constexpr const char* kControl = "/usr/sbin/apache2ctl";
    static constexpr const char* kConfigDir = "/etc/apache2/";
    static constexpr const char* kEnvVars = "/etc/apache2/envvars";
    static constexpr const char* kRunDir = "/run/apache2/";  // APACHE_RUN_DIR, /var/run/apache2
    static constexpr const char* kLockDir = "/run/lock/apache2/";  // APACHE_LOCK_DIR
    static constexpr const char* kPidFile = "/run/apache2/apache2.pid";
    static constexpr const char* kLogDir = "/var/log/apache2/";
    static constexpr const char* kWebDir = "/var/www/";

    // Checks DistroApacheUnavailableReason (throws with it), then mounts the
    // private copies. Only one object may exist at a time in a process.
    DistroApache();
    // Stops every apache2 process of this namespace, then removes the
    // mounts and the temporary folders behind them.
    ~DistroApache();
    DistroApache(const DistroApache&) = delete;
    DistroApache& operator=(const DistroApache&) = delete;

    static std::string ConfigDir() { return kConfigDir; }  // "/etc/apache2/"
    // ConfigDir() + relative
    static std::string ConfigPath(const std::string& relative);

    // Writes a file below /etc/apache2/ (folders are created), replacing it.
    void WriteFile(const std::string& relative, const std::string& text) const;
    // The file below /etc/apache2/; empty when it cannot be read.
    std::string ReadFile(const std::string& relative) const;
    // Writes a file below /var/www/ (folders are created), e.g. "shop/index.html".
    void WriteWebFile(const std::string& relative, const std::string& text) const;

    // Writes sites-available/NAME and links sites-enabled/NAME to
    // ../sites-available/NAME, as a2ensite does. apache2.conf includes
    // sites-enabled/*.conf, so NAME ends in ".conf" ("shop.conf").
    void EnableSite(const std::string& name, const std::string& text) const;
    // Removes the link sites-enabled/NAME (e.g. "000-default.conf"); the file
    // in sites-available stays.
    void DisableSite(const std::string& name) const;
    // Links mods-enabled/NAME.load (and NAME.conf when there is one) to
    // ../mods-available/, with the modules its "# Depends:" line names first,
    // as a2enmod does ("ssl" brings socache_shmcb).
    void EnableModule(const std::string& name) const;

    // Runs /usr/sbin/apache2 with the variables of /etc/apache2/envvars and
    // the arguments (e.g. {"-k", "graceful"}) to its end; returns its exit
    // code, `output` receives its messages.
    int Run(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // Runs apache2ctl with the arguments (e.g. {"configtest"}) to its end.
    int RunCtl(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // `apache2ctl configtest` (that is, `apache2 -t` with the envvars).
    bool TestConfig(std::string* output = nullptr) const;

    // Starts Apache as the package does (`apache2 -k start` with the
    // envvars, what `apache2ctl start` runs where no systemd is in charge)
    // and waits until every port (80 when none are given) accepts
    // connections on 127.0.0.1 and the pid file names the parent. Throws
    // with Apache's messages otherwise.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 10000);
    // `apache2ctl graceful`, then waits until the parent has read its
    // configuration again and runs a child that did not exist before.
    // Throws when Apache refuses or no new child comes.
    void GracefulRestart(int timeoutMs = 10000);
    // `apache2ctl stop`, then a kill of whatever apache2 process of this
    // namespace is left after `graceMs`.
    void Stop(int graceMs = 5000);

    // The parent named by /run/apache2/apache2.pid, 0 when it is not running.
    int ParentPid() const;
    bool Running() const { return ParentPid() != 0; }
    // Every living apache2 process of this mount namespace.
    std::vector<int> ProcessIds() const;
    // The parent's child processes.
    std::vector<int> ChildPids() const;

    std::string ErrorLog() const;   // /var/log/apache2/error.log
    std::string AccessLog() const;  // /var/log/apache2/access.log

    // The temporary folder behind the mounts (ends in "/").
    const std::string& privateRoot() const { return mounts_.root(); }

private:
    void LayOut();
    void CheckMounted() const;
    void TearDown() noexcept;
    void LinkModule(const std::string& name, std::vector<std::string>& seen) const;

    PrivateMounts mounts_;
    size_t expectedMounts_ = 0;
};

}  // namespace qm::e2e
