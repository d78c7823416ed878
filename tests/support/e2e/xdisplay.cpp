#include "tests/support/e2e/xdisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kFirstDisplay = 90;
constexpr int kLastDisplay = 400;
constexpr int kStartAttempts = 12;
constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kStopLimit = std::chrono::seconds(5);
// Time for a program to take in a click or keys before the next step looks.
constexpr auto kSettle = milliseconds(100);

// The program's full path on the search path; empty when there is none.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// This process's environment for a program on the display: DISPLAY set,
// WAYLAND_DISPLAY removed so that toolkits do not pick a Wayland session.
std::vector<std::string> EnvironmentFor(const std::string& displayName) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("DISPLAY=") && !text.starts_with("WAYLAND_DISPLAY="))
            env.emplace_back(text);
    }
    env.push_back("DISPLAY=" + displayName);
    return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Starts a program with standard input from /dev/null and its output
// appended to `logPath`; `passFd` (when >= 0) becomes its descriptor 3.
// The child gets SIGTERM when the thread that started it ends, so nothing
// outlives a test that was killed, and Xvfb still removes its socket and
// lock file. Throws when the program cannot start.
int SpawnDying(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& logPath, int passFd) {
    const std::string program = FindProgram(argv.at(0));
    if (program.empty())
        throw std::runtime_error("cannot find " + argv[0] + " on the search path");
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(127);
        if (in > 2)
            close(in);
        if (out > 2)
            close(out);
        if (passFd >= 0) {
            if (passFd == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(passFd, 3) != 3)
                _exit(127);
            closefrom(4);
        } else {
            closefrom(3);
        }
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL when the process has not ended within `limit`.
void EndChild(int pid, std::chrono::milliseconds limit) noexcept {
    if (pid <= 0)
        return;
    if (ChildExitWithin(pid, milliseconds(0)) != -1)
        return;
    kill(pid, SIGTERM);
    if (ChildExitWithin(pid, limit) != -1)
        return;
    kill(pid, SIGKILL);
    ChildExitWithin(pid, kStopLimit);
}

std::string EscapeRegex(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (std::strchr(".[]{}()\\*+?^$|", c) != nullptr)
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Runs xdotool on the display; throws with its messages when it fails.
std::string Xdotool(const XvfbDisplay& display, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    const int rc = RunOnDisplay(display, argv, output);
    if (rc != 0) {
        std::string line;
        for (const auto& a : argv)
            line += (line.empty() ? "" : " ") + a;
        throw std::runtime_error(line + " failed (exit " + std::to_string(rc) + "):\n" + output);
    }
    return output;
}

// Width and height from a PNG file's IHDR chunk; false when it is no PNG.
bool PngSize(const std::string& path, int& width, int& height) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header))
        return false;
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (std::memcmp(header, kSignature, 8) != 0 || std::memcmp(header + 12, "IHDR", 4) != 0)
        return false;
    auto big = [&](int at) {
        return (static_cast<unsigned long>(header[at]) << 24) | (header[at + 1] << 16) |
               (header[at + 2] << 8) | header[at + 3];
    };
    width = static_cast<int>(big(16));
    height = static_cast<int>(big(20));
    return width > 0 && height > 0;
}

// The pixels of a PNG file as 8-bit RGBA, decoded by ImageMagick.
bool DecodeRgba(const std::string& png, int width, int height, const test::TempDir& dir,
                const std::string& name, std::string& pixels) {
    const std::string raw = dir.narrow() + name + ".rgba";
    std::string output;
    if (RunProgram({"convert", png, "-depth", "8", "rgba:" + raw}, output) != 0)
        return false;
    pixels = ReadTextFile(raw);
    return pixels.size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

}  // namespace

XvfbDisplay::XvfbDisplay(int width, int height) : dir_(std::make_unique<test::TempDir>()) {
    screenSize_ = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::random_device seed;
    const int span = kLastDisplay - kFirstDisplay + 1;
    const int first = static_cast<int>(seed() % static_cast<unsigned>(span));
    std::string failures;
    for (int attempt = 0, offset = 0; attempt < kStartAttempts && offset < span; ++offset) {
        const int number = kFirstDisplay + (first + offset) % span;
        // A socket or lock file left by another server (or by one that was
        // killed) marks a number to leave alone.
        if (Exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
            Exists("/tmp/.X" + std::to_string(number) + "-lock"))
            continue;
        ++attempt;
        std::string failure;
        if (TryStart(number, failure)) {
            std::string output;
            if (RunOnDisplay(*this, {"xdotool", "getdisplaygeometry"}, output) == 0)
                return;
            failure = "xdotool cannot reach it: " + output;
            Stop();
        }
        failures += "display :" + std::to_string(number) + ": " + failure + "\n";
    }
    number_ = -1;
    name_.clear();
    throw std::runtime_error("Xvfb did not start (screen " + screenSize_ + "):\n" + failures);
}

