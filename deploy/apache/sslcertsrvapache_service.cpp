// The Apache installation behind the listening parent, how the
// configuration is read, backup, and how Apache takes a change: its own
// configuration test, then a graceful restart (systemctl reload inside a
// systemd unit, else the graceful signal); what a record keeps to bring it
// back.
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "deploy/apache/apacheaddress.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/faultpoints.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// The modules every Apache has compiled in, for when the executable cannot
// be asked.
std::vector<std::u16string> DefaultStaticModules() {
    return ParseStaticModules(
        "Compiled in modules:\n  core.c\n  mod_so.c\n  http_core.c\n  mod_unixd.c\n"
        "  mod_log_config.c\n  mod_logio.c\n  mod_version.c\n  mod_watchdog.c\n");
}

}  // namespace

// ---- The installation ----

void SslCertSrvApache::GetWebServiceInfo() {
    RunOperation("SslCertSrvApache::GetWebServiceInfo", [&] {
        SslCertSrvSubBase::GetWebServiceInfo();
        discoveredPorts_ = ListeningConfiguredPorts();

        const auto running = ReadProcessLaunch(static_cast<ProcessId>(webServicePid_));
        launch_ = ProcessLaunch();
        if (running) {
            launch_ = *running;
        } else {
            LogWarn("SslCertSrvApache::GetWebServiceInfo, the parent's command line is unknown");
        }
        options_ = ParseApacheOptions(launch_.arguments);
        const std::u16string program =
            webServicePath_.empty() && running ? running->program : webServicePath_;
        launch_.program = program;
        serviceUnit_ = ServiceNameOfProcess(static_cast<ProcessId>(webServicePid_));

        // What the executable says about itself.
        ApacheBuildPaths build;
        staticModules_.clear();
        {
            std::string output;
            int exitCode = -1;
            if (RunApache({u"-V"}, output, exitCode, false))
                build = ParseApacheBuildPaths(output);
            if (RunApache({u"-l"}, output, exitCode, false))
                staticModules_ = ParseStaticModules(output);
        }

        // Where the configuration is, as Apache decides it: the -d and -f
        // the parent was started with; else conf/httpd.conf of the
        // installation whose bin/ holds the executable; else the paths
        // compiled into it.
        struct Candidate {
            std::u16string root;
            std::u16string conf;
        };
        std::vector<Candidate> candidates;
        auto add = [&](std::u16string root, const std::u16string& conf) {
            if (root.empty() || conf.empty())
                return;
            EnsureTrailingSeparator(root);
            candidates.push_back({root, PathAgainst(conf, root)});
        };
        if (options_.hasServerRoot || options_.hasConfFile) {
            const std::u16string root = options_.hasServerRoot
                                            ? PathAgainst(options_.serverRoot, launch_.directory)
                                            : build.root;
            if (options_.hasConfFile) {
                add(root, options_.confFile);
            } else {
                add(root, build.confFile);
                add(root, NativeSeparators(u"conf/httpd.conf"));
            }
        }
        const std::u16string exeDir = WithoutTrailingSeparator(DirectoryOf(program));
        if (FileNameOf(exeDir) == u"bin")
            add(DirectoryOf(exeDir), NativeSeparators(u"conf/httpd.conf"));
        if (build.known)
            add(build.root, build.confFile);

        serverRoot_.clear();
        for (const Candidate& candidate : candidates) {
            if (FileExists(candidate.conf)) {
                serverRoot_ = candidate.root;
                mainConfFile_ = candidate.conf;
                break;
            }
            LogInfo(u"no Apache configuration at %s", candidate.conf);
        }
        if (serverRoot_.empty()) {
            AddUserNote(u"Apache runs as " + program +
                        u", but its configuration file was not found where it looks for it.");
            ThrowResult(result::kWebServiceNotRunning);
        }
        webServiceRoot_ = serverRoot_;
        configOptions_ =
            ApacheConfigOptions(options_, WithoutTrailingSeparator(serverRoot_), mainConfFile_);
        if (launch_.arguments.empty()) {
            launch_.arguments = {program};
            launch_.arguments.insert(launch_.arguments.end(), configOptions_.begin(),
                                     configOptions_.end());
            launch_.directory = serverRoot_;
        }
        LogInfo(u"apache server root: %s", serverRoot_);
        LogInfo(u"apache configuration: %s", mainConfFile_);
        LogInfo(u"apache launch: %s", JoinCommandLine(launch_.arguments));
        if (!serviceUnit_.empty())
            LogInfo(u"apache runs in the systemd unit %s", serviceUnit_);

        // The server's own list of the files its configuration is made of.
        includeListing_ = IncludeListing();
        std::string output;
        int exitCode = -1;
        if (RunApache({u"-t", u"-D", u"DUMP_INCLUDES"}, output, exitCode))
            includeListing_ = ParseIncludeListing(output);
        if (!includeListing_.known)
            LogWarn("apache does not list its configuration files; includes are followed here");

        configLoaded_ = false;
        LoadConfiguration();
        LocateIncludedFiles();
        DetectApacheVersion();
        DetectLayout();
    });
}

