// The certificate files and the HTTPS edits of nginx.conf: HTTPS copies of
// HTTP blocks, rewritten HTTPS blocks, new blocks for typed domains.
#include <algorithm>

#include "deploy/netmanager.h"
#include "deploy/nginx/nginxtext.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/regex.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

std::u16string ProtocolsLine() {
    return u"\t\tssl_protocols\t " + std::u16string(SslCertSrvNginx::kProtocols) + u";";
}
std::u16string CiphersLine() {
    return u"\t\tssl_ciphers\t " + std::u16string(SslCertSrvNginx::kCiphers) + u";";
}

// The TLS lines of a new or copied HTTPS block. The listen line's ssl
// parameter switches TLS on: the old "ssl on;" is refused by current nginx.
std::u16string TlsLines(const std::u16string& certFile, const std::u16string& keyFile) {
    return u"\t\tssl_certificate\t \"" + certFile + u"\";\n" +     //
           u"\t\tssl_certificate_key\t \"" + keyFile + u"\";\n" +  //
           u"\t\tssl_session_timeout\t 5m;\n" +                    //
           ProtocolsLine() + u"\n" +                               //
           CiphersLine() + u"\n" +                                 //
           u"\t\tssl_prefer_server_ciphers\t on;\n";
}

void WriteOrFail(const std::u16string& path, std::string_view text, FilePrivacy privacy) {
    if (!WriteFileAtomic(path, HostTextBytes(text), privacy)) {
        LogError(u"SslCertSrvNginx::GetCertificate, cannot write %s", path);
        ThrowResult(result::kUndefined);
    }
}

// Whether a listen directive already carries the ssl parameter anywhere
// among its parameters ("listen 443 ssl http2;" as well as "... ssl;").
bool HasSslParameter(std::u16string_view listen) {
    static const Regex ssl(u"\\sssl(\\s|;|$)");
    return ssl.Search(listen).has_value();
}

// Where the closing brace of the http block stands; npos when the text has
// no http block whose braces balance.
size_t HttpBlockClosingBrace(std::u16string_view text) {
    static const Regex http(u"^\\s*http(?=\\s|\\{)");
    const auto match = http.Search(text);
    if (!match)
        return std::u16string_view::npos;
    const NginxBlockScan scan = ScanNginxBlock(text, match->position());
    return scan.balanced ? scan.end - 1 : std::u16string_view::npos;
}

}  // namespace

void SslCertSrvNginx::GetCertificate() {
    RunOperation("SslCertSrvNginx::GetCertificate", [&] {
        keyPassword_.clear();
        ConstructSelSiteInfo();
        SetWebTypeVersion(u"nginx", u"0.0.0.0");
        const std::u16string dir = webServiceRoot_ + NativeSeparators(u"conf/sslcert/");
        MakeDirectoryTree(dir);
        MakeUniqueCertName();
        certFilePath_ = dir + certName_ + u".crt";
        keyFilePath_ = dir + certName_ + u".key";

        SslCertSrvSubBase::GetCertificate();

        // A file that cannot be written would leave the configuration
        // pointing at nothing: that is a failure here, not later.
        std::string certificate = certPem_;
        if (!certificate.empty() && certificate.back() != '\n' && !chainPem_.empty())
            certificate += '\n';  // PEM blocks must not run together
        certificate += chainPem_;
        WriteOrFail(certFilePath_, certificate, FilePrivacy::Normal);
        WriteOrFail(keyFilePath_, privateKeyPem_, FilePrivacy::OwnerOnly);
        LogInfo(u"certificate file: %s", certFilePath_);
        LogInfo(u"key file: %s", keyFilePath_);

        ToForwardSlashes(certFilePath_);
        ToForwardSlashes(keyFilePath_);
        // The chain is part of the certificate file.
        DeleteFileToRecycleBin(dir + certName_ + u".chain.crt");
    });
}

void SslCertSrvNginx::MakeUniqueCertName() {
    RunOperation("SslCertSrvNginx::MakeUniqueCertName", [&] {
        const std::u16string base = certName_;
        for (int n = 0;; ++n) {
            const std::u16string candidate = n == 0 ? base : FormatWide(u"%s(%d)", base, n);
            const std::u16string cert = candidate + u".crt";
            const std::u16string key = candidate + u".key";
            const bool used =
                std::any_of(usedCertFiles_.begin(), usedCertFiles_.end(), [&](const auto& line) {
                    return line.find(cert) != std::u16string::npos ||
                           line.find(key) != std::u16string::npos;
                });
            if (!used) {
                certName_ = candidate;
                return;
            }
        }
    });
}

