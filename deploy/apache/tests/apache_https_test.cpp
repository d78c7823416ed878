// The HTTPS edits on installations in temporary folders: mod_ssl, Listen,
// HTTPS copies and rewritten HTTPS hosts, new hosts, the layouts' ways of
// enabling things, and bytes outside the edits left alone.
#include <gtest/gtest.h>

#include <filesystem>

#include "deploy/apache/tests/apache_test_support.h"
#include "foundation/results.h"
#include "tests/support/platform_skip.h"
#include "tests/support/result_of.h"

namespace qm {
namespace {

using test::ApacheUnderTest;
using test::Get;
using test::Put;
using test::TempDir;
using test::UpstreamConf;

const char kShop[] =
    "# the shop\n"
    "<VirtualHost *:80 [::]:80>\n"
    "    ServerName shop.example.test\n"
    "    ServerAlias www.shop.example.test\n"
    "    DocumentRoot \"htdocs/shop\"\n"
    "    <Directory \"htdocs/shop\">\n"
    "        Require all granted\n"
    "    </Directory>\n"
    "</VirtualHost>\n";
const char kOld[] =
    "<VirtualHost *:443>\n"
    "\tServerName old.example.test\n"
    "\tSSLEngine on\n"
    "\tSSLCertificateFile \"conf/old.crt\"\n"
    "\tSSLCertificateKeyFile \"conf/old.key\"\n"
    "\tSSLProtocol all -SSLv3\n"
    "</VirtualHost>\n";

// Deploys for the domains on the installation (ConfigCert outside a
// deployment: nothing is recorded).
std::string Deploy(ApacheUnderTest& d, const TempDir& root, std::vector<std::u16string> domains,
                   const std::u16string& conf = u"conf/httpd.conf") {
    d.Use(root.path(), root / conf);
    d.SetPorts(80, 443);
    d.Sites();
    d.SetInputDomains(std::move(domains));
    d.SetCertificate(root / u"conf/sslcert/", u"shop.example.test");
    return test::ResultOf([&] { d.ConfigCert(); });
}

TEST(ApacheHttps, HttpHostGetsAnHttpsCopyAfterIt) {
    TempDir root;
    Put(root, u"conf/httpd.conf", UpstreamConf(root, "Include conf/extra/httpd-vhosts.conf\n"));
    Put(root, u"conf/extra/httpd-vhosts.conf", std::string(kShop) + kOld);
    ApacheUnderTest d;
    ASSERT_EQ(Deploy(d, root, {u"shop.example.test", u"www.shop.example.test"}), "succeed");

    const std::string conf = Get(root, u"conf/httpd.conf");
    // mod_ssl after the last active LoadModule line; the commented one stays.
    EXPECT_NE(conf.find("LoadModule dir_module modules/mod_dir.so\n"
                        "LoadModule ssl_module modules/mod_ssl.so\n"),
              std::string::npos);
    EXPECT_NE(conf.find("#LoadModule ssl_module modules/mod_ssl.so\n"), std::string::npos);
    EXPECT_NE(conf.find("Listen 80\nListen 443\n"), std::string::npos);

    const std::string vhosts = Get(root, u"conf/extra/httpd-vhosts.conf");
    // The HTTP host is unchanged and its copy follows it.
    ASSERT_EQ(vhosts.rfind(kShop, 0), 0u);
    const std::string copy = vhosts.substr(sizeof kShop - 1);
    const std::string cert = test::Escaped(root / u"conf/sslcert/shop.example.test");
    EXPECT_EQ(copy.substr(0, copy.find(kOld)),
              "\n<VirtualHost *:443 [::]:443>\n"
              "    ServerName shop.example.test\n"
              "    ServerAlias www.shop.example.test\n"
              "    DocumentRoot \"htdocs/shop\"\n"
              "    <Directory \"htdocs/shop\">\n"
              "        Require all granted\n"
              "    </Directory>\n"
              "    SSLEngine on\n"
              "    SSLProtocol -all +TLSv1.2 +TLSv1.3\n"
              "    SSLCipherSuite " +
                  Utf8FromWide(std::u16string(SslCertSrvApache::kCiphers)) +
                  "\n"
                  "    SSLHonorCipherOrder off\n"
                  "    SSLCertificateFile \"" +
                  cert + ".crt\"\n    SSLCertificateKeyFile \"" + cert +
                  ".key\"\n    SSLCertificateChainFile \"" + cert +
                  ".chain.crt\"\n"
                  "</VirtualHost>\n");
    // The HTTPS host of another name is untouched.
    EXPECT_NE(copy.find(kOld), std::string::npos);
    EXPECT_EQ(d.configuredSiteNames().size(), 2u);
}

TEST(ApacheHttps, HttpsHostIsRewrittenInPlace) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        UpstreamConf(root,
                     "LoadModule ssl_module modules/mod_ssl.so\nListen 443\n"
                     "Include conf/extra/httpd-vhosts.conf\n"));
    Put(root, u"conf/extra/httpd-vhosts.conf", std::string(kShop) + kOld);
    const std::string confBefore = Get(root, u"conf/httpd.conf");
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf");
    d.SetPorts(80, 443);
    d.Sites();
    d.SetInputDomains({u"old.example.test"});
    d.SetCertificate(root / u"conf/sslcert/", u"old.example.test");
    ASSERT_EQ(test::ResultOf([&] { d.ConfigCert(); }), "succeed");
    // mod_ssl is loaded and 443 is listened on: the main file stays.
    EXPECT_EQ(Get(root, u"conf/httpd.conf"), confBefore);
    const std::string cert = test::Escaped(root / u"conf/sslcert/old.example.test");
    EXPECT_EQ(Get(root, u"conf/extra/httpd-vhosts.conf"),
              std::string(kShop) +
                  "<VirtualHost *:443>\n"
                  "\tServerName old.example.test\n"
                  "\tSSLEngine on\n"
                  "\tSSLCertificateFile \"" +
                  cert + ".crt\"\n\tSSLCertificateKeyFile \"" + cert +
                  ".key\"\n"
                  "\tSSLProtocol -all +TLSv1.2 +TLSv1.3\n"
                  "\tSSLCipherSuite " +
                  Utf8FromWide(std::u16string(SslCertSrvApache::kCiphers)) +
                  "\n"
                  "\tSSLHonorCipherOrder off\n"
                  "\tSSLCertificateChainFile \"" +
                  cert + ".chain.crt\"\n</VirtualHost>\n");
}

