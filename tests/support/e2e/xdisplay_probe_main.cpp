// quillmate-xdisplay-probe LOGFILE: the window the X display harness is
// tried on. "xdisplay probe", 300x200, one button at 50,50 (100x30). A
// click on the button appends "clicked\n" to LOGFILE and relabels the
// button (so the window looks different afterwards); Ctrl+Tab appends
// "ctrl+tab\n".
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>

#include <cstdio>
#include <string>

namespace {

std::string g_logPath;

void AppendLine(const char* line) {
    if (FILE* log = std::fopen(g_logPath.c_str(), "a")) {
        std::fputs(line, log);
        std::fclose(log);
    }
}

class ProbeWindow : public Fl_Double_Window {
public:
    ProbeWindow() : Fl_Double_Window(300, 200, "xdisplay probe") {}

    int handle(int event) override {
        // Keys reach the focused button first and then climb to the window,
        // which would take Tab for moving the focus.
        if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_Tab &&
            (Fl::event_state() & FL_CTRL) != 0) {
            AppendLine("ctrl+tab\n");
            return 1;
        }
        return Fl_Double_Window::handle(event);
    }
};

void OnClick(Fl_Widget* button, void*) {
    AppendLine("clicked\n");
    button->label("done");
    button->color(FL_DARK_GREEN);
    button->redraw();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LOGFILE\n", argv[0]);
        return 2;
    }
    g_logPath = argv[1];
    ProbeWindow window;
    Fl_Button button(50, 50, 100, 30, "press");
    button.callback(OnClick);
    window.end();
    window.show();
    return Fl::run();
}
