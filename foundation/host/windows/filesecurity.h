// The access lists the Windows backend gives the files and folders it makes:
// owner-only for private keys and state, or a copy of another file's list
// where POSIX would copy a mode. Internal to foundation/host/windows.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace qm::host {

class FileSecurity {
public:
    // Full control for the current user, SYSTEM and the Administrators group
    // only, inheritance from the folder blocked: the service (SYSTEM) and an
    // elevated administrator must still reach what the other one wrote.
    // `forDirectory`: the entries are inherited by what the folder holds.
    static std::optional<FileSecurity> OwnerOnly(bool forDirectory);

    // `path`'s access list. AsIs: its explicit entries and its protection,
    // so that a file created with it gets the same list, the inherited
    // entries coming from its own folder (as Windows does for copies).
    // Flattened: every entry, made explicit and protected, so that exactly
    // who may reach `path` may reach the other file, wherever it lies.
    // `withOwner` also copies the owner. Nullopt when it cannot be read.
    enum class Inherited { AsIs, Flattened };
    static std::optional<FileSecurity> CopiedFrom(const std::u16string& path, bool withOwner,
                                                  Inherited inherited = Inherited::AsIs);

    // Whether creating with this would give the same as creating without:
    // an unprotected list without entries of its own.
    bool InheritsOnly() const { return !protected_ && !nullDacl_ && aceCount_ == 0; }
    bool HasOwner() const { return !owner_.empty(); }
    void DropOwner() { owner_.clear(); }

    // For CreateFileW / CreateDirectoryW. Valid while this object lives and
    // is not changed.
    SECURITY_ATTRIBUTES* Attributes();

    // Puts this list on an existing object, and the kept owner where the
    // system allows it; false with GetLastError() set when the list is refused.
    bool ApplyTo(const std::u16string& path) const;

private:
    FileSecurity() = default;

    std::vector<unsigned char> acl_;    // an ACL, empty when nullDacl_
    std::vector<unsigned char> owner_;  // a SID, empty when the default owner applies
    bool nullDacl_ = false;
    bool protected_ = false;
    DWORD aceCount_ = 0;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace qm::host
