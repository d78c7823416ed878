// The Apache httpd deployer on a large configuration.
//
// Reading and editing: a generated installation in the upstream layout
// (conf/httpd.conf with ServerRoot, Listen 80, Listen 443 in an
// <IfModule ssl_module>, LoadModule lines with mod_ssl, the main server's
// name and root) and 10,000 virtual hosts (HTTP on *:80, HTTPS on *:443
// with SSLEngine and certificate lines, aliases, comments, continued lines,
// quoted arguments, <Directory> and <Location> sections) is read by
// GetSitesInfo and edited by ConfigCert for one HTTP host's domain (the
// files are written, nothing is started or restarted), in two shapes:
//   single file  every host in conf/extra/httpd-vhosts.conf, brought in by
//                "Include conf/extra/httpd-vhosts.conf";
//   split tree   the same hosts in 1,000 files conf/sites/site-NNNN.conf
//                (10 a file), brought in by "IncludeOptional conf/sites/*.conf".
// There is no running server: the deployer reads the tree as an installation
// (UseInstallation), which expands the includes by Apache's own rules. Each
// shape is timed over several runs in this one process (median, elapsed and
// CPU time) on a fresh copy of the tree each (the copying is not timed),
// against the targets 100 ms (single file) and 150 ms (split tree); the ratio
// to the target is printed, not asserted. A breakdown then times the pieces
// apart: reading, the line rules, the evaluation of sections and includes,
// discovery, the steps of ConfigCert and the writing of the edited files.
// The peak memory of one run is that of a fresh process of this program
// doing nothing else (beside that of one doing nothing at all).
//
// Beside it, a widely used Python parser of Apache configurations (Debian
// package python3-certbot-apache, scripts/packages [bench]) parses the same
// trees once each and finds their virtual hosts, in two child processes at
// the lowest priority that start first and run while the rest does (each
// takes minutes of CPU time). It is told there is no server to ask for
// defines, includes or modules, so it reads the files alone, as we do. Its
// elapsed and CPU times and peak memory are printed; the comparison uses
// CPU time, which a busy machine distorts least. A parse that has not ended
// after --reference-limit seconds is stopped and its CPU time so far is
// reported as a lower bound (">"); such a bound below the target says
// nothing, and the summary says so. The exit status is 1 when the reference
// needs less than 100 times our CPU time for a shape, or when our reading
// or editing fails.
//
// How to run (Release build with the benchmarks; about 2 to 3 minutes, most
// of it the reference parser):
//   scripts/bench bench_apache
// or by hand:
//   scripts/install-deps build bench
//   cmake --preset bench && cmake --build --preset bench --target bench_apache
//   build/bench/bench/apache/bench_apache [options]
//
// Profiling one shape, e.g.:
//   perf record --call-graph dwarf,32768 build/bench/bench/apache/bench_apache --only split
//   valgrind --tool=callgrind build/bench/bench/apache/bench_apache --only single --runs 1
//
// Options:
//   --hosts N             virtual hosts (10000)
//   --files N             included files of the split tree (1000)
//   --runs N              timed runs of each shape (5)
//   --only single|split   reading and editing of one shape only (profiling)
//   --no-breakdown        no breakdown into pieces
//   --no-reference        no reference parser
//   --reference-limit S   seconds a reference parse may take (120; 0: no limit)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "deploy/apache/apacheconf.h"
#include "deploy/apache/apachelexer.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/netmanager.h"
#include "foundation/textconv.h"

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
constexpr double kReferenceRatioTarget = 100;