void SslCertSrvNginx::ConfigCert() {
    RunOperation("SslCertSrvNginx::ConfigCert", [&] {
        for (const auto& domain : inputDomains_) {
            GetSiteNodesPosRange(confText_, siteNodes_);
            GetSiteNodesConfig(siteNodes_);
            const bool httpsBlockExists = std::any_of(
                siteNodes_.begin(), siteNodes_.end(),
                [&](const SiteNode& n) { return n.site.siteAddr == domain && n.site.isHttps; });
            for (const auto& node : siteNodes_) {
                const SiteInfo& site = node.site;
                if (site.siteAddr != domain ||
                    (site.sitePort != httpPort_ && site.sitePort != httpsPort_)) {
                    continue;
                }
                if (!site.isHttps && httpsBlockExists)
                    continue;  // only the HTTPS block of the domain changes
                std::u16string block =
                    CreateHttpsSiteNode(confText_.substr(node.start, node.end - node.start));
                const std::u16string twin = ToggleWww(domain);
                if (CNetManager::IsSiteAddrHaveSameIP(domain, twin) && !ContainsSiteAddr(twin) &&
                    AcceptsUserDomains()) {
                    AddServerName(block, twin);
                }
                // A copy listening on a loopback address would not be
                // reachable under the domain: listen on its address instead.
                // A domain that does not resolve leaves the line as it is.
                static const Regex listenLine(u"^\\s*listen.*");
                if (const auto listen = listenLine.Search(block)) {
                    const std::u16string line = listen->str(block);
                    if (line.find(u"127.0.0.1") != std::u16string::npos ||
                        line.find(u"localhost") != std::u16string::npos) {
                        const std::u16string ip = CNetManager::GetSiteAddrIP(domain);
                        if (!ip.empty()) {
                            static const Regex loopback(u"127\\.0\\.0\\.1|localhost");
                            const std::u16string changed =
                                loopback.ReplaceAll(line, ReplacementEscape(ip));
                            if (changed != line)
                                block.replace(listen->position(), listen->length(), changed);
                        }
                    }
                }
                if (site.isHttps)
                    confText_.replace(node.start, node.end - node.start, block);
                else
                    confText_.insert(node.end, block);
                break;
            }
        }

        ConfigInputSite();
        SetServerNamesHashBucketSize(confText_);
        if (!WriteTextFile(confText_, confFilePath_))
            ThrowResult(result::kUndefined);
    });
}

void SslCertSrvNginx::SetInputDomainUnknown(const std::vector<std::u16string>& domains) {
    inputDomainUnknown_ = AnyInputDomainUnknown(domains);
}

bool SslCertSrvNginx::AcceptsUserDomains() {
    if (!HasSecondSiteDir())
        return true;
    std::vector<std::u16string> unknown;
    CollectUnknownInputDomains(unknown);
    for (const auto& domain : unknown) {
        const std::u16string twin = ToggleWww(domain);
        SiteInfo site;
        if (!FindSiteByAddr(twin, site) || !CNetManager::IsSiteAddrHaveSameIP(domain, twin))
            return false;
    }
    return true;
}

