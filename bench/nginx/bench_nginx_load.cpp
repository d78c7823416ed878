// The load part of bench_nginx: a portable nginx in a temporary folder with
// an HTTP block and an HTTPS block that serves an old self-signed
// certificate, the real certificate center, and a steady stream of requests
// (HTTP and HTTPS, each on a new connection) from before the deployment
// starts until after its undo has returned: HTTP to the HTTP block, HTTPS
// to the HTTPS block. The HTTPS block is the one deployed to, so both the
// deployment and the undo change what it serves.
// Once with the deployer's reload, once with its stop and start.
#include "bench/nginx/bench_nginx_load.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/temp_dir.h"

namespace qmbench {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ServerBlocks(int http, int https) {
    return "    server {\n"
           "        listen 127.0.0.1:" +
           std::to_string(http) +
           ";\n"
           "        server_name shop.example.test;\n"
           "        root html;\n"
           "        index index.html;\n"
           "        location / {\n"
           "        }\n"
           "    }\n"
           "    server {\n"
           "        listen 127.0.0.1:" +
           std::to_string(https) +
           " ssl;\n"
           "        server_name old.example.test;\n"
           "        root html;\n"
           "        ssl_certificate old.crt;\n"
           "        ssl_certificate_key old.key;\n"
           "    }\n";
}

// The certificate the HTTPS block serves (PEM), empty when none.
std::string ServedCertificate(int https) {
    const qm::e2e::HttpResult seen =
        qm::e2e::HttpGet(qm::e2e::NginxSandbox::UrlFor("https", "old.example.test", https, "/"),
                         qm::e2e::HttpOptions().ConnectTo("127.0.0.1").Insecure());
    return seen.peerCertPem;
}

std::unique_ptr<qm::SslCertSrvNginx> Deployer(const qm::e2e::CertCenterProcess& center, int http,
                                              int https, bool restart) {
    auto d = std::make_unique<qm::SslCertSrvNginx>();
    d->SetRestartInsteadOfReload(restart);
    d->SetCertCenterCaFile(qm::WideFromUtf8(center.caFile()));
    d->Initialize(qm::WideFromUtf8(center.url()), http, https);
    return d;
}

// One deployment and its undo under load.
void RunOnce(const qm::e2e::CertCenterProcess& center, double rate, bool restart,
             LoadResult& result) {
    result.mode = restart ? "stop-and-start" : "reload";
    qm::e2e::NginxSandbox nginx;
    const int http = nginx.httpPort();
    const int https = nginx.httpsPort();
    qm::e2e::MakeSelfSignedCertificate(nginx.root() + "conf/old.crt", nginx.root() + "conf/old.key",
                                       {"old.example.test"});
    nginx.WriteConfig(ServerBlocks(http, https));
    nginx.Start({http, https});
    std::set<int> masters = {nginx.MasterPid()};
    const std::string oldPem = ServedCertificate(https);

    qm::e2e::LoadGenerator::Options options;
    options.targets = {
        {qm::e2e::NginxSandbox::UrlFor("http", "shop.example.test", http, "/"), "127.0.0.1"},
        {qm::e2e::NginxSandbox::UrlFor("https", "old.example.test", https, "/"), "127.0.0.1"}};
    options.requestsPerSecond = rate;
    options.maxDuration = milliseconds(90000);
    qm::e2e::LoadGenerator load(options);
    const auto loadStart = Clock::now();
    load.Start();
    // The load is steady before anything changes.
    std::this_thread::sleep_for(milliseconds(300));

    std::string failure;
    std::unique_ptr<qm::SslCertSrvNginx> d;
    try {
        auto start = Clock::now();
        d = Deployer(center, http, https, restart);
        std::vector<std::u16string> names;
        d->GetSitesInfo(names);
        d->BindCertToSite({u"old.example.test"}, 1);
        d.reset();
        result.deployMs = MsSince(start);
        masters.insert(nginx.MasterPid());
        result.servedNew = ServedCertificate(https) != oldPem;
        // Requests cut off by the deployment have ended by then.
        std::this_thread::sleep_for(milliseconds(300));
        result.failedInDeploy = load.Counts().failed;
        start = Clock::now();
        d = Deployer(center, http, https, restart);
        d->RestoreWeb();
        d.reset();
        result.undoMs = MsSince(start);
        result.servedOldAgain = ServedCertificate(https) == oldPem;
    } catch (const std::exception& e) {
        failure = e.what();
        if (d) {
            for (const std::u16string& note : d->TakeUserNotes())
                failure += "; " + qm::Utf8FromWide(note);
        }
        failure += " (run log: " + qm::Utf8FromWide(qm::CurrentLogFilePath()) + ")";
    }
    // Requests refused just before the server came back have ended by then.
    std::this_thread::sleep_for(milliseconds(300));
    const qm::e2e::LoadCounts counts = load.Stop();
    masters.insert(nginx.MasterPid());
    masters.erase(0);
    result.loadMs = static_cast<long>(MsSince(loadStart));
    result.sent = counts.sent;
    result.failedInUndo = counts.failed - result.failedInDeploy;
    result.ok = counts.ok;
    result.failed = counts.failed;
    result.interrupted = counts.interrupted;
    result.firstFailureMs = static_cast<long>(counts.firstFailure.count());
    result.lastFailureMs = static_cast<long>(counts.lastFailure.count());
    result.mastersSeen = static_cast<int>(masters.size());
    if (!failure.empty()) {
        result.error = "the deployment or its undo failed: " + failure;
        std::printf("  %-15s %s\n%s\n", result.mode.c_str(), result.error.c_str(),
                    nginx.ErrorLog().c_str());
        return;
    }
    result.ran = true;
    // The counts and the first two failures.
    std::string described = counts.Describe();
    size_t cut = 0;
    for (int line = 0; line < 3 && cut != std::string::npos; ++line)
        cut = described.find('\n', cut == 0 ? 0 : cut + 1);
    if (cut != std::string::npos)
        described.resize(cut);
    std::printf("  %-15s deploy %.0f ms, undo %.0f ms, load %ld ms: %s\n", result.mode.c_str(),
                result.deployMs, result.undoMs, result.loadMs, described.c_str());
    std::fflush(stdout);
}

}  // namespace

