// What the harnesses of the packaged servers on their own layouts (nginx,
// Apache) share: private copies laid over system folders with bind mounts
// that only this process and what it starts see, inside the private mount
// and network namespaces of run-with-hosts --private-network, as root; the
// checks that say why that is not possible; and laying out the copies.
#pragma once

#include <sys/types.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/e2e/server_process.h"

namespace qm::e2e {

// Whether this process runs inside run-with-hosts --private-network, as
// root: ports 80 and 443 are those of a loopback of its own.
bool InPrivateNetwork();
// Runs `body` with QUILLMATE_E2E_PRIVATE_NETWORK unset, as outside
// run-with-hosts --private-network.
void OutsidePrivateNetwork(const std::function<void()>& body);

// Why `server` ("the packaged nginx") may not run as root with the
// machine's users here (not root, a user namespace that maps root alone);
// empty when it may.
std::string RootUnavailableReason(const std::string& server);
// Why `server` may not run here on private copies of `folders`: this
// process is not inside the private namespaces of run-with-hosts
// --private-network, or a folder does not exist; empty when it may.
std::string PrivateNamespacesUnavailableReason(const std::string& server,
                                               std::span<const char* const> folders);

// Private copies of system folders in a temporary folder, each mounted over
// its folder; should the test process die first, a guard process kills the
// server's processes of this mount namespace and removes the copies.
class PrivateMounts {
public:
    PrivateMounts() = default;
    ~PrivateMounts() { Release(); }
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    // Creates the temporary folder TMPDIR/quillmate-NAME.XXXXXX and leaves
    // the guard behind for the processes of `executable`.
    void Create(const std::string& name, const std::string& executable);
    // The temporary folder (ends in "/").
    const std::string& root() const { return folder_.path(); }

    // Mounts the private folder `source` over `target` (e.g. "/etc/nginx").
    void MountOver(const std::string& target, const std::string& source);
    // Throws unless `expected` mounts are there, each showing its private
    // folder.
    void Check(size_t expected) const;
    bool mounted() const { return !mounts_.empty(); }

    // Removes the mounts (a process that survived may hold a file open
    // below one), then the temporary folder, and lets the guard go.
    void Release() noexcept;

private:
    struct Mount {
        std::string target;  // where it shows, e.g. "/etc/nginx"
        std::string source;  // the private folder behind it
    };

    GuardedFolder folder_;
    std::vector<Mount> mounts_;
};

// Laying out the private copies.
namespace layout {

// A folder (and those above it) with its mode, owned by `user` when one is
// given and exists.
void MakeFolder(const std::string& path, mode_t mode, const char* user = nullptr);
// `folder` + `relative`, refused (std::invalid_argument) when `relative`
// leads out of the folder.
std::string PathBelow(const std::string& folder, const std::string& relative);
// Writes `relative` below `folder`, creating the folders on the way. The
// server's workers run as a user of their own: what they read must be
// readable by all (files 0644, new folders 0755), whatever the umask.
void WriteBelow(const std::string& folder, const std::string& relative, const std::string& text);
// Copies a folder with everything below it, links kept as links.
void CopyTree(const std::string& from, const std::string& to);
// The default site folder as the package's installation leaves it: the
// server's own page (`packagePage`, as the package ships it) under `name`.
void CopyDefaultSite(const std::string& to, const std::string& packagePage,
                     const std::string& name);
// Replaces `link` with a link to `target`.
void ReplaceWithLink(const std::string& target, const std::string& link);
// Removes `relative` below `folder` (a link: only the link).
void RemoveBelow(const std::string& folder, const std::string& relative);

}  // namespace layout

}  // namespace qm::e2e
