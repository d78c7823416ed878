// The certificate files and the HTTPS edits: HTTPS copies of HTTP blocks,
// rewritten HTTPS blocks, new blocks for typed domains, each a splice of
// the file the block lives in.
#include <algorithm>
#include <set>

#include "deploy/netmanager.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/regex.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

std::u16string ProtocolsLine() {
    return u"\t\tssl_protocols\t " + std::u16string(SslCertSrvNginx::kProtocols) + u";";
}
std::u16string CiphersLine() {
    return u"\t\tssl_ciphers\t " + std::u16string(SslCertSrvNginx::kCiphers) + u";";
}

// Directives an HTTPS copy gets, unless the block already has them through
// an included file (nginx refuses most of them twice).
struct TlsPresent {
    bool sessionTimeout = false;
    bool protocols = false;
    bool ciphers = false;
    bool preferServerCiphers = false;
};

TlsPresent IncludedTls(const NginxNode* server, uint32_t ownFile) {
    TlsPresent present;
    if (!server)
        return present;
    for (const NginxNode& child : server->children) {
        if (child.file == ownFile)
            continue;
        const std::u16string& name = child.name();
        present.sessionTimeout |= name == u"ssl_session_timeout";
        present.protocols |= name == u"ssl_protocols";
        present.ciphers |= name == u"ssl_ciphers";
        present.preferServerCiphers |= name == u"ssl_prefer_server_ciphers";
    }
    return present;
}

// The TLS lines of a new or copied HTTPS block. The listen directive's ssl
// parameter switches TLS on: the old "ssl on;" is refused by current nginx.
std::u16string TlsLines(const std::u16string& certFile, const std::u16string& keyFile,
                        const TlsPresent& present = {}) {
    std::u16string lines = u"\t\tssl_certificate\t \"" + certFile + u"\";\n" +  //
                           u"\t\tssl_certificate_key\t \"" + keyFile + u"\";\n";
    if (!present.sessionTimeout)
        lines += u"\t\tssl_session_timeout\t 5m;\n";
    if (!present.protocols)
        lines += ProtocolsLine() + u"\n";
    if (!present.ciphers)
        lines += CiphersLine() + u"\n";
    if (!present.preferServerCiphers)
        lines += u"\t\tssl_prefer_server_ciphers\t on;\n";
    return lines;
}

void WriteOrFail(const std::u16string& path, std::string_view text, FilePrivacy privacy) {
    if (!WriteFileAtomic(path, HostTextBytes(text), privacy)) {
        LogError(u"SslCertSrvNginx::GetCertificate, cannot write %s", path);
        ThrowResult(result::kUndefined);
    }
}

// The directives of a block text: the children of its server block, or
// the top level of a fragment that is no block.
const std::vector<NginxDirective>& BlockLevel(const NginxParse& parse) {
    for (const NginxDirective& d : parse.directives) {
        if (d.hasBlock && d.name() == u"server")
            return d.children;
    }
    return parse.directives;
}

const NginxDirective* ServerOf(const NginxParse& parse) {
    for (const NginxDirective& d : parse.directives) {
        if (d.hasBlock && d.name() == u"server")
            return &d;
    }
    return nullptr;
}

const NginxDirective* Named(const std::vector<NginxDirective>& level, std::u16string_view name) {
    for (const NginxDirective& d : level) {
        if (d.name() == name)
            return &d;
    }
    return nullptr;
}

// The span a line-wise edit of a directive covers: from the line start its
// leading blanks reach back to (blank lines before it included) to the end
// of its line (a comment after it included), or to its own end when more
// follows on that line.
std::pair<size_t, size_t> LineSpan(std::u16string_view text, const NginxDirective& d) {
    size_t start = d.start();
    size_t q = start;
    while (q > 0 && IsSpace(text[q - 1]))
        --q;
    if (q == 0) {
        start = 0;
    } else {
        const size_t lf = text.find(u'\n', q);
        if (lf != std::u16string_view::npos && lf < d.start())
            start = lf + 1;
    }
    size_t end = d.end;
    size_t e = end;
    while (e < text.size() && (text[e] == u' ' || text[e] == u'\t'))
        ++e;
    if (e >= text.size() || text[e] == u'\r' || text[e] == u'\n' || text[e] == u'#') {
        while (e < text.size() && text[e] != u'\r' && text[e] != u'\n')
            ++e;
        end = e;
    }
    return {start, end};
}

