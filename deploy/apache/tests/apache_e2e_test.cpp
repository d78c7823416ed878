// The Apache deployer against a real httpd in the upstream layout
// (ROOT/bin/httpd -d ROOT -f ROOT/conf/httpd.conf, virtual hosts in
// conf/extra/httpd-vhosts.conf, httpd-ssl.conf only under <IfDefine SSL>),
// on ports 80 and 443 of a private network namespace, and the real
// certificate center, driven as the task driver drives it: Initialize,
// GetSitesInfo, BindCertToSite (or RestoreWeb). The test domains resolve to
// 127.0.0.1 through the private hosts file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/apache/tests/apache_e2e_support.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_deployer.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/upstream_apache.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::UpstreamApache;
using test::Differences;
using test::ResultOf;
using test::Snapshot;
using test::UserNotes;
using Clock = std::chrono::steady_clock;

constexpr char kShop[] = "shop.example.test";
constexpr char kOld[] = "old.example.test";
constexpr char kNew[] = "new.example.test";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The lines of `text` that begin with `start` (after blanks).
size_t LinesStartingWith(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    size_t n = 0;
    for (std::string line; std::getline(lines, line);) {
        line.erase(0, line.find_first_not_of(" \t"));
        if (line.rfind(start, 0) == 0)
            ++n;
    }
    return n;
}

// A deployer whose configuration step also writes a directive Apache does
// not know into the main file.
class BrokenStepApache : public SslCertSrvApache {
public:
    void ConfigCert() override {
        SslCertSrvApache::ConfigCert();
        std::string text;
        ReadFileBytes(mainConfFile_, text);
        WriteFileAtomic(mainConfFile_, text + "NoSuchDirective on\n");
    }
};

class ApacheE2E : public test::ApacheDeployerE2E {
protected:
    std::unique_ptr<UpstreamApache> httpd;
    std::map<std::string, std::string> before;

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_APACHE();
        if (!e2e::InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network, as "
                            "root";
        PrepareDeployments();
    }

    // The upstream layout on ports 80 and 443: an HTTP-only host for
    // shop.example.test (with its www. alias) in httpd-vhosts.conf, the main
    // server named main.example.test, httpd-ssl.conf only under <IfDefine
    // SSL> (not defined). With `oldOnHttps`, mod_ssl is loaded, httpd.conf
    // listens on 443 and old.example.test is served over HTTPS with a
    // self-signed certificate; otherwise mod_ssl is not loaded at all. The
    // shop serves htdocs/shop/, or with `shopInMainFolder` the main
    // server's htdocs/.
    void StartApache(bool oldOnHttps, bool shopInMainFolder = false) {
        UpstreamApache::Options options;
        options.httpPort = 80;
        options.httpsPort = 443;
        options.serverName = "main.example.test";
        options.loadSsl = oldOnHttps;
        if (oldOnHttps)
            options.extra = "Listen 443\n";
        httpd = std::make_unique<UpstreamApache>(options);
        const std::string root = httpd->serverRoot();
        std::string vhosts =
            "# Virtual Hosts\n"
            "#\n"
            "<VirtualHost *:80>\n"
            "    ServerAdmin webmaster@shop.example.test\n"
            "    DocumentRoot \"" +
            root + (shopInMainFolder ? "/htdocs" : "/htdocs/shop") +
            "\"\n"
            "    ServerName shop.example.test\n"
            "    ServerAlias www.shop.example.test\n"
            "    ErrorLog \"logs/shop.example.test-error_log\"\n"
            "    CustomLog \"logs/shop.example.test-access_log\" common\n"
            "</VirtualHost>\n";
        if (oldOnHttps) {
            e2e::MakeSelfSignedCertificate(httpd->root() + "conf/old.crt",
                                           httpd->root() + "conf/old.key", {kOld});
            vhosts +=
                "\n"
                "<VirtualHost *:443>\n"
                "    DocumentRoot \"" +
                root +
                "/htdocs\"\n"
                "    ServerName old.example.test\n"
                "    SSLEngine on\n"
                "    SSLCertificateFile \"" +
                root +
                "/conf/old.crt\"\n"
                "    SSLCertificateKeyFile \"" +
                root +
                "/conf/old.key\"\n"
                "</VirtualHost>\n";
        }
        httpd->WriteFile("conf/extra/httpd-vhosts.conf", vhosts);
        httpd->WriteFile("htdocs/shop/index.html", "<h1>shop</h1>\n");
        if (shopInMainFolder)
            httpd->WriteFile("htdocs/index.html", "<h1>shop</h1>\n");
        std::string output;
        ASSERT_TRUE(httpd->TestConfig(&output)) << output;
        if (oldOnHttps)
            httpd->Start({80, 443});
        else
            httpd->Start({80});
        before = Snapshot(ConfDir());
    }

