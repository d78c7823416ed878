// Command line of quillmate-certcenter: "serve" (the default) and "approve".
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::certcenter {

// An injected failure: the answer {"type":"error","error":<error>} to the
// first `count` requests of one kind, or to all of them.
struct FaultRule {
    std::string error;  // empty: no fault
    int count = -1;     // answers still to fail; -1: every answer

    bool active() const { return !error.empty() && count != 0; }
};

// Parses "CODE", "CODE:always", "CODE:once" or "CODE:N" (N >= 1).
FaultRule ParseFaultRule(const std::string& text);

// Longest validity of a certificate the center signs, in seconds.
inline constexpr long kMaxValiditySeconds = 825L * 24 * 60 * 60;

enum class KeyKind { Ec, Rsa };

struct ServeOptions {
    std::string listenHost = "127.0.0.1";
    int listenPort = 8443;  // 0: any free port
    std::string stateDir;
    std::vector<std::string> hostnames;  // further names of the TLS certificate
    std::string readyFile;               // receives the port once listening
    long validitySeconds = 90L * 24 * 60 * 60;
    bool defer = false;
    int autoApproveAfter = -1;  // deferring status answers before issuing; -1: never
    size_t maxNames = 100;
    KeyKind caKey = KeyKind::Ec;
    FaultRule failChallenge, failAuthorization, failCertificate, failStatus;
};

struct ApproveOptions {
    std::string token;
    std::string stateDir;
};

struct CommandLine {
    enum class Command { Serve, Approve, Help };
    Command command = Command::Serve;
    std::string helpText;  // for Help
    ServeOptions serve;
    ApproveOptions approve;
};

// A command line the program cannot run; what() is the message for the operator.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `args` without the program name. Throws UsageError.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kProgramHelp;
extern const char* const kServeHelp;
extern const char* const kApproveHelp;

}  // namespace qm::certcenter
