// The nginx installation behind the listening process, backup, and how nginx
// takes a change: its own configuration test, then a reload (systemctl
// inside a systemd unit, else -s reload or the reload signal), with stop and
// start as the fallback; what a record keeps to bring it back.
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "deploy/faultpoints.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// The address a wire check connects to for a listen address.
std::u16string ConnectAddress(const std::u16string& address) {
    const std::u16string key = ListenAddressKey(address);
    if (key == u"*" || key == u"localhost")
        return u"127.0.0.1";
    if (key.size() >= 2 && key.front() == u'[') {
        const std::u16string inner = key.substr(1, key.size() - 2);
        return inner == u"::" ? u"::1" : inner;
    }
    return key;
}

}  // namespace

void SslCertSrvNginx::GetWebServiceInfo() {
    RunOperation("SslCertSrvNginx::GetWebServiceInfo", [&] {
        SslCertSrvSubBase::GetWebServiceInfo();

        discoveredPorts_ = ListeningConfiguredPorts();

        const auto running = ReadProcessLaunch(static_cast<ProcessId>(webServicePid_));
        std::vector<std::u16string> arguments;
        std::u16string workingDir;
        if (running) {
            arguments = NginxArgumentsFromCommandLine(running->arguments);
            workingDir = running->directory;
        } else {
            LogWarn("SslCertSrvNginx::GetWebServiceInfo, the master's command line is unknown");
        }
        const NginxOptions options = ParseNginxOptions(arguments);
        const std::u16string program =
            webServicePath_.empty() && running ? running->program : webServicePath_;
        serviceUnit_ = ServiceNameOfProcess(static_cast<ProcessId>(webServicePid_));

        // Where the configuration is, as nginx decides it: the -p and -c the
        // master was started with; else the paths compiled into it; else a
        // portable layout (the executable's folder, or the one above sbin/).
        NginxBuildPaths build;
        if (!program.empty()) {
            std::string version;
            int exitCode = -1;
            if (RunAndCapture({program, u"-V"}, kSignalWaitMs, version, exitCode))
                build = ParseNginxBuildPaths(version);
        }
        struct Candidate {
            std::u16string prefix;
            std::u16string conf;
        };
        std::vector<Candidate> candidates;
        auto add = [&](std::u16string prefix, const std::u16string& compiledConf) {
            if (prefix.empty())
                return;
            EnsureTrailingSeparator(prefix);
            const std::u16string conf = options.hasConfFile ? options.confFile : compiledConf;
            candidates.push_back({prefix, PathAgainst(conf, prefix)});
        };
        if (options.hasPrefix) {
            add(PathAgainst(options.prefix, workingDir),
                build.known ? build.confPath : u"conf/nginx.conf");
        } else if (build.known) {
            add(build.prefix.empty() ? workingDir : build.prefix, build.confPath);
        }
        const std::u16string exeDir = DirectoryOf(program);
        add(exeDir, u"conf/nginx.conf");
        if (FileNameOf(WithoutTrailingSeparator(exeDir)) == u"sbin")
            add(DirectoryOf(WithoutTrailingSeparator(exeDir)), u"conf/nginx.conf");

        webServiceRoot_.clear();
        for (const Candidate& candidate : candidates) {
            if (FileExists(candidate.conf)) {
                webServiceRoot_ = candidate.prefix;
                mainConfFile_ = candidate.conf;
                break;
            }
            LogInfo(u"no nginx configuration at %s", candidate.conf);
        }
        if (webServiceRoot_.empty()) {
            AddUserNote(u"nginx runs as " + program +
                        u", but its configuration file was not found where it looks for it.");
            ThrowResult(result::kWebServiceNotRunning);
        }
        LogInfo(u"nginx prefix: %s", webServiceRoot_);
        LogInfo(u"nginx configuration: %s", mainConfFile_);
        if (!serviceUnit_.empty())
            LogInfo(u"nginx runs in the systemd unit %s", serviceUnit_);

        // A restart starts the master again as it was started; the commands
        // run against it (-s, -t) select the same prefix, configuration and
        // pid file.
        launch_ = ProcessLaunch();
        launch_.program = program;
        if (running && !arguments.empty()) {
            launch_.arguments = arguments;
            launch_.directory = running->directory;
            // nginx writes its title over its environment; what is read back
            // there is not the environment it started with.
            if (IsUsableEnvironment(running->environment)) {
                launch_.environment = running->environment;
                launch_.environmentKnown = true;
            }
            configOptions_ = NginxConfigOptions(options, webServiceRoot_);
        } else {
            configOptions_ = {u"-p", webServiceRoot_, u"-c", mainConfFile_};
            launch_.arguments = {launch_.program};
            launch_.arguments.insert(launch_.arguments.end(), configOptions_.begin(),
                                     configOptions_.end());
            launch_.directory = webServiceRoot_;
        }
        LogInfo(u"nginx launch: %s", JoinCommandLine(launch_.arguments));
    });
}

