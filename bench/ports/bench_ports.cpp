// Measures GetListeningPid while a listener helper holds many listening
// sockets (5,000 by default, plus workers sharing the measured one), and the
// two halves of the lookup: the kernel's socket table (filtered to the port
// by the kernel) and the scan of every process's descriptors. For comparison
// it also times reading the whole /proc/net/tcp table, the alternative that
// grows with every socket on the machine.
//
//   bench_ports [sockets] [rounds]
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/host/posix/process_listen_posix.h"
#include "foundation/host/posix/process_posix.h"
#include "foundation/processmanager.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stats {
    double min, median, max;
};

template <class F>
Stats Measure(int rounds, F&& body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        body();
        times.push_back(MsSince(start));
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2], times.back()};
}

void Print(const char* what, const Stats& s) {
    std::printf("  %-44s min %8.3f ms  median %8.3f ms  max %8.3f ms\n", what, s.min, s.median,
                s.max);
}

size_t CountOpenDescriptors() {
    size_t count = 0;
    for (pid_t pid : qm::host::posix::ListProcesses()) {
        std::error_code ec;
        for (auto it =
                 std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            ++count;
        }
    }
    return count;
}

void MeasureAll(int port, int rounds, qm::ProcessId expected) {
    std::printf("  processes %zu, open descriptors %zu\n", qm::host::posix::ListProcesses().size(),
                CountOpenDescriptors());
    Print("GetListeningPid (whole operation)", Measure(rounds, [&] {
              qm::ProcessId pid = 0;
              qm::GetListeningPid(port, pid);
              if (pid != expected) {
                  std::fprintf(stderr, "wrong pid %u, expected %u\n", pid, expected);
                  std::exit(1);
              }
          }));
    std::vector<qm::host::posix::ListenSocket> sockets;
    Print("  socket table (sock_diag, port filter)",
          Measure(rounds, [&] { qm::host::posix::ListListeners(port, sockets); }));
    Print("  master search (/proc/*/fd)",
          Measure(rounds, [&] { qm::host::posix::FindMaster(sockets); }));
    Print("  for comparison: read all descriptors", Measure(rounds, [&] {
              for (pid_t pid : qm::host::posix::ListProcesses())
                  qm::host::posix::HoldsAnySocket(pid, {});
          }));
    Print("  for comparison: parse /proc/net/tcp", Measure(rounds, [&] {
              std::string text;
              qm::host::posix::ReadProcFile("/proc/net/tcp", text);
              std::vector<qm::host::posix::ListenSocket> all;
              qm::host::posix::ParseProcNetTcp(text, false, port, false, all);
          }));
}

}  // namespace

int main(int argc, char** argv) {
    const int socketCount = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
    char home[] = "/tmp/bench_ports.XXXXXX";
    if (!mkdtemp(home))
        return 1;
    setenv("QUILLMATE_HOME", home, 1);  // the run log of the measured calls
    const std::string ready = std::string(home) + "/ready";

    std::printf("bench_ports: one listener with 4 workers; %d rounds each\n", rounds);
    struct Case {
        int sockets;
        bool othersFirst;  // the measured socket is the master's last descriptor
    };
    for (const Case& c : {Case{1, false}, Case{socketCount, false}, Case{socketCount, true}}) {
        const std::string count = std::to_string(c.sockets);
        const pid_t helper = fork();
        if (helper == 0) {
            std::vector<std::string> args = {
                QM_LISTENER_HELPER, "--children", "4", "--sockets", count, "--ready", ready};
            if (c.othersFirst)
                args.push_back("--others-first");
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        std::string text;
        const auto start = Clock::now();
        while (MsSince(start) < 60000) {
            std::ifstream in(ready);
            if (in) {
                std::stringstream all;
                all << in.rdbuf();
                text = all.str();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double startup = MsSince(start);
        int port = 0;
        std::sscanf(text.c_str(), "port %d", &port);
        if (port == 0) {
            std::fprintf(stderr, "helper did not start\n");
            return 1;
        }
        std::printf("helper listening on %s socket(s)%s (ready after %.1f ms)\n", count.c_str(),
                    c.othersFirst ? ", the measured one opened last" : "", startup);
        MeasureAll(port, rounds, static_cast<qm::ProcessId>(helper));
        qm::KillProcessTree(static_cast<qm::ProcessId>(helper), 10000);
        waitpid(helper, nullptr, 0);
        std::filesystem::remove(ready);
    }
    std::filesystem::remove_all(home);
    return 0;
}
