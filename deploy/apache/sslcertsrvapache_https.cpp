// The certificate files and the HTTPS edits: mod_ssl enabled the way the
// layout enables modules, Listen for the HTTPS port, HTTPS copies of HTTP
// hosts, rewritten HTTPS hosts, the main server, new hosts for typed
// domains; each a splice of the file the lines live in.
#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "deploy/apache/apacheaddress.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/configtext.h"
#include "deploy/netmanager.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

void WriteOrFail(const std::u16string& path, std::string_view text, FilePrivacy privacy) {
    if (!WriteFileAtomic(path, HostTextBytes(text), privacy)) {
        LogError(u"SslCertSrvApache::GetCertificate, cannot write %s", path);
        ThrowResult(result::kUndefined);
    }
}

std::u16string PortText(int32_t port) {
    return WideFromAscii(std::to_string(port));
}

void SortUnique(std::vector<std::u16string>& list) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
}

bool IsLoopbackName(const std::u16string& ip) {
    return ip == u"127.0.0.1" || EqualsIgnoreCaseAscii(ip, u"localhost");
}

}  // namespace

// ---- Certificate files ----

std::u16string SslCertSrvApache::CertificateDirectory() const {
    // Beside the main file: conf/sslcert/ of the upstream layout (relative
    // to the server root as the installation's own paths are),
    // /etc/apache2/sslcert/ of Debian's.
    if (!mainConfFile_.empty())
        return DirectoryOf(mainConfFile_) + u"sslcert" + PathSeparator();
    return SslCertSrvSubBase::CertificateDirectory();
}

void SslCertSrvApache::GetCertificate() {
    RunOperation("SslCertSrvApache::GetCertificate", [&] {
        keyPassword_.clear();
        ConstructSelSiteInfo();
        RouteUnconfiguredNames();
        SetWebTypeVersion(u"apache", u"0.0.0.0");
        const std::u16string dir = CertificateDirectory();
        RecordCreatedFile(dir);
        MakeDirectoryTree(dir);
        MakeUniqueCertName();
        certFilePath_ = dir + certName_ + u".crt";
        keyFilePath_ = dir + certName_ + u".key";
        chainFilePath_ = dir + certName_ + u".chain.crt";
        RecordCreatedFile(certFilePath_);
        RecordCreatedFile(keyFilePath_);
        RecordCreatedFile(chainFilePath_);

        SslCertSrvSubBase::GetCertificate();

        // A file that cannot be written would leave the configuration
        // pointing at nothing: that is a failure here, not at the restart.
        WriteOrFail(certFilePath_, certPem_, FilePrivacy::Normal);
        WriteOrFail(keyFilePath_, privateKeyPem_, FilePrivacy::OwnerOnly);
        if (!chainPem_.empty())
            WriteOrFail(chainFilePath_, chainPem_, FilePrivacy::Normal);
        else
            DeleteFileToRecycleBin(chainFilePath_);
        LogInfo(u"certificate file: %s", certFilePath_);
        LogInfo(u"key file: %s", keyFilePath_);
    });
}

void SslCertSrvApache::MakeUniqueCertName() {
    RunOperation("SslCertSrvApache::MakeUniqueCertName", [&] {
        PickUnusedCertName({u".crt", u".key", u".chain.crt"});
    });
}

// ---- Edits ----

void SslCertSrvApache::ApplyEdits(std::map<size_t, std::vector<ApacheConfig::Edit>> edits) {
    for (auto& [file, list] : edits) {
        const std::u16string lineEnd(LineEndOf(config_.File(file).text));
        for (auto& edit : list)
            edit.text = WithLineEnds(edit.text, lineEnd);
        config_.SpliceAll(file, std::move(list), false);
    }
    std::u16string problem;
    config_.Evaluate(problem);
}

// Where a line goes after the logical line `line` of `file`: past its line
// end, with one first when the file's last line has none.
ApacheConfig::Edit SslCertSrvApache::InsertAfter(const ApacheLine& line,
                                                 std::u16string text) const {
    if (line.end == line.contentEnd)
        text = u"\n" + text;
    return {line.end, 0, std::move(text)};
}

