#include "certcenter/options.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace qm::certcenter {

const char* const kProgramHelp =
    "Usage: quillmate-certcenter [serve] [options]\n"
    "       quillmate-certcenter approve TOKEN --state DIR\n"
    "\n"
    "A certificate center for Quillmate's enrollment protocol: JSON messages\n"
    "posted over HTTPS, certificates issued by the center's own CA.\n"
    "\n"
    "Commands:\n"
    "  serve     run the center (the default command)\n"
    "  approve   approve a deferred certificate request\n"
    "\n"
    "Run \"quillmate-certcenter COMMAND --help\" for the options of a command.\n";

const char* const kServeHelp =
    "Usage: quillmate-certcenter serve --state DIR [options]\n"
    "\n"
    "Answers challengeRequest, authorizationRequest, certificateRequest and\n"
    "statusRequest messages posted to any path. At first start the state folder\n"
    "receives the center's CA: ca.pem (give it to clients as their trust anchor)\n"
    "and ca-key.pem (readable by its owner only; the center does not start when\n"
    "others may read it). Every request is appended to requests.log in the state\n"
    "folder as one JSON line, with every request of each verification fetch.\n"
    "\n"
    "Before issuing, the center checks: every \"encrypt\" signature; that each name\n"
    "is a public domain name (no single label, localhost, IP address or reserved\n"
    "suffix .local .internal .test .example .invalid .localhost .home.arpa .onion);\n"
    "that each name serves the authorization's value at exactly\n"
    "http[s]://NAME[:PORT]/auth/auth.txt on an allowed port, fetched from a public\n"
    "address (redirects: at most 10, http or https on allowed ports);\n"
    "that the challenge is younger than its lifetime and the authorization too.\n"
    "\n"
    "Options:\n"
    "  --state DIR               state folder (created when missing; required)\n"
    "  --listen HOST:PORT        address to listen on (default 127.0.0.1:8443;\n"
    "                            port 0 picks a free port)\n"
    "  --hostname NAME           a further name (or IP address) for the center's\n"
    "                            TLS certificate, besides localhost and 127.0.0.1;\n"
    "                            may be repeated\n"
    "  --ready-file FILE         write the port to FILE once listening\n"
    "  --validity DURATION       validity of new certificates: a whole number\n"
    "                            with the unit s, m, h or d (days when none),\n"
    "                            from 1s to 825d (default 90d); e.g. 2m for\n"
    "                            short-lived certificates\n"
    "  --validity-days N         validity in days (1 to 825)\n"
    "  --max-names N             most names in one request (default 100)\n"
    "  --ca-key ec|rsa           key type of a new CA (default ec: P-256;\n"
    "                            rsa: 2048 bits)\n"
    "  --defer                   answer certificateRequest with \"defer\"; the\n"
    "                            request is issued once approved\n"
    "  --auto-approve-after N    with deferral: answer the first N statusRequest\n"
    "                            messages of a request with \"defer\", then issue\n"
    "                            (implies --defer)\n"
    "\n"
    "Relaxing the checks (tests, demos, private networks):\n"
    "  --allow-local             certify single-label, localhost and reserved-suffix\n"
    "                            names, and fetch verification files from loopback,\n"
    "                            private, link-local and multicast addresses\n"
    "  --allow-port N[-M]        also fetch verification files (and follow\n"
    "                            redirects) on port N, or ports N to M; may be\n"
    "                            repeated (always allowed: 80 and 443)\n"
    "\n"
    "Lifetimes and limits (durations: a whole number with the unit ms, s, m, h\n"
    "or d, seconds when none):\n"
    "  --fetch-timeout DURATION  wall-clock limit of one verification fetch,\n"
    "                            redirects included (default 10s)\n"
    "  --challenge-lifetime DURATION\n"
    "                            how long a challenge may be answered (default 1h)\n"
    "  --authorization-lifetime DURATION\n"
    "                            how long a verified key may request certificates\n"
    "                            (default 30d); after it the client verifies again\n"
    "  --requests-per-address N  requests per minute from one address before\n"
    "                            \"highFrequency\" (default 300; 0: no limit)\n"
    "  --requests-per-key N      requests per minute with one client key before\n"
    "                            \"highFrequency\" (default 120; 0: no limit)\n"
    "  --handshake-timeout DURATION\n"
    "                            time for a client's TLS handshake (default 10s)\n"
    "  --request-timeout DURATION\n"
    "                            time for reading a whole request (default 10s)\n"
    "  --write-timeout DURATION  time for writing an answer (default 10s)\n"
    "  --max-connections N       open connections at once (default 512)\n"
    "  --max-connections-per-address N\n"
    "                            open connections from one address (default 16)\n"
    "\n"
    "Injected failures (for testing clients):\n"
    "  --fail-challenge RULE     answer challengeRequest with an error\n"
    "  --fail-authorization RULE answer authorizationRequest with an error\n"
    "  --fail-certificate RULE   answer certificateRequest with an error\n"
    "  --fail-status RULE        answer statusRequest with an error\n"
    "                            RULE is CODE, CODE:always, CODE:once or CODE:N\n"
    "                            (the first N requests), e.g. highFrequency,\n"
    "                            unknown:once, publicKeyIllegal:always\n"
    "  --help                    show this help\n";

