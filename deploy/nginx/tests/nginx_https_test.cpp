// The HTTPS edits: listen lines, HTTPS copies and rewritten blocks, new
// blocks for typed domains, the hash bucket size, certificate names.
#include <gtest/gtest.h>

#include "deploy/nginx/tests/nginx_test_support.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::FixedResolver;
using test::NginxUnderTest;
using Names = std::map<std::string, std::vector<std::string>>;

const std::u16string kCert = u"/opt/nginx/conf/sslcert/shop.example.test.crt";
const std::u16string kKey = u"/opt/nginx/conf/sslcert/shop.example.test.key";
const std::u16string kCiphers(SslCertSrvNginx::kCiphers);

// The lines every copied or new HTTPS block ends with.
std::u16string Tls() {
    return u"\t\tssl_certificate\t \"" + kCert + u"\";\n" +     //
           u"\t\tssl_certificate_key\t \"" + kKey + u"\";\n" +  //
           u"\t\tssl_session_timeout\t 5m;\n" +                 //
           u"\t\tssl_protocols\t TLSv1.2 TLSv1.3;\n" +          //
           u"\t\tssl_ciphers\t " + kCiphers + u";\n" +          //
           u"\t\tssl_prefer_server_ciphers\t on;\n";
}

class NginxHttpsTest : public ::testing::Test {
protected:
    NginxUnderTest d;
    void SetUp() override {
        d.SetPorts(80, 443);
        d.SetCertFiles(kCert, kKey);
    }
    std::u16string HttpsPort(std::u16string block) {
        d.ConfigSiteNodeHttpsPort(block);
        return block;
    }
};

TEST_F(NginxHttpsTest, ListenLinesForTheHttpsPort) {
    // The HTTP port's line becomes the HTTPS port's, its address and
    // parameters kept (nothing else listens there with them).
    EXPECT_EQ(HttpsPort(u"  listen 10.1.2.3:80 default_server;\n  root html;"),
              u"  listen 10.1.2.3:443 default_server ssl;\n  root html;");
    EXPECT_EQ(HttpsPort(u"  listen 80;"), u"  listen 443 ssl;");
    // Every one of them, IPv6 and address forms alike.
    EXPECT_EQ(HttpsPort(u"  listen 80 reuseport;\n  listen [::]:80;\n  listen 127.0.0.1;"),
              u"  listen 443 reuseport ssl;\n  listen [::]:443 ssl;\n  listen 127.0.0.1:443 ssl;");
    // An HTTPS port line gets the ssl parameter unless it has it already; a
    // copy does not answer HTTP where it already listens for HTTPS.
    EXPECT_EQ(HttpsPort(u"  listen 443;\n  listen 80;\n  listen [::]:80;"),
              u"  listen 443 ssl;\n  listen [::]:443 ssl;");
    EXPECT_EQ(HttpsPort(u"  listen [::]:443 default_server;"),
              u"  listen [::]:443 default_server ssl;");
    EXPECT_EQ(HttpsPort(u"  listen 443 ssl;"), u"  listen 443 ssl;");
    EXPECT_EQ(HttpsPort(u"  listen 443 ssl http2;"), u"  listen 443 ssl http2;");
    // Parameters over two lines: ssl goes before the ";" that ends them;
    // a line that has no ";" at all gets it at its end, before a comment.
    EXPECT_EQ(HttpsPort(u"  listen 443\n      default_server;"),
              u"  listen 443\n      default_server ssl;");
    EXPECT_EQ(HttpsPort(u"  listen 443 # main site\n      ;"),
              u"  listen 443 ssl # main site\n      ;");
    // Other ports, and ports that only contain the number, stay.
    EXPECT_EQ(HttpsPort(u"  listen 8080;"), u"  listen 8080;");
    EXPECT_EQ(HttpsPort(u"  listen 4430;"), u"  listen 4430;");
}

