// Small helpers the end-to-end harness shares: whole text files, running a
// program to its end, looking at processes through /proc, and libcurl's
// one-time set-up.
#pragma once

#include <chrono>
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
