#include "tests/support/e2e/certcenter_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Sanitizer builds start slowly; a healthy center is ready in well under a second.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool HasPrivateHosts() {
    const char* names = std::getenv("QUILLMATE_E2E_HOSTS");
    return names != nullptr;
}

std::string CertCenterProgram() {
    return QUILLMATE_CERTCENTER_PROGRAM;
}

CertCenterProcess::CertCenterProcess(std::vector<std::string> options, Checks checks)
    : dir_(std::make_unique<test::TempDir>()), options_(std::move(options)), checks_(checks) {
    Start(0);
}

CertCenterProcess::~CertCenterProcess() {
    // A clean stop also lets sanitizer builds check the center for leaks.
    if (const int exit = Stop(); exit != 0)
        ADD_FAILURE() << "the certificate center ended with " << exit << ":\n" << StderrText();
}

std::string CertCenterProcess::url() const {
    return "https://localhost:" + std::to_string(port_);
}

std::string CertCenterProcess::stateDir() const {
    return dir_->narrow() + "state";
}

std::string CertCenterProcess::caFile() const {
    return stateDir() + "/ca.pem";
}

std::string CertCenterProcess::StderrText() const {
    return ReadText(dir_->narrow() + "center.stderr");
}

void CertCenterProcess::Start(int port) {
    const std::string readyFile = dir_->narrow() + "ready";
    std::remove(readyFile.c_str());
    std::vector<std::string> argv = {
        CertCenterProgram(), "serve",    "--listen",     "127.0.0.1:" + std::to_string(port),
        "--state",           stateDir(), "--ready-file", readyFile};
    if (checks_ == Checks::RelaxedForLoopbackSites)
        argv.insert(argv.end(), {"--allow-local", "--allow-port", "1024-65535"});
    argv.insert(argv.end(), options_.begin(), options_.end());
    pid_ = SpawnServer(argv, dir_->narrow() + "center.stderr");

    port_ = WaitForReadyPort(pid_, readyFile, kStartLimit, "the certificate center",
                             [this] { return StderrText(); });
}

int CertCenterProcess::Stop() {
    return StopServer(pid_, kStopLimit);
}

void CertCenterProcess::Restart() {
    if (const int exit = Stop(); exit != 0)
        throw std::runtime_error("the certificate center ended with " + std::to_string(exit) +
                                 ":\n" + StderrText());
    Start(port_);
}

void CertCenterProcess::KillAndRestart() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    Start(port_);
}

void CertCenterProcess::Restart(std::vector<std::string> options) {
    options_ = std::move(options);
    Restart();
}

std::vector<CenterRequest> CertCenterProcess::RequestLog() const {
    std::vector<CenterRequest> entries;
    std::istringstream lines(ReadText(stateDir() + "/requests.log"));
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (std::string line; std::getline(lines, line);) {
        CenterRequest entry;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &entry.line, &errors) ||
            !entry.line.isObject())
            throw std::runtime_error("unreadable request log line: " + line);
        entry.time = entry.line.get("time", "").asString();
        entry.type = entry.line.get("type", "").asString();
        entry.outcome = entry.line.get("outcome", "").asString();
        entry.error = entry.line.get("error", "").asString();
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> CertCenterProcess::RequestTypes() const {
    std::vector<std::string> types;
    for (const auto& entry : RequestLog())
        types.push_back(entry.type);
    return types;
}

int CertCenterProcess::Approve(const std::string& token) const {
    const pid_t pid = SpawnServer({CertCenterProgram(), "approve", token, "--state", stateDir()},
                                  dir_->narrow() + "approve.out");
    return ChildExitWithin(pid, std::chrono::duration_cast<milliseconds>(kStartLimit));
}

StaticFileServer::StaticFileServer(std::string rootDir)
    : server_(std::make_unique<httplib::Server>()), defaultRoot_(std::move(rootDir)) {
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        std::string host = request.get_header_value("Host");
        if (const auto colon = host.rfind(':'); colon != std::string::npos)
            host.erase(colon);
        for (auto& c : host)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string root;
        {
            std::lock_guard lock(mutex_);
            fetched_.push_back(host + " " + request.path);
            const auto it = hostRoots_.find(host);
            root = it != hostRoots_.end() ? it->second : defaultRoot_;
        }
        if (request.path.empty() || request.path[0] != '/' ||
            request.path.find("/../") != std::string::npos || request.path.ends_with("/..")) {
            response.status = 400;
            return;
        }
        std::ifstream in(root + request.path, std::ios::binary);
        if (!in) {
            response.status = 404;
            return;
        }
        std::ostringstream body;
        body << in.rdbuf();
        response.set_content(body.str(), "text/plain");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("the static file server cannot bind a loopback port");
    thread_ = std::make_unique<std::thread>([this] { server_->listen_after_bind(); });
    // stop() only works on a running server, so do not hand out one that is not yet.
    const auto end = steady_clock::now() + kStartLimit;
    while (!server_->is_running() && steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(1));
}

StaticFileServer::~StaticFileServer() {
    server_->stop();
    thread_->join();
}

void StaticFileServer::ServeHost(const std::string& host, std::string rootDir) {
    std::string key = host;
    for (auto& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard lock(mutex_);
    hostRoots_[key] = std::move(rootDir);
}

std::string StaticFileServer::UrlFor(const std::string& host, const std::string& path) const {
    return "http://" + host + ":" + std::to_string(port_) + path;
}

std::vector<std::string> StaticFileServer::Fetched() const {
    std::lock_guard lock(mutex_);
    return fetched_;
}

}  // namespace qm::e2e