// The indentation of the lines inside a host: that of its first inner line
// in its own file, else a tab.
std::u16string SslCertSrvApache::InnerIndent(const ApacheVirtualHost& host) const {
    const ApacheConfFile& file = config_.File(host.file);
    if (host.openLine + 1 < host.closeLine)
        return std::u16string(IndentationAt(file.text, file.lines[host.openLine + 1].start));
    return u"\t";
}

// The TLS lines of an HTTPS host, in the order they are written.
std::vector<std::pair<std::u16string, std::u16string>> SslCertSrvApache::TlsLines() const {
    std::vector<std::pair<std::u16string, std::u16string>> lines = {
        {u"sslengine", u"SSLEngine on"},
        {u"sslprotocol", u"SSLProtocol " + std::u16string(kProtocols)},
        {u"sslciphersuite", u"SSLCipherSuite " + std::u16string(kCiphers)},
        {u"sslhonorcipherorder", u"SSLHonorCipherOrder off"},
        {u"sslcertificatefile",
         u"SSLCertificateFile " + QuoteApacheArgument(ConfigTextFromPath(certFilePath_))},
        {u"sslcertificatekeyfile",
         u"SSLCertificateKeyFile " + QuoteApacheArgument(ConfigTextFromPath(keyFilePath_))},
    };
    if (!chainPem_.empty() || FileExists(chainFilePath_)) {
        lines.push_back({u"sslcertificatechainfile",
                         u"SSLCertificateChainFile " +
                             QuoteApacheArgument(ConfigTextFromPath(chainFilePath_))});
    }
    return lines;
}

// Sets the TLS lines among `scope` (directives of one host or of the main
// server): a line already there is rewritten where it stands (further ones
// of the same name go: one certificate replaces all), the others are
// inserted at (insertFile, insertAt) with `indent`. `onlyFile` limits the
// edits to one file (an HTTPS copy carries only its own text).
void SslCertSrvApache::PlanTlsLines(const std::vector<size_t>& scope, size_t insertFile,
                                    size_t insertAt, const std::u16string& indent, size_t onlyFile,
                                    EditPlan& edits) const {
    std::u16string inserted;
    for (const auto& [name, text] : TlsLines()) {
        bool seen = false;
        for (size_t i : scope) {
            const ApacheDirective& d = config_.Directives()[i];
            if (d.nested || d.section || d.name != name ||
                (onlyFile != kNone && d.file != onlyFile))
                continue;
            const ApacheLine& line = config_.LineOf(d);
            const std::u16string_view fileText = config_.File(d.file).text;
            if (!seen) {
                const size_t indentEnd = line.start + IndentationAt(fileText, line.start).size();
                edits[d.file].push_back({indentEnd, line.contentEnd - indentEnd, text});
                seen = true;
            } else {
                edits[d.file].push_back({line.start, line.end - line.start, u""});
            }
        }
        if (!seen)
            inserted += indent + text + u"\n";
    }
    if (!inserted.empty())
        edits[insertFile].push_back({insertAt, 0, inserted});
}

std::u16string SslCertSrvApache::CreateHttpsSiteNode(const ApacheVirtualHost& host) const {
    LogTrace("SslCertSrvApache::CreateHttpsSiteNode");
    const ApacheConfFile& file = config_.File(host.file);
    const size_t start = config_.HostStart(host);
    const size_t end = config_.HostEnd(host);
    EditPlan plan;
    // The opening line on the HTTPS port, every address kept.
    const ApacheLine& open = file.lines[host.openLine];
    const size_t indentEnd = open.start + IndentationAt(file.text, open.start).size();
    std::u16string opening = u"<VirtualHost";
    for (const auto& address : HttpsAddresses(host.addresses, httpsPort_))
        opening += u" " + address;
    opening += u">";
    plan[host.file].push_back({indentEnd, open.contentEnd - indentEnd, opening});
    const ApacheLine& close = file.lines[host.closeLine];
    PlanTlsLines(host.directives, host.file, close.start, InnerIndent(host), host.file, plan);

    std::vector<ApacheConfig::Edit> edits = plan[host.file];
    std::sort(edits.begin(), edits.end(), [](const auto& a, const auto& b) {
        return a.from != b.from ? a.from > b.from : a.length > b.length;
    });
    std::u16string block = file.text.substr(start, end - start);
    if (close.end == close.contentEnd)
        block += u"\n";
    for (const auto& edit : edits) {
        if (edit.from < start || edit.from + edit.length > end)
            continue;
        block.replace(edit.from - start, edit.length, edit.text);
    }
    return block;
}

