// Apache httpd in the layout of a build from source (/usr/local/apache2) or
// of the official container image, laid out in a temporary folder ROOT from
// Debian's apache2-bin, for end-to-end tests:
//
//     ROOT/bin/httpd                  a copy of /usr/sbin/apache2, so that
//                                     /proc/PID/exe names ROOT/bin/httpd
//     ROOT/modules/                   a link to /usr/lib/apache2/modules
//     ROOT/conf/httpd.conf            written in the upstream manner
//     ROOT/conf/mime.types            a copy of /etc/mime.types
//     ROOT/conf/extra/httpd-ssl.conf  the upstream TLS file
//     ROOT/conf/extra/httpd-vhosts.conf
//     ROOT/htdocs/, ROOT/logs/
//
// Started as `ROOT/bin/httpd -d ROOT -f ROOT/conf/httpd.conf` from ROOT with
// a clean environment. Debian's executable has "apache2.conf" compiled in
// as its configuration file, so the -f is needed where a build from source
// would find conf/httpd.conf by itself. It runs on free loopback ports
// anywhere, and on ports 80 and 443 inside the private network namespace of
// run-with-hosts --private-network. Should the test process die without its
// destructors, a small guard process it leaves behind kills the httpd
// processes of ROOT/bin/httpd and removes ROOT.
//
//     QM_E2E_REQUIRE_APACHE();
//     qm::e2e::UpstreamApache::Options options;
//     options.serverName = "main.example.test";
//     options.vhosts = "<VirtualHost *:" + ... + ">\n    ServerName shop.test\n</VirtualHost>\n";
//     qm::e2e::UpstreamApache httpd(options);
//     httpd.Start();                      // waits until httpPort() accepts
//     ...
//     // the destructor stops httpd and removes ROOT
//
// Failures throw std::runtime_error carrying httpd's own messages.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/e2e/server_process.h"

namespace qm::e2e {

// Debian's Apache executable and its modules (package apache2-bin).
constexpr const char* kInstalledApache = "/usr/sbin/apache2";
constexpr const char* kInstalledApacheModules = "/usr/lib/apache2/modules";

// Why this machine cannot lay out an Apache (not installed); empty when it can.
std::string ApacheUnavailableReason();

// Skips the current test when Apache is not installed.
#define QM_E2E_REQUIRE_APACHE()                                          \
    do {                                                                 \
        const std::string whyNot = ::qm::e2e::ApacheUnavailableReason(); \
        if (!whyNot.empty())                                             \
            GTEST_SKIP() << whyNot;                                      \
    } while (0)

class UpstreamApache {
public:
    struct Options {
        int httpPort = 0;   // 0: a free loopback port
        int httpsPort = 0;  // 0: a free loopback port (for the caller's own Listen lines)
        // The address of the Listen line; empty: 127.0.0.1 when the port was
        // picked here, every address when the caller chose it.
        std::string listenAddress;
        std::string serverName;  // ServerName of the main server; empty: none
        // Whether ssl_module and socache_shmcb_module are loaded; otherwise
        // their LoadModule lines are there, commented, as upstream ships them.
        bool loadSsl = false;
        // `<IfDefine SSL> Include conf/extra/httpd-ssl.conf </IfDefine>`.
        bool includeSslConf = true;
        // `Include conf/extra/httpd-vhosts.conf` (commented otherwise).
        bool includeVhosts = true;
        // The text of conf/extra/httpd-vhosts.conf; empty: comments only.
        std::string vhosts;
        // Text at the end of httpd.conf.
        std::string extra;
        // -D NAME on the command line.
        std::vector<std::string> defines;
    };

    UpstreamApache();
    // Lays out ROOT and writes the configuration; does not start httpd.
    explicit UpstreamApache(Options options);
    // Stops every httpd process of ROOT, then removes ROOT.
    ~UpstreamApache();
    UpstreamApache(const UpstreamApache&) = delete;
    UpstreamApache& operator=(const UpstreamApache&) = delete;

