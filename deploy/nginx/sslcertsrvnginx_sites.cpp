// Reading the nginx configuration: its files, the http server blocks with
// their ports, names, roots and TLS state, the alias map and the site list.
#include <algorithm>

#include "deploy/netmanager.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

// Where a server block starts in the site list's sense: the start of its
// line, together with the blank lines before it when nothing else stands
// between it and the previous block (`resume`).
size_t BlockStart(std::u16string_view text, size_t nameStart, size_t resume) {
    size_t q = nameStart;
    while (q > resume && IsSpace(text[q - 1]))
        --q;
    if (q == resume)
        return q;
    const size_t lf = text.find(u'\n', q);
    return lf != std::u16string_view::npos && lf < nameStart ? lf + 1 : nameStart;
}

bool LooksLikeIPv4(std::u16string_view address) {
    int dots = 0;
    bool digit = false;
    for (char16_t c : address) {
        if (c >= u'0' && c <= u'9') {
            digit = true;
        } else if (c == u'.' && digit) {
            ++dots;
            digit = false;
        } else {
            return false;
        }
    }
    return dots == 3 && digit;
}

bool HasDefaultServerListen(const NginxServerFacts& facts) {
    for (const NginxNode* listen : facts.listens) {
        const NginxListen l = ParseListen(*listen->directive);
        if (std::find(l.parameters.begin(), l.parameters.end(), u"default_server") !=
            l.parameters.end())
            return true;
    }
    return false;
}

// A block that answers for the machine itself: a default server, or one
// named localhost or 127.0.0.1.
bool IsDefaultNode(const NginxServerFacts& facts) {
    if (HasDefaultServerListen(facts))
        return true;
    for (const NginxNode* names : facts.serverNames) {
        for (size_t i = 0; i < names->directive->argCount(); ++i) {
            const std::u16string& name = names->directive->arg(i);
            if (name.find(u"localhost") != std::u16string::npos ||
                name.find(u"127.0.0.1") != std::u16string::npos)
                return true;
        }
    }
    return false;
}

// The first directive of that name anywhere in a parse, depth first.
const NginxDirective* FirstNamed(const std::vector<NginxDirective>& directives,
                                 std::u16string_view name) {
    for (const NginxDirective& d : directives) {
        if (d.name() == name)
            return &d;
        if (const NginxDirective* inner = FirstNamed(d.children, name))
            return inner;
    }
    return nullptr;
}

void AllNamed(const std::vector<NginxDirective>& directives, std::u16string_view name,
              std::vector<const NginxDirective*>& out) {
    for (const NginxDirective& d : directives) {
        if (d.name() == name)
            out.push_back(&d);
        AllNamed(d.children, name, out);
    }
}

std::u16string RawArgumentsOf(std::u16string_view text, const NginxDirective& d) {
    if (d.argCount() == 0)
        return {};
    return std::u16string(text.substr(d.words[1].start, d.words.back().end - d.words[1].start));
}

// A directive's whole line as written (indentation included), up to its end.
std::u16string DirectiveLine(std::u16string_view text, const NginxDirective& d) {
    size_t start = d.start();
    while (start > 0 && (text[start - 1] == u' ' || text[start - 1] == u'\t'))
        --start;
    if (start > 0 && text[start - 1] != u'\n')
        start = d.start();
    return std::u16string(text.substr(start, d.end - start));
}

}  // namespace

SslCertSrvNginx::SslCertSrvNginx() {
    LogTrace("SslCertSrvNginx::SslCertSrvNginx");
    // Tests and measurements can ask for the stop-and-start that a refused
    // reload falls back to.
    restartInsteadOfReload_ =
        host::ProcessEnvironmentValue(u"QUILLMATE_NGINX_APPLY").value_or(u"") == u"restart";
}

SslCertSrvNginx::~SslCertSrvNginx() {
    LogTrace("SslCertSrvNginx::~SslCertSrvNginx");
}

const std::u16string& SslCertSrvNginx::NodeFile(size_t node) const {
    return config_.File(siteNodes_[node].file).path;
}