// ---- The steps of ConfigCert ----

// mod_ssl, the way the layout loads modules: the links a2enmod makes
// (with the modules it depends on) in Debian's layout, else a LoadModule
// line after the last one.
void SslCertSrvApache::AddLoadModuleSsl() {
    if (config_.ModuleLoaded(u"ssl_module"))
        return;
    const std::u16string available = serverRoot_ + u"mods-available" + PathSeparator();
    if (debianLayout_ && FileExists(available + u"ssl.load")) {
        std::vector<std::u16string> modules = {u"ssl"};
        for (size_t i = 0; i < modules.size(); ++i) {
            const std::u16string load = ReadTextFile(available + modules[i] + u".load");
            // "# Depends: setenvif mime socache_shmcb"
            const size_t depends = load.find(u"# Depends:");
            if (depends == std::u16string::npos)
                continue;
            const size_t lineEnd = load.find(u'\n', depends);
            for (const auto& word : SplitApacheWords(load.substr(
                     depends + 10, lineEnd == std::u16string::npos ? std::u16string::npos
                                                                   : lineEnd - depends - 10))) {
                if (std::find(modules.begin(), modules.end(), word) == modules.end())
                    modules.push_back(word);
            }
        }
        const std::u16string enabled = serverRoot_ + u"mods-enabled" + PathSeparator();
        for (const auto& module : modules) {
            if (FileExists(enabled + module + u".load") ||
                config_.ModuleLoaded(module + u"_module"))
                continue;
            for (const std::u16string suffix : {u".load", u".conf"}) {
                if (FileExists(available + module + suffix))
                    newFiles_.push_back({enabled + module + suffix,
                                         u".." + std::u16string(1, PathSeparator()) +
                                             u"mods-available" + PathSeparator() + module + suffix,
                                         true});
            }
        }
        // The links are made now: what they enable (Listen 443 inside
        // <IfModule ssl_module>) counts for the steps that follow.
        WriteNewFiles();
        LoadConfiguration();
        return;
    }
    // The folder the other modules are loaded from.
    std::u16string module = u"modules/mod_ssl.so";
    const ApacheDirective* last = nullptr;
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.name == u"loadmodule" && d.args.size() >= 2)
            last = &d;
    }
    if (last) {
        const std::u16string& path = last->args[1];
        const size_t slash = path.find_last_of(u"/\\");
        const std::u16string candidate =
            (slash == std::u16string::npos ? u"" : path.substr(0, slash + 1)) + u"mod_ssl.so";
        if (FileExists(config_.Resolve(candidate)))
            module = candidate;
        const ApacheConfFile& file = config_.File(last->file);
        const ApacheLine& line = config_.LineOf(*last);
        const std::u16string indent(IndentationAt(file.text, line.start));
        ApplyEdits({{last->file,
                     {InsertAfter(line, indent + u"LoadModule ssl_module " + module + u"\n")}}});
    } else {
        ApplyEdits({{0, {{0, 0, u"LoadModule ssl_module " + module + u"\n"}}}});
    }
    LogInfo(u"mod_ssl loaded by: LoadModule ssl_module %s", module);
}