const char* const kApproveHelp =
    "Usage: quillmate-certcenter approve TOKEN --state DIR\n"
    "\n"
    "Approves the deferred certificate request TOKEN of the center whose state\n"
    "folder is DIR; the center issues the certificate at the request's next\n"
    "statusRequest. The center may be running or stopped.\n"
    "\n"
    "Options:\n"
    "  --state DIR   the center's state folder (required)\n"
    "  --help        show this help\n";

namespace {

constexpr int64_t kDayMs = int64_t{86400} * 1000;

int ParseInt(const std::string& option, const std::string& text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

// "N", "Ns", "Nm", "Nh" or "Nd" in seconds; a bare number counts days, as
// --validity-days always did.
long ParseValidity(const std::string& option, const std::string& text) {
    long unit = 24L * 60 * 60;
    std::string digits = text;
    if (!digits.empty() && !(digits.back() >= '0' && digits.back() <= '9')) {
        switch (digits.back()) {
            case 's':
                unit = 1;
                break;
            case 'm':
                unit = 60;
                break;
            case 'h':
                unit = 60L * 60;
                break;
            case 'd':
                break;
            default:
                unit = 0;
        }
        digits.pop_back();
    }
    long count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    // The count is checked before multiplying, so a huge one cannot wrap.
    if (unit == 0 || digits.empty() || error != std::errc() ||
        end != digits.data() + digits.size() || count < 1 || count > kMaxValiditySeconds / unit)
        throw UsageError(option +
                         " needs a whole number with the unit s, m, h or d (days when none), "
                         "from 1s to 825d, not \"" +
                         text + "\"");
    return count * unit;
}

// "N" plus the unit ms, s, m, h or d (seconds when none), in milliseconds.
int64_t ParseDurationMs(const std::string& option, const std::string& text, int64_t lowMs,
                        int64_t highMs) {
    static const std::pair<const char*, int64_t> kUnits[] = {
        {"ms", 1}, {"s", 1000}, {"m", 60 * 1000}, {"h", 3600 * 1000}, {"d", kDayMs}};
    int64_t unit = 1000;
    std::string digits = text;
    for (const auto& [suffix, ms] : kUnits) {
        const std::string_view tail(suffix);
        if (digits.size() > tail.size() && digits.ends_with(tail) &&
            !(tail == "s" && digits.ends_with("ms"))) {
            unit = ms;
            digits.resize(digits.size() - tail.size());
            break;
        }
    }
    int64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        count < 0 || count > highMs / unit || count * unit < lowMs)
        throw UsageError(option +
                         " needs a duration: a whole number with the unit ms, s, m, h or d "
                         "(seconds when none), not \"" +
                         text + "\"");
    return count * unit;
}

void ParseListen(const std::string& text, ServeOptions& options) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        throw UsageError("--listen needs HOST:PORT, not \"" + text + "\"");
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    options.listenHost = host;
    options.listenPort = ParseInt("--listen", text.substr(colon + 1), 0, 65535);
}

}  // namespace

PortSet::PortSet(std::initializer_list<int> ports) {
    for (const int port : ports)
        Add(port, port);
}

void PortSet::Add(int low, int high) {
    ranges_.emplace_back(low, high);
    std::sort(ranges_.begin(), ranges_.end());
}

bool PortSet::Contains(int port) const {
    return std::any_of(ranges_.begin(), ranges_.end(), [port](const auto& range) {
        return range.first <= port && port <= range.second;
    });
}

std::string PortSet::Text() const {
    std::string text;
    for (const auto& [low, high] : ranges_) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(low);
        if (high != low)
            text += "-" + std::to_string(high);
    }
    return text;
}

void ParsePorts(const std::string& option, const std::string& text, PortSet& ports) {
    const auto dash = text.find('-');
    const int low = ParseInt(option, text.substr(0, dash), 1, 65535);
    const int high =
        dash == std::string::npos ? low : ParseInt(option, text.substr(dash + 1), low, 65535);
    ports.Add(low, high);
}

