// Discovery on installations in temporary folders: the upstream layout with
// its include rules, Debian's layout, the sites and what they are made of.
#include <gtest/gtest.h>

#include "deploy/apache/tests/apache_test_support.h"
#include "foundation/results.h"

namespace qm {
namespace {

using test::ApacheUnderTest;
using test::Put;
using test::TempDir;
using test::UpstreamConf;
using Names = std::vector<std::u16string>;

// An absolute folder as a configuration of this host writes it ("/srv"
// names no drive on Windows).
#ifdef _WIN32
const std::string kSrv = "C:/srv";
#else
const std::string kSrv = "/srv";
#endif

const char kVhosts[] =
    "<VirtualHost _default_:80>\n"
    "    DocumentRoot htdocs/default\n"
    "</VirtualHost>\n"
    "<VirtualHost *:80>\n"
    "    ServerName Shop.Example.Test:80\n"
    "    ServerAlias www.shop.example.test *.shop.example.test\n"
    "    DocumentRoot \"htdocs/shop\"\n"
    "</VirtualHost>\n"
    "<VirtualHost *:443>\n"
    "    ServerName old.example.test\n"
    "    SSLEngine on\n"
    "    SSLCertificateFile \"conf/old.crt\"\n"
    "    SSLCertificateKeyFile \"conf/old.key\"\n"
    "</VirtualHost>\n"
    "<VirtualHost *:8080>\n"
    "    ServerName other-port.example.test\n"
    "</VirtualHost>\n";

void LayOutUpstream(const TempDir& root, std::string_view extra = "") {
    Put(root, u"conf/httpd.conf",
        UpstreamConf(root,
                     "Include conf/extra/httpd-vhosts.conf\n"
                     "<IfDefine SSL>\n"
                     "Include conf/extra/httpd-ssl.conf\n"
                     "</IfDefine>\n" +
                         std::string(extra)));
    Put(root, u"conf/extra/httpd-vhosts.conf", kVhosts);
    Put(root, u"conf/extra/httpd-ssl.conf",
        "Listen 443\n"
        "SSLSessionCache \"shmcb:logs/ssl_scache(512000)\"\n"
        "<VirtualHost _default_:443>\n"
        "    ServerName ssl-only.example.test\n"
        "    SSLEngine on\n"
        "    SSLCertificateFile \"conf/server.crt\"\n"
        "</VirtualHost>\n");
}

TEST(ApacheSites, UpstreamLayout) {
    TempDir root;
    LayOutUpstream(root);
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf");
    EXPECT_FALSE(d.httpdSslIncluded());
    EXPECT_TRUE(d.vhostsIncluded());
    EXPECT_FALSE(d.debianLayout());
    EXPECT_EQ(d.apacheVersion(), u"");
    // Hosts on other ports, names only in wildcards and hosts without a
    // name are no sites; a name's case and port do not count.
    EXPECT_EQ(d.Sites(), (Names{u"main.example.test", u"old.example.test", u"shop.example.test",
                                u"www.shop.example.test"}));
    EXPECT_EQ(d.configuredSiteNames(), (Names{u"old.example.test", u"shop.example.test"}));
    SiteInfo shop;
    ASSERT_TRUE(d.FindSiteByAddr(u"www.shop.example.test", shop));
    EXPECT_EQ(shop.siteDir, root / u"htdocs/shop/");
    EXPECT_EQ(shop.sitePort, 80);
    EXPECT_FALSE(shop.isHttps);
    SiteInfo old;
    ASSERT_TRUE(d.FindSiteByAddr(u"old.example.test", old));
    EXPECT_TRUE(old.isHttps);
    EXPECT_EQ(old.sitePort, 443);
    // Without a root of its own a site serves from the main server's.
    EXPECT_EQ(old.siteDir, root / u"htdocs/");
    EXPECT_EQ(d.mainSite().siteAddr, u"main.example.test");
    EXPECT_EQ(d.httpListenAddrs(), (Names{u"*"}));
    EXPECT_TRUE(d.httpsListenAddrs().empty());
    EXPECT_EQ(d.UsedCertFiles(), (Names{u"SSLCertificateFile \"conf/old.crt\"",
                                        u"SSLCertificateKeyFile \"conf/old.key\""}));
    // The default host of port 80 is the first one on it.
    const ApacheVirtualHost* def = d.DefaultHost(u"127.0.0.1", 80);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->addresses.front(), u"_default_:80");
}

TEST(ApacheSites, IncludesInsideIfDefineCountOnlyWhenDefined) {
    TempDir root;
    LayOutUpstream(root);
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf", {u"SSL"});
    EXPECT_TRUE(d.httpdSslIncluded());
    const Names sites = d.Sites();
    EXPECT_NE(std::find(sites.begin(), sites.end(), u"ssl-only.example.test"), sites.end());
    EXPECT_EQ(d.httpsListenAddrs(), (Names{u"*"}));
    // A Define in the configuration counts as well.
    LayOutUpstream(root);
    Put(root, u"conf/httpd.conf", "Define SSL\n" + test::Get(root, u"conf/httpd.conf"));
    ApacheUnderTest defined;
    defined.Use(root.path(), root / u"conf/httpd.conf");
    EXPECT_TRUE(defined.httpdSslIncluded());
}

TEST(ApacheSites, MainServerRootAndVersion) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        "Listen 80\n"
        "Listen 8080\n"
        "Include conf/extra/httpd-vhosts.conf\n");
    Put(root, u"conf/extra/httpd-vhosts.conf",
        "<VirtualHost 192.0.2.1:80>\n    ServerName a.example.test\n"
        "    DocumentRoot " +
            kSrv +
            "/a\n</VirtualHost>\n"
            "<VirtualHost localhost:80>\n    ServerName b.example.test\n</VirtualHost>\n");
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf");
    EXPECT_EQ(d.apacheVersion(), u"2.0");  // no conf/extra/httpd-ssl.conf
    d.Sites();
    // The main server has no name and no root: "localhost", and the root of
    // the first site that has one, which sites without one take too.
    EXPECT_EQ(d.mainSite().siteAddr, u"localhost");
    const std::u16string firstRoot = NativeSeparators(WideFromUtf8(kSrv + "/a/"));
    EXPECT_EQ(d.mainSite().siteDir, firstRoot);
    SiteInfo b;
    ASSERT_TRUE(d.FindSiteByAddr(u"b.example.test", b));
    EXPECT_EQ(b.siteDir, firstRoot);
    EXPECT_EQ(b.siteIP, u"localhost");
    SiteInfo a;
    ASSERT_TRUE(d.FindSiteByAddr(u"a.example.test", a));
    EXPECT_EQ(a.siteIP, u"192.0.2.1");
    // Listen 8080 is not a line for port 80.
    EXPECT_EQ(d.httpListenAddrs(), (Names{u"*"}));
}

