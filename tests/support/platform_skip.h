// Test cases whose subject exists only on POSIX hosts (file modes, symbolic
// links, shell-script stand-ins for server tools) are skipped in the Windows
// build, with the reason printed; the Windows backend's own tests cover what
// takes their place there.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#define QM_POSIX_ONLY(reason) GTEST_SKIP() << "POSIX only: " << reason
#else
#define QM_POSIX_ONLY(reason) static_cast<void>(0)
#endif

#include <filesystem>
#include <system_error>

namespace qm::test {

// Whether symbolic links can be made in `folder` (Windows needs a privilege
// or developer mode for them; Wine does not make them at all).
inline bool CanMakeSymbolicLinks(const std::filesystem::path& folder) {
    const std::filesystem::path probe = folder / "symlink-probe";
    std::error_code error;
    std::filesystem::create_symlink("target", probe, error);
    if (error)
        return false;
    std::filesystem::remove(probe, error);
    return true;
}

}  // namespace qm::test

#define QM_NEEDS_SYMBOLIC_LINKS(folder)                                              \
    if (!::qm::test::CanMakeSymbolicLinks(folder))                                   \
    GTEST_SKIP() << "this host cannot make symbolic links (Wine does not implement " \
                    "CreateSymbolicLinkW)"