// Every file the configuration step may write: those holding the blocks of
// the domains, the one new blocks go into, the one holding the http block.
void SslCertSrvNginx::BackupWeb() {
    RunOperation("SslCertSrvNginx::BackupWeb", [&] {
        std::set<size_t> files = {0};
        RefreshServerNodes();
        for (const auto& domain : inputDomains_) {
            for (size_t i : NodesNamed(domain))
                files.insert(siteNodes_[i].file);
        }
        if (templateFile_ < config_.FileCount())
            files.insert(templateFile_);
        for (const NginxNode& node : config_.Main()) {
            if (node.hasBlock() && node.name() == u"http")
                files.insert(node.file);
        }
        std::map<std::u16string, std::u16string> map;
        for (size_t file : files)
            map[config_.File(file).path];
        BackupWebConfig(map);
    });
}

std::vector<std::u16string> SslCertSrvNginx::NginxCommand(
    std::initializer_list<std::u16string> extra) const {
    std::vector<std::u16string> command = {launch_.program};
    command.insert(command.end(), configOptions_.begin(), configOptions_.end());
    command.insert(command.end(), extra.begin(), extra.end());
    return command;
}

bool SslCertSrvNginx::TestConfiguration(std::string& output) const {
    int exitCode = -1;
    const auto command = NginxCommand({u"-t"});
    LogInfo(u"configuration test: %s", JoinCommandLine(command));
    if (!RunAndCapture(command, kConfigTestWaitMs, output, exitCode))
        return false;
    return exitCode == 0;
}

void SslCertSrvNginx::NoteServerMessages(const std::string& output) {
    LogError("nginx refuses the configuration:\n%s", output);
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
        // nginx's own verdicts: "[emerg] ... in FILE:LINE" and the summary.
        if (line.find("[emerg]") != std::string::npos ||
            line.find("[alert]") != std::string::npos || line.find("[crit]") != std::string::npos ||
            line.find("test failed") != std::string::npos) {
            AddUserNote(WideFromUtf8(line));
            any = true;
        }
    }
    if (!any && !output.empty())
        AddUserNote(WideFromUtf8(output));
}

// nginx reloads in place: the listening sockets stay open, new workers take
// the new configuration and the old ones finish what they serve, so no
// request fails.
bool SslCertSrvNginx::Reload() {
    std::string output;
    int exitCode = -1;
    if (!serviceUnit_.empty()) {
        LogInfo(u"reload: systemctl reload %s", serviceUnit_);
        if (RunAndCapture({u"systemctl", u"reload", serviceUnit_}, kConfigTestWaitMs, output,
                          exitCode) &&
            exitCode == 0) {
            return true;
        }
        LogWarn("systemctl reload refused: %s", output);
    }
    const auto command = NginxCommand({u"-s", u"reload"});
    LogInfo(u"reload: %s", JoinCommandLine(command));
    if (RunAndCapture(command, kSignalWaitMs, output, exitCode) && exitCode == 0)
        return true;
    LogWarn("nginx -s reload refused: %s", output);
    if (webServicePid_ != 0 && SignalReload(static_cast<ProcessId>(webServicePid_))) {
        LogInfo("reload: signal sent to the master, pid %d", webServicePid_);
        return true;
    }
    return false;
}