// Apache must listen on the HTTPS port on every address the names resolve to.
void SslCertSrvApache::ConfigListen() {
    std::vector<const ApacheDirective*> https;
    const ApacheDirective* lastListen = nullptr;
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.name != u"listen" || d.section)
            continue;
        if (d.host < 0 && !d.nested)
            lastListen = &d;
        if (ParseApacheListen(d.args).port == httpsPort_)
            https.push_back(&d);
    }
    const std::u16string line = u"Listen " + PortText(httpsPort_);
    if (!https.empty()) {
        std::vector<std::u16string> wanted;
        for (const auto& domain : inputDomains_)
            wanted.push_back(CNetManager::GetSiteAddrIP(domain));
        SortUnique(wanted);
        if (wanted.size() == 1)
            return;
        std::vector<std::u16string> covered;
        for (const ApacheDirective* d : https) {
            const ApacheListen listen = ParseApacheListen(d->args);
            if (listen.CoversAll())
                return;
            covered.push_back(listen.host);
        }
        if (std::all_of(wanted.begin(), wanted.end(), [&](const auto& ip) {
                return std::find(covered.begin(), covered.end(), ip) != covered.end();
            }))
            return;
        // One line for every address takes the place of those for some:
        // Apache refuses an address:port it already listens on.
        EditPlan plan;
        for (size_t i = 0; i < https.size(); ++i) {
            const ApacheLine& l = config_.LineOf(*https[i]);
            const size_t indentEnd =
                l.start + IndentationAt(config_.File(https[i]->file).text, l.start).size();
            if (i == 0)
                plan[https[i]->file].push_back({indentEnd, l.contentEnd - indentEnd, line});
            else
                plan[https[i]->file].push_back({l.start, l.end - l.start, u""});
        }
        ApplyEdits(std::move(plan));
        LogInfo(u"listen: %s on every address", line);
        return;
    }
    const size_t target = PreferredSslFile();
    const ApacheDirective* anchor = nullptr;
    for (const ApacheDirective& d : config_.Directives()) {
        if (d.name == u"listen" && d.file == target && d.host < 0 && !d.nested)
            anchor = &d;
    }
    if (!anchor)
        anchor = lastListen;
    if (anchor) {
        const ApacheLine& l = config_.LineOf(*anchor);
        const std::u16string indent(IndentationAt(config_.File(anchor->file).text, l.start));
        ApplyEdits({{anchor->file, {InsertAfter(l, indent + line + u"\n")}}});
    } else {
        ApplyEdits({{target, {{0, 0, line + u"\n"}}}});
    }
    LogInfo(u"listen: added %s", line);
}

// The session cache of the SSL files of the upstream layout: "none" for an
// installation without httpd-ssl.conf, else "nonenotnull".
void SslCertSrvApache::SetSessionCache() {
    const std::u16string value =
        apacheVersion_ == u"2.0" ? u"SSLSessionCache none" : u"SSLSessionCache nonenotnull";
    std::vector<size_t> files;
    if (httpdSslIncluded_)
        files.push_back(
            config_.FindFile(serverRoot_ + NativeSeparators(u"conf/extra/httpd-ssl.conf")));
    else if (sslConfIncluded_) {
        for (const std::u16string relative : {u"conf/extra/ssl.conf", u"conf/ssl.conf"}) {
            const size_t f = config_.FindFile(serverRoot_ + NativeSeparators(relative));
            if (f != kNone && config_.IsRead(f)) {
                files.push_back(f);
                break;
            }
        }
    }
    for (size_t f : files) {
        for (const ApacheDirective& d : config_.Directives()) {
            if (d.file != f || d.name != u"sslsessioncache")
                continue;
            const ApacheLine& l = config_.LineOf(d);
            const size_t indentEnd = l.start + IndentationAt(config_.File(f).text, l.start).size();
            ApplyEdits({{f, {{indentEnd, l.contentEnd - indentEnd, value}}}});
            break;
        }
    }
}

// The hosts for a name on the configured ports: those it names (ServerName
// or ServerAlias).
std::vector<size_t> SslCertSrvApache::HostsNamed(const std::u16string& name) const {
    std::vector<size_t> found;
    const auto& hosts = config_.Hosts();
    auto names = [&](const ApacheVirtualHost& host) {
        for (size_t i : host.directives) {
            const ApacheDirective& d = config_.Directives()[i];
            if (d.nested || (d.name != u"servername" && d.name != u"serveralias"))
                continue;
            for (const auto& word : d.args) {
                if (EqualsIgnoreCaseAscii(word, name) ||
                    (d.name == u"servername" && word.size() > name.size() &&
                     EqualsIgnoreCaseAscii(std::u16string_view(word).substr(0, name.size()), name)))
                    return true;
            }
        }
        return false;
    };
    for (size_t i = 0; i < hosts.size(); ++i) {
        // Most hosts are not named so: that is told without reading them whole.
        if (!hosts[i].closed || !names(hosts[i]))
            continue;
        const SiteInfo site = SiteOfHost(config_, hosts[i]);
        if (!ServesConfiguredPort(site))
            continue;
        const auto aliases = CollectAliases(config_, hosts[i]);
        if (site.siteAddr == name ||
            std::find(aliases.begin(), aliases.end(), name) != aliases.end())
            found.push_back(i);
    }
    return found;
}

