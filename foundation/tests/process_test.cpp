#include "foundation/processmanager.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files.h"
#include "foundation/host/posix/process_listen_posix.h"
#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"
#include "foundation/hostfacts.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kHelper = QM_LISTENER_HELPER;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Waits for a file the helper writes when it is ready.
std::string WaitForFile(const std::string& path, int timeoutMs = 10000) {
    const auto start = Clock::now();
    std::string bytes;
    while (MsSince(start) < timeoutMs) {
        if (ReadFileBytes(WideFromUtf8(path), bytes))
            return bytes;
        std::this_thread::sleep_for(milliseconds(5));
    }
    ADD_FAILURE() << "no " << path << " within " << timeoutMs << " ms";
    return {};
}

std::map<std::string, std::string> ParseLines(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        values[line.substr(0, blank)] = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
    return values;
}

bool WaitUntilGone(pid_t pid, int timeoutMs = 5000) {
    const auto start = Clock::now();
    while (MsSince(start) < timeoutMs) {
        if (IsProcessGone(static_cast<ProcessId>(pid)))
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

// Collects ended children (helpers started detached come back to this
// process, which is their subreaper).
void ReapEnded() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

void KillAndReap(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    WaitUntilGone(pid);
    waitpid(pid, nullptr, WNOHANG);
    ReapEnded();
}

// One run of listener_helper as a direct child; killed with all it forked
// when the object goes away.
class Helper {
public:
    explicit Helper(std::vector<std::string> args) {
        ready_ = dir_.narrow() + "ready";
        args.insert(args.begin(), kHelper);
        args.push_back("--ready");
        args.push_back(ready_);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto values = ParseLines(WaitForFile(ready_));
        port_ = values.count("port") ? std::atoi(values.at("port").c_str()) : 0;
        std::istringstream pids(values.count("pids") ? values.at("pids") : "");
        pid_t p;
        while (pids >> p)
            pids_.push_back(p);
    }
    ~Helper() {
        for (pid_t p : pids_)
            kill(p, SIGKILL);
        KillAndReap(pid_);
        for (pid_t p : pids_)
            KillAndReap(p);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::vector<pid_t>& pids() const { return pids_; }

private:
    test::TempDir dir_;
    std::string ready_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::vector<pid_t> pids_;
};

bool Ipv6Available() {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

int UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

ProcessId ListeningPid(int port) {
    ProcessId pid = 12345;
    EXPECT_NO_THROW(GetListeningPid(port, pid));
    return pid;
}

std::string LogText() {
    std::string text;
    ReadFileBytes(CurrentLogFilePath(), text);
    return text;
}

template <class F>
std::string FailureText(F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

class ProcessEnvironment : public testing::Environment {
public:
    // Detached programs come back to this process when their starter
    // exits, so the tests can collect them instead of leaving zombies.
    void SetUp() override { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void TearDown() override { ReapEnded(); }
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new ProcessEnvironment);

// ---- Command-line texts ----

TEST(CommandLine, SplitsByTheRulesOfWindowsPrograms) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(SplitCommandLine(u"  nginx  -s\tstop  "), (V{u"nginx", u"-s", u"stop"}));
    EXPECT_EQ(SplitCommandLine(u"\"C:\\Program Files\\Apache\\bin\\httpd.exe\" -k restart"),
              (V{u"C:\\Program Files\\Apache\\bin\\httpd.exe", u"-k", u"restart"}));
    EXPECT_EQ(SplitCommandLine(u"/opt/web\\ server"), (V{u"/opt/web\\", u"server"}));
    EXPECT_EQ(SplitCommandLine(u"a\\\\\\\"b"), (V{u"a\\\"b"}));      // a\\\"b -> a\"b
    EXPECT_EQ(SplitCommandLine(u"\"a\\\\\" b"), (V{u"a\\", u"b"}));  // "a\\" b -> a\ , b
    EXPECT_EQ(SplitCommandLine(u"\"\" x"), (V{u"", u"x"}));
    EXPECT_EQ(SplitCommandLine(u"\"say \"\"hi\"\"\""), (V{u"say \"hi\""}));
    EXPECT_EQ(SplitCommandLine(u"pre\"fix mid\"post"), (V{u"prefix midpost"}));
    EXPECT_TRUE(SplitCommandLine(u" \t ").empty());
}

TEST(CommandLine, QuotingSurvivesSplitting) {
    const std::vector<std::u16string> arguments = {
        u"plain",         u"",          u"with blank", u"C:\\dir\\",
        u"quote\"inside", u"trail\\\\", u"\\\"",       u"tab\there"};
    EXPECT_EQ(SplitCommandLine(JoinCommandLine(arguments)), arguments);
    EXPECT_EQ(QuoteCommandLineArgument(u"plain"), u"plain");
    EXPECT_EQ(QuoteCommandLineArgument(u"C:\\dir\\ x\\"), u"\"C:\\dir\\ x\\\\\"");
}

// ---- Listening ports ----

TEST(ListeningPid, FindsIpv4ListenerAndReportsNobodyAsZero) {
    Helper server({"--family", "v4"});
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(ListeningPid(server.port()), static_cast<ProcessId>(server.pid()));

    EXPECT_EQ(ListeningPid(UnusedPort()), 0u);
    EXPECT_EQ(ListeningPid(0), 0u);
    EXPECT_EQ(ListeningPid(70000), 0u);
}

TEST(ListeningPid, ReturnsTheMasterOfAForkedListener) {
    Helper server({"--children", "3"});
    ASSERT_EQ(server.pids().size(), 4u);
    EXPECT_EQ(ListeningPid(server.port()), static_cast<ProcessId>(server.pid()));
    // The children hold the very same socket, so they were candidates too.
    std::vector<host::posix::ListenSocket> sockets;
    ASSERT_TRUE(host::posix::ListListeners(server.port(), sockets));
    ASSERT_EQ(sockets.size(), 1u);
    for (pid_t p : server.pids())
        EXPECT_TRUE(host::posix::HoldsAnySocket(p, {sockets[0].inode})) << p;
    EXPECT_FALSE(host::posix::HoldsAnySocket(getpid(), {sockets[0].inode}));
}

TEST(ListeningPid, CountsDualStackButNotIpv6OnlyListeners) {
    if (!Ipv6Available())
        GTEST_SKIP() << "no IPv6 on this machine";
    {
        Helper dual({"--family", "dual"});
        EXPECT_EQ(ListeningPid(dual.port()), static_cast<ProcessId>(dual.pid()));
    }
    Helper v6only({"--family", "v6only"});
    EXPECT_EQ(ListeningPid(v6only.port()), 0u);
    // An IPv4 listener beside the IPv6-only one on the same port is found.
    Helper v4({"--family", "v4", "--port", std::to_string(v6only.port())});
    EXPECT_EQ(ListeningPid(v6only.port()), static_cast<ProcessId>(v4.pid()));
}

TEST(ListeningPid, MasterIsTheHolderWhoseParentHoldsNothing) {
    // pid -> parent; holders are the pids listed in `holding`.
    auto climb = [](pid_t from, std::map<pid_t, pid_t> parents, std::vector<pid_t> holding) {
        return host::posix::ClimbToMaster(
            from,
            [&](pid_t p) { return std::find(holding.begin(), holding.end(), p) != holding.end(); },
            [&](pid_t p) { return parents.count(p) ? parents[p] : 0; });
    };
    // A worker found first leads to its master, whose parent holds nothing.
    EXPECT_EQ(climb(11, {{11, 10}, {10, 1}, {1, 0}}, {10, 11, 12}), 10);
    // Ids wrap around: a worker may have a lower id than its master.
    EXPECT_EQ(climb(3, {{3, 900}, {900, 1}}, {3, 900}), 900);
    // A chain of holders: the top one.
    EXPECT_EQ(climb(7, {{7, 6}, {6, 5}, {5, 1}}, {5, 6, 7}), 5);
    // The system's first process holding the socket too (a container whose
    // first process is the server) is the master.
    EXPECT_EQ(climb(40, {{40, 1}, {1, 0}}, {1, 40}), 1);
    // A parent table that loops does not hang.
    EXPECT_GT(climb(8, {{8, 9}, {9, 8}}, {8, 9}), 0);
    EXPECT_EQ(climb(0, {}, {}), 0);
}

TEST(ListeningPid, ProcNetTableFallback) {
    const std::string v4 =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
        "0 1111 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:0050 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0        "
        "0 2222 1 0000000000000000 20 4 30 10 -1\n"
        "   2: 00000000:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        "
        "0 3333 1 0000000000000000 100 0 0 10 0\n";
    std::vector<host::posix::ListenSocket> sockets;
    host::posix::ParseProcNetTcp(v4, false, 80, false, sockets);
    ASSERT_EQ(sockets.size(), 1u);  // the connected row on port 80 is no listener
    EXPECT_EQ(sockets[0].inode, 1111u);
    EXPECT_TRUE(sockets[0].acceptsIpv4);

    const std::string v6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000000000000:0050 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 4444 1 0\n"
        "   1: 00000000000000000000000001000000:0050 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 5555 1 0\n"
        "   2: 0000000000000000FFFF00000100007F:0050 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000     0        0 6666 1 0\n";
    sockets.clear();
    host::posix::ParseProcNetTcp(v6, true, 80, false, sockets);
    ASSERT_EQ(sockets.size(), 3u);
    EXPECT_TRUE(sockets[0].acceptsIpv4);   // [::]
    EXPECT_FALSE(sockets[1].acceptsIpv4);  // [::1]
    EXPECT_TRUE(sockets[2].acceptsIpv4);   // [::ffff:127.0.0.1]
    sockets.clear();
    host::posix::ParseProcNetTcp(v6, true, 80, true, sockets);  // system default IPv6-only
    EXPECT_FALSE(sockets[0].acceptsIpv4);
}

// ---- What a process is ----

TEST(ProcessFacts, ImagePathAndLaunchOfARunningProcess) {
    test::TempDir dir;
    const std::string ready = dir.narrow() + "ready";
    const std::string probe = "QM_PROBE=value with blanks";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.narrow().c_str()) != 0)
            _exit(126);
        char* argv[] = {const_cast<char*>("renamed-helper"), const_cast<char*>("--family"),
                        const_cast<char*>("none"),           const_cast<char*>("--ready"),
                        const_cast<char*>(ready.c_str()),    nullptr};
        char* envp[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("B=2"), nullptr};
        execve(kHelper.c_str(), argv, envp);
        _exit(127);
    }
    WaitForFile(ready);
    EXPECT_EQ(Utf8FromWide(CPathTool::ProcessPidToPath(static_cast<ProcessId>(pid))),
              std::filesystem::canonical(kHelper).string());
    EXPECT_FALSE(IsProcessGone(static_cast<ProcessId>(pid)));

    const auto launch = ReadProcessLaunch(static_cast<ProcessId>(pid));
    ASSERT_TRUE(launch.has_value());
    EXPECT_EQ(launch->arguments,
              (std::vector<std::u16string>{u"renamed-helper", u"--family", u"none", u"--ready",
                                           WideFromUtf8(ready)}));
    EXPECT_EQ(Utf8FromWide(launch->program), std::filesystem::canonical(kHelper).string());
    EXPECT_EQ(Utf8FromWide(launch->directory) + "/", dir.narrow());
    EXPECT_TRUE(launch->environmentKnown);
    EXPECT_EQ(launch->environment, (std::vector<std::u16string>{WideFromUtf8(probe), u"B=2"}));
    KillAndReap(pid);
    EXPECT_FALSE(ReadProcessLaunch(static_cast<ProcessId>(pid)).has_value());
}

TEST(ProcessFacts, GoneProcessesHaveNoPath) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    // Ended but not yet collected: gone, although /proc still lists it.
    ASSERT_TRUE(WaitUntilGone(pid));
    EXPECT_TRUE(IsProcessGone(static_cast<ProcessId>(pid)));
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(IsProcessGone(static_cast<ProcessId>(pid)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(CPathTool::ProcessPidToPath(static_cast<ProcessId>(pid)), u"");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("pid: " + std::to_string(pid)),
              std::string::npos);
    EXPECT_TRUE(IsProcessGone(0));
    EXPECT_TRUE(IsProcessGone(0xFFFFFFF0u));
    EXPECT_FALSE(IsProcessGone(static_cast<ProcessId>(getpid())));
    EXPECT_EQ(CPathTool::ProcessPidToPath(static_cast<ProcessId>(getpid())), GetProgramPath());
}

TEST(ProcessFacts, ServiceUnitFromCgroup) {
    using host::posix::ServiceUnitFromCgroup;
    EXPECT_EQ(ServiceUnitFromCgroup("0::/system.slice/nginx.service\n"), "nginx.service");
    EXPECT_EQ(ServiceUnitFromCgroup("0::/system.slice/apache2.service/worker\n"),
              "apache2.service");
    EXPECT_EQ(ServiceUnitFromCgroup("12:pids:/x\n1:name=systemd:/system.slice/tomcat10.service\n"
                                    "0::/\n"),
              "tomcat10.service");
    EXPECT_EQ(ServiceUnitFromCgroup("0::/user.slice/user-1000.slice/session-3.scope\n"), "");
    EXPECT_EQ(ServiceUnitFromCgroup(
                  "0::/user.slice/user-1000.slice/user@1000.service/app.slice/x.service\n"),
              "");
    EXPECT_EQ(ServiceUnitFromCgroup("0::/\n9:name=systemd:/\n"), "");
    EXPECT_EQ(ServiceUnitFromCgroup("garbage"), "");
    // No systemd here (as in CI): nothing runs as a service.
    struct stat st {};
    if (stat("/run/systemd/system", &st) != 0) {
        EXPECT_FALSE(IsServiceProcess(static_cast<ProcessId>(getpid())));
        EXPECT_EQ(ServiceNameOfProcess(static_cast<ProcessId>(getpid())), u"");
    }
}

// ---- Killing process trees ----

TEST(KillProcessTree, KillsAChainOfThree) {
    Helper tree({"--family", "none", "--chain", "3"});
    ASSERT_EQ(tree.pids().size(), 3u);
    const auto start = Clock::now();
    EXPECT_NO_THROW(KillProcessTree(static_cast<ProcessId>(tree.pid()), 10000));
    EXPECT_LT(MsSince(start), 3000);
    for (pid_t p : tree.pids())
        EXPECT_TRUE(WaitUntilGone(p, 2000)) << p;
}

TEST(KillProcessTree, KillsAListenerThatIgnoresTermination) {
    Helper server({"--ignore-term", "--children", "2"});
    kill(server.pid(), SIGTERM);
    EXPECT_FALSE(WaitUntilGone(server.pid(), 200));  // the polite request is ignored
    EXPECT_NO_THROW(KillProcessTree(static_cast<ProcessId>(server.pid()), 10000));
    for (pid_t p : server.pids())
        EXPECT_TRUE(WaitUntilGone(p, 2000)) << p;
    EXPECT_EQ(ListeningPid(server.port()), 0u);
}

TEST(KillProcessTree, EndedProcessSucceedsAtTheFirstCheck) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    const auto start = Clock::now();
    EXPECT_NO_THROW(KillProcessTree(static_cast<ProcessId>(pid), 10000));
    EXPECT_LT(MsSince(start), 500);  // no sleep before the first check
}

TEST(KillProcessTree, RefusesIdsThatWouldTakeTheSystemOrUsDown) {
    for (ProcessId pid : {0u, 1u, static_cast<ProcessId>(getpid()), 0x80000000u}) {
        EXPECT_EQ(FailureText([&] { KillProcessTree(pid, 1000); }), "undefined") << pid;
    }
    EXPECT_FALSE(IsProcessGone(1));
}

TEST(KillProcessTree, ProcessThatCannotBeKilledTimesOut) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the killer as another user";
    Helper server({"--family", "none"});
    // An unprivileged killer may not signal root's process: the kill goes
    // unnoticed and only the time limit ends the wait.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const auto start = Clock::now();
    const pid_t killer = fork();
    if (killer == 0) {
        close(pipeFds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const std::string text =
            FailureText([&] { KillProcessTree(static_cast<ProcessId>(server.pid()), 1500); });
        const ssize_t n = write(pipeFds[1], text.data(), text.size());
        _exit(n > 0 ? 0 : 4);
    }
    close(pipeFds[1]);
    char buffer[128] = {};
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer - 1);
    close(pipeFds[0]);
    int status = 0;
    waitpid(killer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "stop process timeout");
    EXPECT_GE(MsSince(start), 1500);
    EXPECT_FALSE(IsProcessGone(static_cast<ProcessId>(server.pid())));
}