FaultRule ParseFaultRule(const std::string& text) {
    FaultRule rule;
    const auto colon = text.find(':');
    rule.error = text.substr(0, colon);
    if (rule.error.empty())
        throw UsageError("a fault rule needs an error code, not \"" + text + "\"");
    if (colon == std::string::npos)
        return rule;
    const std::string times = text.substr(colon + 1);
    if (times == "always")
        rule.count = -1;
    else if (times == "once")
        rule.count = 1;
    else
        rule.count = ParseInt("a fault rule", times, 1, 1000000);
    return rule;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    size_t i = 0;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        line.command = CommandLine::Command::Help;
        line.helpText = kProgramHelp;
        return line;
    }
    if (!args.empty() && args[0] == "approve") {
        line.command = CommandLine::Command::Approve;
        ++i;
    } else if (!args.empty() && args[0] == "serve") {
        ++i;
    }
    const bool approving = line.command == CommandLine::Command::Approve;

    auto value = [&](const std::string& option) -> const std::string& {
        if (i + 1 >= args.size())
            throw UsageError(option + " needs a value");
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            line.command = CommandLine::Command::Help;
            line.helpText = approving ? kApproveHelp : kServeHelp;
            return line;
        }
        if (arg == "--state") {
            (approving ? line.approve.stateDir : line.serve.stateDir) = value(arg);
        } else if (approving) {
            if (arg.starts_with("-") || !line.approve.token.empty())
                throw UsageError("approve: unexpected argument \"" + arg + "\"");
            line.approve.token = arg;
        } else if (arg == "--listen") {
            ParseListen(value(arg), line.serve);
        } else if (arg == "--hostname") {
            line.serve.hostnames.push_back(value(arg));
        } else if (arg == "--ready-file") {
            line.serve.readyFile = value(arg);
        } else if (arg == "--validity") {
            line.serve.validitySeconds = ParseValidity(arg, value(arg));
        } else if (arg == "--validity-days") {
            line.serve.validitySeconds = ParseInt(arg, value(arg), 1, 825) * (24L * 60 * 60);
        } else if (arg == "--max-names") {
            line.serve.maxNames = static_cast<size_t>(ParseInt(arg, value(arg), 1, 1000));
        } else if (arg == "--ca-key") {
            const std::string& kind = value(arg);
            if (kind == "ec")
                line.serve.caKey = KeyKind::Ec;
            else if (kind == "rsa")
                line.serve.caKey = KeyKind::Rsa;
            else
                throw UsageError("--ca-key is ec or rsa, not \"" + kind + "\"");
        } else if (arg == "--defer") {
            line.serve.defer = true;
        } else if (arg == "--auto-approve-after") {
            line.serve.autoApproveAfter = ParseInt(arg, value(arg), 0, 1000000);
            line.serve.defer = true;
        } else if (arg == "--allow-local") {
            line.serve.allowLocal = true;
        } else if (arg == "--allow-port") {
            ParsePorts(arg, value(arg), line.serve.allowedPorts);
        } else if (arg == "--fetch-timeout") {
            line.serve.fetchTimeoutMs =
                static_cast<long>(ParseDurationMs(arg, value(arg), 100, 120000));
        } else if (arg == "--challenge-lifetime") {
            line.serve.challengeLifetime =
                static_cast<long>(ParseDurationMs(arg, value(arg), 1000, kDayMs) / 1000);
        } else if (arg == "--authorization-lifetime") {
            line.serve.authorizationLifetime =
                static_cast<long>(ParseDurationMs(arg, value(arg), 1000, 825 * kDayMs) / 1000);
        } else if (arg == "--requests-per-address") {
            line.serve.requestsPerAddress = ParseInt(arg, value(arg), 0, 1000000);
        } else if (arg == "--requests-per-key") {
            line.serve.requestsPerKey = ParseInt(arg, value(arg), 0, 1000000);
        } else if (arg == "--handshake-timeout") {
            line.serve.handshakeTimeoutMs =
                static_cast<long>(ParseDurationMs(arg, value(arg), 100, 600000));
        } else if (arg == "--request-timeout") {
            line.serve.requestTimeoutMs =
                static_cast<long>(ParseDurationMs(arg, value(arg), 100, 600000));
        } else if (arg == "--write-timeout") {
            line.serve.writeTimeoutMs =
                static_cast<long>(ParseDurationMs(arg, value(arg), 100, 600000));
        } else if (arg == "--max-connections") {
            line.serve.maxConnections = static_cast<size_t>(ParseInt(arg, value(arg), 1, 100000));
        } else if (arg == "--max-connections-per-address") {
            line.serve.maxConnectionsPerAddress =
                static_cast<size_t>(ParseInt(arg, value(arg), 1, 100000));
        } else if (arg == "--fail-challenge") {
            line.serve.failChallenge = ParseFaultRule(value(arg));
        } else if (arg == "--fail-authorization") {
            line.serve.failAuthorization = ParseFaultRule(value(arg));
        } else if (arg == "--fail-certificate") {
            line.serve.failCertificate = ParseFaultRule(value(arg));
        } else if (arg == "--fail-status") {
            line.serve.failStatus = ParseFaultRule(value(arg));
        } else {
            throw UsageError("unknown option \"" + arg + "\" (see --help)");
        }
    }

    if (approving) {
        if (line.approve.token.empty())
            throw UsageError("approve needs the TOKEN of a deferred request");
        if (line.approve.stateDir.empty())
            throw UsageError("approve needs --state DIR");
    } else if (line.serve.stateDir.empty()) {
        throw UsageError("serve needs --state DIR");
    }
    return line;
}

}  // namespace qm::certcenter
