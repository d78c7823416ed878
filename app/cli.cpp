#include "app/cli.h"
#include "app/makercommands.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>

#include "Common/OpenSSL/quorp/quorp.h"
#include "app/acmesource.h"
#include "app/deployers.h"
#include "app/guiwnd.h"
#include "app/language.h"
#include "app/renewal.h"
#include "app/renewalservice.h"
#include "app/settingsfile.h"
#include "deploy/recovery.h"
#include "deploy/sslcertsrvbase.h"
#include "enrollment/centerconfig.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/host/process_host.h"
#include "foundation/interrupts.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "ui/headless_backend.h"

namespace qm {

namespace {

constexpr std::string_view kMainUsage = R"(Usage: quillmate <command> [options]

Quillmate gives the sites of a local web server HTTPS in one step: it finds
the server, reads its sites, obtains a certificate from the certificate
center, configures and restarts the server, and can undo all of it.

Commands:
  deploy    obtain a certificate and configure the web server for HTTPS
  undo      restore the configuration the last deployment changed
  open      show (and, with a display, open) the deployed sites over HTTPS
  status    show the last deployment: server, ports, certificate names, expiry
  update    look up the newest version and install it (--check: only look)
  feedback  send a report or a suggestion to the maker

Options of every command:
  --lang en|zh   interface language (default: the locale's, from LC_ALL,
                 LC_MESSAGES or LANG: Chinese for zh_*, English otherwise)
  -h, --help     this help; after a command, the command's help

Without a command the window opens (it needs a display).
)";

constexpr std::string_view kExitCodes = R"(
Exit codes:
  0  succeed
  1  failed for another reason (see the message and the run log)
  2  the command line is wrong
  3  the domains typed or found cannot be certified
  4  the web server is not found or not running on the given ports
  5  the certificate center cannot be reached or refused the request
  6  the issued certificate cannot be used for the sites
  7  the web server rejected its new configuration or did not restart
  8  the deployment settings or records are missing, damaged or cannot be
     written (also: nothing to undo)
  9  this build has no deployer for the chosen web server
 10  interrupted (Ctrl+C, SIGTERM, SIGHUP): every change was taken back
 11  another deployment or undo is running
 12  undo refused: files were edited since the deployment (see --force)
)";

constexpr std::string_view kDeployUsage =
    R"(Usage: quillmate deploy --server iis|apache|tomcat|nginx [options]

Finds the web server listening on the HTTP and HTTPS ports, obtains one
certificate for its sites (and the domains given), installs it, configures
HTTPS, restarts the server and records the deployment for undo and renewal.

  --server KIND          the kind of web server: iis, apache, tomcat or nginx
  --domain NAME[,NAME]   domains to certify besides the sites found (a name
                         and its "www." twin, separated by ",")
  --http-port N          the server's HTTP port (default 80)
  --https-port N         the HTTPS port to configure (default 443)
  --center URL           the certificate center (default: QUILLMATE_CENTER_URL,
                         else https://localhost:8443)
  --ca-file PEM          trust anchor for the center's TLS certificate
                         (default: QUILLMATE_CA_FILE, else the system's store)
  --acme URL             obtain the certificate from an ACME CA (Let's Encrypt,
                         ZeroSSL, ...) by its directory URL instead; a --center
                         URL that answers as an ACME directory does the same
  --agree-tos            agree to the ACME CA's terms of service (needed for
                         a new account)
  --acme-eab-kid ID      external account binding for CAs that require it:
  --acme-eab-hmac KEY    the key ID and the base64url HMAC key
  --acme-key ec|rsa      the kind of a new ACME account key (default ec: P-256)
  --lang en|zh           interface language

The deployment is recorded in $VANTREL_HOME/Config/Vantrel.xml (default
/var/lib/vantrel/); the run log is in the program folder's RunLog/.
)";

constexpr std::string_view kUndoUsage =
    R"(Usage: quillmate undo [--all] [--force] [--lang en|zh]

Takes back the newest deployment still in force: restores every file it
changed from its backup (each restore checked against the original), and
has the web server take the restored configuration (starting it when it is
not running). Each deployment is one step back; the deployments are recorded
in $VANTREL_HOME/Undo/ (default /var/lib/vantrel/).

  --all     step back through every deployment, to the state before the first
  --force   restore files that were edited since the deployment too (a copy
            of each edited file is kept in $VANTREL_HOME/Undo/kept/)
)";

constexpr std::string_view kOpenUsage = R"(Usage: quillmate open [--lang en|zh]

