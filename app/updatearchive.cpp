#include "app/updatearchive.h"

#include <unzip.h>

#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

struct ZipCloser {
    void operator()(void* zip) const { unzClose(zip); }
};
using ZipHandle = std::unique_ptr<void, ZipCloser>;

struct Entry {
    std::string name;
    uint64_t size = 0;
    bool folder = false;
    unsigned mode = 0644;
};

constexpr unsigned kUnixHost = 3;  // "version made by" high byte for Unix
// The file-type bits of a Unix mode, as ZIP keeps them, and a link's type.
constexpr unsigned kUnixTypeMask = 0170000;
constexpr unsigned kUnixLink = 0120000;

bool IsLinkEntry(const unz_file_info64& info) {
    if ((info.version >> 8) != kUnixHost)
        return false;
    const unsigned mode = static_cast<unsigned>(info.external_fa >> 16);
    return (mode & kUnixTypeMask) == kUnixLink;
}

unsigned EntryMode(const unz_file_info64& info) {
    if ((info.version >> 8) != kUnixHost || (info.external_fa >> 16) == 0)
        return 0644;
    // Owner write for the installer; read and execute as the archive says;
    // never set-id bits or group/other write.
    return (static_cast<unsigned>(info.external_fa >> 16) & 0555) | 0200;
}

// Reads every entry's header; raises before anything is written when one
// of them is refused.
std::vector<Entry> CheckedEntries(unzFile zip) {
    std::vector<Entry> entries;
    uint64_t total = 0;
    for (int rc = unzGoToFirstFile(zip); rc != UNZ_END_OF_LIST_OF_FILE; rc = unzGoToNextFile(zip)) {
        if (rc != UNZ_OK)
            ThrowResult(u"update archive is damaged");
        unz_file_info64 info{};
        char name[1024] = {};
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) !=
                UNZ_OK ||
            info.size_filename >= sizeof name - 1)
            ThrowResult(u"update archive is damaged");
        Entry entry;
        entry.name.assign(name, info.size_filename);
        if (!IsSafeArchiveEntryName(entry.name) || IsLinkEntry(info))
            ThrowResult(u"update archive entry refused: %s", WideFromUtf8(entry.name));
        entry.folder = entry.name.back() == '/' || (info.external_fa & 0x10) != 0;
        entry.size = info.uncompressed_size;
        entry.mode = EntryMode(info);
        total += entry.size;
        if (entries.size() >= kMaxUpdateEntries || entry.size > kMaxUpdateEntrySize ||
            total > kMaxUpdateTotalSize)
            ThrowResult(u"update archive is too large");
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string ReadCurrentEntry(unzFile zip, uint64_t size) {
    std::string data(size, '\0');
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return {};
    uint64_t done = 0;
    while (done < size) {
        const unsigned chunk = static_cast<unsigned>(std::min<uint64_t>(size - done, 1u << 20));
        const int read = unzReadCurrentFile(zip, data.data() + done, chunk);
        if (read <= 0)
            break;
        done += static_cast<uint64_t>(read);
    }
    // Closing checks the entry's CRC once all of it was read.
    const bool whole = done == size && unzCloseCurrentFile(zip) == UNZ_OK;
    if (!whole)
        return {};
    return data;
}

}  // namespace

bool IsSafeArchiveEntryName(const std::string& name) {
    if (name.empty() || name.front() == '/')
        return false;
    std::string_view rest(name);
    if (rest.back() == '/')
        rest.remove_suffix(1);  // a folder entry
    if (rest.empty())
        return false;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string_view::npos)
            end = rest.size();
        const std::string_view part = rest.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        for (const char c : part) {
            // Backslashes are separators on Windows, ":" names drives and
            // streams there; control characters have no place in a name.
            if (c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20)
                return false;
        }
        start = end + 1;
    }
    return true;
}

void UnpackUpdateArchive(const std::u16string& archivePath, const std::u16string& stagingDir) {
    ZipHandle zip(unzOpen64(Utf8FromWide(archivePath).c_str()));
    if (!zip)
        ThrowResult(u"update archive cannot be opened");
    const std::vector<Entry> entries = CheckedEntries(zip.get());
    if (!MakeDirectoryTree(stagingDir))
        ThrowResult(u"cannot create %s", stagingDir);

    size_t index = 0;
    for (int rc = unzGoToFirstFile(zip.get()); rc == UNZ_OK;
         rc = unzGoToNextFile(zip.get()), ++index) {
        const Entry& entry = entries.at(index);
        if (entry.folder || entry.size == 0)
            continue;
        std::u16string target = stagingDir;
        EnsureTrailingSeparator(target);
        target += NativeSeparators(WideFromUtf8(entry.name));
        if (!MakeDirectoryTree(DirectoryOf(target)))
            ThrowResult(u"cannot create the folder of %s", target);
        const std::string data = ReadCurrentEntry(zip.get(), entry.size);
        if (data.size() != entry.size)
            ThrowResult(u"update archive entry cannot be read: %s", WideFromUtf8(entry.name));
        if (!WriteFileAtomic(target, data))
            ThrowResult(u"cannot write %s", target);
        std::error_code error;
        std::filesystem::permissions(FsPath(target), std::filesystem::perms(entry.mode),
                                     std::filesystem::perm_options::replace, error);
        if (error)
            ThrowResult(u"cannot set the permissions of %s", target);
    }
}

}  // namespace qm
