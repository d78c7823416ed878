// The distribution's packaged nginx on its own default layout, for
// end-to-end tests of what an administrator has after `apt install nginx`:
// /usr/sbin/nginx started without options, /etc/nginx/nginx.conf with its
// conf.d/*.conf and sites-enabled/* includes, the pid file /run/nginx.pid,
// logs in /var/log/nginx/, the default site in /var/www/html/.
//
// It only works inside the private mount and network namespaces that
// run-with-hosts --private-network gives a test (quillmate_add_e2e_test with
// PRIVATE_NETWORK), as root. There it lays a copy of the installed
// /etc/nginx over /etc/nginx and fresh temporary folders over /var/log/nginx,
// /var/lib/nginx, /var/www and /run with bind mounts that only this process
// (and the nginx it starts) sees; the machine's own files are never touched,
// and ports 80 and 443 are those of the private loopback. Should the test
// process die without its destructors (a crash, a kill at a time limit), a
// small guard process it leaves behind kills the nginx processes of the
// namespace and removes the temporary folder.
//
//     QM_E2E_REQUIRE_DISTRO_NGINX();
//     qm::e2e::DistroNginx nginx;
//     nginx.WriteFile("conf.d/shop.conf", "server { listen 80; server_name shop.test; }\n");
//     nginx.Start();                      // waits until port 80 accepts
//     auto page = qm::e2e::HttpGet("http://127.0.0.1/");
//     ...
//     // the destructor stops nginx and removes the mounts
//
// Failures throw std::runtime_error carrying nginx's own messages.
#pragma once

#include <string>
#include <vector>

#include "tests/support/e2e/private_mounts.h"

namespace qm::e2e {

// Why this process may not run the packaged nginx on its own layout (not
// root, not inside the private namespaces of run-with-hosts
// --private-network, nginx not installed); empty when it may.
std::string DistroNginxUnavailableReason();

// Skips the current test, with the reason, when DistroNginx cannot be used.
#define QM_E2E_REQUIRE_DISTRO_NGINX()                                         \
    do {                                                                      \
        const std::string whyNot = ::qm::e2e::DistroNginxUnavailableReason(); \
        if (!whyNot.empty())                                                  \
            GTEST_SKIP() << whyNot;                                           \
    } while (0)

class DistroNginx {
public:
    static constexpr const char* kExecutable = "/usr/sbin/nginx";
    static constexpr const char* kConfigDir = "/etc/nginx/";
    static constexpr const char* kPidFile = "/run/nginx.pid";
    static constexpr const char* kLogDir = "/var/log/nginx/";
    static constexpr const char* kWebDir = "/var/www/";

    // Checks DistroNginxUnavailableReason (throws with it), then mounts the
    // private copies. Only one object may exist at a time in a process.
    DistroNginx();
    // Stops every nginx process of this namespace, then removes the mounts
    // and the temporary folders behind them.
    ~DistroNginx();
    DistroNginx(const DistroNginx&) = delete;
    DistroNginx& operator=(const DistroNginx&) = delete;

    static std::string ConfigDir() { return kConfigDir; }  // "/etc/nginx/"
    // ConfigDir() + relative
    static std::string ConfigPath(const std::string& relative);

    // Writes a file below /etc/nginx/ (folders are created), replacing it.
    void WriteFile(const std::string& relative, const std::string& text) const;
    // The file below /etc/nginx/; empty when it cannot be read.
    std::string ReadFile(const std::string& relative) const;
    // Writes a file below /var/www/ (folders are created), e.g. "shop/index.html".
    void WriteWebFile(const std::string& relative, const std::string& text) const;

    // Writes sites-available/NAME and links sites-enabled/NAME to it, as
    // Debian's own default site is linked.
    void EnableSite(const std::string& name, const std::string& text) const;
    // Removes the link sites-enabled/NAME (e.g. "default"); the file in
    // sites-available stays.
    void DisableSite(const std::string& name) const;

    // Runs /usr/sbin/nginx with the arguments (e.g. {"-s", "reload"}) to its
    // end; returns its exit code, `output` receives its messages.
    int Run(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // `nginx -t`.
    bool TestConfig(std::string* output = nullptr) const;

    // Runs /usr/sbin/nginx without options and waits until every port (80
    // when none are given) accepts connections on 127.0.0.1 and the pid file
    // names the master. Throws with nginx's messages otherwise.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 10000);
    // `nginx -s reload`, then waits until the master runs a worker that did
    // not exist before. Throws when nginx refuses or no new worker comes.
    void Reload(int timeoutMs = 10000);
    // `nginx -s quit`, then a kill of whatever nginx process of this
    // namespace is left after `graceMs`.
    void Stop(int graceMs = 5000);

    // The master named by /run/nginx.pid, 0 when it is not running.
    int MasterPid() const;
    bool Running() const { return MasterPid() != 0; }
    // Every living nginx process of this mount namespace.
    std::vector<int> ProcessIds() const;
    // The master's worker processes.
    std::vector<int> WorkerPids() const;

    std::string ErrorLog() const;   // /var/log/nginx/error.log
    std::string AccessLog() const;  // /var/log/nginx/access.log

    // The temporary folder behind the mounts (ends in "/").
    const std::string& privateRoot() const { return mounts_.root(); }

private:
    void LayOut();
    void CheckMounted() const;
    void TearDown() noexcept;

    PrivateMounts mounts_;
};

}  // namespace qm::e2e
