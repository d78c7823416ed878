// The IIS deployer's reading side: the installation, the started sites and
// their bindings, the certificate behind each HTTPS binding, and the names
// of the installed certificate of a binding without host name.
#include <algorithm>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/iis/iisbinding.h"
#include "deploy/iis/sslcertsrviis.h"
#include "deploy/netmanager.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// The application id HTTP.sys keeps with a binding: a new GUID in braces.
std::u16string NewAppId() {
    std::u16string hex = WideFromUtf8(RandomHex(16));
    if (hex.size() != 32)
        return u"{00000000-0000-0000-0000-000000000000}";
    for (char16_t& c : hex) {
        if (c >= u'a' && c <= u'f')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return u"{" + hex.substr(0, 8) + u"-" + hex.substr(8, 4) + u"-" + hex.substr(12, 4) + u"-" +
           hex.substr(16, 4) + u"-" + hex.substr(20, 12) + u"}";
}

// %NAME% references replaced by the environment's values; an unknown name
// stays as written (as Windows leaves it).
std::u16string ExpandEnvironmentReferences(const std::u16string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find(u'%', i);
        const size_t close =
            open == std::u16string::npos ? std::u16string::npos : text.find(u'%', open + 1);
        if (close == std::u16string::npos) {
            out.append(text, i, std::u16string::npos);
            break;
        }
        out.append(text, i, open - i);
        const std::u16string name = text.substr(open + 1, close - open - 1);
        std::u16string value;
        try {
            if (!name.empty())
                value = GetEnvironmentValue(name);
        } catch (const std::exception&) {
            value.clear();  // not set
        }
        if (value.empty()) {
            out.append(text, open, close - open);
            i = close;  // the closing "%" may open the next reference
        } else {
            out += value;
            i = close + 1;
        }
    }
    return out;
}

}  // namespace

SslCertSrvIIS::SslCertSrvIIS() : SslCertSrvIIS(CreateIisInterfaces()) {}

SslCertSrvIIS::SslCertSrvIIS(IisInterfaces interfaces)
    : iis_(std::move(interfaces)), appId_(NewAppId()) {
    webType_ = u"iis";
}

SslCertSrvIIS::~SslCertSrvIIS() = default;

std::u16string SslCertSrvIIS::ConfigurationIdentity() const {
    return iis_.sites->ConfigurationPath();
}

std::u16string SslCertSrvIIS::CertificateDirectory() const {
    // IIS serves from the store; the session's certificate files are kept
    // beside the program's other state.
    return GetProgramDirectory() + NativeSeparators(u"Config/Cert/");
}

void SslCertSrvIIS::GetWebServiceInfo() {
    RunOperation("SslCertSrvIIS::GetWebServiceInfo", [&] {
        SslCertSrvBase::GetWebServiceInfo();
        webServiceRoot_ = DirectoryOf(webServicePath_);
    });
}

std::u16string SslCertSrvIIS::SitePhysicalPath(const IisSite& site) {
    if (site.physicalPaths.empty() || site.physicalPaths.back().empty())
        return {};
    std::u16string path = ExpandEnvironmentReferences(site.physicalPaths.back());
    if (path != u"/" && !IsPathSeparator(path.back(), PathStyle::Windows))
        path += PathSeparator();
    return path;
}

void SslCertSrvIIS::CollectBindings() {
    bindings_.clear();
    std::vector<IisSite> sites;
    std::u16string problem;
    if (!iis_.sites->ReadSites(sites, problem)) {
        LogError(u"SslCertSrvIIS, the IIS administration cannot be read: %s", problem);
        AddUserNote(u"The IIS configuration cannot be read: " + problem + u".");
        ThrowResult(result::kIisInitializeFailed);
    }
    bool started = false;
    for (const IisSite& site : sites) {
        if (site.state.empty())
            ThrowResult(result::kWebServiceNotRunning);
        if (!SameText(site.state, u"Started"))
            continue;
        started = true;
        const std::u16string dir = SitePhysicalPath(site);
        for (const IisBinding& binding : site.bindings) {
            BindingRecord record{
                site.name, dir, binding.bindingInformation, {}, binding.protocol, binding.sslFlags};
            if (SameText(binding.protocol, u"https")) {
                const BindingEndpoint ep = ParseBindingInformation(binding.bindingInformation);
                // HTTP.sys picks the certificate by host name for an SNI
                // binding, else by the address, else by the wildcard address.
                TlsBinding tls;
                if (UsesHostNameCertificate(binding.sslFlags))
                    tls = CurrentTlsBinding({ep.host, ep.port, true});
                else
                    tls = CurrentTlsBinding({TlsAddressOf(ep.ip), ep.port, false});
                if (tls.certificateHash.empty() && !UsesHostNameCertificate(binding.sslFlags) &&
                    TlsAddressOf(ep.ip) != u"0.0.0.0") {
                    const bool v6 = TlsAddressOf(ep.ip).find(u':') != std::u16string::npos;
                    tls = CurrentTlsBinding({v6 ? u"::" : u"0.0.0.0", ep.port, false});
                }
                record.certificateHash = tls.certificateHash;
            }
            LogInfo(u"SslCertSrvIIS::ParseBingdings, bindingInfo is %s, hash is %s, protocol is %s",
                    record.bindingInformation, record.certificateHash, record.protocol);
            bindings_.push_back(std::move(record));
        }
    }
    if (!started)
        ThrowResult(result::kWebServiceNotRunning);
}

