// The nginx deployer against a real nginx in a temporary folder and the real
// certificate center, driven as the task driver drives it: Initialize,
// GetSitesInfo, BindCertToSite (or RestoreWeb). The test domains resolve to
// 127.0.0.1 through the private hosts file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "deploy/nginx/sslcertsrvnginx.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using e2e::HttpGet;
using e2e::NginxSandbox;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

using test::ResultOf;

// Adds text as the first lines of the http block of the file on disk, after
// the deployer wrote it: a configuration step that goes wrong.
void InjectIntoHttpBlock(const std::u16string& confFile, const std::string& lines) {
    std::string text;
    ASSERT_TRUE(ReadFileBytes(confFile, text));
    const size_t http = text.find("http {\n");
    ASSERT_NE(http, std::string::npos);
    text.insert(http + 7, lines);
    ASSERT_TRUE(WriteFileAtomic(confFile, text));
}

// A deployer whose configuration step also writes something nginx refuses.
class BrokenStepNginx : public SslCertSrvNginx {
public:
    void ConfigCert() override {
        SslCertSrvNginx::ConfigCert();
        InjectIntoHttpBlock(confFilePath_, "    no_such_directive on;\n");
    }
};

// A deployer whose configuration passes nginx's test but cannot start: it
// adds a block on a port another program holds.
class BlockedPortNginx : public SslCertSrvNginx {
public:
    int blockedPort = 0;
    void ConfigCert() override {
        SslCertSrvNginx::ConfigCert();
        InjectIntoHttpBlock(
            confFilePath_, "    server {\n        listen 127.0.0.1:" + std::to_string(blockedPort) +
                               ";\n        server_name blocked.example.test;\n"
                               "    }\n");
    }
};

class NginxE2E : public ::testing::Test {
protected:
    std::unique_ptr<e2e::CertCenterProcess> center;
    std::unique_ptr<NginxSandbox> nginx;
    std::string original;
    int http = 0;
    int https = 0;

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_NGINX();
        test::InstallConfigTemplates(test::ProgramHome());
        center = std::make_unique<e2e::CertCenterProcess>();
        StartNginx(NginxSandbox::Options{});
    }

    void StartNginx(NginxSandbox::Options options) {
        nginx.reset();
        nginx = std::make_unique<NginxSandbox>(options);
        http = nginx->httpPort();
        https = nginx->httpsPort();
        e2e::MakeSelfSignedCertificate(nginx->root() + "conf/old.crt",
                                       nginx->root() + "conf/old.key", {"old.example.test"});
        nginx->WriteConfig(ShopBlock() +
                           "    server {\n"
                           "        listen 127.0.0.1:" +
                           std::to_string(https) +
                           " ssl;\n"
                           "        server_name old.example.test;\n"
                           "        root html;\n"
                           "        ssl_certificate old.crt;\n"
                           "        ssl_certificate_key old.key;\n"
                           "    }\n");
        original = nginx->ReadConfigText();
        nginx->Start({http, https});
    }

    std::string ShopBlock() const {
        return "    server {\n"
               "        listen 127.0.0.1:" +
               std::to_string(http) +
               ";\n"
               "        server_name shop.example.test www.shop.example.test;\n"
               "        root html;\n"
               "        index index.html;\n"
               "        # kept for reference: location /legacy { return 301 /; } }\n"
               "        location / {\n"
               "        }\n"
               "    }";
    }

    template <class D = SslCertSrvNginx>
    std::unique_ptr<D> Deployer() {
        auto d = std::make_unique<D>();
        d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
        d->Initialize(WideFromUtf8(center->url()), http, https);
        return d;
    }

    // What the task driver does for one click.
    template <class D = SslCertSrvNginx>
    std::unique_ptr<D> Deploy(std::vector<std::u16string> domains, D* prepared = nullptr) {
        std::unique_ptr<D> d = prepared ? std::unique_ptr<D>(prepared) : Deployer<D>();
        std::vector<std::u16string> names;
        d->GetSitesInfo(names);
        d->BindCertToSite(domains, 1);
        return d;
    }

    e2e::HttpResult Https(const std::string& host) const {
        return HttpGet(NginxSandbox::UrlFor("https", host, https, "/"), center->caFile());
    }
    e2e::HttpResult Http(const std::string& host) const {
        return HttpGet(NginxSandbox::UrlFor("http", host, http, "/"));
    }
    std::string Conf() const { return nginx->ReadConfigText(); }
    std::string SslCert(const std::string& name) const {
        return nginx->root() + "conf/sslcert/" + name;
    }
};

