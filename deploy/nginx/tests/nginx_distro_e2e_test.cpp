// The nginx deployer against Debian's own packaged nginx on its own layout
// (/usr/sbin/nginx started plainly, /etc/nginx with conf.d/ and
// sites-enabled/), in private mount and network namespaces where ports 80
// and 443 are free, and the real certificate center. Each test writes its
// site the way an administrator would, deploys, checks what is served on
// the wire, and undoes.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/distro_nginx.h"
#include "tests/support/e2e/load_generator.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_deployer.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::DistroNginx;
using e2e::HttpGet;
using e2e::HttpOptions;
using test::ResultOf;

constexpr char kShop[] = "shop.example.test";
const std::u16string kShopName = u"shop.example.test";

// Every file below /etc/nginx by its path, links read through; the
// certificates a deployment adds (and leaves, as undo does) not counted.
std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(DistroNginx::kConfigDir)) {
        const std::string path = entry.path().string();
        if (path.find("/sslcert") != std::string::npos || !fs::is_regular_file(entry.path()))
            continue;
        std::string text;
        ReadFileBytes(WideFromUtf8(path), text);
        files[path] = text;
    }
    return files;
}

// A deployer that breaks an included file after its configuration step.
class BrokenIncludeNginx : public SslCertSrvNginx {
public:
    std::string brokenFile;
    void ConfigCert() override {
        SslCertSrvNginx::ConfigCert();
        std::string text;
        ReadFileBytes(WideFromUtf8(brokenFile), text);
        WriteFileAtomic(WideFromUtf8(brokenFile), text + "no_such_directive on;\n");
    }
};

class NginxDistroE2E : public ::testing::Test {
protected:
    static inline std::unique_ptr<e2e::CertCenterProcess> center;
    std::unique_ptr<DistroNginx> nginx;
    std::map<std::string, std::string> before;

    static void TearDownTestSuite() { center.reset(); }

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_DISTRO_NGINX();
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
        if (!center)
            center = std::make_unique<e2e::CertCenterProcess>();
        nginx = std::make_unique<DistroNginx>();
        nginx->WriteWebFile("shop/index.html", "<h1>shop</h1>\n");
    }

    void StartNginx() {
        nginx->Start({80});
        before = Snapshot();
    }

    template <class D = SslCertSrvNginx>
    std::unique_ptr<D> Deployer() {
        auto d = std::make_unique<D>();
        d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
        d->Initialize(WideFromUtf8(center->url()), 80, 443);
        return d;
    }

    std::string Deploy(const std::u16string& domain) {
        auto d = Deployer();
        return DeployWith(*d, domain);
    }

    static std::string DeployWith(SslCertSrvNginx& d, const std::u16string& domain) {
        std::vector<std::u16string> names;
        d.GetSitesInfo(names);
        return ResultOf([&] { d.BindCertToSite({domain}, 1); });
    }

    std::string Undo() {
        auto d = Deployer();
        return ResultOf([&] { d->RestoreWeb(); });
    }

    // The fingerprint of the certificate the last deployment wrote.
    static std::string DeployedFingerprint(const std::string& name) {
        std::string pem;
        ReadFileBytes(
            WideFromUtf8(std::string(DistroNginx::kConfigDir) + "sslcert/" + name + ".crt"), pem);
        return CertificateFingerprint(pem);
    }

    static e2e::HttpResult Https(const std::string& address, const std::string& host = kShop) {
        return HttpGet("https://" + host + "/", HttpOptions().ConnectTo(address).Insecure());
    }
    static e2e::HttpResult Http(const std::string& address, const std::string& host = kShop,
                                const std::string& path = "/") {
        return HttpGet("http://" + host + path, HttpOptions().ConnectTo(address));
    }

    void ExpectServedOnBothAddresses(const std::string& name) {
        const std::string expected = DeployedFingerprint(name);
        ASSERT_FALSE(expected.empty());
        for (const char* address : {"127.0.0.1", "::1"}) {
            const auto page = Https(address, name);
            ASSERT_TRUE(page.ok) << address << ": " << page.error << "\n" << nginx->ErrorLog();
            EXPECT_EQ(CertificateFingerprint(page.peerCertPem), expected) << address;
            EXPECT_EQ(page.status, 200) << address;
        }
    }

    void ExpectUndoneByteForByte() {
        ASSERT_EQ(Undo(), "succeed");
        EXPECT_EQ(Snapshot(), before);
        EXPECT_TRUE(nginx->Running());
        std::string output;
        EXPECT_TRUE(nginx->TestConfig(&output)) << output;
    }

    static std::string ShopSite(const std::string& extra = {}) {
        return std::string("server {\n") +
               "\tlisten 80;\n"
               "\tlisten [::]:80;\n"
               "\tserver_name shop.example.test;\n"
               "\troot /var/www/shop;\n"
               "\tindex index.html;\n" +
               extra + "}\n";
    }
};