// A deployer pointed at an installation folder instead of a running server;
// the pieces of discovery and of ConfigCert can be called one by one.
class BenchDeployer : public qm::SslCertSrvApache {
public:
    explicit BenchDeployer(const std::u16string& root) : root_(root) {
        httpPort_ = 80;
        httpsPort_ = 443;
        certName_ = u"bench";
        certFilePath_ = root + u"conf/sslcert/bench.crt";
        keyFilePath_ = root + u"conf/sslcert/bench.key";
        chainFilePath_ = root + u"conf/sslcert/bench.chain.crt";
    }
    // Discovery of the installation: the folder, then its sites.
    void Install() { UseInstallation(root_, root_ + u"conf/httpd.conf"); }
    void Discover(std::vector<std::u16string>& siteAddrs) {
        Install();
        GetSitesInfo(siteAddrs);
    }
    void SetDomains(std::vector<std::u16string> domains) { inputDomains_ = std::move(domains); }
    void Load() { LoadConfiguration(); }
    void MainConfig() { ParseMainConfig(); }
    void Sites() { ParseSites(); }
    void ListenAddrs() { CollectListenAddrs(); }
    // The steps of ConfigCert, in its order.
    void LoadModuleSsl() { AddLoadModuleSsl(); }
    void Listen() { ConfigListen(); }
    void SessionCache() { SetSessionCache(); }
    void SslSites() { ConfigSslSites(); }
    void MainServerSsl() { ConfigMainServerSsl(); }
    void InputSite() { ConfigInputSite(); }
    void WriteEdited() { WriteEditedFiles(); }
    void WriteNew() { WriteNewFiles(); }

private:
    std::u16string root_;
};

// ---- The generated configuration ----

// Host i serves site<i>.example.test; every third one is an HTTPS host.
bool IsHttpsHost(int i) {
    return i % 3 == 1;
}

std::string DomainOf(int i) {
    return "site" + std::to_string(i) + ".example.test";
}

std::string VirtualHost(int i) {
    const std::string n = std::to_string(i);
    const std::string domain = DomainOf(i);
    const bool https = IsHttpsHost(i);
    std::string text;
    if (i % 10 == 0)
        text += "# " + domain + ": moved here from the old server <VirtualHost *:8080>\n";
    text += https ? "<VirtualHost *:443>\n" : "<VirtualHost *:80>\n";
    text += "    ServerAdmin \"webmaster@" + domain + "\"\n";
    text += "    ServerName " + domain + "\n";
    text += "    ServerAlias www." + domain + "\n";
    if (i % 4 == 0)
        text += "    ServerAlias alias" + n + ".example.test \\\n        old-site" + n +
                ".example.test\n";
    text += "    DocumentRoot \"/srv/www/site" + n + "\"\n";
    text += "    DirectoryIndex index.html index.htm\n";
    text += "    ErrorLog \"logs/site" + n + "-error_log\"\n";
    text += "    CustomLog \"logs/site" + n + "-access_log\" \\\n        common\n";
    text += "    <Directory \"/srv/www/site" + n + "\">\n";
    text += "        Options Indexes FollowSymLinks\n";
    text += "        AllowOverride None\n";
    text += "        Require all granted\n";
    text += "    </Directory>\n";
    if (https) {
        text += "    SSLEngine on\n";
        text += "    SSLCertificateFile \"/etc/ssl/site" + n + ".crt\"\n";
        text += "    SSLCertificateKeyFile \"/etc/ssl/site" + n + ".key\"\n";
        text += "    SSLProtocol -all +TLSv1.2\n";
    }
    if (i % 5 == 0) {
        text += "    # <Location /old> Redirect permanent /old / </Location>\n";
        text += "    <Location \"/api/\">\n";
        text += "        Require ip 127.0.0.1\n";
        text += "    </Location>\n";
    }
    text += "</VirtualHost>\n\n";
    return text;
}

