// The Windows process backend against the real system (or Wine): helper
// tools run with a time limit, the TCP owner table, process trees and the
// service control manager.
#include <winsock2.h>

#include <windows.h>

#include <tlhelp32.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files.h"
#include "foundation/host/process_host.h"
#include "foundation/interrupts.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
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

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto start = Clock::now();
    while (!done()) {
        if (ElapsedMs(start) > timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::vector<ProcessId> ChildrenOf(ProcessId parent) {
    std::vector<ProcessId> children;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent)
            children.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return children;
}

std::set<ProcessId> ProcessesNamed(const wchar_t* name) {
    std::set<ProcessId> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name) == 0)
            found.insert(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

std::u16string OurExecutable() {
    std::u16string path;
    int errorNumber = 0;
    host::ProcessImagePath(host::CurrentProcessId(), path, errorNumber);
    return path;
}

// ---- Helper tools ----

TEST(RunCapturedWindows, CollectsOutput) {
    std::string output;
    int exitCode = -1;
    ASSERT_TRUE(host::RunCaptured({u"cmd.exe", u"/c", u"echo", u"hello"}, 30000, output, exitCode))
        << output;
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(output.find("hello"), std::string::npos) << output;
}

TEST(RunCapturedWindows, MergesStandardError) {
    std::string output;
    int exitCode = -1;
    ASSERT_TRUE(host::RunCaptured({u"cmd.exe", u"/c", u"echo oops 1>&2"}, 30000, output, exitCode))
        << output;
    EXPECT_NE(output.find("oops"), std::string::npos) << output;
}

TEST(RunCapturedWindows, PassesTheExitCodeOn) {
    std::string output;
    int exitCode = -1;
    ASSERT_TRUE(host::RunCaptured({u"cmd.exe", u"/c", u"exit 3"}, 30000, output, exitCode))
        << output;
    EXPECT_EQ(exitCode, 3);
}

TEST(RunCapturedWindows, SetsTheGivenEnvironmentOverOurs) {
    const std::vector<std::u16string> environment = {u"QM_PROCESS_TEST=forty-two"};
    std::string output;
    int exitCode = -1;
    ASSERT_TRUE(host::RunCaptured({u"cmd.exe", u"/c", u"echo %QM_PROCESS_TEST%/%SystemRoot%"},
                                  30000, output, exitCode, &environment))
        << output;
    EXPECT_NE(output.find("forty-two/"), std::string::npos) << output;
    // Our own variables stay: without SystemRoot many programs fail.
    EXPECT_EQ(output.find("%SystemRoot%"), std::string::npos) << output;
}

TEST(RunCapturedWindows, KillsAtTheTimeOut) {
    const std::set<ProcessId> before = ProcessesNamed(L"ping.exe");
    std::string output;
    int exitCode = -1;
    const auto start = Clock::now();
    EXPECT_FALSE(
        host::RunCaptured({u"cmd.exe", u"/c", u"ping -n 30 127.0.0.1"}, 1000, output, exitCode));
    EXPECT_LT(ElapsedMs(start), 15000);
    EXPECT_NE(output.find("killed after 1000 ms"), std::string::npos) << output;
    // The shell's child goes with it.
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (ProcessId pid : ProcessesNamed(L"ping.exe")) {
                if (!before.count(pid))
                    return false;
            }
            return true;
        },
        5000));
}

TEST(RunCapturedWindows, DoesNotWaitForWhatTheToolLeftRunning) {
    const std::set<ProcessId> before = ProcessesNamed(L"ping.exe");
    std::string output;
    int exitCode = -1;
    const auto start = Clock::now();
    // The background ping inherits the pipe and holds it while it runs.
    EXPECT_TRUE(
        host::RunCaptured({u"cmd.exe", u"/c", u"start /b ping -n 30 127.0.0.1 >NUL & echo started"},
                          20000, output, exitCode))
        << output;
    EXPECT_LT(ElapsedMs(start), 10000);
    EXPECT_NE(output.find("started"), std::string::npos) << output;
    EXPECT_EQ(exitCode, 0);
    for (ProcessId pid : ProcessesNamed(L"ping.exe")) {
        if (!before.count(pid))
            host::KillProcessTreeNow(pid);
    }
}

TEST(RunCapturedWindows, MissingProgramIsNotFound) {
    std::string output;
    int exitCode = -1;
    EXPECT_FALSE(host::RunCaptured({u"qm-no-such-program-here.exe"}, 5000, output, exitCode));
    EXPECT_NE(output.find("not found"), std::string::npos) << output;
}

