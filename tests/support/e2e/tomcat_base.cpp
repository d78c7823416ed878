#include "tests/support/e2e/tomcat_base.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/server_process.h"

extern char** environ;

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The files of the packaged conf/ a base of one's own copies; server.xml is
// written by the test.
const char* const kCopiedConf[] = {"catalina.properties", "context.xml", "logging.properties",
                                   "tomcat-users.xml",    "web.xml",     "jaspic-providers.xml"};

// The guard: a shell whose parent exits at once, so that it outlives this
// process even when a time limit kills this process's whole tree. It waits
// on its end of a socket (descriptor 3). A normal teardown sends "done"
// first; when this process dies instead, the guard kills every JVM of the
// base (its java executable, -Dcatalina.base=BASE on its command line; in
// its own mount namespace only when $3 is "ns") and removes the folder.
// Several passes: a restart may have been under way. $1: the java
// executable, $2: the base, $4: the folder.
constexpr const char* kGuardScript = R"sh(
(
    read -r word <&3
    [ "$word" = done ] && exit 0
    for pass in 1 2 3; do
        for p in /proc/[0-9]*; do
            [ "$p/exe" -ef "$1" ] || continue
            if [ "$3" = ns ] && ! [ "$p/ns/mnt" -ef /proc/self/ns/mnt ]; then
                continue
            fi
            if tr '\0' '\n' <"$p/cmdline" 2>/dev/null | grep -qxF -- "-Dcatalina.base=$2"; then
                kill -9 "${p#/proc/}"
            fi
        done
        sleep 0.2
    done
    case "$4" in
    */quillmate-*tomcat.*/) rm -rf -- "$4" ;;
    esac
) </dev/null >/dev/null 2>&1 &
)sh";

std::vector<std::string> CommandLineOf(int pid) {
    const std::string raw = ReadTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        args.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

// Whether a Tomcat command line runs a server (Bootstrap start or run), not
// a stop or a configuration test.
bool RunsServer(const std::vector<std::string>& args) {
    const auto main = std::find(args.begin(), args.end(), "org.apache.catalina.startup.Bootstrap");
    if (main == args.end())
        return false;
    for (auto it = main + 1; it != args.end(); ++it) {
        if (*it == "start" || *it == "run")
            return true;
        if (*it == "stop" || *it == "configtest")
            return false;
    }
    return false;
}

void MakeFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("cannot create " + path + ": " + ec.message());
    chmod(path.c_str(), 0755);
}

// A path below a folder: no way out of it.
std::string Below(const std::string& folder, const std::string& relative) {
    if (relative.empty() || relative.front() == '/' ||
        fs::path(relative).lexically_normal().string().rfind("..", 0) == 0)
        throw std::invalid_argument("not a path below " + folder + ": " + relative);
    return folder + relative;
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 20);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string Tail(const std::string& text, size_t lines) {
    size_t at = text.size();
    if (at && text[at - 1] == '\n')
        --at;
    for (size_t n = 0; n < lines && at != std::string::npos && at > 0; ++n)
        at = text.rfind('\n', at - 1);
    return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
}

}  // namespace

std::string JavaHome() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty())
            continue;
        const std::string candidate = folder + "/java";
        if (access(candidate.c_str(), X_OK) != 0)
            continue;
        std::error_code ec;
        const std::string real = fs::canonical(candidate, ec).string();
        const std::string suffix = "/bin/java";
        if (ec || real.size() <= suffix.size() ||
            real.compare(real.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        return real.substr(0, real.size() - suffix.size());
    }
    return {};
}

std::string TomcatUnavailableReason() {
    if (JavaHome().empty())
        return "there is no java on the search path (Debian package default-jre-headless)";
    const std::string home = kTomcatHome;
    for (const char* file : {"/bin/catalina.sh", "/bin/bootstrap.jar", "/lib/catalina.jar"}) {
        if (access((home + file).c_str(), R_OK) != 0)
            return "Tomcat is not installed (" + home + file + "; Debian package tomcat10)";
    }
    for (const char* file : kCopiedConf) {
        const std::string path = std::string(kTomcatPackagedConf) + "/" + file;
        if (access(path.c_str(), R_OK) != 0)
            return "the packaged Tomcat configuration is missing or unreadable (" + path + ")";
    }
    return {};
}