std::string MainFile(const fs::path& root, const std::string& include) {
    const std::string r = root.string();
    return "#\n"
           "# Apache httpd configuration, upstream layout (generated by the\n"
           "# Quillmate benchmark).\n"
           "#\n"
           "ServerRoot \"" +
           r +
           "\"\n"
           "Listen 80\n"
           "LoadModule mpm_event_module modules/mod_mpm_event.so\n"
           "LoadModule authz_core_module modules/mod_authz_core.so\n"
           "LoadModule authz_host_module modules/mod_authz_host.so\n"
           "LoadModule mime_module modules/mod_mime.so\n"
           "LoadModule log_config_module modules/mod_log_config.so\n"
           "LoadModule unixd_module modules/mod_unixd.so\n"
           "LoadModule dir_module modules/mod_dir.so\n"
           "LoadModule socache_shmcb_module modules/mod_socache_shmcb.so\n"
           "LoadModule ssl_module modules/mod_ssl.so\n"
           "#LoadModule rewrite_module modules/mod_rewrite.so\n"
           "<IfModule unixd_module>\n"
           "    User daemon\n"
           "    Group daemon\n"
           "</IfModule>\n"
           "<IfModule ssl_module>\n"
           "    Listen 443\n"
           "</IfModule>\n"
           "ServerAdmin admin@example.test\n"
           "ServerName main.example.test:80\n"
           "DocumentRoot \"" +
           r +
           "/htdocs\"\n"
           "<Directory />\n"
           "    AllowOverride none\n"
           "    Require all denied\n"
           "</Directory>\n"
           "<Directory \"" +
           r +
           "/htdocs\">\n"
           "    Options Indexes FollowSymLinks\n"
           "    AllowOverride None\n"
           "    Require all granted\n"
           "</Directory>\n"
           "<IfModule dir_module>\n"
           "    DirectoryIndex index.html\n"
           "</IfModule>\n"
           "ErrorLog \"logs/error_log\"\n"
           "LogLevel warn\n"
           "<IfModule log_config_module>\n"
           "    LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b\" common\n"
           "    CustomLog \"logs/access_log\" common\n"
           "</IfModule>\n"
           "# Virtual hosts\n" +
           include + "\n";
}

Tree SingleFile(const fs::path& root, int hosts) {
    std::string text =
        "# Virtual Hosts\n"
        "#\n"
        "# Almost any Apache server can have more than one name; see\n"
        "# <URL:http://httpd.apache.org/docs/2.4/vhosts/>\n\n";
    for (int i = 0; i < hosts; ++i)
        text += VirtualHost(i);
    return {{"conf/httpd.conf", MainFile(root, "Include conf/extra/httpd-vhosts.conf")},
            {"conf/extra/httpd-vhosts.conf", text}};
}

// The same hosts over `files` included files, in order; names sort as numbers.
Tree SplitTree(const fs::path& root, int hosts, int files) {
    Tree tree = {{"conf/httpd.conf", MainFile(root, "IncludeOptional conf/sites/*.conf")}};
    const int perFile = (hosts + files - 1) / files;
    const int width = std::max(4, static_cast<int>(std::to_string(files - 1).size()));
    for (int f = 0; f < files; ++f) {
        std::string name = std::to_string(f);
        name.insert(0, width - name.size(), '0');
        std::string text;
        for (int i = f * perFile; i < std::min(hosts, (f + 1) * perFile); ++i)
            text += VirtualHost(i);
        tree.push_back({"conf/sites/site-" + name + ".conf", text});
    }
    return tree;
}

// A fresh copy of the installation: what an earlier run wrote is gone.
void WriteTree(const fs::path& dir, const Tree& tree) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    for (const auto& [name, text] : tree)
        WriteFile(dir / name, text);
    fs::create_directories(dir / "htdocs");
    fs::create_directories(dir / "logs");
}

// Bytes of every file under a folder, and how often `needle` occurs in them.
size_t BytesUnder(const fs::path& dir, const std::string& needle, size_t& occurrences) {
    size_t bytes = 0;
    occurrences = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        bytes += static_cast<size_t>(entry.file_size());
        if (needle.empty())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++occurrences;
    }
    return bytes;
}

// ---- Reading and editing ----

