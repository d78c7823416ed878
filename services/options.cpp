#include "services/options.h"

#include <algorithm>
#include <charconv>

#include "foundation/textconv.h"

namespace qm::services {

const char* const kProgramHelp =
    "Usage: quillmate-services [serve] --state DIR [options]\n"
    "       quillmate-services publish --from DIR --to DIR --version A.B.C.D [options]\n"
    "\n"
    "The maker's web service Quillmate talks to: the update description and\n"
    "archive for its version check and self-update, and the feedback and usage\n"
    "statistics it posts, over HTTPS with the service's own CA.\n"
    "\n"
    "Commands:\n"
    "  serve     run the service (the default command)\n"
    "  publish   pack an installed program tree into a release folder\n"
    "\n"
    "Run \"quillmate-services COMMAND --help\" for the options of a command.\n";

const char* const kServeHelp =
    "Usage: quillmate-services serve --state DIR [options]\n"
    "\n"
    "GET /download/NAME answers the file NAME of the release folder (plain\n"
    "names only). POST /ReceiveFeedbackServer takes one JSON message of at most\n"
    "64 KiB: msgReq (feedback), userStatReq (start report) or userActionReq\n"
    "(action report); each accepted message is appended to received.jsonl in\n"
    "the state folder as one JSON line. At first start the state folder\n"
    "receives the service's CA: ca.pem (give it to clients as their trust\n"
    "anchor) and ca-key.pem. Every request is appended to requests.log there.\n"
    "\n"
    "Options:\n"
    "  --state DIR                state folder (created when missing; required)\n"
    "  --release DIR              the release folder whose files are served\n"
    "                             (see publish); without it every download is\n"
    "                             404\n"
    "  --listen HOST              address to listen on (default 127.0.0.1)\n"
    "  --port N                   port to listen on (default 9443; 0 picks a\n"
    "                             free port)\n"
    "  --hostname NAME            a further name (or IP address) for the TLS\n"
    "                             certificate, besides localhost and 127.0.0.1;\n"
    "                             may be repeated\n"
    "  --ready-file FILE          write the port to FILE once listening\n"
    "  --fault-download RULE      spoil downloads: slow (half the file, then a\n"
    "                             stall of up to 120 s), truncated (half the\n"
    "                             file under the full length, then the\n"
    "                             connection closes), wrong-content (the last\n"
    "                             byte flipped)\n"
    "  --fault-feedback RULE      spoil answers to posted messages: error (an\n"
    "                             error answer, nothing stored), not-json (an\n"
    "                             answer that is not JSON)\n"
    "                             RULE is KIND (every request) or KIND:N (the\n"
    "                             first N requests), e.g. truncated:1; a\n"
    "                             download RULE may end in @FILE to spoil only\n"
    "                             that file, e.g. truncated@Quillmate.zip\n"
    "  --help                     show this help\n";

const char* const kPublishHelp =
    "Usage: quillmate-services publish --from DIR --to DIR --version A.B.C.D\n"
    "                                  [--desp-en TEXT] [--desp-cn TEXT]\n"
    "\n"
    "Packs every file under the installed program tree into Quillmate.zip in\n"
    "the release folder (paths relative to the tree, execute bits kept;\n"
    "symbolic links are refused), and writes Quillmate.zip.sha256 and the\n"
    "update description Quillmate.update.xml.txt that names the version, the\n"
    "archive's SHA-256 and size. Each file is replaced atomically.\n"
    "\n"
    "Options:\n"
    "  --from DIR        the installed program tree (required)\n"
    "  --to DIR          the release folder (created when missing; required)\n"
    "  --version V       the release's version: 1 to 4 numbers separated by\n"
    "                    dots (required)\n"
    "  --desp-en TEXT    the English description (default \"Quillmate V\")\n"
    "  --desp-cn TEXT    the Chinese description (default \"Quillmate V\")\n"
    "  --help            show this help\n";

namespace {

int ParseInt(const std::string& option, const std::string& text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

// The description goes into XML as text: it must be UTF-8 (the decoder
// turns a bad sequence into U+FFFD, so a round trip shows one) without the
// control characters XML 1.0 cannot hold.
void CheckDescription(const std::string& option, const std::string& text) {
    if (Utf8FromWide(WideFromUtf8(text)) != text)
        throw UsageError(option + " is not valid UTF-8");
    for (const unsigned char c : text)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            throw UsageError(option + " holds a control character");
}

std::string Joined(const std::vector<std::string>& kinds) {
    std::string text;
    for (const auto& kind : kinds)
        text += (text.empty() ? "" : ", ") + kind;
    return text;
}

}  // namespace

FaultRule ParseFaultRule(const std::string& option, const std::string& text,
                         const std::vector<std::string>& kinds) {
    FaultRule rule;
    const auto at = text.find('@');
    if (at != std::string::npos) {
        rule.file = text.substr(at + 1);
        if (rule.file.empty())
            throw UsageError(option + " needs a file name after \"@\"");
    }
    const std::string ruleText = text.substr(0, at);
    const auto colon = ruleText.find(':');
    rule.kind = ruleText.substr(0, colon);
    if (std::find(kinds.begin(), kinds.end(), rule.kind) == kinds.end())
        throw UsageError(option + " needs KIND or KIND:N with KIND one of " + Joined(kinds) +
                         ", not \"" + text + "\"");
    if (colon != std::string::npos)
        rule.count = ParseInt(option + " KIND:N", ruleText.substr(colon + 1), 1, 1000000);
    return rule;
}

bool IsVersionText(const std::string& text) {
    size_t components = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const size_t length = dot - start;
        if (length < 1 || length > 9 ||
            !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start),
                         text.begin() + static_cast<std::ptrdiff_t>(dot),
                         [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (++components > 4)
            return false;
        if (dot == text.size())
            return true;
        start = dot + 1;
    }
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    size_t i = 0;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        line.command = CommandLine::Command::Help;
        line.helpText = kProgramHelp;
        return line;
    }
    if (!args.empty() && args[0] == "publish") {
        line.command = CommandLine::Command::Publish;
        ++i;
    } else if (!args.empty() && args[0] == "serve") {
        ++i;
    } else if (!args.empty() && !args[0].starts_with("-")) {
        throw UsageError("unknown command \"" + args[0] + "\" (see --help)");
    }
    const bool publishing = line.command == CommandLine::Command::Publish;

