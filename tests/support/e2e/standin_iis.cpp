#include "tests/support/e2e/standin_iis.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"

extern char** environ;

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kIisAppId = "{4dc3e181-e14b-4a21-b022-59fc669b0914}";

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void MakeFolders(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("cannot create " + path + ": " + ec.message());
}

int CountLines(const std::string& text, const std::string& marker) {
    int count = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1))
        ++count;
    return count;
}

}  // namespace

std::string StandinIisProgram() {
    return QUILLMATE_STANDIN_IIS_PROGRAM;
}

std::string CertificateThumbprint(const std::string& certPem) {
    return ::qm::CertificateThumbprint(certPem);
}

StandinIis::StandinIis() {
    folder_.Create("standin-iis");
    // Should the test die, the guard ends the server and removes the folder.
    folder_.Guard(StandinIisProgram(), true);
    home_ = folder_.path() + "home/";
    MakeFolders(StoreFolder("MY"));
}

StandinIis::~StandinIis() {
    if (const int exit = Stop(); exit != 0)
        ADD_FAILURE() << "the stand-in IIS ended with " << exit << ":\n" << Output();
}

std::string StandinIis::ApplicationHostConfig() const {
    return home_ + "applicationHost.config";
}

std::string StandinIis::SslBindingsFile() const {
    return home_ + "sslbindings.xml";
}

std::string StandinIis::StoreFolder(const std::string& store) const {
    return home_ + "Certificates/" + store + "/";
}

std::string StandinIis::PidFile() const {
    return home_ + "w3svc.pid";
}

std::string StandinIis::MakeFolder(const std::string& name) const {
    const std::string path = folder_.path() + name + "/";
    MakeFolders(path);
    return path;
}

std::string StandinIis::ApplicationHostXml(const std::vector<Site>& sites) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<configuration>\n"
        "    <configSections>\n"
        "        <sectionGroup name=\"system.applicationHost\">\n"
        "            <section name=\"sites\" allowDefinition=\"AppHostOnly\" "
        "overrideModeDefault=\"Deny\" />\n"
        "        </sectionGroup>\n"
        "    </configSections>\n"
        "    <system.applicationHost>\n"
        "        <applicationPools>\n"
        "            <add name=\"DefaultAppPool\" />\n"
        "        </applicationPools>\n"
        "        <sites>\n";
    for (const Site& site : sites) {
        xml += "            <site name=\"" + Escaped(site.name) + "\" id=\"" +
               std::to_string(site.id) + "\"";
        if (!site.state.empty())
            xml += " state=\"" + Escaped(site.state) + "\"";
        xml +=
            ">\n"
            "                <application path=\"/\">\n"
            "                    <virtualDirectory path=\"/\" physicalPath=\"" +
            Escaped(site.physicalPath) +
            "\" />\n"
            "                </application>\n"
            "                <bindings>\n";
        for (const SiteBinding& binding : site.bindings) {
            xml += "                    <binding protocol=\"" + Escaped(binding.protocol) +
                   "\" bindingInformation=\"" + Escaped(binding.bindingInformation) + "\"";
            if (binding.sslFlags >= 0)
                xml += " sslFlags=\"" + std::to_string(binding.sslFlags) + "\"";
            xml += " />\n";
        }
        xml +=
            "                </bindings>\n"
            "            </site>\n";
    }
    xml +=
        "            <siteDefaults>\n"
        "                <logFile logFormat=\"W3C\" "
        "directory=\"%SystemDrive%\\inetpub\\logs\\LogFiles\" />\n"
        "            </siteDefaults>\n"
        "            <applicationDefaults applicationPool=\"DefaultAppPool\" />\n"
        "        </sites>\n"
        "    </system.applicationHost>\n"
        "</configuration>\n";
    return xml;
}

void StandinIis::WriteSites(const std::vector<Site>& sites) const {
    WriteApplicationHostConfig(ApplicationHostXml(sites));
}

void StandinIis::WriteApplicationHostConfig(const std::string& text) const {
    WriteTextFile(ApplicationHostConfig(), text);
}

void StandinIis::WriteSslBindings(const std::vector<TlsBinding>& bindings) const {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<sslBindings>\n";
    for (const TlsBinding& binding : bindings) {
        xml += "    <binding " + std::string(binding.hostName ? "hostnameport" : "ipport") + "=\"" +
               Escaped(binding.endpoint) + "\" certHash=\"" + Escaped(binding.certHash) +
               "\" certStoreName=\"" + Escaped(binding.store) + "\" appId=\"" +
               Escaped(binding.appId.empty() ? kIisAppId : binding.appId) + "\" />\n";
    }
    xml += "</sslBindings>\n";
    WriteTextFile(SslBindingsFile(), xml);
}

