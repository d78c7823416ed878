#include "app/singleinstance.h"

#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/paths.h"
#include "foundation/processmanager.h"

namespace qm {

SingleInstance::Outcome SingleInstance::Acquire(const std::u16string& directory) {
    std::u16string path = directory;
    EnsureTrailingSeparator(path);
    MakeDirectoryTree(path);
    path += kLockFileName;
    const std::u16string description =
        FormatWide(u"quillmate window, process %d", static_cast<int>(CurrentProcessIdentifier()));
    if (lock_.TryAcquire(path, description, reason_))
        return Outcome::First;
    return lock_.HeldByAnother() ? Outcome::AlreadyRunning : Outcome::Unchecked;
}

}  // namespace qm