std::string TypicalServerXml(const ServerXmlOptions& o) {
    const bool c = o.comments;
    std::string t = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (c) {
        t += "<!--\n"
             "  Licensed to the Apache Software Foundation (ASF) under one or more\n"
             "  contributor license agreements.  See the NOTICE file distributed with\n"
             "  this work for additional information regarding copyright ownership.\n"
             "  The ASF licenses this file to You under the Apache License, Version 2.0\n"
             "  (the \"License\"); you may not use this file except in compliance with\n"
             "  the License.  You may obtain a copy of the License at\n"
             "\n"
             "      http://www.apache.org/licenses/LICENSE-2.0\n"
             "\n"
             "  Unless required by applicable law or agreed to in writing, software\n"
             "  distributed under the License is distributed on an \"AS IS\" BASIS,\n"
             "  WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.\n"
             "  See the License for the specific language governing permissions and\n"
             "  limitations under the License.\n"
             "-->\n"
             "<!-- Note:  A \"Server\" is not itself a \"Container\", so you may not\n"
             "     define subcomponents such as \"Valves\" at this level.\n"
             "     Documentation at /docs/config/server.html\n"
             " -->\n";
    }
    t += "<Server port=\"-1\" shutdown=\"SHUTDOWN\">\n"
         "  <Listener className=\"org.apache.catalina.startup.VersionLoggerListener\" />\n";
    if (c) {
        t += "  <!-- Security listener. Documentation at /docs/config/listeners.html\n"
             "  <Listener className=\"org.apache.catalina.security.SecurityListener\" />\n"
             "  -->\n"
             "  <!-- OpenSSL support using Tomcat Native -->\n";
    }
    t += "  <Listener className=\"org.apache.catalina.core.AprLifecycleListener\" />\n";
    if (c)
        t += "  <!-- Prevent memory leaks due to use of particular java/javax APIs-->\n";
    t += "  <Listener className=\"org.apache.catalina.core.JreMemoryLeakPreventionListener\" />\n"
         "  <Listener className=\"org.apache.catalina.mbeans.GlobalResourcesLifecycleListener\" "
         "/>\n"
         "  <Listener className=\"org.apache.catalina.core.ThreadLocalLeakPreventionListener\" "
         "/>\n"
         "\n";
    if (c) {
        t += "  <!-- Global JNDI resources\n"
             "       Documentation at /docs/jndi-resources-howto.html\n"
             "  -->\n";
    }
    t += "  <GlobalNamingResources>\n";
    if (c) {
        t += "    <!-- Editable user database that can also be used by\n"
             "         UserDatabaseRealm to authenticate users\n"
             "    -->\n";
    }
    t += "    <Resource name=\"UserDatabase\" auth=\"Container\"\n"
         "              type=\"org.apache.catalina.UserDatabase\"\n"
         "              description=\"User database that can be updated and saved\"\n"
         "              factory=\"org.apache.catalina.users.MemoryUserDatabaseFactory\"\n"
         "              pathname=\"conf/tomcat-users.xml\" />\n"
         "  </GlobalNamingResources>\n"
         "\n";
    if (c) {
        t += "  <!-- A \"Service\" is a collection of one or more \"Connectors\" that share\n"
             "       a single \"Container\" Note:  A \"Service\" is not itself a \"Container\",\n"
             "       so you may not define subcomponents such as \"Valves\" at this level.\n"
             "       Documentation at /docs/config/service.html\n"
             "   -->\n";
    }
    t += "  <Service name=\"Catalina\">\n\n";
    if (c) {
        t += "    <!-- A \"Connector\" represents an endpoint by which requests are received\n"
             "         and responses are returned. Documentation at :\n"
             "         HTTP Connector: /docs/config/http.html\n"
             "         AJP  Connector: /docs/config/ajp.html\n"
             "         Define a non-SSL/TLS HTTP/1.1 Connector on port " +
             std::to_string(o.httpPort) +
             "\n"
             "    -->\n";
    }
    t += "    <Connector port=\"" + std::to_string(o.httpPort) + "\"";
    if (!o.address.empty())
        t += " address=\"" + o.address + "\"";
    t += " protocol=\"HTTP/1.1\"\n"
         "               connectionTimeout=\"20000\"\n"
         "               redirectPort=\"" +
         std::to_string(o.redirectPort) +
         "\"\n"
         "               maxParameterCount=\"1000\"\n"
         "               />\n";
    if (c) {
        t += "    <!-- Define an SSL/TLS HTTP/1.1 Connector on port " +
             std::to_string(o.redirectPort) +
             " with HTTP/2\n"
             "         This connector uses the NIO implementation. JSSE style configuration\n"
             "         is used below.\n"
             "    -->\n"
             "    <!--\n"
             "    <Connector port=\"" +
             std::to_string(o.redirectPort) +
             "\" protocol=\"org.apache.coyote.http11.Http11NioProtocol\"\n"
             "               maxThreads=\"150\" SSLEnabled=\"true\"\n"
             "               maxParameterCount=\"1000\"\n"
             "               >\n"
             "        <UpgradeProtocol className=\"org.apache.coyote.http2.Http2Protocol\" />\n"
             "        <SSLHostConfig>\n"
             "            <Certificate certificateKeystoreFile=\"conf/localhost-rsa.jks\"\n"
             "                         certificateKeystorePassword=\"changeit\" type=\"RSA\" />\n"
             "        </SSLHostConfig>\n"
             "    </Connector>\n"
             "    -->\n";
    }
    t += o.serviceExtra;
    t += "\n";
    if (c) {
        t += "    <!-- An Engine represents the entry point (within Catalina) that processes\n"
             "         every request.  The Engine implementation for Tomcat stand alone\n"
             "         analyzes the HTTP headers included with the request, and passes them\n"
             "         on to the appropriate Host (virtual host).\n"
             "         Documentation at /docs/config/engine.html -->\n"
             "\n";
    }
    t += "    <Engine name=\"Catalina\" defaultHost=\"localhost\">\n\n";
    if (c) {
        t += "      <!-- Use the LockOutRealm to prevent attempts to guess user passwords\n"
             "           via a brute-force attack -->\n";
    }
    t += "      <Realm className=\"org.apache.catalina.realm.LockOutRealm\">\n";
    if (c) {
        t += "        <!-- This Realm uses the UserDatabase configured in the global JNDI\n"
             "             resources under the key \"UserDatabase\".  Any edits\n"
             "             that are performed against this UserDatabase are immediately\n"
             "             available for use by the Realm.  -->\n";
    }
    t += "        <Realm className=\"org.apache.catalina.realm.UserDatabaseRealm\"\n"
         "               resourceName=\"UserDatabase\"/>\n"
         "      </Realm>\n"
         "\n";
    t += o.engineBefore;
    t += "      <Host name=\"localhost\"  appBase=\"webapps\"\n"
         "            unpackWARs=\"true\" autoDeploy=\"true\">\n"
         "\n";
    if (c) {
        t += "        <!-- Access log processes all example.\n"
             "             Documentation at: /docs/config/valve.html\n"
             "             Note: The pattern used is equivalent to using pattern=\"common\" -->\n";
    }
    t += "        <Valve className=\"org.apache.catalina.valves.AccessLogValve\" "
         "directory=\"logs\"\n"
         "               prefix=\"localhost_access_log\" suffix=\".txt\"\n"
         "               pattern=\"%h %l %u %t &quot;%r&quot; %s %b\" />\n";
    t += o.localhostExtra;
    t += "\n"
         "      </Host>\n";
    t += o.engineExtra;
    t += "    </Engine>\n"
         "  </Service>\n"
         "</Server>\n";
    return o.crlf ? WithCrLf(t) : t;
}

