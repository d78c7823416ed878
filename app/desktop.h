// The desktop program's start: the leftover self-update folder removed, one
// window per machine, the operating-system check, the renewal service
// (re)installed in the background, then the main window until it closes.
#pragma once

#include <ostream>

namespace qm {

// Runs the window; returns the process's exit code. Without a display it
// says so on `err` (pointing to the commands) and returns 1.
int RunDesktop(std::ostream& err);

}  // namespace qm
