// The Apache deployer against Debian's own packaged Apache on its own layout
// (/usr/sbin/apache2 -k start with the envvars, /etc/apache2 with its
// mods-enabled/ and sites-enabled/ links, mod_ssl not enabled as after
// `apt install apache2`), in private mount and network namespaces where
// ports 80 and 443 are free, and the real certificate center. Each test
// writes its site the way an administrator would, deploys, checks what is
// served on the wire, and undoes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/apache/sslcertsrvapache.h"
#include "deploy/apache/tests/apache_e2e_support.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/distro_apache.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::DistroApache;
using e2e::HttpGet;
using e2e::HttpOptions;
using test::Differences;
using test::ResultOf;
using test::UserNotes;

constexpr char kShop[] = "shop.example.test";
constexpr char kOther[] = "other.example.test";
constexpr char kNew[] = "new.example.test";

// The paths of `now` that `then` does not have.
std::vector<std::string> Added(const std::map<std::string, std::string>& then,
                               const std::map<std::string, std::string>& now) {
    std::vector<std::string> paths;
    for (const auto& [path, text] : now) {
        if (!then.count(path))
            paths.push_back(path);
    }
    return paths;
}

// A deployer that, after its configuration step, breaks the site file of
// sites-available/ holding `serverName`'s host.
class BrokenSiteApache : public SslCertSrvApache {
public:
    std::string serverName = "shop.example.test";
    void ConfigCert() override {
        SslCertSrvApache::ConfigCert();
        for (const auto& entry :
             fs::directory_iterator(DistroApache::ConfigPath("sites-available"))) {
            std::string text;
            ReadFileBytes(WideFromUtf8(entry.path().string()), text);
            if (text.find("ServerName " + serverName + "\n") == std::string::npos)
                continue;
            WriteFileAtomic(WideFromUtf8(entry.path().string()), text + "NoSuchDirective on\n");
            return;
        }
    }
};

class ApacheDistroE2E : public test::ApacheDeployerE2E {
protected:
    std::unique_ptr<DistroApache> apache;
    std::map<std::string, std::string> before;

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_DISTRO_APACHE();
        PrepareDeployments();
        apache = std::make_unique<DistroApache>();
        apache->WriteWebFile("shop/index.html", "<h1>shop</h1>\n");
    }

    void StartApache(const std::vector<int>& ports = {80}) {
        std::string output;
        ASSERT_TRUE(apache->TestConfig(&output)) << output;
        apache->Start(ports);
        before = Snapshot();
    }

    static std::map<std::string, std::string> Snapshot() {
        return test::Snapshot(DistroApache::kConfigDir);
    }

    static std::string SslCert(const std::string& name) {
        return std::string(DistroApache::kConfigDir) + "sslcert/" + name;
    }

    // The fingerprint of a certificate a deployment wrote.
    static std::string DeployedFingerprint(const std::string& certName) {
        std::string pem;
        ReadFileBytes(WideFromUtf8(SslCert(certName + ".crt")), pem);
        return CertificateFingerprint(pem);
    }

    static e2e::HttpResult Https(const std::string& address, const std::string& host = kShop) {
        return HttpGet("https://" + host + "/", HttpOptions().ConnectTo(address).Insecure());
    }
    static e2e::HttpResult Http(const std::string& address, const std::string& host = kShop) {
        return HttpGet("http://" + host + "/", HttpOptions().ConnectTo(address));
    }

    // HTTPS for `host` on both loopback addresses serves the certificate
    // `certName` names, for the host's own name.
    void ExpectServedOnBothAddresses(const std::string& host, const std::string& certName) {
        const std::string expected = DeployedFingerprint(certName);
        ASSERT_FALSE(expected.empty()) << SslCert(certName + ".crt");
        for (const char* address : {"127.0.0.1", "::1"}) {
            const auto page = Https(address, host);
            ASSERT_TRUE(page.ok) << address << ": " << page.error << "\n" << apache->ErrorLog();
            EXPECT_EQ(CertificateFingerprint(page.peerCertPem), expected) << address;
            EXPECT_NE(page.peerAltNames.find("DNS:" + host), std::string::npos)
                << page.peerAltNames;
            EXPECT_EQ(page.status, 200) << address;
        }
    }

    void ExpectConfigurationTestPasses() {
        std::string output;
        EXPECT_TRUE(apache->TestConfig(&output)) << output;
    }

    // Undo: every file and link as before, the same parent serving HTTP.
    void ExpectUndoneByteForByte(int parent) {
        ASSERT_EQ(Undo(), "succeed");
        EXPECT_EQ(Differences(before, Snapshot()), "");
        EXPECT_EQ(apache->ParentPid(), parent);
        const auto page = Http("127.0.0.1");
        ASSERT_TRUE(page.ok) << page.error;
        EXPECT_EQ(page.body, "<h1>shop</h1>\n");
        ExpectConfigurationTestPasses();
    }

    // The shop's site; it serves /var/www/shop, or `folder`.
    static std::string ShopSite(const std::string& folder = "/var/www/shop") {
        return "<VirtualHost *:80>\n"
               "\tServerName shop.example.test\n"
               "\tServerAlias www.shop.example.test\n"
               "\tServerAdmin webmaster@localhost\n"
               "\tDocumentRoot " +
               folder +
               "\n"
               "\n"
               "\tErrorLog ${APACHE_LOG_DIR}/error.log\n"
               "\tCustomLog ${APACHE_LOG_DIR}/access.log combined\n"
               "</VirtualHost>\n";
    }
};