// The HTTPS port's listen line gets the ssl parameter; without one, the
// HTTP port's line is turned into the HTTPS port's (dropping what followed
// the port, such as default_server).
void SslCertSrvNginx::ConfigSiteNodeHttpsPort(std::u16string& block) const {
    LogTrace("SslCertSrvNginx::ConfigSiteNodeHttpsPort");
    const Regex httpsListen(FormatWide(u"^\\s*listen.*[^\\d\\.]%d[^\\d\\.].*", httpsPort_));
    if (const auto m = httpsListen.Search(block)) {
        const std::u16string line = m->str(block);
        if (HasSslParameter(line))
            return;
        std::u16string changed = line;
        const size_t semicolon = changed.find(u';');
        if (semicolon != std::u16string::npos) {
            changed.insert(semicolon, u" ssl");
        } else {
            // The parameters go on past this line: add ssl to this line's
            // parameters, before a comment that may end the line.
            size_t end = changed.size();
            static const Regex comment(u"(^|\\s)#");
            if (const auto c = comment.Search(changed))
                end = c->position();
            while (end > 0 && (changed[end - 1] == u' ' || changed[end - 1] == u'\t' ||
                               changed[end - 1] == u'\r'))
                --end;
            changed.insert(end, u" ssl");
        }
        block.replace(block.find(line), line.size(), changed);
        return;
    }
    const Regex httpListen(FormatWide(u"^\\s*listen.*[^\\d\\.](%d)[^\\d\\.].*", httpPort_));
    if (const auto m = httpListen.Search(block)) {
        const std::u16string line = m->str(block);
        const size_t portAt = m->position(1) - m->position();
        const std::u16string changed = line.substr(0, portAt) + FormatWide(u"%d ssl;", httpsPort_);
        block.replace(block.find(line), line.size(), changed);
    }
}

std::u16string SslCertSrvNginx::CreateHttpsSiteNode(std::u16string block) const {
    LogTrace("SslCertSrvNginx::CreateHttpsSiteNode");
    ConfigSiteNodeHttpsPort(block);
    if (HasCertificateLines(block)) {
        static const Regex protocols(u"^\\s*ssl_protocols\\s+.*");
        static const Regex ciphers(u"^\\s*ssl_ciphers\\s+.*");
        const bool hasProtocols = protocols.Search(block).has_value();
        const bool hasCiphers = ciphers.Search(block).has_value();
        if (hasProtocols)
            block = protocols.ReplaceFirst(block, ReplacementEscape(ProtocolsLine() + u"\n"));
        if (hasCiphers)
            block = ciphers.ReplaceFirst(block, ReplacementEscape(CiphersLine() + u"\n"));
        block = NginxCertificateLine().ReplaceFirst(
            block, ReplacementEscape(u"\t\tssl_certificate \"" + certFilePath_ + u"\";"));
        block = NginxCertificateKeyLine().ReplaceFirst(
            block, ReplacementEscape(u"\t\tssl_certificate_key \"" + keyFilePath_ + u"\";"));
        // A block without these lines would keep whatever the server's
        // defaults allow: they follow the key line.
        if (!hasProtocols || !hasCiphers) {
            if (const auto key = NginxCertificateKeyLine().Search(block)) {
                std::u16string added;
                if (!hasProtocols)
                    added += u"\n" + ProtocolsLine();
                if (!hasCiphers)
                    added += u"\n" + CiphersLine();
                block.insert(key->end(), added);
            }
        }
        return block;
    }
    // An unbalanced block has no closing brace: the lines go at its end.
    const size_t close = block.rfind(u'}');
    block.insert(close == std::u16string::npos ? block.size() : close,
                 u"\n" + TlsLines(certFilePath_, keyFilePath_));
    return u"\n" + block + u"\n";
}

void SslCertSrvNginx::AddServerName(std::u16string& block, const std::u16string& name) {
    // The name as a whole word of a server_name line, not inside a longer
    // name ("shop.example.test" is not in "www.shop.example.test").
    const Regex present(u"^\\s*server_name[^;#]*\\s" + RegexEscape(name) + u"(\\s|;|$)");
    if (present.Search(block))
        return;
    static const Regex directive(u"^\\s*server_name[^;]*");
    if (const auto m = directive.Search(block))
        block.insert(m->end(), u" " + name);
}

// A loopback address is borrowed only by a domain that itself resolves to
// it: nginx gives a connection to an address it listens on explicitly only
// to the blocks that name that address, so a block on the wildcard address
// would never be reached there.
std::u16string SslCertSrvNginx::ChooseListenAddress(const std::u16string& domain) const {
    std::u16string domainIp;
    bool resolved = false;
    auto usable = [&](const std::u16string& ip) {
        if (ip.empty() || EqualsIgnoreCaseAscii(ip, u"localhost"))
            return false;
        if (ip != u"127.0.0.1")
            return true;
        if (!resolved) {
            domainIp = CNetManager::GetSiteAddrIP(domain);
            resolved = true;
        }
        return domainIp == ip;
    };
    for (const auto& site : defaultSites_) {
        if (CNetManager::IsSiteAddrHaveSameIP(site.siteAddr, domain) && usable(site.siteIP)) {
            LogInfo(u"same ip !!! siteaddr is %s, default siteaddr is %s", domain, site.siteAddr);
            return site.siteIP;
        }
    }
    for (const auto& site : sites_) {
        if (CNetManager::IsSiteAddrHaveSameIP(site.siteAddr, domain) && usable(site.siteIP)) {
            LogInfo(u"same ip 1!!! siteaddr is %s, default siteaddr is %s", domain, site.siteAddr);
            return site.siteIP;
        }
    }
    return {};
}

