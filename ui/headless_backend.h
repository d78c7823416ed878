// A backend without a display: a task queue and timers served by the thread
// that runs the loop. Used by the command-line front end and by tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "ui/backend.h"

namespace qm::ui {

class HeadlessBackend : public Backend {
public:
    HeadlessBackend() = default;
    ~HeadlessBackend() override = default;

    void Post(std::function<void()> task) override;
    int StartTimer(int intervalMs, std::function<void()> tick) override;
    void StopTimer(int id) override;
    void Run() override;
    void Quit() override;
    bool IsLoopThread() const override;
    // Runs the loop until the window is closed (or Quit).
    void RunModal(Window& window, const SkinWindow& layout, const SkinArchive& archive,
                  std::u16string_view title) override;

    // Runs the loop until `done` holds (checked after every task and timer,
    // and at least every 10 ms), Quit is called, or `timeout` passes.
    // Returns whether `done` held.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        std::chrono::milliseconds interval;
        Clock::time_point due;
        std::function<void()> tick;
    };

    // Runs the loop until `stop` says so or Quit; `deadline` bounds the wait.
    bool Loop(const std::function<bool()>& done, Clock::time_point deadline);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::map<int, Timer> timers_;
    int nextTimerId_ = 1;
    bool quit_ = false;
    std::thread::id loopThread_;
};

}  // namespace qm::ui