bool XvfbDisplay::TryStart(int number, std::string& failure) {
    const std::string numberText = std::to_string(number);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        failure = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string log = dir_->narrow() + "xvfb-" + numberText + ".log";
    try {
        // -displayfd: Xvfb writes the number there once it takes clients.
        pid_ = SpawnDying({"Xvfb", ":" + numberText, "-screen", "0", screenSize_, "-nolisten",
                           "tcp", "-noreset", "-displayfd", "3"},
                          EnvironmentFor(":" + numberText), log, pipeFds[1]);
    } catch (const std::exception& e) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        failure = e.what();
        return false;
    }
    close(pipeFds[1]);
    std::string reported;
    const auto end = steady_clock::now() + kStartLimit;
    while (reported.find('\n') == std::string::npos && steady_clock::now() < end) {
        pollfd ready = {pipeFds[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[32];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;  // Xvfb ended (a server already holds the number, say)
        reported.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (reported.find('\n') != std::string::npos && std::atoi(reported.c_str()) == number &&
        ChildExitWithin(pid_, milliseconds(0)) == -1) {
        number_ = number;
        name_ = ":" + numberText;
        return true;
    }
    failure = reported.empty() ? "Xvfb did not report readiness" : "Xvfb reported " + reported;
    EndChild(pid_, kStopLimit);
    pid_ = -1;
    failure += ":\n" + ReadTextFile(log);
    return false;
}

XvfbDisplay::~XvfbDisplay() {
    Stop();
}

void XvfbDisplay::Stop() noexcept {
    EndChild(pid_, kStopLimit);
    pid_ = -1;
}

std::string XvfbDisplay::LogText() const {
    return ReadTextFile(dir_->narrow() + "xvfb-" + std::to_string(number_) + ".log");
}

bool XvfbDisplay::Available() {
    return !FindProgram("Xvfb").empty() && !FindProgram("xdotool").empty();
}

std::string XvfbDisplay::MissingTools() {
    static const char* const kTools[][2] = {{"Xvfb", "xvfb"},
                                            {"xdotool", "xdotool"},
                                            {"import", "imagemagick"},
                                            {"convert", "imagemagick"},
                                            {"compare", "imagemagick"}};
    std::string missing;
    for (const auto& [tool, package] : kTools) {
        if (FindProgram(tool).empty())
            missing +=
                std::string(missing.empty() ? "" : ", ") + tool + " (package " + package + ")";
    }
    return missing;
}

DisplayClient::DisplayClient(const XvfbDisplay& display, const std::vector<std::string>& argv)
    : dir_(std::make_unique<test::TempDir>()) {
    pid_ = SpawnDying(argv, EnvironmentFor(display.name()), dir_->narrow() + "output.log", -1);
}

DisplayClient::~DisplayClient() {
    if (exitCode_ == -1)
        EndChild(pid_, milliseconds(3000));
}

int DisplayClient::ExitCode() {
    if (exitCode_ == -1) {
        const int code = ChildExitWithin(pid_, milliseconds(0));
        if (code >= 0)
            exitCode_ = code;
    }
    return exitCode_;
}

std::string DisplayClient::OutputText() const {
    return ReadTextFile(dir_->narrow() + "output.log");
}

int RunOnDisplay(const XvfbDisplay& display, const std::vector<std::string>& argv,
                 std::string& output, std::chrono::milliseconds limit) {
    // env(1) sets the display for this one program; no shell is involved.
    std::vector<std::string> command = {"env", "-u", "WAYLAND_DISPLAY",
                                        "DISPLAY=" + display.name()};
    const std::string program = FindProgram(argv.at(0));
    if (program.empty()) {
        output = "cannot find " + argv[0] + " on the search path";
        return -1;
    }
    command.push_back(program);
    command.insert(command.end(), argv.begin() + 1, argv.end());
    return RunProgram(command, output, limit);
}

std::optional<std::string> WaitForWindow(const XvfbDisplay& display, const std::string& title,
                                         std::chrono::milliseconds timeout) {
    const auto end = steady_clock::now() + timeout;
    for (;;) {
        // xdotool matches names without regard to case, so every window it
        // finds is checked against the exact title.
        std::string found;
        RunOnDisplay(
            display,
            {"xdotool", "search", "--onlyvisible", "--name", "^" + EscapeRegex(title) + "$"},
            found);
        std::istringstream lines(found);
        std::string id;
        while (std::getline(lines, id)) {
            if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
                continue;  // xdotool's warnings share the output
            std::string name;
            if (RunOnDisplay(display, {"xdotool", "getwindowname", id}, name) == 0 &&
                name == title + "\n")
                return id;
        }
        if (steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

WindowGeometry GetGeometry(const XvfbDisplay& display, const std::string& windowId) {
    const std::string output = Xdotool(display, {"getwindowgeometry", "--shell", windowId});
    WindowGeometry geometry;
    int seen = 0;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const int value = std::atoi(line.c_str() + equals + 1);
        int* field = key == "X"        ? &geometry.x
                     : key == "Y"      ? &geometry.y
                     : key == "WIDTH"  ? &geometry.width
                     : key == "HEIGHT" ? &geometry.height
                                       : nullptr;
        if (field) {
            *field = value;
            ++seen;
        }
    }
    if (seen != 4)
        throw std::runtime_error("cannot read the geometry of window " + windowId + ":\n" + output);
    return geometry;
}

void ClickAt(const XvfbDisplay& display, const std::string& windowId, int x, int y) {
    // No --sync on mousemove: it waits for a motion that never comes when
    // the pointer is already there.
    Xdotool(display, {"mousemove", "--window", windowId, std::to_string(x), std::to_string(y),
                      "click", "1"});
    std::this_thread::sleep_for(kSettle);
}

void PressKeys(const XvfbDisplay& display, const std::string& windowId, const std::string& keys) {
    // `key --window` would send the keys with XSendEvent, marked as sent by
    // a client; many toolkits drop those. The focus and then keys from the
    // XTEST extension look like a real keyboard. (windowactivate needs a
    // window manager; there is none.)
    std::vector<std::string> args = {"windowfocus", "--sync", windowId, "key"};
    std::istringstream words(keys);
    std::string word;
    while (words >> word)
        args.push_back(word);
    Xdotool(display, args);
    std::this_thread::sleep_for(kSettle);
}

void TypeText(const XvfbDisplay& display, const std::string& windowId, const std::string& text) {
    Xdotool(display, {"windowfocus", "--sync", windowId, "type", "--delay", "12", "--", text});
    std::this_thread::sleep_for(kSettle);
}

bool Screenshot(const XvfbDisplay& display, const std::string& windowId,
                const std::string& pngPath) {
    std::remove(pngPath.c_str());
    std::string output;
    const int rc = RunOnDisplay(
        display,
        {"import", "-silent", "-display", display.name(), "-window", windowId, "png:" + pngPath},
        output);
    int width = 0;
    int height = 0;
    return rc == 0 && PngSize(pngPath, width, height);
}

ImageDifference ComparePng(const std::string& a, const std::string& b, int fuzzPercent) {
    ImageDifference difference;
    int widthB = 0;
    int heightB = 0;
    if (!PngSize(a, difference.width, difference.height)) {
        difference.width = difference.height = 0;
        return difference;
    }
    if (!PngSize(b, widthB, heightB) || widthB != difference.width || heightB != difference.height)
        return difference;
    test::TempDir dir;
    std::string pixelsA;
    std::string pixelsB;
    if (!DecodeRgba(a, difference.width, difference.height, dir, "a", pixelsA) ||
        !DecodeRgba(b, difference.width, difference.height, dir, "b", pixelsB))
        return difference;
    difference.comparable = true;
    const int allowed = std::clamp(fuzzPercent, 0, 100) * 255 / 100;
    for (size_t at = 0; at < pixelsA.size(); at += 4) {
        for (size_t channel = 0; channel < 4; ++channel) {
            const int delta = static_cast<unsigned char>(pixelsA[at + channel]) -
                              static_cast<unsigned char>(pixelsB[at + channel]);
            if (std::abs(delta) > allowed) {
                ++difference.differentPixels;
                break;
            }
        }
    }
    difference.fraction = static_cast<double>(difference.differentPixels) /
                          (static_cast<double>(difference.width) * difference.height);
    return difference;
}

bool WriteDifferenceImage(const std::string& a, const std::string& b, const std::string& outPng) {
    std::remove(outPng.c_str());
    std::string output;
    // compare exits with 1 when the pictures differ, 2 on errors.
    const int rc = RunProgram({"compare", a, b, "png:" + outPng}, output);
    int width = 0;
    int height = 0;
    return (rc == 0 || rc == 1) && PngSize(outPng, width, height);
}

}  // namespace qm::e2e