// ---- Running and starting programs ----

std::u16string HelperCommand(const std::vector<std::string>& args) {
    std::vector<std::u16string> wide = {WideFromUtf8(kHelper)};
    for (const auto& a : args)
        wide.push_back(WideFromUtf8(a));
    return JoinCommandLine(wide);
}

TEST(RunAndWait, RunsInTheCallersDirectoryOrTheGivenOne) {
    test::TempDir dir;
    const std::string report = dir.narrow() + "with blank/report";
    ASSERT_TRUE(MakeDirectoryTree(dir / u"with blank"));
    const std::u16string command =
        HelperCommand({"--family", "none", "--report", report, "--exit-after", "0"});
    const auto start = Clock::now();
    EXPECT_TRUE(RunAndWait(u"", command, 10000));
    EXPECT_LT(MsSince(start), 5000);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    auto values = ParseLines(WaitForFile(report));
    EXPECT_EQ(values["cwd"], cwd);
    // No terminal: another session than ours, in which it can never gain
    // one, and nothing of ours but null streams.
    EXPECT_EQ(values["tty"], "0");
    EXPECT_NE(values["sid"], std::to_string(getsid(0)));
    EXPECT_NE(values["sid"], values["pid"]);
    EXPECT_EQ(values["stdio0"], "/dev/null");
    EXPECT_EQ(values["fds"], "");

    ASSERT_EQ(std::remove(report.c_str()), 0);
    EXPECT_TRUE(RunAndWait(dir.path(), command, 10000));
    values = ParseLines(WaitForFile(report));
    EXPECT_EQ(values["cwd"] + "/", dir.narrow());
}

