#include "ui/headless_backend.h"

#include <utility>

#include "ui/window.h"

namespace qm::ui {

void HeadlessBackend::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

int HeadlessBackend::StartTimer(int intervalMs, std::function<void()> tick) {
    std::lock_guard lock(mutex_);
    const int id = nextTimerId_++;
    const auto interval = std::chrono::milliseconds(intervalMs < 1 ? 1 : intervalMs);
    timers_[id] = Timer{interval, Clock::now() + interval, std::move(tick)};
    wake_.notify_all();
    return id;
}

void HeadlessBackend::StopTimer(int id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

void HeadlessBackend::Run() {
    Loop(nullptr, Clock::time_point::max());
}

void HeadlessBackend::Quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

bool HeadlessBackend::IsLoopThread() const {
    std::lock_guard lock(mutex_);
    return loopThread_ == std::this_thread::get_id();
}

void HeadlessBackend::RunModal(Window& window, const SkinWindow&, const SkinArchive&,
                               std::u16string_view) {
    Loop([&window] { return window.IsClosed(); }, Clock::time_point::max());
}

bool HeadlessBackend::RunUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
    return Loop(done, Clock::now() + timeout);
}

bool HeadlessBackend::Loop(const std::function<bool()>& done, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const std::thread::id previousLoop = loopThread_;
    loopThread_ = std::this_thread::get_id();
    bool satisfied = false;
    for (;;) {
        if (done) {
            lock.unlock();
            satisfied = done();
            lock.lock();
            if (satisfied)
                break;
        }
        if (quit_) {
            quit_ = false;
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        // The earliest due timer, if it is due.
        auto due = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (due == timers_.end() || it->second.due < due->second.due)
                due = it;
        }
        if (due != timers_.end() && due->second.due <= now) {
            Timer& timer = due->second;
            timer.due = now + timer.interval;
            auto tick = timer.tick;  // the tick may stop its own timer
            lock.unlock();
            tick();
            lock.lock();
            continue;
        }
        auto wakeAt = deadline;
        if (due != timers_.end() && due->second.due < wakeAt)
            wakeAt = due->second.due;
        if (done) {
            const auto poll = now + std::chrono::milliseconds(10);
            if (poll < wakeAt)
                wakeAt = poll;
        }
        if (wakeAt == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, wakeAt);
    }
    loopThread_ = previousLoop;
    return satisfied;
}

}  // namespace qm::ui
