// Server.xml edits on a table of variants: a new HTTPS connector in the
// form the version takes, existing connectors updated in their own form,
// typed domains as hosts or aliases, the file's line ends and every other
// byte kept.
#include <gtest/gtest.h>

#include <filesystem>

#include "deploy/tomcat/sslcertsrvtomcat.h"
#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

class TomcatUnderTest : public SslCertSrvTomcat {
public:
    void Use(const std::u16string& base) { UseInstallation(base, base); }
    void SetPorts(int32_t http, int32_t https) {
        httpPort_ = http;
        httpsPort_ = https;
    }
    // As GetCertificate leaves it.
    void SetKeyStore(const std::u16string& path, std::string password, bool newForm = true) {
        pfxFilePath_ = path;
        pfxPassword_ = std::move(password);
        sslHostConfigForm_ = newForm;
        protocolsAttrName_ = newForm ? u"sslEnabledProtocols" : u"sslProtocols";
        pemCertPath_ = u"/new/c.crt";
        pemKeyPath_ = u"/new/c.key";
    }
    void Select(std::vector<std::u16string> names) {
        selectedSites_.clear();
        for (auto& name : names)
            selectedSites_.push_back(SiteInfo{name, u"", 80, false, u""});
    }
    std::vector<std::u16string> Sites() {
        std::vector<std::u16string> names;
        GetSitesInfo(names);
        return names;
    }
    using SslCertSrvTomcat::AddInputSites;
    using SslCertSrvTomcat::SaveServerXml;
};

const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- a server -->\n"
    "<Server port=\"-1\" shutdown=\"SHUTDOWN\">\n"
    "  <Service name=\"Catalina\">\n"
    "    <Connector port=\"80\" protocol=\"HTTP/1.1\"\n"
    "               connectionTimeout=\"20000\" redirectPort=\"443\" />\n";

// An absolute folder as server.xml on this host writes it ("/srv" names no
// drive on Windows).
#ifdef _WIN32
#define QM_SHOP_APP_BASE "C:/srv/shop"
#else
#define QM_SHOP_APP_BASE "/srv/shop"
#endif
const char kEngine[] =
    "    <Engine name=\"Catalina\" defaultHost=\"localhost\">\n"
    "      <Host name=\"localhost\" appBase=\"webapps\">\n"
    "        <Valve className=\"org.apache.catalina.valves.AccessLogValve\" />\n"
    "      </Host>\n"
    "      <Host name=\" shop.example.test \" appBase=\"" QM_SHOP_APP_BASE
    "\">\n"
    "        <Alias>www.shop.example.test</Alias>\n"
    "      </Host>\n"
    "      <Host name=\"\" appBase=\"none\"/>\n"
    "    </Engine>\n"
    "  </Service>\n";
const char kTail[] = "</Server>\n";

struct Fixture {
    test::TempDir base;
    TomcatUnderTest d;
    std::string original;

    explicit Fixture(const std::string& xml, bool crlf = false) {
        original = xml;
        if (crlf) {
            original.clear();
            for (char c : xml) {
                if (c == '\n')
                    original += '\r';
                original += c;
            }
        }
        MakeDirectoryTree(base / u"conf");
        test::WriteAll(base / u"conf/Server.XML", original);
        d.Use(base.path());
        d.SetPorts(80, 443);
        d.SetKeyStore(base / u"conf/sslcert/shop.pfx", "s3cret&\"x");
    }
    std::string Saved() {
        d.SaveServerXml();
        std::string text;
        ReadFileBytes(d.serverXmlPath(), text);
        return text;
    }
};

// The text with the first run of `added` removed gives the original.
void ExpectOnlyAdded(const std::string& original, const std::string& saved,
                     const std::string& added) {
    const size_t at = saved.find(added);
    ASSERT_NE(at, std::string::npos) << saved;
    EXPECT_EQ(saved.substr(0, at) + saved.substr(at + added.size()), original);
}

TEST(TomcatConfig, SitesFromHostsAndAliases) {
    Fixture f(std::string(kHead) + kEngine + kTail);
    EXPECT_EQ(f.d.Sites(), (std::vector<std::u16string>{u"localhost", u"shop.example.test",
                                                        u"www.shop.example.test"}));
    SiteInfo shop;
    ASSERT_TRUE(f.d.FindSiteByAddr(u"www.shop.example.test", shop));
    // An absolute appBase stands as it is; a relative one is below the base.
    EXPECT_EQ(shop.siteDir, NativeSeparators(u"" QM_SHOP_APP_BASE "/ROOT/"));
    EXPECT_FALSE(shop.isHttps);
    EXPECT_EQ(f.d.mainSite().siteDir, f.base / NativeSeparators(u"webapps/ROOT/"));
    EXPECT_EQ(f.d.defaultHost(), u"localhost");
    EXPECT_TRUE(f.d.AcceptsUserDomains());
}

