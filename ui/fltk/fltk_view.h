// One window on screen: FLTK widgets built from the skin's layout, kept in
// step with the control model. Model changes may come from any thread; they
// mark the control and a refresh on the window thread redraws it. Widget
// events go back into the model (clicks through Window::PerformClick, typed
// text into the edit's control), so the window, the command line and the
// tests share one path.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ui/control.h"
#include "ui/skin.h"

class Fl_Widget;
class Fl_Group;
class Fl_RGB_Image;

namespace qm::ui {

class Backend;
class Window;
class SkinFlWindow;

class WindowView {
public:
    WindowView(Window& model, Backend& backend, const SkinWindow& layout,
               const SkinArchive& archive, std::u16string_view title, bool modal = false);
    ~WindowView();
    WindowView(const WindowView&) = delete;
    WindowView& operator=(const WindowView&) = delete;

    void Minimize();
    // Window thread: redraws the controls marked since the last refresh.
    void Refresh();

private:
    struct Item {
        Control* control = nullptr;
        const SkinControl* skin = nullptr;
        Fl_Widget* widget = nullptr;
    };

    void Build(const SkinArchive& archive, std::u16string_view title);
    Fl_Widget* MakeWidget(const SkinControl& skin, const SkinArchive& archive);
    Fl_RGB_Image* Image(const SkinArchive& archive, const std::string& name);
    // The control's rectangle in window coordinates.
    Rect Absolute(const Control& control) const;
    void Apply(Item& item);
    void Marked(const Control& control);

    Window& model_;
    Backend& backend_;
    const SkinWindow layout_;
    int listenerId_ = 0;
    std::shared_ptr<bool> alive_;

    SkinFlWindow* window_ = nullptr;  // owns every widget
    std::map<std::string, std::unique_ptr<Fl_RGB_Image>> images_;
    std::map<const Control*, Item> items_;

    std::mutex markMutex_;
    std::set<const Control*> marked_;
    bool refreshPosted_ = false;
};

}  // namespace qm::ui
