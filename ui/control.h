// The control model of a window: named controls and their state (text,
// colours, enabled, visible, read-only, focus, option selection, position,
// progress). The model is the truth; a backend renders it by listening to
// its changes. Every accessor is thread-safe: worker threads set texts and
// states directly while the window thread reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::ui {

class Window;

// 0xAARRGGBB as the layouts write it; texts usually give only RGB.
using Color = uint32_t;

enum class ControlKind {
    Label,
    Button,
    Option,     // a radio-like button, one selected per group
    Edit,       // single-line input
    Text,       // multi-line text (rich edit)
    Progress,   // progress bar
    Container,  // holds other controls; hiding it hides them
};

// What changed, for listeners.
enum class Property {
    Text,
    TextColor,
    BkColor,
    Enabled,
    Visible,
    ReadOnly,
    Focus,
    Selected,
    Position,
    Progress,
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

class Control {
public:
    Control(Window& owner, ControlKind kind, std::string name, Control* parent);
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const std::string& GetName() const { return name_; }
    ControlKind GetKind() const { return kind_; }
    Control* GetParent() const { return parent_; }
    Window& GetWindow() const { return owner_; }

    std::u16string GetText() const;
    void SetText(std::u16string_view text);
    // Appends in one step, so texts appended by different threads are never
    // lost between a read and a write.
    void AppendText(std::u16string_view text);

    Color GetTextColor() const;
    void SetTextColor(Color color);
    Color GetBkColor() const;
    void SetBkColor(Color color);

    bool IsEnabled() const;
    void SetEnabled(bool enabled);
    // The control's own visibility.
    bool IsVisible() const;
    void SetVisible(bool visible);
    // Visible itself and inside visible containers only.
    bool IsShown() const;
    bool IsReadOnly() const;
    void SetReadOnly(bool readOnly);

    bool IsFocused() const;
    void SetFocus();

    // Option groups: selecting an option clears the others of its group.
    std::string GetGroup() const;
    void SetGroup(std::string_view group);
    bool IsSelected() const;
    void Select(bool selected = true);

    Rect GetPos() const;
    void SetPos(const Rect& rect);

    int GetMinValue() const;
    int GetMaxValue() const;
    int GetValue() const;
    void SetRange(int minValue, int maxValue);
    void SetValue(int value);

private:
    friend class Window;
    // Sets `field` and reports the change when the value differs (model
    // lock held).
    template <class T, class V>
    void Update(T& field, V&& value, Property property);
    void Report(Property property);

    Window& owner_;
    const ControlKind kind_;
    const std::string name_;
    Control* const parent_;

    // Guarded by the window's model lock.
    std::u16string text_;
    Color textColor_ = 0;
    Color bkColor_ = 0;
    bool enabled_ = true;
    bool visible_ = true;
    bool readOnly_ = false;
    std::string group_;
    bool selected_ = false;
    Rect pos_;
    int min_ = 0;
    int max_ = 100;
    int value_ = 0;
};

}  // namespace qm::ui