void SslCertSrvNginx::GetSiteNodesPosRange(const std::u16string& text,
                                           std::vector<SiteNode>& nodes) {
    LogTrace("SslCertSrvNginx::GetSiteNodesPosRange");
    NginxConfig single;
    single.LoadText(text);
    nodes.clear();
    size_t resume = 0;
    for (const NginxNode* server : single.ServerBlocks()) {
        SiteNode node;
        node.start = BlockStart(text, server->directive->start(), resume);
        node.end = server->directive->end;
        resume = node.end;
        nodes.push_back(node);
    }
}

void SslCertSrvNginx::RefreshServerNodes() {
    if (nodesGeneration_ == config_.Generation() && serverOf_.size() == siteNodes_.size() &&
        factsOf_.size() == siteNodes_.size())
        return;
    CollectServerNodes();
    GetSiteNodesConfig(siteNodes_);
    nodesGeneration_ = config_.Generation();
}

void SslCertSrvNginx::CollectServerNodes() {
    siteNodes_.clear();
    serverOf_.clear();
    std::vector<size_t> resume(config_.FileCount(), 0);
    for (const NginxNode* server : config_.ServerBlocks()) {
        const std::u16string& text = config_.File(server->file).text;
        SiteNode node;
        node.file = server->file;
        node.start = BlockStart(text, server->directive->start(), resume[server->file]);
        node.end = server->directive->end;
        // A file included twice holds the same blocks: they are one site.
        if (node.end <= resume[server->file] && resume[server->file] != 0)
            continue;
        resume[server->file] = node.end;
        siteNodes_.push_back(node);
        serverOf_.push_back(server);
    }
}

void SslCertSrvNginx::GetSiteNodesConfig(std::vector<SiteNode>& nodes) {
    LogTrace("SslCertSrvNginx::GetSiteNodesConfig");
    const bool own = &nodes == &siteNodes_ && serverOf_.size() == nodes.size();
    if (own)
        factsOf_.assign(nodes.size(), NginxServerFacts());
    for (size_t i = 0; i < nodes.size(); ++i) {
        // Nodes of another text than the configuration are read on their own.
        NginxConfig single;
        const NginxNode* server = own ? serverOf_[i] : nullptr;
        if (!server) {
            single.LoadText(confText_.substr(nodes[i].start, nodes[i].end - nodes[i].start));
            const auto servers = single.ServerBlocks();
            if (servers.empty()) {
                nodes[i].site = SiteInfo();
                continue;
            }
            server = servers.front();
        }
        NginxServerFacts ownFacts;
        NginxServerFacts& facts = own ? factsOf_[i] : ownFacts;
        facts = FactsOf(*server);
        SiteInfo& site = nodes[i].site;
        site = SiteInfo();
        site.sitePort =
            facts.listens.empty() ? 80 : ListenPlaceOf(*facts.listens[0]->directive).port;

        std::u16string primary;
        for (const NginxNode* names : facts.serverNames) {
            for (size_t a = 0; a < names->directive->argCount(); ++a) {
                // nginx compares names without regard to case.
                const std::u16string& written = names->directive->arg(a);
                if (written.empty())
                    continue;
                const bool lower = std::none_of(written.begin(), written.end(),
                                                [](char16_t c) { return c >= u'A' && c <= u'Z'; });
                std::u16string lowered = lower ? std::u16string() : ToLowerAscii(written);
                const std::u16string& name = lower ? written : lowered;
                if (primary.empty())
                    primary = name;
                else if (name != primary)
                    aliasMap_.insert_or_assign(name, primary);
            }
        }
        site.siteAddr = primary.find_first_of(u" \t\r\n") == std::u16string::npos
                            ? std::move(primary)
                            : RemoveWhitespace(primary);
        site.siteDir = facts.root && facts.root->directive->argCount() > 0
                           ? SiteDirForRoot(facts.root->directive->arg(0))
                           : webServiceRoot_ + u"html" + PathSeparator();
        site.isHttps = facts.IsHttps();

        const int32_t port = site.isHttps ? httpsPort_ : httpPort_;
        for (const NginxNode* listen : facts.listens) {
            const NginxListenPlace l = ListenPlaceOf(*listen->directive);
            if (l.port != port)
                continue;
            site.sitePort = port;
            if (LooksLikeIPv4(l.address))
                site.siteIP = l.address;
            else if (l.address.find(u"localhost") != std::u16string_view::npos)
                site.siteIP = u"localhost";
            break;
        }
    }
}

