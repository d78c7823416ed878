#include "ui/window.h"

#include <utility>

#include "ui/backend.h"

namespace qm::ui {

namespace {
std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}
}  // namespace

Window::Window(Backend& backend) : backend_(backend) {}

Window::~Window() {
    std::lock_guard lock(timerMutex_);
    for (const auto& [id, backendId] : timers_)
        backend_.StopTimer(backendId);
    timers_.clear();
}

Control& Window::AddControl(ControlKind kind, std::string_view name, std::string_view parent) {
    std::lock_guard lock(modelMutex_);
    const std::string key = LowerAscii(name);
    if (auto it = byName_.find(key); it != byName_.end())
        return *it->second;
    Control* parentControl = parent.empty() ? nullptr : FindControl(parent);
    controls_.push_back(std::make_unique<Control>(*this, kind, std::string(name), parentControl));
    Control* control = controls_.back().get();
    byName_[key] = control;
    return *control;
}

Control* Window::FindControl(std::string_view name) const {
    std::lock_guard lock(modelMutex_);
    auto it = byName_.find(LowerAscii(name));
    return it == byName_.end() ? nullptr : it->second;
}

std::vector<Control*> Window::Controls() const {
    std::lock_guard lock(modelMutex_);
    std::vector<Control*> all;
    all.reserve(controls_.size());
    for (const auto& c : controls_)
        all.push_back(c.get());
    return all;
}

Control* Window::GetFocus() const {
    std::lock_guard lock(modelMutex_);
    return focus_;
}

void Window::SetFocusTo(Control* control) {
    std::lock_guard lock(modelMutex_);
    if (focus_ == control)
        return;
    Control* previous = focus_;
    focus_ = control;
    if (previous)
        Changed(*previous, Property::Focus);
    if (control)
        Changed(*control, Property::Focus);
}

int Window::AddChangeListener(ChangeListener listener) {
    std::lock_guard lock(modelMutex_);
    const int id = nextListenerId_++;
    listeners_[id] = std::move(listener);
    return id;
}

void Window::RemoveChangeListener(int id) {
    std::lock_guard lock(modelMutex_);
    listeners_.erase(id);
}

void Window::Changed(const Control& control, Property property) {
    // Called with the model lock held by the control's setter.
    for (auto& [id, listener] : listeners_)
        listener(control, property);
}

void Window::SetNotifier(INotify* notifier) {
    notifier_ = notifier;
}

void Window::SendNotify(std::string_view type, Control& sender) {
    if (!notifier_)
        return;
    Notification msg{std::string(type), sender.GetName(), &sender};
    notifier_->Notify(msg);
}

bool Window::PerformClick(std::string_view name) {
    if (IsClosed())
        return false;
    Control* control = FindControl(name);
    if (!control || !control->IsEnabled() || !control->IsShown())
        return false;
    if (control->GetKind() == ControlKind::Option)
        control->Select();
    SendNotify("click", *control);
    return true;
}

void Window::PostClick(std::string_view name) {
    backend_.Post([this, n = std::string(name)] { PerformClick(n); });
}

void Window::PostKey(Key key, bool ctrl) {
    backend_.Post([this, key, ctrl] { FilterKey(key, ctrl); });
}

bool Window::FilterKey(Key key, bool ctrl) {
    return !IsClosed() && PreTranslateKey(key, ctrl);
}

bool Window::PreTranslateKey(Key, bool) {
    return false;
}

void Window::SetTimer(int id, int intervalMs, std::function<void()> tick) {
    KillTimer(id);
    std::lock_guard lock(timerMutex_);
    if (closed_)
        return;
    timers_[id] = backend_.StartTimer(intervalMs, std::move(tick));
}

void Window::KillTimer(int id) {
    std::lock_guard lock(timerMutex_);
    if (auto it = timers_.find(id); it != timers_.end()) {
        backend_.StopTimer(it->second);
        timers_.erase(it);
    }
}

void Window::Close() {
    backend_.Post([this] { HandleClose(); });
}

void Window::HandleClose() {
    if (IsClosed() || !OnClose())
        return;
    {
        std::lock_guard lock(timerMutex_);
        closed_ = true;
        for (const auto& [id, backendId] : timers_)
            backend_.StopTimer(backendId);
        timers_.clear();
    }
    // OnFinalMessage may delete the window: nothing of it is used after.
    Backend& backend = backend_;
    const bool endLoop = isMainWindow_;
    backend.DestroyWindow(*this);
    if (endLoop)
        backend.Quit();
    OnFinalMessage();
}

bool Window::IsClosed() const {
    std::lock_guard lock(timerMutex_);
    return closed_;
}

void Window::Minimize() {
    minimized_ = true;
    backend_.MinimizeWindow(*this);
}

bool Window::IsMinimized() const {
    return minimized_;
}

}  // namespace qm::ui