TEST_F(NginxE2E, HttpSiteGetsAnHttpsCopyServingTheNewCertificate) {
    ASSERT_TRUE(Http("shop.example.test").ok);
    EXPECT_FALSE(Https("shop.example.test").ok);
    const auto start = Clock::now();
    auto d = Deployer();
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"old.example.test", u"shop.example.test",
                                                  u"www.shop.example.test"}));
    EXPECT_EQ(d->GetWebServiceRoot(), nginx->rootWide());
    d->BindCertToSite({u"shop.example.test"}, 1);
    const auto page = Https("shop.example.test");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_TRUE(page.ok) << page.error << "\n" << Conf() << nginx->ErrorLog();
    std::cout << "[ wall time ] one deployment, Initialize to HTTPS verified: " << ms << " ms\n";
    RecordProperty("deployment_ms", static_cast<int>(ms));
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("sandbox"), std::string::npos);
    EXPECT_NE(page.peerAltNames.find("DNS:shop.example.test"), std::string::npos)
        << page.peerAltNames;

    // The HTTP block stays as it was; its HTTPS copy follows it.
    const std::string conf = Conf();
    const std::string copyStart =
        ShopBlock() + "\n    server {\n        listen 127.0.0.1:" + std::to_string(https) +
        " ssl;\n" + "        server_name shop.example.test www.shop.example.test;\n";
    EXPECT_NE(conf.find(copyStart), std::string::npos) << conf;
    EXPECT_EQ(Count(conf, "ssl on"), 0u);
    EXPECT_EQ(Count(conf, "ssl_protocols\t TLSv1.2 TLSv1.3;"), 1u);
    EXPECT_TRUE(Http("shop.example.test").ok);
    std::string output;
    EXPECT_TRUE(nginx->TestConfig(&output)) << output;

    // Certificate with its chain, key for the owner only, no chain file.
    std::string crt;
    ASSERT_TRUE(ReadFileBytes(WideFromUtf8(SslCert("shop.example.test.crt")), crt));
    EXPECT_GE(Count(crt, "-----BEGIN CERTIFICATE-----"), 2u);
    EXPECT_EQ(crt.find('\r'), std::string::npos);
    EXPECT_EQ(fs::status(SslCert("shop.example.test.key")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(SslCert("shop.example.test.chain.crt")));
}

TEST_F(NginxE2E, HttpsBlockIsRewrittenInPlace) {
    Deploy({u"old.example.test"});
    const auto page = Https("old.example.test");
    ASSERT_TRUE(page.ok) << page.error << "\n" << Conf();
    EXPECT_NE(page.peerAltNames.find("DNS:old.example.test"), std::string::npos);
    const std::string conf = Conf();
    EXPECT_EQ(Count(conf, "server_name old.example.test;"), 1u) << conf;
    EXPECT_EQ(Count(conf, "old.crt"), 0u);
    EXPECT_NE(conf.find("ssl_certificate \"" + SslCert("old.example.test.crt") + "\";"),
              std::string::npos)
        << conf;
}