TEST(RunAndWait, TimeOutLeavesTheProgramRunning) {
    test::TempDir dir;
    const std::string ready = dir.narrow() + "ready";
    const std::u16string command = HelperCommand({"--family", "none", "--ready", ready});
    const auto start = Clock::now();
    EXPECT_TRUE(RunAndWait(u"", command, 300));
    EXPECT_GE(MsSince(start), 300);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_NE(LogText().find("[Warn] CreateProcess wait timeout!param is " + Utf8FromWide(command) +
                             "\n"),
              std::string::npos);
    const pid_t pid = std::atoi(ParseLines(WaitForFile(ready))["pids"].c_str());
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(IsProcessGone(static_cast<ProcessId>(pid)));
    KillAndReap(pid);
}

TEST(RunAndWait, WaitingHoldsNoPipeOfOtherThreads) {
    // Another thread's pipe, open while the program is started: its reader
    // must see the end as soon as the writer closes it, not when the wait ends.
    int otherPipe[2];
    ASSERT_EQ(pipe(otherPipe), 0);
    test::TempDir dir;
    const std::string ready = dir.narrow() + "ready";
    std::thread runner([&] {
        EXPECT_TRUE(RunAndWait(
            u"", HelperCommand({"--family", "none", "--ready", ready, "--exit-after", "1500"}),
            10000));
    });
    WaitForFile(ready);
    const auto start = Clock::now();
    close(otherPipe[1]);
    char byte;
    EXPECT_EQ(read(otherPipe[0], &byte, 1), 0);
    EXPECT_LT(MsSince(start), 1000);
    close(otherPipe[0]);
    runner.join();
}

