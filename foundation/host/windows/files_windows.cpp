#include <windows.h>

#include <cerrno>
#include <optional>
#include <string>

#include "foundation/host/host.h"
#include "foundation/host/windows/filesecurity.h"
#include "foundation/host/windows/win32util.h"

namespace qm::host {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::u16string RandomHex(size_t bytes) {
    unsigned char raw[32];
    RandomBytes(raw, bytes);
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string out;
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(digits[raw[i] >> 4]);
        out.push_back(digits[raw[i] & 15]);
    }
    return out;
}

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// "\\?\C:\x" -> "C:\x", "\\?\UNC\server\share" -> "\\server\share".
std::u16string WithoutLongPrefix(std::u16string path) {
    if (path.starts_with(u"\\\\?\\UNC\\"))
        return u"\\\\" + path.substr(8);
    if (path.starts_with(u"\\\\?\\") && path.size() >= 6 && path[5] == u':')
        return path.substr(4);
    return path;
}

// Follows a symbolic link (or junction) at `path`, so that replacing a linked
// configuration file keeps the link and rewrites what it points to. A
// dangling link, or anything that cannot be resolved, is replaced itself.
std::u16string ResolveLinks(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(W(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    const UniqueHandle file(CreateFileW(W(path), 0, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return path;
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n =
            GetFinalPathNameByHandleW(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return path;
        if (n < buffer.size())
            return WithoutLongPrefix(U16(std::wstring_view(buffer.data(), n)));
        buffer.resize(n + 1);
    }
    return path;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        left -= written;
    }
    return true;
}

// Creates the temporary file with its final access list in place, so that a
// private key is never readable by others, not even for a moment.
UniqueHandle CreateTemporary(const std::u16string& temp, std::optional<FileSecurity>& security) {
    SECURITY_ATTRIBUTES* attributes =
        security && !security->InheritsOnly() ? security->Attributes() : nullptr;
    UniqueHandle file(CreateFileW(W(temp), GENERIC_WRITE, 0, attributes, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && security && security->HasOwner() && GetLastError() == ERROR_INVALID_OWNER) {
        // Giving the file to another owner needs the restore privilege; like
        // chown for an ordinary user, the file then stays ours.
        security->DropOwner();
        file.Reset(CreateFileW(W(temp), GENERIC_WRITE, 0, security->Attributes(), CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    return file;
}

// Renames over the target. A virus scanner or indexer holding the old file
// open for a moment is waited out; a read-only target (whose rename POSIX
// allows) is made writable first.
bool MoveOver(const std::u16string& temp, const std::u16string& target, bool& wasReadOnly) {
    wasReadOnly = false;
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(W(temp), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            return false;
        const DWORD attributes = GetFileAttributesW(W(target));
        if (!wasReadOnly && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            wasReadOnly = true;
            SetFileAttributesW(W(target), attributes & ~FILE_ATTRIBUTE_READONLY);
            continue;
        }
        if (attempt >= 10)
            return false;
        Sleep(50);
    }
}

// The C library's number for a system error, so callers that report
// errno (as on POSIX) name the real cause.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        default:
            return EIO;
    }
}

bool ReplaceViaTemporary(const std::u16string& path, std::string_view bytes,
                         const ReplaceOptions& options);

}  // namespace

bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes,
                           const ReplaceOptions& options) {
    if (ReplaceViaTemporary(path, bytes, options))
        return true;
    errno = ErrnoOf(GetLastError());
    return false;
}

namespace {

bool ReplaceViaTemporary(const std::u16string& path, std::string_view bytes,
                         const ReplaceOptions& options) {
    const std::u16string target = ResolveLinks(path);
    size_t slash = target.size();
    while (slash > 0 && !IsSeparator(target[slash - 1]))
        --slash;
    const std::u16string folder = target.substr(0, slash);  // with its separator
    const std::u16string temp = folder + u"." + target.substr(slash) + u".tmp-" + RandomHex(8);

    // Which access list the new file gets, in the order the header gives.
    std::optional<FileSecurity> security;
    bool keepsTarget = false;
    if (options.ownerOnly) {
        security = FileSecurity::OwnerOnly(false);
        if (!security)
            return false;
    } else if (!options.modeFrom.empty() &&
               GetFileAttributesW(W(options.modeFrom)) != INVALID_FILE_ATTRIBUTES) {
        security = FileSecurity::CopiedFrom(options.modeFrom, false);
        if (!security)
            return false;
    } else if (options.keepTargetMode && GetFileAttributesW(W(target)) != INVALID_FILE_ATTRIBUTES) {
        security = FileSecurity::CopiedFrom(target, true);
        if (!security)
            return false;
        keepsTarget = true;
    }
    // Otherwise the file inherits its folder's list, the Windows way of
    // "readable by all, written by the owner".

    UniqueHandle file = CreateTemporary(temp, security);
    if (!file)
        return false;
    bool ok = WriteAll(file.Get(), bytes) && FlushFileBuffers(file.Get());
    file.Reset();
    bool wasReadOnly = false;
    ok = ok && MoveOver(temp, target, wasReadOnly);
    if (!ok) {
        const DWORD error = GetLastError();
        DeleteFileW(W(temp));
        SetLastError(error);
        return false;
    }
    if (wasReadOnly && keepsTarget) {
        // The read-only attribute is part of what a kept mode keeps.
        const DWORD attributes = GetFileAttributesW(W(target));
        if (attributes != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesW(W(target), attributes | FILE_ATTRIBUTE_READONLY);
    }
    return true;
}

}  // namespace

bool AppendToFile(const std::u16string& path, std::string_view bytes) {
    // Append-only access: every write lands at the end, whoever else writes.
    // A new file inherits its folder's list ("readable by all").
    const UniqueHandle file(CreateFileW(W(path), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && WriteAll(file.Get(), bytes);
}

bool AppendRecordDurably(const std::u16string& path, std::string_view bytes) {
    if (bytes.size() > MAXDWORD)
        return false;  // not one write
    // Write access, not append-only: cutting a torn record off needs it. The
    // offset 0xFFFFFFFF:0xFFFFFFFF makes the write an append all the same.
    const UniqueHandle file(CreateFileW(W(path), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER before{};
    if (!GetFileSizeEx(file.Get(), &before))
        return false;
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    const bool wrote = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                 &written, &atEnd) != FALSE;
    const bool stored = wrote && written == bytes.size() && FlushFileBuffers(file.Get()) != FALSE;
    if (!stored && written > 0) {
        // The file only ever holds whole records.
        if (SetFilePointerEx(file.Get(), before, nullptr, FILE_BEGIN))
            SetEndOfFile(file.Get());
    }
    return stored;
}

bool SyncFile(const std::u16string& path) {
    // FlushFileBuffers wants a handle that may write.
    const UniqueHandle file(CreateFileW(W(path), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.Get());
}

bool MakeDirectory(const std::u16string& path, bool ownerOnly) {
    std::optional<FileSecurity> security;
    if (ownerOnly) {
        security = FileSecurity::OwnerOnly(true);
        if (!security)
            return false;
    }
    if (CreateDirectoryW(W(path), security ? security->Attributes() : nullptr))
        return true;
    const DWORD attributes = GetFileAttributesW(W(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    // An existing folder is kept, but owner-only makes it owner-only too.
    return !security || security->ApplyTo(path);
}

std::u16string CreateUniqueFile(const std::u16string& directory, std::u16string_view prefix) {
    std::u16string folder = directory;
    if (!folder.empty() && !IsSeparator(folder.back()))
        folder.push_back(u'\\');
    std::optional<FileSecurity> security = FileSecurity::OwnerOnly(false);
    if (!security)
        return {};
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::u16string path = folder + std::u16string(prefix) + RandomHex(12);
        const UniqueHandle file(CreateFileW(W(path), GENERIC_WRITE, 0, security->Attributes(),
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return path;
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return {};
}

void ClearReadOnly(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(W(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    // Only the attributes SetFileAttributesW may set are passed back.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD kept = attributes & kSettable;
    SetFileAttributesW(W(path), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

bool ShareWithGroupOf(const std::u16string& path, const std::u16string& reference) {
    // Windows has no file group: exactly who may reach the reference (the
    // web server's account, given access to its configuration) may reach
    // this, whatever this file's own folder would pass on.
    std::optional<FileSecurity> security =
        FileSecurity::CopiedFrom(reference, true, FileSecurity::Inherited::Flattened);
    return security && security->ApplyTo(path);
}

}  // namespace qm::host