    const std::string& root() const { return folder_.path(); }  // ends in "/"
    std::string serverRoot() const;                             // ROOT without the last "/"
    std::string executable() const;                             // ROOT/bin/httpd
    std::string confPath() const;                               // ROOT/conf/httpd.conf
    std::string htdocsDir() const;                              // ROOT/htdocs/
    std::string logsDir() const;                                // ROOT/logs/
    std::string pidFile() const;                                // ROOT/logs/httpd.pid
    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }
    const Options& options() const { return options_; }

    // The arguments httpd is started with: ROOT/bin/httpd -d ROOT -f
    // ROOT/conf/httpd.conf, and a -D for each define.
    std::vector<std::string> CommandLine() const;

    // httpd.conf as the options describe it.
    std::string HttpdConf() const;
    // The upstream httpd-ssl.conf, pointing into ROOT.
    std::string HttpdSslConf() const;

    // Writes a file below ROOT (folders are created), replacing it.
    void WriteFile(const std::string& relative, const std::string& text) const;
    // The file below ROOT; empty when it cannot be read.
    std::string ReadFile(const std::string& relative) const;

    // Runs httpd with the command line and `args` (e.g. {"-t"}) to its end;
    // returns its exit code, `output` receives its messages.
    int Run(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // `httpd -d ROOT -f ROOT/conf/httpd.conf -t`.
    bool TestConfig(std::string* output = nullptr) const;

    // Starts httpd and waits until every port (httpPort() when none are
    // given) accepts connections on 127.0.0.1 and the pid file names the
    // parent. Throws with httpd's messages otherwise.
    void Start(const std::vector<int>& ports = {}, int timeoutMs = 10000);
    // `httpd -k graceful`, then waits until the parent has read its
    // configuration again and runs a child that did not exist before.
    void GracefulRestart(int timeoutMs = 10000);
    // SIGTERM to the parent, then a kill of whatever process of ROOT/bin/httpd
    // is left after `graceMs`.
    void Stop(int graceMs = 5000);

    // The parent named by logs/httpd.pid, 0 when it is not running.
    int ParentPid() const;
    bool Running() const { return ParentPid() != 0; }
    // Every living process of ROOT/bin/httpd, and the parent's children.
    std::vector<int> ProcessIds() const;
    // The parent's child processes.
    std::vector<int> ChildPids() const;

    std::string ErrorLog() const;   // ROOT/logs/error_log
    std::string AccessLog() const;  // ROOT/logs/access_log

private:
    void LayOut();
    void TearDown() noexcept;

    Options options_;
    GuardedFolder folder_;  // ROOT
    std::string canonicalExecutable_;
    int httpPort_ = 0;
    int httpsPort_ = 0;
};

// What both Apache harnesses share.
namespace apache_harness {

// The parent named by the pid file when it lives and runs `executable`
// (in this mount namespace, when `ownMountNamespace`); 0 otherwise.
int ParentOfPidFile(const std::string& pidFile, const std::string& executable,
                    bool ownMountNamespace);

// After a start: waits until every port accepts connections on 127.0.0.1
// and `parentPid` names the parent (it writes its pid file after it
// detached). Throws with the start's `output` and the error log otherwise.
void WaitToServe(const std::vector<int>& ports, int timeoutMs, const std::string& output,
                 const std::function<int()>& parentPid,
                 const std::function<std::string()>& errorLog);

// After a graceful restart was asked for: waits until the error log says
// the configuration was read again (more "resuming normal operations"
// lines than `resumedBefore`) and the parent runs a child that is not in
// `childrenBefore`. Throws with the error log otherwise.
void WaitForGracefulRestart(size_t resumedBefore, const std::vector<int>& childrenBefore,
                            int timeoutMs, const std::function<int()>& parentPid,
                            const std::function<std::string()>& errorLog);
// How often the error log says "resuming normal operations".
size_t ResumedCount(const std::string& errorLog);

}  // namespace apache_harness

}  // namespace qm::e2e