TEST(RunCapturedWindows, RunsBatchFilesInFoldersWithBlanks) {
    test::TempDir dir;
    const std::u16string folder = dir / u"with blank";
    ASSERT_TRUE(MakeDirectoryTree(folder));
    const std::u16string script = folder + u"\\show args.bat";
    test::WriteAll(script, "@echo off\r\necho [%~1] [%~2] %3\r\nexit /b 4\r\n");
    std::string output;
    int exitCode = -1;
    // "&" would end the command at the interpreter unless quoted.
    ASSERT_TRUE(host::RunCaptured({script, u"one two", u"three", u"a&b"}, 30000, output, exitCode))
        << output;
    EXPECT_NE(output.find("[one two] [three] \"a&b\""), std::string::npos) << output;
    EXPECT_EQ(exitCode, 4);
    // The command interpreter would expand or split these.
    EXPECT_FALSE(host::RunCaptured({script, u"50%"}, 30000, output, exitCode));
}

TEST(RunWithTimeLimitWindows, FinishesOrTimesOut) {
    std::string failure;
    EXPECT_EQ(host::RunWithTimeLimit(u"", {u"cmd.exe", u"/c", u"exit 0"}, 30000, failure),
              host::RunOutcome::Finished)
        << failure;
    EXPECT_EQ(
        host::RunWithTimeLimit(u"", {u"cmd.exe", u"/c", u"ping -n 5 127.0.0.1"}, 300, failure),
        host::RunOutcome::TimedOut);
    EXPECT_EQ(host::RunWithTimeLimit(u"C:\\qm-no-such-folder", {u"cmd.exe"}, 300, failure),
              host::RunOutcome::NotStarted);
    EXPECT_NE(failure.find("does not exist"), std::string::npos) << failure;
}

TEST(StartDetachedWindows, StartsInTheFolderWithTheEnvironmentGiven) {
    test::TempDir dir;
    wchar_t systemRoot[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH);
    ASSERT_GT(length, 0u);
    ProcessLaunch launch;
    launch.program = u"cmd.exe";
    launch.arguments = {u"cmd.exe", u"/c", u"echo %QM_DETACHED%> started.txt"};
    launch.directory = dir.path();
    launch.environment = {
        u"QM_DETACHED=yes",
        u"SystemRoot=" + std::u16string(reinterpret_cast<char16_t*>(systemRoot), length)};
    launch.environmentKnown = true;
    ProcessId pid = 0;
    ASSERT_EQ(host::StartDetachedProcess(launch, &pid), kShellOpenStarted);
    EXPECT_NE(pid, 0u);
    ASSERT_TRUE(WaitUntil([&] { return host::ProcessGone(pid); }, 15000));
    EXPECT_EQ(test::ReadAll(dir / u"started.txt"), "yes\r\n");
}

TEST(StartDetachedWindows, SaysWhyItCannotStart) {
    ProcessLaunch launch;
    launch.program = u"C:\\qm-no-such-folder\\program.exe";
    EXPECT_EQ(host::StartDetachedProcess(launch, nullptr), kShellOpenFileNotFound);
    launch.program = u"cmd.exe";
    launch.directory = u"C:\\qm-no-such-folder";
    EXPECT_EQ(host::StartDetachedProcess(launch, nullptr), kShellOpenPathNotFound);
}

TEST(ShellOpenWindows, OpensProgramsAndSaysWhyNot) {
    test::TempDir dir;
    EXPECT_EQ(
        host::ShellOpen(u"cmd.exe", u"/c echo opened> opened.txt", dir.path(), WindowMode::Hidden),
        kShellOpenStarted);
    EXPECT_TRUE(WaitUntil([&] { return FileExists(dir / u"opened.txt"); }, 15000));
    EXPECT_EQ(host::ShellOpen(u"cmd.exe", u"", u"C:\\qm-no-such-folder", WindowMode::Hidden),
              kShellOpenPathNotFound);
    const int missing =
        host::ShellOpen(u"C:\\qm-no-such-folder\\program.exe", u"", u"", WindowMode::Hidden);
    EXPECT_LE(missing, kShellOpenFailureMax);
    EXPECT_NE(missing, kShellOpenStarted);
}

// ---- Processes ----

TEST(ProcessWindows, KnowsItself) {
    EXPECT_EQ(host::CurrentProcessId(), GetCurrentProcessId());
    EXPECT_FALSE(host::ProcessGone(host::CurrentProcessId()));
    const std::u16string path = OurExecutable();
    ASSERT_GE(path.size(), 4u);
    EXPECT_TRUE(EqualsIgnoreCaseAscii(path.substr(path.size() - 4), u".exe")) << Utf8FromWide(path);
}

