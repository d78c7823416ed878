#include "foundation/files.h"

#include <fstream>
#include <system_error>

#include "foundation/host/host.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace fs = std::filesystem;

namespace qm {

fs::path FsPath(std::u16string_view path) {
#ifdef _WIN32
    return fs::path(std::wstring(path.begin(), path.end()));
#else
    return fs::path(Utf8FromWide(path));
#endif
}

std::u16string WidePath(const fs::path& path) {
#ifdef _WIN32
    const std::wstring w = path.native();
    return std::u16string(w.begin(), w.end());
#else
    return WideFromUtf8(path.native());
#endif
}

bool FileExists(std::u16string_view path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(FsPath(path), ec);
}

bool DirectoryExists(std::u16string_view path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(FsPath(path), ec);
}

bool ReadFileBytes(std::u16string_view path, std::string& bytes) {
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in)
        return false;
    // In blocks, not a character at a time; the size read first is only a
    // hint (a file may grow or shrink meanwhile).
    std::string content;
    std::error_code ec;
    const auto size = std::filesystem::file_size(FsPath(path), ec);
    if (!ec && size < (uintmax_t{1} << 32))
        content.reserve(static_cast<size_t>(size));
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        content.append(buffer, static_cast<size_t>(in.gcount()));
    if (in.bad())
        return false;
    bytes = std::move(content);
    return true;
}

bool WriteFileAtomic(std::u16string_view path, std::string_view bytes, FilePrivacy privacy) {
    if (path.empty())
        return false;
    return host::ReplaceFileAtomically(
        std::u16string(path), bytes,
        {privacy == FilePrivacy::OwnerOnly, {}, privacy == FilePrivacy::Normal});
}

bool MakeDirectoryTree(std::u16string_view path, FilePrivacy privacy) {
    if (path.empty())
        return false;
    std::u16string full(path);
    EnsureTrailingSeparator(full);
    std::error_code ec;
    for (size_t i = 1; i < full.size(); ++i) {
        if (!IsPathSeparator(full[i]))
            continue;
        if (IsPathSeparator(full[i - 1]))
            continue;  // "//" or a share prefix
        const std::u16string prefix(std::u16string_view(full).substr(0, i));
#ifdef _WIN32
        if (i == 2 && full[1] == u':')
            continue;  // drive root
#endif
        const bool last = i + 1 == full.size();
        const bool ownerOnly = last && privacy == FilePrivacy::OwnerOnly;
        if (fs::is_directory(FsPath(prefix), ec) && !ownerOnly)
            continue;
        if (fs::exists(fs::symlink_status(FsPath(prefix), ec)) &&
            !fs::is_directory(FsPath(prefix), ec))
            fs::remove(FsPath(prefix), ec);
        if (!host::MakeDirectory(prefix, ownerOnly))
            return false;
    }
    return true;
}

bool CopyFileSilently(std::u16string_view source, std::u16string_view target) {
    std::string bytes;
    if (!ReadFileBytes(source, bytes))
        return false;
    host::ClearReadOnly(std::u16string(target));
    return host::ReplaceFileAtomically(std::u16string(target), bytes,
                                       {false, std::u16string(source)});
}

bool ShareWithGroupOf(std::u16string_view path, std::u16string_view reference) {
    return !path.empty() && host::ShareWithGroupOf(std::u16string(path), std::u16string(reference));
}

bool DeleteFileToRecycleBin(std::u16string_view path) {
    if (path.empty())
        return false;
    host::ClearReadOnly(std::u16string(path));
    std::error_code ec;
    return fs::remove(FsPath(path), ec);
}

bool CopyDirectoryTree(std::u16string_view source, std::u16string_view target) {
    if (source.empty() || target.empty())
        return false;
    std::error_code ec;
    const fs::path to = FsPath(target);
    if (!MakeDirectoryTree(target))
        return false;
    fs::directory_iterator it(FsPath(source), ec), end;
    if (ec)
        return false;
    for (; it != end; it.increment(ec)) {
        if (ec)
            return false;
        const fs::path name = it->path().filename();
        const std::u16string from = WidePath(it->path());
        const std::u16string into = WidePath(to / name);
        if (it->is_directory(ec)) {
            if (!CopyDirectoryTree(from, into))
                return false;
        } else {
            CopyFileSilently(from, into);
        }
    }
    return true;
}

bool DeleteDirectoryTree(std::u16string_view directory) {
    if (directory.empty())
        return false;
    std::error_code ec;
    const fs::path dir = FsPath(directory);
    if (!fs::is_directory(fs::symlink_status(dir, ec)))
        return false;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        host::ClearReadOnly(WidePath(it->path()));
    }
    fs::remove_all(dir, ec);
    return !ec && !fs::exists(fs::symlink_status(dir, ec));
}

}  // namespace qm