void SslCertSrvApache::AddServerAlias(std::u16string& block, const std::u16string& name,
                                      const std::u16string& indent) {
    ApacheConfig single;
    single.LoadText(block);
    if (single.Hosts().empty())
        return;
    const ApacheVirtualHost& host = single.Hosts().front();
    for (const auto& alias : CollectAliases(single, host)) {
        if (alias == name)
            return;
    }
    const ApacheDirective* first = nullptr;
    for (size_t i : host.directives) {
        const ApacheDirective& d = single.Directives()[i];
        if (!d.nested && d.name == u"serveralias") {
            first = &d;
            break;
        }
    }
    if (first) {
        const ApacheLine& l = single.LineOf(*first);
        block.insert(l.contentEnd, u" " + name);
    } else {
        const ApacheLine& close = single.File(0).lines[host.closeLine];
        block.insert(close.start, indent + u"ServerAlias " + name + u"\n");
    }
}

// Each requested name's host becomes an HTTPS host: an HTTPS one is
// rewritten in place, an HTTP one gets an HTTPS copy right after it. At most
// one host per name and file; a host named by several requested names is
// handled once.
void SslCertSrvApache::ConfigSslSites() {
    EditPlan plan;
    std::set<size_t> handled;
    const auto& hosts = config_.Hosts();
    for (const auto& domain : inputDomains_) {
        const std::vector<size_t> named = HostsNamed(domain);
        bool hasHttps = false;
        for (size_t i : named)
            hasHttps |= IsHttpsHost(config_, hosts[i]);
        std::set<size_t> filesDone;
        for (size_t i : named) {
            const ApacheVirtualHost& host = hosts[i];
            if ((hasHttps && !IsHttpsHost(config_, host)) || filesDone.count(host.file))
                continue;
            filesDone.insert(host.file);
            if (!handled.insert(i).second)
                continue;
            const SiteInfo site = SiteOfHost(config_, host);
            if (site.isHttps) {
                const ApacheLine& close = config_.File(host.file).lines[host.closeLine];
                PlanTlsLines(host.directives, host.file, close.start, InnerIndent(host), kNone,
                             plan);
                LogInfo(u"%s: the HTTPS host in %s takes the new certificate", domain,
                        config_.File(host.file).path);
                continue;
            }
            std::u16string block = CreateHttpsSiteNode(host);
            const std::u16string twin = ToggleWww(domain);
            if (std::find(inputDomains_.begin(), inputDomains_.end(), twin) !=
                    inputDomains_.end() &&
                CNetManager::IsSiteAddrHaveSameIP(domain, twin) && !ContainsSiteAddr(twin) &&
                AcceptsUserDomains())
                AddServerAlias(block, twin, InnerIndent(host));
            if (IsLoopbackName(site.siteIP)) {
                const std::u16string ip = CNetManager::GetSiteAddrIP(domain);
                if (!ip.empty() && !IsLoopbackName(ip)) {
                    const size_t lineEnd = block.find(u'\n');
                    std::u16string opening = block.substr(0, lineEnd);
                    for (const std::u16string loopback : {u"127.0.0.1", u"localhost"}) {
                        for (size_t p = opening.find(loopback); p != std::u16string::npos;
                             p = opening.find(loopback, p + ip.size()))
                            opening.replace(p, loopback.size(), ip);
                    }
                    block.replace(0, lineEnd, opening);
                }
            }
            const ApacheLine& close = config_.File(host.file).lines[host.closeLine];
            const std::u16string separator = close.end == close.contentEnd ? u"\n" : u"";
            plan[host.file].push_back({config_.HostEnd(host), 0, separator + u"\n" + block});
            LogInfo(u"%s: an HTTPS copy of its host follows it in %s", domain,
                    config_.File(host.file).path);
        }
    }
    ApplyEdits(std::move(plan));
}