TEST_F(NginxHttpsTest, HttpBlockBecomesAnHttpsCopy) {
    const std::u16string block =
        u"    server {\n"
        u"        listen 127.0.0.1:80 default_server;\n"
        u"        server_name shop.example.test;\n"
        u"    }";
    EXPECT_EQ(d.CreateHttpsSiteNode(block),
              u"\n    server {\n"
              u"        listen 127.0.0.1:443 default_server ssl;\n"
              u"        server_name shop.example.test;\n"
              u"    \n" +
                  Tls() + u"}\n");
}

TEST_F(NginxHttpsTest, HttpsBlockIsRewrittenInPlace) {
    const std::u16string block =
        u"    server {\n"
        u"        listen 443;\n"
        u"        server_name old.example.test;\n"
        u"        ssl_certificate     old.crt;\n"
        u"        ssl_certificate_key old.key;\n"
        u"        ssl_protocols TLSv1 TLSv1.1;\n"
        u"        ssl_ciphers RC4-SHA;\n"
        u"    }";
    EXPECT_EQ(d.CreateHttpsSiteNode(block),
              u"    server {\n"
              u"        listen 443 ssl;\n"
              u"        server_name old.example.test;\n"
              u"\t\tssl_certificate \"" +
                  kCert + u"\";\n\t\tssl_certificate_key \"" + kKey +
                  u"\";\n"
                  // the blank line the protocols line leaves is taken by the
                  // match of the ciphers line, which starts there
                  u"\t\tssl_protocols\t TLSv1.2 TLSv1.3;\n"
                  u"\t\tssl_ciphers\t " +
                  kCiphers + u";\n\n    }");

    // Missing protocol and cipher lines follow the key line.
    EXPECT_EQ(d.CreateHttpsSiteNode(u"server {\n  listen 443 ssl;\n  ssl_certificate a.crt;\n"
                                    u"  ssl_certificate_key a.key;\n  root html;\n}"),
              u"server {\n  listen 443 ssl;\n\t\tssl_certificate \"" + kCert +
                  u"\";\n\t\tssl_certificate_key \"" + kKey +
                  u"\";\n\t\tssl_protocols\t TLSv1.2 TLSv1.3;\n\t\tssl_ciphers\t " + kCiphers +
                  u";\n  root html;\n}");
}

TEST_F(NginxHttpsTest, ServerNamesAreAddedAsWholeWords) {
    std::u16string block = u"  server_name shop.example.test;\n  listen 80;";
    NginxUnderTest::AddServerName(block, u"www.shop.example.test");
    EXPECT_EQ(block, u"  server_name shop.example.test www.shop.example.test;\n  listen 80;");
    NginxUnderTest::AddServerName(block, u"www.shop.example.test");
    NginxUnderTest::AddServerName(block, u"shop.example.test");
    EXPECT_EQ(block, u"  server_name shop.example.test www.shop.example.test;\n  listen 80;");

    std::u16string www = u"  server_name www.shop.example.test;";
    NginxUnderTest::AddServerName(www, u"shop.example.test");
    EXPECT_EQ(www, u"  server_name www.shop.example.test shop.example.test;");
}

TEST_F(NginxHttpsTest, NewBlockBorrowsANonLoopbackDefaultAddress) {
    FixedResolver names(
        Names{{"new.example.test", {"10.0.0.1"}}, {"a.example.test", {"10.0.0.1"}}});
    d.SetDefaults(u"html", u"index.html index.htm");
    d.SetDefaultSites({{u"a.example.test", u"/x/", 80, false, u"10.0.0.1"}});
    EXPECT_EQ(d.BuildHttpsServerBlock(u"new.example.test"),
              u"\n\tserver{\n"
              u"\t\tlisten 10.0.0.1:443 ssl;\n"
              u"\t\tserver_name new.example.test;\n"
              u"\t\tlocation / {\n"
              u"\t\t\troot html;\n"
              u"\t\t\tindex index.html index.htm;\n"
              u"\t\t}\n" +
                  Tls() + u"\t}\n");

    d.SetDefaults(u"", u"");
    d.SetDefaultSites({{u"a.example.test", u"/x/", 80, false, u"127.0.0.1"}});
    EXPECT_EQ(d.BuildHttpsServerBlock(u"new.example.test"),
              u"\n\tserver{\n\t\tlisten 443 ssl;\n\t\tserver_name new.example.test;\n" + Tls() +
                  u"\t}\n");
    d.SetDefaultSites({{u"a.example.test", u"/x/", 80, false, u"localhost"}});
    EXPECT_EQ(d.ChooseListenAddress(u"new.example.test"), u"");
}