    auto value = [&](const std::string& option) -> const std::string& {
        if (i + 1 >= args.size())
            throw UsageError(option + " needs a value");
        return args[++i];
    };
    const std::vector<std::string> downloadKinds(std::begin(kDownloadFaults),
                                                 std::end(kDownloadFaults));
    const std::vector<std::string> feedbackKinds(std::begin(kFeedbackFaults),
                                                 std::end(kFeedbackFaults));
    bool despEnGiven = false, despCnGiven = false;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            line.command = CommandLine::Command::Help;
            line.helpText = publishing ? kPublishHelp : kServeHelp;
            return line;
        }
        if (publishing) {
            PublishOptions& p = line.publish;
            if (arg == "--from") {
                p.fromDir = value(arg);
            } else if (arg == "--to") {
                p.toDir = value(arg);
            } else if (arg == "--version") {
                p.version = value(arg);
                if (!IsVersionText(p.version))
                    throw UsageError("--version needs 1 to 4 numbers separated by dots, not \"" +
                                     p.version + "\"");
            } else if (arg == "--desp-en") {
                p.despEn = value(arg);
                CheckDescription(arg, p.despEn);
                despEnGiven = true;
            } else if (arg == "--desp-cn") {
                p.despCn = value(arg);
                CheckDescription(arg, p.despCn);
                despCnGiven = true;
            } else {
                throw UsageError("publish: unknown option \"" + arg + "\" (see --help)");
            }
            continue;
        }
        ServeOptions& s = line.serve;
        if (arg == "--state") {
            s.stateDir = value(arg);
        } else if (arg == "--release") {
            s.releaseDir = value(arg);
        } else if (arg == "--listen") {
            s.listenHost = value(arg);
            if (s.listenHost.size() > 2 && s.listenHost.front() == '[' &&
                s.listenHost.back() == ']')
                s.listenHost = s.listenHost.substr(1, s.listenHost.size() - 2);
            if (s.listenHost.empty())
                throw UsageError("--listen needs a host");
        } else if (arg == "--port") {
            s.listenPort = ParseInt(arg, value(arg), 0, 65535);
        } else if (arg == "--hostname") {
            s.hostnames.push_back(value(arg));
        } else if (arg == "--ready-file") {
            s.readyFile = value(arg);
        } else if (arg == "--fault-download") {
            s.downloadFault = ParseFaultRule(arg, value(arg), downloadKinds);
        } else if (arg == "--fault-feedback") {
            s.feedbackFault = ParseFaultRule(arg, value(arg), feedbackKinds);
        } else {
            throw UsageError("unknown option \"" + arg + "\" (see --help)");
        }
    }

    if (publishing) {
        PublishOptions& p = line.publish;
        if (p.fromDir.empty())
            throw UsageError("publish needs --from DIR");
        if (p.toDir.empty())
            throw UsageError("publish needs --to DIR");
        if (p.version.empty())
            throw UsageError("publish needs --version A.B.C.D");
        if (!despEnGiven)
            p.despEn = "Quillmate " + p.version;
        if (!despCnGiven)
            p.despCn = "Quillmate " + p.version;
    } else if (line.serve.stateDir.empty()) {
        throw UsageError("serve needs --state DIR");
    }
    return line;
}

}  // namespace qm::services
