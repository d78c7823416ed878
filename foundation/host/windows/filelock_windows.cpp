#include <windows.h>

#include <optional>
#include <string>

#include "foundation/filelock.h"
#include "foundation/host/windows/filesecurity.h"
#include "foundation/host/windows/win32util.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Windows byte-range locks are mandatory: a locked byte cannot be read by
// anyone else. The lock therefore sits far past any content, and the
// description at the start stays readable for whoever finds the lock taken.
constexpr DWORD kLockOffsetHigh = 0x40000000;  // 2^62

OVERLAPPED LockRange() {
    OVERLAPPED range{};
    range.Offset = 0;
    range.OffsetHigh = kLockOffsetHigh;
    return range;
}

std::u16string ReadDescription(HANDLE file) {
    std::string text;
    char buffer[512];
    while (text.size() < 4096) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(text.size());
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &n, &at) || n == 0)
            break;
        text.append(buffer, n);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.empty())
        return u"another process";
    return WideFromUtf8(text);
}

}  // namespace

FileLock::~FileLock() {
    Release();
}

bool FileLock::TryAcquire(const std::u16string& path, std::u16string_view description,
                          std::u16string& holder) {
    Release();
    heldByAnother_ = false;
    std::optional<host::FileSecurity> security = host::FileSecurity::OwnerOnly(false);
    // The link itself is opened, not followed, and then refused: a lock file
    // in a shared folder must not become a way to write elsewhere.
    host::UniqueHandle file(
        CreateFileW(host::W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    security ? security->Attributes() : nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        holder = u"cannot open " + path + u": " + host::Win32ErrorText(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file.Get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        holder = u"cannot open " + path + u": " + host::Win32ErrorText(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    OVERLAPPED range = LockRange();
    if (!LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &range)) {
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_SHARING_VIOLATION) {
            holder = u"cannot lock " + path + u": " + host::Win32ErrorText(error);
            return false;
        }
        heldByAnother_ = true;
        holder = ReadDescription(file.Get());
        return false;
    }
    const std::string note = Utf8FromWide(description) + "\n";
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get())) {
        DWORD written = 0;
        WriteFile(file.Get(), note.data(), static_cast<DWORD>(note.size()), &written, nullptr);
    }
    handle_ = reinterpret_cast<intptr_t>(file.Release());
    return true;
}

void FileLock::Release() {
    if (handle_ >= 0) {
        const HANDLE file = reinterpret_cast<HANDLE>(handle_);
        // Closing also unlocks, but only "eventually"; the next run should
        // not have to wait for that.
        OVERLAPPED range = LockRange();
        UnlockFileEx(file, 0, 1, 0, &range);
        CloseHandle(file);
        handle_ = -1;
    }
}

}  // namespace qm