void SslCertSrvApache::UseInstallation(const std::u16string& serverRoot,
                                       const std::u16string& mainConfFile,
                                       std::vector<std::u16string> defines) {
    serverRoot_ = serverRoot;
    EnsureTrailingSeparator(serverRoot_);
    webServiceRoot_ = serverRoot_;
    mainConfFile_ = mainConfFile;
    options_ = ApacheOptions();
    options_.defines = std::move(defines);
    staticModules_.clear();
    includeListing_ = IncludeListing();
    configLoaded_ = false;
    LoadConfiguration();
    LocateIncludedFiles();
    DetectApacheVersion();
    DetectLayout();
}

ApacheContext SslCertSrvApache::ReadingContext() const {
    ApacheContext context;
    context.serverRoot = serverRoot_;
    for (const auto& define : options_.defines)
        context.defines.emplace_back(define, u"");
    if (launch_.environmentKnown) {
        for (const auto& entry : launch_.environment) {
            const size_t eq = entry.find(u'=');
            if (eq != std::u16string::npos && eq > 0)
                context.environment.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
    }
    context.staticModules = staticModules_.empty() ? DefaultStaticModules() : staticModules_;
    context.listing = includeListing_;
    return context;
}

void SslCertSrvApache::LoadConfiguration() {
    confFilePath_ = mainConfFile_;
    std::u16string problem;
    if (mainConfFile_.empty() || !config_.Load(mainConfFile_, ReadingContext(), problem)) {
        LogError(u"SslCertSrvApache, the configuration cannot be read: %s", problem);
        AddUserNote(u"Apache: " + problem);
        ThrowResult(result::kConfigTestFailed);
    }
    configLoaded_ = true;
    LogInfo(u"apache configuration: %s and %d included files, %d virtual hosts", mainConfFile_,
            static_cast<int>(config_.FilesRead().size()) - 1,
            static_cast<int>(config_.Hosts().size()));
}

// Every file the configuration step may write: the main file, those holding
// the hosts of the domains and the Listen lines, the one new hosts go into.
void SslCertSrvApache::BackupWeb() {
    RunOperation("SslCertSrvApache::BackupWeb", [&] {
        std::set<size_t> files = {0, PreferredSslFile()};
        for (const auto& domain : inputDomains_) {
            for (size_t host : HostsNamed(domain))
                files.insert(config_.Hosts()[host].file);
        }
        for (const ApacheDirective& d : config_.Directives()) {
            if (d.name == u"listen" || d.name == u"loadmodule")
                files.insert(d.file);
        }
        std::map<std::u16string, std::u16string> map;
        for (size_t file : files)
            map[config_.File(file).path];
        BackupWebConfig(map);
    });
}

// ---- Running Apache's own commands ----

bool SslCertSrvApache::RunApache(const std::vector<std::u16string>& extra, std::string& output,
                                 int& exitCode, bool withConfiguration) const {
    std::vector<std::u16string> command = {launch_.program};
    if (withConfiguration)
        command.insert(command.end(), configOptions_.begin(), configOptions_.end());
    command.insert(command.end(), extra.begin(), extra.end());
    if (launch_.program.empty())
        return false;
    // The parent's environment: Debian's configuration reads its paths from
    // the variables apache2ctl exports.
    if (launch_.environmentKnown)
        return RunAndCaptureWith(command, launch_.environment, kCommandWaitMs, output, exitCode);
    return RunAndCapture(command, kCommandWaitMs, output, exitCode);
}

bool SslCertSrvApache::TestConfiguration(std::string& output) const {
    int exitCode = -1;
    LogInfo(u"configuration test: %s -t", JoinCommandLine(configOptions_));
    return RunApache({u"-t"}, output, exitCode) && exitCode == 0;
}

// Apache's own words: what -t printed, or what the error log holds since
// the restart.
void SslCertSrvApache::NoteServerMessages(const std::string& output) {
    LogError("apache says:\n%s", output);
    size_t start = 0;
    bool any = false;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        // Warnings about the machine's own name are noise here.
        if (line.empty() || line.find("AH00558") != std::string::npos ||
            line.find("AH00557") != std::string::npos ||
            line.find("Syntax OK") != std::string::npos)
            continue;
        AddUserNote(WideFromUtf8(line));
        any = true;
    }
    if (!any && !output.empty())
        AddUserNote(WideFromUtf8(output));
}

