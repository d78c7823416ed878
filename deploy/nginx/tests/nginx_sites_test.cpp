// Reading nginx.conf: block split, listen/server_name/root parsing, aliases,
// default sites and the site list.
#include <gtest/gtest.h>

#include "deploy/nginx/tests/nginx_test_support.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::BlocksOf;
using test::NginxUnderTest;

// An absolute folder as a configuration of this host writes it ("/srv"
// names no drive on Windows).
#ifdef _WIN32
const std::u16string kSrv = u"C:/srv";
#else
const std::u16string kSrv = u"/srv";
#endif

TEST(NginxBlocks, SplitsAtBracesAndIgnoresComments) {
    NginxUnderTest d;
    const std::u16string text =
        u"http {\n"
        u"    server {\n"
        u"        listen 80;\n"
        u"        # location /old { rewrite ^ /new; } }}\n"
        u"        location / {\n"
        u"            root html;\n"
        u"        }\n"
        u"    }\n"
        u"\n"
        u"    server { # }\n"
        u"        listen 8080;\n"
        u"    }\n"
        u"    server {\n"
        u"        listen 81; # {\n"
        u"        }\n"
        u"    }\n"
        u"}\n";
    const auto blocks = BlocksOf(d, text);
    ASSERT_EQ(blocks.size(), 3u);
    // The first block starts with its indentation and ends with its brace.
    EXPECT_EQ(blocks[0].substr(0, 12), u"    server {");
    EXPECT_EQ(blocks[0].substr(blocks[0].size() - 5), u"    }");
    EXPECT_NE(blocks[0].find(u"root html;"), std::u16string::npos);
    // The rest of a line after a brace that begins with "#" holds no brace;
    // the resumed search starts at a line start (leading blank lines belong
    // to the next block).
    EXPECT_EQ(blocks[1], u"\n\n    server { # }\n        listen 8080;\n    }");
    // A "#" starts a comment wherever it begins a word: the brace behind it
    // does not count, as nginx reads it.
    EXPECT_EQ(blocks[2], u"\n    server {\n        listen 81; # {\n        }");
}

TEST(NginxBlocks, UnbalancedBlockEndsAtTheEndAndUpstreamServersStartNoBlock) {
    NginxUnderTest d;
    const std::u16string upstream =
        u"upstream backend {\n"
        u"    server 127.0.0.1:9000;\n"
        u"    server 127.0.0.1:9001 backup;\n"
        u"}\n"
        u"server {\n"
        u"    listen 80;\n"
        u"    location / { proxy_pass http://backend; }\n"
        u"}\n";
    const auto blocks = BlocksOf(d, upstream);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].substr(0, 8), u"server {");
    EXPECT_EQ(blocks[0].back(), u'}');

    const std::u16string open = u"server {\n    listen 80;\n    location / {\n";
    const auto unbalanced = BlocksOf(d, open);
    ASSERT_EQ(unbalanced.size(), 1u);
    EXPECT_EQ(unbalanced[0], open);
    EXPECT_TRUE(BlocksOf(d, u"# server {\n#}\nserver_names_hash_bucket_size 64;\n").empty());
}

TEST(NginxParse, ListenPortForms) {
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen 127.0.0.1:8080;\n"), 8080);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen 443 ssl;\n"), 443);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen [::]:80;\n"), 80);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen 127.0.0.1;\n"), 80);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"server { root html; }"), 80);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen 8081 default_server;\n  listen 82;"),
              8081);
    // Only the first listen line counts; a commented one is no listen line.
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  #listen 9999;\n  listen 8000;"), 8000);
    EXPECT_EQ(SslCertSrvNginx::ParseListenPort(u"  listen 99999999999999999999;"), 0);
}

