// Reading nginx.conf: server blocks by brace counting, their ports, names,
// roots and TLS state, the alias map and the site list.
#include <algorithm>

#include "deploy/netmanager.h"
#include "deploy/nginx/nginxtext.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/regex.h"

namespace qm {

namespace {

bool Contains(std::u16string_view text, const Regex& pattern) {
    return pattern.Search(text).has_value();
}

std::u16string FirstMatch(std::u16string_view text, const Regex& pattern) {
    const auto m = pattern.Search(text);
    return m ? m->str(text) : std::u16string();
}

const Regex& ServerStart() {
    static const Regex re(u"^\\s*server(\\s|\\{)+");
    return re;
}
const Regex& ListenLine() {
    static const Regex re(u"^\\s*listen.*");
    return re;
}
const Regex& ServerNameLine() {
    static const Regex re(u"^\\s*server_name.*");
    return re;
}
const Regex& RootLine() {
    static const Regex re(u"^\\s*root.*");
    return re;
}
const Regex& DefaultServerListen() {
    static const Regex re(u"^\\s*listen.+default_server\\s*");
    return re;
}

}  // namespace

SslCertSrvNginx::SslCertSrvNginx() {
    LogTrace("SslCertSrvNginx::SslCertSrvNginx");
}

SslCertSrvNginx::~SslCertSrvNginx() {
    LogTrace("SslCertSrvNginx::~SslCertSrvNginx");
}

// Blocks are found by counting braces line by line from the word server.
// A line whose text (from the current position) starts with "#" is a
// comment and holds no braces that count, wherever it stands in the block;
// a brace after other text on a line counts even when a "#" precedes it.
// Two cases the counting cannot settle are decided here:
//  - a block whose braces never balance ends at the end of the text;
//  - a "server" whose first brace closes (the server lines of an upstream
//    block) starts no block, so the server blocks after that upstream are
//    still found.
void SslCertSrvNginx::GetSiteNodesPosRange(const std::u16string& text,
                                           std::vector<SiteNode>& nodes) {
    LogTrace("SslCertSrvNginx::GetSiteNodesPosRange");
    nodes.clear();
    size_t s = 0;
    while (const auto match = ServerStart().Search(text, s)) {
        const NginxBlockScan scan = ScanNginxBlock(text, match->position());
        if (scan.closedFirst) {
            // Resume after the word server that began no block.
            s = match->end();
            continue;
        }
        SiteNode node;
        node.start = match->position();
        node.end = scan.end;
        nodes.push_back(node);
        s = node.end;
        if (s >= text.size())
            break;
    }
}

// The nodes' positions refer to confText, the text they were split from.
void SslCertSrvNginx::GetSiteNodesConfig(std::vector<SiteNode>& nodes) {
    LogTrace("SslCertSrvNginx::GetSiteNodesConfig");
    const Regex httpListen(FormatWide(u"^\\s*listen.*[^\\d\\.]%d[^\\d\\.]", httpPort_));
    const Regex httpsListen(FormatWide(u"^\\s*listen.*[^\\d\\.]%d[^\\d\\.]", httpsPort_));
    for (auto& node : nodes) {
        const std::u16string_view block =
            std::u16string_view(confText_).substr(node.start, node.end - node.start);
        SiteInfo& site = node.site;
        site = SiteInfo();
        site.sitePort = ParseListenPort(block);
        site.siteAddr = ParseServerNames(block);
        if (const auto root = RootLine().Search(block))
            site.siteDir = SiteDirForRoot(ParseRootValue(root->str(block)));
        else
            site.siteDir = webServiceRoot_ + u"html" + PathSeparator();
        site.isHttps = HasCertificateLines(block);

        const int32_t port = site.isHttps ? httpsPort_ : httpPort_;
        const Regex& listenOnPort = site.isHttps ? httpsListen : httpListen;
        if (const auto listen = listenOnPort.Search(block)) {
            site.sitePort = port;
            const std::u16string line = listen->str(block);
            static const Regex address(u"\\d+.\\d+.\\d+.\\d+");
            if (const auto ip = address.Search(line))
                site.siteIP = ip->str(line);
            else if (line.find(u"localhost") != std::u16string::npos)
                site.siteIP = u"localhost";
        }
    }
}

int32_t SslCertSrvNginx::ParseListenPort(std::u16string_view block) {
    const auto first = ListenLine().Search(block);
    if (!first)
        return 80;
    const std::u16string line = first->str(block);
    static const Regex addressFirst(u"^\\s*listen\\s+\\d+\\..*;");
    static const Regex portFirst(u"^\\s*listen\\s+\\d+.*;");
    static const Regex portAfterColon(u":\\s*\\d+.*;");
    static const Regex number(u"\\d+");
    auto firstNumber = [&](const std::u16string& text) {
        const auto n = number.Search(text);
        if (!n)
            return 80;
        int32_t value = 0;
        for (size_t i = n->position(); i < n->end(); ++i) {
            if (value > 65535)
                return 0;  // no port; also keeps the sum from overflowing
            value = value * 10 + (text[i] - u'0');
        }
        return value;
    };
    if (addressFirst.Search(line)) {
        const auto colon = portAfterColon.Search(line);
        return colon ? firstNumber(colon->str(line)) : 80;
    }
    if (portFirst.Search(line))
        return firstNumber(line);
    return 80;
}

// A server_name directive without its ";" ends with its block.
std::u16string SslCertSrvNginx::ParseServerNames(std::u16string_view block) {
    std::u16string primary;
    static const Regex nextLine(u".+");
    static const Regex comment(u"^\\s*#");
    for (const auto& match : ServerNameLine().SearchAll(block)) {
        bool terminated = false;
        primary = ParseServerNameLine(primary, match.str(block), terminated);
        size_t pos = match.end();
        while (!terminated) {
            const auto line = nextLine.Search(block, pos);
            if (!line)
                break;
            pos = line->end();
            const std::u16string text = line->str(block);
            if (comment.Search(text))
                continue;
            primary = ParseServerNameLine(primary, text, terminated);
        }
    }
    return RemoveWhitespace(primary);
}

// The names of one line of a server_name directive. What follows the ";"
// (another directive, a comment) and a comment after the names are not
// names.
std::u16string SslCertSrvNginx::ParseServerNameLine(std::u16string primary,
                                                    std::u16string_view line, bool& terminated) {
    terminated = line.find(u';') != std::u16string_view::npos;
    static const Regex directive(u"^\\s*server_name(\\s+|$)");
    static const Regex endOfNames(u"\\s*(;|(^|\\s)#).*");
    static const Regex blanks(u"\\s+");
    std::u16string names = directive.ReplaceFirst(line, u"");
    names = endOfNames.ReplaceFirst(names, u"");
    names = blanks.ReplaceAll(names, u" ");
    size_t start = 0;
    while (start <= names.size()) {
        size_t blank = names.find(u' ', start);
        if (blank == std::u16string::npos)
            blank = names.size();
        std::u16string piece = names.substr(start, blank - start);
        start = blank + 1;
        if (piece.empty())
            continue;
        if (primary.empty())
            primary = std::move(piece);
        else if (piece != primary)
            aliasMap_[piece] = primary;
    }
    return primary;
}

std::u16string SslCertSrvNginx::ParseRootValue(std::u16string_view line) {
    static const Regex directive(u"^\\s*root\\s+");
    static const Regex end(u"\\s*;");
    return end.ReplaceFirst(directive.ReplaceFirst(line, u""), u"");
}

std::u16string SslCertSrvNginx::SiteDirForRoot(std::u16string value) const {
    // nginx takes a quoted value without its quotes.
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    std::u16string dir = IsAbsolutePath(value) ? value : webServiceRoot_ + value;
    EnsureTrailingSeparator(dir);
    return dir;
}

void SslCertSrvNginx::ReadRootAndIndex(std::u16string_view block) {
    const auto root = RootLine().Search(block);
    if (!root)
        return;
    defaultRoot_ = ParseRootValue(root->str(block));
    static const Regex indexLine(u"^\\s*index.*");
    static const Regex indexDirective(u"^\\s*index\\s+");
    static const Regex end(u"\\s*;");
    if (const auto index = indexLine.Search(block))
        defaultIndex_ = end.ReplaceFirst(indexDirective.ReplaceFirst(index->str(block), u""), u"");
}

void SslCertSrvNginx::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    RunOperation("SslCertSrvNginx::GetSitesInfo", [&] {
        siteAddrs.clear();
        sites_.clear();
        defaultSites_.clear();
        usedCertFiles_.clear();
        httpListenAddrs_.clear();
        httpsListenAddrs_.clear();

        if (confFilePath_.empty()) {
            confFilePath_ = mainConfFile_.empty()
                                ? webServiceRoot_ + NativeSeparators(u"conf/nginx.conf")
                                : mainConfFile_;
            if (!FileExists(confFilePath_)) {
                LogError(u"SslCertSrvNginx::GetSitesInfo, cannot read %s", confFilePath_);
                confFilePath_.clear();
                ThrowResult(result::kWebServiceNotRunning);
            }
            confText_ = ReadTextFile(confFilePath_);
        }
        GetSiteNodesPosRange(confText_, siteNodes_);
        GetSiteNodesConfig(siteNodes_);

        const std::u16string_view text(confText_);
        auto blockOf = [&](const SiteNode& node) {
            return text.substr(node.start, node.end - node.start);
        };
        auto matchesPorts = [&](const SiteNode& node) {
            return node.site.isHttps ? node.site.sitePort == httpsPort_
                                     : node.site.sitePort == httpPort_;
        };
        auto isDefaultNode = [&](std::u16string_view block) {
            static const Regex localName(u"^\\s*server_name.+localhost\\s*");
            static const Regex loopbackName(u"^\\s*server_name.+127.0.0.1\\s*");
            return Contains(block, DefaultServerListen()) || Contains(block, localName) ||
                   Contains(block, loopbackName);
        };

        for (const auto& node : siteNodes_) {
            if (!matchesPorts(node))
                continue;
            const std::u16string_view block = blockOf(node);
            if (mainSite_.sitePort != 0 && !isDefaultNode(block))
                continue;
            mainSite_.siteAddr = node.site.siteAddr;
            mainSite_.sitePort = node.site.sitePort;
            mainSite_.isHttps = node.site.isHttps;
            mainSite_.siteIP = node.site.siteIP;
            if (!node.site.siteDir.empty())
                mainSite_.siteDir = node.site.siteDir;
            ReadRootAndIndex(block);
            if (Contains(block, DefaultServerListen()))
                defaultSites_.push_back(node.site);
        }
        if (mainSite_.siteDir.empty()) {
            for (const auto& node : siteNodes_) {
                if (matchesPorts(node) && !node.site.siteDir.empty()) {
                    mainSite_.siteDir = node.site.siteDir;
                    ReadRootAndIndex(blockOf(node));
                    break;
                }
            }
        }
        if (defaultSites_.empty())
            defaultSites_.push_back(mainSite_);

        // Aliases by primary name, in ascending order (as GetAliasesOf gives
        // them), built once instead of a scan of the map per block.
        std::map<std::u16string, std::vector<std::u16string>> aliasesOf;
        for (const auto& [alias, primary] : aliasMap_)
            aliasesOf[primary].push_back(alias);

        for (const auto& node : siteNodes_) {
            if (!matchesPorts(node))
                continue;
            SiteInfo site = node.site;
            if (site.siteDir.empty())
                site.siteDir = mainSite_.siteDir;
            siteAddrs.push_back(site.siteAddr);
            sites_.push_back(site);
            (site.isHttps ? httpsListenAddrs_ : httpListenAddrs_).push_back(site.siteIP);
            if (const auto it = aliasesOf.find(site.siteAddr); it != aliasesOf.end()) {
                for (const auto& alias : it->second) {
                    siteAddrs.push_back(alias);
                    SiteInfo aliasSite = site;
                    aliasSite.siteAddr = alias;
                    sites_.push_back(std::move(aliasSite));
                }
            }
            if (site.isHttps) {
                const std::u16string_view block = blockOf(node);
                usedCertFiles_.push_back(FirstMatch(block, NginxCertificateLine()));
                usedCertFiles_.push_back(FirstMatch(block, NginxCertificateKeyLine()));
            }
        }

        for (auto* list : {&usedCertFiles_, &siteAddrs, &httpListenAddrs_, &httpsListenAddrs_}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        RemoveDuplicateSites(sites_);
    });
}

}  // namespace qm