TlsBinding SslCertSrvIIS::CurrentTlsBinding(const TlsEndpoint& endpoint) {
    TlsBinding binding;
    bool found = false;
    std::u16string problem;
    if (!iis_.tlsBindings->Query(endpoint, binding, found, problem)) {
        LogError(u"SslCertSrvIIS, the TLS bindings cannot be read: %s", problem);
        AddUserNote(u"The HTTP.sys certificate bindings cannot be read: " + problem + u".");
        ThrowResult(result::kIisInitializeFailed);
    }
    return found ? binding : TlsBinding{endpoint, {}, {}, {}};
}

void SslCertSrvIIS::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    RunOperation("SslCertSrvIIS::GetSitesInfo", [&] {
        LogTrace("SslCertSrvIIS::GetSitesInfo");
        siteAddrs.clear();
        sites_.clear();
        siteNames_.clear();
        hostlessIPs_.clear();
        backupSites_.clear();
        httpListenAddrs_.clear();
        httpsListenAddrs_.clear();
        CollectBindings();
        for (const BindingRecord& record : bindings_) {
            const BindingEndpoint ep = ParseBindingInformation(record.bindingInformation);
            if (ep.port != httpPort_ && ep.port != httpsPort_)
                continue;
            bool isHttps = false;
            if (SameText(record.protocol, u"https"))
                isHttps = true;
            else if (!SameText(record.protocol, u"http"))
                continue;
            // Host names are case-insensitive: kept in lower case, like the
            // domains they are compared with.
            const std::u16string host = ToLowerAscii(ep.host);
            SiteInfo site{host, record.siteDir, ep.port, isHttps, ep.ip};
            bool certificateNames = false;
            if (ep.port == httpsPort_ && isHttps) {
                backupSites_.push_back({u"backupSite", record.siteName, record.protocol, ep.host,
                                        FormatWide(u"%d", ep.port), ep.ip, record.certificateHash,
                                        record.bindingInformation, record.sslFlags});
                LogInfo(u"siteAddr is %s, Cert Hash is %s", ep.host, record.certificateHash);
                if (record.certificateHash.empty())
                    continue;
                if (host.empty()) {
                    ReadCertSiteAddrs(site, record.siteName, record.certificateHash, siteAddrs);
                    certificateNames = true;
                }
            }
            if (!certificateNames) {
                sites_.push_back(site);
                if (!host.empty())
                    siteAddrs.push_back(host);
                siteNames_.emplace(host, record.siteName);
            }
            if (host.empty() && (!isHttps || !record.certificateHash.empty())) {
                hostlessIPs_.push_back(ep.ip);
                mainSite_ = site;
                (isHttps ? httpsListenAddrs_ : httpListenAddrs_).push_back(ep.ip);
            }
        }
        std::sort(siteAddrs.begin(), siteAddrs.end());
        siteAddrs.erase(std::unique(siteAddrs.begin(), siteAddrs.end()), siteAddrs.end());
        RemoveDuplicateSites(sites_);
    });
}

bool SslCertSrvIIS::ReadCertSiteAddrs(SiteInfo site, const std::u16string& siteName,
                                      const std::u16string& certHash,
                                      std::vector<std::u16string>& names) {
    std::vector<std::u16string> dnsNames;
    if (!iis_.store->DnsNames(std::u16string(kStore), certHash, dnsNames))
        return false;
    for (std::u16string name : dnsNames) {
        LogInfo(u"SiteAddr in Cert is %s", name);
        const bool wildcard = name.find(u'*') != std::u16string::npos;
        if (!CNetManager::CheckSiteAddrFormat(name))
            ThrowResult(wildcard ? result::kNotSupportWildcard : result::kInvalidSiteAddrInCert);
        name = ToLowerAscii(name);
        site.siteAddr = name;
        sites_.push_back(site);
        names.push_back(name);
        siteNames_.emplace(name, siteName);
    }
    return true;
}

bool SslCertSrvIIS::AcceptsUserDomains() {
    if (!sites_.empty() && HasSecondSiteDir())
        return false;
    return !mainSite_.siteDir.empty();
}

}  // namespace qm