TEST(NginxParse, ServerNamesFillTheAliasMap) {
    NginxUnderTest d;
    EXPECT_EQ(d.ParseServerNames(u"  server_name  shop.example.test   www.shop.example.test;\n"),
              u"shop.example.test");
    EXPECT_EQ(d.Alias(u"www.shop.example.test"), u"shop.example.test");
    EXPECT_FALSE(d.IsAlias(u"shop.example.test"));

    // Over several lines, comments skipped, until the ";"; a second
    // directive adds aliases of the same primary name.
    EXPECT_EQ(d.ParseServerNames(u"  server_name\n"
                                 u"      a.example.test\n"
                                 u"      # b.example.test\n"
                                 u"      c.example.test;\n"
                                 u"  server_name d.example.test; # the old name\n"),
              u"a.example.test");
    EXPECT_EQ(d.Alias(u"c.example.test"), u"a.example.test");
    EXPECT_EQ(d.Alias(u"d.example.test"), u"a.example.test");
    EXPECT_FALSE(d.IsAlias(u"b.example.test"));
    EXPECT_FALSE(d.IsAlias(u"#"));
    EXPECT_FALSE(d.IsAlias(u"old"));

    // A directive without ";" ends with its block.
    EXPECT_EQ(d.ParseServerNames(u"  server_name e.example.test\n  f.example.test\n"),
              u"e.example.test");
    EXPECT_EQ(d.Alias(u"f.example.test"), u"e.example.test");
    // Later blocks overwrite an alias; the map is never emptied.
    d.ParseServerNames(u"server_name g.example.test f.example.test;");
    EXPECT_EQ(d.Alias(u"f.example.test"), u"g.example.test");
    EXPECT_EQ(d.Alias(u"c.example.test"), u"a.example.test");
    EXPECT_EQ(d.ParseServerNames(u"  listen 80;\n"), u"");

    std::vector<std::u16string> aliases = {u"z"};
    d.GetAliasesOf(aliases, u"a.example.test");
    EXPECT_EQ(aliases, (std::vector<std::u16string>{u"c.example.test", u"d.example.test", u"z"}));
}

TEST(NginxParse, RootValuesAndDocumentRoots) {
    EXPECT_EQ(SslCertSrvNginx::ParseRootValue(u"    root   html/shop ;"), u"html/shop");
    EXPECT_EQ(SslCertSrvNginx::ParseRootValue(u"root /srv/www;"), u"/srv/www");
    NginxUnderTest d;
    d.SetRoot(NativeSeparators(u"/opt/nginx/"));
    EXPECT_EQ(d.SiteDir(u"html"), NativeSeparators(u"/opt/nginx/html/"));
    // An absolute root is used as it stands, not under the installation.
    EXPECT_EQ(d.SiteDir(kSrv + u"/www"), NativeSeparators(kSrv + u"/www/"));
    EXPECT_EQ(d.SiteDir(kSrv + u"/www/"), NativeSeparators(kSrv + u"/www/"));
    EXPECT_EQ(d.SiteDir(u"\"" + kSrv + u"/my site\""), NativeSeparators(kSrv + u"/my site/"));

    d.ReadRootAndIndex(u"  listen 80;\n");
    EXPECT_EQ(d.defaultRoot(), u"");
    d.ReadRootAndIndex(u"  root  html;\n  index index.html  index.htm;\n");
    EXPECT_EQ(d.defaultRoot(), u"html");
    EXPECT_EQ(d.defaultIndex(), u"index.html  index.htm");
}

class NginxSitesTest : public ::testing::Test {
protected:
    test::TempDir dir;
    NginxUnderTest d;

    std::vector<std::u16string> Read(const std::string& conf, int32_t http = 80,
                                     int32_t https = 443) {
        EXPECT_TRUE(MakeDirectoryTree(dir / u"conf"));
        test::WriteAll(dir / u"conf/nginx.conf", conf);
        d.SetRoot(dir.path());
        d.SetPorts(http, https);
        std::vector<std::u16string> names;
        d.GetSitesInfo(names);
        return names;
    }
};