TEST(ApacheSites, DebianLayoutIsRecognised) {
    TempDir root;
    Put(root, u"apache2.conf",
        "IncludeOptional mods-enabled/*.load\n"
        "IncludeOptional mods-enabled/*.conf\n"
        "Include ports.conf\n"
        "IncludeOptional sites-enabled/*.conf\n");
    Put(root, u"ports.conf", "Listen 80\n<IfModule ssl_module>\n\tListen 443\n</IfModule>\n");
    Put(root, u"mods-available/ssl.load", "LoadModule ssl_module /nonexistent/mod_ssl.so\n");
    Put(root, u"mods-enabled/.keep", "");
    Put(root, u"sites-available/shop.conf",
        "<VirtualHost *:80>\n\tServerName shop.example.test\n\tDocumentRoot /var/www/shop\n"
        "</VirtualHost>\n");
    Put(root, u"sites-enabled/shop.conf", test::Get(root, u"sites-available/shop.conf"));
    ApacheUnderTest d;
    d.Use(root.path(), root / u"apache2.conf");
    EXPECT_TRUE(d.debianLayout());
    EXPECT_EQ(d.Sites(), (Names{u"localhost", u"shop.example.test"}));
    // Listen 443 waits for mod_ssl.
    EXPECT_TRUE(d.httpsListenAddrs().empty());
}

TEST(ApacheSites, SingleTextsSplitIntoHosts) {
    ApacheUnderTest d;
    const std::u16string text =
        u"#<VirtualHost *:80>\n"
        u"<VirtualHost *:80>\n ServerName a\n ServerAlias b c\n</VirtualHost>\n"
        u"  <VirtualHost *:443>\n ServerName d\n SSLCertificateFile x\n</VirtualHost>";
    std::vector<SiteNode> nodes;
    d.GetSiteNodesPosRange(text, nodes);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(text.substr(nodes[0].start, 18), u"<VirtualHost *:80>");
    EXPECT_EQ(nodes[1].end, text.size());
}

}  // namespace
}  // namespace qm
