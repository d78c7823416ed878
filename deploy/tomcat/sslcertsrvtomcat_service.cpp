// Stopping and starting Tomcat the way it was started, waiting until it
// listens again, what its log says when it does not, and what a record
// keeps to bring it back.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>

#include "deploy/faultpoints.h"
#include "deploy/tomcat/sslcertsrvtomcat.h"
#include "deploy/wirecheck.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

using Clock = std::chrono::steady_clock;

// Today as Tomcat's dated log names it: YYYY-MM-DD.
std::string LocalDate() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits until the process is gone; false at the time-out.
bool WaitForExit(ProcessId pid, int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!IsProcessGone(pid)) {
        if (Clock::now() >= until)
            return false;
        SleepMs(50);
    }
    return true;
}

void SetEnvironmentValue(std::vector<std::u16string>& environment, std::u16string_view name,
                         const std::u16string& value) {
    const std::u16string prefix = std::u16string(name) + u"=";
    for (auto& entry : environment) {
        if (entry.rfind(prefix, 0) == 0) {
            entry = prefix + value;
            return;
        }
    }
    environment.push_back(prefix + value);
}

}  // namespace

std::u16string SslCertSrvTomcat::CatalinaScript() const {
    const std::u16string script = catalinaHome_ + NativeSeparators(u"bin/catalina.sh");
    return FileExists(script) ? script : u"";
}

// The environment Tomcat's scripts run with: the JVM's own, with the
// folders it uses written out.
std::vector<std::u16string> SslCertSrvTomcat::ScriptEnvironment() const {
    std::vector<std::u16string> environment = launch_.environment;
    SetEnvironmentValue(environment, u"CATALINA_HOME", WithoutTrailingSeparator(catalinaHome_));
    SetEnvironmentValue(environment, u"CATALINA_BASE", WithoutTrailingSeparator(catalinaBase_));
    if (EnvironmentValue(environment, u"JAVA_HOME").empty() &&
        IsJavaProgram(FileNameOf(launch_.program))) {
        // .../bin/java -> ...
        const std::u16string bin = WithoutTrailingSeparator(DirectoryOf(launch_.program));
        SetEnvironmentValue(environment, u"JAVA_HOME", WithoutTrailingSeparator(DirectoryOf(bin)));
    }
    if (EnvironmentValue(environment, u"PATH").empty())
        SetEnvironmentValue(environment, u"PATH", u"/usr/local/bin:/usr/bin:/bin");
    return environment;
}

void SslCertSrvTomcat::StopWebService() {
    RunOperation("SslCertSrvTomcat::StopWebService", [&] {
        const ProcessId pid = static_cast<ProcessId>(webServicePid_);
        if (pid == 0 || IsProcessGone(pid))
            return;
        const std::u16string script = CatalinaScript();
        // Without a shutdown port (port="-1", as Debian ships it) the
        // script could only end in the termination signal, seconds later.
        bool asked = false;
        if (launchedByScripts_ && !script.empty() && ShutdownPortOpen()) {
            std::string output;
            int exitCode = -1;
            LogInfo(u"stop: %s stop", script);
            asked = RunAndCaptureWith({script, u"stop"}, ScriptEnvironment(), kCommandWaitMs,
                                      output, exitCode) &&
                    exitCode == 0;
            if (!asked)
                LogInfo("catalina.sh stop: %s", output);
        }
        // Else the termination signal: the JVM's shutdown hook stops Tomcat
        // in order. One that hangs is killed.
        if (!asked || !WaitForExit(pid, 5000)) {
            LogInfo("stop: the termination signal to the JVM, pid %d", webServicePid_);
            SignalTerminate(pid);
            if (!WaitForExit(pid, stopTimeout_))
                KillProcessTree(pid, stopTimeout_);
        }
        // The pid file names the JVM that ended (catalina.sh stop would
        // remove it): left there, catalina.sh start may take a JVM not yet
        // collected by its parent for a running Tomcat and refuse to start.
        const std::u16string pidFile = EnvironmentValue(launch_.environment, u"CATALINA_PID");
        std::string named;
        if (!pidFile.empty() && ReadFileBytes(pidFile, named) &&
            std::atol(named.c_str()) == static_cast<long>(pid))
            DeleteFileToRecycleBin(pidFile);
        LogInfo("tomcat stopped (pid %d)", webServicePid_);
    });
}

