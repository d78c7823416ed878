#include "ui/fltk/fltk_view.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Editor.H>
#include <cstdlib>

#include "foundation/textconv.h"
#include "ui/backend.h"
#include "ui/fltk/fltk_widgets.h"
#include "ui/window.h"

namespace qm::ui {

namespace {

constexpr int kTextFontSize = 13;

Fl_Align AlignOf(const SkinControl& skin) {
    if (skin.align == "left")
        return FL_ALIGN_LEFT;
    if (skin.align == "right")
        return FL_ALIGN_RIGHT;
    if (skin.align == "center")
        return FL_ALIGN_CENTER;
    return skin.kind == ControlKind::Label ? FL_ALIGN_LEFT : FL_ALIGN_CENTER;
}

// Tells the window that a control gained or lost the keyboard focus.
void NotifyFocus(Control* control, int event) {
    if (control && (event == FL_FOCUS || event == FL_UNFOCUS))
        control->GetWindow().SendNotify(event == FL_FOCUS ? "setfocus" : "killfocus", *control);
}

// A single-line input that reports its focus.
class FocusInput : public Fl_Input {
public:
    FocusInput(int x, int y, int w, int h, Control* control)
        : Fl_Input(x, y, w, h), control_(control) {}
    int handle(int event) override {
        const int handled = Fl_Input::handle(event);
        NotifyFocus(control_, event);
        return handled;
    }

private:
    Control* control_;
};

// A multi-line text that owns its buffer. Read-only it shows and scrolls;
// otherwise what the operator types goes back into its control.
class TextView : public Fl_Text_Editor {
public:
    TextView(int x, int y, int w, int h, Control* control)
        : Fl_Text_Editor(x, y, w, h), control_(control) {
        buffer(&buffer_);
        buffer_.add_modify_callback(Modified, this);
        wrap_mode(WRAP_AT_BOUNDS, 0);
        box(FL_BORDER_BOX);
        color(FL_WHITE);
        textfont(FL_HELVETICA);
        textsize(kTextFontSize);
        scrollbar_width(12);
    }
    ~TextView() override {
        Fl::remove_timeout(ShowEnd, this);
        buffer_.remove_modify_callback(Modified, this);
        buffer(nullptr);
    }

    void SetUtf8(const std::string& text) {
        if (text == shown_)
            return;
        updating_ = true;
        // Appended text keeps the view at the end, where the news is.
        if (text.compare(0, shown_.size(), shown_) == 0 && !shown_.empty())
            buffer_.append(text.c_str() + shown_.size());
        else
            buffer_.text(text.c_str());
        updating_ = false;
        shown_ = text;
        insert_position(buffer_.length());
        show_insert_position();
        // With wrapping, the view can stop a line short of the end when the
        // appended lines were not laid out yet; once they are drawn, the end
        // of a text that only shows is shown again.
        Fl::remove_timeout(ShowEnd, this);
        if (readOnly_)
            Fl::add_timeout(0.1, ShowEnd, this);
    }

    void SetReadOnly(bool readOnly) {
        if (readOnly == readOnly_)
            return;
        readOnly_ = readOnly;
        readOnly ? hide_cursor() : show_cursor();
    }

    int handle(int event) override {
        const bool typing = event == FL_KEYBOARD || event == FL_PASTE || event == FL_DND_ENTER ||
                            event == FL_DND_DRAG || event == FL_DND_RELEASE;
        const int handled =
            readOnly_ && typing ? Fl_Text_Display::handle(event) : Fl_Text_Editor::handle(event);
        NotifyFocus(control_, event);
        return handled;
    }

private:
    static void ShowEnd(void* data) {
        auto* self = static_cast<TextView*>(data);
        self->insert_position(self->buffer_.length());
        self->show_insert_position();
    }
    static void Modified(int, int, int, int, const char*, void* data) {
        auto* self = static_cast<TextView*>(data);
        if (self->updating_ || !self->control_)
            return;
        char* text = self->buffer_.text();
        self->shown_ = text;
        free(text);
        self->control_->SetText(WideFromUtf8(self->shown_));
    }