TEST(ProcessWindows, UnknownProcessCannotBeInspected) {
    // Process ids are multiples of 4; this one is never handed out.
    std::u16string path;
    int errorNumber = 0;
    EXPECT_FALSE(host::ProcessImagePath(0xFFFFFFF1u, path, errorNumber));
    EXPECT_NE(errorNumber, 0);
    EXPECT_TRUE(host::ProcessGone(0xFFFFFFF1u));
    EXPECT_TRUE(host::ProcessGone(0));
}

TEST(ProcessWindows, SignalsDoNotExist) {
    EXPECT_FALSE(host::SendReload(host::CurrentProcessId()));
    EXPECT_FALSE(host::SendGracefulRestart(host::CurrentProcessId()));
}

TEST(ProcessWindows, RefusesToKillNobodyOrItself) {
    EXPECT_FALSE(host::KillProcessTreeNow(0));
    EXPECT_FALSE(host::KillProcessTreeNow(host::CurrentProcessId()));
    EXPECT_FALSE(host::ProcessGone(host::CurrentProcessId()));
}

TEST(ProcessWindows, KillsAProcessTree) {
    ProcessLaunch launch;
    launch.program = u"cmd.exe";
    launch.arguments = {u"cmd.exe", u"/c", u"ping -n 30 127.0.0.1"};
    ProcessId shell = 0;
    ASSERT_EQ(host::StartDetachedProcess(launch, &shell), kShellOpenStarted);
    ASSERT_NE(shell, 0u);
    std::vector<ProcessId> children;
    ASSERT_TRUE(WaitUntil(
        [&] {
            children = ChildrenOf(shell);
            return !children.empty();
        },
        10000))
        << "the shell started no ping";
    // A console program has no window to close.
    EXPECT_FALSE(host::SendTerminate(shell));
    EXPECT_TRUE(host::KillProcessTreeNow(shell));
    EXPECT_TRUE(WaitUntil([&] { return host::ProcessGone(shell); }, 5000));
    for (ProcessId child : children)
        EXPECT_TRUE(WaitUntil([&] { return host::ProcessGone(child); }, 5000)) << child;
}

TEST(ProcessWindows, ServiceOfAnOrdinaryProcessIsNone) {
    EXPECT_EQ(host::ServiceUnitOfProcess(host::CurrentProcessId()), u"");
    EXPECT_EQ(host::ServiceUnitOfProcess(0), u"");
}

// ---- Listening ports ----

class Winsock : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data_), 0); }
    void TearDown() override { WSACleanup(); }

    // A socket listening on 127.0.0.1 at a port the system picks.
    SOCKET Listen(int& port) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET)
            return s;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(s, 4) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        port = ntohs(address.sin_port);
        return s;
    }

private:
    WSADATA data_{};
};

TEST_F(Winsock, FindsOurOwnListener) {
    int port = 0;
    const SOCKET s = Listen(port);
    ASSERT_NE(s, INVALID_SOCKET);
    ProcessId pid = 0;
    const host::ListenerLookup lookup = host::FindListeningProcess(port, pid);
    closesocket(s);
    ProcessId after = 1;
    EXPECT_EQ(host::FindListeningProcess(port, after), host::ListenerLookup::NotListening);
    EXPECT_EQ(after, 0u);
    if (lookup == host::ListenerLookup::HolderUnknown)
        GTEST_SKIP() << "the TCP owner table lists the listener without its process (Wine 8 "
                        "leaves every owner 0)";
    EXPECT_EQ(lookup, host::ListenerLookup::Found);
    EXPECT_EQ(pid, host::CurrentProcessId());
}

// ---- Services ----

TEST(ServiceManagerWindows, UnknownServiceCannotBeQueried) {
    const auto manager = host::OpenServiceManager();
    EXPECT_EQ(FailureText([&] { manager->Query(u"qm-no-such-service"); }),
              "CProcessManager::StopService - OpenService failed (1060)\n");
    EXPECT_EQ(FailureText([&] { manager->RequestStop(u"qm-no-such-service"); }),
              "CProcessManager::StopService - OpenService failed (1060)\n");
    const host::ServiceState state = host::QueryServiceState(u"qm-no-such-service");
    EXPECT_FALSE(state.installed);
    EXPECT_FALSE(state.running);
    EXPECT_NO_THROW(host::UnregisterService(u"qm-no-such-service"));
}

