// End-to-end harness: the real maker's web service (quillmate-services) in a
// child process, and its publish command.
//
// Usage (in a test registered with quillmate_add_e2e_test):
//
//     ASSERT_EQ(qm::e2e::PublishRelease(tree, release, "1.2.0.0", "new", "新"), 0);
//     qm::e2e::ServicesProcess services(release, {"--fault-download", "truncated:1"});
//     // clients fetch services.url() + "/download/Quillmate.zip" trusting
//     // services.caFile(), post to services.url() + "/ReceiveFeedbackServer"
//     EXPECT_EQ(services.Received().size(), 1u);
//
// ServicesProcess throws std::runtime_error (with the service's stderr) when
// the service does not start; GoogleTest reports it as a failure.
#pragma once

#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

namespace qm::test {
class TempDir;
}

namespace qm::e2e {

class ServicesProcess {
public:
    // Starts `quillmate-services serve` on a free loopback port with a fresh
    // state folder, serving `releaseDir`; `options` are further serve options
    // ("--fault-download", "slow:1", ...).
    explicit ServicesProcess(std::string releaseDir, std::vector<std::string> options = {});
    ~ServicesProcess();
    ServicesProcess(const ServicesProcess&) = delete;
    ServicesProcess& operator=(const ServicesProcess&) = delete;

    std::string url() const;  // "https://localhost:PORT" (no path)
    int port() const { return port_; }
    std::string caFile() const;    // the service's CA certificate (PEM) to trust
    std::string stateDir() const;  // the service's state folder

    // The "message" of each line of received.jsonl (the accepted messages), in order.
    std::vector<Json::Value> Received() const;
    // Each line of requests.log: "time", "method", "path", "status", and
    // "type", "outcome", "msg" for posts or "bytes", "fault" for downloads.
    std::vector<Json::Value> RequestLog() const;

    // Stops the service and starts it again on the same port, state and
    // release folder, optionally with other options.
    void Restart();
    void Restart(std::vector<std::string> options);
    // Ends the service (SIGTERM, then SIGKILL after 10 s); returns its exit
    // code, 0 for a clean stop. The destructor reports any other as a failure.
    int Stop();
    bool running() const { return pid_ > 0; }

    std::string StderrText() const;  // what the service wrote to stderr so far

private:
    void Start(int port);

    std::unique_ptr<test::TempDir> dir_;
    std::string releaseDir_;
    std::vector<std::string> options_;
    int pid_ = -1;
    int port_ = 0;
};

// The path of the quillmate-services program this build made.
std::string ServicesProgram();

// Runs `quillmate-services publish --from from --to to --version version
// --desp-en despEn --desp-cn despCn`; returns its exit code, and what it
// printed in `output` when given.
int PublishRelease(const std::string& from, const std::string& to, const std::string& version,
                   const std::string& despEn, const std::string& despCn,
                   std::string* output = nullptr);

}  // namespace qm::e2e
