// Discovery: the virtual hosts of the configuration, the main server, the
// sites they make, the aliases and the listen addresses.
#include <algorithm>

#include "deploy/apache/apacheaddress.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/configtext.h"
#include "deploy/netmanager.h"
#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// A ServerName value as a site name: scheme and port dropped, lower case.
std::u16string NameOf(std::u16string value) {
    const size_t scheme = value.find(u"://");
    if (scheme != std::u16string::npos)
        value.erase(0, scheme + 3);
    if (!value.empty() && value.front() != u'[') {
        const size_t colon = value.find(u':');
        if (colon != std::u16string::npos)
            value.resize(colon);
    }
    return ToLowerAscii(value);
}

bool HasWildcard(const std::u16string& name) {
    return name.find_first_of(u"*?") != std::u16string::npos;
}

void SortUnique(std::vector<std::u16string>& list) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
}

}  // namespace

SslCertSrvApache::SslCertSrvApache() = default;
SslCertSrvApache::~SslCertSrvApache() = default;

void SslCertSrvApache::CheckInputDomains(const std::vector<std::u16string>&) {}

// ---- Facts of a host ----

// The first directive of a name at the host's own level (not inside a
// <Directory> or similar section), or nullptr.
static const ApacheDirective* FirstOf(const ApacheConfig& config, const ApacheVirtualHost& host,
                                      std::u16string_view name) {
    for (size_t i : host.directives) {
        const ApacheDirective& d = config.Directives()[i];
        if (!d.nested && !d.section && d.name == name)
            return &d;
    }
    return nullptr;
}

std::u16string SslCertSrvApache::ParseServerName(const ApacheConfig& config,
                                                 const ApacheVirtualHost& host) {
    const ApacheDirective* d = FirstOf(config, host, u"servername");
    return d && !d->args.empty() ? NameOf(d->args.front()) : std::u16string();
}

std::vector<std::u16string> SslCertSrvApache::CollectAliases(const ApacheConfig& config,
                                                             const ApacheVirtualHost& host) {
    std::vector<std::u16string> aliases;
    for (size_t i : host.directives) {
        const ApacheDirective& d = config.Directives()[i];
        if (d.nested || d.name != u"serveralias")
            continue;
        for (const auto& word : d.args)
            aliases.push_back(ToLowerAscii(word));
    }
    return aliases;
}

bool SslCertSrvApache::IsHttpsHost(const ApacheConfig& config, const ApacheVirtualHost& host) {
    if (FirstOf(config, host, u"sslcertificatefile"))
        return true;
    const ApacheDirective* engine = FirstOf(config, host, u"sslengine");
    return engine && !engine->args.empty() && EqualsIgnoreCaseAscii(engine->args[0], u"on");
}

std::u16string SslCertSrvApache::SiteDirOf(const ApacheConfig& config,
                                           const std::u16string& documentRoot) {
    if (documentRoot.empty())
        return documentRoot;
    std::u16string dir = NativeSeparators(config.Resolve(documentRoot));
    EnsureTrailingSeparator(dir);
    return dir;
}

SiteInfo SslCertSrvApache::SiteOfHost(const ApacheConfig& config,
                                      const ApacheVirtualHost& host) const {
    SiteInfo site;
    site.siteAddr = ParseServerName(config, host);
    if (const ApacheDirective* root = FirstOf(config, host, u"documentroot");
        root && !root->args.empty())
        site.siteDir = SiteDirOf(config, root->args.front());
    site.sitePort = VirtualHostPort(host.addresses, httpPort_);
    site.isHttps = IsHttpsHost(config, host);
    // An HTTPS host named only by port 443 ("*:443") serves that port.
    if (site.isHttps && site.sitePort == httpPort_) {
        for (const auto& address : host.addresses) {
            if (ParseApacheAddress(address).port == httpsPort_)
                site.sitePort = httpsPort_;
        }
    }
    site.siteIP = VirtualHostIP(host.addresses);
    return site;
}

bool SslCertSrvApache::ServesConfiguredPort(const SiteInfo& site) const {
    return site.isHttps ? site.sitePort == httpsPort_ : site.sitePort == httpPort_;
}

// ---- Single texts (the engine's node interface) ----

void SslCertSrvApache::GetSiteNodesPosRange(const std::u16string& text,
                                            std::vector<SiteNode>& nodes) {
    RunOperation("SslCertSrvApache::GetSiteNodesPosRange", [&] {
        nodes.clear();
        ApacheConfig single;
        single.LoadText(text);
        for (const ApacheVirtualHost& host : single.Hosts()) {
            SiteNode node;
            node.start = single.HostStart(host);
            node.end = single.HostEnd(host);
            nodes.push_back(node);
        }
    });
}