TEST(ServiceManagerWindows, RefusesADefinitionItCannotRegister) {
    host::ServiceDefinition service;
    service.name = u"qm-test-refused";
    service.program = u"relative\\program.exe";
    EXPECT_NE(FailureText([&] { host::RegisterService(service); })
                  .find("the service qm-test-refused cannot be installed: the program must be "
                        "an absolute path"),
              std::string::npos);
    EXPECT_FALSE(host::QueryServiceState(u"qm-test-refused").installed);
}

TEST(RunAsServiceWindows, ReturnsAtOnceFromAConsole) {
    // Wine's dispatcher waits about ten seconds for a manager that never
    // calls; Windows answers at once.
    int exitCode = -1;
    bool bodyRan = false;
    EXPECT_FALSE(host::RunAsService(
        u"qm-test",
        [&] {
            bodyRan = true;
            return 0;
        },
        exitCode));
    EXPECT_FALSE(bodyRan);
}

// The body of the service the next test registers: the manager starts this
// test program with --gtest_also_run_disabled_tests and this test alone.
// It runs until the manager asks it to stop.
TEST(RunAsServiceWindows, DISABLED_BodyWhenStartedByManager) {
    int exitCode = -1;
    const bool ran = host::RunAsService(
        u"qm-test-service",
        [] {
            while (!InterruptRequested())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return 0;
        },
        exitCode);
    if (!ran)
        GTEST_SKIP() << "not started by the service control manager";
    EXPECT_EQ(exitCode, 0);
}

ProcessId ServiceProcess(const std::u16string& name) {
    ProcessId pid = 0;
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager ? OpenServiceW(manager, reinterpret_cast<const wchar_t*>(name.c_str()),
                               SERVICE_QUERY_STATUS)
                : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        pid = status.dwProcessId;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return pid;
}

TEST(RunAsServiceWindows, RegistersStopsAndRemovesAService) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        GTEST_SKIP() << "creating services needs an administrator (error " << GetLastError() << ")";
    CloseServiceHandle(manager);
    const std::u16string name =
        u"qm-test-service-" + WideFromAscii(std::to_string(GetCurrentProcessId()));
    host::ServiceDefinition service;
    service.name = name;
    service.description = u"Quillmate process backend test";
    service.program = OurExecutable();
    service.arguments = {u"--gtest_also_run_disabled_tests",
                         u"--gtest_filter=RunAsServiceWindows.DISABLED_BodyWhenStartedByManager"};
    service.environment = {u"QM_SERVICE_TEST=1"};
    // A fresh Wine prefix's service manager answers the first start with
    // 1055 (ERROR_SERVICE_DATABASE_LOCKED), and a cold start of this large
    // program can outlast its wait on a loaded machine (1053,
    // ERROR_SERVICE_REQUEST_TIMEOUT). A failed registration removes the
    // service again, so it is simply tried again.
    const auto busy = [](const std::string& failure) {
        return failure.find("(1053") != std::string::npos ||
               failure.find("(1055") != std::string::npos;
    };
    std::string registered;
    for (int attempt = 0; attempt < 5; ++attempt) {
        registered = FailureText([&] { host::RegisterService(service); });
        if (!busy(registered))
            break;
        Sleep(1000);
    }
    if (busy(registered))
        GTEST_SKIP() << "the service manager did not start the test program in five tries: "
                     << registered;
    if (registered != "(no failure)") {
        host::UnregisterService(name);
        FAIL() << registered;
    }
    host::ServiceState state = host::QueryServiceState(name);
    EXPECT_TRUE(state.installed);
    EXPECT_TRUE(state.running);

    // Registering again restarts it with the configuration written.
    EXPECT_EQ(FailureText([&] { host::RegisterService(service); }), "(no failure)");
    EXPECT_TRUE(host::QueryServiceState(name).running);

    EXPECT_EQ(host::ServiceUnitOfProcess(ServiceProcess(name)), name);

    const auto services = host::OpenServiceManager();
    EXPECT_EQ(services->Query(name).state, host::ServiceStatus::State::Running);
    // The body ends at its next look at the interrupt request.
    EXPECT_EQ(FailureText([&] { host::StopServiceWith(*services, name, 30000); }), "(no failure)");
    EXPECT_EQ(services->Query(name).state, host::ServiceStatus::State::Stopped);
    EXPECT_FALSE(host::QueryServiceState(name).running);

    EXPECT_EQ(FailureText([&] { host::UnregisterService(name); }), "(no failure)");
    // Gone at once: a registration that follows can take the name again.
    EXPECT_FALSE(host::QueryServiceState(name).installed);
}

}  // namespace
}  // namespace qm