TEST_F(ApacheDistroE2E, ASiteLinkedFromSitesEnabledGetsHttpsAndMod_sslIsEnabledByLinks) {
    apache->EnableSite("shop.conf", ShopSite());
    StartApache();
    ASSERT_FALSE(fs::exists(DistroApache::ConfigPath("mods-enabled/ssl.load")));
    const int parent = apache->ParentPid();

    auto d = Deployer();
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    for (const char16_t* name : {u"shop.example.test", u"www.shop.example.test"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << Utf8FromWide(name);
    EXPECT_TRUE(d->debianLayout());
    EXPECT_EQ(d->mainConfFile(), u"/etc/apache2/apache2.conf");
    ASSERT_EQ(ResultOf([&] { d->BindCertToSite({u"shop.example.test"}, 1); }), "succeed")
        << apache->ErrorLog();
    EXPECT_EQ(d->certFilePath(), WideFromUtf8(SslCert("shop.example.test.crt")));
    ExpectServedOnBothAddresses(kShop, kShop);
    EXPECT_EQ(Https("127.0.0.1").body, "<h1>shop</h1>\n");
    ExpectConfigurationTestPasses();
    EXPECT_EQ(apache->ParentPid(), parent);
    EXPECT_EQ(Http("::1").body, "<h1>shop</h1>\n");

    // mod_ssl enabled as a2enmod enables it: links into mods-available/.
    for (const char* module : {"ssl.load", "ssl.conf", "socache_shmcb.load"}) {
        const std::string link = DistroApache::ConfigPath(std::string("mods-enabled/") + module);
        ASSERT_TRUE(fs::is_symlink(link)) << link;
        EXPECT_EQ(fs::canonical(link).string(),
                  DistroApache::ConfigPath(std::string("mods-available/") + module));
    }
    // The site stays linked; apache2.conf and ports.conf are not touched.
    EXPECT_TRUE(fs::is_symlink(DistroApache::ConfigPath("sites-enabled/shop.conf")));
    EXPECT_EQ(apache->ReadFile("apache2.conf"), before["/etc/apache2/apache2.conf"]);
    EXPECT_EQ(apache->ReadFile("ports.conf"), before["/etc/apache2/ports.conf"]);

    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(fs::exists(DistroApache::ConfigPath("mods-enabled/ssl.load")));
    EXPECT_FALSE(Https("127.0.0.1").ok);
}

TEST_F(ApacheDistroE2E, DeployingTwiceNamesTheSecondFilesAndTwoUndosRestoreEverything) {
    apache->EnableSite("shop.conf", ShopSite());
    StartApache();
    const int parent = apache->ParentPid();
    auto first = Deployer();
    ASSERT_EQ(DeployWith(*first, u"shop.example.test"), "succeed") << apache->ErrorLog();
    EXPECT_EQ(first->certName(), u"shop.example.test");
    const auto afterFirst = Snapshot();
    auto second = Deployer();
    ASSERT_EQ(DeployWith(*second, u"shop.example.test"), "succeed") << apache->ErrorLog();
    EXPECT_EQ(second->certName(), u"shop.example.test(1)");
    for (const char* file : {"shop.example.test.crt", "shop.example.test.key",
                             "shop.example.test(1).crt", "shop.example.test(1).key"})
        EXPECT_TRUE(fs::exists(SslCert(file))) << file;
    ExpectServedOnBothAddresses(kShop, "shop.example.test(1)");
    ExpectConfigurationTestPasses();

    ASSERT_EQ(Undo(), "succeed");
    EXPECT_EQ(Differences(afterFirst, Snapshot()), "");
    ExpectServedOnBothAddresses(kShop, kShop);
    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(fs::exists(DistroApache::ConfigPath("mods-enabled/ssl.load")));
    EXPECT_FALSE(Https("127.0.0.1").ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(ApacheDistroE2E, ARenewalReplacesTheCertificateFilesOnlyAndAnUndoStillRestores) {
    apache->EnableSite("shop.conf", ShopSite());
    StartApache();
    const int parent = apache->ParentPid();
    auto first = Deployer();
    ASSERT_EQ(DeployWith(*first, u"shop.example.test"), "succeed") << apache->ErrorLog();
    const std::string deployedFingerprint = DeployedFingerprint(kShop);
    const auto deployed = Snapshot();
    auto renewal = Deployer();
    std::vector<std::u16string> names;
    renewal->GetSitesInfo(names);
    ASSERT_EQ(ResultOf([&] { renewal->RenewCertificate({u"shop.example.test"}, 1); }), "succeed")
        << apache->ErrorLog();
    // The same files with new content (and the previous ones beside them);
    // no configuration file changed; a graceful restart, the same parent.
    EXPECT_NE(DeployedFingerprint(kShop), deployedFingerprint);
    ExpectServedOnBothAddresses(kShop, kShop);
    EXPECT_EQ(apache->ParentPid(), parent);
    for (const auto& [path, content] : Snapshot()) {
        if (path.find("sslcert/") != std::string::npos)
            continue;
        EXPECT_EQ(deployed.at(path), content) << path;
    }
    EXPECT_TRUE(fs::exists(SslCert("shop.example.test.crt.previous")));
    ExpectUndoneByteForByte(parent);
}

TEST_F(ApacheDistroE2E, AConfigurationTestFailureIsShownAndEverythingRestoredWhileServing) {
    apache->EnableSite("shop.conf", ShopSite());
    StartApache();
    const int parent = apache->ParentPid();
    e2e::LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1/"}, {"http://shop.example.test/", "::1"}};
    options.requestsPerSecond = 100;
    options.maxDuration = std::chrono::milliseconds(60000);
    e2e::LoadGenerator load(options);
    load.Start();
    auto d = Deployer<BrokenSiteApache>();
    EXPECT_EQ(DeployWith(*d, u"shop.example.test"), "web server configuration test failed");
    const e2e::LoadCounts counts = load.Stop();
    // Apache's own message, over its two lines, naming the file as it
    // reads it: through the link in sites-enabled/.
    const std::string shown = UserNotes(*d);
    EXPECT_NE(shown.find("Syntax error on line "), std::string::npos) << shown;
    EXPECT_NE(shown.find("/etc/apache2/sites-enabled/shop.conf"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Invalid command 'NoSuchDirective'"), std::string::npos) << shown;
    EXPECT_EQ(Differences(before, Snapshot()), "");
    EXPECT_EQ(apache->ParentPid(), parent);
    EXPECT_GT(counts.ok, 20u) << counts.Describe();
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_TRUE(Http("127.0.0.1").ok);
    // Nothing the failed attempt wrote stays: no certificate, no key, no
    // verification file, no module link.
    EXPECT_FALSE(fs::exists(SslCert("shop.example.test.crt")));
    EXPECT_FALSE(fs::exists(SslCert("shop.example.test.key")));
    EXPECT_FALSE(fs::exists("/var/www/shop/auth/auth.txt"));
    EXPECT_FALSE(fs::exists(DistroApache::ConfigPath("mods-enabled/ssl.load")));
    ExpectConfigurationTestPasses();
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(ApacheDistroE2E, NoRequestFailsDuringADeploymentAndItsUndoUnderLoad) {
    // mod_ssl enabled by the administrator, another site on HTTPS already.
    apache->EnableModule("ssl");
    apache->WriteFile("ssl/.keep", "");
    e2e::MakeSelfSignedCertificate(DistroApache::ConfigPath("ssl/other.crt"),
                                   DistroApache::ConfigPath("ssl/other.key"), {kOther});
    apache->EnableSite("other.conf",
                       "<VirtualHost *:443>\n"
                       "\tServerName other.example.test\n"
                       "\tDocumentRoot /var/www/shop\n"
                       "\tSSLEngine on\n"
                       "\tSSLCertificateFile /etc/apache2/ssl/other.crt\n"
                       "\tSSLCertificateKeyFile /etc/apache2/ssl/other.key\n"
                       "</VirtualHost>\n");
    apache->EnableSite("shop.conf", ShopSite());
    StartApache({80, 443});
    const int parent = apache->ParentPid();
    e2e::LoadGenerator::Options options;
    options.targets = {{"http://127.0.0.1/"},
                       {"http://shop.example.test/", "::1"},
                       {"https://other.example.test/", "127.0.0.1"}};
    options.requestsPerSecond = 200;
    options.maxDuration = std::chrono::milliseconds(60000);
    e2e::LoadGenerator load(options);
    load.Start();
    ASSERT_EQ(Deploy(u"shop.example.test"), "succeed") << apache->ErrorLog();
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
    EXPECT_EQ(Differences(before, Snapshot()), "");
    EXPECT_EQ(apache->ParentPid(), parent);
}

TEST_F(ApacheDistroE2E, ATypedDomainNoSiteServesGetsASiteFileOfItsOwnLinkedFromSitesEnabled) {
    // The shop and Debian's default site serve one folder: a new name
    // serves it too.
    apache->WriteWebFile("html/index.html", "<h1>shop</h1>\n");
    apache->EnableSite("shop.conf", ShopSite("/var/www/html"));
    StartApache();
    const int parent = apache->ParentPid();
    ASSERT_EQ(Deploy(u"new.example.test"), "succeed") << apache->ErrorLog();
    ExpectServedOnBothAddresses(kNew, kNew);
    ExpectConfigurationTestPasses();

    // One new file in sites-available/, linked from sites-enabled/ the way
    // a2ensite links; nothing else new but mod_ssl's links.
    const auto now = Snapshot();
    std::vector<std::string> sites;
    std::vector<std::string> links;
    for (const std::string& path : Added(before, now)) {
        if (path.rfind("/etc/apache2/sites-available/", 0) == 0)
            sites.push_back(path);
        else if (path.rfind("/etc/apache2/sites-enabled/", 0) == 0)
            links.push_back(path);
        else
            EXPECT_EQ(path.rfind("/etc/apache2/mods-enabled/", 0), 0u) << path;
    }
    ASSERT_EQ(sites.size(), 1u);
    ASSERT_EQ(links.size(), 1u);
    const std::string name = fs::path(sites[0]).filename().string();
    EXPECT_EQ(fs::path(links[0]).filename().string(), name);
    EXPECT_EQ(now.at(links[0]), "-> ../sites-available/" + name);
    EXPECT_NE(now.at(sites[0]).find("ServerName new.example.test"), std::string::npos)
        << now.at(sites[0]);
    EXPECT_EQ(name.substr(name.size() - 5), ".conf");
    // The shop's own site stays as it was.
    EXPECT_EQ(apache->ReadFile("sites-available/shop.conf"),
              before["/etc/apache2/sites-available/shop.conf"]);

    ExpectUndoneByteForByte(parent);
    EXPECT_FALSE(fs::exists(sites[0]));
    EXPECT_FALSE(fs::is_symlink(links[0]));
    EXPECT_FALSE(Https("127.0.0.1", kNew).ok);
}

TEST_F(ApacheDistroE2E, ARefusedSiteFileOfItsOwnGoesWithItsLink) {
    apache->WriteWebFile("html/index.html", "<h1>shop</h1>\n");
    apache->EnableSite("shop.conf", ShopSite("/var/www/html"));
    StartApache();
    const int parent = apache->ParentPid();
    auto d = Deployer<BrokenSiteApache>();
    d->serverName = kNew;
    EXPECT_EQ(DeployWith(*d, u"new.example.test"), "web server configuration test failed");
    const std::string shown = UserNotes(*d);
    EXPECT_NE(shown.find("Invalid command 'NoSuchDirective'"), std::string::npos) << shown;
    // The rollback removes the new site file, its link and mod_ssl's links.
    EXPECT_EQ(Differences(before, Snapshot()), "");
    EXPECT_EQ(apache->ParentPid(), parent);
    EXPECT_TRUE(Http("127.0.0.1").ok);
    ExpectConfigurationTestPasses();
    EXPECT_EQ(Undo(), "nothing to undo");
}

}  // namespace
}  // namespace qm