TEST_F(NginxSitesTest, SitesNamesAliasesAndListenAddresses) {
    const auto names = Read(
        "http {\n"
        "  server {\n"
        "    listen 80;\n"
        "    server_name shop.example.test www.shop.example.test;\n"
        "    root " +
        Utf8FromWide(kSrv) +
        "/shop;\n"
        "    index index.html;\n"
        "  }\n"
        "  server {\n"
        "    listen 127.0.0.1:443 ssl;\n"
        "    server_name old.example.test;\n"
        "    ssl_certificate     conf/old.crt;\n"
        "    ssl_certificate_key conf/old.key;\n"
        "  }\n"
        "  server {\n"
        "    listen 8080;\n"
        "    server_name other.example.test;\n"
        "  }\n"
        "  server {\n"
        "    listen 443;\n"
        "    server_name plain443.example.test;\n"
        "  }\n"
        "}\n");
    EXPECT_EQ(names, (std::vector<std::u16string>{u"old.example.test", u"shop.example.test",
                                                  u"www.shop.example.test"}));
    const std::u16string html = dir / u"html/";
    const std::u16string shop = NativeSeparators(kSrv + u"/shop/");
    EXPECT_EQ(d.sites(), (std::vector<SiteInfo>{
                             {u"shop.example.test", shop, 80, false, u""},
                             {u"www.shop.example.test", shop, 80, false, u""},
                             {u"old.example.test", html, 443, true, u"127.0.0.1"},
                         }));
    // The first site found is the main site (no block is a default one).
    EXPECT_EQ(d.mainSite(), (SiteInfo{u"shop.example.test", shop, 80, false, u""}));
    EXPECT_EQ(d.defaultSites(), std::vector<SiteInfo>{d.mainSite()});
    EXPECT_EQ(d.defaultRoot(), kSrv + u"/shop");
    EXPECT_EQ(d.defaultIndex(), u"index.html");
    EXPECT_EQ(d.usedCertFiles(),
              (std::vector<std::u16string>{u"    ssl_certificate     conf/old.crt;",
                                           u"    ssl_certificate_key conf/old.key;"}));
    EXPECT_EQ(d.confFilePath(), dir / u"conf/nginx.conf");
}

TEST_F(NginxSitesTest, DefaultServersDecideTheMainSite) {
    Read(
        "http {\n"
        "  server {\n    listen 8080;\n    server_name a.example.test;\n    root a;\n  }\n"
        "  server {\n    listen 10.0.0.5:8080 default_server;\n"
        "    server_name b.example.test;\n    root b;\n  }\n"
        "  server {\n    listen 8080;\n    server_name localhost;\n  }\n"
        "  server {\n    listen 8080 default_server;\n    server_name c.example.test;\n"
        "    root c;\n  }\n"
        "}\n",
        8080, 8443);
    // The last default block wins the main site; the localhost block counts
    // as a default node but not as a default site.
    EXPECT_EQ(d.mainSite().siteAddr, u"c.example.test");
    EXPECT_EQ(d.defaultRoot(), u"c");
    ASSERT_EQ(d.defaultSites().size(), 2u);
    EXPECT_EQ(d.defaultSites()[0].siteAddr, u"b.example.test");
    EXPECT_EQ(d.defaultSites()[0].siteIP, u"10.0.0.5");
    EXPECT_EQ(d.defaultSites()[1].siteAddr, u"c.example.test");
}

TEST_F(NginxSitesTest, ConfigurationIsReadOnceAndAMissingOneFails) {
    d.SetRoot(dir.path());
    std::vector<std::u16string> names;
    try {
        d.GetSitesInfo(names);
        FAIL() << "a missing nginx.conf must fail";
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsResult(e, result::kWebServiceNotRunning)) << e.what();
    }

    Read("http {\n  server {\n    listen 80;\n    server_name a.example.test;\n  }\n}\n");
    test::WriteAll(dir / u"conf/nginx.conf", "garbage");
    d.GetSitesInfo(names);  // the text in memory is the authority now
    EXPECT_EQ(names, std::vector<std::u16string>{u"a.example.test"});
}

}  // namespace
}  // namespace qm
