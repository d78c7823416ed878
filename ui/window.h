// A window of the framework: its controls (found by name, case-insensitively),
// the notifications they send ("click", "setfocus", ...) with the sender's
// name, window timers, the close protocol and the key filter. The message
// loop and the presentation belong to the backend (ui/backend.h).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ui/control.h"

namespace qm::ui {

class Backend;

struct Notification {
    std::string type;    // "click", "setfocus", "textchanged", ...
    std::string sender;  // the control's name
    Control* control = nullptr;
};

// The receiver of a window's notifications (the window class itself, as a
// rule). Called on the window thread.
class INotify {
public:
    virtual ~INotify() = default;
    virtual void Notify(const Notification& msg) = 0;
};

enum class Key { Tab, Enter, Escape, Other };

class Window {
public:
    explicit Window(Backend& backend);
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    Backend& GetBackend() const { return backend_; }

    // ---- Controls ----
    // Creates a control; `parent` names a container already added (empty:
    // top level). Names are unique (case-insensitively); adding a name twice
    // returns the existing control.
    Control& AddControl(ControlKind kind, std::string_view name, std::string_view parent = {});
    // Case-insensitive lookup; nullptr when there is no such control.
    Control* FindControl(std::string_view name) const;
    std::vector<Control*> Controls() const;

    // The control that has the keyboard focus, or nullptr.
    Control* GetFocus() const;

    // Listeners see every change of a control's state, on the thread that
    // made it, while the model lock is held: they must be quick and may read
    // the model but should not block.
    using ChangeListener = std::function<void(const Control&, Property)>;
    int AddChangeListener(ChangeListener listener);
    void RemoveChangeListener(int id);

    // ---- Notifications ----
    void SetNotifier(INotify* notifier);
    // Delivers at once, on the calling thread (the window thread).
    void SendNotify(std::string_view type, Control& sender);
    // A click as an operator makes it: delivered only when the control
    // exists, is enabled and is shown. Call on the window thread; true when
    // it was delivered.
    bool PerformClick(std::string_view name);
    // Queues PerformClick on the window thread (from any thread).
    void PostClick(std::string_view name);
    // Queues a key press through the key filter (from any thread).
    void PostKey(Key key, bool ctrl = false);
    // A key press as a backend sees it, on the window thread: true when the
    // window's key filter handled it (the backend then does nothing more).
    bool FilterKey(Key key, bool ctrl);

    // ---- Timers (callbacks run on the window thread) ----
    void SetTimer(int id, int intervalMs, std::function<void()> tick);
    void KillTimer(int id);

    // ---- Life ----
    // Asks the window to close, from any thread: on the window thread
    // OnClose decides; when it agrees the window is destroyed (timers
    // stopped, OnFinalMessage called, and a main window ends the loop).
    void Close();
    bool IsClosed() const;
    // A main window ends the message loop when it is destroyed.
    void SetMainWindow(bool isMain) { isMainWindow_ = isMain; }
    void Minimize();
    bool IsMinimized() const;

    // The lock that guards every control's state.
    std::recursive_mutex& ModelLock() const { return modelMutex_; }

protected:
    // Close check; false keeps the window open.
    virtual bool OnClose() { return true; }
    // Called once the window is destroyed.
    virtual void OnFinalMessage() {}
    // The message filter for key-down messages; true when handled.
    virtual bool PreTranslateKey(Key key, bool ctrl);

private:
    friend class Control;
    void Changed(const Control& control, Property property);
    void HandleClose();
    void SetFocusTo(Control* control);

    Backend& backend_;
    mutable std::recursive_mutex modelMutex_;
    std::vector<std::unique_ptr<Control>> controls_;
    std::map<std::string, Control*> byName_;  // lower-case name
    Control* focus_ = nullptr;
    std::map<int, ChangeListener> listeners_;
    int nextListenerId_ = 1;

    INotify* notifier_ = nullptr;
    mutable std::mutex timerMutex_;
    std::map<int, int> timers_;  // window timer id -> backend timer id
    bool closed_ = false;
    std::atomic<bool> minimized_{false};
    std::atomic<bool> isMainWindow_{false};
};

}  // namespace qm::ui
