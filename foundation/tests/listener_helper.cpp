// A small program the process tests run as a real server stand-in.
//
//   listener_helper [--family v4|v6only|dual|none] [--port N] [--children N]
//                   [--chain N] [--sockets N] [--others-first] [--ignore-term]
//                   [--exit-after MS]
//                   [--life MS] [--ready FILE] [--report FILE]
//
// It listens on one TCP port (an unused one when --port is 0 or absent) on
// 127.0.0.1 (v4) or [::] (IPv6-only or dual-stack), opens --sockets minus
// one further listeners on unused IPv4 ports (before the measured one with
// --others-first), forks --children children that
// share the socket, or builds a --chain of N processes (each the child of
// the one before), and then writes FILE (atomically) with the lines
// "port P" and "pids P1 P2 ...", the first pid its own, so that a test waits
// for the file instead of sleeping. --report FILE records what the process
// inherited: its open descriptors, session, group and terminal, working directory and
// the variable QM_PROBE. Every process ends by itself after --life ms
// (default 120000) so that a failed test cannot leave it running.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string family = "v4";
    int port = 0;
    int children = 0;
    int chain = 1;
    int sockets = 1;
    bool ignoreTerm = false;
    bool othersFirst = false;
    long exitAfterMs = -1;
    long lifeMs = 120000;
    std::string ready;
    std::string report;
};

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "listener_helper: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (!f)
        Die("cannot write " + temp);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        Die("cannot rename " + temp);
}

void StartLifeTimer(long ms) {
    alarm(static_cast<unsigned>((ms + 999) / 1000));  // SIGALRM ends the process
}

int Listen(const std::string& family, int port) {
    const bool v6 = family != "v4";
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        Die("socket");
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc;
    if (v6) {
        const int v6Only = family == "v6only" ? 1 : 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0)
            Die("IPV6_V6ONLY");
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (rc != 0)
        Die("bind");
    if (listen(fd, 16) != 0)
        Die("listen");
    return fd;
}

int PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string LinkOf(const std::string& path) {
    char buffer[4096];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? std::string("?") : std::string(buffer, static_cast<size_t>(n));
}

void WriteReport(const std::string& path) {
    std::string text;
    text += "pid " + std::to_string(getpid()) + "\n";
    text += "sid " + std::to_string(getsid(0)) + "\n";
    text += "pgid " + std::to_string(getpgrp()) + "\n";
    // The controlling terminal: field 7 of /proc/self/stat, 0 for none.
    char stat[1024] = {};
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        const size_t n = std::fread(stat, 1, sizeof stat - 1, f);
        stat[n] = '\0';
        std::fclose(f);
    }
    int tty = -1;
    if (const char* close = std::strrchr(stat, ')'))
        std::sscanf(close + 2, "%*c %*d %*d %*d %d", &tty);
    text += "tty " + std::to_string(tty) + "\n";
    char cwd[4096];
    text += std::string("cwd ") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
    const char* probe = std::getenv("QM_PROBE");
    text += std::string("probe ") + (probe ? probe : "(unset)") + "\n";
    for (int i = 0; i < 3; ++i)
        text +=
            "stdio" + std::to_string(i) + " " + LinkOf("/proc/self/fd/" + std::to_string(i)) + "\n";
    // Descriptors beyond the standard three, except the one reading the list.
    DIR* dir = opendir("/proc/self/fd");
    const int own = dir ? dirfd(dir) : -1;
    text += "fds";
    while (dir) {
        const dirent* entry = readdir(dir);
        if (!entry)
            break;
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && fd > 2 && fd != own)
            text += " " + std::to_string(fd);
    }
    if (dir)
        closedir(dir);
    text += "\n";
    WriteFileAtomically(path, text);
}

[[noreturn]] void Idle(const Options& options) {
    if (options.exitAfterMs >= 0) {
        usleep(static_cast<useconds_t>(options.exitAfterMs * 1000));
        std::exit(0);
    }
    for (;;)
        pause();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--ignore-term") {
            options.ignoreTerm = true;
            continue;
        }
        if (arg == "--others-first") {
            options.othersFirst = true;
            continue;
        }
        ++i;
        if (arg == "--family")
            options.family = value;
        else if (arg == "--port")
            options.port = std::atoi(value);
        else if (arg == "--children")
            options.children = std::atoi(value);
        else if (arg == "--chain")
            options.chain = std::atoi(value);
        else if (arg == "--sockets")
            options.sockets = std::atoi(value);
        else if (arg == "--exit-after")
            options.exitAfterMs = std::atol(value);
        else if (arg == "--life")
            options.lifeMs = std::atol(value);
        else if (arg == "--ready")
            options.ready = value;
        else if (arg == "--report")
            options.report = value;
        else {
            std::fprintf(stderr, "listener_helper: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    StartLifeTimer(options.lifeMs);
    if (options.ignoreTerm)
        signal(SIGTERM, SIG_IGN);
    if (!options.report.empty())
        WriteReport(options.report);

    if (options.sockets > 1) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    int port = 0;
    if (options.family != "none") {
        // With --others-first the measured socket is the last descriptor.
        for (int i = 1; options.othersFirst && i < options.sockets; ++i)
            Listen("v4", 0);
        port = PortOf(Listen(options.family, options.port));
        for (int i = 1; !options.othersFirst && i < options.sockets; ++i)
            Listen("v4", 0);
    }

    std::vector<pid_t> pids = {getpid()};
    for (int i = 0; i < options.children; ++i) {
        const pid_t child = fork();
        if (child < 0)
            Die("fork");
        if (child == 0) {
            StartLifeTimer(options.lifeMs);
            Idle(options);
        }
        pids.push_back(child);
    }
    if (options.chain > 1) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            Die("pipe");
        for (int depth = 1; depth < options.chain; ++depth) {
            const pid_t child = fork();
            if (child < 0)
                Die("fork");
            if (child > 0)
                break;  // this process is a link of the chain; its child goes on
            StartLifeTimer(options.lifeMs);
            const pid_t self = getpid();
            if (write(pipeFds[1], &self, sizeof self) != sizeof self)
                Die("write");
        }
        if (pids.front() != getpid())
            Idle(options);
        close(pipeFds[1]);
        for (int depth = 1; depth < options.chain; ++depth) {
            pid_t descendant = 0;
            if (read(pipeFds[0], &descendant, sizeof descendant) != sizeof descendant)
                Die("read");
            pids.push_back(descendant);
        }
        close(pipeFds[0]);
    }

    if (!options.ready.empty()) {
        std::string text = "port " + std::to_string(port) + "\npids";
        for (pid_t pid : pids)
            text += " " + std::to_string(pid);
        WriteFileAtomically(options.ready, text + "\n");
    }
    Idle(options);
}