void SslCertSrvTomcat::StartWebService() {
    RunOperation("SslCertSrvTomcat::StartWebService", [&] {
        const std::u16string script = CatalinaScript();
        if (launchedByScripts_ && !script.empty()) {
            std::string output;
            int exitCode = -1;
            LogInfo(u"start: %s start", script);
            if (RunAndCaptureWith({script, u"start"}, ScriptEnvironment(), kCommandWaitMs, output,
                                  exitCode) &&
                exitCode == 0)
                return;
            LogWarn("catalina.sh start: %s", output);
        }
        StartFromLaunch(launch_);
    });
}

// The ports the connectors of Server.xml on disk listen on, of the two
// configured.
std::vector<int32_t> SslCertSrvTomcat::PortsToServe() const {
    std::vector<int32_t> ports;
    XmlDocument onDisk;
    if (!onDisk.Load(serverXmlPath_) || !onDisk.FindElement(u"Server") || !onDisk.IntoElement() ||
        !onDisk.FindElement(u"Service") || !onDisk.IntoElement())
        return {httpPort_};
    while (onDisk.FindElement(u"Connector")) {
        for (int32_t port : {httpPort_, httpsPort_}) {
            if (onDisk.GetAttribute(u"port") == FormatWide(u"%d", port) &&
                std::find(ports.begin(), ports.end(), port) == ports.end())
                ports.push_back(port);
        }
    }
    return ports.empty() ? std::vector<int32_t>{httpPort_} : ports;
}

// Tomcat binds its connectors early in its start, all at once: once a new
// JVM holds the first port, one that does not follow soon will not.
bool SslCertSrvTomcat::WaitForPorts(ProcessId oldPid, int timeoutMs) {
    const std::vector<int32_t> ports = PortsToServe();
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto firstSeen = Clock::time_point();
    for (;;) {
        size_t held = 0;
        ProcessId holder = 0;
        for (int32_t port : ports) {
            const ProcessId pid = PortListener(port);
            if (pid != 0 && pid != oldPid) {
                ++held;
                holder = pid;
            }
        }
        const auto now = Clock::now();
        if (held == ports.size()) {
            // Tomcat binds its ports while it initialises, seconds before it
            // answers; a connector that cannot start closes its port again.
            // Every port counts once Tomcat has started.
            if (!WaitForStartup(holder, until))
                return false;
            for (int32_t port : ports) {
                if (PortListener(port) != holder) {
                    LogError("tomcat closed port %d while it started", port);
                    return false;
                }
            }
            webServicePid_ = static_cast<int32_t>(holder);
            LogInfo("tomcat serves on every port again, pid %d", webServicePid_);
            return true;
        }
        if (held > 0 && firstSeen == Clock::time_point())
            firstSeen = now;
        if (now >= until || (firstSeen != Clock::time_point() &&
                             now - firstSeen > std::chrono::milliseconds(kHttpsLagMs)))
            return false;
        SleepMs(100);
    }
}

// Until Tomcat says it has started (its log since the restart), or its
// HTTP port answers, or the JVM ends.
bool SslCertSrvTomcat::WaitForStartup(ProcessId jvm, Clock::time_point until) const {
    const WireTarget http{u"localhost", u"127.0.0.1", httpPort_};
    for (;;) {
        for (const auto& [path, size] : logSizes_) {
            std::string text;
            if (ReadFileBytes(path, text) && text.size() > size &&
                text.find("Server startup in", size) != std::string::npos)
                return true;
        }
        std::string problem;
        if (HttpStatusAt(http, "/", 1000, problem) > 0)
            return true;
        if (IsProcessGone(jvm) || Clock::now() >= until)
            return false;
        SleepMs(200);
    }
}

bool SslCertSrvTomcat::ShutdownPortOpen() {
    serverXml_.ResetPosition();
    if (!serverXml_.FindElement(u"Server"))
        return true;
    const std::u16string port = serverXml_.GetAttribute(u"port");
    return port != u"-1";
}

void SslCertSrvTomcat::RememberLogSizes() {
    logSizes_.clear();
    const std::u16string logs = catalinaBase_ + u"logs" + PathSeparator();
    for (const std::u16string& name :
         {std::u16string(u"catalina.out"), u"catalina." + WideFromAscii(LocalDate()) + u".log"}) {
        std::string text;
        ReadFileBytes(logs + name, text);
        logSizes_.emplace_back(logs + name, text.size());
    }
}

