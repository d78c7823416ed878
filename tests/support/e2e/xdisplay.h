// Driving real X11 windows in end-to-end tests: a private Xvfb display,
// programs started on it, and xdotool and ImageMagick to find windows,
// click, type and take and compare screenshots.
//
//     QM_E2E_REQUIRE_XVFB();
//     qm::e2e::XvfbDisplay display;              // waits until it takes clients
//     qm::e2e::DisplayClient app(display, {program, "--flag"});
//     auto window = qm::e2e::WaitForWindow(display, "Quillmate", std::chrono::seconds(10));
//     ASSERT_TRUE(window) << app.OutputText();
//     qm::e2e::ClickAt(display, *window, 60, 65);
//     qm::e2e::PressKeys(display, *window, "ctrl+Tab");
//     qm::e2e::Screenshot(display, *window, dir + "after.png");
//
// There is no window manager on the display: windows keep the place their
// program gives them, and keyboard input goes to the window given the input
// focus (PressKeys and TypeText do that first) as real key events through
// the XTEST extension, not XSendEvent, which many toolkits ignore.
//
// Every tool runs with DISPLAY set to the display's name, from an argument
// vector (no shell). Xvfb and the programs on it get SIGTERM when the thread
// that started them ends, so a test killed at its time limit leaves none
// behind.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {
class TempDir;
}

namespace qm::e2e {

// Skips the current test when Xvfb, xdotool or ImageMagick is missing.
#define QM_E2E_REQUIRE_XVFB()                                                                     \
    do {                                                                                          \
        if (const std::string missing = ::qm::e2e::XvfbDisplay::MissingTools(); !missing.empty()) \
            GTEST_SKIP() << "window tests need " << missing << ", which are not installed";       \
    } while (0)

class XvfbDisplay {
public:
    // Starts `Xvfb :N -screen 0 WIDTHxHEIGHTx24 -nolisten tcp -noreset` on
    // a free display number (from a random one in 90..400 upwards) and
    // waits until it takes clients. Throws std::runtime_error with Xvfb's
    // messages when none comes up.
    explicit XvfbDisplay(int width = 1024, int height = 768);
    // Ends Xvfb (SIGTERM, then SIGKILL after five seconds) and waits for it.
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    const std::string& name() const { return name_; }  // ":N"
    int number() const { return number_; }
    int pid() const { return pid_; }
    std::string LogText() const;  // what Xvfb wrote to its standard output and error

    // Whether Xvfb and xdotool are on the search path.
    static bool Available();
    // The missing tools of every window test, with their Debian packages
    // ("Xvfb (xvfb), import (imagemagick)"); empty when all are there.
    static std::string MissingTools();

private:
    bool TryStart(int number, std::string& failure);
    void Stop() noexcept;

    std::unique_ptr<test::TempDir> dir_;
    std::string screenSize_;  // "WIDTHxHEIGHTx24"
    std::string name_;
    int number_ = -1;
    int pid_ = -1;
};

// A program running on the display, its standard output and error in a
// file. Killed (SIGTERM, then SIGKILL) and waited for when the object goes.
class DisplayClient {
public:
    DisplayClient(const XvfbDisplay& display, const std::vector<std::string>& argv);
    ~DisplayClient();
    DisplayClient(const DisplayClient&) = delete;
    DisplayClient& operator=(const DisplayClient&) = delete;

    int pid() const { return pid_; }
    // Its exit code (128 + signal) once it has ended, -1 while it runs.
    int ExitCode();
    std::string OutputText() const;

private:
    std::unique_ptr<test::TempDir> dir_;
    int pid_ = -1;
    int exitCode_ = -1;
};

// Runs `argv` to its end with DISPLAY set to the display; returns its exit
// code (-1 when it could not start), `output` its standard output and error.
int RunOnDisplay(const XvfbDisplay& display, const std::vector<std::string>& argv,
                 std::string& output,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(15000));

// The id (as xdotool prints it, in decimal) of a visible window whose name is
// exactly `title`, polled for until `timeout`; nullopt when none appeared.
std::optional<std::string> WaitForWindow(const XvfbDisplay& display, const std::string& title,
                                         std::chrono::milliseconds timeout);

struct WindowGeometry {
    int x = 0;  // on the screen
    int y = 0;
    int width = 0;
    int height = 0;
};
// Throws std::runtime_error with xdotool's messages when it cannot be read.
WindowGeometry GetGeometry(const XvfbDisplay& display, const std::string& windowId);

// Moves the pointer to (x, y) inside the window and clicks the first
// button, then lets the program take it in. Throws when xdotool fails.
void ClickAt(const XvfbDisplay& display, const std::string& windowId, int x, int y);
// Gives the window the input focus, then presses a key sequence in
// xdotool's words ("ctrl+Tab", "Return", "alt+f Down"). Throws when
// xdotool fails.
void PressKeys(const XvfbDisplay& display, const std::string& windowId, const std::string& keys);
// Gives the window the input focus, then types UTF-8 text key by key.
void TypeText(const XvfbDisplay& display, const std::string& windowId, const std::string& text);

// The window's pixels as a PNG file (ImageMagick's import). Where other
// windows cover it, their pixels are in the picture.
bool Screenshot(const XvfbDisplay& display, const std::string& windowId,
                const std::string& pngPath);

struct ImageDifference {
    bool comparable = false;  // both were read and have the same size
    int width = 0;            // of the first picture (0 when unreadable)
    int height = 0;
    long differentPixels = 0;
    double fraction = 0;  // differentPixels / (width * height)
};
// Compares two PNG files pixel by pixel: a pixel differs when one of its
// red, green, blue or alpha values differs by more than `fuzzPercent` of
// 255. Pictures of different sizes are not comparable.
ImageDifference ComparePng(const std::string& a, const std::string& b, int fuzzPercent = 0);
// Writes ImageMagick's picture of the differences (compare a b out) for a
// test's artifacts; false when it could not.
bool WriteDifferenceImage(const std::string& a, const std::string& b, const std::string& outPng);

}  // namespace qm::e2e
