// Starting programs on Windows: detached ("open"), with a time limit, and
// helper tools whose output we read.
//
// A started program inherits only the handles meant for it (its standard
// streams: the null device, or the pipe we read), never our log files or
// sockets: a restarted web server must not hold them open. Programs run
// with CREATE_NO_WINDOW get a console of their own that nobody sees, so a
// Ctrl+C at our console does not reach them.
#include "foundation/host/windows/win32util.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "foundation/host/process_host.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HasPathPart(const std::wstring& name) {
    return name.find_first_of(L"\\/:") != std::wstring::npos;
}

bool IsAbsolute(const std::wstring& path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           path.starts_with(L"\\\\") || path.starts_with(L"//");
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* suffix) {
    const size_t length = wcslen(suffix);
    return text.size() >= length &&
           CompareStringOrdinal(text.c_str() + text.size() - length, static_cast<int>(length),
                                suffix, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

bool IsBatchFile(const std::wstring& path) {
    return EndsWithNoCase(path, L".bat") || EndsWithNoCase(path, L".cmd");
}

// The executable a name stands for: a name with a path as it is (against
// `base` when relative and `base` is given), ".exe" added when it names
// no file; a bare name as the system's search finds it (our folder, the
// system folders, then PATH). Empty when there is no such file.
std::wstring ResolveProgram(const std::wstring& name, const std::wstring& base) {
    if (name.empty())
        return {};
    if (HasPathPart(name)) {
        std::wstring path = name;
        if (!IsAbsolute(path) && !base.empty())
            path = base + (base.ends_with(L'\\') || base.ends_with(L'/') ? L"" : L"\\") + name;
        if (IsFile(path))
            return path;
        return IsFile(path + L".exe") ? path + L".exe" : std::wstring();
    }
    std::vector<wchar_t> found(MAX_PATH);
    for (;;) {
        const DWORD length = SearchPathW(nullptr, name.c_str(), L".exe",
                                         static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (length == 0)
            return {};
        if (length < found.size())
            return std::wstring(found.data(), length);
        found.resize(length + 1);
    }
}

// ERROR_ELEVATION_REQUIRED, which the MinGW headers lack.
constexpr DWORD kErrorElevationRequired = 740;

// ShellOpen's result for a failed start with this system error.
int ShellOpenResultFor(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return kShellOpenFileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return kShellOpenPathNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case kErrorElevationRequired:
            return kShellOpenAccessDenied;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return kShellOpenOutOfMemory;
        case ERROR_BAD_FORMAT:
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            return kShellOpenBadFormat;
        case ERROR_NO_ASSOCIATION:
            return kShellOpenNoAssociation;
        default:
            return kShellOpenOutOfResources;
    }
}

std::wstring NameOf(const std::wstring& entry) {
    // The current folder of a drive, "=C:=C:\dir", has a name that starts with "=".
    const size_t equals = entry.find(L'=', 1);
    return equals == std::wstring::npos ? entry : entry.substr(0, equals);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// An environment block for CREATE_UNICODE_ENVIRONMENT: "NAME=value" entries
// sorted by name without regard to case, as the system expects, each ended
// by a NUL and the whole by another. `entries` are set over our own
// environment when `overOurs`, else they are the whole environment.
std::vector<wchar_t> EnvironmentBlock(const std::vector<std::u16string>& entries, bool overOurs) {
    std::vector<std::wstring> all;
    if (overOurs) {
        if (wchar_t* ours = GetEnvironmentStringsW()) {
            for (const wchar_t* at = ours; *at; at += wcslen(at) + 1)
                all.emplace_back(at);
            FreeEnvironmentStringsW(ours);
        }
    }
    for (const auto& entry : entries) {
        std::wstring wide = Wide(entry);
        if (wide.find(L'=', 1) == std::wstring::npos)
            continue;  // not NAME=value
        const std::wstring name = NameOf(wide);
        const auto same = std::find_if(all.begin(), all.end(), [&](const std::wstring& existing) {
            return SameName(NameOf(existing), name);
        });
        if (same != all.end())
            *same = std::move(wide);
        else
            all.push_back(std::move(wide));
    }
    std::stable_sort(all.begin(), all.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring nameA = NameOf(a), nameB = NameOf(b);
        return CompareStringOrdinal(nameA.c_str(), static_cast<int>(nameA.size()), nameB.c_str(),
                                    static_cast<int>(nameB.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::vector<wchar_t> block;
    for (const auto& entry : all) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    if (block.empty())
        block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

UniqueHandle OpenNullDevice() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return UniqueHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                    nullptr));
}

struct StartRequest {
    std::wstring program;  // resolved path
    std::vector<std::u16string> arguments;
    std::wstring directory;                       // empty: ours
    std::vector<wchar_t>* environment = nullptr;  // null: ours
    DWORD flags = 0;
    HANDLE output = nullptr;  // standard output and error; null: the null device
};

// The command line that runs a batch file through the command interpreter,
// which takes everything between the outer quotes as it is (/s). Arguments
// holding its special characters are quoted; quotes, "%" (expanded even
// inside quotes) and line breaks cannot be passed safely, so they refuse
// the start (empty result).
std::wstring BatchCommandLine(const std::wstring& script,
                              const std::vector<std::u16string>& arguments) {
    if (script.find(L'%') != std::wstring::npos)
        return {};
    std::wstring line = L"cmd.exe /d /v:off /s /c \"\"" + script + L"\"";
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring argument = Wide(arguments[i]);
        if (argument.find_first_of(L"\"%\r\n") != std::wstring::npos)
            return {};
        const bool plain =
            !argument.empty() && argument.find_first_of(L" \t&|<>^(),;=!") == std::wstring::npos;
        line += plain ? L" " + argument : L" \"" + argument + L"\"";
    }
    return line + L"\"";
}

// Starts the request; 0, or the system error that prevented it.
DWORD StartProcess(const StartRequest& request, PROCESS_INFORMATION& started) {
    std::wstring application = request.program;
    std::wstring commandLine;
    if (IsBatchFile(request.program)) {
        commandLine = BatchCommandLine(request.program, request.arguments);
        if (commandLine.empty())
            return ERROR_BAD_ARGUMENTS;
        wchar_t shell[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
        application = length > 0 && length < MAX_PATH
                          ? std::wstring(shell, length)
                          : std::wstring(L"C:\\Windows\\System32\\cmd.exe");
    } else if (request.arguments.empty()) {
        commandLine = QuoteArgument(request.program);
    } else {
        commandLine = CommandLineOf(request.arguments);
    }

    UniqueHandle nullDevice = OpenNullDevice();
    if (!nullDevice)
        return GetLastError();
    HANDLE output = request.output ? request.output : nullDevice.Get();
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullDevice.Get();
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;

    // Only the standard streams are inherited; a system without handle
    // lists inherits every inheritable handle of ours instead.
    std::vector<HANDLE> inherited = {nullDevice.Get()};
    if (output != nullDevice.Get())
        inherited.push_back(output);
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listBuffer(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    const bool haveList = listSize > 0 && InitializeProcThreadAttributeList(list, 1, 0, &listSize);
    if (haveList &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
        startup.lpAttributeList = list;
    }
    DWORD flags = request.flags | CREATE_UNICODE_ENVIRONMENT;
    if (startup.lpAttributeList)
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    else
        startup.StartupInfo.cb = sizeof(STARTUPINFOW);

    const BOOL ok =
        CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                       request.environment ? request.environment->data() : nullptr,
                       request.directory.empty() ? nullptr : request.directory.c_str(),
                       reinterpret_cast<STARTUPINFOW*>(&startup), &started);
    const DWORD error = ok ? 0 : GetLastError();
    if (haveList)
        DeleteProcThreadAttributeList(list);
    return error;
}

std::string Narrow(const std::wstring& text) {
    return NarrowFromWide(U16(text));
}

// Kills what a helper tool started along with it: the job holds them all,
// also those whose parent has ended; without a job, the tree as seen now.
void KillHelper(HANDLE job, const PROCESS_INFORMATION& started) {
    if (job == nullptr || !TerminateJobObject(job, 1))
        KillProcessTreeNow(started.dwProcessId);
    WaitForSingleObject(started.hProcess, 5000);
}

}  // namespace

bool RunCaptured(const std::vector<std::u16string>& arguments, int timeoutMs, std::string& output,
                 int& exitCode, const std::vector<std::u16string>* environment) {
    output.clear();
    exitCode = -1;
    if (arguments.empty())
        return false;
    const std::string shownName = NarrowFromWide(arguments.front());
    const std::wstring path = ResolveProgram(Wide(arguments.front()), {});
    if (path.empty()) {
        output = shownName + " not found";
        return false;
    }
    auto fail = [&] {
        output += "\n" + shownName + " could not start or was killed after " +
                  std::to_string(timeoutMs) + " ms";
        return false;
    };

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return fail();
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);

    std::vector<wchar_t> block;
    if (environment)
        block = EnvironmentBlock(*environment, true);
    StartRequest request;
    request.program = path;
    request.arguments = arguments;
    request.environment = environment ? &block : nullptr;
    request.flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED;
    request.output = writer.Get();
    PROCESS_INFORMATION started{};
    if (StartProcess(request, started) != 0)
        return fail();
    UniqueHandle process(started.hProcess), thread(started.hThread);
    writer.Reset();  // the pipe ends when every process holding it does
    // A job gathers everything the tool starts, so a time-out kills it all.
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job && !AssignProcessToJobObject(job.Get(), process.Get()))
        job.Reset();
    ResumeThread(thread.Get());

    using Clock = std::chrono::steady_clock;
    auto msUntil = [](Clock::time_point when) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    // What the tool started may hold the pipe after the tool has ended: the
    // command interpreter's "start" passes every inheritable handle on, so
    // a server started by a script would hold it as long as it runs. Once
    // the tool has ended, its output is read until the pipe stays quiet.
    constexpr int kQuietAfterEndMs = 500;
    constexpr auto kNotEnded = Clock::time_point::max();
    auto quietUntil = kNotEnded;
    bool killed = false;
    DWORD pauseMs = 1;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(reader.Get(), nullptr, 0, nullptr, &available, nullptr))
            break;  // every writer has closed it (ERROR_BROKEN_PIPE)
        if (available > 0) {
            DWORD got = 0;
            if (!ReadFile(reader.Get(), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                          nullptr)) {
                break;
            }
            output.append(buffer, got);
            quietUntil = kNotEnded;
            pauseMs = 1;
            continue;
        }
        const bool ended = WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
        if (ended && quietUntil == kNotEnded)
            quietUntil = Clock::now() + std::chrono::milliseconds(kQuietAfterEndMs);
        if (ended && Clock::now() >= quietUntil)
            break;
        const long long left = msUntil(deadline);
        if (left <= 0) {
            killed = !ended;
            break;
        }
        const DWORD wait = static_cast<DWORD>(std::min<long long>(pauseMs, left));
        if (ended)
            Sleep(wait);
        else
            WaitForSingleObject(process.Get(), wait);  // wakes at once when the tool ends
        pauseMs = std::min<DWORD>(pauseMs * 2, 50);
    }
    // A tool may close its output and go on running.
    if (!killed) {
        const long long left = std::max<long long>(msUntil(deadline), 0);
        killed = WaitForSingleObject(process.Get(), static_cast<DWORD>(left)) != WAIT_OBJECT_0;
    }
    if (killed) {
        KillHelper(job.Get(), started);
        return fail();
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.Get(), &code))
        return fail();
    exitCode = static_cast<int>(code);
    return true;
}

