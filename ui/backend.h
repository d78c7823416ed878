// The backend of the window framework: the message loop, timers and the
// presentation of windows. The headless backend (ui/headless_backend.h) runs
// without a display; a graphical backend renders the same control model.
#pragma once

#include <functional>
#include <string_view>

namespace qm::ui {

class Window;
class SkinArchive;
struct SkinWindow;

class Backend {
public:
    virtual ~Backend() = default;

    // Queues a task for the window thread; callable from any thread.
    virtual void Post(std::function<void()> task) = 0;

    // A repeating timer on the window thread; returns its id (never 0).
    virtual int StartTimer(int intervalMs, std::function<void()> tick) = 0;
    virtual void StopTimer(int id) = 0;

    // The message loop: runs on the calling thread, which becomes the window
    // thread, until Quit.
    virtual void Run() = 0;
    virtual void Quit() = 0;
    // True on the thread that runs the loop.
    virtual bool IsLoopThread() const = 0;

    // Presentation hooks (nothing to do without a display).
    // Shows the window as its skin lays it out, centred on the screen, with
    // `title` as its caption. The archive holds the images the layout names.
    virtual void PresentWindow(Window& /*window*/, const SkinWindow& /*layout*/,
                               const SkinArchive& /*archive*/, std::u16string_view /*title*/) {}
    // Runs `window` modally: presented like PresentWindow (above any other
    // window, which takes no input meanwhile), then the loop runs on the
    // calling thread, the window thread, until the window is closed.
    virtual void RunModal(Window& window, const SkinWindow& layout, const SkinArchive& archive,
                          std::u16string_view title) = 0;
    virtual void MinimizeWindow(Window& /*window*/) {}
    virtual void DestroyWindow(Window& /*window*/) {}
};

}  // namespace qm::ui