TEST(RunAndWait, ProgramsThatCannotStart) {
    test::TempDir dir;
    EXPECT_FALSE(RunAndWait(u"", u"/nonexistent/program --x", 1000));
    EXPECT_FALSE(RunAndWait(u"", u"no-such-program-on-the-path", 1000));
    EXPECT_FALSE(RunAndWait(dir / u"missing", HelperCommand({"--family", "none"}), 1000));
    EXPECT_FALSE(RunAndWait(u"", u"", 1000));
    // A file that is not executable.
    test::WriteAll(dir / u"text", "hello");
    EXPECT_FALSE(RunAndWait(u"", dir / u"text", 1000));
    EXPECT_NE(LogText().find("RunAndWait: cannot start"), std::string::npos);
}

TEST(RunAndCapture, ExitCodeAndBothStreams) {
    std::string output;
    int exitCode = 0;
    ASSERT_TRUE(RunAndCapture({u"/bin/sh", u"-c", u"echo out; echo err >&2; exit 3"}, 10000, output,
                              exitCode));
    EXPECT_EQ(exitCode, 3);
    EXPECT_NE(output.find("out"), std::string::npos);
    EXPECT_NE(output.find("err"), std::string::npos);

    ASSERT_TRUE(RunAndCapture({u"/bin/sh", u"-c", u"exit 0"}, 10000, output, exitCode));
    EXPECT_EQ(exitCode, 0);

    const auto start = Clock::now();
    EXPECT_FALSE(RunAndCapture({u"/bin/sh", u"-c", u"sleep 30"}, 200, output, exitCode));
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_FALSE(RunAndCapture({u"/nonexistent/program"}, 1000, output, exitCode));
    EXPECT_NE(output.find("not found"), std::string::npos);
    EXPECT_FALSE(RunAndCapture({}, 1000, output, exitCode));
}