Prints the HTTPS addresses of the deployed sites and, when there is a display
(DISPLAY or WAYLAND_DISPLAY), opens them in the desktop's browser.
)";

constexpr std::string_view kStatusUsage = R"(Usage: quillmate status [--lang en|zh]

Shows the last deployment as recorded in the deployment settings: the web
server, the ports, the names the certificate was issued for, its expiry and
the certificate center it came from.
)";

struct ParsedOptions {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;  // options without a value that were given
    bool help = false;
};

// Parses "--name value" and "--name=value" for the allowed names; false
// with a message on anything else.
bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  const std::vector<std::string>& allowed, ParsedOptions& parsed, std::ostream& err,
                  const std::vector<std::string>& flags = {}) {
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            err << "quillmate: unexpected argument \"" << arg << "\"\n";
            return false;
        }
        std::string name = arg.substr(2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            parsed.flags.insert(name);
            continue;
        }
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        bool known = false;
        for (const std::string& a : allowed)
            known = known || a == name;
        if (!known) {
            err << "quillmate: unknown option --" << name << "\n";
            return false;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                err << "quillmate: --" << name << " needs a value\n";
                return false;
            }
            value = args[++i];
        }
        if (name == "domain" && parsed.values.count(name)) {
            parsed.values[name] += "," + *value;  // --domain given twice adds up
        } else {
            parsed.values[name] = *value;
        }
    }
    return true;
}

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

std::string Utf8(std::u16string_view text) {
    return Utf8FromWide(text);
}

// What keeps a file from serving as the center's trust anchor: it must hold
// at least one "-----BEGIN CERTIFICATE-----" block OpenSSL can read. Empty
// when the file is usable.
std::string CaFileProblem(std::u16string_view path) {
    if (DirectoryExists(path))
        return "is a directory, not a file";
    if (!FileExists(path)) {
        std::error_code ec;
        return std::filesystem::exists(FsPath(path), ec) ? "is not a regular file"
                                                         : "does not exist";
    }
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return "cannot be read";
    if (bytes.empty())
        return "is empty";
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    size_t at = bytes.find(kBegin);
    if (at == std::string::npos)
        return "holds no PEM certificate (no \"-----BEGIN CERTIFICATE-----\" block)";
    quorp::PrepareLibrary();
    quorp crypto;
    for (; at != std::string::npos; at = bytes.find(kBegin, at + kBegin.size())) {
        if (crypto.LoadCert(std::string_view(bytes).substr(at)))
            return {};
    }
    return "holds no readable PEM certificate (its \"-----BEGIN CERTIFICATE-----\" blocks "
           "cannot be parsed)";
}

// Prints the result text as it grows: only what was not printed yet. When
// the view redraws a part it already showed the same way (the progress
// block), nothing is repeated.
class ResultPrinter {
public:
    ResultPrinter(CGuiWnd& window, std::ostream& out) : window_(window), out_(out) {
        listener_ = window_.AddChangeListener([this](const ui::Control& c, ui::Property p) {
            if (p == ui::Property::Text)
                OnText(c);
        });
    }
    ~ResultPrinter() {
        window_.RemoveChangeListener(listener_);
        if (!atLineStart_)
            out_ << "\n";
        out_.flush();
    }
    ResultPrinter(const ResultPrinter&) = delete;
    ResultPrinter& operator=(const ResultPrinter&) = delete;

private:
    void OnText(const ui::Control& control) {
        const std::string& name = control.GetName();
        if (name == "txtResultData") {
            Print(control.GetText());
        } else if (name == "lbInvalidSiteAddr" || name == "lbPromptInfo") {
            // The settings tab's invalid names and the one-line prompt are
            // part of what the window shows.
            const std::u16string text = control.GetText();
            if (!text.empty()) {
                if (!atLineStart_)
                    out_ << "\n";
                out_ << Utf8(text) << "\n";
                atLineStart_ = true;
                out_.flush();
            }
        }
    }

    void Print(const std::u16string& text) {
        size_t common = 0;
        while (common < text.size() && common < printed_.size() && text[common] == printed_[common])
            ++common;
        if (common == text.size())
            return;  // a cut before a redraw: already on screen
        std::u16string fresh = text.substr(common);
        if (common < printed_.size())
            fresh.insert(fresh.begin(), u'\n');  // a changed line starts afresh
        if (printed_.empty() && !fresh.empty() && fresh.front() == u'\n')
            fresh.erase(0, 1);  // the view's first line is blank
        printed_ = text;
        if (fresh.empty())
            return;
        out_ << Utf8(fresh);
        atLineStart_ = fresh.back() == u'\n';
        out_.flush();
    }

