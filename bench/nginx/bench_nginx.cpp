// The nginx deployer on a large configuration, and under load.
//
// Reading and editing: a generated configuration of 10,000 server
// blocks (HTTP and HTTPS, aliases, comments, locations) is read by
// GetSitesInfo and edited by ConfigCert for one domain (the files are
// written, nothing is restarted), in two shapes:
//   single file  all blocks in nginx.conf;
//   split tree   nginx.conf with "include sites/*.conf;" in http, and the
//                same blocks in 1,000 included files (10 a file).
// Each shape is timed over several runs in this one process (median, elapsed
// and CPU time), against the targets 100 ms (single file) and 150 ms (split
// tree); the ratio to the target is printed, not asserted. A breakdown then
// times the pieces apart: reading, lexing, include expansion, the site
// nodes, the splices and the writing of the edited files.
//
// Beside it, a widely used Python parser of nginx configurations (Debian
// package python3-certbot-nginx, scripts/packages [bench]) parses the same
// trees once each, in two child processes at the lowest priority that start
// first and run while the rest does (each parse takes a minute or more of
// CPU time). Its elapsed and CPU times are printed; the comparison uses CPU
// time, which a busy machine distorts least. A parse that has not ended
// after --reference-limit seconds is stopped and its CPU time so far is
// reported as a lower bound (">"), which keeps the whole run near 2 minutes
// on a busy machine. The exit status is 1 when the reference needs less than
// 10 times our CPU time for a shape.
//
// The load part, failed requests: a portable nginx (tests/support/e2e) with an
// HTTP block and an HTTPS block serving an old self-signed certificate, the
// real certificate center, and 200 requests a second over HTTP and HTTPS
// (each on a new connection) from before the deployment until after its
// undo: Initialize, GetSitesInfo, BindCertToSite for the HTTPS block's
// domain, then RestoreWeb. Once with the reload (the default), once with
// SetRestartInsteadOfReload(true). The domain must resolve to 127.0.0.1, so
// this part runs under tests/support/e2e/run-with-hosts (a private mount
// namespace with its own /etc/hosts): the benchmark starts itself that way
// for this part, and says so and skips it when the machine does not allow
// the namespace (or nginx, or the certificate center, is missing).
//
// How to run (Release build with the benchmarks; about 2 minutes, most of it
// the reference parser; the load part needs nginx-light and openssl, which
// scripts/install-deps e2e installs):
//   scripts/bench bench_nginx
// or by hand:
//   scripts/install-deps build e2e bench
//   cmake --preset bench && cmake --build --preset bench --target bench_nginx
//   build/bench/bench/nginx/bench_nginx [options]
//
// Profiling one shape, e.g.:
//   perf record --call-graph dwarf,32768 build/bench/bench/nginx/bench_nginx --only split --runs 8
//   valgrind --tool=callgrind build/bench/bench/nginx/bench_nginx --only single --runs 1
//
// Options:
//   --blocks N            server blocks (10000)
//   --files N             included files of the split tree (1000)
//   --runs N              timed runs of each shape (5)
//   --only single|split   reading and editing of one shape only (profiling)
//   --no-breakdown        no breakdown into pieces
//   --no-reference        no reference parser
//   --reference-limit S   seconds a reference parse may take (110; 0: no limit)
//   --no-load             no load part
//   --load-rate R         requests a second in the load part (200)
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/nginx/bench_nginx_load.h"
#include "bench/support/bench_support.h"
#include "deploy/netmanager.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/glob.h"
#include "foundation/textconv.h"

#ifndef QUILLMATE_E2E_WRAPPER
#define QUILLMATE_E2E_WRAPPER ""
#endif

namespace {

namespace fs = std::filesystem;
using qmbench::Median;
using qmbench::Reference;
using qmbench::Stopwatch;
using qmbench::Tree;
using qmbench::TreeBytes;
using qmbench::WriteFile;

constexpr double kSingleTargetMs = 100;
constexpr double kSplitTargetMs = 150;
constexpr double kReferenceRatioTarget = 10;

// A deployer pointed at a folder, as discovery would leave it; the pieces
// of discovery can be called one by one.
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
    void Load() { LoadConfiguration(); }
    void Collect() { CollectServerNodes(); }
    void NodesConfig() { GetSiteNodesConfig(siteNodes_); }
};