TEST(ShellOpen, StartsDetachedWithoutOurDescriptors) {
    test::TempDir dir;
    // A descriptor this program leaves inheritable must not reach the program.
    int leaked[2];
    ASSERT_EQ(pipe(leaked), 0);
    const std::string report = dir.narrow() + "report";
    const std::string ready = dir.narrow() + "ready";
    const int result =
        ShellOpen(WideFromUtf8(kHelper),
                  JoinCommandLine({u"--family", u"none", u"--report", WideFromUtf8(report),
                                   u"--ready", WideFromUtf8(ready)}),
                  dir.path(), WindowMode::Hidden);
    close(leaked[0]);
    close(leaked[1]);
    EXPECT_GT(result, kShellOpenFailureMax);
    auto values = ParseLines(WaitForFile(report));
    WaitForFile(ready);
    const pid_t pid = std::atoi(values["pid"].c_str());
    EXPECT_EQ(values["tty"], "0");
    EXPECT_NE(values["sid"], std::to_string(getsid(0)));
    EXPECT_NE(values["pgid"], std::to_string(getpgrp()));
    EXPECT_EQ(values["cwd"] + "/", dir.narrow());
    EXPECT_EQ(values["fds"], "");
    EXPECT_EQ(values["stdio1"], "/dev/null");
    EXPECT_NE(ReadProcessLaunch(static_cast<ProcessId>(pid))->arguments.size(), 0u);
    KillAndReap(pid);
}

