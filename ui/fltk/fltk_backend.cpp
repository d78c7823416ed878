#include "ui/fltk/fltk_backend.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#ifndef _WIN32
#include <X11/Xlib.h>
#endif

#include <utility>

#include "foundation/textconv.h"
#include "ui/fltk/fltk_view.h"
#include "ui/window.h"

namespace qm::ui {

namespace {

void WakeUp(void* data) {
    static_cast<FltkBackend*>(data)->DrainTasks();
}

struct TimerRef {
    FltkBackend* backend;
    int id;
};

void TimerDue(void* data) {
    auto* ref = static_cast<TimerRef*>(data);
    double interval = 0;
    if (ref->backend->FireTimer(ref->id, interval))
        Fl::repeat_timeout(interval, TimerDue, ref);
    else
        delete ref;
}

// Text in CJK scripts needs a font that has the glyphs; the Noto CJK family
// has Latin ones too, so both languages look alike.
void ChooseFonts() {
    static bool chosen = false;
    if (chosen)
        return;
    chosen = true;
    Fl::set_font(FL_HELVETICA, " Noto Sans CJK SC");
    Fl::set_font(FL_HELVETICA_BOLD, "BNoto Sans CJK SC");
}

}  // namespace

FltkBackend::FltkBackend() : loopThread_(std::this_thread::get_id()) {
    // Enables Fl::awake from worker threads.
    Fl::lock();
    ChooseFonts();
}

FltkBackend::~FltkBackend() {
    views_.clear();
    Fl::unlock();
}

bool FltkBackend::DisplayAvailable() {
#ifdef _WIN32
    return true;  // every interactive Windows session has a desktop
#else
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XCloseDisplay(display);
    return true;
#endif
}

void FltkBackend::Post(std::function<void()> task) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake)
        Fl::awake(WakeUp, this);
}

void FltkBackend::DrainTasks() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) {
                wakePending_ = false;
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

int FltkBackend::StartTimer(int intervalMs, std::function<void()> tick) {
    const double seconds = (intervalMs < 1 ? 1 : intervalMs) / 1000.0;
    int id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextTimerId_++;
        timers_[id] = Timer{seconds, std::move(tick)};
    }
    // FLTK's timeouts belong to the loop thread.
    if (IsLoopThread())
        ArmTimer(id, seconds);
    else
        Post([this, id, seconds] { ArmTimer(id, seconds); });
    return id;
}

void FltkBackend::ArmTimer(int id, double intervalSeconds) {
    Fl::add_timeout(intervalSeconds, TimerDue, new TimerRef{this, id});
}

void FltkBackend::StopTimer(int id) {
    // The armed timeout finds the timer gone and ends.
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool FltkBackend::FireTimer(int id, double& intervalSeconds) {
    std::function<void()> tick;
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end())
            return false;
        tick = it->second.tick;  // the tick may stop its own timer
    }
    tick();
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end())
        return false;
    intervalSeconds = it->second.intervalSeconds;
    return true;
}

void FltkBackend::Run() {
    loopThread_ = std::this_thread::get_id();
    while (!quit_) {
        Fl::wait(0.5);
        DrainTasks();
    }
    quit_ = false;
}

void FltkBackend::Quit() {
    quit_ = true;
    Fl::awake(WakeUp, this);
}

bool FltkBackend::IsLoopThread() const {
    return loopThread_ == std::this_thread::get_id();
}

void FltkBackend::PresentWindow(Window& window, const SkinWindow& layout,
                                const SkinArchive& archive, std::u16string_view title) {
    views_[&window] = std::make_unique<WindowView>(window, *this, layout, archive, title);
}

void FltkBackend::RunModal(Window& window, const SkinWindow& layout, const SkinArchive& archive,
                           std::u16string_view title) {
    views_[&window] =
        std::make_unique<WindowView>(window, *this, layout, archive, title, /*modal=*/true);
    // The outer loop's own exit request ends this one too and stays set
    // for the outer loop to see.
    while (!window.IsClosed() && !quit_) {
        Fl::wait(0.5);
        DrainTasks();
    }
}

void FltkBackend::MinimizeWindow(Window& window) {
    auto minimize = [this, &window] {
        if (auto it = views_.find(&window); it != views_.end())
            it->second->Minimize();
    };
    if (IsLoopThread())
        minimize();
    else
        Post(minimize);
}

void FltkBackend::DestroyWindow(Window& window) {
    views_.erase(&window);
}

namespace {
void CheckDismiss(void* data) {
    auto* dismiss = static_cast<std::function<bool()>*>(data);
    Fl_Window* box = fl_message_icon() ? fl_message_icon()->window() : nullptr;
    if ((*dismiss)() && box)
        box->hide();  // ends the box's own loop
    else
        Fl::repeat_timeout(0.2, CheckDismiss, data);
}
}  // namespace

void ShowMessageBox(std::u16string_view caption, std::u16string_view text,
                    std::function<bool()> dismiss) {
    ChooseFonts();
    fl_message_title(Utf8FromWide(caption).c_str());
    if (dismiss)
        Fl::add_timeout(0.2, CheckDismiss, &dismiss);
    fl_alert("%s", Utf8FromWide(text).c_str());
    if (dismiss)
        Fl::remove_timeout(CheckDismiss, &dismiss);
}

}  // namespace qm::ui