std::string StandinIis::AddToStore(const std::string& certPem, const std::string& keyPem,
                                   const std::string& chainPem, const std::string& store) const {
    const std::string thumbprint = CertificateThumbprint(certPem);
    if (thumbprint.empty())
        throw std::invalid_argument("AddToStore: the text holds no certificate");
    const auto withEnd = [](const std::string& pem) {
        return pem.empty() || pem.back() == '\n' ? pem : pem + "\n";
    };
    MakeFolders(StoreFolder(store));
    WriteTextFile(StoreFolder(store) + thumbprint + ".pem",
                  withEnd(certPem) + withEnd(chainPem) + withEnd(keyPem));
    return thumbprint;
}

std::string StandinIis::AddSelfSigned(const std::vector<std::string>& names,
                                      std::string* certPem) const {
    const std::string scratch = MakeFolder("scratch");
    MakeSelfSignedCertificate(scratch + "new.crt", scratch + "new.key", names);
    const std::string cert = ReadTextFile(scratch + "new.crt");
    const std::string thumbprint = AddToStore(cert, ReadTextFile(scratch + "new.key"));
    if (certPem)
        *certPem = cert;
    return thumbprint;
}

std::string StandinIis::Output() const {
    return ReadTextFile(folder_.path() + "standin-iis.log");
}

int StandinIis::Loads() const {
    const std::string output = Output();
    return CountLines(output, "standin-iis: loaded ") +
           CountLines(output, "; keeping the previous state");
}

bool StandinIis::WaitForLoad(int after, int timeoutMs) const {
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (Loads() <= after) {
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

bool StandinIis::Running() const {
    // Not waitpid: the exit code stays for Stop().
    return pid_ > 0 && ProcessAlive(pid_);
}

void StandinIis::Start(const std::vector<int>& ports, int timeoutMs) {
    if (pid_ > 0)
        throw std::logic_error("the stand-in IIS is already running");
    std::error_code ec;
    fs::remove(PidFile(), ec);
    const std::string log = folder_.path() + "standin-iis.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The test's own sockets must not stay open in the server.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> argv{StandinIisProgram(), home_};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    pid_ = pid;

    // The pid file comes once every listener is bound.
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (std::atoi(ReadTextFile(PidFile()).c_str()) != pid_) {
        if (const int exit = ChildExitWithin(pid_, milliseconds(0)); exit != -1) {
            pid_ = -1;
            throw std::runtime_error("the stand-in IIS exited with " + std::to_string(exit) +
                                     ":\n" + Output());
        }
        if (steady_clock::now() >= end) {
            Stop();
            throw std::runtime_error("the stand-in IIS did not become ready:\n" + Output());
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (Output().find("cannot listen") != std::string::npos) {
        Stop();
        throw std::runtime_error("the stand-in IIS cannot listen everywhere:\n" + Output());
    }
    for (int port : ports) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
        if (!WaitForPort(port, std::max<int>(static_cast<int>(left.count()), 0)))
            throw std::runtime_error("the stand-in IIS does not listen on port " +
                                     std::to_string(port) + ":\n" + Output());
    }
}

void StandinIis::Restart(int timeoutMs) {
    const int before = CountLines(Output(), "standin-iis: restarted");
    Signal(SIGHUP);
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (CountLines(Output(), "standin-iis: restarted") <= before) {
        if (!Running() || steady_clock::now() >= end)
            throw std::runtime_error("the stand-in IIS did not restart:\n" + Output());
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void StandinIis::Signal(int signal) const {
    if (pid_ <= 0 || kill(pid_, signal) != 0)
        throw std::runtime_error("the stand-in IIS does not run");
}

int StandinIis::Stop() {
    if (pid_ <= 0)
        return 0;
    kill(pid_, SIGTERM);
    int exit = ChildExitWithin(pid_, milliseconds(10000));
    if (exit == -1) {
        kill(pid_, SIGKILL);
        ChildExitWithin(pid_, milliseconds(10000));
        exit = 128 + SIGKILL;
    }
    pid_ = -1;
    return exit;
}

}  // namespace qm::e2e
