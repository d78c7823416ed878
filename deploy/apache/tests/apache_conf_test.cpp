// Reading a configuration the way Apache reads it: includes against the
// server root, wildcards and folders in sorted order, sections evaluated as
// they are read, the server's own file list, and edits as splices.
#include <gtest/gtest.h>

#include "deploy/apache/apacheconf.h"
#include "deploy/apache/tests/apache_test_support.h"

namespace qm {
namespace {

using test::Put;
using test::TempDir;

std::vector<std::u16string> ServerNames(const ApacheConfig& config) {
    std::vector<std::u16string> names;
    for (const ApacheDirective& d : config.Directives()) {
        if (d.name == u"servername" && !d.args.empty())
            names.push_back(d.args.front());
    }
    return names;
}

ApacheContext ContextFor(const TempDir& root) {
    ApacheContext context;
    context.serverRoot = root.path();
    context.staticModules = {u"core.c", u"mod_so.c", u"core_module", u"so_module"};
    return context;
}

TEST(ApacheConf, FollowsIncludesInApachesOrder) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        "ServerName main\n"
        "Include conf/sites/*.conf\n"
        "IncludeOptional conf/none/*.conf\n"
        "Include conf/folder\n"
        "ServerName last\n");
    Put(root, u"conf/sites/b.conf", "ServerName b\n");
    Put(root, u"conf/sites/a.conf", "ServerName a\n");
    Put(root, u"conf/sites/.hidden.conf", "ServerName hidden\n");
    Put(root, u"conf/sites/c.txt", "ServerName txt\n");
    Put(root, u"conf/folder/z", "ServerName z\n");
    Put(root, u"conf/folder/sub/y", "ServerName y\n");
    ApacheConfig config;
    std::u16string problem;
    ASSERT_TRUE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem))
        << Utf8FromWide(problem);
    EXPECT_EQ(ServerNames(config),
              (std::vector<std::u16string>{u"main", u"a", u"b", u"y", u"z", u"last"}));
    EXPECT_EQ(config.FilesRead().size(), 5u);
}

TEST(ApacheConf, AMissingFileIsNamedUnlessOptional) {
    TempDir root;
    Put(root, u"conf/httpd.conf", "Include conf/missing.conf\n");
    ApacheConfig config;
    std::u16string problem;
    EXPECT_FALSE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem));
    EXPECT_NE(problem.find(u"missing.conf"), std::u16string::npos);
    Put(root, u"conf/httpd.conf", "IncludeOptional conf/missing.conf\nInclude conf/*.none\n");
    EXPECT_TRUE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem));
    // An include cycle ends at Apache's nesting bound instead of looping.
    Put(root, u"conf/httpd.conf", "Include conf/httpd.conf\n");
    EXPECT_FALSE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem));
}

TEST(ApacheConf, SectionsAreEvaluatedWhileReading) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        "<IfDefine SSL>\n"
        "  Include conf/extra/httpd-ssl.conf\n"
        "  <VirtualHost *:443>\n    ServerName in-ifdefine\n  </VirtualHost>\n"
        "</IfDefine>\n"
        "<IfModule ssl_module>\n  ServerName before-load\n</IfModule>\n"
        "LoadModule ssl_module modules/mod_ssl.so\n"
        "<IfModule mod_ssl.c>\n  ServerName after-load\n</IfModule>\n"
        "<IfModule !mod_rewrite.c>\n"
        "  <IfDefine !NOPE>\n    ServerName nested\n  </IfDefine>\n"
        "</IfModule>\n"
        "Define LATER\n"
        "<IfDefine LATER>\n  ServerName defined-here\n</IfDefine>\n");
    Put(root, u"conf/extra/httpd-ssl.conf", "ServerName ssl-file\n");
    ApacheConfig config;
    std::u16string problem;
    ASSERT_TRUE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem));
    EXPECT_EQ(ServerNames(config),
              (std::vector<std::u16string>{u"after-load", u"nested", u"defined-here"}));
    EXPECT_TRUE(config.Hosts().empty());
    EXPECT_EQ(config.FindFile(root / u"conf/extra/httpd-ssl.conf"), static_cast<size_t>(-1));

    ApacheContext withSsl = ContextFor(root);
    withSsl.defines.emplace_back(u"SSL", u"");
    ASSERT_TRUE(config.Load(root / u"conf/httpd.conf", withSsl, problem));
    EXPECT_EQ(ServerNames(config).front(), u"ssl-file");
    ASSERT_EQ(config.Hosts().size(), 1u);
    EXPECT_TRUE(config.IsRead(config.FindFile(root / u"conf/extra/httpd-ssl.conf")));
}

