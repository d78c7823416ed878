// The harness for the packaged nginx on its own layout: Debian's default
// site on both loopback addresses, a site of conf.d/, a certificate served as
// written, and a load generator that sees a restart but not a reload.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/e2e/distro_nginx.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/server_process.h"

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;

constexpr const char* kShop = "shop.example.test";

std::string ShopSite(bool https) {
    std::string text =
        "server {\n"
        "    listen 80;\n"
        "    listen [::]:80;\n";
    if (https) {
        text +=
            "    listen 443 ssl;\n"
            "    listen [::]:443 ssl;\n"
            "    ssl_certificate /etc/nginx/ssl/shop.pem;\n"
            "    ssl_certificate_key /etc/nginx/ssl/shop.key;\n";
    }
    text +=
        "    server_name shop.example.test;\n"
        "    root /var/www/shop;\n"
        "}\n";
    return text;
}

TEST(DistroNginx, ServesDebiansDefaultSiteOnBothLoopbackAddresses) {
    QM_E2E_REQUIRE_DISTRO_NGINX();
    DistroNginx nginx;
    ASSERT_NE(nginx.ReadFile("nginx.conf").find("include /etc/nginx/sites-enabled/*;"),
              std::string::npos);
    std::string output;
    ASSERT_TRUE(nginx.TestConfig(&output)) << output;
    nginx.Start();

    const HttpResult v4 = HttpGet("http://127.0.0.1/");
    ASSERT_TRUE(v4.ok) << v4.error;
    EXPECT_EQ(v4.status, 200);
    EXPECT_NE(v4.body.find("Welcome to nginx"), std::string::npos) << v4.body;
    EXPECT_EQ(v4.peerAddress, "127.0.0.1");
    const HttpResult v6 = HttpGet("http://[::1]/");
    ASSERT_TRUE(v6.ok) << v6.error;
    EXPECT_EQ(v6.status, 200);
    EXPECT_EQ(v6.body, v4.body);
    EXPECT_EQ(v6.peerAddress, "::1");

    const int master = nginx.MasterPid();
    ASSERT_NE(master, 0);
    EXPECT_EQ(std::atoi(ReadTextFile(DistroNginx::kPidFile).c_str()), master);
    EXPECT_FALSE(nginx.WorkerPids().empty());
    EXPECT_NE(nginx.AccessLog().find("GET / HTTP/1.1"), std::string::npos);

    nginx.Stop();
    EXPECT_EQ(nginx.MasterPid(), 0);
    EXPECT_TRUE(nginx.ProcessIds().empty());
    EXPECT_TRUE(WaitForPortClosed(80, 2000));
}

TEST(DistroNginx, ServesASiteOfConfD) {
    QM_E2E_REQUIRE_DISTRO_NGINX();
    DistroNginx nginx;
    nginx.WriteWebFile("shop/index.html", "shop\n");
    nginx.WriteFile("conf.d/shop.conf", ShopSite(false));
    nginx.Start();

    // By name through the private hosts file, and on ::1 with the name as Host.
    const HttpResult byName = HttpGet(std::string("http://") + kShop + "/");
    ASSERT_TRUE(byName.ok) << byName.error;
    EXPECT_EQ(byName.body, "shop\n");
    const HttpResult v6 =
        HttpGet(std::string("http://") + kShop + "/", HttpOptions().ConnectTo("::1"));
    ASSERT_TRUE(v6.ok) << v6.error;
    EXPECT_EQ(v6.body, "shop\n");
    EXPECT_EQ(v6.peerAddress, "::1");
    // Other names still reach the default site.
    EXPECT_NE(HttpGet("http://127.0.0.1/").body.find("Welcome to nginx"), std::string::npos);
}

TEST(DistroNginx, ServesTheCertificateAsWritten) {
    QM_E2E_REQUIRE_DISTRO_NGINX();
    DistroNginx nginx;
    nginx.WriteFile("ssl/.keep", "");
    MakeSelfSignedCertificate(DistroNginx::ConfigPath("ssl/shop.pem"),
                              DistroNginx::ConfigPath("ssl/shop.key"), {kShop});
    nginx.WriteWebFile("shop/index.html", "shop\n");
    nginx.EnableSite("shop", ShopSite(true));
    nginx.Start({80, 443});

    const std::string pem = nginx.ReadFile("ssl/shop.pem");
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        const HttpResult seen = HttpGet(std::string("https://") + kShop + "/",
                                        HttpOptions().ConnectTo(address).Insecure());
        ASSERT_TRUE(seen.ok) << seen.error;
        EXPECT_EQ(seen.peerCertPem, pem);
        EXPECT_EQ(seen.peerAddress, address);
        // Verified against itself: the name in the certificate fits the SNI name.
        const HttpResult verified =
            HttpGet(std::string("https://") + kShop + "/",
                    HttpOptions().Ca(DistroNginx::ConfigPath("ssl/shop.pem")).ConnectTo(address));
        ASSERT_TRUE(verified.ok) << verified.error;
        EXPECT_EQ(verified.body, "shop\n");
    }
}