struct Shape {
    std::string name;
    double targetMs = 0;
    bool split = false;
    int hosts = 0, files = 1;
    Tree tree;
    fs::path root;  // the installation folder
    std::vector<double> wallMs, cpuMs, sitesMs, sitesCpuMs, configMs, configCpuMs;
    size_t names = 0, sites = 0, grew = 0, certLines = 0;
    long peakKiB = 0;
    std::string error;  // the step that failed, and how
    // The breakdown: piece, median ms.
    qmbench::Pieces pieces;

    Tree At(const fs::path& dir) const {
        return split ? SplitTree(dir, hosts, files) : SingleFile(dir, hosts);
    }
};

Shape MakeShape(std::string name, double targetMs, bool split, int hosts, int files,
                fs::path root) {
    Shape shape;
    shape.name = std::move(name);
    shape.targetMs = targetMs;
    shape.split = split;
    shape.hosts = hosts;
    shape.files = split ? files : 1;
    shape.root = std::move(root);
    shape.tree = shape.At(shape.root);
    return shape;
}

std::u16string FolderText(const fs::path& dir) {
    return qm::WideFromUtf8((dir / "").string());
}

void TimeShape(Shape& shape, const std::u16string& domain, int runs) {
    const std::u16string root = FolderText(shape.root);
    for (int r = 0; r < runs; ++r) {
        WriteTree(shape.root, shape.tree);
        size_t ignored = 0;
        const size_t before = BytesUnder(shape.root, "", ignored);
        BenchDeployer d(root);
        std::vector<std::u16string> found;
        const Stopwatch all;
        try {
            d.Discover(found);
        } catch (const std::exception& e) {
            shape.error = std::string("GetSitesInfo failed: ") + e.what();
            return;
        }
        const double read = all.WallMs(), readCpu = all.CpuMsNow();
        const Stopwatch edit;
        try {
            d.SetDomains({domain});
            d.ConfigCert();
        } catch (const std::exception& e) {
            shape.error = std::string("ConfigCert failed: ") + e.what();
            return;
        }
        shape.configMs.push_back(edit.WallMs());
        shape.configCpuMs.push_back(edit.CpuMsNow());
        shape.sitesMs.push_back(read);
        shape.sitesCpuMs.push_back(readCpu);
        shape.wallMs.push_back(all.WallMs());
        shape.cpuMs.push_back(all.CpuMsNow());
        shape.names = found.size();
        shape.sites = d.sites().size();
        shape.grew = BytesUnder(shape.root, "conf/sslcert/bench.crt", shape.certLines) - before;
    }
}