TEST(ApacheConf, HostsKnowTheirFileLinesAndDirectives) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        "Define DOCS /srv\n"
        "Include conf/vhosts.conf\n");
    Put(root, u"conf/vhosts.conf",
        "# <VirtualHost *:80> in a comment\n"
        "<virtualhost *:80 [::]:80>\n"
        "    ServerName shop.test\n"
        "    DocumentRoot ${DOCS}/shop\n"
        "    <Directory ${DOCS}/shop>\n"
        "        SSLOptions +StdEnvVars\n"
        "    </Directory>\n"
        "</VirtualHost>\n"
        "<VirtualHost *:443>\n"
        "    ServerName unclosed.test\n");
    ApacheConfig config;
    std::u16string problem;
    ASSERT_TRUE(config.Load(root / u"conf/httpd.conf", ContextFor(root), problem));
    ASSERT_EQ(config.Hosts().size(), 2u);
    const ApacheVirtualHost& shop = config.Hosts()[0];
    EXPECT_EQ(shop.addresses, (std::vector<std::u16string>{u"*:80", u"[::]:80"}));
    EXPECT_TRUE(shop.closed);
    EXPECT_EQ(config.HostText(shop).substr(0, 13), u"<virtualhost ");
    EXPECT_EQ(config.HostText(shop).substr(config.HostText(shop).size() - 15), u"</VirtualHost>\n");
    bool nestedSeen = false;
    for (size_t i : shop.directives) {
        const ApacheDirective& d = config.Directives()[i];
        if (d.name == u"documentroot") {
            EXPECT_EQ(d.args.front(), u"/srv/shop");
        }
        if (d.name == u"ssloptions")
            nestedSeen = d.nested;
    }
    EXPECT_TRUE(nestedSeen);
    // A host left open ends with its file.
    EXPECT_FALSE(config.Hosts()[1].closed);
    EXPECT_EQ(config.HostEnd(config.Hosts()[1]), config.File(1).text.size());
}

TEST(ApacheConf, TheServersListAddsFilesTheRulesMiss) {
    TempDir root;
    Put(root, u"conf/httpd.conf", "ServerName main\nIncludeOptional conf/elsewhere/*.conf\n");
    Put(root, u"other/x.conf", "ServerName listed\n");
    ApacheContext context = ContextFor(root);
    context.listing.known = true;
    context.listing.children[{root / u"conf/httpd.conf", 2}] = {root / u"other/x.conf"};
    ApacheConfig config;
    std::u16string problem;
    ASSERT_TRUE(config.Load(root / u"conf/httpd.conf", context, problem));
    EXPECT_EQ(ServerNames(config), (std::vector<std::u16string>{u"main", u"listed"}));
}

TEST(ApacheConf, SplicesReadTheFileAgain) {
    ApacheConfig config;
    config.LoadText(u"Listen 80\n<VirtualHost *:80>\nServerName a\n</VirtualHost>\n");
    ASSERT_EQ(config.Hosts().size(), 1u);
    const size_t end = config.HostEnd(config.Hosts()[0]);
    // An insertion where a replacement starts goes before it.
    config.SpliceAll(0, {{0, 9, u"Listen 8080"},
                         {0, 0, u"# head\n"},
                         {end, 0, u"<VirtualHost *:443>\nServerName a\n</VirtualHost>\n"}});
    EXPECT_EQ(config.File(0).text,
              u"# head\nListen 8080\n<VirtualHost *:80>\nServerName a\n</VirtualHost>\n"
              u"<VirtualHost *:443>\nServerName a\n</VirtualHost>\n");
    EXPECT_EQ(config.Hosts().size(), 2u);
    EXPECT_TRUE(config.Edited(0));
}

// Splices read again only the lines they touch; what they read must be
// what reading the whole text gives.
TEST(ApacheConf, SplicedLinesEqualAFreshRead) {
    const std::u16string text =
        u"Listen 80\r\n# note \\\r\n  swallowed\r\n<VirtualHost *:80>\r\n"
        u"ServerAlias a \\\r\n b\r\n</VirtualHost>\r\nLast";
    struct Case {
        size_t from;
        size_t length;
        std::u16string text;
    };
    const size_t host = text.find(u"<VirtualHost");
    const size_t alias = text.find(u"ServerAlias");
    const Case cases[] = {
        {0, 0, u"ServerName x\r\n"},                    // before everything
        {host, 0, u"Listen 443\r\n"},                   // at a line's start
        {alias + 12, 1, u"c d"},                        // inside a continued line
        {text.find(u"swallowed"), 0, u"Listen 1\r\n"},  // inside a comment's continuation
        {text.size(), 0, u"\r\nEnd 1"},                 // at the end, no line end before
        {text.find(u"</Virtual"), 0, u"Alias \\\r\n"},  // a continuation into the next line
        {0, text.size(), u""},                          // everything
    };
    for (const Case& c : cases) {
        ApacheConfig config;
        config.LoadText(text);
        config.Splice(0, c.from, c.length, c.text);
        const auto fresh = LexApacheLines(config.File(0).text);
        const auto& spliced = config.File(0).lines;
        ASSERT_EQ(spliced.size(), fresh.size()) << Utf8FromWide(c.text);
        for (size_t i = 0; i < fresh.size(); ++i) {
            EXPECT_EQ(spliced[i].start, fresh[i].start) << i;
            EXPECT_EQ(spliced[i].contentEnd, fresh[i].contentEnd) << i;
            EXPECT_EQ(spliced[i].end, fresh[i].end) << i;
            EXPECT_EQ(spliced[i].number, fresh[i].number) << i;
            EXPECT_EQ(spliced[i].name, fresh[i].name) << i;
            EXPECT_EQ(spliced[i].words, fresh[i].words) << i;
        }
    }
}

}  // namespace
}  // namespace qm
