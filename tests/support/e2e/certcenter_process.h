// End-to-end harness: the real certificate center in a child process, and a
// plain HTTP file server that answers the center's verification fetches.
//
// Usage (in a test registered with quillmate_add_e2e_test, which runs the
// binary with its own /etc/hosts mapping the HOSTS names to 127.0.0.1):
//
//     QM_E2E_REQUIRE_PRIVATE_HOSTS();             // skip when run by hand
//     qm::e2e::CertCenterProcess center({"--defer"});
//     qm::e2e::StaticFileServer site(siteRoot);  // serves siteRoot/auth/auth.txt
//     // client posts to center.url() trusting center.caFile(); verification
//     // URLs are site.UrlFor("shop.example.test", "/auth/auth.txt")
//     EXPECT_EQ(center.RequestTypes(),
//               (std::vector<std::string>{"challengeRequest", "authorizationRequest",
//                                         "certificateRequest"}));
//     EXPECT_EQ(center.Approve(token), 0);
//
// CertCenterProcess throws std::runtime_error (with the center's stderr)
// when the center does not start; GoogleTest reports it as a failure.
#pragma once

#include <json/value.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace qm::test {
class TempDir;
}

namespace qm::e2e {

// Skips the current test unless it runs under the private hosts file.
bool HasPrivateHosts();
#define QM_E2E_REQUIRE_PRIVATE_HOSTS()                                                     \
    do {                                                                                   \
        if (!::qm::e2e::HasPrivateHosts())                                                 \
            GTEST_SKIP() << "needs the private /etc/hosts of run-with-hosts (run it with " \
                            "ctest)";                                                      \
    } while (0)

// One line of the center's request log.
struct CenterRequest {
    std::string time;     // UTC, "YYYY-MM-DDThh:mm:ssZ"
    std::string type;     // the request's "type" ("" when it was not JSON)
    std::string outcome;  // the answer's "type": "challenge", "authorization",
                          // "certificate", "defer" or "error"
    std::string error;    // the answer's "error" when outcome is "error"
    Json::Value line;     // the whole line (also "message", "sessionID", "token", "names")
};

class CertCenterProcess {
public:
    // The tests' sites live under reserved names on loopback addresses and
    // high ports: the center is told to allow them, unless a test checks
    // the center's refusals.
    enum class Checks { RelaxedForLoopbackSites, AsConfigured };

    // Starts `quillmate-certcenter serve` on a free loopback port with a fresh
    // state folder; `options` are further serve options ("--defer",
    // "--fail-authorization", "unknown:once", ...).
    explicit CertCenterProcess(std::vector<std::string> options = {},
                               Checks checks = Checks::RelaxedForLoopbackSites);
    ~CertCenterProcess();
    CertCenterProcess(const CertCenterProcess&) = delete;
    CertCenterProcess& operator=(const CertCenterProcess&) = delete;

    std::string url() const;  // "https://localhost:PORT" (no path)
    int port() const { return port_; }
    std::string caFile() const;    // the center's CA certificate (PEM) to trust
    std::string stateDir() const;  // the center's state folder

    std::vector<CenterRequest> RequestLog() const;
    std::vector<std::string> RequestTypes() const;  // the "type" of each logged request

    // Runs `quillmate-certcenter approve TOKEN`; returns its exit code.
    int Approve(const std::string& token) const;

    // Stops the center and starts it again on the same port and state,
    // optionally with other options.
    void Restart();
    void Restart(std::vector<std::string> options);
    // Ends the center (SIGTERM, then SIGKILL after 10 s); returns its exit
    // code, 0 for a clean stop. The destructor reports any other as a failure.
    int Stop();
    bool running() const { return pid_ > 0; }
    // Kills the center with SIGKILL (no chance to clean up) and starts it
    // again on the same port and state.
    void KillAndRestart();

    std::string StderrText() const;  // what the center wrote to stderr so far

private:
    void Start(int port);

    std::unique_ptr<test::TempDir> dir_;
    std::vector<std::string> options_;
    Checks checks_;
    int pid_ = -1;
    int port_ = 0;
};

// Plain HTTP on a free loopback port, serving files for GET. Requests for a
// host added with ServeHost are answered from that host's folder, all others
// from the default folder. Paths with ".." segments are refused.
class StaticFileServer {
public:
    explicit StaticFileServer(std::string rootDir);
    ~StaticFileServer();
    StaticFileServer(const StaticFileServer&) = delete;
    StaticFileServer& operator=(const StaticFileServer&) = delete;

    void ServeHost(const std::string& host, std::string rootDir);
    int port() const { return port_; }
    // "http://" + host + ":" + port + path
    std::string UrlFor(const std::string& host, const std::string& path) const;
    // "host path" of every GET answered so far, in order.
    std::vector<std::string> Fetched() const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<std::thread> thread_;
    mutable std::mutex mutex_;
    std::string defaultRoot_;
    std::map<std::string, std::string> hostRoots_;
    std::vector<std::string> fetched_;
    int port_ = 0;
};

// The path of the quillmate-certcenter program this build made.
std::string CertCenterProgram();

}  // namespace qm::e2e