int32_t SslCertSrvNginx::ParseListenPort(std::u16string_view block) {
    const NginxParse parse = ParseNginxText(block);
    const NginxDirective* listen = FirstNamed(parse.directives, u"listen");
    return listen ? ParseListen(*listen).port : 80;
}

std::u16string SslCertSrvNginx::ParseServerNames(std::u16string_view block) {
    const NginxParse parse = ParseNginxText(block);
    std::vector<const NginxDirective*> directives;
    AllNamed(parse.directives, u"server_name", directives);
    std::u16string primary;
    for (const NginxDirective* d : directives) {
        for (size_t a = 0; a < d->argCount(); ++a) {
            std::u16string name = ToLowerAscii(d->arg(a));
            if (name.empty())
                continue;
            if (primary.empty())
                primary = std::move(name);
            else if (name != primary)
                aliasMap_[name] = primary;
        }
    }
    return RemoveWhitespace(primary);
}

std::u16string SslCertSrvNginx::ParseRootValue(std::u16string_view line) {
    const NginxParse parse = ParseNginxText(line);
    const NginxDirective* root = FirstNamed(parse.directives, u"root");
    return root ? RawArgumentsOf(line, *root) : std::u16string();
}

std::u16string SslCertSrvNginx::SiteDirForRoot(std::u16string value) const {
    // A quoted value stands for the text inside the quotes.
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    value = NativeSeparators(PathFromConfigText(value));
    std::u16string dir = IsAbsolutePath(value) ? value : webServiceRoot_ + value;
    EnsureTrailingSeparator(dir);
    return dir;
}

void SslCertSrvNginx::ReadRootAndIndex(std::u16string_view block) {
    const NginxParse parse = ParseNginxText(block);
    const NginxDirective* root = FirstNamed(parse.directives, u"root");
    if (!root)
        return;
    defaultRoot_ = RawArgumentsOf(block, *root);
    if (const NginxDirective* index = FirstNamed(parse.directives, u"index"))
        defaultIndex_ = RawArgumentsOf(block, *index);
}

void SslCertSrvNginx::UseConfigurationText(std::u16string text) {
    config_.LoadText(std::move(text));
    configLoaded_ = true;
    editedFiles_.assign(config_.FileCount(), false);
    confText_ = config_.File(0).text;
}

void SslCertSrvNginx::LoadConfiguration() {
    if (configLoaded_)
        return;
    confFilePath_ = mainConfFile_.empty() ? webServiceRoot_ + NativeSeparators(u"conf/nginx.conf")
                                          : mainConfFile_;
    if (!FileExists(confFilePath_)) {
        LogError(u"SslCertSrvNginx::GetSitesInfo, cannot read %s", confFilePath_);
        confFilePath_.clear();
        ThrowResult(result::kWebServiceNotRunning);
    }
    std::u16string problem;
    if (!config_.Load(confFilePath_, problem)) {
        LogError(u"SslCertSrvNginx::GetSitesInfo, %s", problem);
        // nginx's own words, where nginx can be asked.
        std::string output;
        if (!launch_.program.empty() && !TestConfiguration(output))
            NoteServerMessages(output);
        else
            AddUserNote(u"nginx: " + problem);
        ThrowResult(result::kConfigTestFailed);
    }
    // Every file by name when there are few; a count when there are many
    // (a line each would cost more than reading them).
    constexpr size_t kFilesNamedInTheLog = 20;
    LogInfo(u"nginx configuration: %s and %d included files", config_.File(0).path,
            static_cast<int>(config_.FileCount() - 1));
    for (size_t i = 0; i < config_.FileCount(); ++i) {
        const NginxConfFile& file = config_.File(i);
        if (i > 0 && config_.FileCount() <= kFilesNamedInTheLog)
            LogInfo(u"nginx configuration file: %s", file.path);
        if (!file.parse.error.empty()) {
            LogWarn(u"nginx would refuse %s:%d: %s", file.path,
                    static_cast<int>(LineNumberAt(file.text, file.parse.errorAt)),
                    file.parse.error);
        }
    }
    configLoaded_ = true;
    editedFiles_.assign(config_.FileCount(), false);
    confText_ = config_.File(0).text;
}

