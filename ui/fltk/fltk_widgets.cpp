#include "ui/fltk/fltk_widgets.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

namespace qm::ui {

namespace {

constexpr int kDefaultFontSize = 13;

bool Inside(const Rect& rect, int x, int y) {
    return x >= rect.x && y >= rect.y && x < rect.x + rect.width && y < rect.y + rect.height;
}

}  // namespace

Fl_Color ToFlColor(Color color) {
    return fl_rgb_color(static_cast<uchar>((color >> 16) & 0xFF),
                        static_cast<uchar>((color >> 8) & 0xFF), static_cast<uchar>(color & 0xFF));
}

bool IsOpaque(Color color) {
    return (color >> 24) != 0;
}

CaptionWidget::CaptionWidget(ControlKind kind, int x, int y, int w, int h)
    : Fl_Button(x, y, w, h), kind_(kind) {
    box(FL_NO_BOX);
    if (kind_ == ControlKind::Label) {
        align_ = FL_ALIGN_LEFT;
        visible_focus(0);
    }
}

void CaptionWidget::SetCaption(const std::string& utf8) {
    if (caption_ == utf8)
        return;
    caption_ = utf8;
    Repaint();
}

void CaptionWidget::SetColors(Color text, Color background) {
    if (textColor_ == text && bkColor_ == background)
        return;
    textColor_ = text;
    bkColor_ = background;
    Repaint();
}

void CaptionWidget::SetSelected(bool selected) {
    if (selected_ == selected)
        return;
    selected_ = selected;
    Repaint();
}

void CaptionWidget::Repaint() {
    if (Fl_Window* top = window())
        top->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
    else
        redraw();
}

int CaptionWidget::handle(int event) {
    if (kind_ == ControlKind::Label)
        return 0;  // labels take no part in input
    switch (event) {
        case FL_ENTER:
            hover_ = true;
            if (link_ && active_r())
                window()->cursor(FL_CURSOR_HAND);
            Repaint();
            return 1;
        case FL_LEAVE:
            hover_ = false;
            if (link_)
                window()->cursor(FL_CURSOR_DEFAULT);
            Repaint();
            return 1;
        case FL_PUSH:
        case FL_RELEASE: {
            const int handled = Fl_Button::handle(event);
            Repaint();
            return handled;
        }
        default:
            return Fl_Button::handle(event);
    }
}

void CaptionWidget::draw() {
    const bool enabled = active_r();
    if (IsOpaque(bkColor_)) {
        Fl_Color fill = ToFlColor(bkColor_);
        if (value() && kind_ != ControlKind::Label)
            fill = fl_darker(fill);
        if (!enabled)
            fill = fl_inactive(fill);
        fl_rectf(x(), y(), w(), h(), fill);
    } else if (value() && kind_ != ControlKind::Label && !link_) {
        fl_rectf(x(), y(), w(), h(), fl_rgb_color(0xDD, 0xE3, 0xEC));
    }

    Fl_RGB_Image* image = image_;
    if (kind_ == ControlKind::Option && selected_ && selectedImage_)
        image = selectedImage_;
    else if (hover_ && hoverImage_ && enabled)
        image = hoverImage_;

    Fl_Color text = ToFlColor(textColor_);
    if (!enabled)
        text = fl_inactive(text);
    fl_font(bold_ ? FL_HELVETICA_BOLD : FL_HELVETICA, size_ > 0 ? size_ : kDefaultFontSize);
    fl_color(text);

    int textX = x() + 2;
    int textW = w() - 4;
    if (image) {
        const int imageY = y() + (h() - image->h()) / 2;
        if (caption_.empty()) {
            // An image alone sits where the alignment puts it.
            int imageX = x() + (w() - image->w()) / 2;
            if (align_ & FL_ALIGN_LEFT)
                imageX = x();
            else if (align_ & FL_ALIGN_RIGHT)
                imageX = x() + w() - image->w();
            image->draw(imageX, imageY);
        } else {
            image->draw(x() + 2, imageY);
            textX = x() + image->w() + 8;
            textW = w() - image->w() - 10;
        }
    }
    if (!caption_.empty()) {
        const Fl_Align align = static_cast<Fl_Align>((image ? FL_ALIGN_LEFT : align_) |
                                                     FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
        // Symbols ("@...") are not drawn: captions are plain text.
        fl_draw(caption_.c_str(), textX, y(), textW, h(), align, nullptr, 0);
        if (link_ && hover_ && enabled) {
            int textWidth = 0;
            int textHeight = 0;
            fl_measure(caption_.c_str(), textWidth, textHeight, 0);
            const int baseline = y() + (h() + fl_height()) / 2 - fl_descent() + 2;
            fl_line(textX, baseline, textX + textWidth, baseline);
        }
    }
    if (Fl::focus() == this && visible_focus())
        draw_focus(FL_FLAT_BOX, x() + 1, y() + 1, w() - 2, h() - 2);
}

SkinFlWindow::SkinFlWindow(Window& model, int w, int h, const Rect& caption)
    : Fl_Double_Window(w, h), model_(model), caption_(caption) {
    border(0);
    callback(CloseRequested, this);
}

void SkinFlWindow::CloseRequested(Fl_Widget*, void* data) {
    auto* self = static_cast<SkinFlWindow*>(data);
    // Escape arrives here as a shortcut: it does not close the window.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape)
        return;
    self->model_.Close();
}

void SkinFlWindow::draw() {
    if (damage() & ~FL_DAMAGE_CHILD) {
        draw_box();
        if (background_)
            background_->draw(0, 0);
    }
    draw_children();
}

int SkinFlWindow::handle(int event) {
    if (event == FL_KEYBOARD || event == FL_SHORTCUT) {
        const int key = Fl::event_key();
        const bool ctrl = Fl::event_state(FL_CTRL) != 0;
        Key filtered = Key::Other;
        if (key == FL_Tab)
            filtered = Key::Tab;
        else if (key == FL_Enter || key == FL_KP_Enter)
            filtered = Key::Enter;
        else if (key == FL_Escape)
            filtered = Key::Escape;
        if (filtered != Key::Other && event == FL_KEYBOARD && model_.FilterKey(filtered, ctrl))
            return 1;
        if (filtered == Key::Escape)
            return 1;
    }
    const int handled = Fl_Double_Window::handle(event);
    switch (event) {
        case FL_PUSH:
            if (!handled && Fl::event_button() == FL_LEFT_MOUSE &&
                Inside(caption_, Fl::event_x(), Fl::event_y())) {
                dragging_ = true;
                dragX_ = Fl::event_x_root() - x();
                dragY_ = Fl::event_y_root() - y();
                return 1;
            }
            break;
        case FL_DRAG:
            if (dragging_) {
                position(Fl::event_x_root() - dragX_, Fl::event_y_root() - dragY_);
                return 1;
            }
            break;
        case FL_RELEASE:
            if (dragging_) {
                dragging_ = false;
                return 1;
            }
            break;
        default:
            break;
    }
    return handled;
}

}  // namespace qm::ui