TEST_F(NginxHttpsTest, LoopbackIsBorrowedOnlyByADomainOnLoopback) {
    FixedResolver names(Names{{"a.example.test", {"127.0.0.1"}},
                              {"b.example.test", {"10.0.0.2"}},
                              {"local.example.test", {"127.0.0.1"}}});
    d.SetDefaultSites({{u"a.example.test", u"/x/", 80, false, u"127.0.0.1"}});
    d.SetSites({{u"b.example.test", u"/x/", 80, false, u"10.0.0.2"}});
    EXPECT_EQ(d.ChooseListenAddress(u"local.example.test"), u"127.0.0.1");
    // Not the same address as the default site: the sites are asked next.
    EXPECT_EQ(d.ChooseListenAddress(u"b.example.test"), u"10.0.0.2");
    EXPECT_EQ(d.ChooseListenAddress(u"unknown.example.test"), u"");
}

TEST_F(NginxHttpsTest, TypedDomainsGetABlockInsideTheHttpBlock) {
    FixedResolver names(
        Names{{"a.example.test", {"10.0.0.1"}}, {"new.example.test", {"10.0.0.2"}}});
    const std::u16string http = u"http {\n    server {\n        listen 80;\n    }\n";
    const std::u16string rest = u"}\nstream {\n    server {\n        listen 12345;\n    }\n}\n";
    d.SetConfText(http + rest);
    d.SetSites({{u"a.example.test", u"/x/", 80, false, u""}});
    d.SetInputDomains({u"new.example.test", u"a.example.test"});
    d.ConfigInputSite();
    const std::u16string block =
        u"\n\tserver{\n\t\tlisten 443 ssl;\n\t\tserver_name new.example.test;\n" + Tls() + u"\t}\n";
    EXPECT_EQ(d.configuration().File(0).text, http + block + rest);
    ASSERT_EQ(d.sites().size(), 2u);
    EXPECT_EQ(d.sites()[1], (SiteInfo{u"new.example.test", u"", 443, true, u""}));

    // Without an http block: before the last brace that begins a line.
    d.SetConfText(u"server {\n  listen 80;\n}\n# end\n");
    d.SetSites({{u"a.example.test", u"/x/", 80, false, u""}});
    d.SetInputDomains({u"new.example.test"});
    d.ConfigInputSite();
    EXPECT_EQ(d.configuration().File(0).text, u"server {\n  listen 80;\n" + block + u"}\n# end\n");
}

TEST_F(NginxHttpsTest, TypedDomainsAreRefusedWhenSitesHaveSeveralRoots) {
    FixedResolver names(Names{{"a.example.test", {"10.0.0.1"}},
                              {"www.a.example.test", {"10.0.0.1"}},
                              {"b.example.test", {"10.0.0.1"}},
                              {"c.example.test", {"10.0.0.3"}},
                              {"www.c.example.test", {"10.0.0.4"}}});
    const std::vector<SiteInfo> oneRoot = {{u"a.example.test", u"/x/", 80, false, u""},
                                           {u"b.example.test", u"/x/", 80, false, u""}};
    const std::vector<SiteInfo> twoRoots = {{u"a.example.test", u"/x/", 80, false, u""},
                                            {u"b.example.test", u"/y/", 80, false, u""},
                                            {u"c.example.test", u"/z/", 80, false, u""}};
    d.SetSites(oneRoot);
    d.SetInputDomains({u"anything.example.test"});
    EXPECT_TRUE(d.AcceptsUserDomains());

    d.SetSites(twoRoots);
    d.SetInputDomains({u"www.a.example.test", u"b.example.test"});
    EXPECT_TRUE(d.AcceptsUserDomains());  // the twin of a configured site, same address
    d.SetInputDomains({u"www.c.example.test"});
    EXPECT_FALSE(d.AcceptsUserDomains());  // twin configured, but another address
    d.SetInputDomains({u"www.b2.example.test"});
    EXPECT_FALSE(d.AcceptsUserDomains());  // twin not configured

    d.SetConfText(u"http {\n}\n");
    try {
        d.ConfigInputSite();
        FAIL() << "must refuse";
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsResult(e, result::kMoreThanOneSiteDir)) << e.what();
    }
    EXPECT_EQ(d.configuration().File(0).text, u"http {\n}\n");
}

