#include "tests/support/e2e/services_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Sanitizer builds start slowly; a healthy service is ready in well under a second.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);

// Spawns `program args...` with stdout and stderr appended to `outputFile`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The test's own sockets must not stay open in the service.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

// The JSON objects of a JSON-lines file; throws for a line that is not one.
std::vector<Json::Value> JsonLines(const std::string& path) {
    std::vector<Json::Value> values;
    std::istringstream lines(ReadTextFile(path));
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (std::string line; std::getline(lines, line);) {
        Json::Value value;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors) ||
            !value.isObject())
            throw std::runtime_error("unreadable line in " + path + ": " + line);
        values.push_back(std::move(value));
    }
    return values;
}

}  // namespace

std::string ServicesProgram() {
    return QUILLMATE_SERVICES_PROGRAM;
}

int PublishRelease(const std::string& from, const std::string& to, const std::string& version,
                   const std::string& despEn, const std::string& despCn, std::string* output) {
    std::string text;
    const int exit = RunProgram({ServicesProgram(), "publish", "--from", from, "--to", to,
                                 "--version", version, "--desp-en", despEn, "--desp-cn", despCn},
                                text);
    if (output)
        *output = text;
    return exit;
}

ServicesProcess::ServicesProcess(std::string releaseDir, std::vector<std::string> options)
    : dir_(std::make_unique<test::TempDir>()),
      releaseDir_(std::move(releaseDir)),
      options_(std::move(options)) {
    Start(0);
}

ServicesProcess::~ServicesProcess() {
    // A clean stop also lets sanitizer builds check the service for leaks.
    if (const int exit = Stop(); exit != 0)
        ADD_FAILURE() << "the maker's service ended with " << exit << ":\n" << StderrText();
}

std::string ServicesProcess::url() const {
    return "https://localhost:" + std::to_string(port_);
}

std::string ServicesProcess::stateDir() const {
    return dir_->narrow() + "state";
}

std::string ServicesProcess::caFile() const {
    return stateDir() + "/ca.pem";
}

std::string ServicesProcess::StderrText() const {
    return ReadTextFile(dir_->narrow() + "services.stderr");
}

void ServicesProcess::Start(int port) {
    const std::string readyFile = dir_->narrow() + "ready";
    std::remove(readyFile.c_str());
    std::vector<std::string> argv = {ServicesProgram(), "serve",    "--port",  std::to_string(port),
                                     "--ready-file",    readyFile,  "--state", stateDir(),
                                     "--release",       releaseDir_};
    argv.insert(argv.end(), options_.begin(), options_.end());
    pid_ = Spawn(argv, dir_->narrow() + "services.stderr");

    const auto end = steady_clock::now() + kStartLimit;
    for (;;) {
        const std::string ready = ReadTextFile(readyFile);
        if (!ready.empty()) {
            port_ = std::atoi(ready.c_str());
            return;
        }
        const int exit = ChildExitWithin(pid_, milliseconds(0));
        if (exit != -1) {
            pid_ = -1;
            throw std::runtime_error("the maker's service exited with " + std::to_string(exit) +
                                     ":\n" + StderrText());
        }
        if (steady_clock::now() >= end) {
            Stop();
            throw std::runtime_error("the maker's service did not become ready:\n" + StderrText());
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

int ServicesProcess::Stop() {
    if (pid_ <= 0)
        return 0;
    kill(pid_, SIGTERM);
    int exit = ChildExitWithin(pid_, kStopLimit);
    if (exit == -1) {
        kill(pid_, SIGKILL);
        ChildExitWithin(pid_, kStopLimit);
        exit = 128 + SIGKILL;
    }
    pid_ = -1;
    return exit;
}

void ServicesProcess::Restart() {
    if (const int exit = Stop(); exit != 0)
        throw std::runtime_error("the maker's service ended with " + std::to_string(exit) + ":\n" +
                                 StderrText());
    Start(port_);
}

void ServicesProcess::Restart(std::vector<std::string> options) {
    options_ = std::move(options);
    Restart();
}

std::vector<Json::Value> ServicesProcess::Received() const {
    std::vector<Json::Value> messages;
    for (auto& line : JsonLines(stateDir() + "/received.jsonl"))
        messages.push_back(line["message"]);
    return messages;
}

std::vector<Json::Value> ServicesProcess::RequestLog() const {
    return JsonLines(stateDir() + "/requests.log");
}

}  // namespace qm::e2e