void SslCertSrvNginx::RestartAndWait() {
    if (!serviceUnit_.empty()) {
        std::string output;
        int exitCode = -1;
        LogInfo(u"restart: systemctl restart %s", serviceUnit_);
        RunAndCapture({u"systemctl", u"restart", serviceUnit_}, kConfigTestWaitMs, output,
                      exitCode);
        FaultPoint(u"applying");
    } else {
        StopWebService();
        FaultPoint(u"applying");
        StartWebService();
    }
    if (!WaitUntilListening(PortsToServe(), kRestartWaitMs)) {
        LogError("SslCertSrvNginx, nginx does not listen again within %d ms", kRestartWaitMs);
        AddUserNote(u"nginx did not start again; see its error log.");
        ThrowResult(result::kRestartFailed);
    }
}

// The configuration is tested before anything is applied, so a
// configuration nginx would refuse never costs the running server.
void SslCertSrvNginx::ApplyConfig() {
    RunOperation("SslCertSrvNginx::ApplyConfig", [&] {
        std::string output;
        if (!TestConfiguration(output)) {
            NoteServerMessages(output);
            ThrowResult(result::kConfigTestFailed);
        }
        LogInfo("configuration test passed:\n%s", output);
        NoteServerTouched();
        if (!restartInsteadOfReload_ && Reload()) {
            FaultPoint(u"applying");
            return;
        }
        RestartAndWait();
    });
}

void SslCertSrvNginx::ApplyRestoredConfig() {
    RunOperation("SslCertSrvNginx::ApplyRestoredConfig", [&] {
        const ProcessId pid = ConfiguredPortListener();
        if (pid != 0) {
            webServicePid_ = static_cast<int32_t>(pid);
            ApplyConfig();
            return;
        }
        // Not running: started again from the launch it had.
        LogInfo("nginx is not running: starting it");
        if (!serviceUnit_.empty()) {
            std::string output;
            int exitCode = -1;
            RunAndCapture({u"systemctl", u"start", serviceUnit_}, kConfigTestWaitMs, output,
                          exitCode);
        } else {
            StartWebService();
        }
        if (!WaitUntilListening(PortsToServe(), kRestartWaitMs)) {
            AddUserNote(u"nginx did not start again; see its error log.");
            ThrowResult(result::kRestartFailed);
        }
    });
}

// The configured ports the configuration on disk has listen directives
// for; those nginx must listen on again after a start. Without any, the
// ports it listened on before.
std::vector<int32_t> SslCertSrvNginx::PortsToServe() const {
    std::vector<int32_t> ports;
    NginxConfig onDisk;
    std::u16string problem;
    const std::u16string main = mainConfFile_.empty() ? confFilePath_ : mainConfFile_;
    if (!main.empty() && onDisk.Load(main, problem)) {
        for (const NginxNode* server : onDisk.ServerBlocks()) {
            for (const NginxNode& child : server->children) {
                if (child.name() != u"listen")
                    continue;
                const int32_t port = ParseListen(*child.directive).port;
                if ((port == httpPort_ || port == httpsPort_) &&
                    std::find(ports.begin(), ports.end(), port) == ports.end())
                    ports.push_back(port);
            }
        }
    }
    return ports.empty() ? discoveredPorts_ : ports;
}