void SslCertSrvNginx::GetSitesInfo(std::vector<std::u16string>& siteAddrs) {
    RunOperation("SslCertSrvNginx::GetSitesInfo", [&] {
        siteAddrs.clear();
        sites_.clear();
        defaultSites_.clear();
        usedCertFiles_.clear();
        httpListenAddrs_.clear();
        httpsListenAddrs_.clear();

        LoadConfiguration();
        RefreshServerNodes();

        const std::vector<NginxServerFacts>& facts = factsOf_;
        auto matchesPorts = [&](const SiteNode& node) {
            return node.site.isHttps ? node.site.sitePort == httpsPort_
                                     : node.site.sitePort == httpPort_;
        };
        // Root and index of a node become those of new blocks.
        auto borrowRootAndIndex = [&](size_t i) {
            if (!facts[i].root)
                return;
            defaultRoot_ = RawArguments(config_, *facts[i].root);
            if (facts[i].index)
                defaultIndex_ = RawArguments(config_, *facts[i].index);
            templateFile_ = siteNodes_[i].file;
        };

        for (size_t i = 0; i < siteNodes_.size(); ++i) {
            const SiteNode& node = siteNodes_[i];
            if (!matchesPorts(node))
                continue;
            if (mainSite_.sitePort != 0 && !IsDefaultNode(facts[i]))
                continue;
            mainSite_.siteAddr = node.site.siteAddr;
            mainSite_.sitePort = node.site.sitePort;
            mainSite_.isHttps = node.site.isHttps;
            mainSite_.siteIP = node.site.siteIP;
            if (!node.site.siteDir.empty())
                mainSite_.siteDir = node.site.siteDir;
            borrowRootAndIndex(i);
            if (HasDefaultServerListen(facts[i]))
                defaultSites_.push_back(node.site);
        }
        if (mainSite_.siteDir.empty()) {
            for (size_t i = 0; i < siteNodes_.size(); ++i) {
                if (matchesPorts(siteNodes_[i]) && !siteNodes_[i].site.siteDir.empty()) {
                    mainSite_.siteDir = siteNodes_[i].site.siteDir;
                    borrowRootAndIndex(i);
                    break;
                }
            }
        }
        if (defaultSites_.empty())
            defaultSites_.push_back(mainSite_);

        // Aliases by primary name, in ascending order (as GetAliasesOf gives
        // them), built once instead of a scan of the map per block.
        std::vector<std::pair<std::u16string_view, std::u16string_view>> aliasesOf;
        aliasesOf.reserve(aliasMap_.size());
        for (const auto& [alias, primary] : aliasMap_)
            aliasesOf.emplace_back(primary, alias);
        std::sort(aliasesOf.begin(), aliasesOf.end());

        for (size_t i = 0; i < siteNodes_.size(); ++i) {
            const SiteNode& node = siteNodes_[i];
            if (!matchesPorts(node))
                continue;
            SiteInfo site = node.site;
            if (site.siteDir.empty())
                site.siteDir = mainSite_.siteDir;
            siteAddrs.push_back(site.siteAddr);
            sites_.push_back(site);
            (site.isHttps ? httpsListenAddrs_ : httpListenAddrs_).push_back(site.siteIP);
            const std::u16string_view primary = site.siteAddr;
            for (auto it = std::lower_bound(aliasesOf.begin(), aliasesOf.end(),
                                            std::make_pair(primary, std::u16string_view()));
                 it != aliasesOf.end() && it->first == primary; ++it) {
                siteAddrs.emplace_back(it->second);
                SiteInfo aliasSite = site;
                aliasSite.siteAddr = it->second;
                sites_.push_back(std::move(aliasSite));
            }
            if (site.isHttps) {
                for (const NginxNode* d : {facts[i].certificate, facts[i].certificateKey})
                    usedCertFiles_.push_back(
                        DirectiveLine(config_.File(d->file).text, *d->directive));
            }
        }

        for (auto* list : {&usedCertFiles_, &siteAddrs, &httpListenAddrs_, &httpsListenAddrs_}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        RemoveDuplicateSites(sites_);
    });
}

std::vector<size_t> SslCertSrvNginx::NodesNamed(const std::u16string& name) const {
    std::vector<size_t> found;
    for (size_t i = 0; i < siteNodes_.size(); ++i) {
        if (siteNodes_[i].site.siteAddr == name ||
            ResolveAlias(name) == siteNodes_[i].site.siteAddr)
            found.push_back(i);
    }
    return found;
}

}  // namespace qm