TEST(NginxHashBucket, ReplacedBelow128OrInsertedIntoTheHttpBlock) {
    std::u16string text = u"http {\n    server_names_hash_bucket_size 64;\n    server {\n}\n}\n";
    SslCertSrvNginx::SetServerNamesHashBucketSize(text);
    EXPECT_EQ(text, u"http {\n\t\tserver_names_hash_bucket_size 128;\n    server {\n}\n}\n");

    text = u"http {\n    server_names_hash_bucket_size 256;\n}\n";
    SslCertSrvNginx::SetServerNamesHashBucketSize(text);
    EXPECT_EQ(text, u"http {\n    server_names_hash_bucket_size 256;\n}\n");

    text = u"events {}\n#http {\nhttp\n{\n    server {\n    }\n}\n";
    SslCertSrvNginx::SetServerNamesHashBucketSize(text);
    EXPECT_EQ(text,
              u"events {}\n#http {\nhttp\n{\n\t\tserver_names_hash_bucket_size 128;\n"
              u"    server {\n    }\n}\n");

    text = u"events {}\n";
    SslCertSrvNginx::SetServerNamesHashBucketSize(text);
    EXPECT_EQ(text, u"events {}\n");
}

TEST(NginxCertName, CertificatesInUseAreNeverOverwritten) {
    NginxUnderTest d;
    d.SetCertName(u"shop.example.test");
    d.SetUsedCertFiles({u"ssl_certificate \"/x/other.example.test.crt\";"});
    d.MakeUniqueCertName();
    EXPECT_EQ(d.certName(), u"shop.example.test");

    d.SetUsedCertFiles({u"  ssl_certificate \"/x/shop.example.test.crt\";",
                        u"  ssl_certificate_key \"/x/shop.example.test(1).key\";"});
    d.MakeUniqueCertName();
    EXPECT_EQ(d.certName(), u"shop.example.test(2)");
}

class NginxConfigCertTest : public ::testing::Test {
protected:
    test::TempDir dir;
    NginxUnderTest d;
    std::u16string original;

    void Load(const std::u16string& text, std::vector<std::u16string> domains) {
        original = text;
        ASSERT_TRUE(MakeDirectoryTree(dir / u"conf"));
        test::WriteAll(dir / u"conf/nginx.conf", Utf8FromWide(text));
        d.SetRoot(dir.path());
        d.SetPorts(80, 443);
        d.SetCertFiles(kCert, kKey);
        std::vector<std::u16string> names;
        d.GetSitesInfo(names);
        d.SetInputDomains(std::move(domains));
    }
    // The file in LF form: on Windows text files are written in text mode (CR LF).
    std::u16string Written() {
        std::string bytes = test::ReadAll(dir / u"conf/nginx.conf");
#ifdef _WIN32
        bytes = WithoutCrLf(bytes);
#endif
        return WideFromUtf8(bytes);
    }
};

const std::u16string kShop =
    u"    server {\n"
    u"        listen 127.0.0.1:80;\n"
    u"        server_name shop.example.test www.shop.example.test;\n"
    u"        root html;\n"
    u"    }";
const std::u16string kBothHttp =
    u"    server {\n"
    u"        listen 80;\n"
    u"        server_name both.example.test;\n"
    u"    }";
