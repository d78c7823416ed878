// The FLTK widgets a skin is drawn with: one captioned widget for labels,
// buttons and options (drawn from the skin: colours, images, links), and
// the borderless top-level window with its own title bar.
#pragma once

#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>

#include <functional>
#include <string>

#include "ui/control.h"
#include "ui/window.h"

namespace qm::ui {

// 0xAARRGGBB to an FLTK colour (the alpha is the caller's business).
Fl_Color ToFlColor(Color color);
// A background colour of the model is drawn only when it is not transparent.
bool IsOpaque(Color color);

class CaptionWidget : public Fl_Button {
public:
    CaptionWidget(ControlKind kind, int x, int y, int w, int h);

    void SetCaption(const std::string& utf8);
    void SetColors(Color text, Color background);
    void SetFontStyle(int size, bool bold) {
        size_ = size;
        bold_ = bold;
    }
    void SetAlign(Fl_Align align) { align_ = align; }
    void SetLink(bool link) { link_ = link; }
    void SetImages(Fl_RGB_Image* normal, Fl_RGB_Image* selected, Fl_RGB_Image* hover) {
        image_ = normal;
        selectedImage_ = selected;
        hoverImage_ = hover;
    }
    void SetSelected(bool selected);

    int handle(int event) override;

protected:
    void draw() override;

private:
    // Has no background of its own (as a rule): what lies under it is
    // repainted with it.
    void Repaint();

    const ControlKind kind_;
    std::string caption_;
    Color textColor_ = 0;
    Color bkColor_ = 0;
    int size_ = 0;
    bool bold_ = false;
    bool link_ = false;
    bool hover_ = false;
    bool selected_ = false;
    Fl_Align align_ = FL_ALIGN_CENTER;
    Fl_RGB_Image* image_ = nullptr;
    Fl_RGB_Image* selectedImage_ = nullptr;
    Fl_RGB_Image* hoverImage_ = nullptr;
};

// Borderless: the skin draws the title bar, and its caption area drags the
// window. Keys go through the window's key filter before FLTK's own
// handling; Escape never closes it, and a close request from the window
// manager goes through the window's close check.
class SkinFlWindow : public Fl_Double_Window {
public:
    SkinFlWindow(Window& model, int w, int h, const Rect& caption);

    // Drawn under every control (the skin's title bar and frame).
    void SetBackground(Fl_RGB_Image* image) { background_ = image; }
    int handle(int event) override;

protected:
    void draw() override;

private:
    static void CloseRequested(Fl_Widget* widget, void* data);

    Window& model_;
    const Rect caption_;
    Fl_RGB_Image* background_ = nullptr;
    bool dragging_ = false;
    int dragX_ = 0;
    int dragY_ = 0;
};

}  // namespace qm::ui