void SslCertSrvApache::GetSiteNodesConfig(std::vector<SiteNode>& nodes) {
    RunOperation("SslCertSrvApache::GetSiteNodesConfig", [&] {
        aliasMap_.clear();
        for (SiteNode& node : nodes) {
            if (node.file >= config_.FileCount())
                continue;
            const std::u16string_view text = config_.File(node.file).text;
            ApacheConfig single;
            single.LoadText(std::u16string(text.substr(node.start, node.end - node.start)));
            if (single.Hosts().empty())
                continue;
            const ApacheVirtualHost& host = single.Hosts().front();
            node.site = SiteOfHost(single, host);
            for (const auto& alias : CollectAliases(single, host))
                aliasMap_[alias] = node.site.siteAddr;
        }
    });
}

// ---- The whole configuration ----

void SslCertSrvApache::LocateIncludedFiles() {
    auto readUnder = [&](std::u16string_view relative) {
        const size_t file = config_.FindFile(serverRoot_ + NativeSeparators(relative));
        return file != static_cast<size_t>(-1) && config_.IsRead(file);
    };
    httpdSslIncluded_ = readUnder(u"conf/extra/httpd-ssl.conf");
    sslConfIncluded_ = readUnder(u"conf/extra/ssl.conf") || readUnder(u"conf/ssl.conf");
    vhostsIncluded_ = readUnder(u"conf/extra/httpd-vhosts.conf");
    LogInfo("apache includes: httpd-ssl.conf %d, ssl.conf %d, httpd-vhosts.conf %d",
            httpdSslIncluded_ ? 1 : 0, sslConfIncluded_ ? 1 : 0, vhostsIncluded_ ? 1 : 0);
}

void SslCertSrvApache::DetectApacheVersion() {
    apacheVersion_.clear();
    if (!FileExists(serverRoot_ + NativeSeparators(u"conf/extra/httpd-ssl.conf")))
        apacheVersion_ = u"2.0";
    LogInfo(u"apache version: %s", apacheVersion_);
}

bool SslCertSrvApache::IsSslDefined() const {
    return config_.Defined(u"SSL");
}

// Debian's layout: modules and sites enabled by links in mods-enabled/ and
// sites-enabled/ to files in mods-available/ and sites-available/.
void SslCertSrvApache::DetectLayout() {
    auto folder = [&](std::u16string_view name) {
        return DirectoryExists(serverRoot_ + std::u16string(name));
    };
    bool modsIncluded = false;
    bool sitesIncluded = false;
    const std::u16string mods = serverRoot_ + u"mods-enabled" + PathSeparator();
    const std::u16string sitesDir = serverRoot_ + u"sites-enabled" + PathSeparator();
    for (const ApacheDirective& d : config_.Directives()) {
        if ((d.name != u"include" && d.name != u"includeoptional") || d.args.empty())
            continue;
        const std::u16string pattern = config_.Resolve(d.args.front());
        modsIncluded |= pattern.rfind(mods, 0) == 0;
        sitesIncluded |= pattern.rfind(sitesDir, 0) == 0;
    }
    debianLayout_ =
        modsIncluded && sitesIncluded && folder(u"mods-available") && folder(u"sites-available");
    if (debianLayout_)
        LogInfo(u"apache layout: modules and sites enabled by links under %s", serverRoot_);
}

void SslCertSrvApache::ParseMainConfig() {
    mainSite_ = SiteInfo();
    std::u16string name;
    std::u16string root;
    bool cert = false;
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.host >= 0 || d.nested || d.section || d.args.empty())
            continue;
        if (d.name == u"servername" && name.empty())
            name = NameOf(d.args.front());
        else if (d.name == u"documentroot" && root.empty())
            root = d.args.front();
        else if (d.name == u"sslcertificatefile")
            cert = true;
    }
    mainSite_.siteAddr = name.empty() ? u"localhost" : name;
    mainSite_.siteDir = SiteDirOf(config_, root);
    mainSite_.isHttps = cert;
    mainSite_.sitePort = cert ? httpsPort_ : httpPort_;
    sites_.push_back(mainSite_);
}

void SslCertSrvApache::ParseSites() {
    siteNodes_.clear();
    aliasMap_.clear();
    for (const ApacheVirtualHost& host : config_.Hosts()) {
        SiteNode node;
        node.file = host.file;
        node.start = config_.HostStart(host);
        node.end = config_.HostEnd(host);
        node.site = SiteOfHost(config_, host);
        siteNodes_.push_back(node);
        const std::vector<std::u16string> aliases = CollectAliases(config_, host);
        if (!node.site.siteAddr.empty()) {
            for (const auto& alias : aliases)
                aliasMap_[alias] = node.site.siteAddr;
        }
        if (!ServesConfiguredPort(node.site) || node.site.siteAddr.empty())
            continue;
        configuredSiteNames_.push_back(node.site.siteAddr);
        SiteInfo site = node.site;
        if (site.siteDir.empty())
            site.siteDir = mainSite_.siteDir;
        sites_.push_back(site);
        for (const auto& alias : aliases) {
            if (HasWildcard(alias))
                continue;
            site.siteAddr = alias;
            sites_.push_back(site);
        }
    }
    SortUnique(configuredSiteNames_);
}

