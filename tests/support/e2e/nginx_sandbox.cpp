#include "tests/support/e2e/nginx_sandbox.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/server_process.h"
#include "tests/support/temp_dir.h"

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
namespace fs = std::filesystem;

bool IsExecutable(const std::string& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// Lines of `nginx -V` that say a module with its own temporary folder is
// left out of this build.
bool HasModule(const std::string& versionText, const std::string& module) {
    return versionText.find("--without-" + module) == std::string::npos;
}

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

std::string InstalledNginx() {
    if (const char* chosen = std::getenv("QUILLMATE_NGINX"); chosen && IsExecutable(chosen))
        return chosen;
    if (IsExecutable("/usr/sbin/nginx"))
        return "/usr/sbin/nginx";
    if (const char* path = std::getenv("PATH")) {
        std::istringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (!dir.empty() && IsExecutable(dir + "/nginx"))
                return dir + "/nginx";
        }
    }
    return {};
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        throw std::runtime_error("cannot find a free loopback port: " + why);
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool PortAcceptsConnections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

bool WaitForPort(int port, int timeoutMs) {
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        if (PortAcceptsConnections(port))
            return true;
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool WaitForPortClosed(int port, int timeoutMs) {
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        if (!PortAcceptsConnections(port))
            return true;
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void MakeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                               const std::vector<std::string>& names, int days) {
    if (names.empty())
        throw std::invalid_argument("a certificate needs at least one name");
    std::string altNames = "subjectAltName=";
    for (size_t i = 0; i < names.size(); ++i)
        altNames += (i ? ",DNS:" : "DNS:") + names[i];
    std::string output;
    const int rc = RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                               std::to_string(days), "-subj", "/CN=" + names.front(), "-addext",
                               altNames, "-keyout", keyPath, "-out", certPath},
                              output);
    if (rc != 0)
        throw std::runtime_error("openssl could not make a certificate (" + std::to_string(rc) +
                                 "):\n" + output);
}

std::string ConnectToEntry(const std::string& address) {
    // Any host and port of the URL go to this address, on the URL's port.
    const bool ipv6 = address.find(':') != std::string::npos && address.front() != '[';
    return "::" + (ipv6 ? "[" + address + "]" : address) + ":";
}

HttpResult HttpGet(const std::string& url, const std::string& caFile, int timeoutMs,
                   bool loopback) {
    HttpOptions options;
    options.caFile = caFile;
    options.timeoutMs = timeoutMs;
    if (loopback)
        options.connectTo = "127.0.0.1";
    return HttpGet(url, options);
}

HttpResult HttpGet(const std::string& url, const HttpOptions& options) {
    CurlGlobalInit();
    HttpResult result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        result.error = "curl_easy_init failed";
        return result;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeoutMs));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, options.insecure ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, options.insecure ? 0L : 2L);
    if (!options.caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    curl_slist* connectTo =
        options.connectTo.empty()
            ? nullptr
            : curl_slist_append(nullptr, ConnectToEntry(options.connectTo).c_str());
    if (connectTo)
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
        result.ok = true;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
        char* address = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address)
            result.peerAddress = address;
        curl_certinfo* chain = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &chain) == CURLE_OK && chain &&
            chain->num_of_certs > 0) {
            // The first certificate is the server's own.
            for (curl_slist* field = chain->certinfo[0]; field; field = field->next) {
                const std::string line = field->data;
                const size_t colon = line.find(':');
                if (colon == std::string::npos)
                    continue;
                const std::string name = line.substr(0, colon);
                const std::string value = line.substr(colon + 1);
                if (name == "X509v3 Subject Alternative Name")
                    result.peerAltNames = value;
                else if (name == "Subject")
                    result.peerSubject = value;
                else if (name == "Expire date")
                    result.peerNotAfter = value;
                else if (name == "Cert")
                    result.peerCertPem = value;
            }
        }
    } else {
        result.error = errorText[0] ? errorText : curl_easy_strerror(code);
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(connectTo);
    return result;
}

NginxSandbox::NginxSandbox() : NginxSandbox(Options{}) {}

NginxSandbox::NginxSandbox(Options options) {
    LayOut(options);
}

NginxSandbox::~NginxSandbox() {
    if (!detached_) {
        try {
            Stop();
        } catch (...) {
            // A destructor must not throw; what is left dies with the folder's removal.
        }
    }
    tempRoot_.reset();
}

void NginxSandbox::LayOut(const Options& options) {
    const std::string installed = InstalledNginx();
    if (installed.empty())
        throw std::runtime_error("nginx is not installed");
    if (options.rootDir.empty()) {
        tempRoot_ = std::make_unique<test::TempDir>();
        root_ = tempRoot_->narrow();
    } else {
        root_ = options.rootDir;
        if (root_.back() != '/')
            root_ += '/';
    }
    std::error_code ec;
    for (const char* sub : {"conf", "html", "logs", "temp"}) {
        fs::create_directories(root_ + sub, ec);
        if (ec)
            throw std::runtime_error("cannot create " + root_ + sub + ": " + ec.message());
    }
    // nginx's workers run as another user when started by root: they must
    // be able to reach the document roots inside the folder.
    chmod(root_.c_str(), 0755);

    executable_ = options.layout == Layout::SbinFolder ? root_ + "sbin/nginx" : root_ + "nginx";
    fs::create_directories(fs::path(executable_).parent_path(), ec);
    fs::remove(executable_, ec);
    copied_ = options.copyExecutable;
    if (copied_) {
        fs::copy_file(installed, executable_, fs::copy_options::overwrite_existing, ec);
        if (!ec)
            fs::permissions(executable_,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec,
                            ec);
    } else {
        fs::create_symlink(installed, executable_, ec);
    }
    if (ec)
        throw std::runtime_error("cannot place nginx at " + executable_ + ": " + ec.message());

    httpPort_ = options.httpPort ? options.httpPort : FreeLoopbackPort();
    httpsPort_ = options.httpsPort ? options.httpsPort : FreeLoopbackPort();
    while (httpsPort_ == httpPort_)
        httpsPort_ = FreeLoopbackPort();

    WriteTextFile(root_ + "html/index.html", "<html><body>sandbox</body></html>\n");
    if (!fs::exists(confPath()))
        WriteConfig("");
}

