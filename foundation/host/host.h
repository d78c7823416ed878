// The host backend: the few operations that need the operating system.
// Exactly one backend (host/posix or host/windows) is compiled in; everything
// above it calls these functions or the portable helpers built on them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::host {

// Code page 936 conversions; unconvertible input becomes "?".
std::string WideToCodePage936(std::u16string_view wide);
std::u16string CodePage936ToWide(std::string_view narrow);

// The program's command line as UTF-8 texts, its own name first. Windows
// hands main() the arguments in the ANSI code page, so they are read again
// in UTF-16 there. Also makes the console show UTF-8 output.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Full path of the running executable; empty when it cannot be read.
std::u16string ExecutablePath();

// The system's folder for temporary files, without a trailing separator.
std::u16string TempDirectory();

// A readable name of the running operating system (distribution name on Linux).
std::u16string OperatingSystemName();

// Value of a variable in the process environment; nullopt when unset.
std::optional<std::u16string> ProcessEnvironmentValue(std::u16string_view name);
// Sets the variable for this process and the programs it starts; nullopt
// removes it.
void SetProcessEnvironmentValue(std::u16string_view name,
                                const std::optional<std::u16string>& value);
// Replaces the running program with `program`, started with `args` (the
// program's own name first; UTF-8 texts, as ProgramArguments gives them). Returns only when that
// cannot be done.
void ReplaceProcessImage(const std::u16string& program, const std::vector<std::string>& args);

// Value of a system-wide environment variable (the machine's persistent
// settings: /etc/environment on POSIX, the registry on Windows).
enum class SystemEnvStatus { Found, NotFound, Unreadable };
SystemEnvStatus SystemEnvironmentValue(std::u16string_view name, std::u16string& value);

// Cryptographically strong random bytes.
void RandomBytes(void* buffer, size_t size);

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime Now();

// Writes `bytes` to a fresh file beside `path` and renames it over `path`.
// Permissions: owner read/write only (0600) when `ownerOnly`; else those of
// `modeFrom` when given; else, when `keepTargetMode`, those (and the owner)
// of the file replaced; else readable by all and writable by the owner
// (0644). The process umask plays no part. A symbolic link at `path` is
// followed, so the link stays and its target is replaced.
struct ReplaceOptions {
    bool ownerOnly = false;
    std::u16string modeFrom;
    bool keepTargetMode = true;
};
bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes,
                           const ReplaceOptions& options);

// Appends `bytes` to the file, which is created when missing: readable by
// all and writable by the owner (0644), whatever the umask.
bool AppendToFile(const std::u16string& path, std::string_view bytes);
// Appends one record in a single write and waits until it is on disk; a
// record that could not be written whole is cut off again, so the file only
// ever holds whole records. A new file is readable by all.
bool AppendRecordDurably(const std::u16string& path, std::string_view bytes);
// Waits until the file's contents are on disk.
bool SyncFile(const std::u16string& path);

// Creates one folder (its parent must exist): owner-only (0700) when
// `ownerOnly`, else readable by all and writable by the owner (0755),
// whatever the umask. An existing folder is kept as it is, except that
// `ownerOnly` makes it owner-only too. False when there is no folder at
// `path` afterwards.
bool MakeDirectory(const std::u16string& path, bool ownerOnly);

// Creates a new, empty file with a unique unpredictable name in `directory`
// (owner-only permissions) and returns its path; empty on failure.
std::u16string CreateUniqueFile(const std::u16string& directory, std::u16string_view prefix);

// Who besides its owner may read `path`: empty when nobody else may (on
// Windows SYSTEM and the Administrators count with the owner, as in the
// owner-only lists this backend writes); else a short description such as
// "mode 0644" or "Everyone". Nullopt when that cannot be read.
std::optional<std::string> OthersWhoMayRead(const std::u16string& path);

// Makes the file writable by its owner (the "read-only attribute" of Windows).
void ClearReadOnly(const std::u16string& path);
// Gives `path` the owner and group of `reference`, readable by that group
// and written by the owner only; false when that cannot be done.
bool ShareWithGroupOf(const std::u16string& path, const std::u16string& reference);

#ifdef _WIN32
// Whether this Windows release is one the program supports.
bool IsSupportedWindowsVersion();
// A string of the version resource of an executable ("ProductVersion"); empty
// when the file has none.
std::u16string VersionResourceValue(std::u16string_view path, std::u16string_view name);
#endif

}  // namespace qm::host
