#include "deploy/netmanager.h"

#include <mutex>

#include "foundation/netresolve.h"
#include "foundation/regex.h"
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

std::u16string RemoveWhitespace(std::u16string_view text) {
    return Regex(u"\\s*").ReplaceAll(text, u"");
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
        LogError("CNetManager::IsSiteAddrHaveSameIP, null str: %s vs %s", a, b);
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
