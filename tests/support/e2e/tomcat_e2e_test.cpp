// The Tomcat harness: a private base on free loopback ports (a host by name,
// HTTPS from a key store, a Server.xml with Windows line ends, a broken one),
// the same on ports 80 and 443 of the private network, Debian's own base
// through its conf link, and the guard that ends a JVM a dead test process
// left behind.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/distro_tomcat.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/server_process.h"
#include "tests/support/e2e/tomcat_base.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char* kShop = "shop.example.test";

std::string ShopHost() {
    return "      <Host name=\"shop.example.test\" appBase=\"shopapps\"\n"
           "            unpackWARs=\"true\" autoDeploy=\"false\">\n"
           "        <Alias>www.shop.example.test</Alias>\n"
           "      </Host>\n";
}

std::string Url(const std::string& scheme, const std::string& host, int port) {
    return scheme + "://" + host + ":" + std::to_string(port) + "/";
}

bool EndedSoon(int pid) {
    for (int i = 0; i < 500; ++i) {
        if (!ProcessAlive(pid))
            return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

// ---- A private base ----

TEST(TomcatBase, IsLaidOutAsABaseOfItsOwn) {
    QM_E2E_REQUIRE_TOMCAT();
    TomcatBase tomcat;
    EXPECT_EQ(TomcatBase::Home(), "/usr/share/tomcat10");
    EXPECT_TRUE(fs::exists(JavaHome() + "/bin/java")) << JavaHome();
    for (const char* file : {"conf/server.xml", "conf/catalina.properties", "conf/context.xml",
                             "conf/logging.properties", "conf/tomcat-users.xml", "conf/web.xml",
                             "conf/jaspic-providers.xml", "webapps/ROOT/index.html"})
        EXPECT_TRUE(fs::is_regular_file(tomcat.base() + file)) << file;
    for (const char* folder : {"logs", "temp", "work"})
        EXPECT_TRUE(fs::is_directory(tomcat.base() + folder)) << folder;
    EXPECT_EQ(tomcat.ReadFile("conf/web.xml"), ReadTextFile("/etc/tomcat10/web.xml"));
    EXPECT_NE(tomcat.httpPort(), tomcat.httpsPort());

    const std::string xml = tomcat.ReadServerXml();
    EXPECT_NE(xml.find("<Server port=\"-1\" shutdown=\"SHUTDOWN\">"), std::string::npos);
    EXPECT_NE(xml.find("<Connector port=\"" + std::to_string(tomcat.httpPort()) +
                       "\" address=\"127.0.0.1\" protocol=\"HTTP/1.1\""),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("redirectPort=\"" + std::to_string(tomcat.httpsPort()) + "\""),
              std::string::npos);
    EXPECT_NE(xml.find("<Engine name=\"Catalina\" defaultHost=\"localhost\">"), std::string::npos);
    EXPECT_NE(xml.find("<Host name=\"localhost\"  appBase=\"webapps\""), std::string::npos);
    EXPECT_EQ(xml.find('\r'), std::string::npos);

    ServerXmlOptions options = tomcat.DefaultServerXml();
    options.crlf = true;
    options.comments = false;
    tomcat.WriteServerXml(options);
    const std::string crlf = tomcat.ReadServerXml();
    EXPECT_EQ(crlf.find("<!--"), std::string::npos);
    size_t bare = 0;
    for (size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\n' && (i == 0 || crlf[i - 1] != '\r'))
            ++bare;
    }
    EXPECT_EQ(bare, 0u);

    std::vector<std::string> env = tomcat.Environment();
    for (const std::string& expected : std::vector<std::string>{
             "CATALINA_HOME=/usr/share/tomcat10", "CATALINA_BASE=" + tomcat.baseDir(),
             "CATALINA_PID=" + tomcat.base() + "temp/tomcat.pid",
             "CATALINA_TMPDIR=" + tomcat.base() + "temp", "JAVA_HOME=" + JavaHome()})
        EXPECT_NE(std::find(env.begin(), env.end(), expected), env.end()) << expected;
    EXPECT_FALSE(tomcat.Running());
}

TEST(TomcatBase, ServesOnFreeLoopbackPortsAndStopsWithoutAJvmLeft) {
    QM_E2E_REQUIRE_TOMCAT();
    TomcatBase tomcat;
    ServerXmlOptions options = tomcat.DefaultServerXml();
    options.engineExtra = ShopHost();
    tomcat.WriteServerXml(options);
    tomcat.WriteFile("shopapps/ROOT/index.html", "<h1>shop</h1>\n");
    tomcat.Start();

    const HttpResult page = HttpGet(Url("http", "127.0.0.1", tomcat.httpPort()));
    ASSERT_TRUE(page.ok) << page.error << "\n" << tomcat.LogTail();
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("It works!"), std::string::npos) << page.body;
    // A host of its own by name (the private hosts file), and by its alias.
    if (HasPrivateHosts()) {
        const HttpResult shop = HttpGet(Url("http", kShop, tomcat.httpPort()));
        ASSERT_TRUE(shop.ok) << shop.error;
        EXPECT_EQ(shop.body, "<h1>shop</h1>\n");
    }
    const HttpResult alias = HttpGet(Url("http", "www.shop.example.test", tomcat.httpPort()),
                                     HttpOptions().ConnectTo("127.0.0.1"));
    ASSERT_TRUE(alias.ok) << alias.error;
    EXPECT_EQ(alias.body, "<h1>shop</h1>\n");

    // One JVM, the pid file's, running this base with Debian's home.
    const int jvm = tomcat.JvmPid();
    ASSERT_NE(jvm, 0);
    EXPECT_EQ(tomcat.JvmPids(), std::vector<int>{jvm});
    EXPECT_EQ(std::atoi(ReadTextFile(tomcat.pidFile()).c_str()), jvm);
    EXPECT_EQ(ExecutableOf(jvm), JavaHome() + "/bin/java");
    const std::string cmdline = ReadTextFile("/proc/" + std::to_string(jvm) + "/cmdline");
    EXPECT_NE(cmdline.find(std::string("-Dcatalina.base=") + tomcat.baseDir() + '\0'),
              std::string::npos);
    EXPECT_NE(cmdline.find(std::string("-Dcatalina.home=/usr/share/tomcat10") + '\0'),
              std::string::npos);
    const std::string environ = ReadTextFile("/proc/" + std::to_string(jvm) + "/environ");
    EXPECT_NE(environ.find("CATALINA_PID=" + tomcat.pidFile()), std::string::npos);
    EXPECT_NE(tomcat.CatalinaOut().find("Server startup in"), std::string::npos)
        << tomcat.LogTail();
    EXPECT_FALSE(tomcat.LogTail(5).empty());

    tomcat.Stop();
    EXPECT_TRUE(EndedSoon(jvm));
    EXPECT_TRUE(tomcat.JvmPids().empty());
    EXPECT_EQ(tomcat.JvmPid(), 0);
    EXPECT_TRUE(WaitForPortClosed(tomcat.httpPort(), 2000));
    EXPECT_FALSE(fs::exists(tomcat.pidFile()));

    // And again: a stopped base starts as before.
    tomcat.Start();
    EXPECT_TRUE(HttpGet(Url("http", "127.0.0.1", tomcat.httpPort())).ok);
}

TEST(TomcatBase, ServesAKeyStoreOverHttpsFromAServerXmlWithWindowsLineEnds) {
    QM_E2E_REQUIRE_TOMCAT();
    // Ports 80 and 443 where the private network allows them.
    TomcatBase::Options ports;
    if (InPrivateNetwork()) {
        ports.httpPort = 80;
        ports.httpsPort = 443;
    }
    TomcatBase tomcat(ports);
    const std::string pem =
        MakeSelfSignedKeyStore(tomcat.confDir() + "shop.p12", "s3cret", {kShop});
    ServerXmlOptions options = tomcat.DefaultServerXml();
    options.crlf = true;
    options.engineExtra = ShopHost();
    options.serviceExtra = "    <Connector port=\"" + std::to_string(tomcat.httpsPort()) + "\"" +
                           (options.address.empty() ? "" : " address=\"" + options.address + "\"") +
                           " protocol=\"org.apache.coyote.http11.Http11NioProtocol\"\n"
                           "               maxThreads=\"150\" SSLEnabled=\"true\">\n"
                           "        <SSLHostConfig>\n"
                           "            <Certificate certificateKeystoreFile=\"conf/shop.p12\"\n"
                           "                         certificateKeystorePassword=\"s3cret\"\n"
                           "                         certificateKeystoreType=\"PKCS12\"\n"
                           "                         type=\"RSA\" />\n"
                           "        </SSLHostConfig>\n"
                           "    </Connector>\n";
    tomcat.WriteServerXml(options);
    ASSERT_NE(tomcat.ReadServerXml().find("\r\n"), std::string::npos);
    tomcat.WriteFile("shopapps/ROOT/index.html", "<h1>shop</h1>\n");
    tomcat.StartWithHttps();

    const HttpResult seen = HttpGet(Url("https", kShop, tomcat.httpsPort()),
                                    HttpOptions().ConnectTo("127.0.0.1").Insecure());
    ASSERT_TRUE(seen.ok) << seen.error << "\n" << tomcat.LogTail();
    EXPECT_EQ(seen.peerCertPem, pem);
    EXPECT_NE(seen.peerAltNames.find("DNS:shop.example.test"), std::string::npos)
        << seen.peerAltNames;
    EXPECT_EQ(seen.body, "<h1>shop</h1>\n");
    // Verified against itself: the name in the certificate fits the SNI name.
    const std::string caFile = tomcat.tmpDir() + "shop.pem";
    WriteTextFile(caFile, pem);
    const HttpResult verified = HttpGet(Url("https", kShop, tomcat.httpsPort()),
                                        HttpOptions().Ca(caFile).ConnectTo("127.0.0.1"));
    ASSERT_TRUE(verified.ok) << verified.error;
    const HttpResult plain = HttpGet(Url("http", "127.0.0.1", tomcat.httpPort()));
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_NE(plain.body.find("It works!"), std::string::npos);
}

TEST(TomcatBase, AStartThatFailsCarriesTomcatsOwnMessage) {
    QM_E2E_REQUIRE_TOMCAT();
    TomcatBase tomcat;
    tomcat.WriteServerXmlText("<?xml version=\"1.0\"?>\n<Server port=\"-1\">\n  <Service>\n");
    try {
        tomcat.Start({}, 30000);
        ADD_FAILURE() << "Tomcat started with a broken server.xml";
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("server.xml"), std::string::npos) << message;
    }
    EXPECT_TRUE(tomcat.JvmPids().empty());
}