std::u16string SslCertSrvApache::ErrorLogPath() const {
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.host < 0 && !d.nested && d.name == u"errorlog" && !d.args.empty()) {
            const std::u16string& value = d.args.front();
            if (value.empty() || value.front() == u'|' || value.rfind(u"syslog", 0) == 0)
                return u"";
            return config_.Resolve(value);
        }
    }
    return u"";
}

std::string SslCertSrvApache::ErrorLogTail() const {
    const std::u16string path = ErrorLogPath();
    std::string text;
    if (path.empty() || !ReadFileBytes(path, text))
        return "";
    const size_t since = std::min(errorLogSize_, text.size());
    std::string tail;
    size_t start = since;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.find(":emerg]") != std::string::npos ||
            line.find(":alert]") != std::string::npos || line.find(":crit]") != std::string::npos ||
            line.find(":error]") != std::string::npos)
            tail += line + "\n";
        start = end + 1;
    }
    return tail;
}

// A graceful restart: the parent re-reads its configuration, keeps its
// listening sockets, and lets its children finish what they serve, so no
// request fails.
bool SslCertSrvApache::GracefulRestart() {
    std::string output;
    int exitCode = -1;
    if (!serviceUnit_.empty()) {
        LogInfo(u"graceful restart: systemctl reload %s", serviceUnit_);
        if (RunAndCapture({u"systemctl", u"reload", serviceUnit_}, kCommandWaitMs, output,
                          exitCode) &&
            exitCode == 0)
            return true;
        LogWarn("systemctl reload refused: %s", output);
    }
    if (webServicePid_ != 0 && SignalGracefulRestart(static_cast<ProcessId>(webServicePid_))) {
        LogInfo("graceful restart: signal sent to the parent, pid %d", webServicePid_);
        return true;
    }
    return false;
}

// The configuration is tested before anything is applied, so a
// configuration Apache would refuse never costs the running server.
void SslCertSrvApache::ApplyConfig() {
    RunOperation("SslCertSrvApache::ApplyConfig", [&] {
        std::string output;
        if (!TestConfiguration(output)) {
            NoteServerMessages(output);
            ThrowResult(result::kConfigTestFailed);
        }
        LogInfo("configuration test passed:\n%s", output);
        std::string log;
        errorLogSize_ = ReadFileBytes(ErrorLogPath(), log) ? log.size() : 0;
        NoteServerTouched();
        if (GracefulRestart()) {
            FaultPoint(u"applying");
            // A parent that cannot take the configuration ends: that shows
            // within moments.
            using namespace std::chrono;
            const auto until = steady_clock::now() + milliseconds(1500);
            while (steady_clock::now() < until) {
                if (IsProcessGone(static_cast<ProcessId>(webServicePid_)))
                    break;
                std::this_thread::sleep_for(milliseconds(50));
            }
            if (!IsProcessGone(static_cast<ProcessId>(webServicePid_)))
                return;
            LogError("SslCertSrvApache, the parent ended at the graceful restart");
        } else {
            // No parent to signal: started again from its launch.
            StopWebService();
            FaultPoint(u"applying");
            StartWebService();
            if (WaitUntilListening(kRestartWaitMs))
                return;
        }
        NoteServerMessages(ErrorLogTail());
        AddUserNote(u"Apache did not run on with the new configuration; see its error log.");
        ThrowResult(result::kRestartFailed);
    });
}

void SslCertSrvApache::ApplyRestoredConfig() {
    RunOperation("SslCertSrvApache::ApplyRestoredConfig", [&] {
        const ProcessId pid = ConfiguredPortListener();
        if (pid != 0) {
            webServicePid_ = static_cast<int32_t>(pid);
            std::string output;
            if (!TestConfiguration(output)) {
                NoteServerMessages(output);
                ThrowResult(result::kConfigTestFailed);
            }
            NoteServerTouched();
            if (GracefulRestart())
                return;
        }
        LogInfo("apache is not running: starting it");
        if (!serviceUnit_.empty()) {
            std::string output;
            int exitCode = -1;
            RunAndCapture({u"systemctl", u"start", serviceUnit_}, kCommandWaitMs, output, exitCode);
        } else {
            StartWebService();
        }
        if (!WaitUntilListening(kRestartWaitMs)) {
            AddUserNote(u"Apache did not start again; see its error log.");
            ThrowResult(result::kRestartFailed);
        }
    });
}