TEST_F(NginxE2E, TypedDomainGetsANewBlockInsideTheHttpBlock) {
    Deploy({u"new.example.test"});
    const auto page = Https("new.example.test");
    ASSERT_TRUE(page.ok) << page.error << "\n" << Conf();
    EXPECT_NE(page.peerAltNames.find("DNS:new.example.test"), std::string::npos);
    EXPECT_NE(page.body.find("sandbox"), std::string::npos);
    const std::string conf = Conf();
    const size_t block = conf.find("\n\tserver{\n\t\tlisten 127.0.0.1:" + std::to_string(https) +
                                   " ssl;\n\t\tserver_name new.example.test;\n");
    ASSERT_NE(block, std::string::npos) << conf;
    // The block closes, then the http block does: nothing in between.
    EXPECT_EQ(conf.substr(conf.size() - 5), "\t}\n}\n");
    EXPECT_EQ(conf.find("server_name new.example.test"),
              conf.rfind("server_name new.example.test"));
}

TEST_F(NginxE2E, DeployingTwiceKeepsTheFirstCertificate) {
    auto first = Deploy({u"shop.example.test"});
    EXPECT_EQ(first->certName(), u"shop.example.test");
    auto second = Deploy({u"shop.example.test"});
    EXPECT_EQ(second->certName(), u"shop.example.test(1)");
    EXPECT_TRUE(fs::exists(SslCert("shop.example.test.crt")));
    EXPECT_TRUE(fs::exists(SslCert("shop.example.test.key")));
    EXPECT_TRUE(fs::exists(SslCert("shop.example.test(1).crt")));
    EXPECT_TRUE(fs::exists(SslCert("shop.example.test(1).key")));
    const std::string conf = Conf();
    EXPECT_EQ(Count(conf, "server_name shop.example.test www.shop.example.test;"), 2u) << conf;
    EXPECT_NE(conf.find("shop.example.test(1).crt"), std::string::npos);
    EXPECT_TRUE(Https("shop.example.test").ok);
}

TEST_F(NginxE2E, UndoRestoresTheConfigurationByteForByteAndReloads) {
    const int master = nginx->MasterPid();
    Deploy({u"shop.example.test"});
    ASSERT_TRUE(Https("shop.example.test").ok);
    auto undo = Deployer();
    undo->RestoreWeb();
    EXPECT_EQ(Conf(), original);
    // Reloaded, never stopped: the same master serves throughout.
    EXPECT_EQ(nginx->MasterPid(), master);
    EXPECT_TRUE(Http("shop.example.test").ok);
    // The old certificate is served again; the center's CA does not vouch for it.
    EXPECT_FALSE(Https("shop.example.test").ok);
    EXPECT_TRUE(HttpGet(NginxSandbox::UrlFor("https", "old.example.test", https, "/"),
                        nginx->root() + "conf/old.crt")
                    .ok);
}

TEST_F(NginxE2E, UndoRefusesAnAlteredBackupCopyAndChangesNothing) {
    Deploy({u"shop.example.test"});
    const int master = nginx->MasterPid();
    // The backup copy this deployment recorded is damaged before the undo.
    std::string record;
    ASSERT_TRUE(ReadFileBytes(SslCertSrvBase::BackupRecordPath(), record));
    const std::string attribute = "bakFilePath=\"";
    const size_t at = record.find(attribute);
    ASSERT_NE(at, std::string::npos) << record;
    const size_t from = at + attribute.size();
    const std::string copy = record.substr(from, record.find('"', from) - from);
    ASSERT_TRUE(fs::exists(copy)) << copy;
    std::ofstream(copy, std::ios::app) << "no_such_directive on;\n";
    const std::string deployed = Conf();
    auto undo = Deployer();
    EXPECT_EQ(ResultOf([&] { undo->RestoreWeb(); }), "backup copy missing or altered");
    const auto notes = undo->TakeUserNotes();
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.front().find(WideFromUtf8(copy)), std::u16string::npos);
    EXPECT_EQ(Conf(), deployed);
    EXPECT_EQ(nginx->MasterPid(), master);
    EXPECT_TRUE(Https("shop.example.test").ok);
}