std::string MakeSelfSignedKeyStore(const std::string& path, const std::string& password,
                                   const std::vector<std::string>& names) {
    const std::string certPath = path + ".crt.tmp";
    const std::string keyPath = path + ".key.tmp";
    MakeSelfSignedCertificate(certPath, keyPath, names);
    std::string output;
    const int rc = RunProgram({"openssl", "pkcs12", "-export", "-in", certPath, "-inkey", keyPath,
                               "-name", "tomcat", "-out", path, "-passout", "pass:" + password},
                              output);
    const std::string pem = ReadTextFile(certPath);
    std::error_code ec;
    fs::remove(certPath, ec);
    fs::remove(keyPath, ec);
    if (rc != 0)
        throw std::runtime_error("openssl could not make a key store (" + std::to_string(rc) +
                                 "):\n" + output);
    return pem;
}

TomcatBase::TomcatBase() : TomcatBase(Options{}) {}

TomcatBase::TomcatBase(Options options) {
    const std::string whyNot = TomcatUnavailableReason();
    if (!whyNot.empty())
        throw std::runtime_error(whyNot);
    try {
        LayOut(options);
    } catch (...) {
        TearDown();
        throw;
    }
}

TomcatBase::~TomcatBase() {
    TearDown();
}

void TomcatBase::LayOut(const Options& options) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillmate-tomcat.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    const std::string root = pattern + "/";
    chmod(root.c_str(), 0755);
    Layout layout;
    layout.base = root;
    layout.pidFile = root + "temp/tomcat.pid";
    layout.tmpDir = root + "temp/";
    layout.removeAtEnd = root;
    layout.httpPort = options.httpPort ? options.httpPort : FreeLoopbackPort();
    layout.httpsPort = options.httpsPort ? options.httpsPort : FreeLoopbackPort();
    while (layout.httpsPort == layout.httpPort)
        layout.httpsPort = FreeLoopbackPort();
    loopbackOnly_ = !options.httpPort;
    Adopt(layout);
    StartGuard();

    for (const char* sub : {"conf", "logs", "temp", "work", "webapps/ROOT"})
        MakeFolder(root + sub);
    for (const char* file : kCopiedConf) {
        std::error_code ec;
        fs::copy_file(std::string(kTomcatPackagedConf) + "/" + file, root + "conf/" + file,
                      fs::copy_options::overwrite_existing, ec);
        if (ec)
            throw std::runtime_error(std::string("cannot copy ") + kTomcatPackagedConf + "/" +
                                     file + ": " + ec.message());
        chmod((root + "conf/" + file).c_str(), 0644);
    }
    WriteWebFile("ROOT/index.html", "<html><body><h1>It works!</h1></body></html>\n");
    WriteServerXml(DefaultServerXml());
}

