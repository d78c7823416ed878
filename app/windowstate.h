// A window's controls as a JSON file, for tests that drive the real window
// from outside: when QUILLMATE_WINDOW_STATE names a file, every control's
// text, enabled, visible and selected state is written there (atomically)
// shortly after it changes, with the window's busy flags.
#pragma once

#include <memory>

namespace qm {

class CGuiWnd;

class WindowStateFile {
public:
    // Does nothing unless QUILLMATE_WINDOW_STATE is set.
    explicit WindowStateFile(CGuiWnd& window);
    ~WindowStateFile();
    WindowStateFile(const WindowStateFile&) = delete;
    WindowStateFile& operator=(const WindowStateFile&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace qm