TEST(DistroNginx, LoadSeesARestartButNotAReload) {
    QM_E2E_REQUIRE_DISTRO_NGINX();
    DistroNginx nginx;
    MakeSelfSignedCertificate("/etc/nginx/shop.pem", "/etc/nginx/shop.key", {kShop});
    nginx.WriteWebFile("shop/index.html", "shop\n");
    std::string site = ShopSite(true);
    site.replace(site.find("/etc/nginx/ssl/shop.pem"), 23, "/etc/nginx/shop.pem");
    site.replace(site.find("/etc/nginx/ssl/shop.key"), 23, "/etc/nginx/shop.key");
    nginx.WriteFile("conf.d/shop.conf", site);
    nginx.Start({80, 443});

    LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1/"},
                       {"http://[::1]/"},
                       {std::string("http://") + kShop + "/"},
                       {std::string("https://") + kShop + "/", "::1"}};
    options.requestsPerSecond = 200;
    options.maxDuration = milliseconds(30000);
    LoadGenerator load(options);
    load.Start();
    std::this_thread::sleep_for(milliseconds(300));
    nginx.Reload();
    std::this_thread::sleep_for(milliseconds(300));
    const LoadCounts afterReload = load.Counts();
    EXPECT_GT(afterReload.ok, 50u) << afterReload.Describe();
    EXPECT_EQ(afterReload.failed, 0u) << afterReload.Describe();

    nginx.Stop();
    std::this_thread::sleep_for(milliseconds(1000));
    nginx.Start({80, 443});
    // Requests that were refused just before the ports opened have ended by now.
    std::this_thread::sleep_for(milliseconds(50));
    const LoadCounts restarted = load.Counts();
    std::this_thread::sleep_for(milliseconds(300));
    const LoadCounts counts = load.Stop();
    EXPECT_GT(counts.failed, 50u) << counts.Describe();
    EXPECT_GT(counts.ok, restarted.ok + 20) << counts.Describe();
    EXPECT_EQ(counts.failed, restarted.failed) << counts.Describe();
    ASSERT_FALSE(counts.failures.empty());
    EXPECT_NE(counts.failures.front().text.find("onnect"), std::string::npos) << counts.Describe();
    EXPECT_FALSE(load.Running());
}

TEST(DistroNginx, LoadGeneratorKeepsItsBounds) {
    // Nothing listens on this port: every request fails at once, and the run
    // ends by itself at its maximum duration.
    LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1:9/"}};
    options.requestsPerSecond = 100;
    options.maxDuration = milliseconds(500);
    LoadGenerator load(options);
    const auto start = std::chrono::steady_clock::now();
    load.Start();
    while (load.Running())
        std::this_thread::sleep_for(milliseconds(10));
    const LoadCounts counts = load.Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, milliseconds(1500));
    EXPECT_GE(counts.sent, 40u) << counts.Describe();
    EXPECT_LE(counts.sent, 51u) << counts.Describe();
    EXPECT_EQ(counts.failed + counts.interrupted, counts.sent) << counts.Describe();
    EXPECT_EQ(counts.failures.size(), 10u);
}

TEST(DistroNginx, AGuardCleansUpAfterATestProcessThatDied) {
    QM_E2E_REQUIRE_DISTRO_NGINX();
    // It dies with nginx running, without its destructors.
    const std::string root = ReportOfAChildThatDied(
        [] {
            DistroNginx nginx;
            nginx.Start();
            return nginx.privateRoot();
        },
        true);
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(WaitForPortClosed(80, 3000));
    EXPECT_TRUE(RemovedSoon(root)) << root;
}

TEST(DistroNginx, RefusesOutsideThePrivateNamespaces) {
    OutsidePrivateNetwork([] {
        EXPECT_FALSE(DistroNginxUnavailableReason().empty());
        EXPECT_THROW(DistroNginx{}, std::runtime_error);
    });
}

}  // namespace
}  // namespace qm::e2e