// "*" when a Listen line for the port takes every address, else the
// addresses named.
void SslCertSrvApache::CollectListenAddrs() {
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.name != u"listen" || d.section)
            continue;
        const ApacheListen listen = ParseApacheListen(d.args);
        for (auto [port, list] :
             {std::pair{httpPort_, &httpListenAddrs_}, std::pair{httpsPort_, &httpsListenAddrs_}}) {
            if (listen.port != port)
                continue;
            list->push_back(listen.CoversAll() ? std::u16string(u"*") : listen.host);
        }
    }
    for (auto* list : {&httpListenAddrs_, &httpsListenAddrs_}) {
        if (std::find(list->begin(), list->end(), u"*") != list->end())
            *list = {u"*"};
        SortUnique(*list);
    }
}

void SslCertSrvApache::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    RunOperation("SslCertSrvApache::GetSitesInfo", [&] {
        siteAddrs.clear();
        sites_.clear();
        usedCertFiles_.clear();
        httpListenAddrs_.clear();
        httpsListenAddrs_.clear();
        configuredSiteNames_.clear();
        if (!configLoaded_)
            LoadConfiguration();

        ParseMainConfig();
        ParseSites();
        // A main server without a document root serves from the first that
        // has one; sites without one serve from the main server's.
        if (mainSite_.siteDir.empty()) {
            for (const SiteInfo& site : sites_) {
                if (!site.siteDir.empty()) {
                    mainSite_.siteDir = site.siteDir;
                    break;
                }
            }
            sites_.front().siteDir = mainSite_.siteDir;
        }
        for (SiteInfo& site : sites_) {
            if (site.siteDir.empty())
                site.siteDir = mainSite_.siteDir;
        }
        // Where a host takes every name on the HTTP port, the main server's
        // own name reaches that host (the first of them), not the main
        // server: its verification file belongs there.
        if (const ApacheVirtualHost* def = DefaultHost(u"", httpPort_)) {
            const std::u16string dir = SiteOfHost(config_, *def).siteDir;
            if (!dir.empty())
                sites_.front().siteDir = dir;
        }
        CollectListenAddrs();

        // Every certificate file the configuration names, so a new name
        // never overwrites a file in use.
        for (const ApacheDirective& d : config_.Directives()) {
            if (d.name == u"sslcertificatefile" || d.name == u"sslcertificatekeyfile" ||
                d.name == u"sslcertificatechainfile")
                usedCertFiles_.push_back(
                    ApacheLineText(config_.File(d.file).text, config_.LineOf(d)));
        }
        SortUnique(usedCertFiles_);

        RemoveDuplicateSites(sites_);
        for (const SiteInfo& site : sites_) {
            if (!site.siteAddr.empty())
                siteAddrs.push_back(site.siteAddr);
        }
        SortUnique(siteAddrs);
        LogInfo("apache: %d virtual hosts, %d sites", static_cast<int>(config_.Hosts().size()),
                static_cast<int>(sites_.size()));
    });
}

// The host Apache gives a request for a name no host is named for: among
// the hosts on the port, those bound to the name's address come before
// those on every address, and the first of them is the default.
const ApacheVirtualHost* SslCertSrvApache::DefaultHost(const std::u16string& ip,
                                                       int32_t port) const {
    for (const bool exact : {true, false}) {
        for (const ApacheVirtualHost& host : config_.Hosts()) {
            for (const auto& text : host.addresses) {
                const ApacheAddress a = ParseApacheAddress(text);
                const int32_t p = a.port == 0 || a.anyPort ? port : a.port;
                if (p != port)
                    continue;
                const bool wildcard = a.host == u"*" || a.host == u"_default_";
                if (exact ? a.host == ip : wildcard)
                    return &host;
            }
        }
    }
    return nullptr;
}

// Names no host is named for: their verification file must be where Apache
// routes them, the default host of their address and port.
void SslCertSrvApache::RouteUnconfiguredNames() {
    if (!configLoaded_)
        return;
    for (SiteInfo& site : selectedSites_) {
        if (ContainsSiteAddr(site.siteAddr))
            continue;
        const std::u16string ip = CNetManager::GetSiteAddrIP(site.siteAddr);
        const ApacheVirtualHost* host = DefaultHost(ip, httpPort_);
        const std::u16string dir = host ? SiteOfHost(config_, *host).siteDir : mainSite_.siteDir;
        if (!dir.empty() && dir != site.siteDir) {
            LogInfo(u"%s reaches the default host of port %d: %s", site.siteAddr, httpPort_, dir);
            site.siteDir = dir;
        }
    }
}

}  // namespace qm