TEST(ApacheHttps, InsertedLinesUseTheFilesLineEnds) {
    TempDir root;
    Put(root, u"conf/httpd.conf", UpstreamConf(root, "Include conf/extra/httpd-vhosts.conf\n"));
    std::string crlf;
    for (char c : std::string(kShop)) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    crlf.pop_back();
    crlf.pop_back();  // and no line end after the last line
    Put(root, u"conf/extra/httpd-vhosts.conf", crlf);
    ApacheUnderTest d;
    ASSERT_EQ(Deploy(d, root, {u"shop.example.test"}), "succeed");
    std::string vhosts;  // as on disk
    ReadFileBytes(root / u"conf/extra/httpd-vhosts.conf", vhosts);
    EXPECT_EQ(vhosts.rfind(crlf, 0), 0u);
    EXPECT_NE(vhosts.find("\r\n<VirtualHost *:443 [::]:443>\r\n"), std::string::npos);
    for (size_t i = 0; i < vhosts.size(); ++i) {
        if (vhosts[i] == '\n') {
            ASSERT_EQ(vhosts[i - 1], '\r') << "at " << i;
        }
    }
}

TEST(ApacheHttps, TypedDomainGetsANewHostInTheVhostsFile) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        "Listen 80\n"
        "LoadModule mime_module modules/mod_mime.so\n"
        "DocumentRoot \"" +
            test::ConfPath(root.path()) +
            "htdocs\"\n"
            "Include conf/extra/httpd-vhosts.conf\n");
    Put(root, u"conf/extra/httpd-vhosts.conf",
        "<VirtualHost *:80>\n    ServerName shop.example.test\n</VirtualHost>");
    ApacheUnderTest d;
    ASSERT_EQ(Deploy(d, root, {u"new.example.test"}), "succeed");
    const std::string vhosts = Get(root, u"conf/extra/httpd-vhosts.conf");
    const std::string cert = test::Escaped(root / u"conf/sslcert/shop.example.test");
    // The main server's root, in forward slashes, without a trailing one.
    EXPECT_NE(vhosts.find("</VirtualHost>\n\n<VirtualHost *:443>\n"
                          "\tServerName new.example.test\n"
                          "\tDocumentRoot \"" +
                          test::ConfPath(root.path()) + "htdocs\"\n\tSSLEngine on\n"),
              std::string::npos)
        << vhosts;
    EXPECT_NE(vhosts.find("\tSSLCertificateFile \"" + cert + ".crt\"\n"), std::string::npos);
    EXPECT_EQ(vhosts.substr(vhosts.size() - 15), "</VirtualHost>\n");
}

TEST(ApacheHttps, SessionCacheOfTheSslFiles) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        UpstreamConf(root, "<IfDefine SSL>\nInclude conf/extra/httpd-ssl.conf\n</IfDefine>\n"));
    Put(root, u"conf/extra/httpd-ssl.conf",
        "Listen 443\n  SSLSessionCache \"shmcb:logs/ssl_scache(512000)\"\n"
        "SSLSessionCacheTimeout 300\n");
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf", {u"SSL"});
    d.SetPorts(80, 443);
    d.Sites();
    d.SetInputDomains({u"main.example.test"});
    d.SetCertificate(root / u"conf/sslcert/", u"main");
    ASSERT_EQ(test::ResultOf([&] { d.ConfigCert(); }), "succeed");
    EXPECT_EQ(Get(root, u"conf/extra/httpd-ssl.conf"),
              "Listen 443\n  SSLSessionCache nonenotnull\nSSLSessionCacheTimeout 300\n");

    // Without httpd-ssl.conf (the old layout) an included ssl.conf gets "none".
    TempDir old;
    Put(old, u"conf/httpd.conf", UpstreamConf(old, "Include conf/ssl.conf\n"));
    Put(old, u"conf/ssl.conf", "Listen 443\nSSLSessionCache dbm:logs/ssl_scache\n");
    ApacheUnderTest o;
    o.Use(old.path(), old / u"conf/httpd.conf");
    o.SetPorts(80, 443);
    o.Sites();
    o.SetInputDomains({u"main.example.test"});
    o.SetCertificate(old / u"conf/sslcert/", u"main");
    ASSERT_EQ(test::ResultOf([&] { o.ConfigCert(); }), "succeed");
    EXPECT_EQ(Get(old, u"conf/ssl.conf"), "Listen 443\nSSLSessionCache none\n");
}