    CGuiWnd& window_;
    std::ostream& out_;
    int listener_ = 0;
    std::u16string printed_;
    bool atLineStart_ = true;
};

CGuiWnd::DeployerFactory& DeployerOverride() {
    static CGuiWnd::DeployerFactory factory;
    return factory;
}

std::function<int(std::ostream&)>& WindowFrontEnd() {
    static std::function<int(std::ostream&)> frontEnd;
    return frontEnd;
}

// The window object as a front end runs it.
struct HeadlessWindow {
    ui::HeadlessBackend backend;
    std::unique_ptr<CGuiWnd> window;
};

bool OpenWindow(HeadlessWindow& session, std::ostream& err) {
    try {
        session.window = std::make_unique<CGuiWnd>(session.backend, u"VantrelGui.xml");
    } catch (const std::exception& e) {
        err << "quillmate: cannot load the interface: " << Utf8(ResultTextOf(e)) << "\n";
        return false;
    }
    if (DeployerOverride())
        session.window->SetDeployerFactory(DeployerOverride());
    session.window->InitWindow();
    return true;
}

// Presses the button on the window thread and runs the loop until `busy`
// turns false; then the window is closed as an operator would close it.
// False when the button could not be pressed.
bool PressAndWait(HeadlessWindow& session, const char* button, const std::function<bool()>& busy,
                  const std::function<void()>& tick = {}) {
    CGuiWnd& window = *session.window;
    bool pressed = false;
    session.backend.Post([&] {
        pressed = window.PerformClick(button);
        if (!pressed) {
            window.Close();
            return;
        }
        window.SetTimer(99, 100, [&] {
            if (tick)
                tick();
            if (!busy())
                window.Close();
        });
    });
    session.backend.Run();
    return pressed;
}

void PrintOutcome(std::ostream& err, const char* task, const std::u16string& resultText, int code) {
    if (code == kExitSucceed)
        return;
    err << "quillmate: " << task << " failed: " << Utf8(resultText) << " (exit code " << code
        << ")\n";
    const std::u16string log = CurrentLogFilePath();
    if (!log.empty())
        err << "quillmate: details are in the run log " << Utf8(log) << "\n";
}

