// Registering a service of our own as a systemd unit: a unit file in the
// administrator's unit folder, then daemon-reload, enable and restart
// through systemctl. The unit folder and the "systemd runs" test folder come
// from QUILLMATE_SYSTEMD_UNIT_DIR and QUILLMATE_SYSTEMD_RUNTIME when set, so
// that tests run against a stand-in systemctl and a temporary folder.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

// Short calls (reload, enable, show) and those that wait for the service
// itself: a stop waits up to systemd's own stop time-out (90 s by default).
constexpr int kSystemctlTimeoutMs = 60000;
constexpr int kServiceWaitTimeoutMs = 120000;
// The most of systemctl's output quoted in a failure text.
constexpr size_t kMaxQuotedOutput = 300;

std::string EnvironmentOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return (value && *value) ? value : fallback;
}

std::string UnitDirectory() {
    std::string dir = EnvironmentOr("QUILLMATE_SYSTEMD_UNIT_DIR", "/etc/systemd/system");
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

bool HaveSystemctl() {
    return !posix::FindExecutable("systemctl", {}).empty();
}

// Names we create ourselves: no instance ("@") or escaped ("\\") names, and
// no leading "-" or "." that would read as an option or a hidden file.
bool IsPlainUnitName(std::u16string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == u'-' || name.front() == u'.')
        return false;
    for (char16_t c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.';
        if (!ok)
            return false;
    }
    return true;
}

bool HasControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

// A unit file value: "%" starts a placeholder ("%n", "%h") everywhere in it.
std::string EscapePercent(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += '%';
        out += c;
    }
    return out;
}

// A double-quoted word as systemd reads it: C escapes inside the quotes,
// "%%" for "%", and in command lines "$$" for "$" (else a variable).
std::string Quoted(std::string_view text, bool inCommandLine) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else if (c == '%') {
            out += "%%";
        } else if (c == '$' && inCommandLine) {
            out += "$$";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One word of ExecStart: bare when it holds only characters that systemd
// takes literally, quoted otherwise (blanks, quotes, backslashes, ";").
std::string CommandWord(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || std::strchr("/_.,:=+@-", c) != nullptr;
        if (!ok)
            plain = false;
    }
    return plain ? std::string(word) : Quoted(word, true);
}

bool IsVariableName(std::string_view name) {
    if (name.empty() || (name.front() >= '0' && name.front() <= '9'))
        return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    }
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The unit file's text; empty with `problem` set when the definition cannot
// be written as one. A line ending in "\" would continue on the next line,
// so single-line values may not end in one.
std::string UnitText(const ServiceDefinition& service, std::u16string& problem) {
    const std::string description = Utf8FromWide(service.description);
    const std::string program = Utf8FromWide(service.program);
    const std::string directory = Utf8FromWide(service.workingDirectory);
    if (HasControlCharacter(description) || description.ends_with('\\')) {
        problem = u"the description must be one line, not ending in a backslash";
        return {};
    }
    if (!program.starts_with('/') || HasControlCharacter(program)) {
        problem = u"the program must be an absolute path";
        return {};
    }
    if (!IsExecutableFile(program)) {
        problem = u"the program " + service.program + u" is not an executable file";
        return {};
    }
    if (!directory.empty()) {
        if (!directory.starts_with('/') || HasControlCharacter(directory) ||
            directory.ends_with('\\')) {
            problem = u"the working directory must be an absolute path";
            return {};
        }
        if (!IsDirectory(directory)) {
            problem = u"the working directory " + service.workingDirectory + u" is not a folder";
            return {};
        }
    }

    std::ostringstream text;
    text << "[Unit]\n"
         << "Description=" << EscapePercent(description) << "\n"
         << "After=network-online.target\n"
         << "Wants=network-online.target\n"
         << "\n"
         << "[Service]\n"
         << "Type=simple\n"
         << "ExecStart=" << CommandWord(program);
    for (const auto& argument : service.arguments)
        text << " " << CommandWord(Utf8FromWide(argument));
    text << "\n";
    if (!directory.empty())
        text << "WorkingDirectory=" << EscapePercent(directory) << "\n";
    for (const auto& entry : service.environment) {
        const std::string assignment = Utf8FromWide(entry);
        const size_t equals = assignment.find('=');
        if (equals == std::string::npos || !IsVariableName(assignment.substr(0, equals))) {
            problem = u"\"" + entry + u"\" is not a NAME=value environment entry";
            return {};
        }
        text << "Environment=" << Quoted(assignment, false) << "\n";
    }
    text << "Restart=on-failure\n"
         << "RestartSec=30\n"
         << "\n"
         << "[Install]\n"
         << "WantedBy=multi-user.target\n";
    return text.str();
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes a temporary file beside `path` (mode 0644, whatever the umask) and
// renames it over `path`: systemd never reads half a unit. The rename
// replaces a link at `path` itself, never what it points to. Returns the
// errno of the failure, 0 on success.
int WriteUnitFile(const std::string& path, const std::string& bytes) {
    const size_t slash = path.rfind('/');
    const std::string dir = path.substr(0, slash == 0 ? 1 : slash);
    std::string temp = dir + "/." + path.substr(slash + 1) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    bool ok = WriteAll(fd, bytes) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        return error != 0 ? error : EIO;
    }
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

std::u16string ErrorText(int errorNumber) {
    return WideFromUtf8(std::strerror(errorNumber));
}

// What a unit path holds before it is written.
enum class UnitFile { Missing, Regular, Other };
UnitFile ExistingUnitFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return UnitFile::Missing;
    return S_ISREG(st.st_mode) ? UnitFile::Regular : UnitFile::Other;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return bytes.str();
}

