// Reading and editing a large nginx.conf: a generated configuration with
// 10,000 server blocks (HTTP and HTTPS, aliases, comments, locations) is
// read by GetSitesInfo and edited by ConfigCert for one domain (the file is
// written, nothing is restarted). In the same run a widely used Python
// parser of nginx configurations (Debian package python3-certbot-nginx)
// parses the same file once, for comparison; its time is one full parse.
//
//   bench_nginx [--blocks N] [--runs N] [--no-reference]
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "deploy/netmanager.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/textconv.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A deployer pointed at a folder, as discovery would leave it.
class BenchDeployer : public qm::SslCertSrvNginx {
public:
    explicit BenchDeployer(const std::u16string& root) {
        webServiceRoot_ = root;
        httpPort_ = 80;
        httpsPort_ = 443;
        certFilePath_ = root + u"conf/sslcert/bench.crt";
        keyFilePath_ = root + u"conf/sslcert/bench.key";
    }
    void SetDomains(std::vector<std::u16string> domains) { inputDomains_ = std::move(domains); }
};

std::string Generate(int blocks) {
    std::string text =
        "worker_processes 1;\n"
        "events {\n"
        "    worker_connections 1024;\n"
        "}\n"
        "http {\n"
        "    server_names_hash_bucket_size 64;\n";
    for (int i = 0; i < blocks; ++i) {
        const std::string n = std::to_string(i);
        const bool https = i % 3 == 2;
        if (i % 10 == 0)
            text += "    # block " + n + ": legacy rules { kept for reference }\n";
        text += "    server {\n";
        text += https ? "        listen 443 ssl;\n" : "        listen 80;\n";
        text += "        server_name site" + n + ".bench.test www.site" + n + ".bench.test";
        if (i % 4 == 0)
            text += " alias" + n + ".bench.test";
        text += ";\n";
        text += "        root /srv/www/site" + n + ";\n";
        text += "        index index.html index.htm;\n";
        if (https) {
            text += "        ssl_certificate /etc/ssl/site" + n + ".crt;\n";
            text += "        ssl_certificate_key /etc/ssl/site" + n + ".key;\n";
            text += "        ssl_protocols TLSv1.2;\n";
        }
        text += "        location / {\n";
        text += "            try_files $uri $uri/ =404;\n";
        text += "        }\n";
        if (i % 5 == 0) {
            text += "        # location /old { return 301 /; }\n";
            text += "        location /api/ {\n            proxy_pass http://127.0.0.1:9000;\n";
            text += "        }\n";
        }
        text += "    }\n";
    }
    text += "}\n";
    return text;
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

long PeakKiB(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

// Runs the reference parser on the folder; its time in seconds, or a
// negative value when it is not installed or failed.
double ReferenceParseSeconds(const fs::path& root) {
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string script =
        "import sys, time\n"
        "from certbot_nginx._internal.parser import NginxParser\n"
        "start = time.perf_counter()\n"
        "NginxParser(sys.argv[1])\n"
        "print(time.perf_counter() - start)\n";
    const std::string command =
        std::string(python) + " -c '" + script + "' '" + root.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0) {
        std::printf("  reference parser failed:\n%s\n", output.c_str());
        return -1;
    }
    return std::atof(output.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int blocks = 10000;
    int runs = 5;
    bool reference = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--blocks") && i + 1 < argc)
            blocks = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--no-reference"))
            reference = false;
    }

    char pattern[] = "/tmp/quillmate-bench-nginx-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path base = pattern;
    // Logs and records of the deployer stay in the benchmark's folder.
    setenv("QUILLMATE_HOME", (base / "home").c_str(), 1);
    fs::create_directories(base / "home");
    // Every name resolves, without asking the network.
    qm::CNetManager::SetResolver(
        [](const std::string&) { return std::vector<std::string>{"10.0.0.1"}; });

    const std::string conf = Generate(blocks);
    const fs::path ours = base / "ours";
    const fs::path theirs = base / "reference";
    WriteFile(theirs / "nginx.conf", conf);
    const std::u16string root = qm::WideFromUtf8((ours / "").string());
    const std::u16string domain =
        u"site" + qm::WideFromUtf8(std::to_string(blocks / 2 + 1)) + u".bench.test";

    std::printf("nginx.conf: %d server blocks, %zu bytes\n", blocks, conf.size());
    std::vector<double> sitesMs, configMs, totalMs;
    size_t names = 0, sites = 0, grew = 0;
    for (int r = 0; r < runs; ++r) {
        WriteFile(ours / "conf/nginx.conf", conf);
        BenchDeployer d(root);
        const auto start = Clock::now();
        std::vector<std::u16string> found;
        d.GetSitesInfo(found);
        const double read = MsSince(start);
        const auto edit = Clock::now();
        d.SetDomains({domain});
        d.ConfigCert();
        configMs.push_back(MsSince(edit));
        sitesMs.push_back(read);
        totalMs.push_back(MsSince(start));
        names = found.size();
        sites = d.sites().size();
        grew = static_cast<size_t>(fs::file_size(ours / "conf/nginx.conf")) - conf.size();
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const long ourPeak = PeakKiB(RUSAGE_SELF);
    std::printf("sites: %zu site addresses, %zu site records; ConfigCert added %zu bytes for %s\n",
                names, sites, grew, qm::Utf8FromWide(domain).c_str());
    std::printf("  GetSitesInfo                 median %9.1f ms (of %d runs)\n", median(sitesMs),
                runs);
    std::printf("  ConfigCert (one domain)      median %9.1f ms\n", median(configMs));
    std::printf("  GetSitesInfo + ConfigCert    median %9.1f ms, min %.1f ms\n", median(totalMs),
                *std::min_element(totalMs.begin(), totalMs.end()));
    std::printf("  peak memory of this process  %ld KiB\n", ourPeak);

    int status = 0;
    if (reference) {
        std::printf("reference parser (one parse of the same file) ...\n");
        std::fflush(stdout);
        const double seconds = ReferenceParseSeconds(theirs);
        if (seconds > 0) {
            const double ratio = seconds * 1000.0 / median(totalMs);
            std::printf("  reference parse              %9.1f ms\n", seconds * 1000.0);
            std::printf("  peak memory of the reference %ld KiB\n", PeakKiB(RUSAGE_CHILDREN));
            std::printf(
                "  ratio (reference parse / GetSitesInfo + ConfigCert): %.0fx (target >= "
                "10x)\n",
                ratio);
            if (ratio < 10)
                status = 1;
        } else {
            std::printf("  reference parser not available (python3-certbot-nginx)\n");
        }
    }
    fs::remove_all(base);
    return status;
}
