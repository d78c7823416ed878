// Small helpers the end-to-end harness shares: whole text files, running a
// program to its end, looking at processes through /proc, and libcurl's
// one-time set-up.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qm::e2e {

// The whole file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
// Replaces the file through a temporary file beside it; throws on failure.
void WriteTextFile(const std::string& path, const std::string& text);

// Runs a program to its end (at most `limit`), standard output and error
// collected in `output`. Returns its exit code, 128 + signal when it was
// killed, -1 when it could not start.
int RunProgram(const std::vector<std::string>& argv, std::string& output,
               std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

// Starts a server program (`argv[0]` a path) with standard output and error
// appended to `outputFile`, standard input from /dev/null and none of the
// test's other descriptors (its sockets must not stay open in the server).
// Returns its pid; throws when it cannot start.
// A TCP connection to 127.0.0.1:port from the loopback address `source`
// (Linux answers on all of 127/8), as the file descriptor; -1 when it cannot
// be made. Lets a test be many clients at once.
int ConnectFrom(const std::string& source, int port);

int SpawnServer(const std::vector<std::string>& argv, const std::string& outputFile);
// Waits until the server writes its port into `readyFile` and returns it.
// Throws, naming `what` and giving `output()`, when it exits first (`pid`
// is then -1) or is not ready within `limit` (it is then stopped).
int WaitForReadyPort(int& pid, const std::string& readyFile, std::chrono::milliseconds limit,
                     const std::string& what, const std::function<std::string()>& output);
// Ends a server: SIGTERM, then SIGKILL after `limit`. Its exit code, 128 +
// SIGKILL when it had to be killed, 0 when there was none; `pid` becomes -1.
int StopServer(int& pid, std::chrono::milliseconds limit);

// Waits for a child of this process: its exit code (128 + signal when it
// was killed), -1 when it still runs after `limit`, -2 when it is no child.
int ChildExitWithin(int pid, std::chrono::milliseconds limit);

// Whether the process exists and has not ended (zombies count as ended).
bool ProcessAlive(int pid);
// The parent of a process, 0 when it cannot be read.
int ParentProcess(int pid);
// The executable a process runs, empty when it cannot be read.
std::string ExecutableOf(int pid);
// Every process id under /proc.
std::vector<int> AllProcessIds();

// curl_global_init, once per process.
void CurlGlobalInit();

}  // namespace qm::e2e