TEST_F(NginxDistroE2E, DebianLayoutSiteLinkedFromSitesEnabled) {
    nginx->EnableSite("shop", ShopSite());
    StartNginx();
    ASSERT_TRUE(Http("127.0.0.1").ok);

    auto d = Deployer();
    EXPECT_EQ(d->GetWebServiceRoot(), u"/usr/share/nginx/");
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    EXPECT_NE(std::find(names.begin(), names.end(), u"shop.example.test"), names.end());
    ASSERT_EQ(ResultOf([&] { d->BindCertToSite({u"shop.example.test"}, 1); }), "succeed");
    ExpectServedOnBothAddresses(kShop);
    // The copy went into the linked file, the link stayed a link.
    EXPECT_TRUE(fs::is_symlink(DistroNginx::ConfigPath("sites-enabled/shop")));
    const std::string site = nginx->ReadFile("sites-available/shop");
    EXPECT_NE(site.find("listen 443 ssl;"), std::string::npos) << site;
    EXPECT_NE(site.find("listen [::]:443 ssl;"), std::string::npos) << site;
    EXPECT_EQ(nginx->ReadFile("nginx.conf").find("server_name shop"), std::string::npos);
    ExpectUndoneByteForByte();
    EXPECT_FALSE(Https("127.0.0.1").ok);
}

