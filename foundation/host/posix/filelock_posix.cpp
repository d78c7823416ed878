#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "foundation/filelock.h"
#include "foundation/textconv.h"

namespace qm {

FileLock::~FileLock() {
    Release();
}

bool FileLock::TryAcquire(const std::u16string& path, std::u16string_view description,
                          std::u16string& holder) {
    Release();
    heldByAnother_ = false;
    const std::string narrow = Utf8FromWide(path);
    // No link is followed: a lock file in a shared folder must not become
    // a way to write elsewhere.
    const int fd = open(narrow.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        holder = WideFromUtf8("cannot open " + narrow + ": " + std::strerror(errno));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        std::string text;
        char buffer[512];
        ssize_t n = 0;
        while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0 &&
               text.size() < 4096)
            text.append(buffer, static_cast<size_t>(n));
        close(fd);
        if (error != EWOULDBLOCK) {
            holder = WideFromUtf8("cannot lock " + narrow + ": " + std::strerror(error));
            return false;
        }
        heldByAnother_ = true;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        holder = text.empty() ? u"another process" : WideFromUtf8(text);
        return false;
    }
    const std::string note = Utf8FromWide(description) + "\n";
    if (ftruncate(fd, 0) == 0) {
        const ssize_t written = pwrite(fd, note.data(), note.size(), 0);
        (void)written;
    }
    handle_ = fd;
    return true;
}

void FileLock::Release() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

}  // namespace qm