void TomcatBase::Adopt(const Layout& layout) {
    base_ = layout.base;
    pidFile_ = layout.pidFile;
    tmpDir_ = layout.tmpDir;
    removeAtEnd_ = layout.removeAtEnd;
    extraEnvironment_ = layout.extraEnvironment;
    ownMountNamespace_ = layout.ownMountNamespace;
    httpPort_ = layout.httpPort;
    httpsPort_ = layout.httpsPort;
    javaHome_ = JavaHome();
    if (javaHome_.empty())
        throw std::runtime_error("there is no java on the search path");
    javaExecutable_ = javaHome_ + "/bin/java";
}

void TomcatBase::StartGuard() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair: " + std::string(std::strerror(errno)));
    // Above the standard descriptors, so that the guard's 3 is a real copy.
    const int guardEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    close(fds[1]);
    if (guardEnd < 0) {
        close(fds[0]);
        throw std::runtime_error("fcntl: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, guardEnd, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    std::vector<std::string> argv{"/bin/sh",
                                  "-c",
                                  kGuardScript,
                                  "sh",
                                  javaExecutable_,
                                  baseDir(),
                                  ownMountNamespace_ ? "ns" : "any",
                                  removeAtEnd_};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(guardEnd);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start the guard process: " +
                                 std::string(std::strerror(rc)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        close(fds[0]);
        throw std::runtime_error("the guard process did not start");
    }
    guardFd_ = fds[0];
}

