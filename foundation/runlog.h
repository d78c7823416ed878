// The run log: one line per message in RunLog/<executable name>.log under the
// program directory. Writing never fails and never throws; each message is
// a complete open-append-close, so the file is whole after every call.
#pragma once

#include <string>
#include <string_view>

#include "foundation/format.h"

namespace qm {

enum class LogLevel { Trace = 0, Info = 1, Warn = 2, Error = 3 };

// Writes one already formatted message.
void WriteLogLine(LogLevel level, std::string_view message);
void WriteLogLine(LogLevel level, std::u16string_view message);

// Fixes the log directory. Returns false, and switches logging off for the
// rest of the process, when the directory does not exist and cannot be made.
bool SetLogDirectory(const std::string& directory);

// The file the next message goes to (after the default directory is worked
// out); empty when logging is off.
std::u16string CurrentLogFilePath();

// Size at which the log is moved to a time-stamped archive before a write.
inline constexpr long long kLogRotationSize = 3 * 1024 * 1024;

#define QM_DEFINE_LOG_LEVEL(Name, Level)                      \
    template <class... A>                                     \
    void Name(std::string_view format, const A&... args) {    \
        WriteLogLine(Level, FormatNarrow(format, args...));   \
    }                                                         \
    template <class... A>                                     \
    void Name(std::u16string_view format, const A&... args) { \
        WriteLogLine(Level, FormatWide(format, args...));     \
    }

QM_DEFINE_LOG_LEVEL(LogTrace, LogLevel::Trace)
QM_DEFINE_LOG_LEVEL(LogInfo, LogLevel::Info)
QM_DEFINE_LOG_LEVEL(LogWarn, LogLevel::Warn)
QM_DEFINE_LOG_LEVEL(LogError, LogLevel::Error)

#undef QM_DEFINE_LOG_LEVEL

}  // namespace qm