// The pieces of GetSitesInfo and ConfigCert, each timed apart (medians of
// this thread's CPU time, which a busy machine distorts least; waiting for
// the disk is not in it).
void BreakDown(Shape& shape, const std::u16string& domain, int runs) {
    const std::u16string root = FolderText(shape.root);
    const std::u16string mainFile = root + u"conf/httpd.conf";
    enum Piece {
        kLoad,
        kRead,
        kLex,
        kEvaluate,
        kSpliceHost,
        kSpliceMain,
        kInstall,
        kLoadConfiguration,
        kMainConfig,
        kSites,
        kListen,
        kGetSitesInfo,
        kLoadModule,
        kConfigListen,
        kSessionCache,
        kSslSites,
        kMainServer,
        kInputSite,
        kWriteEdited,
        kWriteNew,
        kPieces
    };
    std::vector<std::vector<double>> t(kPieces);
    const auto time = [&](Piece piece, auto&& body) {
        const Stopwatch s;
        body();
        t[piece].push_back(s.CpuMsNow());
    };
    try {
        for (int r = 0; r < runs; ++r) {
            WriteTree(shape.root, shape.tree);

            // Discovery in its steps.
            BenchDeployer steps(root);
            time(kInstall, [&] { steps.Install(); });
            time(kLoadConfiguration, [&] { steps.Load(); });
            time(kMainConfig, [&] { steps.MainConfig(); });
            time(kSites, [&] { steps.Sites(); });
            time(kListen, [&] { steps.ListenAddrs(); });

            // The configuration alone, with the context the deployer reads it in.
            const qm::ApacheContext context = steps.configuration().Context();
            qm::ApacheConfig config;
            std::u16string problem;
            time(kLoad, [&] { config.Load(mainFile, context, problem); });
            time(kRead, [&] {
                for (size_t i = 0; i < config.FileCount(); ++i)
                    qm::SslCertSrvSubBase::ReadTextFile(config.File(i).path);
            });
            size_t lines = 0;  // used, so the lexing stays in
            time(kLex, [&] {
                for (size_t i = 0; i < config.FileCount(); ++i)
                    lines += qm::LexApacheLines(config.File(i).text).size();
            });
            if (lines == 0)
                std::printf("    (no lines)\n");
            time(kEvaluate, [&] { config.Evaluate(problem); });
            // Splices that change nothing: the file's lines again, and the
            // whole configuration evaluated again.
            size_t hostFile = 0;
            for (const qm::ApacheVirtualHost& host : config.Hosts()) {
                if (config.HostText(host).find(u"ServerName " + domain + u"\n") !=
                    std::u16string_view::npos) {
                    hostFile = host.file;
                    break;
                }
            }
            time(kSpliceHost, [&] { config.Splice(hostFile, 0, 0, u""); });
            time(kSpliceMain, [&] { config.Splice(0, 0, 0, u""); });

            // GetSitesInfo whole, then the steps of ConfigCert in its order.
            BenchDeployer d(root);
            d.Install();
            std::vector<std::u16string> found;
            time(kGetSitesInfo, [&] { d.GetSitesInfo(found); });
            d.SetDomains({domain});
            time(kLoadModule, [&] { d.LoadModuleSsl(); });
            time(kConfigListen, [&] { d.Listen(); });
            time(kSessionCache, [&] { d.SessionCache(); });
            time(kSslSites, [&] { d.SslSites(); });
            time(kMainServer, [&] { d.MainServerSsl(); });
            time(kInputSite, [&] { d.InputSite(); });
            time(kWriteEdited, [&] { d.WriteEdited(); });
            time(kWriteNew, [&] { d.WriteNew(); });
        }
    } catch (const std::exception& e) {
        shape.pieces = {{std::string("breakdown failed: ") + e.what(), 0}};
        return;
    }
    const auto m = [&](Piece piece) { return Median(t[piece]); };
    const double steps = m(kMainConfig) + m(kSites) + m(kListen) + m(kLoadConfiguration);
    shape.pieces = {
        {"ApacheConfig::Load (read, lines, sections, includes)", m(kLoad)},
        {"  reading every file once (ReadTextFile), alone", m(kRead)},
        {"  Apache's line rules on every file (LexApacheLines), alone", m(kLex)},
        {"  evaluating sections and includes again (Evaluate)", m(kEvaluate)},
        {"  a splice of the host's file that changes nothing", m(kSpliceHost)},
        {"  a splice of httpd.conf that changes nothing", m(kSpliceMain)},
        {"UseInstallation (reads the configuration, too)", m(kInstall)},
        {"GetSitesInfo", m(kGetSitesInfo)},
        {"  LoadConfiguration (Load + its log lines)", m(kLoadConfiguration)},
        {"  ParseMainConfig", m(kMainConfig)},
        {"  ParseSites", m(kSites)},
        {"  CollectListenAddrs", m(kListen)},
        {"  the rest: certificate files, duplicates, sorting", m(kGetSitesInfo) - steps},
        {"ConfigCert (one domain), its steps:",
         m(kLoadModule) + m(kConfigListen) + m(kSessionCache) + m(kSslSites) + m(kMainServer) +
             m(kInputSite) + m(kWriteEdited) + m(kWriteNew)},
        {"  AddLoadModuleSsl", m(kLoadModule)},
        {"  ConfigListen", m(kConfigListen)},
        {"  SetSessionCache", m(kSessionCache)},
        {"  ConfigSslSites", m(kSslSites)},
        {"  ConfigMainServerSsl", m(kMainServer)},
        {"  ConfigInputSite", m(kInputSite)},
        {"  WriteEditedFiles", m(kWriteEdited)},
        {"  WriteNewFiles", m(kWriteNew)},
    };
}

