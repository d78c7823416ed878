#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "foundation/interrupts.h"

namespace qm {

namespace {

std::atomic<int> g_signal{0};

void OnSignal(int number) {
    int expected = 0;
    if (g_signal.compare_exchange_strong(expected, number)) {
        static const char kNote[] =
            "\nquillmate: interrupted; finishing the current step safely, then stopping\n";
        const ssize_t written = write(STDERR_FILENO, kNote, sizeof kNote - 1);
        (void)written;
    }
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
}

bool InterruptRequested() {
    return g_signal.load() != 0;
}

std::u16string InterruptName() {
    switch (g_signal.load()) {
        case 0:
            return {};
        case SIGINT:
            return u"SIGINT";
        case SIGTERM:
            return u"SIGTERM";
        case SIGHUP:
            return u"SIGHUP";
        default:
            return u"a signal";
    }
}

void ClearInterrupt() {
    g_signal = 0;
}

void KillThisProcess() {
    kill(getpid(), SIGKILL);
    _exit(137);
}

void InterruptThisProcess() {
    kill(getpid(), SIGINT);
}

}  // namespace qm