TEST(TomcatConfig, NewConnectorAfterTheLastOneInTheFilesOwnLines) {
    for (const bool crlf : {false, true}) {
        Fixture f(std::string(kHead) + kEngine + kTail, crlf);
        f.d.Sites();
        f.d.ConfigureConnector();
        const std::string le = crlf ? "\r\n" : "\n";
        const std::string file = Utf8FromWide(f.base / u"conf/sslcert/shop.pfx");
        const std::string added =
            le +
            "    <Connector port=\"443\" protocol=\"org.apache.coyote.http11.Http11NioProtocol\"" +
            le +
            "               maxThreads=\"150\" SSLEnabled=\"true\" scheme=\"https\" "
            "secure=\"true\">" +
            le + "        <SSLHostConfig protocols=\"TLSv1.2+TLSv1.3\">" + le +
            "            <Certificate certificateKeystoreFile=\"" + file + "\"" + le +
            "                         certificateKeystoreType=\"PKCS12\"" + le +
            "                         certificateKeystorePassword=\"s3cret&amp;&quot;x\" />" + le +
            "        </SSLHostConfig>" + le + "    </Connector>";
        ExpectOnlyAdded(f.original, f.Saved(), added);
        EXPECT_TRUE(f.d.HasHttpsConnector());
    }
}

TEST(TomcatConfig, OldVersionsGetTheConnectorAttributes) {
    Fixture f(std::string(kHead) + kEngine + kTail);
    f.d.SetKeyStore(u"/k/shop.pfx", "pw", false);
    f.d.Sites();
    f.d.ConfigureConnector();
    ExpectOnlyAdded(f.original, f.Saved(),
                    "\n    <Connector port=\"443\" "
                    "protocol=\"org.apache.coyote.http11.Http11NioProtocol\" maxThreads=\"150\" "
                    "SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" keystoreType=\"PKCS12\" "
                    "keystoreFile=\"/k/shop.pfx\" keystorePass=\"pw\" clientAuth=\"false\" "
                    "sslProtocols=\"TLSv1.2,TLSv1.3\" truststoreFile=\"/k/shop.pfx\" "
                    "truststorePass=\"pw\"/>");
}

TEST(TomcatConfig, ExistingConnectorsChangeInTheirOwnForm) {
    struct Case {
        const char* connector;
        const char* expected;
    };
    const Case cases[] = {
        // The form of Tomcat 8.5 and later.
        {"    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\">\n"
         "      <SSLHostConfig protocols=\"all\">\n"
         "        <Certificate certificateKeystoreFile=\"conf/old.p12\" type=\"RSA\"/>\n"
         "      </SSLHostConfig>\n"
         "    </Connector>\n",
         "    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\">\n"
         "      <SSLHostConfig protocols=\"TLSv1.2+TLSv1.3\">\n"
         "        <Certificate certificateKeystoreFile=\"/k/n.pfx\" type=\"RSA\" "
         "certificateKeystoreType=\"PKCS12\" certificateKeystorePassword=\"pw\"/>\n"
         "      </SSLHostConfig>\n"
         "    </Connector>\n"},
        // The old connector attributes; an sslProtocols attribute keeps its name.
        {"    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" "
         "keystoreFile=\"conf/old.jks\" keystorePass=\"changeit\" sslProtocols=\"TLSv1\"/>\n",
         "    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" "
         "keystoreFile=\"/k/n.pfx\" keystorePass=\"pw\" sslProtocols=\"TLSv1.2,TLSv1.3\" "
         "keystoreType=\"PKCS12\"/>\n"},
        // The APR connector's PEM files.
        {"    <Connector port=\"443\" protocol=\"org.apache.coyote.http11.Http11AprProtocol\" "
         "SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" SSLCertificateFile=\"a.crt\" "
         "SSLCertificateKeyFile=\"a.key\" SSLProtocol=\"TLSv1\"/>\n",
         "    <Connector port=\"443\" protocol=\"org.apache.coyote.http11.Http11AprProtocol\" "
         "SSLEnabled=\"true\" scheme=\"https\" secure=\"true\" SSLCertificateFile=\"/new/c.crt\" "
         "SSLCertificateKeyFile=\"/new/c.key\" SSLProtocol=\"TLSv1.2+TLSv1.3\"/>\n"},
        // A connector without its certificate yet gets one.
        {"    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\"/>\n",
         "    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\">\n"
         "      <SSLHostConfig protocols=\"TLSv1.2+TLSv1.3\">\n"
         "          <Certificate certificateKeystoreFile=\"/k/n.pfx\" "
         "certificateKeystoreType=\"PKCS12\" certificateKeystorePassword=\"pw\" />\n"
         "      </SSLHostConfig>\n"
         "    </Connector>\n"},
    };
    for (const Case& c : cases) {
        Fixture f(std::string(kHead) + c.connector + kEngine + kTail);
        f.d.SetKeyStore(u"/k/n.pfx", "pw");
        f.d.Sites();
        f.d.ConfigureConnector();
        EXPECT_EQ(f.Saved(), std::string(kHead) + c.expected + kEngine + kTail) << c.connector;
    }
}