void PrintShape(const Shape& shape, int runs) {
    std::printf("%s: %zu files, %zu bytes\n", shape.name.c_str(), shape.tree.size(),
                TreeBytes(shape.tree));
    if (!shape.error.empty()) {
        std::printf("  FAILED: %s\n", shape.error.c_str());
        std::fflush(stdout);
        return;
    }
    std::printf(
        "  %zu site addresses, %zu site records; ConfigCert added %zu bytes, %zu lines\n"
        "  name the new certificate\n",
        shape.names, shape.sites, shape.grew, shape.certLines);
    std::printf("  GetSitesInfo                 median %9.1f ms, CPU %.1f ms (of %d runs)\n",
                Median(shape.sitesMs), Median(shape.sitesCpuMs), runs);
    std::printf("  ConfigCert (one domain)      median %9.1f ms, CPU %.1f ms\n",
                Median(shape.configMs), Median(shape.configCpuMs));
    qmbench::PrintRuns(shape.wallMs, shape.cpuMs);
    if (shape.peakKiB > 0)
        std::printf("  peak memory of one run       %ld KiB (a fresh process)\n", shape.peakKiB);
    qmbench::PrintPieces(shape.pieces);
}

// ---- Peak memory of one run, in a fresh process ----

// The high-water mark of this process's resident memory (KiB), from /proc:
// unlike getrusage it does not count what the process was before its exec.
long OwnPeakKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

