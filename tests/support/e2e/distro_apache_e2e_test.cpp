// The harness for Apache httpd: Debian's packaged Apache on its own layout
// and the upstream layout made from its executable, each started, answering
// HTTP, restarted gracefully under a load that must see no failed request,
// and stopped without leaving a process behind; the guards that clean up
// after a test process that died.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "tests/support/e2e/distro_apache.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/server_process.h"
#include "tests/support/e2e/upstream_apache.h"

namespace qm::e2e {
namespace {

// Apache writes its access log line after the answer went out: a check
// right after a request may come first.
template <class Read>
bool LogSoonHolds(Read read, const std::string& needle) {
    for (int i = 0; i < 60; ++i) {
        if (read().find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char* kShop = "shop.example.test";

std::string CommandLineOf(int pid) {
    std::string text = ReadTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : text) {
        if (c == '\0')
            c = ' ';
    }
    if (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string EnvironmentOf(int pid) {
    std::string text = ReadTextFile("/proc/" + std::to_string(pid) + "/environ");
    for (char& c : text) {
        if (c == '\0')
            c = '\n';
    }
    return text;
}

std::string ShopSite(bool https) {
    std::string text = https ? "<VirtualHost *:443>\n" : "<VirtualHost *:80>\n";
    text +=
        "\tServerName shop.example.test\n"
        "\tDocumentRoot /var/www/shop\n";
    if (https) {
        text +=
            "\tSSLEngine on\n"
            "\tSSLCertificateFile /etc/apache2/ssl/shop.pem\n"
            "\tSSLCertificateKeyFile /etc/apache2/ssl/shop.key\n";
    }
    text += "</VirtualHost>\n";
    return text;
}

// Runs a load against the targets while `change` runs, and returns the counts.
LoadCounts UnderLoad(std::vector<LoadTarget> targets, const std::function<void()>& change) {
    LoadGenerator::Options options;
    options.targets = std::move(targets);
    options.requestsPerSecond = 200;
    options.maxDuration = milliseconds(30000);
    LoadGenerator load(options);
    load.Start();
    std::this_thread::sleep_for(milliseconds(300));
    change();
    std::this_thread::sleep_for(milliseconds(300));
    return load.Stop();
}

// ---- Debian's layout ----

TEST(DistroApache, ServesDebiansDefaultPageOnBothLoopbackAddresses) {
    QM_E2E_REQUIRE_DISTRO_APACHE();
    DistroApache apache;
    ASSERT_NE(apache.ReadFile("apache2.conf").find("IncludeOptional sites-enabled/*.conf"),
              std::string::npos);
    EXPECT_TRUE(fs::is_symlink(DistroApache::ConfigPath("sites-enabled/000-default.conf")));
    EXPECT_FALSE(fs::exists(DistroApache::ConfigPath("mods-enabled/ssl.load")));
    std::string output;
    ASSERT_TRUE(apache.TestConfig(&output)) << output;
    EXPECT_NE(output.find("Syntax OK"), std::string::npos) << output;
    apache.Start();

    const HttpResult v4 = HttpGet("http://127.0.0.1/");
    ASSERT_TRUE(v4.ok) << v4.error;
    EXPECT_EQ(v4.status, 200);
    EXPECT_NE(v4.body.find("Apache2 Debian Default Page"), std::string::npos);
    EXPECT_EQ(v4.peerAddress, "127.0.0.1");
    const HttpResult v6 = HttpGet("http://[::1]/");
    ASSERT_TRUE(v6.ok) << v6.error;
    EXPECT_EQ(v6.body, v4.body);
    EXPECT_EQ(v6.peerAddress, "::1");

    // Started as the package starts it.
    const int parent = apache.ParentPid();
    ASSERT_NE(parent, 0);
    EXPECT_EQ(std::atoi(ReadTextFile(DistroApache::kPidFile).c_str()), parent);
    EXPECT_EQ(CommandLineOf(parent), "/usr/sbin/apache2 -k start");
    EXPECT_NE(EnvironmentOf(parent).find("APACHE_RUN_DIR=/var/run/apache2\n"), std::string::npos);
    EXPECT_FALSE(apache.ChildPids().empty());
    EXPECT_TRUE(LogSoonHolds([&] { return apache.AccessLog(); }, "\"GET / HTTP/1.1\" 200"));

    apache.Stop();
    EXPECT_EQ(apache.ParentPid(), 0);
    EXPECT_TRUE(apache.ProcessIds().empty());
    EXPECT_TRUE(WaitForPortClosed(80, 2000));
    EXPECT_FALSE(fs::exists(DistroApache::kPidFile));
}

TEST(DistroApache, ServesASiteLinkedFromSitesEnabled) {
    QM_E2E_REQUIRE_DISTRO_APACHE();
    DistroApache apache;
    apache.WriteWebFile("shop/index.html", "shop\n");
    apache.EnableSite("shop.conf", ShopSite(false));
    EXPECT_EQ(fs::read_symlink(DistroApache::ConfigPath("sites-enabled/shop.conf")).string(),
              "../sites-available/shop.conf");
    apache.Start();

    const HttpResult byName = HttpGet(std::string("http://") + kShop + "/");
    ASSERT_TRUE(byName.ok) << byName.error;
    EXPECT_EQ(byName.body, "shop\n");
    const HttpResult v6 =
        HttpGet(std::string("http://") + kShop + "/", HttpOptions().ConnectTo("::1"));
    ASSERT_TRUE(v6.ok) << v6.error;
    EXPECT_EQ(v6.body, "shop\n");
    // Other names reach the first site, Debian's default one.
    EXPECT_NE(HttpGet("http://127.0.0.1/").body.find("Apache2 Debian Default Page"),
              std::string::npos);

    apache.DisableSite("shop.conf");
    EXPECT_FALSE(fs::exists(DistroApache::ConfigPath("sites-enabled/shop.conf")));
    EXPECT_TRUE(fs::exists(DistroApache::ConfigPath("sites-available/shop.conf")));
}

TEST(DistroApache, ServesTheCertificateAsWritten) {
    QM_E2E_REQUIRE_DISTRO_APACHE();
    DistroApache apache;
    apache.EnableModule("ssl");
    for (const char* link : {"ssl.load", "ssl.conf", "socache_shmcb.load"}) {
        EXPECT_EQ(fs::read_symlink(DistroApache::ConfigPath(std::string("mods-enabled/") + link))
                      .string(),
                  std::string("../mods-available/") + link);
    }
    apache.WriteFile("ssl/.keep", "");
    MakeSelfSignedCertificate(DistroApache::ConfigPath("ssl/shop.pem"),
                              DistroApache::ConfigPath("ssl/shop.key"), {kShop});
    apache.WriteWebFile("shop/index.html", "shop\n");
    apache.EnableSite("shop.conf", ShopSite(false) + ShopSite(true));
    apache.Start({80, 443});

    const std::string pem = apache.ReadFile("ssl/shop.pem");
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        const HttpResult seen = HttpGet(std::string("https://") + kShop + "/",
                                        HttpOptions().ConnectTo(address).Insecure());
        ASSERT_TRUE(seen.ok) << seen.error << apache.ErrorLog();
        EXPECT_EQ(seen.peerCertPem, pem);
        EXPECT_EQ(seen.body, "shop\n");
        const HttpResult verified =
            HttpGet(std::string("https://") + kShop + "/",
                    HttpOptions().Ca(DistroApache::ConfigPath("ssl/shop.pem")).ConnectTo(address));
        ASSERT_TRUE(verified.ok) << verified.error;
    }
}

TEST(DistroApache, AGracefulRestartUnderLoadDropsNoRequest) {
    QM_E2E_REQUIRE_DISTRO_APACHE();
    DistroApache apache;
    apache.WriteWebFile("shop/index.html", "shop\n");
    apache.EnableSite("shop.conf", ShopSite(false));
    apache.Start();
    const int parent = apache.ParentPid();
    const LoadCounts counts = UnderLoad(
        {{"http://127.0.0.1/"}, {"http://[::1]/"}, {std::string("http://") + kShop + "/"}}, [&] {
            apache.GracefulRestart();
            std::this_thread::sleep_for(milliseconds(300));
            apache.GracefulRestart();
        });
    std::cout << "[ load ] two graceful restarts of the packaged Apache: " << counts.Describe()
              << "\n";
    EXPECT_GT(counts.ok, 100u) << counts.Describe();
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_EQ(apache.ParentPid(), parent);
    EXPECT_EQ(apache_harness::ResumedCount(apache.ErrorLog()), 3u) << apache.ErrorLog();
}

TEST(DistroApache, AGuardCleansUpAfterATestProcessThatDied) {
    QM_E2E_REQUIRE_DISTRO_APACHE();
    const std::string root = ReportOfAChildThatDied(
        [] {
            DistroApache apache;
            apache.Start();
            return apache.privateRoot();
        },
        true);
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(WaitForPortClosed(80, 3000));
    EXPECT_TRUE(RemovedSoon(root)) << root;
}

TEST(DistroApache, RefusesOutsideThePrivateNamespaces) {
    OutsidePrivateNetwork([] {
        EXPECT_FALSE(DistroApacheUnavailableReason().empty());
        EXPECT_THROW(DistroApache{}, std::runtime_error);
    });
}

// ---- The upstream layout ----

TEST(UpstreamApache, IsLaidOutAsABuildFromSource) {
    QM_E2E_REQUIRE_APACHE();
    UpstreamApache httpd;
    const std::string root = httpd.root();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root + "bin/httpd")));
    EXPECT_TRUE(fs::is_symlink(root + "modules"));
    EXPECT_TRUE(fs::exists(root + "modules/mod_ssl.so"));
    for (const char* file : {"conf/httpd.conf", "conf/mime.types", "conf/extra/httpd-ssl.conf",
                             "conf/extra/httpd-vhosts.conf", "htdocs/index.html"})
        EXPECT_TRUE(fs::is_regular_file(root + file)) << file;
    EXPECT_TRUE(fs::is_directory(root + "logs"));
    const std::string conf = httpd.ReadFile("conf/httpd.conf");
    EXPECT_NE(conf.find("ServerRoot \"" + httpd.serverRoot() + "\"\n"), std::string::npos);
    EXPECT_NE(conf.find("LoadModule mpm_event_module modules/mod_mpm_event.so\n"),
              std::string::npos);
    EXPECT_NE(conf.find("\n#LoadModule ssl_module modules/mod_ssl.so\n"), std::string::npos);
    EXPECT_NE(conf.find("\n#LoadModule socache_shmcb_module modules/mod_socache_shmcb.so\n"),
              std::string::npos);
    // Compiled into Debian's executable: no line.
    EXPECT_EQ(conf.find("log_config_module modules"), std::string::npos);
    EXPECT_NE(conf.find("<IfDefine SSL>\nInclude conf/extra/httpd-ssl.conf\n</IfDefine>\n"),
              std::string::npos);
    EXPECT_NE(conf.find("\nInclude conf/extra/httpd-vhosts.conf\n"), std::string::npos);

    // The TLS file is not read while SSL is not defined; with it defined it
    // would need mod_ssl.
    std::string output;
    ASSERT_TRUE(httpd.TestConfig(&output)) << output;
    EXPECT_EQ(httpd.Run({"-t", "-D", "DUMP_INCLUDES"}, &output), 0) << output;
    EXPECT_NE(output.find("conf/extra/httpd-vhosts.conf"), std::string::npos) << output;
    EXPECT_EQ(output.find("httpd-ssl.conf"), std::string::npos) << output;
    EXPECT_NE(httpd.Run({"-t", "-D", "SSL"}, &output), 0) << output;
}

TEST(UpstreamApache, ServesOnFreeLoopbackPortsAndStopsWithoutLeftovers) {
    QM_E2E_REQUIRE_APACHE();
    UpstreamApache::Options chosen;
    chosen.serverName = "main.example.test";
    chosen.httpPort = FreeLoopbackPort();
    chosen.listenAddress = "127.0.0.1";
    chosen.vhosts = "<VirtualHost 127.0.0.1:" + std::to_string(chosen.httpPort) +
                    ">\n"
                    "    ServerName shop.example.test\n"
                    "    ServerAlias www.shop.example.test\n"
                    "    DocumentRoot \"htdocs/shop\"\n"
                    "</VirtualHost>\n";
    UpstreamApache httpd(chosen);
    httpd.WriteFile("htdocs/shop/index.html", "shop\n");
    httpd.Start();
    const std::string base = "http://127.0.0.1:" + std::to_string(httpd.httpPort()) + "/";
    const HttpResult main = HttpGet(base);
    ASSERT_TRUE(main.ok) << main.error << httpd.ErrorLog();
    // The only virtual host of the address answers every name.
    EXPECT_EQ(main.body, "shop\n");
    const HttpResult shop = HttpGet(NginxSandbox::UrlFor("http", kShop, httpd.httpPort(), "/"),
                                    HttpOptions().ConnectTo("127.0.0.1"));
    ASSERT_TRUE(shop.ok) << shop.error;
    EXPECT_EQ(shop.body, "shop\n");

    const int parent = httpd.ParentPid();
    ASSERT_NE(parent, 0);
    EXPECT_EQ(ExecutableOf(parent), fs::canonical(httpd.executable()).string());
    EXPECT_EQ(CommandLineOf(parent),
              httpd.executable() + " -d " + httpd.serverRoot() + " -f " + httpd.confPath());
    EXPECT_EQ(EnvironmentOf(parent),
              "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n");
    EXPECT_FALSE(httpd.ChildPids().empty());
    EXPECT_TRUE(LogSoonHolds([&] { return httpd.AccessLog(); }, "\"GET / HTTP/1.1\" 200"));

    httpd.Stop();
    EXPECT_EQ(httpd.ParentPid(), 0);
    EXPECT_TRUE(httpd.ProcessIds().empty());
    EXPECT_TRUE(WaitForPortClosed(httpd.httpPort(), 2000));
    EXPECT_FALSE(fs::exists(httpd.pidFile()));
}

TEST(UpstreamApache, AGracefulRestartUnderLoadDropsNoRequest) {
    QM_E2E_REQUIRE_APACHE();
    UpstreamApache httpd;
    httpd.Start();
    const int parent = httpd.ParentPid();
    const std::string url = "http://127.0.0.1:" + std::to_string(httpd.httpPort()) + "/";
    const LoadCounts counts = UnderLoad({{url}}, [&] {
        httpd.GracefulRestart();
        std::this_thread::sleep_for(milliseconds(300));
        httpd.GracefulRestart();
    });
    std::cout << "[ load ] two graceful restarts of the upstream layout: " << counts.Describe()
              << "\n";
    EXPECT_GT(counts.ok, 100u) << counts.Describe();
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_EQ(httpd.ParentPid(), parent);
    httpd.Stop();
    EXPECT_TRUE(httpd.ProcessIds().empty());
}

TEST(UpstreamApache, ServesTheCertificateAsWrittenOnPorts80And443) {
    QM_E2E_REQUIRE_APACHE();
    if (!InPrivateNetwork())
        GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network, as root";
    UpstreamApache::Options options;
    options.httpPort = 80;
    options.httpsPort = 443;
    options.loadSsl = true;
    options.serverName = "main.example.test";
    options.vhosts =
        "Listen 443\n"
        "<VirtualHost *:443>\n"
        "    ServerName shop.example.test\n"
        "    SSLEngine on\n"
        "    SSLCertificateFile conf/shop.crt\n"
        "    SSLCertificateKeyFile conf/shop.key\n"
        "</VirtualHost>\n";
    UpstreamApache httpd(options);
    MakeSelfSignedCertificate(httpd.root() + "conf/shop.crt", httpd.root() + "conf/shop.key",
                              {kShop});
    EXPECT_NE(httpd.ReadFile("conf/httpd.conf").find("\nListen 80\n"), std::string::npos);
    EXPECT_NE(httpd.ReadFile("conf/httpd.conf").find("\nLoadModule ssl_module"), std::string::npos);
    httpd.Start({80, 443});
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        const HttpResult seen = HttpGet(std::string("https://") + kShop + "/",
                                        HttpOptions().ConnectTo(address).Insecure());
        ASSERT_TRUE(seen.ok) << seen.error << httpd.ErrorLog();
        EXPECT_EQ(seen.peerCertPem, httpd.ReadFile("conf/shop.crt"));
        EXPECT_NE(seen.body.find("It works!"), std::string::npos);
        const HttpResult plain =
            HttpGet("http://main.example.test/", HttpOptions().ConnectTo(address));
        ASSERT_TRUE(plain.ok) << plain.error;
        EXPECT_NE(plain.body.find("It works!"), std::string::npos);
    }
}

TEST(UpstreamApache, AGuardCleansUpAfterATestProcessThatDied) {
    QM_E2E_REQUIRE_APACHE();
    int port = 0;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string root = ReportOfAChildThatDied(
        [&] {
            UpstreamApache httpd;
            httpd.Start();
            const std::string text = std::to_string(httpd.httpPort());
            if (write(pipeFds[1], text.data(), text.size()) < 0)
                throw std::runtime_error("cannot report the port");
            return httpd.root();
        },
        false);
    close(pipeFds[1]);
    char buffer[16] = {};
    ASSERT_GT(read(pipeFds[0], buffer, sizeof buffer - 1), 0);
    close(pipeFds[0]);
    port = std::atoi(buffer);
    ASSERT_FALSE(root.empty());
    ASSERT_GT(port, 0);
    EXPECT_TRUE(WaitForPortClosed(port, 3000));
    EXPECT_TRUE(RemovedSoon(root)) << root;
}

}  // namespace
}  // namespace qm::e2e
