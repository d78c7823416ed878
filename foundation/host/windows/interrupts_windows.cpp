#include <windows.h>

#include <atomic>

#include "foundation/interrupts.h"

namespace qm {

namespace {

// The console event that asked, plus one (0: none).
std::atomic<unsigned long> g_event{0};

// How long a close or shutdown handler holds the process: Windows ends it
// when the handler returns (or after its own limit, about 5 seconds for a
// closed console), so returning at once would cut the current step short.
constexpr DWORD kHoldMs = 30000;

void Request(DWORD event) {
    unsigned long expected = 0;
    if (g_event.compare_exchange_strong(expected, event + 1)) {
        static const char kNote[] =
            "\nquillmate: interrupted; finishing the current step safely, then stopping\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kNote, sizeof kNote - 1, &written, nullptr);
    }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            Request(event);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The program reaches its safe point and ends the process itself
            // while this thread waits.
            Request(event);
            Sleep(kHoldMs);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            // Only services see it, for any user's logoff: not a reason to stop.
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallInterruptHandlers() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRequested() {
    return g_event.load() != 0;
}

std::u16string InterruptName() {
    const unsigned long stored = g_event.load();
    if (stored == 0)
        return {};
    // The POSIX names of the same requests, so logs and notes read alike.
    switch (stored - 1) {
        case CTRL_C_EVENT:
            return u"SIGINT";
        case CTRL_BREAK_EVENT:
            return u"SIGBREAK";
        case CTRL_CLOSE_EVENT:
            return u"SIGHUP";  // the console window was closed
        case CTRL_SHUTDOWN_EVENT:
            return u"SIGTERM";  // the system is shutting down
        default:
            return u"a console event";
    }
}

void ClearInterrupt() {
    g_event = 0;
}

void KillThisProcess() {
    TerminateProcess(GetCurrentProcess(), 9);
    ExitProcess(9);
}

void InterruptThisProcess() {
    // GenerateConsoleCtrlEvent needs a console and reaches every process on
    // it; this asks exactly as Ctrl+C would.
    OnConsoleEvent(CTRL_C_EVENT);
}

}  // namespace qm