TEST_F(NginxDistroE2E, ConfDIncludeWithANestedIncludeInsideTheServerBlock) {
    nginx->DisableSite("default");
    nginx->WriteFile("snippets/shop-common.conf",
                     "root /var/www/shop;\nindex index.html;\nadd_header X-Shop yes;\n");
    nginx->WriteFile("conf.d/shop.conf",
                     "server {\n    listen 80;\n    server_name shop.example.test;\n"
                     "    include snippets/shop-common.conf;\n}\n");
    StartNginx();
    ASSERT_EQ(Deploy(kShopName), "succeed");
    const auto page = Https("127.0.0.1");
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_NE(page.body.find("shop"), std::string::npos);
    EXPECT_EQ(CertificateFingerprint(page.peerCertPem), DeployedFingerprint(kShop));
    // The snippet is shared: it was not touched.
    EXPECT_EQ(nginx->ReadFile("snippets/shop-common.conf"),
              before[DistroNginx::ConfigPath("snippets/shop-common.conf")]);
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, QuotedBracesCommentsAndVariablesAreReadAsNginxReadsThem) {
    nginx->DisableSite("default");
    nginx->WriteFile("conf.d/shop.conf",
                     "server {\n"
                     "    listen 80;  # the } of a comment\n"
                     "    server_name shop.example.test;\n"
                     "    root /var/www/shop;\n"
                     "    set $greeting \"hello\";\n"
                     "    add_header X-Note \"a } b { c\";\n"
                     "    add_header X-Greeting \"${greeting}-world\";\n"
                     "    location / { try_files $uri $uri/ =404; }  # }\n"
                     "}\n");
    StartNginx();
    ASSERT_EQ(Deploy(kShopName), "succeed");
    std::string output;
    EXPECT_TRUE(nginx->TestConfig(&output)) << output;
    const auto page = Https("127.0.0.1");
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(CertificateFingerprint(page.peerCertPem), DeployedFingerprint(kShop));
    const std::string conf = nginx->ReadFile("conf.d/shop.conf");
    // The copy carries the quoted values whole and starts after the block.
    EXPECT_EQ(conf.find(before[DistroNginx::ConfigPath("conf.d/shop.conf")].substr(0, 40)), 0u);
    size_t notes = 0;
    for (size_t at = conf.find("\"a } b { c\""); at != std::string::npos;
         at = conf.find("\"a } b { c\"", at + 1))
        ++notes;
    EXPECT_EQ(notes, 2u) << conf;
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, DefaultServerAndReuseportOnBothFamiliesAreNotRepeated) {
    nginx->DisableSite("default");
    e2e::MakeSelfSignedCertificate(DistroNginx::ConfigPath("other.crt"),
                                   DistroNginx::ConfigPath("other.key"), {"other.example.test"});
    nginx->WriteFile("conf.d/other.conf",
                     "server {\n    listen 443 ssl default_server reuseport;\n"
                     "    server_name other.example.test;\n"
                     "    ssl_certificate other.crt;\n    ssl_certificate_key other.key;\n}\n");
    nginx->EnableSite("shop",
                      "server {\n"
                      "    listen 80 default_server reuseport;\n"
                      "    listen [::]:80 default_server reuseport;\n"
                      "    server_name shop.example.test;\n"
                      "    root /var/www/shop;\n"
                      "}\n");
    StartNginx();
    ASSERT_EQ(Deploy(kShopName), "succeed");
    std::string output;
    EXPECT_TRUE(nginx->TestConfig(&output)) << output;
    const std::string site = nginx->ReadFile("sites-available/shop");
    // 0.0.0.0:443 has its default server and reuseport already; [::]:443
    // does not.
    EXPECT_NE(site.find("listen 443 ssl;"), std::string::npos) << site;
    EXPECT_NE(site.find("listen [::]:443 default_server reuseport ssl;"), std::string::npos)
        << site;
    ExpectServedOnBothAddresses(kShop);
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, ACrLfConfigurationStaysCrLf) {
    nginx->DisableSite("default");
    std::string site = ShopSite();
    std::string crlf;
    for (char c : site) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    nginx->WriteFile("conf.d/shop.conf", crlf);
    StartNginx();
    ASSERT_EQ(Deploy(kShopName), "succeed");
    const std::string conf = nginx->ReadFile("conf.d/shop.conf");
    EXPECT_GT(conf.size(), crlf.size());
    for (size_t i = 0; i < conf.size(); ++i) {
        if (conf[i] == '\n') {
            ASSERT_TRUE(i > 0 && conf[i - 1] == '\r') << "a bare line feed at " << i << ":\n"
                                                      << conf;
        }
    }
    ExpectServedOnBothAddresses(kShop);
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, ARedirectingSiteLetsVerificationThroughAndItsHttpsBlockIsDeployed) {
    nginx->DisableSite("default");
    e2e::MakeSelfSignedCertificate(DistroNginx::ConfigPath("old.crt"),
                                   DistroNginx::ConfigPath("old.key"), {kShop});
    const std::string redirect =
        "server {\n    listen 80;\n    server_name shop.example.test;\n"
        "    root /var/www/shop;\n"
        "    return 301 https://$host$request_uri;\n}\n";
    nginx->EnableSite("shop", redirect +
                                  "server {\n    listen 443 ssl;\n"
                                  "    server_name shop.example.test;\n"
                                  "    root /var/www/shop;\n"
                                  "    ssl_certificate old.crt;\n"
                                  "    ssl_certificate_key old.key;\n}\n");
    StartNginx();
    ASSERT_EQ(Http("127.0.0.1").status, 301);
    ASSERT_EQ(Deploy(kShopName), "succeed");
    const auto page = Https("127.0.0.1");
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(CertificateFingerprint(page.peerCertPem), DeployedFingerprint(kShop));
    // The redirect is as it was: no verification rule left behind.
    const std::string site = nginx->ReadFile("sites-available/shop");
    EXPECT_EQ(site.find(redirect), 0u) << site;
    EXPECT_EQ(site.find("auth"), std::string::npos) << site;
    EXPECT_EQ(Http("127.0.0.1").status, 301);
    EXPECT_EQ(Http("127.0.0.1", kShop, "/auth/auth.txt").status, 301);
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, ACertificateFromAnAcmeCaIsServedWithItsChainOnBothAddresses) {
    QM_E2E_REQUIRE_PEBBLE();
    nginx->EnableSite("shop", ShopSite());
    StartNginx();
    e2e::PebbleForDeployer ca({.httpPort = 80, .chainLength = 2});
    SslCertSrvNginx d;
    ca.Point(d, 80, 443);
    ASSERT_EQ(DeployWith(d, kShopName), "succeed") << ca.pebble().Output();
    ExpectServedOnBothAddresses(kShop);
    for (const char* address : {"127.0.0.1", "::1"}) {
        const auto page = HttpGet(std::string("https://") + kShop + "/",
                                  HttpOptions().ConnectTo(address).Ca(ca.rootFile()));
        EXPECT_TRUE(page.ok) << address << ": " << page.error;
    }
    // www. has no site of its own: its challenge went to the default server's folder.
    EXPECT_FALSE(fs::exists("/var/www/shop/.well-known"));
    EXPECT_FALSE(fs::exists("/var/www/html/.well-known"));
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, AnUpperCaseTypedDomainIsCertifiedInLowerCase) {
    nginx->EnableSite("shop", ShopSite());
    StartNginx();
    ASSERT_EQ(Deploy(u"SHOP.EXAMPLE.TEST"), "succeed");
    ExpectServedOnBothAddresses(kShop);
    EXPECT_NE(Https("127.0.0.1").peerAltNames.find("DNS:shop.example.test"), std::string::npos);
    ExpectUndoneByteForByte();
}