TEST(ShellOpen, FindsProgramsInTheDirectoryAndReportsFailures) {
    test::TempDir dir;
    ASSERT_TRUE(MakeDirectoryTree(dir / u"bin"));
    ASSERT_TRUE(std::filesystem::copy_file(kHelper, dir.narrow() + "bin/server"));
    const std::string ready = dir.narrow() + "ready";
    // A relative name with a folder is taken from the working directory.
    EXPECT_GT(ShellOpen(u"bin/server", u"--family none --ready " + WideFromUtf8(ready), dir.path(),
                        WindowMode::Hidden),
              kShellOpenFailureMax);
    pid_t pid = std::atoi(ParseLines(WaitForFile(ready))["pids"].c_str());
    KillAndReap(pid);
    // A bare name is looked up in the working directory first.
    ASSERT_EQ(std::remove(ready.c_str()), 0);
    EXPECT_GT(ShellOpen(u"server", u"--family none --ready " + WideFromUtf8(ready), dir / u"bin",
                        WindowMode::Hidden),
              kShellOpenFailureMax);
    pid = std::atoi(ParseLines(WaitForFile(ready))["pids"].c_str());
    KillAndReap(pid);

    EXPECT_EQ(ShellOpen(u"no-such-program", u"", dir.path(), WindowMode::Hidden),
              kShellOpenFileNotFound);
    EXPECT_EQ(ShellOpen(u"server", u"", dir / u"missing", WindowMode::Hidden),
              kShellOpenPathNotFound);
    EXPECT_EQ(ShellOpen(u"", u"", u"", WindowMode::Hidden), kShellOpenFileNotFound);
    if (host::posix::FindExecutable("xdg-open", {}).empty()) {
        test::WriteAll(dir / u"page.html", "<p>");
        EXPECT_EQ(ShellOpen(dir / u"page.html", u"", u"", WindowMode::Shown),
                  kShellOpenNoAssociation);
        EXPECT_EQ(ShellOpen(u"https://example.invalid/", u"", u"", WindowMode::Shown),
                  kShellOpenNoAssociation);
    }
}