int Deploy(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (!ParseOptions(args, 1,
                      {"server", "domain", "http-port", "https-port", "center", "ca-file", "lang",
                       "acme", "acme-eab-kid", "acme-eab-hmac", "acme-key"},
                      options, err, {"agree-tos"})) {
        err << "Try \"quillmate deploy --help\".\n";
        return kExitUsage;
    }
    if (options.help) {
        out << kDeployUsage << kExitCodes;
        return kExitSucceed;
    }
    static const std::map<std::string, std::pair<const char*, int32_t>> kServers = {
        {"iis", {"opIIS", kWebServerIIS}},
        {"apache", {"opApache", kWebServerApache}},
        {"tomcat", {"opTomcat", kWebServerTomcat}},
        {"nginx", {"opNginx", kWebServerNginx}},
    };
    auto server = kServers.end();
    if (auto it = options.values.find("server"); it != options.values.end())
        server = kServers.find(Utf8FromWide(ToLowerAscii(WideFromUtf8(it->second))));
    if (server == kServers.end()) {
        err << "quillmate: deploy needs --server iis|apache|tomcat|nginx\n"
            << "Try \"quillmate deploy --help\".\n";
        return kExitUsage;
    }
    int httpPort = 80;
    int httpsPort = 443;
    for (auto [name, port] : {std::pair{"http-port", &httpPort}, {"https-port", &httpsPort}}) {
        auto it = options.values.find(name);
        if (it != options.values.end() && !ParsePort(it->second, *port)) {
            err << "quillmate: --" << name << " needs a port number from 1 to 65535\n";
            return kExitUsage;
        }
    }
    const bool acmeGiven = options.values.count("acme") != 0;
    if (acmeGiven && options.values.count("center")) {
        err << "quillmate: give --center or --acme, not both\n";
        return kExitUsage;
    }
    const CenterEndpoint center =
        ResolveCenterEndpoint(WideFromUtf8(options.values[acmeGiven ? "acme" : "center"]),
                              WideFromUtf8(options.values["ca-file"]));
    if (center.url.rfind(u"https://", 0) != 0) {
        err << "quillmate: the certificate center must be an https:// address, not \""
            << Utf8(UrlWithoutCredentials(center.url)) << "\"\n";
        return kExitUsage;
    }
    if (!center.caFile.empty()) {
        if (const std::string problem = CaFileProblem(center.caFile); !problem.empty()) {
            err << "quillmate: the CA file " << Utf8(center.caFile) << " " << problem
                << "; it must be a PEM file holding the CA certificate the center's TLS "
                   "certificate chains to\n";
            return kExitUsage;
        }
    }
    // An ACME CA: named by --acme, or a center address (--center or
    // QUILLMATE_CENTER_URL) that answers as its directory.
    const bool acme = acmeGiven || IsAcmeCenter(center.url, center.caFile);
    const bool agreed = options.flags.count("agree-tos") != 0;
    const std::string eabKid = options.values["acme-eab-kid"];
    const std::string eabHmac = options.values["acme-eab-hmac"];
    if (!acme && (agreed || !eabKid.empty() || !eabHmac.empty())) {
        err << "quillmate: --agree-tos and --acme-eab-* are for an ACME CA (--acme URL)\n";
        return kExitUsage;
    }
    const std::string keyKind =
        options.values.count("acme-key") ? options.values["acme-key"] : "ec";
    if (keyKind != "ec" && keyKind != "rsa") {
        err << "quillmate: --acme-key takes ec or rsa\n";
        return kExitUsage;
    }
    if (!acme && options.values.count("acme-key")) {
        err << "quillmate: --acme-key is for an ACME CA (--acme URL)\n";
        return kExitUsage;
    }
    if (eabKid.empty() != eabHmac.empty()) {
        err << "quillmate: external account binding needs both --acme-eab-kid and "
               "--acme-eab-hmac\n";
        return kExitUsage;
    }
    if (acme)
        out << "Certificate source:  the ACME CA at " << Utf8(UrlWithoutCredentials(center.url))
            << "\n";
    // The settings are written after the certificate is installed; a place
    // that cannot take them is better found out before anything changes.
    if (!EnsureDeploymentSettingsFile()) {
        if (!FileExists(DeploymentSettingsTemplatePath())) {
            err << "quillmate: the settings template " << Utf8(DeploymentSettingsTemplatePath())
                << " is missing; the program folder is incomplete\n";
        } else {
            err << "quillmate: cannot create the deployment settings "
                << Utf8(DeploymentSettingsPath())
                << " (is the folder writable? VANTREL_HOME chooses another one)\n";
        }
        return kExitSettings;
    }

    HeadlessWindow session;
    if (!OpenWindow(session, err))
        return kExitFailed;
    CGuiWnd& window = *session.window;
    window.SetCertCenter(center.url, center.caFile);
    AcmeSource source;  // disabled: the enrollment center
    if (acme) {
        source = MakeAcmeSource(center.url, agreed, eabKid, eabHmac);
        source.rsaAccountKey = keyKind == "rsa";
    }
    window.SetAcmeSource(std::move(source));
    window.FindControl(server->second.first)->Select();
    window.FindControl("edHttpPort")->SetText(WideFromAscii(std::to_string(httpPort)));
    window.FindControl("edHttpsPort")->SetText(WideFromAscii(std::to_string(httpsPort)));
    window.FindControl("edSiteAddrs")->SetText(WideFromUtf8(options.values["domain"]));

    bool deferNoted = false;
    {
        ResultPrinter printer(window, out);
        PressAndWait(
            session, "btExe", [&] { return window.IsDeploymentRunning(); },
            [&] {
                if (!deferNoted && window.GetCurrentStage() == kStageWaitingDeferred) {
                    deferNoted = true;
                    err << "quillmate: the center holds the certificate for a manual review; "
                           "waiting (it is asked every 15 seconds). Stopping now is safe once "
                           "the request has been acknowledged: the next deploy resumes it.\n";
                }
            });
    }
    const std::u16string outcome = window.LastDeployResult();
    int code = ExitCodeForResult(outcome);
    if (window.LastTaskHadNoDeployer()) {
        code = kExitUnsupportedServer;
        err << "quillmate: " << Utf8(MissingDeployerMessage(server->second.second)) << "\n";
    }
    PrintOutcome(err, "deploy", outcome, code);
    if (acme && !agreed && outcome.find(u"agreementRequired") != std::u16string::npos)
        err << "quillmate: read the CA's terms of service and give --agree-tos to agree to them\n";
    return code;
}