// A directive's line with its line end, when it stands alone on it.
std::pair<size_t, size_t> WholeLine(std::u16string_view text, const NginxDirective& d) {
    size_t start = d.start();
    while (start > 0 && (text[start - 1] == u' ' || text[start - 1] == u'\t'))
        --start;
    size_t end = d.end;
    while (end < text.size() && (text[end] == u' ' || text[end] == u'\t'))
        ++end;
    const bool alone = (start == 0 || text[start - 1] == u'\n') &&
                       (end >= text.size() || text[end] == u'\r' || text[end] == u'\n');
    if (!alone)
        return {d.start(), d.end};
    if (end < text.size() && text[end] == u'\r')
        ++end;
    if (end < text.size() && text[end] == u'\n')
        ++end;
    return {start, end};
}

void ReplaceSpan(std::u16string& text, std::pair<size_t, size_t> span,
                 std::u16string_view replacement) {
    text.replace(span.first, span.second - span.first, replacement);
}

bool HasParameter(const NginxListen& listen, std::u16string_view parameter) {
    return std::find(listen.parameters.begin(), listen.parameters.end(), parameter) !=
           listen.parameters.end();
}

// A listen directive written again: first argument replaced, some
// parameters left out, "ssl" added when missing; the separators and any
// comment inside stay as written.
std::u16string RewrittenListen(std::u16string_view text, const NginxDirective& d,
                               const std::u16string& first, const std::set<std::u16string>& drop,
                               bool addSsl) {
    const std::vector<NginxWord>& w = d.words;
    std::u16string out(text.substr(w[0].start, w[0].end - w[0].start));
    if (w.size() > 1) {
        out += text.substr(w[0].end, w[1].start - w[0].end);
        out += first;
    }
    for (size_t i = 2; i < w.size(); ++i) {
        if (drop.count(ParameterName(w[i].value)))
            continue;
        out += text.substr(w[i - 1].end, w[i].start - w[i - 1].end);
        out += text.substr(w[i].start, w[i].end - w[i].start);
    }
    if (addSsl)
        out += u" ssl";
    const size_t tail = d.terminator == NginxDirective::npos ? d.end : d.terminator;
    out += text.substr(w.back().end, tail - w.back().end);
    return out;
}

}  // namespace

