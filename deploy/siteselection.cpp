// Reconciles the requested domains with the configured sites: normalises the
// names, may add the "www." twin of a single name, refuses what cannot be
// served, and builds one selected site per requested name.
#include <algorithm>

#include "deploy/netmanager.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"

namespace qm {

std::u16string SslCertSrvBase::ToggleWww(const std::u16string& text) {
    if (text.rfind(u"www.", 0) == 0 || text.rfind(u"WWW.", 0) == 0)
        return text.substr(4);
    return u"www." + text;
}

void SslCertSrvBase::ConstructSelSiteInfo() {
    RunOperation("SslCertSrvBase::ConstructSelSiteInfo", [&] {
        selectedSites_.clear();

        if (AnyInputDomainUnknown(inputDomains_) && !AcceptsUserDomains()) {
            ThrowResult(result::kInputSiteConflict);
        }

        // The "www." twin of a requested name that points at this machine
        // but is not configured yet.
        std::vector<std::u16string> wwwCandidates;
        for (const auto& d : inputDomains_) {
            if (d.empty())
                continue;
            const std::u16string t = ToggleWww(d);
            if (!ContainsSiteAddr(t) && CNetManager::IsSiteAddrHaveSameIP(d, t) &&
                AcceptsUserDomains()) {
                wwwCandidates.push_back(t);
            }
        }

        for (auto& d : inputDomains_)
            d = RemoveWhitespace(d);
        // A twin made from a name typed with blanks carries them too.
        for (auto& t : wwwCandidates)
            t = RemoveWhitespace(t);

        const size_t n = inputDomains_.size();
        if (n > 2)
            ThrowResult(result::kTooManyDomains);
        if (n == 2) {
            const auto& first = inputDomains_.front();
            const auto& last = inputDomains_.back();
            if (first != ToggleWww(last) || !CNetManager::IsSiteAddrHaveSameIP(first, last)) {
                ThrowResult(result::kTooManyDomains);
            }
        } else if (wwwCandidates.size() + n <= 2) {
            inputDomains_.insert(inputDomains_.end(), wwwCandidates.begin(), wwwCandidates.end());
        }

        std::sort(inputDomains_.begin(), inputDomains_.end());
        inputDomains_.erase(std::unique(inputDomains_.begin(), inputDomains_.end()),
                            inputDomains_.end());

        const bool isIis = EqualsIgnoreCaseAscii(webType_, u"iis");
        for (const auto& d : inputDomains_) {
            if (d.empty())
                continue;
            const std::u16string t = ToggleWww(d);
            SiteInfo chosen;
            auto configured = std::find_if(sites_.begin(), sites_.end(), [&](const SiteInfo& s) {
                return s.siteAddr == d || s.siteAddr == t;
            });
            auto sameMachine = sites_.end();
            if (configured == sites_.end() && !isIis) {
                sameMachine = std::find_if(sites_.begin(), sites_.end(), [&](const SiteInfo& s) {
                    return CNetManager::IsSiteAddrHaveSameIP(s.siteAddr, d);
                });
            }
            if (configured != sites_.end()) {
                chosen = *configured;
            } else if (sameMachine != sites_.end()) {
                chosen = *sameMachine;
            } else {
                // Built from the main site, on the port of the protocol the
                // server listens on at the name's address.
                chosen = mainSite_;
                const std::u16string ip = CNetManager::GetSiteAddrIP(d);
                auto listensOn = [&](const std::vector<std::u16string>& addrs) {
                    return std::any_of(addrs.begin(), addrs.end(), [&](const std::u16string& a) {
                        return a.empty() || a == u"*" || a == ip;
                    });
                };
                if (listensOn(httpListenAddrs_)) {
                    chosen.isHttps = false;
                    chosen.sitePort = httpPort_;
                } else if (listensOn(httpsListenAddrs_)) {
                    chosen.isHttps = true;
                    chosen.sitePort = httpsPort_;
                }
            }
            chosen.siteAddr = d;
            selectedSites_.push_back(std::move(chosen));
        }
    });
}

}  // namespace qm