std::u16string NginxSandbox::rootWide() const {
    return std::u16string(root_.begin(), root_.end());
}

std::string NginxSandbox::executable() const {
    return executable_;
}

std::string NginxSandbox::confPath() const {
    return root_ + "conf/nginx.conf";
}

std::string NginxSandbox::htmlDir() const {
    return root_ + "html/";
}

std::string NginxSandbox::logsDir() const {
    return root_ + "logs/";
}

std::string NginxSandbox::UrlFor(const std::string& scheme, const std::string& host, int port,
                                 const std::string& path) {
    return scheme + "://" + host + ":" + std::to_string(port) + path;
}

std::vector<std::string> NginxSandbox::CommandLine() const {
    return {executable_, "-p", root_, "-c", "conf/nginx.conf"};
}

std::string NginxSandbox::MainContext() const {
    std::string text;
    // Workers of a master started by root would run as nobody, who cannot
    // read files the tests create with owner-only folders on the way.
    if (geteuid() == 0)
        text += "user root;\n";
    text +=
        "worker_processes 1;\n"
        "pid logs/nginx.pid;\n"
        "error_log logs/error.log notice;\n"
        "events {\n"
        "    worker_connections 256;\n"
        "}\n";
    return text;
}

std::string NginxSandbox::HttpContext() const {
    static const std::string versionText = [&] {
        std::string output;
        RunProgram({executable_, "-V"}, output);
        return output;
    }();
    std::string text =
        "    access_log logs/access.log;\n"
        "    client_body_temp_path temp/client_body;\n";
    for (const char* module : {"proxy", "fastcgi", "uwsgi", "scgi"}) {
        if (HasModule(versionText, std::string("http_") + module + "_module"))
            text += std::string("    ") + module + "_temp_path temp/" + module + ";\n";
    }
    return text;
}

void NginxSandbox::WriteConfig(const std::string& serverBlocks) const {
    WriteConfigText(MainContext() + "http {\n" + HttpContext() + serverBlocks + "}\n");
}

void NginxSandbox::WriteConfigText(const std::string& text) const {
    WriteTextFile(confPath(), text);
}

std::string NginxSandbox::ReadConfigText() const {
    return ReadTextFile(confPath());
}

bool NginxSandbox::TestConfig(std::string* output) const {
    std::vector<std::string> argv = CommandLine();
    argv.push_back("-t");
    std::string text;
    const int rc = RunProgram(argv, text);
    if (output)
        *output = text;
    return rc == 0;
}

void NginxSandbox::Start(const std::vector<int>& ports, int timeoutMs) {
    std::string output;
    const int rc = RunProgram(CommandLine(), output, milliseconds(timeoutMs));
    if (rc != 0) {
        throw std::runtime_error("nginx did not start (exit " + std::to_string(rc) + "):\n" +
                                 output + ErrorLog());
    }
    WaitForNginxToServe(
        ports.empty() ? std::vector<int>{httpPort_} : ports, timeoutMs, output,
        [this] { return MasterPid(); }, [this] { return ErrorLog(); });
}

void WaitForNginxToServe(const std::vector<int>& ports, int timeoutMs, const std::string& output,
                         const std::function<int()>& masterPid,
                         const std::function<std::string()>& errorLog) {
    // The daemon binds its ports before it writes the pid file and takes its
    // master title: tests that compare masters need both.
    WaitToServe("nginx", ports, timeoutMs, output, masterPid, errorLog, "shows no master process");
}

int NginxSandbox::MasterPid() const {
    const int pid = std::atoi(ReadTextFile(root_ + "logs/nginx.pid").c_str());
    if (!ProcessAlive(pid))
        return 0;
    // A stale pid file may name an unrelated process by now.
    if (copied_) {
        std::error_code ec;
        if (ExecutableOf(pid) != fs::canonical(executable_, ec).string())
            return 0;
    }
    const std::string cmdline = ReadTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.rfind("nginx: master process", 0) == 0 ? pid : 0;
}

std::vector<int> NginxSandbox::ProcessIds() const {
    std::vector<int> pids;
    const int master = MasterPid();
    std::error_code ec;
    const std::string ownExe = copied_ ? fs::canonical(executable_, ec).string() : std::string();
    for (int pid : AllProcessIds()) {
        if (!ProcessAlive(pid))
            continue;
        if (pid == master || (master && ParentProcess(pid) == master) ||
            (!ownExe.empty() && ExecutableOf(pid) == ownExe)) {
            pids.push_back(pid);
        }
    }
    return pids;
}

void NginxSandbox::Stop() {
    auto waitGone = [&](milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!ProcessIds().empty()) {
            if (steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return true;
    };
    if (const int master = MasterPid())
        kill(master, SIGTERM);
    if (waitGone(milliseconds(5000)))
        return;
    for (int pid : ProcessIds())
        kill(pid, SIGKILL);
    if (!waitGone(milliseconds(5000)))
        throw std::runtime_error("nginx processes of " + root_ + " do not end");
}

std::string NginxSandbox::ErrorLog() const {
    return ReadTextFile(root_ + "logs/error.log");
}

}  // namespace qm::e2e
