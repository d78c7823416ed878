// Time to HTTPS with a certificate from an ACME server, against certbot.
//
// Runs of each tool on the same machine, the same nginx and the same ACME
// server, alternating (quillmate, certbot, quillmate, ...):
//   quillmate  quillmate deploy --server nginx --domain shop.example.com
//                  --acme DIRECTORY --ca-file PEBBLE_API_CA --agree-tos --lang en
//              (QUILLMATE_HOME and VANTREL_HOME fresh folders, the first with
//              the shipped Config/ templates);
//   certbot    certbot --nginx -d shop.example.com --server DIRECTORY --agree-tos
//                  --register-unsafely-without-email --non-interactive
//                  --config-dir/--work-dir/--logs-dir FRESH_FOLDERS
//              (REQUESTS_CA_BUNDLE=PEBBLE_API_CA; Debian package
//              python3-certbot-nginx, run as a program only).
// Each run starts from Debian's nginx on its own layout as the package
// installs it (tests/support/e2e/distro_nginx.h: a fresh private copy of
// /etc/nginx and /var/www each run) with one more site enabled:
//   server { listen 80; server_name shop.example.com; root /var/www/shop; }
// and a fresh pebble (tests/support/e2e/pebble_process.h) whose http-01
// validation fetches http://shop.example.com:80/. A run is timed from the
// start of the command until https://shop.example.com/ on 127.0.0.1:443
// answers with a certificate that verifies against that pebble's root (and
// names the domain). HTTPS is polled while the command runs and for a while
// after it ends, since a reload may take effect after the command returned.
//
// The medians and their ratio quillmate/certbot are printed against the
// target 0.5; the exit status is 1 when the ratio is above it or quillmate
// did not get HTTPS served. Ports 80 and 443 and the domain need the private
// mount and network namespaces of tests/support/e2e/run-with-hosts
// --private-network, as root: the benchmark starts itself that way, and
// says why and exits 0 when the machine does not allow them, or when
// certbot, pebble or nginx is not installed.
//
// How to run (Release build with the benchmarks; under a minute):
//   scripts/bench bench_acme
// or by hand:
//   scripts/install-deps build e2e bench
//   cmake --preset bench && cmake --build --preset bench --target bench_acme
//   build/bench/bench/acme/bench_acme [options]
//
// Options:
//   --runs N     runs of each tool (3)
//   --limit S    seconds a command may take before it is killed (180)
//   --keep       keep the outputs and logs of the runs (kept anyway when a
//                run fails)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/distro_nginx.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_process.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/temp_dir.h"

#ifndef QUILLMATE_E2E_WRAPPER
#define QUILLMATE_E2E_WRAPPER ""
#endif
#ifndef QUILLMATE_PROGRAM
#define QUILLMATE_PROGRAM ""
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qmbench::Clock;
using std::chrono::milliseconds;

constexpr const char* kDomain = "shop.example.com";
constexpr double kTargetRatio = 0.5;
// After the command ended, how long HTTPS may still take to show.
constexpr auto kAfterExit = std::chrono::seconds(10);
constexpr auto kPollEvery = milliseconds(25);

// Set by SIGINT or SIGTERM: the command running is killed and the harness
// objects clean up before the benchmark ends.
volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

const char* const kShopSite =
    "server {\n"
    "    listen 80;\n"
    "    server_name shop.example.com;\n"
    "    root /var/www/shop;\n"
    "}\n";

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A program on the search path, or in the system's folders; empty when
// there is none.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/bin:/sbin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    }
    return {};
}

// Both tools look for nginx on the search path.
std::string SearchPath() {
    const char* path = std::getenv("PATH");
    std::string value = path ? path : "";
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        if ((":" + value + ":").find(std::string(":") + dir + ":") == std::string::npos)
            value += value.empty() ? dir : std::string(":") + dir;
    }
    return value;
}

// The last `count` non-empty lines of `text`, joined with " | ", each cut
// to a readable length.
std::string LastLines(const std::string& text, size_t count) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line.erase(0, line.find_first_not_of(" \t\r"));
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        // Rules and blank lines say nothing.
        if (std::any_of(line.begin(), line.end(), [](unsigned char c) { return std::isalnum(c); }))
            lines.push_back(line.size() > 200 ? line.substr(0, 197) + "..." : line);
    }
    std::string joined;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        joined += (joined.empty() ? "" : " | ") + lines[i];
    return joined.empty() ? "(no output)" : joined;
}