std::u16string SslCertSrvNginx::BuildHttpsServerBlock(const std::u16string& domain) const {
    const std::u16string address = ChooseListenAddress(domain);
    LogInfo(u"wstrIP is %s", address);
    std::u16string block = u"\n\tserver{\n";
    if (!address.empty())
        block += FormatWide(u"\t\tlisten %s:%d ssl;\n", address, httpsPort_);
    else
        block += FormatWide(u"\t\tlisten %d ssl;\n", httpsPort_);
    block += u"\t\tserver_name " + domain + u";\n";
    if (!defaultRoot_.empty()) {
        block += u"\t\tlocation / {\n";
        block += u"\t\t\troot " + defaultRoot_ + u";\n";
        if (!defaultIndex_.empty())
            block += u"\t\t\tindex " + defaultIndex_ + u";\n";
        block += u"\t\t}\n";
    }
    block += TlsLines(certFilePath_, keyFilePath_);
    block += u"\t}\n";
    return block;
}

void SslCertSrvNginx::ConfigInputSite() {
    RunOperation("SslCertSrvNginx::ConfigInputSite", [&] {
        SetInputDomainUnknown(inputDomains_);
        if (inputDomainUnknown_ && !AcceptsUserDomains())
            ThrowResult(result::kMoreThanOneSiteDir);
        for (const auto& domain : inputDomains_) {
            if (ContainsSiteOrToggled(domain))
                continue;
            std::u16string block = BuildHttpsServerBlock(domain);
            const std::u16string twin = ToggleWww(domain);
            if (CNetManager::IsSiteAddrHaveSameIP(domain, twin) && !ContainsSiteAddr(twin) &&
                AcceptsUserDomains()) {
                AddServerName(block, twin);
            }
            // Inside the http block, before its closing brace. Without a
            // recognisable http block: before the last brace that begins a
            // line, else before the text's last character.
            size_t at = HttpBlockClosingBrace(confText_);
            if (at == std::u16string::npos) {
                static const Regex closing(u"^\\s*\\}");
                const auto all = closing.SearchAll(confText_);
                if (!all.empty())
                    at = all.back().end() - 1;
                else
                    at = confText_.empty() ? 0 : confText_.size() - 1;
            }
            confText_.insert(at, block);
            sites_.push_back({domain, mainSite_.siteDir, httpsPort_, true, u""});
        }
    });
}

// A bucket size already at 128 or above stays: lowering it could make
// nginx refuse long names it accepted before.
void SslCertSrvNginx::SetServerNamesHashBucketSize(std::u16string& text) {
    static const Regex existing(u"^\\s*server_names_hash_bucket_size.*");
    const std::u16string line = u"\t\tserver_names_hash_bucket_size 128;";
    const auto matches = existing.SearchAll(text);
    if (!matches.empty()) {
        static const Regex value(u"server_names_hash_bucket_size\\s+(\\d{1,9})\\s*;");
        for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
            const std::u16string current = it->str(text);
            if (const auto v = value.Search(current)) {
                long size = 0;
                for (size_t i = v->position(1); i < v->position(1) + v->length(1); ++i)
                    size = size * 10 + (current[i] - u'0');
                if (size >= 128)
                    continue;
            }
            text.replace(it->position(), it->length(), line);
        }
        return;
    }
    static const Regex http(u"^\\s*http\\s*");
    const auto m = http.Search(text);
    if (!m)
        return;
    const size_t brace = text.find(u'{', m->end());
    if (brace == std::u16string::npos)
        return;
    text.replace(brace, 1, u"{\n" + line);
}

}  // namespace qm