int Undo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (!ParseOptions(args, 1, {"lang"}, options, err, {"all", "force"})) {
        err << "Try \"quillmate undo --help\".\n";
        return kExitUsage;
    }
    if (options.help) {
        out << kUndoUsage << kExitCodes;
        return kExitSucceed;
    }
    const bool all = options.flags.count("all") != 0;
    std::u16string outcome;
    int steps = 0;
    // One step back per press, each in a window of its own (a closed window
    // stays closed); --all goes on until nothing is left.
    for (;;) {
        HeadlessWindow session;
        if (!OpenWindow(session, err))
            return kExitFailed;
        CGuiWnd& window = *session.window;
        window.LoadLastDeployment();
        window.SetUndoForce(options.flags.count("force") != 0);
        window.FindControl("btRestoreWeb")->SetEnabled(true);
        {
            ResultPrinter printer(window, out);
            PressAndWait(session, "btRestoreWeb", [&] { return window.IsUndoRunning(); });
        }
        outcome = window.LastUndoResult();
        if (window.LastTaskHadNoDeployer()) {
            err << "quillmate: " << Utf8(MissingDeployerMessage(window.RecordedWebServerType()))
                << "\n";
            PrintOutcome(err, "undo", outcome, kExitUnsupportedServer);
            return kExitUnsupportedServer;
        }
        if (outcome != result::kSucceed || !all || InterruptRequested())
            break;
        ++steps;
    }
    if (all && steps > 0 && outcome == result::kNothingToUndo)
        outcome = std::u16string(result::kSucceed);  // back at the state before the first
    const int code = ExitCodeForResult(outcome);
    PrintOutcome(err, "undo", outcome, code);
    return code;
}

int Open(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (!ParseOptions(args, 1, {"lang"}, options, err)) {
        err << "Try \"quillmate open --help\".\n";
        return kExitUsage;
    }
    if (options.help) {
        out << kOpenUsage << kExitCodes;
        return kExitSucceed;
    }
    HeadlessWindow session;
    if (!OpenWindow(session, err))
        return kExitFailed;
    CGuiWnd& window = *session.window;
    if (!window.LoadLastDeployment() || window.SiteList().empty()) {
        err << "quillmate: no deployed site is recorded in " << Utf8(DeploymentSettingsPath())
            << "\n";
        return kExitSettings;
    }
    for (const std::u16string& address : window.SiteAddresses())
        out << Utf8(address) << "\n";
    out.flush();
    PressAndWait(session, "btOpen", [&] { return window.IsOpenRunning(); });
    return kExitSucceed;
}

int Status(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (!ParseOptions(args, 1, {"lang"}, options, err)) {
        err << "Try \"quillmate status --help\".\n";
        return kExitUsage;
    }
    if (options.help) {
        out << kStatusUsage << kExitCodes;
        return kExitSucceed;
    }
    // What an interrupted run left is finished before anything is shown.
    {
        HeadlessWindow session;
        if (!OpenWindow(session, err))
            return kExitFailed;
        ResultPrinter printer(*session.window, out);
        if (!session.window->RecoverInterruptedWork())
            err << "quillmate: another deployment or undo is running; the status below may "
                   "change when it ends\n";
    }
    const std::u16string path = DeploymentSettingsPath();
    DeploymentSettings settings;
    try {
        settings = ReadDeploymentSettings(path);
    } catch (const std::exception&) {
        err << "quillmate: no deployment is recorded in " << Utf8(path) << "\n";
        return kExitSettings;
    }
    std::u16string names;
    for (const std::u16string& site : settings.sites)
        names += (names.empty() ? u"" : u", ") + site;
    const ExpiryDate& e = settings.certExpireTime;
    out << "Deployment settings: " << Utf8(path) << "\n"
        << "Web server:          " << Utf8(WebServerTypeName(settings.webServerType)) << "\n"
        << "HTTP port:           " << settings.httpPort << "\n"
        << "HTTPS port:          " << settings.httpsPort << "\n"
        << "Certificate names:   " << (names.empty() ? "(none)" : Utf8(names)) << "\n"
        << "Certificate expires: "
        << (e.year > 0 ? Utf8(FormatWide(u"%04d-%02d-%02d", e.year, e.month, e.day))
                       : std::string("(unknown)"))
        << "\n"
        << "Certificate type:    " << settings.certType << "\n"
        << "Certificate center:  "
        << (settings.centerUrl.empty() ? "(not recorded)"
                                       : Utf8(UrlWithoutCredentials(settings.centerUrl)));
    if (settings.centerIsAcme)
        out << " (ACME)";
    if (!settings.centerCaFile.empty())
        out << " (CA file " << Utf8(settings.centerCaFile) << ")";
    out << "\n"
        << "Undo steps:          " << DeploymentsInForce()
        << " (each \"quillmate undo\" takes back one deployment)\n";
    out << "Renewal service:     " << RenewalServiceStateText() << "\n";
    int64_t due = 0, notAfter = 0;
    if (NextRenewal(RenewalPolicy{}, due, notAfter)) {
        out << "Next renewal:        " << UtcTimeText(due) << " (a third of the lifetime left)\n";
    }
    return kExitSucceed;
}

}  // namespace

