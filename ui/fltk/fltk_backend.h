// The graphical backend on FLTK: the message loop, tasks posted from worker
// threads (woken with Fl::awake), repeating timers, and the presentation of
// skinned windows (ui/fltk/fltk_view.h). Nothing outside this folder sees
// FLTK.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "ui/backend.h"

namespace qm::ui {

class WindowView;

class FltkBackend : public Backend {
public:
    // Construct on the thread that will run the loop.
    FltkBackend();
    ~FltkBackend() override;

    // Whether an X display can be opened (DISPLAY names one that answers).
    static bool DisplayAvailable();

    void Post(std::function<void()> task) override;
    int StartTimer(int intervalMs, std::function<void()> tick) override;
    void StopTimer(int id) override;
    void Run() override;
    void Quit() override;
    bool IsLoopThread() const override;

    void PresentWindow(Window& window, const SkinWindow& layout, const SkinArchive& archive,
                       std::u16string_view title) override;
    void RunModal(Window& window, const SkinWindow& layout, const SkinArchive& archive,
                  std::u16string_view title) override;
    void MinimizeWindow(Window& window) override;
    void DestroyWindow(Window& window) override;

    // Runs the posted tasks (the loop's wake-up calls it).
    void DrainTasks();
    // A timer's turn came: runs its tick; false when it was stopped.
    bool FireTimer(int id, double& intervalSeconds);

private:
    void ArmTimer(int id, double intervalSeconds);

    std::thread::id loopThread_;
    std::atomic<bool> quit_{false};

    std::mutex mutex_;  // tasks and timers
    std::deque<std::function<void()>> tasks_;
    bool wakePending_ = false;
    struct Timer {
        double intervalSeconds;
        std::function<void()> tick;
    };
    std::map<int, Timer> timers_;
    int nextTimerId_ = 1;

    // Loop thread only.
    std::map<Window*, std::unique_ptr<WindowView>> views_;
};

// A message box with an OK button and no owner window (needs a display).
// `dismiss`, asked a few times a second, closes it early when it says so.
void ShowMessageBox(std::u16string_view caption, std::u16string_view text,
                    std::function<bool()> dismiss = {});

}  // namespace qm::ui