// The line of a successful run that says so: the last one with "success"
// in it, else the last line.
std::string SuccessLine(const std::string& text) {
    std::string found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("success") != std::string::npos)
            found = line;
    }
    return found.empty() ? LastLines(text, 1) : LastLines(found, 1);
}

// ---- One run ----

enum class Tool { Quillmate, Certbot };

const char* NameOf(Tool tool) {
    return tool == Tool::Quillmate ? "quillmate" : "certbot";
}

struct RunResult {
    bool served = false;  // HTTPS verified against pebble's root
    double toHttpsMs = 0;
    double commandMs = 0;  // until the command ended
    int exitCode = -1;     // 128 + signal when killed
    bool killed = false;   // stopped at --limit
    std::string note;      // what the tool did, one line
};

// The command line and the variables of one tool.
struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=VALUE, over this process's own
};

Command QuillmateCommand(const fs::path& dir, const qm::e2e::PebbleProcess& pebble) {
    const fs::path home = dir / "home";
    const fs::path service = dir / "service";
    fs::create_directories(home);
    fs::create_directories(service);
    // The settings and progress templates a deployment starts from.
    qm::test::InstallConfigTemplates(qm::WideFromUtf8(home.string() + "/"));
    if (!fs::is_directory(home / "Config"))
        throw std::runtime_error("cannot install the Config/ templates into " + home.string());
    return {{QUILLMATE_PROGRAM, "deploy", "--server", "nginx", "--domain", kDomain, "--acme",
             pebble.directoryUrl(), "--ca-file", pebble.caFile(), "--agree-tos", "--lang", "en"},
            {"QUILLMATE_HOME=" + home.string(), "VANTREL_HOME=" + service.string(),
             "PATH=" + SearchPath()}};
}

Command CertbotCommand(const fs::path& dir, const qm::e2e::PebbleProcess& pebble) {
    return {{FindProgram("certbot"), "--nginx", "-d", kDomain, "--server", pebble.directoryUrl(),
             "--agree-tos", "--register-unsafely-without-email", "--non-interactive",
             "--config-dir", (dir / "config").string(), "--work-dir", (dir / "work").string(),
             "--logs-dir", (dir / "logs").string()},
            {"REQUESTS_CA_BUNDLE=" + pebble.caFile(), "PATH=" + SearchPath()}};
}

// Starts the command in a process group of its own (so that a command
// stopped at the limit takes its children along), its output to `output`.
pid_t Spawn(const Command& command, const fs::path& output) {
    std::vector<std::string> args = command.argv;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced =
            std::any_of(command.env.begin(), command.env.end(), [&](const std::string& own) {
                return own.compare(0, name.size() + 1, name + "=") == 0;
            });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), command.env.begin(), command.env.end());
    const std::vector<char*> argv = qmbench::ExecArguments(args);
    const std::vector<char*> envp = qmbench::ExecArguments(env);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        closefrom(3);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid);  // also from here: the group exists before any kill
    return pid;
}

// HTTPS for the domain on 127.0.0.1:443, checked against pebble's root.
qm::e2e::HttpResult HttpsVerified(const std::string& rootFile) {
    return qm::e2e::HttpGet(
        std::string("https://") + kDomain + "/",
        qm::e2e::HttpOptions().Ca(rootFile).ConnectTo("127.0.0.1").Timeout(2000));
}

// What 127.0.0.1:443 serves for the domain, whatever its certificate.
std::string DescribeServed(const std::string& rootFile) {
    const qm::e2e::HttpResult verified = HttpsVerified(rootFile);
    const qm::e2e::HttpResult any =
        qm::e2e::HttpGet(std::string("https://") + kDomain + "/",
                         qm::e2e::HttpOptions().ConnectTo("127.0.0.1").Insecure().Timeout(2000));
    if (!any.ok)
        return "HTTPS: " + any.error;
    return "HTTPS serves \"" + any.peerSubject +
           "\", not verified against pebble's root: " + verified.error;
}

std::string DescribeExit(Tool tool, int code) {
    if (code == 127)
        return "exit 127 (could not start)";
    std::string text = "exit " + std::to_string(code);
    if (tool == Tool::Quillmate && code == 2)
        text += " (command line refused)";
    else if (code > 128)
        text += " (signal " + std::to_string(code - 128) + ")";
    return text;
}