void TomcatBase::TearDown() noexcept {
    if (!base_.empty()) {
        try {
            Stop();
        } catch (...) {
            // The guard kills what is left.
        }
    }
    if (!removeAtEnd_.empty()) {
        // remove_all removes links themselves, never what they point to.
        std::error_code ec;
        fs::remove_all(removeAtEnd_, ec);
        removeAtEnd_.clear();
    }
    base_.clear();
    if (guardFd_ >= 0) {
        // Everything is cleaned up: the guard may go without doing anything.
        const char done[] = "done\n";
        send(guardFd_, done, sizeof done - 1, MSG_NOSIGNAL);
        close(guardFd_);
        guardFd_ = -1;
    }
}

std::string TomcatBase::baseDir() const {
    return base_.empty() ? base_ : base_.substr(0, base_.size() - 1);
}

std::string TomcatBase::confDir() const {
    return base_ + "conf/";
}

std::string TomcatBase::serverXmlPath() const {
    return base_ + "conf/server.xml";
}

ServerXmlOptions TomcatBase::DefaultServerXml() const {
    ServerXmlOptions options;
    options.httpPort = httpPort_;
    options.redirectPort = httpsPort_;
    if (loopbackOnly_)
        options.address = "127.0.0.1";
    return options;
}

void TomcatBase::WriteServerXml(ServerXmlOptions options) const {
    const ServerXmlOptions defaults;
    if (options.httpPort == defaults.httpPort)
        options.httpPort = httpPort_;
    if (options.redirectPort == defaults.redirectPort)
        options.redirectPort = httpsPort_;
    if (options.address.empty() && loopbackOnly_)
        options.address = "127.0.0.1";
    WriteServerXmlText(TypicalServerXml(options));
}

void TomcatBase::WriteServerXmlText(const std::string& text) const {
    WriteFile("conf/server.xml", text);
}

std::string TomcatBase::ReadServerXml() const {
    return ReadFile("conf/server.xml");
}

void TomcatBase::WriteFile(const std::string& relative, const std::string& text) const {
    const std::string path = Below(base_, relative);
    MakeFolder(fs::path(path).parent_path().string());
    WriteTextFile(path, text);
    chmod(path.c_str(), 0644);
}

std::string TomcatBase::ReadFile(const std::string& relative) const {
    return ReadTextFile(Below(base_, relative));
}

void TomcatBase::WriteWebFile(const std::string& relative, const std::string& text) const {
    WriteFile("webapps/" + relative, text);
}

std::vector<std::string> TomcatBase::Environment() const {
    std::vector<std::string> env{
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "LANG=C.UTF-8",
        "CATALINA_HOME=" + Home(),
        "CATALINA_BASE=" + baseDir(),
        "CATALINA_PID=" + pidFile_,
        "CATALINA_TMPDIR=" + tmpDir_.substr(0, tmpDir_.size() - 1),
        "JAVA_HOME=" + javaHome_};
    env.insert(env.end(), extraEnvironment_.begin(), extraEnvironment_.end());
    return env;
}

int TomcatBase::RunCatalina(const std::vector<std::string>& args, std::string* output,
                            int timeoutMs) const {
    // A clean environment and the base as the working folder, as a service
    // script leaves them.
    std::vector<std::string> argv{"/usr/bin/env", "-i", "-C", baseDir()};
    const std::vector<std::string> env = Environment();
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(Home() + "/bin/catalina.sh");
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text;
    const int rc = RunProgram(argv, text, milliseconds(timeoutMs));
    if (output)
        *output = text;
    return rc;
}