void SslCertSrvApache::ConfigMainServerSsl() {
    if (mainSite_.isHttps) {
        std::vector<size_t> scope;
        const ApacheDirective* anchor = nullptr;
        const auto& directives = config_.Directives();
        for (size_t i = 0; i < directives.size(); ++i) {
            const ApacheDirective& d = directives[i];
            if (d.host >= 0 || d.nested || d.section)
                continue;
            scope.push_back(i);
            if (d.name == u"servername" && !anchor)
                anchor = &d;
            if (d.name == u"sslcertificatefile" && !anchor)
                anchor = &d;
        }
        if (!anchor)
            return;
        EditPlan plan;
        const ApacheLine& l = config_.LineOf(*anchor);
        const ApacheConfig::Edit at = InsertAfter(l, u"");
        PlanTlsLines(scope, anchor->file, at.from, u"", kNone, plan);
        if (!at.text.empty()) {
            for (auto& e : plan[anchor->file]) {
                if (e.from == at.from && e.length == 0)
                    e.text = at.text + e.text;
            }
        }
        ApplyEdits(std::move(plan));
        return;
    }
    // The main server's name gets an HTTPS host only when the certificate
    // holds it: a host for it with another name's certificate would fail
    // every visitor's check.
    const std::u16string& name = mainSite_.siteAddr;
    if (std::find(inputDomains_.begin(), inputDomains_.end(), name) == inputDomains_.end() ||
        !CNetManager::IsValidSiteAddr(name) ||
        std::find(configuredSiteNames_.begin(), configuredSiteNames_.end(), name) !=
            configuredSiteNames_.end() ||
        name.find(u"localhost") != std::u16string::npos ||
        name.find(u"127.0.0.1") != std::u16string::npos)
        return;
    SiteInfo site = mainSite_;
    FindSiteByAddr(name, site);
    site.sitePort = httpsPort_;
    site.isHttps = true;
    AddNewHost(site);
    LogInfo(u"the main server %s gets an HTTPS host", name);
}

// A new host appended to the file new hosts go into (upstream layout), or
// in a file of its own in sites-available/ enabled by a link (Debian's).
void SslCertSrvApache::AddNewHost(const SiteInfo& site) {
    if (debianLayout_) {
        const std::u16string available = serverRoot_ + u"sites-available" + PathSeparator();
        const std::u16string enabled = serverRoot_ + u"sites-enabled" + PathSeparator();
        std::u16string name = site.siteAddr + u"-ssl.conf";
        for (int n = 1; FileExists(available + name) || FileExists(enabled + name) ||
                        std::any_of(newFiles_.begin(), newFiles_.end(),
                                    [&](const NewFile& f) { return FileNameOf(f.path) == name; });
             ++n)
            name = site.siteAddr + FormatWide(u"-ssl-%d.conf", n);
        newFiles_.push_back({available + name, BuildSslVirtualHost(site, u"\n").substr(1), false});
        newFiles_.push_back({enabled + name,
                             u".." + std::u16string(1, PathSeparator()) + u"sites-available" +
                                 PathSeparator() + name,
                             true});
    } else {
        const size_t file = PreferredSslFile();
        const std::u16string& text = config_.File(file).text;
        std::u16string block = BuildSslVirtualHost(site, u"\n");
        if (!text.empty() && text.back() != u'\n')
            block = u"\n" + block;
        ApplyEdits({{file, {{text.size(), 0, block}}}});
    }
    sites_.push_back(site);
    configuredSiteNames_.push_back(site.siteAddr);
    SortUnique(configuredSiteNames_);
}

void SslCertSrvApache::ConfigInputSite() {
    LogTrace("SslCertSrvApache::ConfigInputSite");
    inputDomainUnknown_ = AnyInputDomainUnknown(inputDomains_);
    if (inputDomainUnknown_ && !AcceptsUserDomains())
        ThrowResult(result::kMoreThanOneSiteDir);
    for (const auto& domain : std::vector<std::u16string>(inputDomains_)) {
        if (ContainsSiteOrToggled(domain) ||
            std::find(configuredSiteNames_.begin(), configuredSiteNames_.end(), domain) !=
                configuredSiteNames_.end())
            continue;
        SiteInfo site{domain, mainSite_.siteDir, httpsPort_, true, u""};
        // The new host serves what HTTP serves for the name: the folder its
        // verification file was placed in.
        for (const SiteInfo& selected : selectedSites_) {
            if (selected.siteAddr == domain && !selected.siteDir.empty())
                site.siteDir = selected.siteDir;
        }
        AddNewHost(site);
        LogInfo(u"%s: a new HTTPS host", domain);
    }
}

