#include "foundation/host/windows/filesecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "foundation/host/host.h"
#include "foundation/host/windows/win32util.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace {

std::vector<unsigned char> CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return {};
    const UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, info.data(), size, &size))
        return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(info.data())->User.Sid;
    std::vector<unsigned char> out(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(out.size()), out.data(), sid))
        return {};
    return out;
}

std::vector<unsigned char> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    std::vector<unsigned char> sid(size);
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return {};
    sid.resize(size);
    return sid;
}

}  // namespace

std::optional<FileSecurity> FileSecurity::OwnerOnly(bool forDirectory) {
    std::vector<std::vector<unsigned char>> sids;
    for (auto sid : {CurrentUserSid(), WellKnownSid(WinLocalSystemSid),
                     WellKnownSid(WinBuiltinAdministratorsSid)}) {
        if (sid.empty())
            return std::nullopt;
        bool seen = false;  // the service runs as SYSTEM: one entry is enough
        for (auto& other : sids)
            seen = seen || EqualSid(sid.data(), other.data());
        if (!seen)
            sids.push_back(std::move(sid));
    }
    DWORD size = sizeof(ACL);
    for (const auto& sid : sids)
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
    FileSecurity security;
    security.acl_.resize(size);
    auto* acl = reinterpret_cast<PACL>(security.acl_.data());
    if (!InitializeAcl(acl, size, ACL_REVISION))
        return std::nullopt;
    const DWORD inherit = forDirectory ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : 0;
    for (auto& sid : sids) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sid.data()))
            return std::nullopt;
    }
    security.aceCount_ = static_cast<DWORD>(sids.size());
    security.protected_ = true;
    return security;
}

std::optional<FileSecurity> FileSecurity::CopiedFrom(const std::u16string& path, bool withOwner,
                                                     Inherited inherited) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted =
        DACL_SECURITY_INFORMATION | (withOwner ? OWNER_SECURITY_INFORMATION : 0);
    const DWORD error = GetNamedSecurityInfoW(W(path), SE_FILE_OBJECT, wanted, &owner, nullptr,
                                              &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return std::nullopt;
    }
    FileSecurity security;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool ok = GetSecurityDescriptorControl(descriptor, &control, &revision);
    security.protected_ = (control & SE_DACL_PROTECTED) != 0 || inherited == Inherited::Flattened;
    security.nullDacl_ = dacl == nullptr;
    if (ok && dacl != nullptr) {
        ACL_SIZE_INFORMATION sizes{};
        ok = GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation);
        security.acl_.resize(ok ? sizes.AclBytesInUse + sizeof(ACL) : 0);
        auto* copy = reinterpret_cast<PACL>(security.acl_.data());
        ok = ok && InitializeAcl(copy, static_cast<DWORD>(security.acl_.size()), dacl->AclRevision);
        for (DWORD i = 0; ok && i < sizes.AceCount; ++i) {
            void* ace = nullptr;
            ok = GetAce(dacl, i, &ace);
            if (!ok)
                break;
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            // An unprotected list gets its inherited entries from the new
            // file's own folder; copying them too would double them.
            if (!security.protected_ && (header->AceFlags & INHERITED_ACE))
                continue;
            std::vector<unsigned char> entry(
                static_cast<const unsigned char*>(ace),
                static_cast<const unsigned char*>(ace) + header->AceSize);
            reinterpret_cast<ACE_HEADER*>(entry.data())->AceFlags &= ~INHERITED_ACE;
            ok = AddAce(copy, dacl->AclRevision, MAXDWORD, entry.data(), header->AceSize);
            ++security.aceCount_;
        }
    }
    if (ok && withOwner && owner != nullptr) {
        security.owner_.resize(GetLengthSid(owner));
        ok = CopySid(static_cast<DWORD>(security.owner_.size()), security.owner_.data(), owner);
    }
    const DWORD lastError = GetLastError();
    LocalFree(descriptor);
    if (!ok) {
        SetLastError(lastError);
        return std::nullopt;
    }
    return security;
}

SECURITY_ATTRIBUTES* FileSecurity::Attributes() {
    InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor_, TRUE,
                              nullDacl_ ? nullptr : reinterpret_cast<PACL>(acl_.data()), FALSE);
    if (protected_)
        SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!owner_.empty())
        SetSecurityDescriptorOwner(&descriptor_, owner_.data(), FALSE);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return &attributes_;
}

bool FileSecurity::ApplyTo(const std::u16string& path) const {
    std::u16string name = path;  // the call takes a writable string
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    auto* acl =
        nullDacl_ ? nullptr : reinterpret_cast<PACL>(const_cast<unsigned char*>(acl_.data()));
    const DWORD error =
        SetNamedSecurityInfoW(W(name), SE_FILE_OBJECT, what, nullptr, nullptr, acl, nullptr);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    if (!owner_.empty()) {
        // Only an administrator with the restore privilege may give a file
        // to someone else; otherwise the file stays ours, as with chown.
        SetNamedSecurityInfoW(W(name), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              const_cast<unsigned char*>(owner_.data()), nullptr, nullptr, nullptr);
    }
    return true;
}

std::optional<std::string> OthersWhoMayRead(const std::u16string& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(W(path), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> others = std::string();
    if (dacl == nullptr) {
        others = "Everyone (no access list)";
    } else {
        const auto system = WellKnownSid(WinLocalSystemSid);
        const auto administrators = WellKnownSid(WinBuiltinAdministratorsSid);
        const auto user = CurrentUserSid();
        const auto isTrusted = [&](PSID sid) {
            for (const auto* trusted : {&system, &administrators, &user})
                if (!trusted->empty() && EqualSid(sid, const_cast<unsigned char*>(trusted->data())))
                    return true;
            return owner != nullptr && EqualSid(sid, owner);
        };
        constexpr ACCESS_MASK kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
        ACL_SIZE_INFORMATION sizes{};
        if (!GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation))
            others = std::nullopt;
        for (DWORD i = 0; others && others->empty() && i < sizes.AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) {
                others = std::nullopt;
                break;
            }
            if (static_cast<const ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            const PSID sid = &allowed->SidStart;
            if ((allowed->Mask & kReading) == 0 || isTrusted(sid))
                continue;
            wchar_t* text = nullptr;
            others =
                ConvertSidToStringSidW(sid, &text) ? Utf8FromWide(U16(text)) : "another account";
            LocalFree(text);
        }
    }
    LocalFree(descriptor);
    return others;
}

}  // namespace qm::host