// ---- The generated configuration ----

const char* const kMainHead =
    "worker_processes 1;\n"
    "events {\n"
    "    worker_connections 1024;\n"
    "}\n"
    "http {\n"
    "    server_names_hash_bucket_size 64;\n";

std::string ServerBlock(int i) {
    const std::string n = std::to_string(i);
    const bool https = i % 3 == 2;
    std::string text;
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
    return text;
}

Tree SingleFile(int blocks) {
    std::string text = kMainHead;
    for (int i = 0; i < blocks; ++i)
        text += ServerBlock(i);
    text += "}\n";
    return {{"nginx.conf", text}};
}

// The same blocks over `files` included files, in order; names sort as numbers.
Tree SplitTree(int blocks, int files) {
    Tree tree = {{"nginx.conf", std::string(kMainHead) + "    include sites/*.conf;\n}\n"}};
    const int perFile = (blocks + files - 1) / files;
    const int width = static_cast<int>(std::to_string(files - 1).size());
    for (int f = 0; f < files; ++f) {
        std::string name = std::to_string(f);
        name.insert(0, width - name.size(), '0');
        std::string text;
        for (int i = f * perFile; i < std::min(blocks, (f + 1) * perFile); ++i)
            text += ServerBlock(i);
        tree.push_back({"sites/" + name + ".conf", text});
    }
    return tree;
}

void WriteTree(const fs::path& dir, const Tree& tree) {
    for (const auto& [name, text] : tree)
        WriteFile(dir / name, text);
}

size_t BytesOnDisk(const fs::path& dir, const Tree& tree) {
    size_t bytes = 0;
    for (const auto& [name, text] : tree)
        bytes += static_cast<size_t>(fs::file_size(dir / name));
    return bytes;
}

// ---- Reading and editing ----

struct Shape {
    std::string name;
    double targetMs = 0;
    Tree tree;
    fs::path root;  // the installation folder; the files are under conf/
    std::vector<double> wallMs, cpuMs, sitesMs, configMs;
    size_t names = 0, sites = 0, grew = 0;
    // The breakdown: piece, median ms.
    qmbench::Pieces pieces;
};

Shape MakeShape(std::string name, double targetMs, Tree tree, fs::path root) {
    Shape shape;
    shape.name = std::move(name);
    shape.targetMs = targetMs;
    shape.tree = std::move(tree);
    shape.root = std::move(root);
    return shape;
}

void TimeShape(Shape& shape, const std::u16string& domain, int runs) {
    const std::u16string root = qm::WideFromUtf8((shape.root / "").string());
    const size_t before = TreeBytes(shape.tree);
    for (int r = 0; r < runs; ++r) {
        WriteTree(shape.root / "conf", shape.tree);
        BenchDeployer d(root);
        const Stopwatch all;
        std::vector<std::u16string> found;
        d.GetSitesInfo(found);
        const double read = all.WallMs();
        const Stopwatch edit;
        d.SetDomains({domain});
        d.ConfigCert();
        shape.configMs.push_back(edit.WallMs());
        shape.sitesMs.push_back(read);
        shape.wallMs.push_back(all.WallMs());
        shape.cpuMs.push_back(all.CpuMsNow());
        shape.names = found.size();
        shape.sites = d.sites().size();
        shape.grew = BytesOnDisk(shape.root / "conf", shape.tree) - before;
    }
}

