// The nginx installation behind the listening process, backup, and the
// restart: nginx's own configuration test, -s stop and the process-tree
// kill, the master's original launch, and the wait until it listens again.
#include <algorithm>
#include <chrono>
#include <thread>

#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/regex.h"

namespace qm {

namespace {

// `path` against `base` when it is relative; trailing separators kept.
std::u16string AgainstBase(const std::u16string& path, const std::u16string& base) {
    if (path.empty() || IsAbsolutePath(path))
        return path;
    std::u16string dir = base;
    EnsureTrailingSeparator(dir);
    if (path == u".")
        return dir;
    if (path.rfind(u"./", 0) == 0)
        return dir + path.substr(2);
    return dir + path;
}

// The folder a path names, without its trailing separator.
std::u16string WithoutTrailingSeparator(std::u16string path) {
    while (path.size() > 1 && IsPathSeparator(path.back()))
        path.pop_back();
    return path;
}

bool Listening(int32_t port, ProcessId& pid) {
    pid = 0;
    try {
        GetListeningPid(port, pid);
    } catch (const std::exception&) {
        pid = 0;  // an unreadable socket table counts as not listening yet
    }
    return pid != 0;
}

}  // namespace

void SslCertSrvNginx::GetWebServiceInfo() {
    RunOperation("SslCertSrvNginx::GetWebServiceInfo", [&] {
        SslCertSrvSubBase::GetWebServiceInfo();

        discoveredPorts_.clear();
        for (int32_t port : {httpPort_, httpsPort_}) {
            ProcessId pid = 0;
            if (Listening(port, pid))
                discoveredPorts_.push_back(port);
        }

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

        // Where the installation may be: the prefix the master was started
        // with; without one, the executable's folder (nginx.exe's layout),
        // or the folder above its sbin/ (a build from source).
        std::vector<std::u16string> roots;
        if (options.hasPrefix) {
            roots.push_back(AgainstBase(options.prefix, workingDir));
        } else {
            const std::u16string exeDir = DirectoryOf(webServicePath_);
            roots.push_back(exeDir);
            if (FileNameOf(WithoutTrailingSeparator(exeDir)) == u"sbin")
                roots.push_back(DirectoryOf(WithoutTrailingSeparator(exeDir)));
        }
        webServiceRoot_.clear();
        for (auto root : roots) {
            if (root.empty())
                continue;
            EnsureTrailingSeparator(root);
            // A relative -c is read against the prefix, as nginx reads it.
            const std::u16string conf = options.hasConfFile
                                            ? AgainstBase(options.confFile, root)
                                            : root + NativeSeparators(u"conf/nginx.conf");
            if (FileExists(conf)) {
                webServiceRoot_ = root;
                mainConfFile_ = conf;
                break;
            }
            LogInfo(u"no nginx configuration at %s", conf);
        }
        if (webServiceRoot_.empty())
            ThrowResult(result::kWebServiceNotRunning);
        LogInfo(u"nginx root: %s", webServiceRoot_);
        LogInfo(u"nginx configuration: %s", mainConfFile_);

        // The restart starts the master again as it was started; the
        // commands run against it (-s stop, -t) select the same prefix,
        // configuration and pid file.
        launch_ = ProcessLaunch();
        launch_.program = webServicePath_.empty() && running ? running->program : webServicePath_;
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

void SslCertSrvNginx::BackupWeb() {
    RunOperation("SslCertSrvNginx::BackupWeb", [&] {
        std::map<std::u16string, std::u16string> files;
        files[confFilePath_];
        BackupWebConfig(files);
        backupCopies_ = files;
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

// The configured ports the configuration on disk has listen lines for;
// those nginx must listen on again after the restart. Without any (the
// listen lines live in included files), the ports it listened on before.
std::vector<int32_t> SslCertSrvNginx::PortsToServe() const {
    const std::u16string path = confFilePath_.empty() ? mainConfFile_ : confFilePath_;
    const std::u16string text = ReadTextFile(path);
    std::vector<int32_t> ports;
    for (int32_t port : {httpPort_, httpsPort_}) {
        const Regex listen(FormatWide(u"^\\s*listen.*[^\\d\\.]%d[^\\d\\.]", port));
        if (listen.Search(text))
            ports.push_back(port);
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
        ProcessId common = 0;
        bool all = !ports.empty();
        for (int32_t port : ports) {
            ProcessId pid = 0;
            if (!Listening(port, pid) || (common != 0 && pid != common)) {
                all = false;
                break;
            }
            common = pid;
        }
        const auto now = steady_clock::now();
        if (all && !IsProcessGone(common)) {
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

bool SslCertSrvNginx::RestoreBackedUpFiles() {
    bool all = true;
    for (const auto& [source, copy] : backupCopies_) {
        if (CopyFileSilently(copy, source)) {
            LogInfo(u"restored %s from %s", source, copy);
        } else {
            LogError(u"SslCertSrvNginx, cannot restore %s from %s", source, copy);
            all = false;
        }
    }
    return all && !backupCopies_.empty();
}

void SslCertSrvNginx::StopListeners() {
    for (int32_t port : {httpPort_, httpsPort_}) {
        ProcessId pid = 0;
        if (!Listening(port, pid))
            continue;
        webServicePid_ = static_cast<int32_t>(pid);
        try {
            StopWebService();
        } catch (const std::exception& e) {
            LogError("SslCertSrvNginx::StopListeners : %s", e.what());
        }
    }
}

// The configuration is tested before anything is stopped, so that a
// configuration nginx would refuse never costs the running server. A
// deployment whose edit fails the test is taken back at once; an undo
// (whose files are already restored) just ends with the failure.
void SslCertSrvNginx::ApplyConfig() {
    RunOperation("SslCertSrvNginx::ApplyConfig", [&] {
        std::string output;
        if (!TestConfiguration(output)) {
            LogError("SslCertSrvNginx::ApplyConfig, configuration test failed:\n%s", output);
            if (RestoreBackedUpFiles())
                LogInfo("the configuration before this deployment is back in place");
            ThrowResult(result::kConfigTestFailed);
        }
        LogInfo("configuration test passed:\n%s", output);

        StopWebService();
        StartWebService();
        const std::vector<int32_t> ports = PortsToServe();
        if (WaitUntilListening(ports, kRestartWaitMs))
            return;

        LogError("SslCertSrvNginx::ApplyConfig, nginx does not listen again within %d ms",
                 kRestartWaitMs);
        StopListeners();
        const bool restored = RestoreBackedUpFiles();
        StartWebService();
        if (WaitUntilListening(PortsToServe(), kRestartWaitMs)) {
            LogInfo(restored ? "nginx runs again on the configuration before this deployment"
                             : "nginx runs again");
        } else {
            LogError("SslCertSrvNginx::ApplyConfig, nginx did not start again");
        }
        ThrowResult(result::kRestartFailed);
    });
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
    RunOperation("SslCertSrvNginx::StartWebService", [&] {
        LogInfo(u"start: %s (in %s)", JoinCommandLine(launch_.arguments), launch_.directory);
        ProcessId started = 0;
        if (StartDetached(launch_, &started) <= kShellOpenFailureMax)
            LogError(u"SslCertSrvNginx::StartWebService, cannot start %s", launch_.program);
    });
}

}  // namespace qm