    std::string ConfDir() const { return httpd->root() + "conf"; }
    std::string SslCert(const std::string& name) const {
        return httpd->root() + "conf/sslcert/" + name;
    }

    // The fingerprint of a certificate a deployment wrote.
    std::string DeployedFingerprint(const std::string& certName) const {
        std::string pem;
        ReadFileBytes(WideFromUtf8(SslCert(certName + ".crt")), pem);
        return CertificateFingerprint(pem);
    }

    static e2e::HttpResult Https(const std::string& host,
                                 const std::string& address = "127.0.0.1") {
        return HttpGet("https://" + host + "/", HttpOptions().ConnectTo(address).Insecure());
    }
    static e2e::HttpResult Http(const std::string& host = kShop,
                                const std::string& address = "127.0.0.1") {
        return HttpGet("http://" + host + "/", HttpOptions().ConnectTo(address));
    }

    // HTTPS for `host` on 127.0.0.1:443 serves the certificate `certName`
    // names, for the host's own name.
    void ExpectServed(const std::string& host, const std::string& certName) {
        const std::string expected = DeployedFingerprint(certName);
        ASSERT_FALSE(expected.empty()) << SslCert(certName + ".crt");
        const auto page = Https(host);
        ASSERT_TRUE(page.ok) << page.error << "\n" << httpd->ErrorLog();
        EXPECT_EQ(CertificateFingerprint(page.peerCertPem), expected);
        EXPECT_NE(page.peerAltNames.find("DNS:" + host), std::string::npos) << page.peerAltNames;
        EXPECT_EQ(page.status, 200);
    }

    void ExpectConfigurationTestPasses() {
        std::string output;
        EXPECT_TRUE(httpd->TestConfig(&output)) << output;
    }

    // Undo: every file and link as before, the same parent serving HTTP.
    void ExpectUndoneByteForByte(int parent) {
        ASSERT_EQ(Undo(), "succeed");
        EXPECT_EQ(Differences(before, Snapshot(ConfDir())), "");
        EXPECT_EQ(httpd->ParentPid(), parent);
        const auto page = Http();
        ASSERT_TRUE(page.ok) << page.error;
        EXPECT_EQ(page.body, "<h1>shop</h1>\n");
        ExpectConfigurationTestPasses();
    }

    // The text of every configuration file Apache reads, one after the
    // other (httpd-ssl.conf is not read while SSL is not defined).
    std::string AllConfiguration() const {
        std::string all;
        for (const auto& [path, text] : Snapshot(ConfDir())) {
            if (path.size() > 5 && path.compare(path.size() - 5, 5, ".conf") == 0 &&
                path.find("/httpd-ssl.conf") == std::string::npos)
                all += text;
        }
        return all;
    }
};

