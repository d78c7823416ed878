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
    pid_ = SpawnServer(argv, dir_->narrow() + "services.stderr");

    port_ = WaitForReadyPort(pid_, readyFile, kStartLimit, "the maker's service",
                             [this] { return StderrText(); });
}

int ServicesProcess::Stop() {
    return StopServer(pid_, kStopLimit);
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
