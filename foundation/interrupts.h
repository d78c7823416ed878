// Interrupts (Ctrl+C, a terminal closed, a polite kill) as requests that the
// program acts on at its next safe point instead of ending wherever it
// stands: a web server half restarted must be brought back first.
#pragma once

#include <string>

namespace qm {

// From now on SIGINT, SIGTERM and SIGHUP (on Windows: the console's control
// events) only set the request; the first one also tells the terminal that
// the program finishes the current step and then stops.
void InstallInterruptHandlers();

bool InterruptRequested();
// The name of the signal that asked ("SIGINT"); empty when none did.
std::u16string InterruptName();
// Forgets a request (tests).
void ClearInterrupt();

// Fault injection for tests: ends this process at once, as `kill -9` does,
// or delivers the interrupt Ctrl+C would.
[[noreturn]] void KillThisProcess();
void InterruptThisProcess();

}  // namespace qm