int ExitCodeForResult(std::u16string_view resultText) {
    using namespace result;
    struct Row {
        std::u16string_view text;
        int code;
    };
    static constexpr Row kRows[] = {
        {kSucceed, kExitSucceed},
        {kInvalidDomain, kExitDomainInput},
        {kNoValidDomain, kExitDomainInput},
        {kTooManyDomains, kExitDomainInput},
        {kInputSiteConflict, kExitDomainInput},
        {kMoreThanOneSiteDir, kExitDomainInput},
        {kPortNotListening, kExitWebServer},
        {kWebServiceNotRunning, kExitWebServer},
        {kCommunicationFailed, kExitCenter},
        {kHighFrequency, kExitCenter},
        {kHighFrequencyCertificate, kExitCenter},
        {kUnknownId, kExitCenter},
        {kInvalidParam, kExitCenter},
        {kDeferCertState, kExitCenter},
        {kPublicKeyIllegal, kExitCenter},
        {kInvalidSiteAddrInCert, kExitCertificate},
        {kNotSupportWildcard, kExitCertificate},
        {kGetCertHashError, kExitCertificate},
        {kConfigTestFailed, kExitServerConfig},
        {kConfigWriteFailed, kExitServerConfig},
        {kRestartFailed, kExitServerConfig},
        {kStopProcessTimeout, kExitServerConfig},
        {kNothingToUndo, kExitSettings},
        {kBackupUnusable, kExitSettings},
        {kRestoreFailed, kExitSettings},
        {kInterrupted, kExitInterrupted},
        {kBusy, kExitBusy},
        {kEditedSinceDeployment, kExitEditedSinceDeployment},
    };
    for (const Row& row : kRows) {
        if (row.text == resultText)
            return row.code;
    }
    // An error answer of the center that the client has no text of its own
    // for arrives as "error: <code>, message: <text>".
    if (resultText.starts_with(kCenterErrorPrefix))
        return kExitCenter;
    return kExitFailed;
}

void SetWindowFrontEnd(std::function<int(std::ostream& err)> frontEnd) {
    WindowFrontEnd() = std::move(frontEnd);
}

void SetCommandLineDeployerFactory(CGuiWnd::DeployerFactory factory) {
    DeployerOverride() = std::move(factory);
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // --lang applies to every command, wherever it stands.
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--lang" && i + 1 < args.size()) {
            value = args[++i];
        } else if (args[i].rfind("--lang=", 0) == 0) {
            value = args[i].substr(7);
        } else if (args[i] == "--lang") {
            err << "quillmate: --lang needs en or zh\n";
            return kExitUsage;
        } else {
            rest.push_back(args[i]);
            continue;
        }
        const std::optional<Language> language = ParseLanguage(WideFromUtf8(value));
        if (!language) {
            err << "quillmate: --lang needs en or zh, not \"" << value << "\"\n";
            return kExitUsage;
        }
        SetLanguageOverride(language);
    }

    if (rest.empty()) {
        if (WindowFrontEnd())
            return WindowFrontEnd()(err);
        out << "quillmate: this build has no window; use one of the commands below.\n\n"
            << kMainUsage << kExitCodes;
        return kExitSucceed;
    }
    const std::string& command = rest.front();
    if (command == "-h" || command == "--help" || command == "help") {
        out << kMainUsage << kExitCodes;
        return kExitSucceed;
    }
    if (command == "deploy")
        return Deploy(rest, out, err);
    if (command == "undo")
        return Undo(rest, out, err);
    if (command == "open")
        return Open(rest, out, err);
    if (command == "status")
        return Status(rest, out, err);
    if (command == "update")
        return UpdateCommand(rest, out, err);
    if (command == "feedback")
        return FeedbackCommand(rest, out, err);
    err << "quillmate: unknown command \"" << command << "\"\n"
        << "Try \"quillmate --help\".\n";
    return kExitUsage;
}

}  // namespace qm
