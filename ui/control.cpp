#include "ui/control.h"

#include <mutex>

#include "ui/window.h"

namespace qm::ui {

#define QM_MODEL_LOCK std::lock_guard lock(owner_.ModelLock())

Control::Control(Window& owner, ControlKind kind, std::string name, Control* parent)
    : owner_(owner), kind_(kind), name_(std::move(name)), parent_(parent) {}

template <class T, class V>
void Control::Update(T& field, V&& value, Property property) {
    if (field == value)
        return;
    field = std::forward<V>(value);
    Report(property);
}

void Control::Report(Property property) {
    owner_.Changed(*this, property);
}

std::u16string Control::GetText() const {
    QM_MODEL_LOCK;
    return text_;
}

void Control::SetText(std::u16string_view text) {
    QM_MODEL_LOCK;
    Update(text_, std::u16string(text), Property::Text);
}

void Control::AppendText(std::u16string_view text) {
    QM_MODEL_LOCK;
    if (text.empty())
        return;
    text_.append(text);
    Report(Property::Text);
}

Color Control::GetTextColor() const {
    QM_MODEL_LOCK;
    return textColor_;
}

void Control::SetTextColor(Color color) {
    QM_MODEL_LOCK;
    Update(textColor_, color, Property::TextColor);
}

Color Control::GetBkColor() const {
    QM_MODEL_LOCK;
    return bkColor_;
}

void Control::SetBkColor(Color color) {
    QM_MODEL_LOCK;
    Update(bkColor_, color, Property::BkColor);
}

bool Control::IsEnabled() const {
    QM_MODEL_LOCK;
    return enabled_;
}

void Control::SetEnabled(bool enabled) {
    QM_MODEL_LOCK;
    Update(enabled_, enabled, Property::Enabled);
}

bool Control::IsVisible() const {
    QM_MODEL_LOCK;
    return visible_;
}

void Control::SetVisible(bool visible) {
    QM_MODEL_LOCK;
    Update(visible_, visible, Property::Visible);
}

bool Control::IsShown() const {
    QM_MODEL_LOCK;
    for (const Control* c = this; c; c = c->parent_) {
        if (!c->visible_)
            return false;
    }
    return true;
}

bool Control::IsReadOnly() const {
    QM_MODEL_LOCK;
    return readOnly_;
}

void Control::SetReadOnly(bool readOnly) {
    QM_MODEL_LOCK;
    Update(readOnly_, readOnly, Property::ReadOnly);
}

bool Control::IsFocused() const {
    return owner_.GetFocus() == this;
}

void Control::SetFocus() {
    owner_.SetFocusTo(this);
}

std::string Control::GetGroup() const {
    QM_MODEL_LOCK;
    return group_;
}

void Control::SetGroup(std::string_view group) {
    QM_MODEL_LOCK;
    group_ = std::string(group);
}

bool Control::IsSelected() const {
    QM_MODEL_LOCK;
    return selected_;
}

void Control::Select(bool selected) {
    QM_MODEL_LOCK;
    if (selected && !group_.empty()) {
        for (Control* other : owner_.Controls()) {
            if (other != this && other->group_ == group_)
                other->Update(other->selected_, false, Property::Selected);
        }
    }
    Update(selected_, selected, Property::Selected);
}

Rect Control::GetPos() const {
    QM_MODEL_LOCK;
    return pos_;
}

void Control::SetPos(const Rect& rect) {
    QM_MODEL_LOCK;
    Update(pos_, rect, Property::Position);
}

int Control::GetMinValue() const {
    QM_MODEL_LOCK;
    return min_;
}

int Control::GetMaxValue() const {
    QM_MODEL_LOCK;
    return max_;
}

int Control::GetValue() const {
    QM_MODEL_LOCK;
    return value_;
}

void Control::SetRange(int minValue, int maxValue) {
    QM_MODEL_LOCK;
    if (maxValue < minValue)
        std::swap(minValue, maxValue);
    if (min_ == minValue && max_ == maxValue)
        return;
    min_ = minValue;
    max_ = maxValue;
    value_ = value_ < min_ ? min_ : (value_ > max_ ? max_ : value_);
    Report(Property::Progress);
}

void Control::SetValue(int value) {
    QM_MODEL_LOCK;
    value = value < min_ ? min_ : (value > max_ ? max_ : value);
    Update(value_, value, Property::Progress);
}

#undef QM_MODEL_LOCK

}  // namespace qm::ui