// What Tomcat's log says since the restart: its errors, the first lines.
std::string SslCertSrvTomcat::LogLinesSinceStart() const {
    std::string lines;
    int count = 0;
    for (const auto& [path, size] : logSizes_) {
        std::string text;
        if (!ReadFileBytes(path, text) || text.size() <= size)
            continue;
        size_t start = size;
        while (start < text.size() && count < 6) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find("SEVERE") != std::string::npos ||
                line.find("Caused by") != std::string::npos ||
                (line.find("Exception") != std::string::npos && line.find("\tat ") != 0)) {
                lines += line + "\n";
                ++count;
            }
        }
        if (count > 0)
            break;  // catalina.out and the dated log say the same
    }
    return lines;
}

void SslCertSrvTomcat::Restart() {
    RememberLogSizes();
    const ProcessId old = static_cast<ProcessId>(webServicePid_);
    if (!serviceUnit_.empty()) {
        std::string output;
        int exitCode = -1;
        LogInfo(u"restart: systemctl restart %s", serviceUnit_);
        RunAndCapture({u"systemctl", u"restart", serviceUnit_}, kCommandWaitMs, output, exitCode);
        FaultPoint(u"applying");
    } else {
        StopWebService();
        FaultPoint(u"applying");
        StartWebService();
    }
    if (WaitForPorts(old, kStartWaitMs))
        return;
    const std::string why = LogLinesSinceStart();
    LogError("tomcat does not listen on every port again:\n%s", why);
    size_t start = 0;
    while (start < why.size()) {
        const size_t end = why.find('\n', start);
        AddUserNote(WideFromUtf8(why.substr(start, end - start)));
        start = end == std::string::npos ? why.size() : end + 1;
    }
    AddUserNote(u"Tomcat did not serve on every port after its restart; see its log in " +
                catalinaBase_ + u"logs.");
    ThrowResult(result::kRestartFailed);
}

void SslCertSrvTomcat::ApplyConfig() {
    RunOperation("SslCertSrvTomcat::ApplyConfig", [&] {
        NoteServerTouched();
        Restart();
    });
}

void SslCertSrvTomcat::ApplyRestoredConfig() {
    RunOperation("SslCertSrvTomcat::ApplyRestoredConfig", [&] {
        webServicePid_ = static_cast<int32_t>(ConfiguredPortListener());
        Restart();
    });
}

// ---- What a record keeps ----

void SslCertSrvTomcat::DescribeServer(ServerRecord& server) const {
    server.kind = ServerKind();
    server.launch = launch_;
    server.serviceUnit = serviceUnit_;
    server.properties = {{u"base", catalinaBase_},
                         {u"home", catalinaHome_},
                         {u"configuration", serverXmlPath_},
                         {u"scripts", launchedByScripts_ ? u"1" : u"0"}};
}

void SslCertSrvTomcat::AdoptServer(const ServerRecord& server) {
    if (server.launch.program.empty())
        return;
    launch_ = server.launch;
    serviceUnit_ = server.serviceUnit;
    for (const auto& [name, value] : server.properties) {
        if (name == u"base")
            catalinaBase_ = webServiceRoot_ = value;
        else if (name == u"home")
            catalinaHome_ = value;
        else if (name == u"configuration")
            serverXmlPath_ = value;
        else if (name == u"scripts")
            launchedByScripts_ = value == u"1";
    }
    webServicePid_ = static_cast<int32_t>(ConfiguredPortListener());
}

// Every deployed name on the HTTPS connector's address.
std::vector<WireTarget> SslCertSrvTomcat::WireTargets() const {
    std::vector<WireTarget> targets;
    XmlDocument onDisk;
    std::u16string address = u"127.0.0.1";
    if (onDisk.Load(serverXmlPath_) && onDisk.FindElement(u"Server") && onDisk.IntoElement() &&
        onDisk.FindElement(u"Service") && onDisk.IntoElement()) {
        while (onDisk.FindElement(u"Connector")) {
            if (onDisk.GetAttribute(u"port") != FormatWide(u"%d", httpsPort_))
                continue;
            const std::u16string bound = onDisk.GetAttribute(u"address");
            if (!bound.empty() && bound != u"0.0.0.0" && bound != u"::" && bound != u"*")
                address = bound;
        }
    }
    for (const auto& domain : inputDomains_)
        targets.push_back({domain, address, httpsPort_});
    return targets;
}

}  // namespace qm