TEST_F(NginxDistroE2E, AConfigurationTestFailureInAnIncludedFileIsShownAndEverythingRestored) {
    nginx->DisableSite("default");
    nginx->WriteFile("conf.d/shop.conf", ShopSite());
    StartNginx();
    const int master = nginx->MasterPid();
    auto d = std::make_unique<BrokenIncludeNginx>();
    d->brokenFile = DistroNginx::ConfigPath("conf.d/shop.conf");
    d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
    d->Initialize(WideFromUtf8(center->url()), 80, 443);
    EXPECT_EQ(DeployWith(*d, kShopName), "web server configuration test failed");
    const auto notes = d->TakeUserNotes();
    const bool named = std::any_of(notes.begin(), notes.end(), [](const std::u16string& n) {
        return n.find(u"/etc/nginx/conf.d/shop.conf") != std::u16string::npos &&
               n.find(u"no_such_directive") != std::u16string::npos;
    });
    EXPECT_TRUE(named) << (notes.empty() ? std::string("no notes") : Utf8FromWide(notes[0]));
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(nginx->MasterPid(), master);
    EXPECT_TRUE(Http("127.0.0.1").ok);
    // Nothing the failed attempt wrote stays: no certificate, no key, no
    // verification file.
    EXPECT_FALSE(fs::exists(DistroNginx::ConfigPath("sslcert/shop.example.test.crt")));
    EXPECT_FALSE(fs::exists(DistroNginx::ConfigPath("sslcert/shop.example.test.key")));
    EXPECT_FALSE(fs::exists("/var/www/shop/auth/auth.txt"));
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(NginxDistroE2E, NoRequestFailsDuringADeploymentAndItsUndoUnderLoad) {
    nginx->DisableSite("default");
    e2e::MakeSelfSignedCertificate(DistroNginx::ConfigPath("other.crt"),
                                   DistroNginx::ConfigPath("other.key"), {"other.example.test"});
    nginx->WriteFile("conf.d/other.conf",
                     "server {\n    listen 443 ssl;\n    server_name other.example.test;\n"
                     "    root /var/www/shop;\n"
                     "    ssl_certificate other.crt;\n    ssl_certificate_key other.key;\n}\n");
    nginx->EnableSite("shop", ShopSite());
    StartNginx();
    e2e::LoadGenerator::Options options;
    options.targets = {{"http://shop.example.test/", "127.0.0.1"},
                       {"http://shop.example.test/", "::1"},
                       {"https://other.example.test/", "127.0.0.1"}};
    options.requestsPerSecond = 200;
    options.maxDuration = std::chrono::milliseconds(60000);
    e2e::LoadGenerator load(options);
    load.Start();
    ASSERT_EQ(Deploy(kShopName), "succeed");
    ASSERT_EQ(Undo(), "succeed");
    const e2e::LoadCounts counts = load.Stop();
    std::cout << "[ load ] deploy and undo under load: " << counts.Describe() << "\n";
    RecordProperty("requests_sent", static_cast<int>(counts.sent));
    RecordProperty("requests_failed", static_cast<int>(counts.failed));
    EXPECT_GT(counts.ok, 50u);
    EXPECT_EQ(counts.failed, 0u) << counts.Describe();
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(NginxDistroE2E, AConfigurationFileThatCannotBeWrittenIsNamedAndNothingChanges) {
    nginx->DisableSite("default");
    nginx->WriteFile("conf.d/shop.conf", ShopSite());
    StartNginx();
    // conf.d on a read-only mount: the file can be read, not replaced.
    const std::string confD = DistroNginx::ConfigPath("conf.d");
    ASSERT_EQ(mount(confD.c_str(), confD.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, confD.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    auto d = Deployer();
    EXPECT_EQ(DeployWith(*d, kShopName), "web server configuration cannot be written");
    const auto notes = d->TakeUserNotes();
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::u16string& n) {
        return n.find(u"/etc/nginx/conf.d/shop.conf") != std::u16string::npos;
    }));
    umount(confD.c_str());
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(Http("127.0.0.1").ok);
    EXPECT_FALSE(fs::exists(DistroNginx::ConfigPath("sslcert/shop.example.test.key")));
    EXPECT_EQ(Undo(), "nothing to undo");
}

}  // namespace
}  // namespace qm
