#include "deploy/netmanager.h"

#include <mutex>

#include "foundation/netresolve.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

std::mutex& ResolverLock() {
    static std::mutex lock;
    return lock;
}

CNetManager::Resolver& CurrentResolver() {
    static CNetManager::Resolver resolver;
    return resolver;
}

// The address of the last entry of the resolver's list, as the look-up has
// always taken it.
std::string Resolve(const std::u16string& siteAddr) {
    CNetManager::Resolver resolver;
    {
        std::lock_guard<std::mutex> guard(ResolverLock());
        resolver = CurrentResolver();
    }
    const std::string name = NarrowFromWide(siteAddr);
    const auto all = resolver ? resolver(name) : ResolveIPv4Addresses(name);
    return all.empty() ? std::string() : all.back();
}

}  // namespace

namespace {

// White space as a name typed by hand may hold it: what "\s" matches, and
// the Unicode spaces input methods type (no-break and ideographic spaces).
bool IsSpaceInName(char16_t c) {
    switch (c) {
        case u' ':
        case u'\t':
        case u'\n':
        case u'\v':
        case u'\f':
        case u'\r':
        case u'\u0085':
        case u'\u00A0':
        case u'\u1680':
        case u'\u2028':
        case u'\u2029':
        case u'\u202F':
        case u'\u205F':
        case u'\u3000':
        case u'\uFEFF':
            return true;
        default:
            return c >= u'\u2000' && c <= u'\u200A';
    }
}

}  // namespace

std::u16string RemoveWhitespace(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (!IsSpaceInName(c))
            out.push_back(c);
    }
    return out;
}

bool CNetManager::CheckSiteAddrFormat(std::u16string& siteAddr) {
    siteAddr = RemoveWhitespace(siteAddr);
    return !siteAddr.empty() && siteAddr.find(u'.') != std::u16string::npos &&
           siteAddr.find(u'*') == std::u16string::npos &&
           siteAddr.find(u'~') == std::u16string::npos && siteAddr.size() >= 3;
}

bool CNetManager::IsValidSiteAddr(std::u16string siteAddr) {
    if (!CheckSiteAddrFormat(siteAddr))
        return false;
    return !Resolve(siteAddr).empty();
}

std::u16string CNetManager::GetSiteAddrIP(std::u16string siteAddr) {
    LogTrace("CNetManager::GetSiteAddrIP");
    return WideFromNarrow(Resolve(RemoveWhitespace(siteAddr)));
}

bool CNetManager::IsSiteAddrHaveSameIP(std::u16string first, std::u16string second) {
    LogTrace("CNetManager::IsSiteAddrHaveSameIP");
    const std::string a = Resolve(RemoveWhitespace(first));
    const std::string b = Resolve(RemoveWhitespace(second));
    bool same = true;
    if (a.empty() || b.empty()) {
        // A name that does not resolve is simply not on this machine: an
        // expected answer, not an error.
        LogTrace("CNetManager::IsSiteAddrHaveSameIP, not resolved: %s vs %s", a, b);
        same = false;
    }
    if (a != b) {
        LogWarn("CNetManager::IsSiteAddrHaveSameIP, %s != %s", a, b);
        same = false;
    }
    return same;
}

CNetManager::Resolver CNetManager::SetResolver(Resolver resolver) {
    std::lock_guard<std::mutex> guard(ResolverLock());
    Resolver previous = std::move(CurrentResolver());
    CurrentResolver() = std::move(resolver);
    return previous;
}

}  // namespace qm
