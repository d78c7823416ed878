// SslCertSrvSubBase: the shared tools of the text-configured deployers
// (Apache, nginx): the configuration file and its site blocks, byte-exact
// text reading and writing, the directive editor and the alias map.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "deploy/sslcertsrvbase.h"

namespace qm {

class SslCertSrvSubBase : public SslCertSrvBase {
public:
    SslCertSrvSubBase();
    ~SslCertSrvSubBase() override;

    // Splits a configuration text into site blocks (positions only).
    virtual void GetSiteNodesPosRange(const std::u16string& text, std::vector<SiteNode>& nodes);
    // Fills each node's site from its block text and updates the alias map.
    virtual void GetSiteNodesConfig(std::vector<SiteNode>& nodes);
    // The primary name of an alias; other names unchanged.
    virtual std::u16string ResolveAlias(const std::u16string& name) const;

    // Reads a file one byte per character, so any encoding survives a
    // read-write cycle unchanged. Windows text mode turns CR LF into LF; on
    // POSIX the file's own line ends are kept. Empty when unreadable.
    static std::u16string ReadTextFile(const std::u16string& path);
    // The same, telling an unreadable file from an empty one.
    static bool ReadTextFile(const std::u16string& path, std::u16string& text);
    // Writes the text back the same way (through an atomic replace). A
    // character above 255, which no byte can hold, is written as UTF-8.
    static bool WriteTextFile(const std::u16string& text, const std::u16string& path);

    // Rewrites the directive matched by existingPattern with newText; when
    // it is absent, inserts newText on the line after the last line matched
    // by anchorPattern.
    static void AddOrReplaceDirective(std::u16string& text, bool firstOnly,
                                      const std::u16string& anchorPattern,
                                      const std::u16string& existingPattern,
                                      const std::u16string& newText);

    // Appends the aliases of a site name, then sorts the list and removes
    // duplicates.
    void GetAliasesOf(std::vector<std::u16string>& aliases, const std::u16string& siteName) const;
    bool IsAlias(const std::u16string& name) const;

    const std::u16string& confText() const { return confText_; }
    const std::u16string& confFilePath() const { return confFilePath_; }
    const std::vector<SiteNode>& siteNodes() const { return siteNodes_; }

protected:
    std::u16string confFilePath_;
    std::u16string confText_;
    std::vector<SiteNode> siteNodes_;
    std::map<std::u16string, std::u16string> aliasMap_;
};

}  // namespace qm
