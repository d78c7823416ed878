#include "tests/support/e2e/pebble_process.h"

#include <json/value.h>
#include <json/writer.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/temp_dir.h"

namespace qm::e2e {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Pebble makes an RSA CA at start; sanitizer and loaded machines are slow.
constexpr auto kStartLimit = std::chrono::seconds(60);
constexpr auto kStopLimit = std::chrono::seconds(10);

bool IsExecutable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string PebbleProgram() {
    if (IsExecutable("/usr/bin/pebble"))
        return "/usr/bin/pebble";
    if (const char* path = std::getenv("PATH")) {
        std::istringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (!dir.empty() && IsExecutable(dir + "/pebble"))
                return dir + "/pebble";
        }
    }
    return {};
}

PebbleProcess::PebbleProcess(PebbleOptions options) : dir_(std::make_unique<test::TempDir>()) {
    const std::string program = PebbleProgram();
    if (program.empty())
        throw std::runtime_error("pebble is not installed");
    const std::string dir = dir_->narrow();
    MakeSelfSignedCertificate(dir + "api.pem", dir + "api.key", {"localhost"});
    port_ = FreeLoopbackPort();
    managementPort_ = FreeLoopbackPort();
    while (managementPort_ == port_)
        managementPort_ = FreeLoopbackPort();

    Json::Value config;
    Json::Value& pebble = config["pebble"];
    pebble["listenAddress"] = "127.0.0.1:" + std::to_string(port_);
    pebble["managementListenAddress"] = "127.0.0.1:" + std::to_string(managementPort_);
    pebble["certificate"] = dir + "api.pem";
    pebble["privateKey"] = dir + "api.key";
    pebble["httpPort"] = options.httpPort;
    // tls-alpn-01 is not used; its port only has to be one nobody else has.
    pebble["tlsPort"] = FreeLoopbackPort();
    pebble["ocspResponderURL"] = "";
    pebble["externalAccountBindingRequired"] = !options.eabKeys.empty();
    if (!options.eabKeys.empty()) {
        for (const auto& [kid, key] : options.eabKeys)
            pebble["externalAccountMACKeys"][kid] = key;
    }
    WriteTextFile(dir + "pebble-config.json",
                  Json::writeString(Json::StreamWriterBuilder(), config));

    // The variables go to pebble alone, through env, not into this process.
    const std::vector<std::string> argv = {
        "/usr/bin/env",
        "PEBBLE_VA_NOSLEEP=1",
        "PEBBLE_VA_ALWAYS_VALID=0",
        "PEBBLE_WFE_NONCEREJECT=" + std::to_string(options.nonceRejectPercent),
        "PEBBLE_AUTHZREUSE=" + std::to_string(options.authzReusePercent),
        "PEBBLE_ALTERNATE_ROOTS=" + std::to_string(options.alternateRoots),
        "PEBBLE_CHAIN_LENGTH=" + std::to_string(options.chainLength),
        program,
        "-config",
        dir + "pebble-config.json"};
    pid_ = SpawnServer(argv, dir + "pebble.log");

    const auto end = steady_clock::now() + kStartLimit;
    while (!(PortAcceptsConnections(port_) && PortAcceptsConnections(managementPort_))) {
        if (const int exit = ChildExitWithin(pid_, milliseconds(0)); exit != -1) {
            pid_ = -1;
            throw std::runtime_error("pebble exited with " + std::to_string(exit) + ":\n" +
                                     Output());
        }
        if (steady_clock::now() >= end) {
            StopServer(pid_, kStopLimit);
            throw std::runtime_error("pebble did not start listening:\n" + Output());
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

PebbleProcess::~PebbleProcess() {
    Stop();
}

int PebbleProcess::Stop() {
    return StopServer(pid_, kStopLimit);
}

std::string PebbleProcess::directoryUrl() const {
    return "https://localhost:" + std::to_string(port_) + "/dir";
}

std::string PebbleProcess::caFile() const {
    return dir_->narrow() + "api.pem";
}

std::string PebbleProcess::Output() const {
    return ReadTextFile(dir_->narrow() + "pebble.log");
}

std::string PebbleProcess::Management(const std::string& path) const {
    const HttpResult result =
        HttpGet("https://localhost:" + std::to_string(managementPort_) + path, caFile(), 10000);
    if (!result.ok || result.status != 200)
        throw std::runtime_error(
            "pebble's management interface, " + path + ": " +
            (result.ok ? "HTTP " + std::to_string(result.status) : result.error));
    return result.body;
}

std::string PebbleProcess::RootPem(int index) const {
    return Management("/roots/" + std::to_string(index));
}

std::string PebbleProcess::IntermediatePem(int index) const {
    return Management("/intermediates/" + std::to_string(index));
}

}  // namespace qm::e2e