// The pieces of GetSitesInfo and ConfigCert, each timed apart (medians of
// this thread's CPU time, which a busy machine distorts least; waiting for
// the disk is not in it).
void BreakDown(Shape& shape, const std::u16string& domain, int runs) {
    const std::u16string root = qm::WideFromUtf8((shape.root / "").string());
    const std::u16string mainFile = root + u"conf/nginx.conf";
    std::vector<std::vector<double>> t(11);
    for (int r = 0; r < runs; ++r) {
        WriteTree(shape.root / "conf", shape.tree);
        // The configuration alone.
        qm::NginxConfig config;
        std::u16string problem;
        Stopwatch s;
        config.Load(mainFile, problem);
        t[0].push_back(s.CpuMsNow());
        s = Stopwatch();
        for (size_t i = 0; i < config.FileCount(); ++i)
            qm::SslCertSrvSubBase::ReadTextFile(config.File(i).path);
        t[1].push_back(s.CpuMsNow());
        std::vector<qm::NginxParse> parses;  // freed after the timing, as Load keeps them
        parses.reserve(config.FileCount());
        s = Stopwatch();
        for (size_t i = 0; i < config.FileCount(); ++i)
            parses.push_back(qm::ParseNginxText(config.File(i).text));
        t[2].push_back(s.CpuMsNow());
        parses.clear();
        s = Stopwatch();
        if (config.FileCount() > 1)
            qm::ExpandGlob(root + u"conf/sites/*.conf");
        t[3].push_back(s.CpuMsNow());

        // Discovery in its steps.
        BenchDeployer d(root);
        s = Stopwatch();
        d.Load();
        t[4].push_back(s.CpuMsNow());
        s = Stopwatch();
        d.Collect();
        d.NodesConfig();
        t[5].push_back(s.CpuMsNow());
        std::vector<std::u16string> found;
        s = Stopwatch();
        d.GetSitesInfo(found);  // the configuration is read already
        t[6].push_back(s.CpuMsNow());

        // The splices ConfigCert makes: the block's file, then the main
        // file's bucket size; each re-lexes that file and expands again.
        const size_t blockFile = [&] {
            for (const qm::SiteNode& node : d.siteNodes()) {
                if (node.site.siteAddr == domain)
                    return node.file;
            }
            return size_t{0};
        }();
        s = Stopwatch();
        config.SetText(blockFile, config.File(blockFile).text);
        t[7].push_back(s.CpuMsNow());
        s = Stopwatch();
        config.SetText(0, config.File(0).text);
        t[8].push_back(s.CpuMsNow());
        s = Stopwatch();
        d.SetDomains({domain});
        d.ConfigCert();
        t[9].push_back(s.CpuMsNow());
        // Writing the edited files again, as WriteEditedFiles does.
        s = Stopwatch();
        for (size_t file : {blockFile, size_t{0}}) {
            qm::SslCertSrvSubBase::WriteTextFile(d.configuration().File(file).text,
                                                 d.configuration().File(file).path);
            if (blockFile == 0)
                break;
        }
        t[10].push_back(s.CpuMsNow());
    }
    const double load = Median(t[0]), read = Median(t[1]), lex = Median(t[2]);
    const double discovery = Median(t[6]), nodes = Median(t[5]);
    shape.pieces = {
        {"NginxConfig::Load (read, lex, includes)", load},
        {"  reading every file once (ReadTextFile)", read},
        {"  lexing every file (ParseNginxText)", lex},
        {"  the rest: existence checks, globs, second reads, expansion", load - read - lex},
        {"  of it ExpandGlob of sites/*.conf", Median(t[3])},
        {"LoadConfiguration (Load + its log lines)", Median(t[4])},
        {"CollectServerNodes + GetSiteNodesConfig", nodes},
        {"GetSitesInfo without loading", discovery},
        {"  the rest: FactsOf again, main site, site list, sorting", discovery - nodes},
        {"ConfigCert (one domain)", Median(t[9])},
        {"  CollectServerNodes + GetSiteNodesConfig again", nodes},
        {"  splice of the block's file (SetText: re-lex, re-expand)", Median(t[7])},
        {"  splice of nginx.conf (bucket size)", Median(t[8])},
        {"  writing the edited files (WriteTextFile)", Median(t[10])},
    };
}