const std::u16string kBothHttps =
    u"    server {\n"
    u"        listen 443 ssl;\n"
    u"        server_name both.example.test;\n"
    u"        ssl_certificate both.crt;\n"
    u"        ssl_certificate_key both.key;\n"
    u"    }";
const std::u16string kConf = u"http {\n" + kShop + u"\n" + kBothHttp + u"\n" + kBothHttps +
                             u"\n    # server { listen 80; }\n}\n";
const std::u16string kBucket = u"\n\t\tserver_names_hash_bucket_size 128;";

TEST_F(NginxConfigCertTest, HttpSiteGetsACopyOnItsResolvedAddress) {
    FixedResolver names(Names{{"shop.example.test", {"10.0.0.7"}},
                              {"www.shop.example.test", {"10.0.0.7"}},
                              {"both.example.test", {"10.0.0.8"}}});
    Load(kConf, {u"shop.example.test"});
    d.ConfigCert();
    const std::u16string copy =
        u"\n    server {\n"
        u"        listen 10.0.0.7:443 ssl;\n"
        u"        server_name shop.example.test www.shop.example.test;\n"
        u"        root html;\n"
        u"    \n" +
        Tls() + u"}\n";
    EXPECT_EQ(Written(), u"http {" + kBucket + u"\n" + kShop + copy + u"\n" + kBothHttp + u"\n" +
                             kBothHttps + u"\n    # server { listen 80; }\n}\n");
}

TEST_F(NginxConfigCertTest, OnlyTheHttpsBlockOfADomainChanges) {
    FixedResolver names(Names{{"both.example.test", {"10.0.0.8"}}});
    Load(kConf, {u"both.example.test"});
    d.ConfigCert();
    const std::u16string https =
        u"    server {\n"
        u"        listen 443 ssl;\n"
        u"        server_name both.example.test;\n"
        u"\t\tssl_certificate \"" +
        kCert + u"\";\n\t\tssl_certificate_key \"" + kKey +
        u"\";\n\t\tssl_protocols\t TLSv1.2 TLSv1.3;\n\t\tssl_ciphers\t " + kCiphers + u";\n    }";
    EXPECT_EQ(Written(), u"http {" + kBucket + u"\n" + kShop + u"\n" + kBothHttp + u"\n" + https +
                             u"\n    # server { listen 80; }\n}\n");
    // Deployed again, the block is rewritten in place again: still one
    // HTTPS block, one bucket size line.
    d.ConfigCert();
    const std::u16string again = Written();
    auto count = [&](std::u16string_view what) {
        size_t n = 0;
        for (size_t at = again.find(what); at != std::u16string::npos;
             at = again.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(u"server_name both.example.test;"), 2u);
    EXPECT_EQ(count(u"ssl_certificate \""), 1u);
    EXPECT_EQ(count(u"server_names_hash_bucket_size"), 1u);
    EXPECT_EQ(count(u"ssl_protocols"), 1u);
}

TEST_F(NginxConfigCertTest, LoopbackStaysWhenTheDomainDoesNotResolve) {
    FixedResolver names(Names{});
    Load(kConf, {u"shop.example.test"});
    d.ConfigCert();
    EXPECT_NE(Written().find(u"listen 127.0.0.1:443 ssl;"), std::u16string::npos);
}

TEST_F(NginxConfigCertTest, RefusedTypedDomainLeavesTheFileAlone) {
    FixedResolver names(
        Names{{"shop.example.test", {"10.0.0.7"}}, {"both.example.test", {"10.0.0.8"}}});
    // Two document roots: a typed domain no block serves is refused.
    const std::u16string conf = u"http {\n" + kShop +
                                u"\n    server {\n        listen 80;\n"
                                u"        server_name both.example.test;\n"
                                u"        root /srv/both;\n    }\n}\n";
    Load(conf, {u"elsewhere.example.test"});
    try {
        d.ConfigCert();
        FAIL() << "must refuse";
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsResult(e, result::kMoreThanOneSiteDir)) << e.what();
    }
    EXPECT_EQ(Written(), conf);
}

}  // namespace
}  // namespace qm