TEST(StartDetached, RestartsAProcessExactlyAsItWasStarted) {
    test::TempDir dir;
    const std::string report = dir.narrow() + "report";
    const std::string ready = dir.narrow() + "ready";
    ProcessLaunch first;
    first.program = WideFromUtf8(kHelper);
    first.arguments = {u"server: master",  u"--family",          u"none",
                       u"--report",        WideFromUtf8(report), u"--ready",
                       WideFromUtf8(ready)};
    first.directory = dir.path();
    first.environment = {u"QM_PROBE=first start", u"PATH=/usr/bin:/bin"};
    first.environmentKnown = true;
    ProcessId pid = 0;
    ASSERT_GT(StartDetached(first, &pid), kShellOpenFailureMax);
    ASSERT_NE(pid, 0u);
    WaitForFile(ready);
    EXPECT_EQ(ParseLines(WaitForFile(report))["pid"], std::to_string(pid));

    const auto launch = ReadProcessLaunch(pid);
    ASSERT_TRUE(launch.has_value());
    KillAndReap(static_cast<pid_t>(pid));
    ASSERT_EQ(std::remove(report.c_str()), 0);
    ASSERT_EQ(std::remove(ready.c_str()), 0);

    ProcessId again = 0;
    ASSERT_GT(StartDetached(*launch, &again), kShellOpenFailureMax);
    WaitForFile(ready);
    const auto values = ParseLines(WaitForFile(report));
    EXPECT_EQ(values.at("pid"), std::to_string(again));
    EXPECT_EQ(values.at("probe"), "first start");
    EXPECT_EQ(values.at("cwd") + "/", dir.narrow());
    const auto relaunched = ReadProcessLaunch(again);
    ASSERT_TRUE(relaunched.has_value());
    EXPECT_EQ(relaunched->arguments, launch->arguments);
    KillAndReap(static_cast<pid_t>(again));

    ProcessLaunch missing;
    missing.program = u"/nonexistent/server";
    EXPECT_EQ(StartDetached(missing, &again), kShellOpenFileNotFound);
    EXPECT_EQ(again, 0u);
    ProcessLaunch badDirectory = first;
    badDirectory.directory = dir / u"missing";
    EXPECT_EQ(StartDetached(badDirectory), kShellOpenPathNotFound);
}