// The configured ports the configuration on disk listens on; those Apache
// must listen on again after a start.
std::vector<int32_t> SslCertSrvApache::PortsToServe() const {
    std::vector<int32_t> ports;
    ApacheConfig onDisk;
    std::u16string problem;
    if (!mainConfFile_.empty() && onDisk.Load(mainConfFile_, ReadingContext(), problem)) {
        for (const ApacheDirective& d : onDisk.Directives()) {
            if (d.name != u"listen")
                continue;
            const int32_t port = ParseApacheListen(d.args).port;
            if ((port == httpPort_ || port == httpsPort_) &&
                std::find(ports.begin(), ports.end(), port) == ports.end())
                ports.push_back(port);
        }
    }
    return ports.empty() ? discoveredPorts_ : ports;
}

bool SslCertSrvApache::WaitUntilListening(int timeoutMs) {
    using namespace std::chrono;
    const std::vector<int32_t> ports = PortsToServe();
    const auto until = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        const ProcessId common = CommonListener(ports);
        if (common != 0 && !IsProcessGone(common)) {
            webServicePid_ = static_cast<int32_t>(common);
            LogInfo("apache listens again, pid %d", webServicePid_);
            return true;
        }
        if (steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

void SslCertSrvApache::StopWebService() {
    RunOperation("SslCertSrvApache::StopWebService", [&] {
        if (webServicePid_ == 0 || IsProcessGone(static_cast<ProcessId>(webServicePid_)))
            return;
        KillProcessTree(static_cast<ProcessId>(webServicePid_), stopTimeout_);
    });
}

void SslCertSrvApache::StartWebService() {
    RunOperation("SslCertSrvApache::StartWebService", [&] { StartFromLaunch(launch_); });
}

// ---- What a record keeps ----

void SslCertSrvApache::DescribeServer(ServerRecord& server) const {
    server.kind = ServerKind();
    server.launch = launch_;
    server.serviceUnit = serviceUnit_;
    server.properties = {{u"root", serverRoot_}, {u"configuration", mainConfFile_}};
    for (const auto& option : configOptions_)
        server.properties.emplace_back(u"option", option);
    for (const auto& module : staticModules_)
        server.properties.emplace_back(u"module", module);
    for (int32_t port : discoveredPorts_)
        server.properties.emplace_back(u"port", FormatWide(u"%d", port));
}

void SslCertSrvApache::AdoptServer(const ServerRecord& server) {
    if (server.launch.program.empty())
        return;
    launch_ = server.launch;
    serviceUnit_ = server.serviceUnit;
    options_ = ParseApacheOptions(launch_.arguments);
    configOptions_.clear();
    staticModules_.clear();
    discoveredPorts_.clear();
    for (const auto& [name, value] : server.properties) {
        if (name == u"root")
            serverRoot_ = webServiceRoot_ = value;
        else if (name == u"configuration")
            mainConfFile_ = confFilePath_ = value;
        else if (name == u"option")
            configOptions_.push_back(value);
        else if (name == u"module")
            staticModules_.push_back(value);
        else if (name == u"port")
            discoveredPorts_.push_back(static_cast<int32_t>(std::stol(Utf8FromWide(value))));
    }
    webServicePid_ = static_cast<int32_t>(ConfiguredPortListener());
}

// The deployed names, on every address their HTTPS hosts are bound to.
std::vector<WireTarget> SslCertSrvApache::WireTargets() const {
    std::vector<WireTarget> targets;
    ApacheConfig onDisk;
    std::u16string problem;
    if (mainConfFile_.empty() || !onDisk.Load(mainConfFile_, ReadingContext(), problem))
        return targets;
    const std::set<std::u16string> names(inputDomains_.begin(), inputDomains_.end());
    for (const ApacheVirtualHost& host : onDisk.Hosts()) {
        if (!IsHttpsHost(onDisk, host))
            continue;
        std::u16string name = ParseServerName(onDisk, host);
        if (!names.count(name)) {
            name.clear();
            for (const auto& alias : CollectAliases(onDisk, host)) {
                if (names.count(alias) && name.empty())
                    name = alias;
            }
        }
        if (name.empty())
            continue;
        for (const auto& text : host.addresses) {
            const ApacheAddress a = ParseApacheAddress(text);
            if (a.port != httpsPort_)
                continue;
            std::u16string address = ConnectAddressOf(a.host);
            if (!IsIPv4Text(address) && address.find(u':') == std::u16string::npos)
                address = u"127.0.0.1";
            const WireTarget target{name, address, httpsPort_};
            if (std::find(targets.begin(), targets.end(), target) == targets.end())
                targets.push_back(target);
        }
    }
    return targets;
}

}  // namespace qm