struct Systemctl {
    bool ok = false;
    std::u16string failure;  // "systemctl enable x.service failed (...)"
    std::string output;
};

Systemctl RunSystemctl(const std::vector<std::string>& arguments, int timeoutMs) {
    std::vector<std::string> command = {"systemctl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Systemctl result;
    int exitStatus = -1;
    const bool ran = posix::RunCapture(command, timeoutMs, result.output, exitStatus);
    result.ok = ran && exitStatus == 0;
    if (result.ok)
        return result;
    std::string shown;
    for (const auto& word : command)
        shown += (shown.empty() ? "" : " ") + word;
    std::string said = result.output;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
        said.pop_back();
    if (said.size() > kMaxQuotedOutput)
        said = "..." + said.substr(said.size() - kMaxQuotedOutput);
    for (char& c : said) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::string why = ran ? "exit status " + std::to_string(exitStatus) : "did not finish";
    if (ran && !said.empty())
        why += ": " + said;
    result.failure = WideFromUtf8(shown + " failed (" + why + ")");
    return result;
}

struct UnitProperties {
    std::string loadState, activeState;
};
// LoadState and ActiveState of the unit; nullopt with `failure` set when
// systemctl cannot tell.
std::optional<UnitProperties> ShowUnit(const std::string& unit, std::u16string& failure) {
    const Systemctl show =
        RunSystemctl({"show", "--no-pager", "--property=LoadState", "--property=ActiveState", unit},
                     kSystemctlTimeoutMs);
    if (!show.ok) {
        failure = show.failure;
        return std::nullopt;
    }
    return UnitProperties{posix::SystemdProperty(show.output, "LoadState"),
                          posix::SystemdProperty(show.output, "ActiveState")};
}

// A masked unit (linked to /dev/null) cannot run: it counts as absent.
bool IsInstalled(const UnitProperties& unit) {
    return !unit.loadState.empty() && unit.loadState != "not-found" && unit.loadState != "masked";
}

}  // namespace