void RunOnce(Tool tool, const fs::path& dir, double limitSeconds, RunResult& result) {
    fs::create_directories(dir);
    qm::e2e::DistroNginx nginx;
    nginx.WriteWebFile("shop/index.html", "shop\n");
    nginx.EnableSite("shop", kShopSite);
    nginx.Start({80});
    qm::e2e::PebbleProcess pebble({.httpPort = 80});
    const std::string rootFile = (dir / "pebble-root.pem").string();
    qmbench::WriteFile(rootFile, pebble.RootPem());
    const Command command =
        tool == Tool::Quillmate ? QuillmateCommand(dir, pebble) : CertbotCommand(dir, pebble);
    const fs::path outputFile = dir / "output.txt";

    const Clock::time_point start = Clock::now();
    pid_t pid = Spawn(command, outputFile);
    if (pid < 0)
        throw std::runtime_error(std::string("cannot start ") + NameOf(tool));
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(limitSeconds));
    Clock::time_point ended{};
    while (true) {
        if (g_stop) {
            if (pid > 0) {
                kill(-pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            throw std::runtime_error("interrupted");
        }
        if (pid > 0) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = Clock::now();
                result.commandMs = MsBetween(start, ended);
                result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid = -1;
            } else if (Clock::now() >= deadline) {
                kill(-pid, SIGKILL);
                waitpid(pid, &status, 0);
                ended = Clock::now();
                result.commandMs = MsBetween(start, ended);
                result.exitCode = 128 + SIGKILL;
                result.killed = true;
                pid = -1;
            }
        }
        if (!result.served && HttpsVerified(rootFile).ok) {
            result.served = true;
            result.toHttpsMs = MsBetween(start, Clock::now());
        }
        if (pid < 0 && (result.served || Clock::now() - ended >= kAfterExit))
            break;
        std::this_thread::sleep_for(kPollEvery);
    }

    const std::string output = qm::e2e::ReadTextFile(outputFile.string());
    const bool clean = result.served && result.exitCode == 0;
    result.note = DescribeExit(tool, result.exitCode);
    if (result.killed)
        result.note += ", killed at the limit (--limit)";
    result.note += ": " + (clean ? SuccessLine(output) : LastLines(output, 4));
    if (!result.served)
        result.note += "; " + DescribeServed(rootFile);
    if (!clean && tool == Tool::Certbot)
        result.note += " (log: " + (dir / "logs" / "letsencrypt.log").string() + ", kept)";
    // pebble, then nginx, go with the objects.
}

// ---- The runs ----

struct Series {
    Tool tool;
    std::vector<RunResult> runs;
    std::vector<double> Served() const {
        std::vector<double> ms;
        for (const RunResult& r : runs) {
            if (r.served)
                ms.push_back(r.toHttpsMs);
        }
        return ms;
    }
};

void PrintRun(int index, const Series& series, const RunResult& r) {
    if (r.served)
        std::printf("  run %d %-9s %7.2f s to HTTPS (command %.2f s); %s\n", index,
                    NameOf(series.tool), r.toHttpsMs / 1000.0, r.commandMs / 1000.0,
                    r.note.c_str());
    else
        std::printf("  run %d %-9s     no HTTPS (command %.2f s); %s\n", index, NameOf(series.tool),
                    r.commandMs / 1000.0, r.note.c_str());
    std::fflush(stdout);
}

// Why a tool or pebble cannot run; empty when they all can.
std::string MissingProgram() {
    if (FindProgram("certbot").empty())
        return "certbot is not installed (Debian package python3-certbot-nginx)";
    if (qm::e2e::PebbleProgram().empty())
        return "pebble is not installed (Debian package pebble)";
    if (access(QUILLMATE_PROGRAM, X_OK) != 0)
        return std::string("quillmate is not built (") + QUILLMATE_PROGRAM + ")";
    return {};
}

// Why the runs cannot happen in this process; empty when they can.
std::string UnavailableReason() {
    if (std::string why = MissingProgram(); !why.empty())
        return why;
    return qm::e2e::DistroNginxUnavailableReason();
}

struct Options {
    int runs = 3;
    double limitSeconds = 180;
    bool keep = false;  // the outputs and logs of the runs stay
};

