#include "tests/support/e2e/harness_util.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct ProcInfo {
    int parent = 0;
    char state = '?';
};

bool ReadProcInfo(int pid, ProcInfo& info) {
    const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (stat.empty() || close == std::string::npos || close + 4 > stat.size())
        return false;
    info.state = stat[close + 2];
    info.parent = std::atoi(stat.c_str() + close + 4);
    return true;
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteTextFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace " + path + ": " + std::strerror(errno));
}

namespace {
// The null-terminated argument array posix_spawn takes.
std::vector<char*> ArgumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}
}  // namespace

int ConnectFrom(const std::string& source, int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(socket, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(socket);
        return -1;
    }
    return socket;
}

int SpawnServer(const std::vector<std::string>& argv, const std::string& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> args = ArgumentVector(argv);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

int WaitForReadyPort(int& pid, const std::string& readyFile, milliseconds limit,
                     const std::string& what, const std::function<std::string()>& output) {
    const auto end = steady_clock::now() + limit;
    for (;;) {
        const std::string ready = ReadTextFile(readyFile);
        if (!ready.empty())
            return std::atoi(ready.c_str());
        const int exit = ChildExitWithin(pid, milliseconds(0));
        if (exit != -1) {
            pid = -1;
            throw std::runtime_error(what + " exited with " + std::to_string(exit) + ":\n" +
                                     output());
        }
        if (steady_clock::now() >= end) {
            StopServer(pid, std::chrono::seconds(10));
            throw std::runtime_error(what + " did not become ready:\n" + output());
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

int StopServer(int& pid, milliseconds limit) {
    if (pid <= 0)
        return 0;
    kill(pid, SIGTERM);
    int exit = ChildExitWithin(pid, limit);
    if (exit == -1) {
        kill(pid, SIGKILL);
        ChildExitWithin(pid, limit);
        exit = 128 + SIGKILL;
    }
    pid = -1;
    return exit;
}

int RunProgram(const std::vector<std::string>& argv, std::string& output, milliseconds limit) {
    output.clear();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> args = ArgumentVector(argv);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        output = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    // A daemon started by the program may inherit the write end only if the
    // program passes it on; nginx closes its standard streams, so end of file
    // comes when the foreground process exits.
    const auto end = steady_clock::now() + limit;
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    char buffer[4096];
    int status = 0;
    bool exited = false;
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (!exited) {
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid)
                exited = true;
        }
        if (exited && n <= 0 && (n == 0 || errno == EAGAIN)) {
            // Drain what is left, then stop: a daemon may hold the pipe.
            while (read(pipeFds[0], buffer, sizeof buffer) > 0) {
            }
            break;
        }
        if (steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            exited = true;
            break;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    close(pipeFds[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ChildExitWithin(int pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR)
            return -2;
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ProcessAlive(int pid) {
    ProcInfo info;
    return pid > 0 && ReadProcInfo(pid, info) && info.state != 'Z' && info.state != 'X';
}

int ParentProcess(int pid) {
    ProcInfo info;
    return ReadProcInfo(pid, info) ? info.parent : 0;
}

std::string ExecutableOf(int pid) {
    std::error_code ec;
    const std::filesystem::path target =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : target.string();
}

std::vector<int> AllProcessIds() {
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    if (!dir)
        return pids;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end && *end == '\0' && pid > 0)
            pids.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    return pids;
}

void CurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace qm::e2e