TEST(TomcatConfig, OnlyTheFirstServiceAndTheExactPortCount) {
    const std::string second =
        "  <Service name=\"Other\">\n"
        "    <Connector port=\"443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\"/>\n"
        "  </Service>\n";
    Fixture f(
        std::string(kHead) +
        "    <Connector port=\"0443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\"/>\n" +
        kEngine + second + kTail);
    f.d.Sites();
    EXPECT_FALSE(f.d.HasHttpsConnector());
    f.d.ConfigureConnector();
    const std::string saved = f.Saved();
    // A new connector after port 0443's, in the first service; the second
    // service is untouched.
    EXPECT_NE(saved.find("secure=\"true\"/>\n    <Connector port=\"443\""), std::string::npos);
    EXPECT_NE(saved.find(second), std::string::npos);
}

TEST(TomcatConfig, TypedDomainsBecomeHostsOrAliases) {
    Fixture f(std::string(kHead) + kEngine + kTail);
    f.d.Sites();
    // www.other's twin comes in the same run: an alias of other's new host;
    // shop.example.test's twin is configured; a name twice is added once.
    f.d.Select({u"other.example.test", u"www.other.example.test", u"example.test",
                u"other.example.test", u"shop.example.test"});
    f.d.AddInputSites();
    const std::string saved = f.Saved();
    const std::string copy =
        "\n      <Host name=\"other.example.test\" appBase=\"webapps\">\n"
        "        <Valve className=\"org.apache.catalina.valves.AccessLogValve\" />\n"
        "        <Alias>www.other.example.test</Alias>\n"
        "      </Host>";
    EXPECT_NE(saved.find("<Host name=\"\" appBase=\"none\"/>" + copy), std::string::npos) << saved;
    EXPECT_NE(saved.find("<Host name=\"example.test\" appBase=\"webapps\">"), std::string::npos);
    EXPECT_EQ(saved.find("<Alias>shop.example.test</Alias>"), std::string::npos);
    // A copy does not take its template's aliases.
    Fixture g(std::string(kHead) +
              "    <Engine name=\"Catalina\" defaultHost=\"localhost\">\n"
              "      <Host name=\"localhost\" appBase=\"webapps\">\n"
              "        <Alias>alias.example.test</Alias>\n"
              "      </Host>\n"
              "    </Engine>\n  </Service>\n" +
              kTail);
    g.d.Sites();
    g.d.Select({u"new.example.test"});
    g.d.AddInputSites();
    const std::string copied = g.Saved();
    EXPECT_EQ(copied.find("alias.example.test"), copied.rfind("alias.example.test"));
    EXPECT_NE(copied.find("<Host name=\"new.example.test\""), std::string::npos);
}

TEST(TomcatConfig, AliasOpensAnEmptyHost) {
    Fixture f(std::string(kHead) +
              "    <Engine name=\"Catalina\" defaultHost=\"localhost\">\n"
              "      <Host name=\"localhost\" appBase=\"webapps\"/>\n"
              "    </Engine>\n  </Service>\n" +
              kTail);
    f.d.Sites();
    f.d.AddAlias(u"localhost", u"www.localhost");
    EXPECT_NE(f.Saved().find("      <Host name=\"localhost\" appBase=\"webapps\">\n"
                             "        <Alias>www.localhost</Alias>\n"
                             "      </Host>\n"),
              std::string::npos);
}

TEST(TomcatConfig, UnchangedFilesAreSavedByteForByte) {
    for (const bool crlf : {false, true}) {
        Fixture f("\xEF\xBB\xBF" + std::string(kHead) + kEngine + kTail, crlf);
        f.d.Sites();
        EXPECT_EQ(f.Saved(), f.original);
    }
}

TEST(TomcatConfig, KeyStoreNamesInUseAreSkipped) {
    Fixture f(std::string(kHead) +
              "    <Connector port=\"8443\" SSLEnabled=\"true\" scheme=\"https\" secure=\"true\">\n"
              "      <SSLHostConfig><Certificate certificateKeystoreFile=\"conf/sslcert/a.pfx\"/>"
              "</SSLHostConfig>\n"
              "    </Connector>\n" +
              kEngine + kTail);
    f.d.Sites();
    f.d.SetCertParams(u"", u"a", 1);
    f.d.MakeUniqueCertName();
    EXPECT_EQ(f.d.certName(), u"a(1)");
}

TEST(TomcatConfig, AHostlessOrMissingDefaultRefusesTypedDomains) {
    Fixture f(std::string(kHead) +
              "    <Engine name=\"Catalina\" defaultHost=\"gone\">\n"
              "      <Host name=\"localhost\" appBase=\"webapps\"/>\n"
              "    </Engine>\n  </Service>\n" +
              kTail);
    f.d.Sites();
    EXPECT_EQ(test::ResultOf([&] { f.d.AcceptsUserDomains(); }),
              "defaultHost is not exist, not support user input site domain name");
}

}  // namespace
}  // namespace qm
