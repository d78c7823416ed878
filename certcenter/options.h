// Command line of quillmate-certcenter: "serve" (the default) and "approve".
#pragma once

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qm::certcenter {

// A command line the program cannot run; what() is the message for the operator.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

// Ports the center fetches verification files from: single ports and
// ranges ("80,443,8000-8099").
class PortSet {
public:
    PortSet() = default;
    PortSet(std::initializer_list<int> ports);

    void Add(int low, int high);  // 1 <= low <= high <= 65535
    bool Contains(int port) const;
    std::string Text() const;  // "80, 443, 8000-8099"

private:
    std::vector<std::pair<int, int>> ranges_;
};

// Adds "N" or "LOW-HIGH" to `ports`; throws UsageError naming `option`.
void ParsePorts(const std::string& option, const std::string& text, PortSet& ports);

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

    // What the center certifies and where it looks for the proof.
    bool allowLocal = false;  // local names and private addresses (tests, private networks)
    PortSet allowedPorts{80, 443};
    long fetchTimeoutMs = 10000;  // the whole fetch of one verification file, redirects included

    // Lifetimes, in seconds.
    long challengeLifetime = 60L * 60;
    long authorizationLifetime = 30L * 24 * 60 * 60;

    // Requests per minute before "highFrequency" (0: no limit).
    int requestsPerAddress = 300;
    int requestsPerKey = 120;

    // Connections.
    long handshakeTimeoutMs = 10000;
    long requestTimeoutMs = 10000;  // reading the whole request
    long writeTimeoutMs = 10000;
    size_t maxConnections = 512;
    size_t maxConnectionsPerAddress = 16;
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

// `args` without the program name. Throws UsageError.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kProgramHelp;
extern const char* const kServeHelp;
extern const char* const kApproveHelp;

}  // namespace qm::certcenter