void SslCertSrvNginx::GetCertificate() {
    RunOperation("SslCertSrvNginx::GetCertificate", [&] {
        keyPassword_.clear();
        ConstructSelSiteInfo();
        RouteUnconfiguredNames();
        SetWebTypeVersion(u"nginx", u"0.0.0.0");
        const std::u16string dir = CertificateDirectory();
        RecordCreatedFile(dir);
        MakeDirectoryTree(dir);
        MakeUniqueCertName();
        certFilePath_ = dir + certName_ + u".crt";
        keyFilePath_ = dir + certName_ + u".key";
        RecordCreatedFile(certFilePath_);
        RecordCreatedFile(keyFilePath_);

        OpenVerificationPath();
        SslCertSrvSubBase::GetCertificate();
        CloseVerificationPath();

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

// A name no block is configured for reaches the block nginx routes it to:
// the default server of the address and port it arrives at (the one marked
// default_server, else the first), where the verification file must be.
void SslCertSrvNginx::RouteUnconfiguredNames() {
    if (!configLoaded_)
        return;
    RefreshServerNodes();
    for (SiteInfo& site : selectedSites_) {
        if (ContainsSiteAddr(site.siteAddr))
            continue;
        const std::u16string ip = CNetManager::GetSiteAddrIP(site.siteAddr);
        const int32_t port = site.isHttps ? httpsPort_ : httpPort_;
        const size_t node = DefaultServerNode(ip, port);
        if (node < siteNodes_.size() && !siteNodes_[node].site.siteDir.empty() &&
            siteNodes_[node].site.siteDir != site.siteDir) {
            LogInfo(u"%s reaches the default server of port %d: %s", site.siteAddr, port,
                    siteNodes_[node].site.siteDir);
            site.siteDir = siteNodes_[node].site.siteDir;
        }
    }
}

size_t SslCertSrvNginx::DefaultServerNode(const std::u16string& ip, int32_t port) const {
    const size_t none = static_cast<size_t>(-1);
    // Blocks listening on the address itself win over those on the wildcard.
    for (const bool exact : {true, false}) {
        size_t first = none;
        for (size_t i = 0; i < serverOf_.size(); ++i) {
            for (const NginxNode* listen : factsOf_[i].listens) {
                const NginxListen l = ParseListen(*listen->directive);
                const std::u16string key = ListenAddressKey(l.address);
                if (l.port != port || (exact ? key != ip : key != u"*"))
                    continue;
                if (std::find(l.parameters.begin(), l.parameters.end(), u"default_server") !=
                    l.parameters.end())
                    return i;
                if (first == none)
                    first = i;
            }
        }
        if (first != none)
            return first;
    }
    return none;
}

std::u16string SslCertSrvNginx::CertificateDirectory() const {
    // Beside the configuration, where nginx reads relative certificate
    // paths from: conf/sslcert/ of a portable layout, /etc/nginx/sslcert/
    // of a distribution's.
    if (!mainConfFile_.empty())
        return DirectoryOf(mainConfFile_) + u"sslcert" + PathSeparator();
    return SslCertSrvSubBase::CertificateDirectory();
}

void SslCertSrvNginx::MakeUniqueCertName() {
    RunOperation("SslCertSrvNginx::MakeUniqueCertName", [&] {
        PickUnusedCertName({u".crt", u".key"});
    });
}

void SslCertSrvNginx::Splice(size_t file, size_t from, size_t length, std::u16string_view text) {
    config_.Splice(file, from, length, WithLineEnds(text, LineEndOf(config_.File(file).text)));
    if (editedFiles_.size() < config_.FileCount())
        editedFiles_.resize(config_.FileCount(), false);
    editedFiles_[file] = true;
}

std::vector<std::u16string> SslCertSrvNginx::ParametersOn(const std::u16string& addressKey,
                                                          int32_t port,
                                                          const NginxNode* except) const {
    std::vector<std::u16string> names;
    if (!configLoaded_)
        return names;
    for (const NginxNode* server : config_.ServerBlocks()) {
        if (server == except)
            continue;
        for (const NginxNode& child : server->children) {
            if (child.name() != u"listen")
                continue;
            const NginxListen l = ParseListen(*child.directive);
            if (l.port != port || ListenAddressKey(l.address) != addressKey)
                continue;
            for (const auto& parameter : l.parameters) {
                if (IsOncePerAddressParameter(parameter))
                    names.push_back(ParameterName(parameter));
            }
        }
    }
    return names;
}

// Listen directives of a block for HTTPS. Those on the HTTPS port get the
// ssl parameter. In a copy of an HTTP block every one on the HTTP port
// moves to the HTTPS port (IPv6 and address forms alike), without the
// parameters nginx allows once per address that the address already has
// there; one whose address already listens on the HTTPS port in the block
// is left out. A block that has certificates keeps its HTTP listens unless
// it has none on the HTTPS port.
void SslCertSrvNginx::ConfigSiteNodeHttpsPort(std::u16string& block) const {
    LogTrace("SslCertSrvNginx::ConfigSiteNodeHttpsPort");
    const NginxParse parse = ParseNginxText(block);
    const auto& level = BlockLevel(parse);
    const bool copy = !(Named(level, u"ssl_certificate") && Named(level, u"ssl_certificate_key"));
    std::set<std::u16string> httpsAddresses;
    std::vector<const NginxDirective*> listens;
    for (const NginxDirective& d : level) {
        if (d.name() != u"listen")
            continue;
        listens.push_back(&d);
        const NginxListen l = ParseListen(d);
        if (l.port == httpsPort_)
            httpsAddresses.insert(ListenAddressKey(l.address));
    }
    // From the last to the first, so earlier positions stay valid.
    for (auto it = listens.rbegin(); it != listens.rend(); ++it) {
        const NginxDirective& d = **it;
        const NginxListen l = ParseListen(d);
        const std::u16string key = ListenAddressKey(l.address);
        const size_t tail = d.terminator == NginxDirective::npos ? d.end : d.terminator;
        if (d.argCount() == 0)
            continue;
        if (l.port == httpsPort_) {
            if (!HasParameter(l, u"ssl")) {
                const std::u16string first =
                    block.substr(d.words[1].start, d.words[1].end - d.words[1].start);
                block.replace(d.start(), tail - d.start(),
                              RewrittenListen(block, d, first, {}, true));
            }
            continue;
        }
        if (l.port != httpPort_ || (!copy && !httpsAddresses.empty()))
            continue;
        if (copy && httpsAddresses.count(key)) {
            ReplaceSpan(block, WholeLine(block, d), u"");
            continue;
        }
        std::set<std::u16string> drop;
        for (const auto& name : ParametersOn(key, httpsPort_, nullptr))
            drop.insert(name);
        const std::u16string first = l.address.empty()
                                         ? FormatWide(u"%d", httpsPort_)
                                         : FormatWide(u"%s:%d", l.address, httpsPort_);
        block.replace(d.start(), tail - d.start(),
                      RewrittenListen(block, d, first, drop, !HasParameter(l, u"ssl")));
    }
}

std::u16string SslCertSrvNginx::CreateHttpsSiteNode(std::u16string block) const {
    return CreateHttpsBlock(std::move(block), nullptr, 0);
}

std::u16string SslCertSrvNginx::CreateHttpsBlock(std::u16string block, const NginxNode* server,
                                                 uint32_t ownFile) const {
    LogTrace("SslCertSrvNginx::CreateHttpsSiteNode");
    ConfigSiteNodeHttpsPort(block);
    const NginxServerFacts expanded = server ? FactsOf(*server) : NginxServerFacts();
    const TlsPresent included = IncludedTls(server, ownFile);

    // Each edit re-reads the block: positions move with every splice.
    auto level = [&](NginxParse& parse) -> const std::vector<NginxDirective>& {
        parse = ParseNginxText(block);
        return BlockLevel(parse);
    };
    NginxParse parse;
    const bool ownCertificates =
        Named(level(parse), u"ssl_certificate") && Named(level(parse), u"ssl_certificate_key");
    const bool https = ownCertificates || expanded.IsHttps();
    if (!https) {
        // An HTTP block to copy: the TLS lines go before its closing brace.
        const NginxDirective* s = ServerOf(parse = ParseNginxText(block));
        size_t close = s && s->close != NginxDirective::npos ? s->close : block.rfind(u'}');
        if (close == std::u16string::npos)
            close = block.size();
        block.insert(close, u"\n" + TlsLines(ConfigTextFromPath(certFilePath_),
                                             ConfigTextFromPath(keyFilePath_), included));
        return u"\n" + block + u"\n";
    }

    bool hasProtocols = included.protocols, hasCiphers = included.ciphers;
    if (const NginxDirective* d = Named(level(parse), u"ssl_protocols")) {
        ReplaceSpan(block, LineSpan(block, *d), ProtocolsLine() + u"\n");
        hasProtocols = true;
    }
    if (const NginxDirective* d = Named(level(parse), u"ssl_ciphers")) {
        ReplaceSpan(block, LineSpan(block, *d), CiphersLine() + u"\n");
        hasCiphers = true;
    }
    const std::u16string certificateLine =
        u"\t\tssl_certificate \"" + ConfigTextFromPath(certFilePath_) + u"\";";
    const std::u16string keyLine =
        u"\t\tssl_certificate_key \"" + ConfigTextFromPath(keyFilePath_) + u"\";";
    if (ownCertificates) {
        ReplaceSpan(block, LineSpan(block, *Named(level(parse), u"ssl_certificate")),
                    certificateLine);
        ReplaceSpan(block, LineSpan(block, *Named(level(parse), u"ssl_certificate_key")), keyLine);
    } else {
        // The certificates come from an included file other blocks may
        // share: this block's own pair follows everything, so it wins.
        const NginxDirective* s = ServerOf(parse = ParseNginxText(block));
        size_t close = s && s->close != NginxDirective::npos ? s->close : block.size();
        block.insert(close, certificateLine + u"\n" + keyLine + u"\n");
    }
    // A block without these lines would keep whatever the server's
    // defaults allow: they follow the key line.
    if (!hasProtocols || !hasCiphers) {
        if (const NginxDirective* key = Named(level(parse), u"ssl_certificate_key")) {
            std::u16string added;
            if (!hasProtocols)
                added += u"\n" + ProtocolsLine();
            if (!hasCiphers)
                added += u"\n" + CiphersLine();
            block.insert(LineSpan(block, *key).second, added);
        }
    }
    return block;
}

void SslCertSrvNginx::ConfigCert() {
    RunOperation("SslCertSrvNginx::ConfigCert", [&] {
        for (const auto& domain : inputDomains_) {
            RefreshServerNodes();
            const bool httpsBlockExists = std::any_of(
                siteNodes_.begin(), siteNodes_.end(),
                [&](const SiteNode& n) { return n.site.siteAddr == domain && n.site.isHttps; });
            for (size_t i = 0; i < siteNodes_.size(); ++i) {
                const SiteNode node = siteNodes_[i];
                const SiteInfo& site = node.site;
                if (site.siteAddr != domain ||
                    (site.sitePort != httpPort_ && site.sitePort != httpsPort_)) {
                    continue;
                }
                if (!site.isHttps && httpsBlockExists)
                    continue;  // only the HTTPS block of the domain changes
                const std::u16string& text = config_.File(node.file).text;
                std::u16string block =
                    CreateHttpsBlock(text.substr(node.start, node.end - node.start), serverOf_[i],
                                     static_cast<uint32_t>(node.file));
                const std::u16string twin = ToggleWww(domain);
                if (CNetManager::IsSiteAddrHaveSameIP(domain, twin) && !ContainsSiteAddr(twin) &&
                    AcceptsUserDomains()) {
                    AddServerName(block, twin);
                }
                ListenOnDomainAddress(block, domain);
                if (site.isHttps)
                    Splice(node.file, node.start, node.end - node.start, block);
                else
                    Splice(node.file, node.end, 0, block);
                break;
            }
        }

        ConfigInputSite();
        SetHashBucketSizeInConfiguration();
        WriteEditedFiles();
        confText_ = config_.File(0).text;
    });
}

// A copy listening on a loopback address would not be reachable under the
// domain: it listens on the domain's address instead. A domain that does
// not resolve leaves the directives as they are.
void SslCertSrvNginx::ListenOnDomainAddress(std::u16string& block,
                                            const std::u16string& domain) const {
    const NginxParse parse = ParseNginxText(block);
    std::vector<const NginxWord*> firsts;
    for (const NginxDirective& d : BlockLevel(parse)) {
        if (d.name() == u"listen" && d.argCount() > 0 &&
            (d.arg(0).find(u"127.0.0.1") != std::u16string::npos ||
             d.arg(0).find(u"localhost") != std::u16string::npos))
            firsts.push_back(&d.words[1]);
    }
    if (firsts.empty())
        return;
    const std::u16string ip = CNetManager::GetSiteAddrIP(domain);
    if (ip.empty())
        return;
    static const Regex loopback(u"127\\.0\\.0\\.1|localhost");
    for (auto it = firsts.rbegin(); it != firsts.rend(); ++it) {
        const NginxWord& word = **it;
        const std::u16string raw = block.substr(word.start, word.end - word.start);
        block.replace(word.start, word.end - word.start,
                      loopback.ReplaceAll(raw, ReplacementEscape(ip)));
    }
}

void SslCertSrvNginx::WriteEditedFiles() {
    for (size_t i = 0; i < editedFiles_.size(); ++i) {
        if (!editedFiles_[i])
            continue;
        const NginxConfFile& file = config_.File(i);
        RecordFileChange(file.path);
        if (!WriteTextFile(file.text, file.path)) {
            AddUserNote(u"The nginx configuration file " + file.path +
                        u" cannot be written (read-only, immutable, or the disk is full?).");
            ThrowResult(result::kConfigWriteFailed);
        }
        LogInfo(u"written: %s", file.path);
        editedFiles_[i] = false;
    }
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

void SslCertSrvNginx::AddServerName(std::u16string& block, const std::u16string& name) {
    const NginxParse parse = ParseNginxText(block);
    const auto& level = BlockLevel(parse);
    const NginxDirective* first = nullptr;
    const std::u16string lower = ToLowerAscii(name);
    for (const NginxDirective& d : level) {
        if (d.name() != u"server_name")
            continue;
        if (!first)
            first = &d;
        for (size_t i = 0; i < d.argCount(); ++i) {
            if (ToLowerAscii(d.arg(i)) == lower)
                return;  // the name as a whole word is there already
        }
    }
    if (first)
        block.insert(first->words.back().end, u" " + name);
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
    block += TlsLines(ConfigTextFromPath(certFilePath_), ConfigTextFromPath(keyFilePath_));
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
            size_t file = 0;
            const size_t at = NewBlockPosition(file);
            Splice(file, at, 0, block);
            sites_.push_back({domain, mainSite_.siteDir, httpsPort_, true, u""});
        }
    });
}

// A new block goes into the file of the block whose root and index it
// borrows, at its end (an included file of server blocks); in the file that
// holds the http block, before its closing brace. Without a recognisable
// http block: before the last brace that begins a line, else before the
// text's last character.
size_t SslCertSrvNginx::NewBlockPosition(size_t& file) const {
    const NginxConfig::Place http = config_.HttpBlock();
    if (templateFile_ < config_.FileCount() && (!http.directive || templateFile_ != http.file)) {
        file = templateFile_;
        return config_.File(file).text.size();
    }
    if (http.directive && http.directive->close != NginxDirective::npos) {
        file = http.file;
        return http.directive->close;
    }
    file = 0;
    const std::u16string& text = config_.File(0).text;
    static const Regex closing(u"^\\s*\\}");
    const auto all = closing.SearchAll(text);
    if (!all.empty())
        return all.back().end() - 1;
    return text.empty() ? 0 : text.size() - 1;
}

// A bucket size already at 128 or above stays: lowering it could make
// nginx refuse long names it accepted before.
void SslCertSrvNginx::SetServerNamesHashBucketSize(std::u16string& text) {
    NginxConfig single;
    single.LoadText(text);
    for (const auto& [file, from, length, replacement] : HashBucketEdits(single))
        text.replace(from, length, replacement);
}

void SslCertSrvNginx::SetHashBucketSizeInConfiguration() {
    for (const auto& [file, from, length, replacement] : HashBucketEdits(config_))
        Splice(file, from, length, replacement);
}

std::vector<SslCertSrvNginx::TextEdit> SslCertSrvNginx::HashBucketEdits(const NginxConfig& config) {
    const std::u16string line = u"\t\tserver_names_hash_bucket_size 128;";
    std::vector<TextEdit> edits;
    std::vector<NginxConfig::Place> existing;
    for (const NginxConfig::Place& place : config.MainLevel()) {
        if (place.directive->name() == u"server_names_hash_bucket_size")
            existing.push_back(place);
    }
    std::vector<NginxConfig::Place> inside;
    const NginxConfig::Place http = config.HttpBlock(&inside);
    for (const NginxConfig::Place& place : inside) {
        if (place.directive->name() == u"server_names_hash_bucket_size")
            existing.push_back(place);
    }
    if (!existing.empty()) {
        // From the last to the first: positions in one file stay valid.
        for (auto it = existing.rbegin(); it != existing.rend(); ++it) {
            const NginxDirective& d = *it->directive;
            long size = 0;
            if (d.argCount() == 1 && !d.arg(0).empty() && d.arg(0).size() < 10 &&
                std::all_of(d.arg(0).begin(), d.arg(0).end(),
                            [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
                for (char16_t c : d.arg(0))
                    size = size * 10 + (c - u'0');
            }
            if (size >= 128)
                continue;
            const auto span = LineSpan(config.File(it->file).text, d);
            edits.push_back({it->file, span.first, span.second - span.first, line});
        }
        return edits;
    }
    if (http.directive && http.directive->terminator != NginxDirective::npos)
        edits.push_back({http.file, http.directive->terminator + 1, 0, u"\n" + line});
    return edits;
}

}  // namespace qm