TEST_F(ApacheE2E, AnHttpHostGetsHttpsWhereSslWasNotLoaded) {
    StartApache(false);
    ASSERT_TRUE(Http().ok);
    ASSERT_FALSE(Https(kShop).ok);
    const int parent = httpd->ParentPid();
    const auto start = Clock::now();
    auto d = Deployer();
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    for (const char16_t* name : {u"shop.example.test", u"www.shop.example.test"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << Utf8FromWide(name);
    EXPECT_EQ(d->mainConfFile(), WideFromUtf8(httpd->confPath()));
    EXPECT_FALSE(d->debianLayout());
    EXPECT_FALSE(d->httpdSslIncluded());
    EXPECT_TRUE(d->vhostsIncluded());
    ASSERT_EQ(ResultOf([&] { d->BindCertToSite({u"shop.example.test"}, 1); }), "succeed")
        << httpd->ErrorLog();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::cout << "[ wall time ] one deployment, Initialize to HTTPS served: " << ms << " ms\n";
    RecordProperty("deployment_ms", static_cast<int>(ms));
    EXPECT_EQ(d->certName(), u"shop.example.test");
    EXPECT_EQ(d->certFilePath(), WideFromUtf8(SslCert("shop.example.test.crt")));

    ExpectServed(kShop, kShop);
    EXPECT_EQ(Https(kShop).body, "<h1>shop</h1>\n");
    ExpectConfigurationTestPasses();
    // Taken by a graceful restart: the same parent, HTTP as before.
    EXPECT_EQ(httpd->ParentPid(), parent);
    EXPECT_EQ(Http().body, "<h1>shop</h1>\n");
    // mod_ssl is loaded by a LoadModule line of the upstream kind; the TLS
    // file Apache does not read stayed as it was.
    const std::string conf = httpd->ReadFile("conf/httpd.conf");
    EXPECT_EQ(LinesStartingWith(conf, "LoadModule ssl_module modules/mod_ssl.so"), 1u) << conf;
    EXPECT_EQ(httpd->ReadFile("conf/extra/httpd-ssl.conf"),
              before[httpd->root() + "conf/extra/httpd-ssl.conf"]);
    // The key for its owner only.
    EXPECT_EQ(fs::status(SslCert("shop.example.test.key")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(Https(kShop).ok);
}

TEST_F(ApacheE2E, ACertificateFromAnAcmeCaChainsToItsRootAndIsUndone) {
    QM_E2E_REQUIRE_PEBBLE();
    StartApache(false);
    const int parent = httpd->ParentPid();
    e2e::PebbleForDeployer ca({.httpPort = 80, .chainLength = 2});
    SslCertSrvApache d;
    ca.Point(d, 80, 443);
    ASSERT_EQ(DeployWith(d, u"shop.example.test"), "succeed")
        << httpd->ErrorLog() << ca.pebble().Output();
    // Served with its chain: verified against pebble's root alone.
    const auto page = HttpGet("https://shop.example.test/",
                              HttpOptions().ConnectTo("127.0.0.1").Ca(ca.rootFile()));
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.body, "<h1>shop</h1>\n");
    EXPECT_FALSE(fs::exists(httpd->root() + "htdocs/shop/.well-known"));
    ExpectUndoneByteForByte(parent);
}

TEST_F(ApacheE2E, AnHttpsHostIsRewrittenInPlace) {
    StartApache(true);
    const std::string oldPem = httpd->ReadFile("conf/old.crt");
    ASSERT_EQ(Https(kOld).peerCertPem, oldPem);
    const int parent = httpd->ParentPid();
    ASSERT_EQ(Deploy(u"old.example.test"), "succeed") << httpd->ErrorLog();
    ExpectServed(kOld, kOld);
    ExpectConfigurationTestPasses();
    const std::string all = AllConfiguration();
    EXPECT_EQ(Count(all, "ServerName old.example.test"), 1u) << all;
    EXPECT_EQ(Count(all, "/conf/old.crt"), 0u) << all;
    EXPECT_NE(all.find(SslCert("old.example.test.crt")), std::string::npos) << all;
    EXPECT_EQ(httpd->ParentPid(), parent);

    ExpectUndoneByteForByte(parent);
    EXPECT_EQ(Https(kOld).peerCertPem, oldPem);
}

TEST_F(ApacheE2E, WhereSslIsLoadedAlreadyNothingIsLoadedOrListenedTwice) {
    StartApache(true);
    const int parent = httpd->ParentPid();
    ASSERT_EQ(Deploy(u"shop.example.test"), "succeed") << httpd->ErrorLog();
    ExpectServed(kShop, kShop);
    ExpectConfigurationTestPasses();
    const std::string all = AllConfiguration();
    EXPECT_EQ(LinesStartingWith(all, "LoadModule ssl_module"), 1u) << all;
    EXPECT_EQ(LinesStartingWith(all, "Listen 443"), 1u) << all;
    // The other HTTPS host keeps its own certificate.
    EXPECT_EQ(Https(kOld).peerCertPem, httpd->ReadFile("conf/old.crt"));
    EXPECT_EQ(httpd->ParentPid(), parent);
    ExpectUndoneByteForByte(parent);
}

TEST_F(ApacheE2E, DeployingTwiceNamesTheSecondFilesAndTwoUndosRestoreEverything) {
    StartApache(false);
    const int parent = httpd->ParentPid();
    auto first = Deployer();
    ASSERT_EQ(DeployWith(*first, u"shop.example.test"), "succeed") << httpd->ErrorLog();
    EXPECT_EQ(first->certName(), u"shop.example.test");
    const auto afterFirst = Snapshot(ConfDir());
    auto second = Deployer();
    ASSERT_EQ(DeployWith(*second, u"shop.example.test"), "succeed") << httpd->ErrorLog();
    EXPECT_EQ(second->certName(), u"shop.example.test(1)");
    for (const char* file : {"shop.example.test.crt", "shop.example.test.key",
                             "shop.example.test(1).crt", "shop.example.test(1).key"})
        EXPECT_TRUE(fs::exists(SslCert(file))) << file;
    ExpectServed(kShop, "shop.example.test(1)");
    ExpectConfigurationTestPasses();
    EXPECT_NE(AllConfiguration().find("shop.example.test(1).crt"), std::string::npos);

    // The second undo puts back what the first deployment left.
    ASSERT_EQ(Undo(), "succeed");
    EXPECT_EQ(Differences(afterFirst, Snapshot(ConfDir())), "");
    ExpectServed(kShop, kShop);
    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(Https(kShop).ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(ApacheE2E, AConfigurationTestFailureIsShownAndEverythingRestoredWhileServing) {
    StartApache(false);
    const int parent = httpd->ParentPid();
    e2e::LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1/"}, {"http://shop.example.test/", "::1"}};
    options.requestsPerSecond = 100;
    options.maxDuration = std::chrono::milliseconds(60000);
    e2e::LoadGenerator load(options);
    load.Start();
    auto d = Deployer<BrokenStepApache>();
    EXPECT_EQ(DeployWith(*d, u"shop.example.test"), "web server configuration test failed");
    const e2e::LoadCounts counts = load.Stop();
    // Apache's own message, over its two lines.
    const std::string shown = UserNotes(*d);
    EXPECT_NE(shown.find("Syntax error on line "), std::string::npos) << shown;
    EXPECT_NE(shown.find(httpd->confPath()), std::string::npos) << shown;
    EXPECT_NE(shown.find("Invalid command 'NoSuchDirective'"), std::string::npos) << shown;
    EXPECT_EQ(Differences(before, Snapshot(ConfDir())), "");
    // Never stopped: the same parent served throughout.
    EXPECT_EQ(httpd->ParentPid(), parent);
    EXPECT_GT(counts.ok, 20u) << counts.Describe();
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_TRUE(Http().ok);
    // Nothing the failed attempt wrote stays.
    EXPECT_FALSE(fs::exists(SslCert("shop.example.test.crt")));
    EXPECT_FALSE(fs::exists(SslCert("shop.example.test.key")));
    EXPECT_FALSE(fs::exists(httpd->root() + "htdocs/shop/auth/auth.txt"));
    ExpectConfigurationTestPasses();
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(ApacheE2E, NoRequestFailsDuringADeploymentAndItsUndoUnderLoad) {
    StartApache(false);
    const int parent = httpd->ParentPid();
    e2e::LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1/"},
                       {"http://shop.example.test/", "127.0.0.1"},
                       {"http://shop.example.test/", "::1"}};
    options.requestsPerSecond = 200;
    options.maxDuration = std::chrono::milliseconds(60000);
    e2e::LoadGenerator load(options);
    load.Start();
    ASSERT_EQ(Deploy(u"shop.example.test"), "succeed") << httpd->ErrorLog();
    const e2e::LoadCounts deployed = load.Counts();
    ASSERT_EQ(Undo(), "succeed");
    const e2e::LoadCounts counts = load.Stop();
    std::cout << "[ load ] deployment under load: " << deployed.Describe() << "\n";
    std::cout << "[ load ] deployment and undo under load: " << counts.Describe() << "\n";
    RecordProperty("requests_sent", static_cast<int>(counts.sent));
    RecordProperty("requests_failed", static_cast<int>(counts.failed));
    EXPECT_GT(deployed.ok, 50u) << deployed.Describe();
    EXPECT_EQ(deployed.failed, 0u) << deployed.Describe();
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_EQ(Differences(before, Snapshot(ConfDir())), "");
    EXPECT_EQ(httpd->ParentPid(), parent);
}

TEST_F(ApacheE2E, TheMainServersNameGetsAnHttpsHost) {
    StartApache(false);
    const int parent = httpd->ParentPid();
    auto d = Deployer();
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    EXPECT_NE(std::find(names.begin(), names.end(), u"main.example.test"), names.end());
    // Apache answers main.example.test on *:80 from the first virtual host
    // of that address, not from the main server: verification must find
    // its file there.
    const std::string result = ResultOf([&] { d->BindCertToSite({u"main.example.test"}, 1); });
    EXPECT_EQ(result, "succeed") << httpd->ErrorLog();
    if (result != "succeed") {
        // Whatever went wrong, nothing stays changed.
        EXPECT_EQ(Differences(before, Snapshot(ConfDir())), "");
        EXPECT_FALSE(fs::exists(httpd->root() + "htdocs/auth/auth.txt"));
        EXPECT_EQ(httpd->ParentPid(), parent);
        EXPECT_EQ(Undo(), "nothing to undo");
        return;
    }
    ExpectServed("main.example.test", "main.example.test");
    ExpectConfigurationTestPasses();
    // Over HTTPS the name shows what it showed over HTTP: the shop.
    EXPECT_EQ(Https("main.example.test").body, Http("main.example.test").body);
    EXPECT_NE(Http("main.example.test").body.find("shop"), std::string::npos);
    ExpectUndoneByteForByte(parent);
}

TEST_F(ApacheE2E, ATypedDomainIsRefusedWhereHostsServeDifferentFolders) {
    // The shop serves htdocs/shop/, the old site htdocs/: which of them a
    // new name should serve is not the deployer's guess.
    StartApache(true);
    EXPECT_EQ(Deploy(u"new.example.test"), "input site addr confilict.");
    EXPECT_EQ(Differences(before, Snapshot(ConfDir())), "");
    EXPECT_FALSE(fs::exists(SslCert("new.example.test.crt")));
    EXPECT_TRUE(Http().ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(ApacheE2E, ATypedDomainNoHostServesGetsAnHttpsHostOfItsOwn) {
    StartApache(false, true);
    const int parent = httpd->ParentPid();
    ASSERT_EQ(Deploy(u"new.example.test"), "succeed") << httpd->ErrorLog();
    ExpectServed(kNew, kNew);
    ExpectConfigurationTestPasses();
    const std::string all = AllConfiguration();
    EXPECT_EQ(Count(all, "ServerName new.example.test"), 1u) << all;
    // Not in the TLS file Apache does not read.
    EXPECT_EQ(httpd->ReadFile("conf/extra/httpd-ssl.conf"),
              before[httpd->root() + "conf/extra/httpd-ssl.conf"]);
    // The shop keeps plain HTTP only.
    EXPECT_TRUE(Http().ok);
    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(Https(kNew).ok);
}

}  // namespace
}  // namespace qm
