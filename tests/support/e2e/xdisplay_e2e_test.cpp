// The X display harness on a real FLTK window (quillmate-xdisplay-probe) in
// a private Xvfb: the window found by its exact title, a click on its
// button and Ctrl+Tab seen by the program, screenshots that are equal while
// nothing changes and differ after the click, and Xvfb gone afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/xdisplay.h"
#include "tests/support/temp_dir.h"

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kTitle = "xdisplay probe";
constexpr auto kWait = std::chrono::seconds(10);

bool WaitForFileText(const std::string& path, const std::string& expected) {
    for (const auto end = steady_clock::now() + kWait; steady_clock::now() < end;) {
        if (ReadTextFile(path) == expected)
            return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

// Screenshots until one differs from `other` (or, without it, until two in
// a row are equal: the program has finished drawing).
bool ScreenshotSettled(const XvfbDisplay& display, const std::string& window,
                       const std::string& path, const std::string& other = {}) {
    const std::string previous = path + ".previous.png";
    for (const auto end = steady_clock::now() + kWait; steady_clock::now() < end;) {
        if (!Screenshot(display, window, path))
            return false;
        if (!other.empty() && ComparePng(other, path).differentPixels > 0)
            return true;
        if (other.empty()) {
            const ImageDifference settled = ComparePng(previous, path);
            if (settled.comparable && settled.differentPixels == 0)
                return true;
        }
        std::rename(path.c_str(), previous.c_str());
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

TEST(XDisplayTest, DrivesARealWindow) {
    QM_E2E_REQUIRE_XVFB();
    test::TempDir dir;
    const std::string base = dir.narrow();
    const std::string log = base + "probe.log";
    XvfbDisplay display(640, 480);
    ASSERT_EQ(display.name(), ":" + std::to_string(display.number()));
    DisplayClient probe(display, {QUILLMATE_XDISPLAY_PROBE, log});

    const auto window = WaitForWindow(display, kTitle, kWait);
    ASSERT_TRUE(window) << probe.OutputText();
    EXPECT_FALSE(WaitForWindow(display, "XDISPLAY PROBE", milliseconds(0)));
    EXPECT_FALSE(WaitForWindow(display, "xdisplay", milliseconds(0)));
    const WindowGeometry geometry = GetGeometry(display, *window);
    EXPECT_EQ(geometry.width, 300);
    EXPECT_EQ(geometry.height, 200);

    // The same state twice: not one pixel differs.
    ASSERT_TRUE(ScreenshotSettled(display, *window, base + "before.png"));
    ASSERT_TRUE(Screenshot(display, *window, base + "again.png"));
    const ImageDifference same = ComparePng(base + "before.png", base + "again.png");
    EXPECT_TRUE(same.comparable);
    EXPECT_EQ(same.width, 300);
    EXPECT_EQ(same.height, 200);
    EXPECT_EQ(same.differentPixels, 0);

    ClickAt(display, *window, 100, 65);
    PressKeys(display, *window, "ctrl+Tab");
    EXPECT_TRUE(WaitForFileText(log, "clicked\nctrl+tab\n")) << ReadTextFile(log);

    // The click relabelled and recoloured the button.
    ASSERT_TRUE(ScreenshotSettled(display, *window, base + "after.png", base + "before.png"));
    const ImageDifference changed = ComparePng(base + "before.png", base + "after.png");
    EXPECT_TRUE(changed.comparable);
    EXPECT_GT(changed.differentPixels, 0);
    EXPECT_LT(changed.fraction, 0.5);  // the button, not the whole window
    EXPECT_TRUE(WriteDifferenceImage(base + "before.png", base + "after.png", base + "diff.png"));
    EXPECT_FALSE(ComparePng(base + "before.png", base + "missing.png").comparable);
    EXPECT_EQ(probe.ExitCode(), -1) << probe.OutputText();
}

TEST(XDisplayTest, LeavesNoServerBehind) {
    QM_E2E_REQUIRE_XVFB();
    int pid = 0;
    std::string socket;
    {
        XvfbDisplay display(320, 240);
        pid = display.pid();
        socket = "/tmp/.X11-unix/X" + std::to_string(display.number());
        EXPECT_TRUE(ProcessAlive(pid));
    }
    EXPECT_FALSE(ProcessAlive(pid));
    EXPECT_TRUE(ReadTextFile("/proc/" + std::to_string(pid) + "/stat").empty());
    EXPECT_NE(access(socket.c_str(), F_OK), 0) << socket << " is left behind";
}

}  // namespace
}  // namespace qm::e2e
