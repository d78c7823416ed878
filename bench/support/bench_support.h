// What the benchmarks of the deployers on large configurations share:
// timing a stretch of this thread, medians, the files of a generated
// configuration, the benchmark's own folder, and a Python reference parser
// run in a child process at the lowest priority with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qmbench {

using Clock = std::chrono::steady_clock;

// Elapsed and CPU time of a stretch of this thread.
struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = CpuMs();

    static double CpuMs();
    double WallMs() const;
    double CpuMsNow() const { return CpuMs() - cpu; }
};

double Median(std::vector<double> v);

// Files of a configuration, relative to a folder, with their text.
using Tree = std::vector<std::pair<std::string, std::string>>;
size_t TreeBytes(const Tree& tree);
// Writes the file, creating the folders above it.
void WriteFile(const std::filesystem::path& path, const std::string& text);

// A fresh folder /tmp/quillmate-bench-NAME-XXXXXX; the deployer's logs and
// records go below it (QUILLMATE_HOME, VANTREL_HOME). Empty, with a message,
// when it cannot be made.
std::filesystem::path MakeBenchFolder(const std::string& name);
// This program's executable; empty when it cannot be read.
std::string SelfPath();
// The arguments as exec takes them: pointers into `args`, then nullptr.
std::vector<char*> ExecArguments(std::vector<std::string>& args);
// Starts `args` (args[0] a path) as a child with this process's output;
// its pid, or -1 when it cannot be started.
pid_t StartChild(std::vector<std::string> args);
// The peak resident memory of this process so far (KiB).
long PeakKiBOfThisProcess();

// Where the time of a run goes: piece, median CPU ms.
using Pieces = std::vector<std::pair<std::string, double>>;
// The line of the medians of whole runs (GetSitesInfo + ConfigCert).
void PrintRuns(const std::vector<double>& wallMs, const std::vector<double>& cpuMs);
// The breakdown, when there is one.
void PrintPieces(const Pieces& pieces);

// ---- The reference parser ----

// One parse by the reference parser in a child process.
struct Reference {
    pid_t pid = -1;
    int fd = -1;
    std::string output;  // its standard output and error
    Clock::time_point start;
    bool done = false, ok = false, stopped = false;
    // Its times: what it printed when ok, what it had used when stopped.
    double wallMs = 0, cpuMs = 0;
    long peakKiB = 0;
    std::vector<long> counts;  // what else it printed, e.g. the hosts it found
};

// Starts `python3 -c script args...` in a child process at the lowest
// priority, its output collected; `ref.pid` stays -1 when it cannot start.
void StartReference(Reference& ref, const char* script, const std::vector<std::string>& args);
// Waits for every reference parse, stopping those beyond `limitSeconds` (0:
// no limit). A parse that ended by itself with status 0 is ok when `read`
// finds its times (and counts) in its output.
void FinishReferences(std::vector<Reference>& refs, double limitSeconds,
                      const std::function<bool(Reference&)>& read);
// The last line of a parse's output (warnings may come first).
std::string LastLine(const std::string& output);

// The reference's columns of a summary row against our CPU time: its CPU
// ms, the ratio and its peak memory, each with ">" when it was stopped at
// the limit; "-" where it has none (it failed, or our time is 0).
struct Comparison {
    bool made = false;
    double ratio = 0;
    std::string cpu = "-", times = "-", peak = "-";
};
Comparison Compare(const Reference& ref, double ourCpuMs);

}  // namespace qmbench