bool LoadPartPossibleHere(std::string& why) {
    if (!qm::e2e::HasPrivateHosts()) {
        why = "not under the private /etc/hosts of tests/support/e2e/run-with-hosts";
        return false;
    }
    const std::string names = std::string(" ") + std::getenv("QUILLMATE_E2E_HOSTS") + " ";
    for (const char* name : kLoadHosts) {
        if (names.find(std::string(" ") + name + " ") == std::string::npos) {
            why = std::string("the private hosts file does not name ") + name;
            return false;
        }
    }
    if (qm::e2e::InstalledNginx().empty()) {
        why = "nginx is not installed (Debian package nginx-light)";
        return false;
    }
    if (access(qm::e2e::CertCenterProgram().c_str(), X_OK) != 0) {
        why = "the certificate center " + qm::e2e::CertCenterProgram() + " is not built";
        return false;
    }
    return true;
}

void RunLoadPart(double rate, LoadResult& reload, LoadResult& restart) {
    reload.mode = "reload";
    restart.mode = "stop-and-start";
    std::unique_ptr<qm::e2e::CertCenterProcess> center;
    try {
        center = std::make_unique<qm::e2e::CertCenterProcess>();
    } catch (const std::exception& e) {
        reload.error = restart.error =
            std::string("the certificate center did not start: ") + e.what();
        std::printf("  %s\n", reload.error.c_str());
        return;
    }
    // The deployer's templates (progress record, settings) in its program folder.
    if (const char* home = std::getenv("QUILLMATE_HOME"))
        qm::test::InstallConfigTemplates(qm::WideFromUtf8(std::string(home) + "/"));
    for (LoadResult* result : {&reload, &restart}) {
        // Each run keeps its deployment records apart.
        qm::test::TempDir service;
        setenv("VANTREL_HOME", service.narrow().c_str(), 1);
        try {
            RunOnce(*center, rate, result == &restart, *result);
        } catch (const std::exception& e) {
            result->error = e.what();
            std::printf("  %-15s could not run: %s\n", result->mode.c_str(), e.what());
        }
    }
}

std::string EncodeLoadResult(const LoadResult& r) {
    std::ostringstream out;
    out << r.mode << ' ' << r.ran << ' ' << r.sent << ' ' << r.ok << ' ' << r.failed << ' '
        << r.failedInDeploy << ' ' << r.failedInUndo << ' ' << r.interrupted << ' '
        << r.firstFailureMs << ' ' << r.lastFailureMs << ' ' << r.deployMs << ' ' << r.undoMs << ' '
        << r.loadMs << ' ' << r.mastersSeen << ' ' << r.servedNew << ' ' << r.servedOldAgain << ' '
        << r.error;
    std::string line = out.str();
    for (char& c : line) {
        if (c == '\n')
            c = ' ';
    }
    return line;
}

bool DecodeLoadResult(const std::string& line, LoadResult& r) {
    std::istringstream in(line);
    if (!(in >> r.mode >> r.ran >> r.sent >> r.ok >> r.failed >> r.failedInDeploy >>
          r.failedInUndo >> r.interrupted >> r.firstFailureMs >> r.lastFailureMs >> r.deployMs >>
          r.undoMs >> r.loadMs >> r.mastersSeen >> r.servedNew >> r.servedOldAgain))
        return false;
    std::getline(in, r.error);
    if (!r.error.empty() && r.error.front() == ' ')
        r.error.erase(0, 1);
    return true;
}

}  // namespace qmbench