void PrintShape(const Shape& shape, int runs) {
    std::printf("%s: %zu files, %zu bytes\n", shape.name.c_str(), shape.tree.size(),
                TreeBytes(shape.tree));
    std::printf("  %zu site addresses, %zu site records; ConfigCert added %zu bytes\n", shape.names,
                shape.sites, shape.grew);
    std::printf("  GetSitesInfo                 median %9.1f ms (of %d runs)\n",
                Median(shape.sitesMs), runs);
    std::printf("  ConfigCert (one domain)      median %9.1f ms\n", Median(shape.configMs));
    qmbench::PrintRuns(shape.wallMs, shape.cpuMs);
    qmbench::PrintPieces(shape.pieces);
}

// ---- The reference parser ----

// One parse of the tree in `root`.
void StartReference(Reference& ref, const fs::path& root) {
    static const char* script =
        "import sys, time\n"
        "from certbot_nginx._internal.parser import NginxParser\n"
        "start = time.perf_counter()\n"
        "cpu = time.process_time()\n"
        "NginxParser(sys.argv[1])\n"
        "print(time.perf_counter() - start, time.process_time() - cpu)\n";
    qmbench::StartReference(ref, script, {root.string()});
}

// What a parse that ended printed: its elapsed and CPU seconds.
bool ReadTimes(Reference& ref) {
    double wall = 0, cpu = 0;
    if (std::sscanf(ref.output.c_str(), "%lf %lf", &wall, &cpu) != 2)
        return false;
    ref.wallMs = wall * 1000.0;
    ref.cpuMs = cpu * 1000.0;
    return true;
}

// ---- The load part, in a private mount namespace ----

// Runs the load part in a child under run-with-hosts; false (and `why`) when it
// could not run there.
bool RunLoadPartInNamespace(const fs::path& base, double rate, qmbench::LoadResult& reload,
                            qmbench::LoadResult& restart, std::string& why) {
    const std::string wrapper = QUILLMATE_E2E_WRAPPER;
    if (wrapper.empty() || access(wrapper.c_str(), X_OK) != 0) {
        why = "tests/support/e2e/run-with-hosts is not there";
        return false;
    }
    const fs::path resultFile = base / "load-result.txt";
    std::vector<std::string> args = {wrapper};
    for (const char* name : qmbench::kLoadHosts)
        args.push_back(name);
    const std::string self = qmbench::SelfPath();
    const std::string rateText = std::to_string(rate);
    for (const std::string& a : {std::string("--"), self, std::string("--load-only"),
                                 resultFile.string(), std::string("--load-rate"), rateText})
        args.push_back(a);
    const pid_t pid = qmbench::StartChild(args);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        why = "cannot start run-with-hosts";
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        why =
            "run-with-hosts cannot give it a private mount namespace (unshare -m) with "
            "its own /etc/hosts here (its reason is above)";
        return false;
    }
    std::ifstream in(resultFile);
    std::string line;
    if (std::getline(in, line) && qmbench::DecodeLoadResult(line, reload) &&
        std::getline(in, line) && qmbench::DecodeLoadResult(line, restart))
        return true;
    why = "the run under run-with-hosts ended with status " +
          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
          " and no results";
    return false;
}

int LoadOnly(const std::string& resultFile, double rate) {
    std::string why;
    qmbench::LoadResult reload, restart;
    if (!qmbench::LoadPartPossibleHere(why)) {
        std::printf("  load part skipped: %s\n", why.c_str());
        reload.error = restart.error = why;
    } else {
        qmbench::RunLoadPart(rate, reload, restart);
    }
    std::ofstream out(resultFile, std::ios::trunc);
    out << qmbench::EncodeLoadResult(reload) << "\n" << qmbench::EncodeLoadResult(restart) << "\n";
    return 0;
}

