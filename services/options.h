// Command line of quillmate-services: "serve" (the default) and "publish".
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::services {

// An injected failure of one kind of request: `kind` for the first `count`
// matching requests, or for all of them.
struct FaultRule {
    std::string kind;  // empty: no fault
    int count = -1;    // requests still to fail; -1: every one
    std::string file;  // downloads: only this file ("" any)

    bool active() const { return !kind.empty() && count != 0; }
};

// Download faults: "slow" (half the body, then a stall), "truncated" (half
// the body under the full Content-Length, then the connection closes),
// "wrong-content" (the full length with the last byte flipped).
inline constexpr const char* kDownloadFaults[] = {"slow", "truncated", "wrong-content"};
// Feedback faults: "error" (an error answer) and "not-json" (an answer that
// does not parse).
inline constexpr const char* kFeedbackFaults[] = {"error", "not-json"};

// Parses "KIND", "KIND:N" (N >= 1), either followed by "@FILE" (the one
// release file a download fault spoils); `option` names the option in
// messages.
// Throws UsageError for a kind not in `kinds`.
FaultRule ParseFaultRule(const std::string& option, const std::string& text,
                         const std::vector<std::string>& kinds);

// Hands out a rule's fault to the requests it matches, counting them down;
// thread-safe.
class FaultSwitch {
public:
    explicit FaultSwitch(FaultRule rule = {}) : rule_(std::move(rule)) {}

    // The fault for this request (of `file`, for downloads), or "" when none.
    std::string Take(const std::string& file = {}) {
        std::lock_guard lock(mutex_);
        if (!rule_.active() || (!rule_.file.empty() && rule_.file != file))
            return {};
        if (rule_.count > 0)
            --rule_.count;
        return rule_.kind;
    }

private:
    std::mutex mutex_;
    FaultRule rule_;
};

struct ServeOptions {
    std::string stateDir;
    std::string releaseDir;  // the files of GET /download/<name>; empty: none
    std::string listenHost = "127.0.0.1";
    int listenPort = 9443;               // 0: any free port
    std::vector<std::string> hostnames;  // further names of the TLS certificate
    std::string readyFile;               // receives the port once listening
    FaultRule downloadFault, feedbackFault;
};

struct PublishOptions {
    std::string fromDir;  // the installed program tree
    std::string toDir;    // the release folder
    std::string version;  // "A.B.C.D" (1 to 4 components)
    std::string despEn, despCn;
};

struct CommandLine {
    enum class Command { Serve, Publish, Help };
    Command command = Command::Serve;
    std::string helpText;  // for Help
    ServeOptions serve;
    PublishOptions publish;
};

// A command line the program cannot run; what() is the message for the operator.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// 1 to 4 components of 1 to 9 decimal digits, separated by dots.
bool IsVersionText(const std::string& text);

// `args` without the program name. Throws UsageError.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kProgramHelp;
extern const char* const kServeHelp;
extern const char* const kPublishHelp;

}  // namespace qm::services