RunOutcome RunWithTimeLimit(std::u16string_view directory,
                            const std::vector<std::u16string>& arguments, int timeoutMs,
                            std::string& startFailure) {
    startFailure.clear();
    if (arguments.empty() || arguments.front().empty()) {
        startFailure = "empty command line";
        return RunOutcome::NotStarted;
    }
    const std::wstring dir = Wide(directory);
    if (!dir.empty() && !IsDirectory(dir)) {
        startFailure = "working directory " + Narrow(dir) + " does not exist";
        return RunOutcome::NotStarted;
    }
    const std::wstring path = ResolveProgram(Wide(arguments.front()), {});
    if (path.empty()) {
        startFailure = NarrowFromWide(arguments.front()) + " not found";
        return RunOutcome::NotStarted;
    }
    StartRequest request;
    request.program = path;
    request.arguments = arguments;
    request.directory = dir;
    request.flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
    PROCESS_INFORMATION started{};
    if (const DWORD error = StartProcess(request, started); error != 0) {
        startFailure = (error == ERROR_DIRECTORY ? "cannot enter " + Narrow(dir) : Narrow(path)) +
                       ": " + NarrowFromWide(Win32ErrorText(error));
        return RunOutcome::NotStarted;
    }
    UniqueHandle process(started.hProcess), thread(started.hThread);
    // A program still running at the time-out is left to run.
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(process.Get(), wait) == WAIT_TIMEOUT ? RunOutcome::TimedOut
                                                                    : RunOutcome::Finished;
}