TEST(TomcatBase, AGuardEndsTheJvmOfATestProcessThatDied) {
    QM_E2E_REQUIRE_TOMCAT();
    const std::string report = ReportOfAChildThatDied(
        [] {
            // Never destroyed: the child ends without cleaning up.
            auto* tomcat = new TomcatBase();
            tomcat->Start();
            return std::to_string(tomcat->JvmPid()) + " " + std::to_string(tomcat->httpPort()) +
                   " " + tomcat->base();
        },
        false);
    ASSERT_FALSE(report.empty());
    std::istringstream fields(report);
    int jvm = 0, port = 0;
    std::string base;
    fields >> jvm >> port >> base;
    ASSERT_GT(jvm, 0) << report;
    EXPECT_TRUE(EndedSoon(jvm)) << report;
    EXPECT_TRUE(WaitForPortClosed(port, 3000));
    EXPECT_TRUE(RemovedSoon(base)) << base;
}

// ---- Debian's own base ----

TEST(DistroTomcat, RunsThePackagedBaseThroughItsConfLink) {
    QM_E2E_REQUIRE_DISTRO_TOMCAT();
    DistroTomcat tomcat;
    EXPECT_EQ(tomcat.base(), "/var/lib/tomcat10/");
    EXPECT_TRUE(fs::is_symlink("/var/lib/tomcat10/conf"));
    EXPECT_EQ(fs::canonical("/var/lib/tomcat10/conf/server.xml").string(),
              "/etc/tomcat10/server.xml");
    // The package's own file: HTTP on 8080.
    const std::string packaged = tomcat.ReadServerXml();
    ASSERT_NE(packaged.find("<Connector port=\"8080\""), std::string::npos) << packaged;
    tomcat.Start({8080});
    const HttpResult page = HttpGet("http://127.0.0.1:8080/");
    ASSERT_TRUE(page.ok) << page.error << "\n" << tomcat.LogTail();
    EXPECT_EQ(page.status, 200);
    const int jvm = tomcat.JvmPid();
    ASSERT_NE(jvm, 0);
    const std::string cmdline = ReadTextFile("/proc/" + std::to_string(jvm) + "/cmdline");
    EXPECT_NE(cmdline.find(std::string("-Dcatalina.base=/var/lib/tomcat10") + '\0'),
              std::string::npos);
    EXPECT_NE(cmdline.find(std::string("-Djava.awt.headless=true") + '\0'), std::string::npos);
    // The log went to the private /var/log/tomcat10.
    EXPECT_TRUE(fs::exists(tomcat.privateRoot() + "log/catalina.out"));
    EXPECT_NE(
        ReadTextFile(std::string(DistroTomcat::kLogDir) + "catalina.out").find("Server startup in"),
        std::string::npos);
    tomcat.Stop();
    EXPECT_TRUE(EndedSoon(jvm));
    EXPECT_TRUE(WaitForPortClosed(8080, 2000));

    // Ports 80 and 443 with a host of its own, written through the link.
    ServerXmlOptions options = tomcat.DefaultServerXml();
    EXPECT_EQ(options.httpPort, 80);
    EXPECT_EQ(options.redirectPort, 443);
    EXPECT_TRUE(options.address.empty());
    options.engineExtra = ShopHost();
    tomcat.WriteServerXml(options);
    EXPECT_TRUE(fs::is_symlink("/var/lib/tomcat10/conf"));
    EXPECT_NE(ReadTextFile(DistroTomcat::ConfigPath("server.xml")).find("shop.example.test"),
              std::string::npos);
    tomcat.WriteFile("shopapps/ROOT/index.html", "<h1>shop</h1>\n");
    tomcat.Start();
    const HttpResult shop = HttpGet(std::string("http://") + kShop + "/");
    ASSERT_TRUE(shop.ok) << shop.error << "\n" << tomcat.LogTail();
    EXPECT_EQ(shop.body, "<h1>shop</h1>\n");
    tomcat.Stop();
    EXPECT_TRUE(tomcat.JvmPids().empty());
}

TEST(DistroTomcat, AGuardCleansUpAfterATestProcessThatDied) {
    QM_E2E_REQUIRE_DISTRO_TOMCAT();
    const std::string report = ReportOfAChildThatDied(
        [] {
            auto* tomcat = new DistroTomcat();
            tomcat->Start({8080});
            return std::to_string(tomcat->JvmPid()) + " 8080 " + tomcat->privateRoot();
        },
        true);
    ASSERT_FALSE(report.empty());
    std::istringstream fields(report);
    int jvm = 0, port = 0;
    std::string root;
    fields >> jvm >> port >> root;
    ASSERT_GT(jvm, 0) << report;
    EXPECT_TRUE(EndedSoon(jvm)) << report;
    EXPECT_TRUE(WaitForPortClosed(port, 3000));
    EXPECT_TRUE(RemovedSoon(root)) << root;
}

TEST(DistroTomcat, RefusesOutsideThePrivateNamespaces) {
    OutsidePrivateNetwork([] {
        EXPECT_FALSE(DistroTomcatUnavailableReason().empty());
        EXPECT_THROW(DistroTomcat{}, std::runtime_error);
    });
}

}  // namespace
}  // namespace qm::e2e