// In the fresh process: one discovery and ConfigCert, nothing else; prints
// the peak memory.
int MemoryRun(const std::string& root, const std::string& domain) {
    qm::CNetManager::SetResolver(
        [](const std::string&) { return std::vector<std::string>{"10.0.0.1"}; });
    try {
        BenchDeployer d(qm::WideFromUtf8(root));
        std::vector<std::u16string> found;
        d.Discover(found);
        d.SetDomains({qm::WideFromUtf8(domain)});
        d.ConfigCert();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%ld\n", OwnPeakKiB());
    return 0;
}

// Runs this program with `args` and returns the peak memory it prints (KiB;
// 0 when it failed).
long PeakOfChild(const std::vector<std::string>& args) {
    std::vector<std::string> all = {qmbench::SelfPath()};
    all.insert(all.end(), args.begin(), args.end());
    const std::vector<char*> argv = qmbench::ExecArguments(all);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return 0;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t n; pid > 0 && (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return 0;
    return std::atol(output.c_str());
}

// ---- The reference parser ----

// The parser wants a configurator object for its options and its undo
// journal; one is made with a minimal settings object, its journal in
// `work`. The commands that would ask a running server for its defines,
// includes and modules are replaced by one that says nothing.
void StartReference(Reference& ref, const fs::path& root, const fs::path& work,
                    const std::string& domain) {
    static const char* script =
        "import sys, time, types\n"
        "from certbot_apache._internal.configurator import ApacheConfigurator\n"
        "root, work, domain = sys.argv[1], sys.argv[2], sys.argv[3]\n"
        "start = time.perf_counter()\n"
        "cpu = time.process_time()\n"
        "settings = types.SimpleNamespace(apache_vhost_root=None, config_dir=work,\n"
        "    work_dir=work, logs_dir=work, backup_dir=work + '/backup',\n"
        "    temp_checkpoint_dir=work + '/temp', in_progress_dir=work + '/progress',\n"
        "    strict_permissions=False)\n"
        "apache = ApacheConfigurator(settings, name='apache', version=(2, 4))\n"
        "apache.options.server_root = root\n"
        "apache.options.get_defines_cmd = ['true']\n"
        "apache.options.get_includes_cmd = ['true']\n"
        "apache.options.get_modules_cmd = ['true']\n"
        "apache.parser = apache.get_parser()\n"
        "hosts = apache.get_virtual_hosts()\n"
        "found = sum(1 for h in hosts if h.name == domain or domain in h.aliases)\n"
        "print(time.perf_counter() - start, time.process_time() - cpu, len(hosts), found)\n";
    fs::create_directories(work);
    qmbench::StartReference(ref, script, {root.string(), work.string(), domain});
}

// What a parse that ended printed on its last line: its times, the virtual
// hosts it found and how many of them are the domain's.
bool ReadTimesAndHosts(Reference& ref) {
    double wall = 0, cpu = 0;
    long hosts = 0, found = 0;
    if (std::sscanf(qmbench::LastLine(ref.output).c_str(), "%lf %lf %ld %ld", &wall, &cpu, &hosts,
                    &found) != 4)
        return false;
    ref.wallMs = wall * 1000.0;
    ref.cpuMs = cpu * 1000.0;
    ref.counts = {hosts, found};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int hosts = 10000;
    int files = 1000;
    int runs = 5;
    bool reference = true, breakdown = true;
    double referenceLimit = 120;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--hosts") && more)
            hosts = std::max(1, std::atoi(argv[++i]));
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
        else if (!std::strcmp(argv[i], "--memory-run") && i + 2 < argc)
            return MemoryRun(argv[i + 1], argv[i + 2]);  // one run alone, for its peak memory
        else if (!std::strcmp(argv[i], "--memory-idle"))
            return std::printf("%ld\n", OwnPeakKiB()) > 0 ? 0 : 1;  // this program doing nothing
        else {
            std::fprintf(stderr, "unknown option %s (see the top of bench_apache.cpp)\n", argv[i]);
            return 2;
        }
    }
    files = std::min(files, hosts);

    // Logs and records of the deployer stay in the benchmark's folder.
    const fs::path base = qmbench::MakeBenchFolder("apache");
    if (base.empty())
        return 1;

    // Every name resolves, without asking the network.
    qm::CNetManager::SetResolver(
        [](const std::string&) { return std::vector<std::string>{"10.0.0.1"}; });
    // An HTTP host near the middle: ConfigCert makes an HTTPS host of it.
    int target = hosts / 2;
    if (IsHttpsHost(target) && target + 1 < hosts)
        ++target;
    const std::string domainText = DomainOf(target);
    const std::u16string domain = qm::WideFromUtf8(domainText);

    std::vector<Shape> shapes;
    if (only.empty() || only == "single")
        shapes.push_back(
            MakeShape("single file", kSingleTargetMs, false, hosts, files, base / "single"));
    if (only.empty() || only == "split")
        shapes.push_back(
            MakeShape("split tree", kSplitTargetMs, true, hosts, files, base / "split"));
    if (shapes.empty()) {
        std::fprintf(stderr, "--only takes single or split\n");
        return 2;
    }
    if (!only.empty())
        reference = breakdown = false;

    // The reference parses run, at the lowest priority, while the rest runs.
    std::vector<Reference> refs(shapes.size());
    if (reference) {
        for (size_t i = 0; i < shapes.size(); ++i) {
            const fs::path dir = base / ("reference-" + std::to_string(i));
            WriteTree(dir, shapes[i].At(dir));
            StartReference(refs[i], dir, base / ("reference-work-" + std::to_string(i)),
                           domainText);
        }
        std::printf("reference parser: %zu parses started (lowest priority, limit %.0f s)\n",
                    shapes.size(), referenceLimit);
    }

    std::printf("reading and editing: GetSitesInfo + ConfigCert for %s on %d virtual hosts\n",
                domainText.c_str(), hosts);
    std::fflush(stdout);
    const bool measureMemory = only.empty();
    for (Shape& shape : shapes) {
        TimeShape(shape, domain, runs);
        if (breakdown && shape.error.empty())
            BreakDown(shape, domain, runs);
        if (measureMemory && shape.error.empty()) {
            WriteTree(shape.root, shape.tree);
            shape.peakKiB = PeakOfChild({"--memory-run", (shape.root / "").string(), domainText});
        }
        PrintShape(shape, runs);
    }
    const long idleKiB = measureMemory ? PeakOfChild({"--memory-idle"}) : 0;
    std::printf("  peak memory of this process  %ld KiB", qmbench::PeakKiBOfThisProcess());
    if (idleKiB > 0)
        std::printf("; of a fresh one doing nothing %ld KiB", idleKiB);
    std::printf("\n");

    if (reference) {
        std::printf("reference parser: waiting for it ...\n");
        std::fflush(stdout);
        qmbench::FinishReferences(refs, referenceLimit, ReadTimesAndHosts);
        for (size_t i = 0; i < shapes.size(); ++i) {
            const Reference& ref = refs[i];
            if (!ref.ok && !ref.stopped)
                std::printf(
                    "  %s: reference parser failed or not installed "
                    "(python3-certbot-apache):\n%s\n",
                    shapes[i].name.c_str(), ref.output.c_str());
            else if (ref.stopped)
                std::printf(
                    "  %-12s >%.1f ms elapsed, >%.1f ms CPU, peak memory %ld KiB (stopped at "
                    "the limit)\n",
                    shapes[i].name.c_str(), ref.wallMs, ref.cpuMs, ref.peakKiB);
            else
                std::printf(
                    "  %-12s %.1f ms elapsed, %.1f ms CPU, peak memory %ld KiB; %ld virtual "
                    "hosts, %ld for %s\n",
                    shapes[i].name.c_str(), ref.wallMs, ref.cpuMs, ref.peakKiB, ref.counts[0],
                    ref.counts[1], domainText.c_str());
        }
    }

    // The summary.
    int status = 0;
    std::vector<std::string> undecided;  // shapes whose reference stopped too early to judge
    std::printf("\nsummary: GetSitesInfo + ConfigCert, median of %d runs; reference: one parse\n",
                runs);
    std::printf("  %-12s %6s %9s %9s %7s %10s %10s %14s %11s %10s\n", "shape", "files", "ms",
                "CPU ms", "target", "ms/target", "peak KiB", "reference CPU", "ref/ours",
                "ref KiB");
    for (size_t i = 0; i < shapes.size(); ++i) {
        const Shape& s = shapes[i];
        if (!s.error.empty()) {
            std::printf("  %-12s %6zu FAILED: %s\n", s.name.c_str(), s.tree.size(),
                        s.error.c_str());
            status = 1;
            continue;
        }
        const double wall = Median(s.wallMs), cpu = Median(s.cpuMs);
        char peak[32] = "-";
        if (s.peakKiB > 0)
            std::snprintf(peak, sizeof peak, "%ld", s.peakKiB);
        const qmbench::Comparison ref =
            reference ? qmbench::Compare(refs[i], cpu) : qmbench::Comparison{};
        if (ref.made && ref.ratio < kReferenceRatioTarget) {
            if (refs[i].ok)
                status = 1;
            if (refs[i].stopped)
                undecided.push_back(s.name);
        }
        std::printf("  %-12s %6zu %9.1f %9.1f %7.0f %9.2fx %10s %14s %11s %10s\n", s.name.c_str(),
                    s.tree.size(), wall, cpu, s.targetMs, wall / s.targetMs, peak, ref.cpu.c_str(),
                    ref.times.c_str(), ref.peak.c_str());
    }
    std::printf(
        "  (ms/target above 1.00x misses the target; ref/ours target >= %.0fx; peak KiB: a\n"
        "  fresh process doing one run, ref KiB: the reference's process)\n",
        kReferenceRatioTarget);
    for (const std::string& name : undecided)
        std::printf(
            "  %s: the reference was stopped before it reached %.0fx our CPU time, so the\n"
            "  ratio is not judged (a busy machine starves it; a longer --reference-limit)\n",
            name.c_str(), kReferenceRatioTarget);
    fs::remove_all(base);
    return status;
}