int RunAll(const Options& options) {
    const int runs = options.runs;
    if (const std::string why = UnavailableReason(); !why.empty()) {
        std::printf("  SKIPPED: %s\n", why.c_str());
        return 0;
    }
    const fs::path base = qmbench::MakeBenchFolder("acme");
    if (base.empty())
        return 1;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::printf(
        "  Debian nginx on its own layout and a fresh pebble for each run; runs of each: %d,\n"
        "  alternating; timed from the command's start until https://%s/ on 127.0.0.1:443\n"
        "  serves a certificate that verifies against pebble's root\n",
        runs, kDomain);
    std::fflush(stdout);

    Series quillmate{Tool::Quillmate, {}}, certbot{Tool::Certbot, {}};
    bool keep = options.keep;
    for (int i = 1; i <= runs && !g_stop; ++i) {
        for (Series* series : {&quillmate, &certbot}) {
            if (g_stop)
                break;
            RunResult result;
            const fs::path dir =
                base / (std::string(NameOf(series->tool)) + "-" + std::to_string(i));
            try {
                RunOnce(series->tool, dir, options.limitSeconds, result);
            } catch (const std::exception& e) {
                result.served = false;
                result.note = g_stop ? std::string("interrupted")
                                     : std::string("the run could not be set up: ") + e.what();
            }
            keep = keep || !result.served || result.exitCode != 0;
            series->runs.push_back(result);
            PrintRun(i, *series, result);
        }
    }

    const std::vector<double> q = quillmate.Served(), c = certbot.Served();
    std::printf("\nsummary: time to HTTPS, median of the runs that got it served\n");
    for (const std::vector<double>* times : {&q, &c}) {
        const char* name = times == &q ? "quillmate" : "certbot";
        if (times->empty())
            std::printf("  %-9s not measured: no run got HTTPS served\n", name);
        else
            std::printf("  %-9s median %7.2f s, min %.2f s, max %.2f s (%zu of %d runs served)\n",
                        name, qmbench::Median(*times) / 1000.0,
                        *std::min_element(times->begin(), times->end()) / 1000.0,
                        *std::max_element(times->begin(), times->end()) / 1000.0, times->size(),
                        runs);
    }
    int status = q.size() == static_cast<size_t>(runs) ? 0 : 1;
    if (!q.empty() && !c.empty()) {
        const double ratio = qmbench::Median(q) / qmbench::Median(c);
        std::printf("  quillmate/certbot %.2f (target <= %.2f: %s)\n", ratio, kTargetRatio,
                    ratio <= kTargetRatio ? "met" : "MISSED");
        if (ratio > kTargetRatio)
            status = 1;
    } else {
        std::printf("  quillmate/certbot not measured (target <= %.2f)\n", kTargetRatio);
    }
    if (keep)
        std::printf("  the outputs and logs of the runs are kept in %s\n", base.c_str());
    else
        fs::remove_all(base);
    if (g_stop) {
        std::printf("  interrupted\n");
        status = 130;
    }
    return status;
}

// Runs this program again under run-with-hosts --private-network: its exit
// status, 0 with a message when the namespaces are not allowed here.
int RunInNamespace(const Options& options) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", options.limitSeconds);
    const std::string wrapper = QUILLMATE_E2E_WRAPPER;
    if (wrapper.empty() || access(wrapper.c_str(), X_OK) != 0) {
        std::printf("  SKIPPED: tests/support/e2e/run-with-hosts is not there\n");
        return 0;
    }
    std::vector<std::string> args = {wrapper, "--private-network", kDomain,
                                     "--",    qmbench::SelfPath(), "--in-namespace"};
    args.insert(args.end(), {"--runs", std::to_string(options.runs), "--limit", limit});
    if (options.keep)
        args.push_back("--keep");
    const pid_t pid = qmbench::StartChild(args);
    // Ctrl+C reaches the run in the namespace too; it cleans up, then ends.
    if (pid > 0)
        signal(SIGINT, SIG_IGN);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        std::printf("  SKIPPED: cannot start run-with-hosts\n");
        return 0;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        std::printf(
            "  SKIPPED: run-with-hosts cannot give it private mount and network namespaces "
            "here (its reason is above)\n");
        return 0;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    std::printf("  the run under run-with-hosts ended by signal %d\n", WTERMSIG(status));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool inNamespace = false;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--runs") && more)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--limit") && more)
            options.limitSeconds = std::max(1.0, std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--keep"))
            options.keep = true;
        else if (!std::strcmp(argv[i], "--in-namespace"))
            inNamespace = true;  // started by RunInNamespace
        else {
            std::fprintf(stderr, "unknown option %s (see the top of bench_acme.cpp)\n", argv[i]);
            return 2;
        }
    }
    if (!inNamespace) {
        std::printf(
            "time to HTTPS with an ACME certificate: quillmate deploy --acme against "
            "certbot --nginx\n");
        // No namespace is needed to see a missing program.
        if (const std::string why = MissingProgram(); !why.empty()) {
            std::printf("  SKIPPED: %s\n", why.c_str());
            return 0;
        }
        if (!qm::e2e::InPrivateNetwork())
            return RunInNamespace(options);
    }
    return RunAll(options);
}