void PrintLoadRow(const qmbench::LoadResult& r) {
    if (!r.ran) {
        std::printf("  %-15s not measured: %s\n", r.mode.c_str(), r.error.c_str());
        return;
    }
    char window[64] = "-";
    if (r.failed > 0)
        std::snprintf(window, sizeof window, "%ld..%ld", r.firstFailureMs, r.lastFailureMs);
    std::printf("  %-15s %6llu %6llu %7llu %7llu %6llu %6llu  %-12s %7d %9.0f %7.0f  %s\n",
                r.mode.c_str(), static_cast<unsigned long long>(r.sent),
                static_cast<unsigned long long>(r.ok), static_cast<unsigned long long>(r.failed),
                static_cast<unsigned long long>(r.failedInDeploy),
                static_cast<unsigned long long>(r.failedInUndo),
                static_cast<unsigned long long>(r.interrupted), window, r.mastersSeen, r.deployMs,
                r.undoMs,
                r.servedNew && r.servedOldAgain ? "new, then old"
                : r.servedNew                   ? "new, then NOT the old"
                                                : "NOT the new");
}

}  // namespace

int main(int argc, char** argv) {
    int blocks = 10000;
    int files = 1000;
    int runs = 5;
    bool reference = true, load = true, breakdown = true;
    double referenceLimit = 110;
    double rate = 200;
    std::string only, loadOnly;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--blocks") && more)
            blocks = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--files") && more)
            files = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--runs") && more)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--only") && more)
            only = argv[++i];
        else if (!std::strcmp(argv[i], "--no-breakdown"))
            breakdown = false;
        else if (!std::strcmp(argv[i], "--no-reference"))
            reference = false;
        else if (!std::strcmp(argv[i], "--reference-limit") && more)
            referenceLimit = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-load"))
            load = false;
        else if (!std::strcmp(argv[i], "--load-rate") && more)
            rate = std::max(1.0, std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--load-only") && more)
            loadOnly = argv[++i];  // the load part alone, inside run-with-hosts
        else {
            std::fprintf(stderr, "unknown option %s (see the top of bench_nginx.cpp)\n", argv[i]);
            return 2;
        }
    }
    files = std::min(files, blocks);

    // Logs and records of the deployer stay in the benchmark's folder.
    const fs::path base = qmbench::MakeBenchFolder("nginx");
    if (base.empty())
        return 1;

    if (!loadOnly.empty()) {
        const int status = LoadOnly(loadOnly, rate);
        fs::remove_all(base);
        return status;
    }

    // Every name resolves, without asking the network (for reading and editing).
    qm::CNetManager::SetResolver(
        [](const std::string&) { return std::vector<std::string>{"10.0.0.1"}; });
    const std::u16string domain =
        u"site" + qm::WideFromUtf8(std::to_string(blocks / 2 + 1)) + u".bench.test";

    std::vector<Shape> shapes;
    if (only.empty() || only == "single")
        shapes.push_back(
            MakeShape("single file", kSingleTargetMs, SingleFile(blocks), base / "single"));
    if (only.empty() || only == "split")
        shapes.push_back(
            MakeShape("split tree", kSplitTargetMs, SplitTree(blocks, files), base / "split"));
    if (shapes.empty()) {
        std::fprintf(stderr, "--only takes single or split\n");
        return 2;
    }
    if (!only.empty()) {
        reference = load = false;
        breakdown = false;
    }

    // The reference parses run, at the lowest priority, while the rest runs.
    std::vector<Reference> refs(shapes.size());
    if (reference) {
        for (size_t i = 0; i < shapes.size(); ++i) {
            const fs::path dir = base / ("reference-" + std::to_string(i));
            WriteTree(dir, shapes[i].tree);
            StartReference(refs[i], dir);
        }
        std::printf("reference parser: %zu parses started (lowest priority, limit %.0f s)\n",
                    shapes.size(), referenceLimit);
    }

    std::printf("reading and editing: GetSitesInfo + ConfigCert for %s on %d server blocks\n",
                qm::Utf8FromWide(domain).c_str(), blocks);
    std::fflush(stdout);
    for (Shape& shape : shapes) {
        TimeShape(shape, domain, runs);
        if (breakdown)
            BreakDown(shape, domain, runs);
        PrintShape(shape, runs);
    }
    std::printf("  peak memory of this process  %ld KiB\n", qmbench::PeakKiBOfThisProcess());

    qmbench::LoadResult reloadRun, restartRun;
    reloadRun.mode = "reload";
    restartRun.mode = "stop-and-start";
    if (load) {
        std::printf("under load: one deployment + undo under %.0f requests/s (HTTP and HTTPS)\n",
                    rate);
        std::fflush(stdout);
        std::string why;
        // The test domains resolve through the private hosts file.
        qm::CNetManager::SetResolver({});
        if (qmbench::LoadPartPossibleHere(why)) {
            qmbench::RunLoadPart(rate, reloadRun, restartRun);
        } else if (!RunLoadPartInNamespace(base, rate, reloadRun, restartRun, why)) {
            std::printf("  SKIPPED: the load part cannot run here: %s\n", why.c_str());
            reloadRun.error = restartRun.error = "skipped (see above)";
        }
    }

    if (reference) {
        std::printf("reference parser: waiting for it ...\n");
        std::fflush(stdout);
        qmbench::FinishReferences(refs, referenceLimit, ReadTimes);
        for (size_t i = 0; i < shapes.size(); ++i) {
            const Reference& ref = refs[i];
            if (!ref.ok && !ref.stopped)
                std::printf(
                    "  %s: reference parser failed or not installed "
                    "(python3-certbot-nginx):\n%s\n",
                    shapes[i].name.c_str(), ref.output.c_str());
            else
                std::printf("  %-12s %s%.1f ms elapsed, %s%.1f ms CPU, peak memory %ld KiB%s\n",
                            shapes[i].name.c_str(), ref.stopped ? ">" : "", ref.wallMs,
                            ref.stopped ? ">" : "", ref.cpuMs, ref.peakKiB,
                            ref.stopped ? " (stopped at the limit)" : "");
        }
    }

    // The summary.
    int status = 0;
    std::printf("\nsummary: GetSitesInfo + ConfigCert, median of %d runs; reference: one parse\n",
                runs);
    std::printf("  %-12s %6s %9s %9s %7s %12s %14s %11s\n", "shape", "files", "ms", "CPU ms",
                "target", "ms/target", "reference CPU", "ref/ours");
    for (size_t i = 0; i < shapes.size(); ++i) {
        const Shape& s = shapes[i];
        const double wall = Median(s.wallMs), cpu = Median(s.cpuMs);
        const qmbench::Comparison ref =
            reference ? qmbench::Compare(refs[i], cpu) : qmbench::Comparison{};
        if (ref.made && refs[i].ok && ref.ratio < kReferenceRatioTarget)
            status = 1;
        std::printf("  %-12s %6zu %9.1f %9.1f %7.0f %11.2fx %14s %11s\n", s.name.c_str(),
                    s.tree.size(), wall, cpu, s.targetMs, wall / s.targetMs, ref.cpu.c_str(),
                    ref.times.c_str());
    }
    std::printf("  (ms/target above 1.00x misses the target; ref/ours target >= %.0fx)\n",
                kReferenceRatioTarget);
    if (load) {
        std::printf("failed requests during one deployment + undo at %.0f requests/s\n", rate);
        std::printf("  %-15s %6s %6s %7s %7s %6s %6s  %-12s %7s %9s %7s  %s\n", "mode", "sent",
                    "ok", "failed", "deploy", "undo", "cut", "failing ms", "masters", "deploy ms",
                    "undo ms", "served");
        PrintLoadRow(reloadRun);
        PrintLoadRow(restartRun);
        if (reloadRun.ran || restartRun.ran)
            std::printf(
                "  (failed: no complete answer or a status of 500 and above, split into\n"
                "  during the deployment and during the undo; cut: in flight at the end;\n"
                "  failing ms: first..last failure after the load began; masters: nginx\n"
                "  master processes seen from start to end; served: the certificate of\n"
                "  the HTTPS block after the deployment and after the undo)\n");
    }
    fs::remove_all(base);
    return status;
}