int ShellOpen(std::u16string_view file, std::u16string_view parameters,
              std::u16string_view directory, WindowMode mode) {
    std::wstring target = Wide(file);
    const std::wstring dir = Wide(directory);
    const std::wstring arguments = Wide(parameters);
    if (target.empty())
        return kShellOpenFileNotFound;
    if (!dir.empty() && !IsDirectory(dir))
        return kShellOpenPathNotFound;
    // A relative name is looked for in `directory` first.
    if (!dir.empty() && target.find(L"://") == std::wstring::npos && !IsAbsolute(target)) {
        const std::wstring inside =
            dir + (dir.ends_with(L'\\') || dir.ends_with(L'/') ? L"" : L"\\") + target;
        if (GetFileAttributesW(inside.c_str()) != INVALID_FILE_ATTRIBUTES)
            target = inside;
    }
    // The shell may hand the request to COM objects (associations,
    // addresses); it asks for an apartment without OLE1 DDE.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = target.c_str();
    info.lpParameters = arguments.empty() ? nullptr : arguments.c_str();
    info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    info.nShow = mode == WindowMode::Hidden ? SW_HIDE : SW_SHOWNORMAL;
    const BOOL ok = ShellExecuteExW(&info);
    const DWORD error = ok ? 0 : GetLastError();
    if (SUCCEEDED(com))
        CoUninitialize();
    return ok ? kShellOpenStarted : ShellOpenResultFor(error);
}

int StartDetachedProcess(const ProcessLaunch& launch, ProcessId* startedPid) {
    const std::wstring dir = Wide(launch.directory);
    if (!dir.empty() && !IsDirectory(dir))
        return kShellOpenPathNotFound;
    const std::wstring path = ResolveProgram(Wide(launch.program), {});
    if (path.empty())
        return kShellOpenFileNotFound;
    std::vector<wchar_t> block;
    if (launch.environmentKnown)
        block = EnvironmentBlock(launch.environment, false);
    StartRequest request;
    request.program = path;
    request.arguments = launch.arguments;
    request.directory = dir;
    request.environment = launch.environmentKnown ? &block : nullptr;
    // Out of any job of ours where the job allows it: the program must
    // outlive us, as a restarted web server does.
    request.flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
    PROCESS_INFORMATION started{};
    DWORD error = StartProcess(request, started);
    if (error == ERROR_ACCESS_DENIED) {
        request.flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
        error = StartProcess(request, started);
    }
    if (error != 0)
        return ShellOpenResultFor(error);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    if (startedPid)
        *startedPid = started.dwProcessId;
    return kShellOpenStarted;
}

}  // namespace qm::host
