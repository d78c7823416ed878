#include "foundation/runlog.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace fs = std::filesystem;

namespace qm {

namespace {

struct LogState {
    std::mutex lock;  // one writer at a time: lines never interleave
    bool enabled = true;
    bool directoryFixed = false;
    std::u16string directory;
};

LogState& State() {
    static LogState state;
    return state;
}

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

std::string TimeStamp(const host::LocalTime& t) {
    return FormatNarrow("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                        t.second);
}

std::string_view Tag(LogLevel level) {
    switch (level) {
        case LogLevel::Info:
            return "[Info] ";
        case LogLevel::Warn:
            return "[Warn] ";
        case LogLevel::Error:
            return "[Error] ";
        case LogLevel::Trace:
            break;
    }
    return "";
}

// Works out the file for the next line; empty when there is none.
std::u16string LogFilePathLocked(LogState& s) {
    const std::u16string exe = FileNameOf(GetProgramPath());
    if (exe.empty())
        return {};
    if (!s.directoryFixed) {
        s.directory = GetProgramDirectory() + u"RunLog" + PathSeparator();
        MakeDirectoryTree(s.directory);
    }
    return s.directory + exe + u".log";
}

// Moves a log of the rotation size or more to "<name>_YYYY-MM-DD hh-mm-ss.log"
// beside it; the next line then starts a fresh log.
void RotateLogFile(const std::u16string& path) {
    std::error_code ec;
    const fs::path file = FsPath(path);
    const auto size = fs::file_size(file, ec);
    if (ec || size < static_cast<uintmax_t>(kLogRotationSize))
        return;
    const host::LocalTime t = host::Now();
    const std::u16string stem = path.size() > 4 ? path.substr(0, path.size() - 4) : path;
    const std::u16string stamp = WideFromAscii(FormatNarrow(
        "_%04d-%02d-%02d %02d-%02d-%02d", t.year, t.month, t.day, t.hour, t.minute, t.second));
    std::u16string archive = stem + stamp + u".log";
    // Two rotations within one second must not overwrite the first archive.
    for (int n = 1; fs::exists(FsPath(archive), ec) && n < 1000; ++n) {
        archive = stem + stamp + u"_" + WideFromAscii(std::to_string(n)) + u".log";
    }
    fs::rename(file, FsPath(archive), ec);
}

}  // namespace

void WriteLogLine(LogLevel level, std::string_view message) {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.enabled)
        return;
    const std::u16string path = LogFilePathLocked(s);
    if (path.empty())
        return;
    RotateLogFile(path);
    std::string line = "[" + TimeStamp(host::Now()) + "] ";
    line += Tag(level);
    line += message;
    line += kLineEnd;
    // A new log is readable by all, whatever the umask.
    host::AppendToFile(path, line);
}

void WriteLogLine(LogLevel level, std::u16string_view message) {
    WriteLogLine(level, NarrowFromWide(message));
}

bool SetLogDirectory(const std::string& directory) {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    const std::u16string dir = WideFromNarrow(directory);
    if (dir.empty() || (!DirectoryExists(dir) && !MakeDirectoryTree(dir))) {
        s.enabled = false;
        return false;
    }
    s.directory = dir;
    if (s.directory.back() != u'/' && s.directory.back() != u'\\')
        s.directory += PathSeparator();
    s.directoryFixed = true;
    return true;
}

std::u16string CurrentLogFilePath() {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.enabled ? LogFilePathLocked(s) : std::u16string();
}

}  // namespace qm