// ---- Services ----

TEST(StopService, UnknownServiceGivesTheStopServiceText) {
    const auto start = Clock::now();
    const std::string text =
        FailureText([] { CProcessManager::StopService(u"qm-no-such-unit-4711", 5000); });
    EXPECT_EQ(text.rfind("CProcessManager::StopService - ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
    struct stat st {};
    if (stat("/run/systemd/system", &st) != 0) {
        // Without systemd (CI, containers) the answer comes at once.
        EXPECT_EQ(text,
                  "CProcessManager::StopService - OpenSCManager failed (systemd is not "
                  "running)\n");
        EXPECT_LT(MsSince(start), 1000);
    } else {
        EXPECT_NE(text.find("OpenService failed"), std::string::npos) << text;
    }
    EXPECT_NE(LogText().find("[Error] CProcessManager::StopService : " + text), std::string::npos);
}

// A service manager whose service changes state as the test scripts it.
class ScriptedManager : public host::ServiceManager {
public:
    using State = host::ServiceStatus::State;
    std::vector<State> states;  // one per query; the last repeats
    int waitHintMs = 0;
    int queries = 0;
    int stopRequests = 0;

    host::ServiceStatus Query(std::u16string_view) override {
        const size_t i = std::min<size_t>(static_cast<size_t>(queries), states.size() - 1);
        ++queries;
        return {states[i], waitHintMs};
    }
    void RequestStop(std::u16string_view) override { ++stopRequests; }
};

TEST(StopService, StopsOnlyWhatIsNotStoppingAlready) {
    using State = ScriptedManager::State;
    ScriptedManager stopped;
    stopped.states = {State::Stopped};
    host::StopServiceWith(stopped, u"svc", 1000);
    EXPECT_EQ(stopped.stopRequests, 0);
    EXPECT_EQ(stopped.queries, 1);

    ScriptedManager running;
    running.states = {State::Running, State::Running, State::Stopped};
    host::StopServiceWith(running, u"svc", 5000);
    EXPECT_EQ(running.stopRequests, 1);
    EXPECT_EQ(running.queries, 3);

    ScriptedManager pending;  // someone else is stopping it: wait, do not ask again
    pending.states = {State::StopPending, State::Stopped};
    const auto start = Clock::now();
    host::StopServiceWith(pending, u"svc", 5000);
    EXPECT_EQ(pending.stopRequests, 0);
    EXPECT_GE(MsSince(start), 1000);  // pending states are polled at most once a second
}

TEST(StopService, TimeOutsKeepTheirTexts) {
    using State = ScriptedManager::State;
    ScriptedManager stuck;
    stuck.states = {State::Running};
    EXPECT_EQ(FailureText([&] { host::StopServiceWith(stuck, u"svc", 300); }),
              "CProcessManager::StopService - Wait timed out\n");
    EXPECT_EQ(stuck.stopRequests, 1);
    EXPECT_GE(stuck.queries, 3);  // polled, not spun, with no wait hint

    ScriptedManager pendingForever;
    pendingForever.states = {State::StopPending};
    EXPECT_EQ(FailureText([&] { host::StopServiceWith(pendingForever, u"svc", 300); }),
              "CProcessManager::StopService - Service stop timed out.\n");
    EXPECT_EQ(pendingForever.stopRequests, 0);
}

}  // namespace
}  // namespace qm
