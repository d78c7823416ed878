#include "bench/support/bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qmbench {

namespace fs = std::filesystem;

namespace {

// CPU time a living process has used, from /proc.
double ProcessCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        const size_t space = stat.find(' ', at);
        fields.push_back(stat.substr(at, space - at));
        if (space == std::string::npos)
            break;
        at = space + 1;
    }
    // Fields 14 and 15 of the line (utime, stime) are 12 and 13 after the name.
    if (fields.size() < 13)
        return 0;
    const double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
    return ticks * 1000.0 / sysconf(_SC_CLK_TCK);
}

// Ends a reference parse: its exit status, peak memory and times.
void Reap(Reference& ref, bool stop, const std::function<bool(Reference&)>& read) {
    if (stop) {
        ref.cpuMs = ProcessCpuMs(ref.pid);
        ref.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - ref.start).count();
        kill(ref.pid, SIGKILL);
        ref.stopped = true;
    }
    int status = 0;
    rusage usage{};
    wait4(ref.pid, &status, 0, &usage);
    close(ref.fd);
    ref.done = true;
    ref.peakKiB = usage.ru_maxrss;
    if (!stop && WIFEXITED(status) && WEXITSTATUS(status) == 0 && read(ref))
        ref.ok = true;
}

}  // namespace

double Stopwatch::CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

double Stopwatch::WallMs() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - wall).count();
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

size_t TreeBytes(const Tree& tree) {
    size_t bytes = 0;
    for (const auto& [name, text] : tree)
        bytes += text.size();
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

fs::path MakeBenchFolder(const std::string& name) {
    std::string pattern = "/tmp/quillmate-bench-" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return {};
    }
    const fs::path base = pattern;
    setenv("QUILLMATE_HOME", (base / "home").c_str(), 1);
    setenv("VANTREL_HOME", (base / "service").c_str(), 1);
    fs::create_directories(base / "home");
    fs::create_directories(base / "service");
    return base;
}

std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    return std::string(path, static_cast<size_t>(n));
}

std::vector<char*> ExecArguments(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

pid_t StartChild(std::vector<std::string> args) {
    const std::vector<char*> argv = ExecArguments(args);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

long PeakKiBOfThisProcess() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void PrintRuns(const std::vector<double>& wallMs, const std::vector<double>& cpuMs) {
    std::printf("  GetSitesInfo + ConfigCert    median %9.1f ms, min %.1f ms, CPU %.1f ms\n",
                Median(wallMs), *std::min_element(wallMs.begin(), wallMs.end()), Median(cpuMs));
}

void PrintPieces(const Pieces& pieces) {
    if (pieces.empty())
        return;
    std::printf("  where the time goes (each piece timed apart, median CPU ms):\n");
    for (const auto& [piece, ms] : pieces)
        std::printf("    %-60s %8.1f\n", piece.c_str(), ms);
    std::fflush(stdout);
}

void StartReference(Reference& ref, const char* script, const std::vector<std::string>& args) {
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::vector<std::string> all = {python, "-c", script};
    all.insert(all.end(), args.begin(), args.end());
    const std::vector<char*> argv = ExecArguments(all);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        setpriority(PRIO_PROCESS, 0, 19);
        execvp(python, argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return;
    }
    ref.pid = pid;
    ref.fd = pipeFds[0];
    ref.start = Clock::now();
}

void FinishReferences(std::vector<Reference>& refs, double limitSeconds,
                      const std::function<bool(Reference&)>& read) {
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Reference*> owners;
        for (Reference& ref : refs) {
            if (ref.pid > 0 && !ref.done) {
                fds.push_back({ref.fd, POLLIN, 0});
                owners.push_back(&ref);
            }
        }
        if (fds.empty())
            return;
        poll(fds.data(), fds.size(), 500);
        for (size_t i = 0; i < fds.size(); ++i) {
            Reference& ref = *owners[i];
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                const ssize_t n = ::read(ref.fd, buffer, sizeof buffer);
                if (n > 0) {
                    ref.output.append(buffer, static_cast<size_t>(n));
                    continue;
                }
                Reap(ref, false, read);  // the output ended: the parse has ended
                continue;
            }
            const double elapsed = std::chrono::duration<double>(Clock::now() - ref.start).count();
            if (limitSeconds > 0 && elapsed > limitSeconds)
                Reap(ref, true, read);
        }
    }
}

std::string LastLine(const std::string& output) {
    std::string last = output;
    while (!last.empty() && last.back() == '\n')
        last.pop_back();
    return last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
}

Comparison Compare(const Reference& ref, double ourCpuMs) {
    Comparison c;
    if (!(ref.ok || ref.stopped) || ourCpuMs <= 0)
        return c;
    const std::string bound = ref.stopped ? ">" : "";
    char text[32];
    c.made = true;
    c.ratio = ref.cpuMs / ourCpuMs;
    std::snprintf(text, sizeof text, "%.0f", ref.cpuMs);
    c.cpu = bound + text;
    std::snprintf(text, sizeof text, "%.0fx", c.ratio);
    c.times = bound + text;
    std::snprintf(text, sizeof text, "%ld", ref.peakKiB);
    c.peak = bound + text;
    return c;
}

}  // namespace qmbench
