#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm::host {

std::u16string ExecutablePath() {
    char buffer[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<size_t>(n));
    // The file was replaced since the program started (an update): the
    // kernel marks the old one; the program's path is where the new one is.
    constexpr std::string_view kReplaced = " (deleted)";
    if (path.size() > kReplaced.size() && path.ends_with(kReplaced) &&
        access(path.c_str(), F_OK) != 0)
        path.resize(path.size() - kReplaced.size());
    return WideFromUtf8(path);
}

std::u16string TempDirectory() {
    const char* dir = getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return WideFromUtf8(path);
}

namespace {

// Reads KEY=VALUE lines as /etc/os-release and /etc/environment write them:
// optional "export ", optional single or double quotes around the value.
bool ReadAssignment(const std::string& file, const std::string& key, std::string& value,
                    bool& readable) {
    std::ifstream in(file);
    readable = static_cast<bool>(in);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        if (line.compare(start, 7, "export ") == 0)
            start += 7;
        const size_t eq = line.find('=', start);
        if (eq == std::string::npos || line.substr(start, eq - start) != key)
            continue;
        std::string v = line.substr(eq + 1);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        value = v;
        return true;
    }
    return false;
}

}  // namespace

std::u16string OperatingSystemName() {
    std::string name;
    bool readable = false;
    if (ReadAssignment("/etc/os-release", "PRETTY_NAME", name, readable) ||
        ReadAssignment("/usr/lib/os-release", "PRETTY_NAME", name, readable)) {
        return WideFromUtf8(name);
    }
    return u"Linux";
}

std::optional<std::u16string> ProcessEnvironmentValue(std::u16string_view name) {
    const char* v = getenv(Utf8FromWide(name).c_str());
    if (!v)
        return std::nullopt;
    return WideFromUtf8(v);
}

void SetProcessEnvironmentValue(std::u16string_view name,
                                const std::optional<std::u16string>& value) {
    const std::string key = Utf8FromWide(name);
    if (value)
        setenv(key.c_str(), Utf8FromWide(*value).c_str(), 1);
    else
        unsetenv(key.c_str());
}

void ReplaceProcessImage(const std::u16string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(Utf8FromWide(program).c_str(), argv.data());
}

SystemEnvStatus SystemEnvironmentValue(std::u16string_view name, std::u16string& value) {
    const char* file = "/etc/environment";
    if (access(file, F_OK) != 0)
        return SystemEnvStatus::NotFound;
    std::string v;
    bool readable = false;
    if (ReadAssignment(file, Utf8FromWide(name), v, readable)) {
        value = WideFromUtf8(v);
        return SystemEnvStatus::Found;
    }
    return readable ? SystemEnvStatus::NotFound : SystemEnvStatus::Unreadable;
}

void RandomBytes(void* buffer, size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::abort();  // no entropy source: nothing sound can go on
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
}