    Fl_Text_Buffer buffer_;
    Control* control_;
    std::string shown_;
    bool updating_ = false;
    bool readOnly_ = false;
};

void Clicked(Fl_Widget*, void* data) {
    auto* control = static_cast<Control*>(data);
    control->GetWindow().PerformClick(control->GetName());
}

void Typed(Fl_Widget* widget, void* data) {
    auto* control = static_cast<Control*>(data);
    control->SetText(WideFromUtf8(static_cast<Fl_Input*>(widget)->value()));
}

}  // namespace

WindowView::WindowView(Window& model, Backend& backend, const SkinWindow& layout,
                       const SkinArchive& archive, std::u16string_view title, bool modal)
    : model_(model), backend_(backend), layout_(layout), alive_(std::make_shared<bool>(true)) {
    Build(archive, title);
    listenerId_ =
        model_.AddChangeListener([this](const Control& control, Property) { Marked(control); });
    for (auto& [control, item] : items_)
        Apply(item);
    window_->position((Fl::w() - window_->w()) / 2, (Fl::h() - window_->h()) / 2);
    if (modal)
        window_->set_modal();
    window_->show();
}

WindowView::~WindowView() {
    model_.RemoveChangeListener(listenerId_);
    *alive_ = false;
    if (window_) {
        window_->hide();
        delete window_;
    }
}

Fl_RGB_Image* WindowView::Image(const SkinArchive& archive, const std::string& name) {
    if (name.empty() || !archive.Has(name))
        return nullptr;
    auto& image = images_[name];
    if (!image) {
        const std::string& bytes = archive.File(name);
        auto png = std::make_unique<Fl_PNG_Image>(
            name.c_str(), reinterpret_cast<const unsigned char*>(bytes.data()),
            static_cast<int>(bytes.size()));
        if (png->fail())
            return nullptr;  // an image FLTK cannot read is left out
        image = std::move(png);
    }
    return image.get();
}

void WindowView::Build(const SkinArchive& archive, std::u16string_view title) {
    Fl_Group::current(nullptr);
    window_ = new SkinFlWindow(model_, layout_.width, layout_.height, layout_.caption);
    window_->copy_label(Utf8FromWide(title).c_str());
    window_->color(layout_.hasBkColor ? ToFlColor(layout_.bkColor) : FL_WHITE);
    if (Fl_RGB_Image* icon = Image(archive, layout_.icon))
        window_->icon(icon);
    window_->SetBackground(Image(archive, layout_.bkImage));
    window_->end();

    std::map<std::string, Fl_Group*> groups;
    for (const SkinControl& skin : layout_.controls) {
        Control* control = model_.FindControl(skin.name);
        if (!control)
            continue;  // the window chose not to have it
        Fl_Widget* widget = MakeWidget(skin, archive);
        Fl_Group* parent = window_;
        if (!skin.parent.empty()) {
            if (auto it = groups.find(skin.parent); it != groups.end())
                parent = it->second;
        }
        parent->add(widget);
        if (skin.kind == ControlKind::Container)
            groups[skin.name] = static_cast<Fl_Group*>(widget);
        if (skin.kind == ControlKind::Button || skin.kind == ControlKind::Option)
            widget->callback(Clicked, control);
        if (skin.kind == ControlKind::Edit) {
            widget->callback(Typed, control);
            widget->when(FL_WHEN_CHANGED);
        }
        items_[control] = Item{control, layout_.Find(skin.name), widget};
    }
    // Nothing stretches: the window has a fixed size.
    window_->resizable(nullptr);
    window_->size_range(layout_.width, layout_.height, layout_.width, layout_.height);
}

Fl_Widget* WindowView::MakeWidget(const SkinControl& skin, const SkinArchive& archive) {
    const Rect& r = skin.pos;
    switch (skin.kind) {
        case ControlKind::Container: {
            auto* group = new Fl_Group(r.x, r.y, r.width, r.height);
            group->end();
            group->box(skin.hasBkColor && IsOpaque(skin.bkColor) ? FL_FLAT_BOX : FL_NO_BOX);
            group->resizable(nullptr);
            return group;
        }
        case ControlKind::Edit: {
            auto* input =
                new FocusInput(r.x, r.y, r.width, r.height, model_.FindControl(skin.name));
            input->box(FL_BORDER_BOX);
            input->textfont(FL_HELVETICA);
            input->textsize(skin.fontSize > 0 ? skin.fontSize : kTextFontSize);
            return input;
        }
        case ControlKind::Text:
            return new TextView(r.x, r.y, r.width, r.height, model_.FindControl(skin.name));
        case ControlKind::Progress: {
            auto* progress = new Fl_Progress(r.x, r.y, r.width, r.height);
            progress->selection_color(fl_rgb_color(0x2D, 0x6C, 0xDF));
            return progress;
        }
        case ControlKind::Label:
        case ControlKind::Button:
        case ControlKind::Option:
            break;
    }
    auto* caption = new CaptionWidget(skin.kind, r.x, r.y, r.width, r.height);
    caption->SetFontStyle(skin.fontSize, skin.bold);
    caption->SetAlign(AlignOf(skin));
    caption->SetLink(skin.link);
    caption->SetImages(Image(archive, skin.image), Image(archive, skin.selectedImage),
                       Image(archive, skin.hoverImage));
    return caption;
}

Rect WindowView::Absolute(const Control& control) const {
    Rect rect = control.GetPos();
    for (const Control* parent = control.GetParent(); parent; parent = parent->GetParent()) {
        const Rect outer = parent->GetPos();
        rect.x += outer.x;
        rect.y += outer.y;
    }
    return rect;
}

void WindowView::Marked(const Control& control) {
    // Any thread, with the model lock held: note it and let the window
    // thread redraw.
    bool post = false;
    {
        std::lock_guard lock(markMutex_);
        marked_.insert(&control);
        post = !refreshPosted_;
        refreshPosted_ = true;
    }
    if (post) {
        backend_.Post([this, alive = alive_] {
            if (*alive)
                Refresh();
        });
    }
}

void WindowView::Refresh() {
    std::set<const Control*> marked;
    {
        std::lock_guard lock(markMutex_);
        marked.swap(marked_);
        refreshPosted_ = false;
    }
    // A container's position moves its children.
    bool positions = false;
    for (const Control* control : marked) {
        if (auto it = items_.find(control); it != items_.end()) {
            Apply(it->second);
            positions = positions || control->GetKind() == ControlKind::Container;
        }
    }
    if (positions) {
        for (auto& [control, item] : items_) {
            const Rect r = Absolute(*control);
            item.widget->resize(r.x, r.y, r.width, r.height);
        }
        window_->redraw();
    }
}

void WindowView::Apply(Item& item) {
    const Control& control = *item.control;
    Fl_Widget* widget = item.widget;
    std::unique_lock lock(model_.ModelLock());
    const std::string text = Utf8FromWide(control.GetText());
    const Color textColor = control.GetTextColor();
    const Color bkColor = control.GetBkColor();
    const bool enabled = control.IsEnabled();
    const bool visible = control.IsVisible();
    const bool readOnly = control.IsReadOnly();
    const bool focused = control.IsFocused();
    const bool selected = control.IsSelected();
    const Rect pos = Absolute(control);
    const int minValue = control.GetMinValue();
    const int maxValue = control.GetMaxValue();
    const int value = control.GetValue();
    lock.unlock();

    if (widget->x() != pos.x || widget->y() != pos.y || widget->w() != pos.width ||
        widget->h() != pos.height) {
        widget->resize(pos.x, pos.y, pos.width, pos.height);
        if (widget->parent())
            widget->parent()->redraw();
    }
    switch (control.GetKind()) {
        case ControlKind::Label:
        case ControlKind::Button:
        case ControlKind::Option: {
            auto* caption = static_cast<CaptionWidget*>(widget);
            caption->SetCaption(text);
            caption->SetColors(textColor, bkColor);
            caption->SetSelected(selected);
            break;
        }
        case ControlKind::Edit: {
            auto* input = static_cast<Fl_Input*>(widget);
            if (text != input->value())
                input->value(text.c_str());
            input->textcolor(ToFlColor(textColor));
            input->readonly(readOnly ? 1 : 0);
            break;
        }
        case ControlKind::Text: {
            auto* view = static_cast<TextView*>(widget);
            view->SetUtf8(text);
            view->SetReadOnly(readOnly);
            view->textcolor(ToFlColor(textColor));
            if (IsOpaque(bkColor))
                view->color(ToFlColor(bkColor));
            view->redraw();
            break;
        }
        case ControlKind::Progress: {
            auto* progress = static_cast<Fl_Progress*>(widget);
            progress->minimum(static_cast<float>(minValue));
            progress->maximum(static_cast<float>(maxValue));
            progress->value(static_cast<float>(value));
            break;
        }
        case ControlKind::Container:
            if (IsOpaque(bkColor)) {
                widget->box(FL_FLAT_BOX);
                widget->color(ToFlColor(bkColor));
            }
            break;
    }
    if (enabled != (widget->active() != 0)) {
        enabled ? widget->activate() : widget->deactivate();
        widget->redraw();
    }
    if (visible != (widget->visible() != 0)) {
        visible ? widget->show() : widget->hide();
        window_->redraw();  // what it covered, or uncovered, is drawn anew
    }
    if (focused && Fl::focus() != widget)
        widget->take_focus();
}

void WindowView::Minimize() {
    window_->iconize();
}

}  // namespace qm::ui
