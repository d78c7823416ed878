// The guard that keeps one window of the program per machine: a lock file in
// the service directory, held for the life of the process (the kernel lets
// it go however the process ends).
#pragma once

#include <string>

#include "foundation/filelock.h"

namespace qm {

class SingleInstance {
public:
    enum class Outcome {
        First,           // this process holds the guard
        AlreadyRunning,  // another process holds it
        Unchecked,       // the lock file cannot be used; `Reason` says why
    };

    // Takes the guard in `directory` (created when missing).
    Outcome Acquire(const std::u16string& directory);
    const std::u16string& Reason() const { return reason_; }

    static constexpr char16_t kLockFileName[] = u"VantrelGui.lock";

private:
    FileLock lock_;
    std::u16string reason_;
};

}  // namespace qm