// nginx opens its sockets before it becomes a daemon, and a start that
// fails may hold some of them for seconds while it retries the others. So
// the ports count as served once one process holds all of them and that
// process is a running master (its title says so), or, for an nginx that
// runs without a master, has held them for longer than those retries.
bool SslCertSrvNginx::WaitUntilListening(const std::vector<int32_t>& ports, int timeoutMs) {
    using namespace std::chrono;
    constexpr auto kSettled = milliseconds(5000);
    const auto until = steady_clock::now() + milliseconds(timeoutMs);
    ProcessId holder = 0;
    auto holderSince = steady_clock::now();
    for (;;) {
        const ProcessId common = CommonListener(ports);
        const auto now = steady_clock::now();
        if (common != 0 && !IsProcessGone(common)) {
            if (common != holder) {
                holder = common;
                holderSince = now;
            }
            const auto launch = ReadProcessLaunch(common);
            const bool master = launch && !launch->arguments.empty() &&
                                launch->arguments.front().rfind(u"nginx: master process", 0) == 0;
            if (master || now - holderSince >= kSettled) {
                webServicePid_ = static_cast<int32_t>(common);
                LogInfo("nginx listens again, pid %d", webServicePid_);
                return true;
            }
        } else {
            holder = 0;
        }
        if (now >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

void SslCertSrvNginx::StopWebService() {
    RunOperation("SslCertSrvNginx::StopWebService", [&] {
        const auto command = NginxCommand({u"-s", u"stop"});
        LogInfo(u"stop: %s", JoinCommandLine(command));
        RunAndWait(launch_.directory, JoinCommandLine(command), kSignalWaitMs);
        // A master that takes the signal ends on its own within moments;
        // the kill is for one that does not.
        using namespace std::chrono;
        const auto until = steady_clock::now() + milliseconds(std::min(stopTimeout_, 3000));
        while (!IsProcessGone(static_cast<ProcessId>(webServicePid_)) &&
               steady_clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(20));
        }
        // Only a master still there is killed: the id of one that has ended
        // may already belong to another process.
        if (!IsProcessGone(static_cast<ProcessId>(webServicePid_)))
            KillProcessTree(static_cast<ProcessId>(webServicePid_), stopTimeout_);
    });
}

void SslCertSrvNginx::StartWebService() {
    RunOperation("SslCertSrvNginx::StartWebService", [&] { StartFromLaunch(launch_); });
}

// ---- What a record keeps ----

void SslCertSrvNginx::DescribeServer(ServerRecord& server) const {
    server.kind = ServerKind();
    server.launch = launch_;
    server.serviceUnit = serviceUnit_;
    server.properties = {{u"prefix", webServiceRoot_}, {u"configuration", mainConfFile_}};
    for (const auto& option : configOptions_)
        server.properties.emplace_back(u"option", option);
    for (int32_t port : discoveredPorts_)
        server.properties.emplace_back(u"port", FormatWide(u"%d", port));
}

void SslCertSrvNginx::AdoptServer(const ServerRecord& server) {
    if (server.launch.program.empty())
        return;
    launch_ = server.launch;
    serviceUnit_ = server.serviceUnit;
    configOptions_.clear();
    discoveredPorts_.clear();
    for (const auto& [name, value] : server.properties) {
        if (name == u"prefix")
            webServiceRoot_ = value;
        else if (name == u"configuration")
            mainConfFile_ = confFilePath_ = value;
        else if (name == u"option")
            configOptions_.push_back(value);
        else if (name == u"port")
            discoveredPorts_.push_back(static_cast<int32_t>(std::stol(Utf8FromWide(value))));
    }
    webServicePid_ = static_cast<int32_t>(ConfiguredPortListener());
}

// The deployed names, on every address their HTTPS blocks listen on.
std::vector<WireTarget> SslCertSrvNginx::WireTargets() const {
    std::vector<WireTarget> targets;
    NginxConfig onDisk;
    std::u16string problem;
    if (mainConfFile_.empty() || !onDisk.Load(mainConfFile_, problem))
        return targets;
    std::set<std::u16string> names(inputDomains_.begin(), inputDomains_.end());
    for (const NginxNode* server : onDisk.ServerBlocks()) {
        const NginxServerFacts facts = FactsOf(*server);
        if (!facts.IsHttps())
            continue;
        std::u16string name;
        for (const NginxNode* directive : facts.serverNames) {
            for (size_t i = 0; i < directive->directive->argCount() && name.empty(); ++i) {
                const std::u16string candidate = ToLowerAscii(directive->directive->arg(i));
                if (names.count(candidate))
                    name = candidate;
            }
        }
        if (name.empty())
            continue;
        for (const NginxNode* listen : facts.listens) {
            const NginxListen l = ParseListen(*listen->directive);
            if (l.port != httpsPort_ || l.address.rfind(u"unix:", 0) == 0)
                continue;
            const WireTarget target{name, ConnectAddress(l.address), httpsPort_};
            if (std::find(targets.begin(), targets.end(), target) == targets.end())
                targets.push_back(target);
        }
    }
    return targets;
}

}  // namespace qm