void RegisterService(const ServiceDefinition& service) {
    const std::u16string refused = u"the service " + service.name + u" cannot be installed: ";
    if (!IsPlainUnitName(service.name))
        ThrowResult(u"%s", refused + u"not a valid service name");
    if (!posix::SystemdRunning())
        ThrowResult(u"%s", refused +
                               u"systemd is not running (start \"vantrel run\" from cron or "
                               u"another supervisor instead)");
    if (!HaveSystemctl())
        ThrowResult(u"%s", refused + u"systemctl is not found");
    std::u16string problem;
    const std::string text = UnitText(service, problem);
    if (text.empty())
        ThrowResult(u"%s", refused + problem);

    const std::string unit = Utf8FromWide(service.name) + ".service";
    const std::string path = UnitDirectory() + "/" + unit;
    std::optional<std::string> previous;
    switch (ExistingUnitFile(path)) {
        case UnitFile::Missing:
            break;
        case UnitFile::Regular:
            previous = ReadWholeFile(path);
            if (!previous)
                ThrowResult(u"%s", refused + u"cannot read the present " + WideFromUtf8(path));
            break;
        case UnitFile::Other:
            // A mask (a link to /dev/null) or a link into a package's unit:
            // the administrator put it there.
            ThrowResult(u"%s", refused + WideFromUtf8(path) +
                                   u" is not a plain file (masked or linked); remove it first");
    }
    if (const int error = WriteUnitFile(path, text); error != 0)
        ThrowResult(u"%s", refused + u"cannot write " + WideFromUtf8(path) + u" (" +
                               ErrorText(error) + u")");

    // Undoes the steps done so far, latest first, each at best effort: the
    // failure reported is the step's, not the undo's.
    bool enableTried = false, restartTried = false;
    auto undo = [&]() -> std::u16string {
        if (restartTried && !previous)
            RunSystemctl({"stop", unit}, kServiceWaitTimeoutMs);
        if (enableTried && !previous)
            RunSystemctl({"disable", unit}, kSystemctlTimeoutMs);
        std::u16string done;
        if (previous) {
            done = WriteUnitFile(path, *previous) == 0
                       ? u"; the previous unit file was put back"
                       : u"; the previous unit file could not be put back";
        } else {
            done = unlink(path.c_str()) == 0 || errno == ENOENT
                       ? u"; the unit file was removed again"
                       : u"; " + WideFromUtf8(path) + u" could not be removed";
        }
        RunSystemctl({"daemon-reload"}, kSystemctlTimeoutMs);
        return done;
    };

    Systemctl step = RunSystemctl({"daemon-reload"}, kSystemctlTimeoutMs);
    if (step.ok) {
        enableTried = true;
        step = RunSystemctl({"enable", unit}, kSystemctlTimeoutMs);
    }
    if (step.ok) {
        // A restart, not a start: a service running already takes the
        // program and unit just written.
        restartTried = true;
        step = RunSystemctl({"restart", unit}, kServiceWaitTimeoutMs);
    }
    if (!step.ok) {
        const std::u16string done = undo();
        ThrowResult(u"%s", refused + step.failure + done);
    }
}

void UnregisterService(std::u16string_view name) {
    const std::u16string refused = u"the service " + std::u16string(name) + u" cannot be removed: ";
    if (!IsPlainUnitName(name))
        ThrowResult(u"%s", refused + u"not a valid service name");
    const std::string unit = Utf8FromWide(name) + ".service";
    const std::string path = UnitDirectory() + "/" + unit;
    const bool haveFile = ExistingUnitFile(path) == UnitFile::Regular;
    if (!posix::SystemdRunning() || !HaveSystemctl()) {
        // Nothing can be registered there, so nothing is; a unit file left
        // behind is only removed with the manager that enabled it.
        if (!haveFile)
            return;
        ThrowResult(u"%s", refused + (posix::SystemdRunning() ? u"systemctl is not found"
                                                              : u"systemd is not running"));
    }
    std::u16string failure;
    const auto properties = ShowUnit(unit, failure);
    if (!properties)
        ThrowResult(u"%s", refused + failure);
    const bool loaded = properties->loadState != "not-found" && !properties->loadState.empty();
    if (!loaded && !haveFile)
        return;
    if (loaded) {
        if (const Systemctl stop = RunSystemctl({"stop", unit}, kServiceWaitTimeoutMs); !stop.ok)
            ThrowResult(u"%s", refused + stop.failure);
    }
    if (const Systemctl disable = RunSystemctl({"disable", unit}, kSystemctlTimeoutMs); !disable.ok)
        ThrowResult(u"%s", refused + disable.failure);
    if (haveFile && unlink(path.c_str()) != 0 && errno != ENOENT)
        ThrowResult(u"%s", refused + u"cannot remove " + WideFromUtf8(path) + u" (" +
                               ErrorText(errno) + u")");
    if (const Systemctl reload = RunSystemctl({"daemon-reload"}, kSystemctlTimeoutMs); !reload.ok)
        ThrowResult(u"%s", refused + reload.failure);
}

ServiceState QueryServiceState(std::u16string_view name) {
    if (!posix::SystemdRunning() || !HaveSystemctl())
        return {};
    if (!IsPlainUnitName(name))
        ThrowResult(u"%s", u"the state of the service " + std::u16string(name) +
                               u" cannot be read: not a valid service name");
    std::u16string failure;
    const auto properties = ShowUnit(Utf8FromWide(name) + ".service", failure);
    if (!properties)
        ThrowResult(u"%s", u"the state of the service " + std::u16string(name) +
                               u" cannot be read: " + failure);
    ServiceState state;
    state.installed = IsInstalled(*properties);
    state.running = state.installed &&
                    (properties->activeState == "active" || properties->activeState == "reloading");
    return state;
}

}  // namespace qm::host