std::u16string SslCertSrvApache::BuildSslVirtualHost(const SiteInfo& site,
                                                     std::u16string_view lineEnd) const {
    std::u16string dir = site.siteDir;
    while (dir.size() > 1 && IsPathSeparator(dir.back()))
        dir.pop_back();
    ToForwardSlashes(dir);
    std::u16string block = u"\n<VirtualHost " + ChooseVirtualHostAddress(site.siteAddr) + u":" +
                           PortText(httpsPort_) + u">\n";
    block += u"\tServerName " + site.siteAddr + u"\n";
    block += u"\tDocumentRoot " + QuoteApacheArgument(ConfigTextFromPath(dir)) + u"\n";
    for (const auto& [name, text] : TlsLines())
        block += u"\t" + text + u"\n";
    const std::u16string twin = ToggleWww(site.siteAddr);
    if (std::find(inputDomains_.begin(), inputDomains_.end(), twin) != inputDomains_.end() &&
        CNetManager::IsSiteAddrHaveSameIP(site.siteAddr, twin) && !ContainsSiteAddr(twin))
        block += u"\tServerAlias " + twin + u"\n";
    block += u"</VirtualHost>\n";
    return WithLineEnds(block, lineEnd);
}

std::u16string SslCertSrvApache::ChooseVirtualHostAddress(const std::u16string& name) const {
    for (const SiteInfo& site : sites_) {
        if (site.siteIP.empty() || IsLoopbackName(site.siteIP) ||
            !CNetManager::IsSiteAddrHaveSameIP(name, site.siteAddr))
            continue;
        LogInfo(u"same ip is %s!!! siteaddr is %s, default siteaddr is %s", site.siteIP, name,
                site.siteAddr);
        return site.siteIP;
    }
    return u"*";
}

bool SslCertSrvApache::AcceptsUserDomains() {
    if (HasSecondSiteDir()) {
        std::vector<std::u16string> unknown;
        CollectUnknownInputDomains(unknown);
        for (const auto& domain : unknown) {
            const std::u16string twin = ToggleWww(domain);
            SiteInfo site;
            if (!FindSiteByAddr(twin, site) || !CNetManager::IsSiteAddrHaveSameIP(domain, twin))
                return false;
        }
    }
    return !sites_.empty();
}

size_t SslCertSrvApache::PreferredSslFile() const {
    for (const std::u16string relative : {u"conf/extra/httpd-ssl.conf", u"conf/extra/ssl.conf",
                                          u"conf/ssl.conf", u"conf/extra/httpd-vhosts.conf"}) {
        const size_t file = config_.FindFile(serverRoot_ + NativeSeparators(relative));
        if (file != kNone && config_.IsRead(file))
            return file;
    }
    return 0;
}

void SslCertSrvApache::ConfigCert() {
    RunOperation("SslCertSrvApache::ConfigCert", [&] {
        AddLoadModuleSsl();
        ConfigListen();
        SetSessionCache();
        ConfigSslSites();
        ConfigMainServerSsl();
        ConfigInputSite();
        WriteEditedFiles();
        WriteNewFiles();
    });
}

// ---- Writing ----

void SslCertSrvApache::WriteEditedFiles() {
    for (size_t i = 0; i < config_.FileCount(); ++i) {
        if (!config_.Edited(i))
            continue;
        const ApacheConfFile& file = config_.File(i);
        RecordFileChange(file.path);
        if (!WriteTextFile(file.text, file.path)) {
            AddUserNote(u"The Apache configuration file " + file.path +
                        u" cannot be written (read-only, immutable, or the disk is full?).");
            ThrowResult(result::kConfigWriteFailed);
        }
        LogInfo(u"written: %s", file.path);
        config_.ClearEdited(i);
    }
}

void SslCertSrvApache::WriteNewFiles() {
    for (const NewFile& file : newFiles_) {
        // Recorded as a change from nothing: an undo removes it again, as
        // it puts every changed file back.
        RecordFileChange(file.path);
        bool ok = true;
        if (file.link) {
            std::error_code ec;
            std::filesystem::create_symlink(FsPath(file.text), FsPath(file.path), ec);
            ok = !ec;
        } else {
            ok = WriteTextFile(file.text, file.path);
        }
        if (!ok) {
            AddUserNote(u"The Apache configuration file " + file.path +
                        u" cannot be created (read-only, or the disk is full?).");
            ThrowResult(result::kConfigWriteFailed);
        }
        LogInfo(u"created: %s%s", file.path, file.link ? u" -> " + file.text : u"");
    }
    newFiles_.clear();
}

}  // namespace qm