LocalTime Now() {
    const time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

namespace {

// The modes of the files and folders the program makes.
constexpr mode_t kSharedFileMode = 0644;
constexpr mode_t kOwnerOnlyFileMode = 0600;
constexpr mode_t kSharedDirectoryMode = 0755;
constexpr mode_t kOwnerOnlyDirectoryMode = 0700;

std::string RandomHex(size_t bytes) {
    unsigned char raw[32];
    RandomBytes(raw, bytes);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(digits[raw[i] >> 4]);
        out.push_back(digits[raw[i] & 15]);
    }
    return out;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Follows symbolic links so that replacing a linked configuration file keeps
// the link and rewrites what it points to.
std::string ResolveLinks(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string out = real;
    free(real);
    return out;
}

bool WriteAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes,
                           const ReplaceOptions& options) {
    const std::string target = ResolveLinks(Utf8FromWide(path));
    const std::string dir = DirectoryOf(target);
    std::string base =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    const std::string temp = dir + "/." + base + ".tmp-" + RandomHex(8);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes);
    // The file was created 0600 (or less, under the umask); every outcome
    // sets its mode explicitly, so the umask never decides.
    struct stat old {};
    if (ok) {
        if (options.ownerOnly) {
            ok = fchmod(fd, kOwnerOnlyFileMode) == 0;
        } else if (!options.modeFrom.empty() &&
                   stat(Utf8FromWide(options.modeFrom).c_str(), &old) == 0) {
            ok = fchmod(fd, old.st_mode & 07777) == 0;
        } else if (options.keepTargetMode && stat(target.c_str(), &old) == 0) {
            if (fchown(fd, old.st_uid, old.st_gid) != 0) {
                // Not permitted for an unprivileged user: the file stays ours.
            }
            ok = fchmod(fd, old.st_mode & 07777) == 0;
        } else {
            ok = fchmod(fd, kSharedFileMode) == 0;
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok)
        ok = rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

std::optional<std::string> OthersWhoMayRead(const std::u16string& path) {
    struct stat info {};
    if (stat(Utf8FromWide(path).c_str(), &info) != 0)
        return std::nullopt;
    if ((info.st_mode & 077) == 0)
        return std::string();
    char mode[16];
    std::snprintf(mode, sizeof mode, "mode 0%03o", static_cast<unsigned>(info.st_mode & 0777));
    return std::string(mode);
}

bool AppendToFile(const std::u16string& path, std::string_view bytes) {
    const std::string file = Utf8FromWide(path);
    // Created here, the file gets its mode explicitly; an existing one is
    // appended to as it is.
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (fchmod(fd, kSharedFileMode) != 0) {
            close(fd);
            return false;
        }
    } else if (errno == EEXIST) {
        fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    const bool ok = WriteAll(fd, bytes);
    return (close(fd) == 0) && ok;
}

bool AppendRecordDurably(const std::u16string& path, std::string_view bytes) {
    const int fd = open(Utf8FromWide(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                        kSharedFileMode);
    if (fd < 0)
        return false;
    struct stat before {};
    bool stored = fstat(fd, &before) == 0;
    if (stored) {
        ssize_t written;
        do
            written = write(fd, bytes.data(), bytes.size());
        while (written < 0 && errno == EINTR);
        stored = written == static_cast<ssize_t>(bytes.size()) && fdatasync(fd) == 0;
        if (!stored && written > 0) {
            [[maybe_unused]] const int cut = ftruncate(fd, before.st_size);
        }
    }
    close(fd);
    return stored;
}

bool SyncFile(const std::u16string& path) {
    const int fd = open(Utf8FromWide(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool MakeDirectory(const std::u16string& path, bool ownerOnly) {
    const std::string dir = Utf8FromWide(path);
    const mode_t mode = ownerOnly ? kOwnerOnlyDirectoryMode : kSharedDirectoryMode;
    // mkdir applies the umask, which can only take permissions away; the
    // chmod then gives the folder exactly its mode.
    if (mkdir(dir.c_str(), mode) != 0) {
        struct stat st {};
        if (errno != EEXIST || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        if (!ownerOnly || (st.st_mode & 07777) == mode)
            return true;
    }
    return chmod(dir.c_str(), mode) == 0;
}

std::u16string CreateUniqueFile(const std::u16string& directory, std::u16string_view prefix) {
    std::string dir = Utf8FromWide(directory);
    if (dir.empty())
        dir = "/";
    if (dir.back() != '/')
        dir.push_back('/');
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = dir + Utf8FromWide(prefix) + RandomHex(12);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return WideFromUtf8(path);
        }
        if (errno != EEXIST)
            break;
    }
    return {};
}

void ClearReadOnly(const std::u16string& path) {
    const std::string p = Utf8FromWide(path);
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
        chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR);
    }
}

bool ShareWithGroupOf(const std::u16string& path, const std::u16string& reference) {
    struct stat ref {};
    const std::string p = Utf8FromWide(path);
    if (stat(Utf8FromWide(reference).c_str(), &ref) != 0)
        return false;
    // The mode first: the file is never readable by the group before it
    // belongs to the right one.
    if (chmod(p.c_str(), 0600) != 0)
        return false;
    if (chown(p.c_str(), ref.st_uid, ref.st_gid) != 0 && geteuid() == 0)
        return false;
    return chmod(p.c_str(), 0640) == 0;
}

}  // namespace qm::host
