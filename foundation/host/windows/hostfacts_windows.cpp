#include <windows.h>
// after windows.h, which it needs
#include <bcrypt.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/host/host.h"
#include "foundation/host/windows/win32util.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

// Windows reports its true version only to programs that declare it in a
// manifest; RtlGetVersion answers every caller truthfully.
bool TrueVersion(RTL_OSVERSIONINFOEXW& info) {
    using RtlGetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return false;
    // Through void(*)(), the type GCC accepts any function pointer cast from.
    const auto get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return get != nullptr && get(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)) == 0;
}

// A string value of a machine key; the 64-bit view, whatever this program is.
enum class RegRead { Found, NotFound, Failed };
RegRead ReadMachineString(const wchar_t* key, const std::u16string& name, std::u16string& value) {
    HKEY opened = nullptr;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
    if (status != ERROR_SUCCESS)
        return status == ERROR_FILE_NOT_FOUND ? RegRead::NotFound : RegRead::Failed;
    std::vector<BYTE> data(256);
    DWORD type = 0;
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        status = RegQueryValueExW(opened, W(name), nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            data.resize(size + sizeof(wchar_t));
            continue;
        }
        data.resize(size);
        break;
    }
    RegCloseKey(opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return RegRead::NotFound;
    if (status != ERROR_SUCCESS)
        return RegRead::Failed;
    // Only text values make environment variables.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return RegRead::NotFound;
    value.assign(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
    while (!value.empty() && value.back() == u'\0')
        value.pop_back();
    return RegRead::Found;
}

std::u16string Decimal(unsigned long number) {
    const std::string text = std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

// While the started program runs, Ctrl+C and its kin are its business: this
// process only passes its exit code on.
BOOL WINAPI LeaveConsoleEventsToChild(DWORD) {
    return TRUE;
}

}  // namespace

std::u16string ExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (n == 0)
            return {};
        if (n < size)
            return U16(std::wstring_view(buffer.data(), n));
        if (buffer.size() >= 32768)
            return {};  // longer than any path Windows accepts
        buffer.resize(buffer.size() * 2);
    }
}

std::u16string TempDirectory() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
    std::u16string path;
    if (n > 0 && n <= MAX_PATH + 1)
        path = U16(std::wstring_view(buffer, n));
    else if (n > MAX_PATH + 1) {
        std::wstring longer(n, L'\0');
        const DWORD m = GetTempPathW(n, longer.data());
        if (m > 0 && m < n)
            path = U16(std::wstring_view(longer.data(), m));
    }
    if (path.empty())
        return u"C:\\Windows\\Temp";
    // "C:\" keeps its separator: "C:" alone names the drive's current folder.
    while (path.size() > 3 && (path.back() == u'\\' || path.back() == u'/'))
        path.pop_back();
    return path;
}

std::u16string OperatingSystemName() {
    RTL_OSVERSIONINFOEXW version;
    const bool known = TrueVersion(version);
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    std::u16string name;
    if (ReadMachineString(key, u"ProductName", name) != RegRead::Found || name.empty())
        name = u"Windows";
    // Windows 11 still calls itself "Windows 10" there; its build number
    // (22000 and later on a workstation) tells them apart.
    if (known && version.wProductType == VER_NT_WORKSTATION && version.dwBuildNumber >= 22000 &&
        name.starts_with(u"Windows 10"))
        name.replace(8, 2, u"11");
    std::u16string release;
    if (ReadMachineString(key, u"DisplayVersion", release) == RegRead::Found && !release.empty())
        name += u" " + release;
    if (known) {
        name += u" (" + Decimal(version.dwMajorVersion) + u"." + Decimal(version.dwMinorVersion) +
                u"." + Decimal(version.dwBuildNumber) + u")";
    }
    return name;
}

bool IsSupportedWindowsVersion() {
    RTL_OSVERSIONINFOEXW version;
    if (!TrueVersion(version))
        return false;
    // Domain controllers run server editions too.
    const bool server = version.wProductType != VER_NT_WORKSTATION;
    return IsSupportedWindowsRelease(version.dwMajorVersion, version.dwMinorVersion, server);
}

std::optional<std::u16string> ProcessEnvironmentValue(std::u16string_view name) {
    const std::u16string key(name);
    std::wstring buffer(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetEnvironmentVariableW(W(key), buffer.data(), size);
        // An empty value also returns 0; only the error tells it from unset.
        if (n == 0)
            return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt
                                                            : std::optional<std::u16string>(u"");
        if (n < size)
            return U16(std::wstring_view(buffer.data(), n));
        buffer.resize(n);  // n counts the terminator here; the value may grow meanwhile
    }
}

void SetProcessEnvironmentValue(std::u16string_view name,
                                const std::optional<std::u16string>& value) {
    const std::u16string key(name);
    SetEnvironmentVariableW(W(key), value ? W(*value) : nullptr);
}

void ReplaceProcessImage(const std::u16string& program, const std::vector<std::string>& args) {
    // Windows cannot replace a running program: start the new one on the
    // same console and handles, wait for it, and end with its exit code.
    // The arguments are UTF-8, as ProgramArguments gives them.
    std::vector<std::u16string> wide;
    for (const std::string& arg : args)
        wide.push_back(WideFromUtf8(arg));
    std::wstring commandLine = CommandLineOf(wide);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(W(program), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started))
        return;
    CloseHandle(started.hThread);
    SetConsoleCtrlHandler(LeaveConsoleEventsToChild, TRUE);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    ExitProcess(code);
}

SystemEnvStatus SystemEnvironmentValue(std::u16string_view name, std::u16string& value) {
    // Returned as stored: a REG_EXPAND_SZ value keeps its %VARIABLE% parts.
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    std::u16string found;
    switch (ReadMachineString(key, std::u16string(name), found)) {
        case RegRead::Found:
            value = found;
            return SystemEnvStatus::Found;
        case RegRead::NotFound:
            return SystemEnvStatus::NotFound;
        case RegRead::Failed:
            break;
    }
    return SystemEnvStatus::Unreadable;
}

void RandomBytes(void* buffer, size_t size) {
    // The system's preferred generator needs Windows 7; Server 2008 (6.0)
    // opens the RNG provider itself, once.
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        unsigned char probe = 0;
        if (BCRYPT_SUCCESS(BCryptGenRandom(nullptr, &probe, 1, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return handle;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_RNG_ALGORITHM, nullptr, 0)))
            std::abort();  // no entropy source: nothing sound can go on
        return handle;
    }();
    const ULONG flags = provider == nullptr ? BCRYPT_USE_SYSTEM_PREFERRED_RNG : 0;
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(provider, p, chunk, flags)))
            std::abort();
        p += chunk;
        size -= chunk;
    }
}

LocalTime Now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace qm::host