TEST(ApacheHttps, CertificateNamesInUseAreSkipped) {
    TempDir root;
    Put(root, u"conf/httpd.conf",
        UpstreamConf(root,
                     "<VirtualHost *:443>\n ServerName a.test\n"
                     " SSLCertificateFile conf/sslcert/shop.example.test.crt\n"
                     " SSLCertificateKeyFile conf/sslcert/shop.example.test(1).key\n"
                     "</VirtualHost>\n"));
    ApacheUnderTest d;
    d.Use(root.path(), root / u"conf/httpd.conf");
    d.Sites();
    d.SetCertName(u"shop.example.test");
    d.MakeUniqueCertName();
    EXPECT_EQ(d.certName(), u"shop.example.test(2)");
}

TEST(ApacheHttps, DebianLayoutEnablesByLinks) {
    TempDir root;
    QM_NEEDS_SYMBOLIC_LINKS(FsPath(root.path()));
    Put(root, u"apache2.conf",
        "IncludeOptional mods-enabled/*.load\n"
        "IncludeOptional mods-enabled/*.conf\n"
        "Include ports.conf\n"
        "IncludeOptional sites-enabled/*.conf\n");
    Put(root, u"ports.conf", "Listen 80\n<IfModule ssl_module>\n\tListen 443\n</IfModule>\n");
    Put(root, u"mods-available/ssl.load",
        "# Depends: setenvif mime socache_shmcb\nLoadModule ssl_module /x/mod_ssl.so\n");
    Put(root, u"mods-available/ssl.conf", "<IfModule mod_ssl.c>\nSSLProtocol all\n</IfModule>\n");
    Put(root, u"mods-available/mime.load", "LoadModule mime_module /x/mod_mime.so\n");
    Put(root, u"mods-available/setenvif.load", "LoadModule setenvif_module /x/mod_setenvif.so\n");
    Put(root, u"mods-available/socache_shmcb.load", "LoadModule socache_shmcb_module /x/m.so\n");
    namespace fs = std::filesystem;
    fs::create_directories(FsPath(root / u"mods-enabled"));
    fs::create_symlink("../mods-available/mime.load", FsPath(root / u"mods-enabled/mime.load"));
    Put(root, u"sites-available/shop.conf",
        "<VirtualHost *:80>\n\tServerName shop.example.test\n\tDocumentRoot /var/www/shop\n"
        "</VirtualHost>\n");
    fs::create_directories(FsPath(root / u"sites-enabled"));
    fs::create_symlink("../sites-available/shop.conf", FsPath(root / u"sites-enabled/shop.conf"));
    const std::string ports = Get(root, u"ports.conf");

    ApacheUnderTest d;
    ASSERT_EQ(Deploy(d, root, {u"shop.example.test", u"new.example.test"}, u"apache2.conf"),
              "succeed");
    auto link = [&](std::u16string_view relative) {
        std::error_code ec;
        return fs::read_symlink(FsPath(root / std::u16string(relative)), ec).string();
    };
    EXPECT_EQ(link(u"mods-enabled/ssl.load"), "../mods-available/ssl.load");
    EXPECT_EQ(link(u"mods-enabled/ssl.conf"), "../mods-available/ssl.conf");
    EXPECT_EQ(link(u"mods-enabled/setenvif.load"), "../mods-available/setenvif.load");
    EXPECT_EQ(link(u"mods-enabled/socache_shmcb.load"), "../mods-available/socache_shmcb.load");
    // Listen 443 of ports.conf counts once mod_ssl is there.
    EXPECT_EQ(Get(root, u"ports.conf"), ports);
    // The site is edited through its link, which stays a link.
    EXPECT_EQ(link(u"sites-enabled/shop.conf"), "../sites-available/shop.conf");
    EXPECT_NE(Get(root, u"sites-available/shop.conf").find("<VirtualHost *:443>"),
              std::string::npos);
    // A typed domain gets a site of its own, enabled by a link.
    EXPECT_EQ(link(u"sites-enabled/new.example.test-ssl.conf"),
              "../sites-available/new.example.test-ssl.conf");
    const std::string site = Get(root, u"sites-available/new.example.test-ssl.conf");
    EXPECT_EQ(site.rfind("<VirtualHost *:443>\n\tServerName new.example.test\n"
                         "\tDocumentRoot \"/var/www/shop\"\n",
                         0),
              0u)
        << site;
}

}  // namespace
}  // namespace qm
