// An exclusive lock on a file, held by this process until Release (or its
// end, however it ends): the way separate runs of the program make sure
// only one of them changes the same state at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock on `path` (created, owner-only, when missing) and
    // writes `description` into the file for whoever finds it taken. False
    // when another holder has it (`holder` then receives its description)
    // or the file cannot be opened (`holder` says why).
    bool TryAcquire(const std::u16string& path, std::u16string_view description,
                    std::u16string& holder);
    void Release();
    bool Held() const { return handle_ >= 0; }
    // After a failed TryAcquire: whether another holder had the lock (rather
    // than the file being unusable).
    bool HeldByAnother() const { return heldByAnother_; }

private:
    intptr_t handle_ = -1;
    bool heldByAnother_ = false;
};

}  // namespace qm