TEST_F(NginxE2E, RefusedConfigurationIsTakenBackWhileTheServerKeepsServing) {
    const int master = nginx->MasterPid();
    std::atomic<bool> done{false};
    std::atomic<int> served{0}, failed{0};
    std::thread poller([&] {
        while (!done) {
            (Http("shop.example.test").ok ? served : failed)++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    auto* d = new BrokenStepNginx;
    d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
    d->Initialize(WideFromUtf8(center->url()), http, https);
    const std::string result =
        ResultOf([&] { Deploy<BrokenStepNginx>({u"shop.example.test"}, d); });
    done = true;
    poller.join();
    EXPECT_EQ(result, "web server configuration test failed");
    EXPECT_EQ(Conf(), original);
    EXPECT_EQ(nginx->MasterPid(), master);
    EXPECT_GT(served.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

TEST_F(NginxE2E, ServerThatDoesNotComeBackIsStartedAgainOnTheOldConfiguration) {
    // Another program holds a port the edited configuration asks for: nginx's
    // test passes, its start does not.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);

    auto* d = new BlockedPortNginx;
    d->blockedPort = ntohs(address.sin_port);
    d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
    d->Initialize(WideFromUtf8(center->url()), http, https);
    const std::string result =
        ResultOf([&] { Deploy<BlockedPortNginx>({u"shop.example.test"}, d); });
    close(fd);
    EXPECT_EQ(result, "web server restart failed");
    EXPECT_EQ(Conf(), original);
    EXPECT_NE(nginx->MasterPid(), 0);
    EXPECT_TRUE(Http("shop.example.test").ok);
    EXPECT_FALSE(Https("shop.example.test").ok);
}

TEST_F(NginxE2E, InstallationIsFoundInEveryPortableLayout) {
    // The executable beside conf/, as a link to the installed one: the
    // process shows the installed path, the prefix names the folder.
    NginxSandbox::Options options;
    options.layout = NginxSandbox::Layout::RootFolder;
    options.copyExecutable = false;
    StartNginx(options);
    auto d = Deployer();
    EXPECT_EQ(d->GetWebServiceRoot(), nginx->rootWide());
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    EXPECT_EQ(d->confFilePath(), nginx->rootWide() + u"conf/nginx.conf");

    // Without its configuration file it is not an nginx this deployer knows.
    fs::rename(nginx->confPath(), nginx->confPath() + ".moved");
    SslCertSrvNginx lost;
    EXPECT_EQ(ResultOf([&] { lost.Initialize(WideFromUtf8(center->url()), http, https); }),
              "web service is not running.");
    fs::rename(nginx->confPath() + ".moved", nginx->confPath());
}

TEST_F(NginxE2E, AMissingIncludedFileIsNamedInNginxsOwnWordsBeforeAnythingChanges) {
    // The file was removed after nginx started: nginx runs, its
    // configuration on disk no longer reads.
    std::string text = Conf();
    text.insert(text.find("http {\n") + 7, "    include extra/missing.conf;\n");
    nginx->WriteConfigText(text);
    auto d = Deployer();
    std::vector<std::u16string> names;
    EXPECT_EQ(ResultOf([&] { d->GetSitesInfo(names); }), "web server configuration test failed");
    const auto notes = d->TakeUserNotes();
    const bool named = std::any_of(notes.begin(), notes.end(), [](const std::u16string& n) {
        return n.find(u"[emerg]") != std::u16string::npos &&
               n.find(u"extra/missing.conf") != std::u16string::npos;
    });
    EXPECT_TRUE(named) << (notes.empty() ? std::string("no notes") : Utf8FromWide(notes[0]));
    EXPECT_EQ(Conf(), text);
    EXPECT_TRUE(Http("shop.example.test").ok);
}

}  // namespace
}  // namespace qm