void TomcatBase::Start(const std::vector<int>& ports, int timeoutMs) {
    if (!JvmPids().empty())
        throw std::logic_error("Tomcat runs already in " + base_);
    // Tomcat binds its ports while it initializes, seconds before its
    // connectors take requests: it serves once it says so in its log.
    const size_t logStart = CatalinaOut().size();
    std::string output;
    const int rc = RunCatalina({"start"}, &output);
    if (rc != 0) {
        throw std::runtime_error("catalina.sh start failed (exit " + std::to_string(rc) + "):\n" +
                                 output + LogTail());
    }
    const int started = std::atoi(ReadTextFile(pidFile_).c_str());
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto check = [&](const std::string& what) {
        if (started > 0 && !ProcessAlive(started))
            throw std::runtime_error("the JVM ended before " + what + ":\n" + output + LogTail());
        if (steady_clock::now() > deadline)
            throw std::runtime_error("Tomcat did not come up (" + what + ") within " +
                                     std::to_string(timeoutMs) + " ms:\n" + output + LogTail());
        std::this_thread::sleep_for(milliseconds(50));
    };
    while (CatalinaOut().find(kStartedMessage, logStart) == std::string::npos)
        check("it said \"" + std::string(kStartedMessage) + "\"");
    for (int port : ports.empty() ? std::vector<int>{httpPort_} : ports) {
        while (!PortAcceptsConnections(port))
            check("it listened on port " + std::to_string(port));
    }
}

void TomcatBase::Stop(int graceMs) {
    if (base_.empty() || JvmPids().empty())
        return;
    auto waitGone = [&](int limitMs) {
        const auto end = steady_clock::now() + milliseconds(limitMs);
        while (!JvmPids().empty()) {
            if (steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return true;
    };
    // With the shutdown port disabled (-1) the script's own stop fails, and
    // it signals the JVM of CATALINA_PID instead.
    std::string output;
    RunCatalina({"stop"}, &output, 30000);
    if (waitGone(graceMs))
        return;
    for (int pid : JvmPids())
        kill(pid, SIGTERM);
    if (waitGone(graceMs))
        return;
    for (int pid : JvmPids())
        kill(pid, SIGKILL);
    if (!waitGone(5000))
        throw std::runtime_error("the JVM of " + base_ + " does not end");
}

std::vector<int> TomcatBase::JvmPids() const {
    std::vector<int> pids;
    if (base_.empty())
        return pids;
    const std::string marker = "-Dcatalina.base=" + baseDir();
    const std::string ownMount = ownMountNamespace_ ? NamespaceOf("self", "mnt") : std::string();
    for (int pid : AllProcessIds()) {
        if (pid == getpid() || !ProcessAlive(pid))
            continue;
        const std::string exe = ExecutableOf(pid);
        if (exe != javaExecutable_ && fs::path(exe).filename() != "java")
            continue;
        const std::vector<std::string> args = CommandLineOf(pid);
        if (std::find(args.begin(), args.end(), marker) == args.end() || !RunsServer(args))
            continue;
        if (ownMountNamespace_ && NamespaceOf(std::to_string(pid), "mnt") != ownMount)
            continue;
        pids.push_back(pid);
    }
    return pids;
}

int TomcatBase::JvmPid() const {
    const std::vector<int> pids = JvmPids();
    if (pids.empty())
        return 0;
    const int named = std::atoi(ReadTextFile(pidFile_).c_str());
    if (std::find(pids.begin(), pids.end(), named) != pids.end())
        return named;
    return pids.front();
}

std::string TomcatBase::LogsDir() const {
    return base_ + "logs/";
}

std::string TomcatBase::CatalinaOut() const {
    return ReadTextFile(LogsDir() + "catalina.out");
}

std::string TomcatBase::LogTail(size_t lines) const {
    return Tail(CatalinaOut(), lines);
}

}  // namespace qm::e2e
