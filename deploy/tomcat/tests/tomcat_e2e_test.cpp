// The Tomcat deployer against a real Tomcat on ports 80 and 443 of a private
// network namespace: a catalina.base of its own run with Debian's
// catalina.home by catalina.sh, and Debian's own base /var/lib/tomcat10
// whose conf is a link to /etc/tomcat10; the real certificate center;
// driven as the task driver drives it: Initialize, GetSitesInfo,
// BindCertToSite (or RestoreWeb). The test domains resolve to 127.0.0.1
// through the private hosts file.
//
// Server.xml carries the shipped comments (a commented HTTPS connector among
// them), the default host localhost, a host for the shop with its www.
// alias and an appBase of its own, and a second host. Each test checks what
// is served on the wire, that Server.xml only gained whole lines, and that
// an undo puts it back byte for byte. Deployments print how long they took
// and how long HTTP and HTTPS did not answer meanwhile ("[timing] ...").
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/tomcat/sslcertsrvtomcat.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/config_snapshot.h"
#include "tests/support/e2e/distro_tomcat.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/pebble_deployer.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/tomcat_base.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using e2e::DistroTomcat;
using e2e::HttpGet;
using e2e::HttpOptions;
using e2e::ReadTextFile;
using e2e::TomcatBase;
using test::Differences;
using test::ResultOf;
using test::Snapshot;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kShop[] = "shop.example.test";
constexpr char kNew[] = "new.example.test";
constexpr char kShopPage[] = "<h1>shop</h1>\n";
constexpr char kOtherPage[] = "<h1>other</h1>\n";

// The hosts after the default one: the shop with its www. name, and a
// second site.
constexpr char kHosts[] =
    "\n"
    "      <!-- The shop: applications of its own, and its www. name -->\n"
    "      <Host name=\"shop.example.test\" appBase=\"shopapps\"\n"
    "            unpackWARs=\"true\" autoDeploy=\"false\">\n"
    "        <Alias>www.shop.example.test</Alias>\n"
    "        <Valve className=\"org.apache.catalina.valves.AccessLogValve\" "
    "directory=\"logs\"\n"
    "               prefix=\"shop_access_log\" suffix=\".txt\" pattern=\"common\" />\n"
    "      </Host>\n"
    "\n"
    "      <!-- Another site of the same Tomcat -->\n"
    "      <Host name=\"other.example.test\" appBase=\"otherapps\"\n"
    "            unpackWARs=\"true\" autoDeploy=\"false\">\n"
    "      </Host>\n";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The text without its XML comments (the shipped file has a commented
// HTTPS connector).
std::string WithoutComments(std::string text) {
    for (size_t at; (at = text.find("<!--")) != std::string::npos;) {
        const size_t end = text.find("-->", at);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 3 - at);
    }
    return text;
}

// The lines of a text, each with its line end.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Whether `now` is `then` with whole lines added and nothing else: every
// line of `then` is in `now`, byte for byte and in order. `diff` receives
// the lines of a line diff ("+ " added, "- " gone).
bool OnlyLinesAdded(const std::string& then, const std::string& now, std::string& diff) {
    const std::vector<std::string> a = Lines(then);
    const std::vector<std::string> b = Lines(now);
    // The longest common subsequence of lines, from the ends.
    std::vector<std::vector<uint32_t>> common(a.size() + 1, std::vector<uint32_t>(b.size() + 1));
    for (size_t i = a.size(); i-- > 0;) {
        for (size_t j = b.size(); j-- > 0;) {
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1
                                        : std::max(common[i + 1][j], common[i][j + 1]);
        }
    }
    diff.clear();
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            ++i;
            ++j;
        } else if (j < b.size() && (i == a.size() || common[i][j + 1] >= common[i + 1][j])) {
            diff += "+ " + b[j++];
        } else {
            diff += "- " + a[i++];
        }
    }
    return common[0][0] == a.size();
}

// The value of attribute `name` in the first tag after `anchor`.
std::string AttributeAfter(const std::string& text, const std::string& anchor,
                           const std::string& name) {
    const size_t at = text.find(anchor);
    if (at == std::string::npos)
        return {};
    const size_t tagEnd = text.find('>', at);
    const size_t start = text.find(name + "=\"", at);
    if (start == std::string::npos || start > tagEnd)
        return {};
    const size_t valueStart = start + name.size() + 2;
    return text.substr(valueStart, text.find('"', valueStart) - valueStart);
}

// The certificate of a PKCS#12 key store (PEM), read by the openssl program.
std::string KeyStoreCertificate(const std::string& path, const std::string& password) {
    for (bool legacy : {false, true}) {
        std::vector<std::string> argv{"openssl", "pkcs12",   "-in",     path,
                                      "-nokeys", "-clcerts", "-passin", "pass:" + password};
        if (legacy)
            argv.push_back("-legacy");
        std::string output;
        if (e2e::RunProgram(argv, output) == 0 && !CertificateFingerprint(output).empty())
            return output;
    }
    return {};
}

// Polls one URL every 50 ms from a thread of its own, each request on a new
// connection with a one-second limit, and tells how long it went without
// an answer (status 200) at most.
class Availability {
public:
    Availability(std::string url, HttpOptions options) {
        options.Timeout(1000);
        thread_ = std::thread([this, url = std::move(url), options] {
            while (!stop_) {
                const auto at = Clock::now();
                const e2e::HttpResult page = HttpGet(url, options);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    samples_.push_back({at, page.ok && page.status == 200});
                }
                std::this_thread::sleep_for(milliseconds(50));
            }
        });
    }
    ~Availability() { Stop(); }

    void Stop() {
        if (!thread_.joinable())
            return;
        stop_ = true;
        thread_.join();
        end_ = Clock::now();
    }

    // The longest run of failed polls: from the start of its first poll to
    // the start of the next that was answered (or the end).
    long long LongestOutageMs() const {
        long long longest = 0;
        bool failing = false;
        Clock::time_point since;
        for (const Sample& s : samples_) {
            if (!s.ok && !failing) {
                failing = true;
                since = s.at;
            } else if (s.ok && failing) {
                failing = false;
                longest = std::max<long long>(
                    longest, std::chrono::duration_cast<milliseconds>(s.at - since).count());
            }
        }
        if (failing)
            longest = std::max<long long>(
                longest, std::chrono::duration_cast<milliseconds>(end_ - since).count());
        return longest;
    }
    size_t Polls() const { return samples_.size(); }
    size_t Failures() const {
        return static_cast<size_t>(
            std::count_if(samples_.begin(), samples_.end(), [](const Sample& s) { return !s.ok; }));
    }

private:
    struct Sample {
        Clock::time_point at;
        bool ok;
    };
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Sample> samples_;
    Clock::time_point end_;
};

// A deployer whose configuration step leaves a key store Tomcat cannot
// open: garbage bytes where the PKCS#12 file should be.
class UnreadableKeyStoreTomcat : public SslCertSrvTomcat {
public:
    void ConfigCert() override {
        SslCertSrvTomcat::ConfigCert();
        WriteFileAtomic(pfxFilePath(), "\x13\x37 this is no key store \xff\xfe\n");
    }
};

// What the deployer tests share, whatever the layout: the center, the
// deployer as the task driver drives it, what is served.
class TomcatDeployment : public ::testing::Test {
protected:
    static inline std::unique_ptr<e2e::CertCenterProcess> center;

    static void TearDownTestSuite() { center.reset(); }

    void SetUpCenter() {
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
        if (!center)
            center = std::make_unique<e2e::CertCenterProcess>();
    }

    virtual TomcatBase& Tomcat() = 0;

    template <class D = SslCertSrvTomcat>
    std::unique_ptr<D> Deployer() {
        auto d = std::make_unique<D>();
        d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
        d->Initialize(WideFromUtf8(center->url()), 80, 443);
        return d;
    }

    static std::string DeployWith(SslCertSrvTomcat& d, const std::u16string& domain) {
        std::vector<std::u16string> names;
        d.GetSitesInfo(names);
        return ResultOf([&] { d.BindCertToSite({domain}, 1); });
    }

    // Deploys with pollers of HTTP and (when it answered before) HTTPS
    // running, and prints how long that took and how long they went
    // without an answer.
    std::string TimedDeploy(SslCertSrvTomcat& d, const std::u16string& domain,
                            const std::string& what) {
        const std::string host = Utf8FromWide(domain);
        const bool httpsBefore = Https(host).ok;
        Availability http("http://" + host + "/", HttpOptions().ConnectTo("127.0.0.1"));
        std::unique_ptr<Availability> https;
        if (httpsBefore)
            https = std::make_unique<Availability>("https://" + host + "/",
                                                   HttpOptions().ConnectTo("127.0.0.1").Insecure());
        std::this_thread::sleep_for(milliseconds(200));
        const auto start = Clock::now();
        const std::string result = DeployWith(d, domain);
        const long long ms = MsSince(start);
        std::this_thread::sleep_for(milliseconds(200));
        http.Stop();
        std::printf("[timing] %s: GetSitesInfo and BindCertToSite %lld ms (%s)\n", what.c_str(), ms,
                    result.c_str());
        std::printf("[timing] %s: HTTP unavailable at most %lld ms (%zu of %zu polls failed)\n",
                    what.c_str(), http.LongestOutageMs(), http.Failures(), http.Polls());
        if (https) {
            https->Stop();
            std::printf(
                "[timing] %s: HTTPS unavailable at most %lld ms (%zu of %zu polls failed)\n",
                what.c_str(), https->LongestOutageMs(), https->Failures(), https->Polls());
        }
        std::fflush(stdout);
        RecordProperty(what + " ms", static_cast<int>(ms));
        return result;
    }

    std::string Deploy(const std::u16string& domain) {
        auto d = Deployer();
        return DeployWith(*d, domain);
    }

    std::string Undo(const std::string& what = {}) {
        const auto start = Clock::now();
        Availability http("http://shop.example.test/", HttpOptions().ConnectTo("127.0.0.1"));
        auto d = Deployer();
        const std::string result = ResultOf([&] { d->RestoreWeb(); });
        http.Stop();
        if (!what.empty()) {
            std::printf("[timing] %s: RestoreWeb %lld ms, HTTP unavailable at most %lld ms\n",
                        what.c_str(), MsSince(start), http.LongestOutageMs());
            std::fflush(stdout);
        }
        return result;
    }

    // Right after an undo or a rollback returned: how long the shop's HTTP
    // then takes to answer (a request Tomcat may hold in its queue until its
    // connectors start), printed, and expected to be at once. Waits up to
    // 30 s, so that what a test checks next sees a Tomcat that serves.
    void ExpectHttpAnswersAtOnce(const std::string& after) {
        const auto start = Clock::now();
        e2e::HttpResult page;
        while (MsSince(start) < 30000) {
            page = HttpGet("http://shop.example.test/",
                           HttpOptions()
                               .ConnectTo("127.0.0.1")
                               .Timeout(static_cast<int>(30000 - MsSince(start)) + 1));
            if (page.ok)
                break;
            std::this_thread::sleep_for(milliseconds(50));
        }
        const long long late = MsSince(start);
        std::printf("[timing] HTTP answered %lld ms after %s returned\n", late, after.c_str());
        std::fflush(stdout);
        ASSERT_TRUE(page.ok) << page.error << "\n" << Tomcat().LogTail();
        EXPECT_LT(late, 1000) << after << " returned before Tomcat served HTTP again";
    }

    static e2e::HttpResult Https(const std::string& host) {
        return HttpGet("https://" + host + "/", HttpOptions().ConnectTo("127.0.0.1").Insecure());
    }
    static e2e::HttpResult Http(const std::string& host = kShop) {
        return HttpGet("http://" + host + "/", HttpOptions().ConnectTo("127.0.0.1"));
    }

    // HTTPS for `host` on 127.0.0.1:443 serves `certPem`: verified against
    // the center's CA for the host's own name, and the certificate inside
    // the key store the connector names.
    void ExpectServed(const std::string& host, const std::string& certPem,
                      const std::string& pfxPath) {
        ASSERT_FALSE(CertificateFingerprint(certPem).empty());
        const auto page = HttpGet("https://" + host + "/",
                                  HttpOptions().Ca(center->caFile()).ConnectTo("127.0.0.1"));
        ASSERT_TRUE(page.ok) << host << ": " << page.error << "\n" << Tomcat().LogTail();
        EXPECT_EQ(page.status, 200);
        EXPECT_EQ(CertificateFingerprint(page.peerCertPem), CertificateFingerprint(certPem));
        EXPECT_NE(page.peerAltNames.find("DNS:" + host), std::string::npos) << page.peerAltNames;
        const std::string xml = Tomcat().ReadServerXml();
        const std::string password =
            AttributeAfter(xml, pfxPath + "\"", "certificateKeystorePassword");
        ASSERT_FALSE(password.empty()) << xml;
        EXPECT_EQ(CertificateFingerprint(KeyStoreCertificate(pfxPath, password)),
                  CertificateFingerprint(page.peerCertPem))
            << pfxPath;
    }

    // Server.xml gained whole lines, nothing else.
    static void ExpectOnlyLinesAdded(const std::string& original, const std::string& now) {
        std::string diff;
        EXPECT_TRUE(OnlyLinesAdded(original, now, diff)) << diff;
        EXPECT_FALSE(diff.empty());
    }
};

// ---- A catalina.base of its own ----

class TomcatE2E : public TomcatDeployment {
protected:
    std::unique_ptr<TomcatBase> tomcat;
    std::string original;  // Server.xml as written
    std::map<std::string, std::string> before;

    TomcatBase& Tomcat() override { return *tomcat; }

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_TOMCAT();
        if (!e2e::InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network, as "
                            "root";
        SetUpCenter();
    }

    // Tomcat on ports 80 (and 443 in the commented example only), the
    // hosts of kHosts, HTTP only.
    void StartTomcat(bool crlf = false) {
        tomcat = std::make_unique<TomcatBase>(TomcatBase::Options{80, 443});
        e2e::ServerXmlOptions options = tomcat->DefaultServerXml();
        options.crlf = crlf;
        options.engineExtra = kHosts;
        tomcat->WriteServerXml(options);
        tomcat->WriteFile("shopapps/ROOT/index.html", kShopPage);
        tomcat->WriteFile("otherapps/ROOT/index.html", kOtherPage);
        tomcat->Start({80});
        original = tomcat->ReadServerXml();
        before = Snapshot(tomcat->confDir());
        ASSERT_EQ(Http().body, kShopPage);
        ASSERT_EQ(Http("other.example.test").body, kOtherPage);
        ASSERT_FALSE(Https(kShop).ok);
    }

    std::string KeyStore(const std::string& certName) const {
        return tomcat->base() + "conf/sslcert/" + certName + ".pfx";
    }

    // Undo: Server.xml byte for byte, every other file as before, HTTP served.
    void ExpectUndone(const std::string& what = {}) {
        ASSERT_EQ(Undo(what), "succeed") << tomcat->LogTail();
        ExpectHttpAnswersAtOnce("RestoreWeb");
        EXPECT_EQ(tomcat->ReadServerXml(), original);
        EXPECT_EQ(Differences(before, Snapshot(tomcat->confDir())), "");
        EXPECT_TRUE(tomcat->Running());
        const auto page = Http();
        ASSERT_TRUE(page.ok) << page.error << "\n" << tomcat->LogTail();
        EXPECT_EQ(page.body, kShopPage);
    }
};

TEST_F(TomcatE2E, AHostWithItsAliasGetsHttpsAndAnUndoPutsServerXmlBack) {
    StartTomcat();
    const int jvm = tomcat->JvmPid();
    auto d = Deployer();
    std::vector<std::u16string> names;
    d->GetSitesInfo(names);
    for (const char16_t* name :
         {u"localhost", u"shop.example.test", u"www.shop.example.test", u"other.example.test"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << Utf8FromWide(name);
    EXPECT_EQ(d->catalinaBase(), WideFromUtf8(tomcat->base()));
    EXPECT_EQ(d->catalinaHome(), u"/usr/share/tomcat10/");
    EXPECT_EQ(d->serverXmlPath(), WideFromUtf8(tomcat->serverXmlPath()));
    EXPECT_EQ(d->defaultHost(), u"localhost");
    EXPECT_TRUE(d->sslHostConfigForm());

    ASSERT_EQ(TimedDeploy(*d, u"shop.example.test", "first deployment"), "succeed")
        << tomcat->LogTail();
    EXPECT_EQ(d->certName(), u"shop.example.test");
    EXPECT_EQ(d->pfxFilePath(), WideFromUtf8(KeyStore("shop.example.test")));
    ExpectServed(kShop, d->certPem(), KeyStore("shop.example.test"));
    EXPECT_EQ(Https(kShop).body, kShopPage);
    // Restarted: another JVM, HTTP as before.
    EXPECT_NE(tomcat->JvmPid(), jvm);
    EXPECT_EQ(Http().body, kShopPage);
    EXPECT_EQ(Http("other.example.test").body, kOtherPage);

    const std::string xml = tomcat->ReadServerXml();
    ExpectOnlyLinesAdded(original, xml);
    EXPECT_EQ(Count(WithoutComments(xml), "<Connector port=\"443\""), 1u) << xml;
    EXPECT_EQ(Count(xml, KeyStore("shop.example.test")), 1u) << xml;
    EXPECT_EQ(Count(xml, "<Alias>www.shop.example.test</Alias>"), 1u) << xml;

    ExpectUndone("undo of the first deployment");
    EXPECT_FALSE(Https(kShop).ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(TomcatE2E, ACertificateFromAnAcmeCaChainsToItsRootAndIsUndone) {
    QM_E2E_REQUIRE_PEBBLE();
    StartTomcat();
    e2e::PebbleForDeployer ca({.httpPort = 80, .chainLength = 2});
    SslCertSrvTomcat d;
    ca.Point(d, 80, 443);
    ASSERT_EQ(DeployWith(d, u"shop.example.test"), "succeed")
        << tomcat->LogTail() << ca.pebble().Output();
    // The key store carries the chain: verified against pebble's root alone.
    const auto page =
        HttpGet("https://shop.example.test/",
                HttpOptions().ConnectTo("127.0.0.1").Ca(ca.rootFile()).Timeout(15000));
    ASSERT_TRUE(page.ok) << page.error;
    EXPECT_EQ(page.body, kShopPage);
    EXPECT_FALSE(fs::exists(tomcat->base() + "shopapps/ROOT/.well-known"));
    ExpectUndone();
}

TEST_F(TomcatE2E, DeployingAgainWritesAKeyStoreNamedWithOneAndTheConnectorPointsAtIt) {
    StartTomcat();
    auto first = Deployer();
    ASSERT_EQ(DeployWith(*first, u"shop.example.test"), "succeed") << tomcat->LogTail();
    const std::string afterFirst = tomcat->ReadServerXml();
    const auto snapshotAfterFirst = Snapshot(tomcat->confDir());

    auto second = Deployer();
    ASSERT_EQ(TimedDeploy(*second, u"shop.example.test", "deploying again"), "succeed")
        << tomcat->LogTail();
    EXPECT_EQ(second->certName(), u"shop.example.test(1)");
    EXPECT_EQ(second->pfxFilePath(), WideFromUtf8(KeyStore("shop.example.test(1)")));
    EXPECT_TRUE(fs::exists(KeyStore("shop.example.test")));
    EXPECT_TRUE(fs::exists(KeyStore("shop.example.test(1)")));
    ExpectServed(kShop, second->certPem(), KeyStore("shop.example.test(1)"));
    const std::string xml = tomcat->ReadServerXml();
    EXPECT_EQ(Count(WithoutComments(xml), "<Connector port=\"443\""), 1u) << xml;
    EXPECT_EQ(Count(xml, KeyStore("shop.example.test(1)")), 1u) << xml;
    EXPECT_EQ(Count(xml, KeyStore("shop.example.test") + "\""), 0u) << xml;
    ExpectOnlyLinesAdded(original, xml);

    // The first undo puts back what the first deployment left.
    ASSERT_EQ(Undo("undo of the second deployment"), "succeed") << tomcat->LogTail();
    ExpectHttpAnswersAtOnce("RestoreWeb");
    EXPECT_EQ(tomcat->ReadServerXml(), afterFirst);
    EXPECT_EQ(Differences(snapshotAfterFirst, Snapshot(tomcat->confDir())), "");
    ExpectServed(kShop, first->certPem(), KeyStore("shop.example.test"));
    ExpectUndone();
    EXPECT_FALSE(Https(kShop).ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(TomcatE2E, ATypedDomainNoHostServesIsServedOverHttps) {
    StartTomcat();
    ASSERT_FALSE(Https(kNew).ok);
    // Tomcat answers a name no host has from the default host.
    const std::string plain = Http(kNew).body;
    ASSERT_NE(plain.find("It works!"), std::string::npos) << plain;
    auto d = Deployer();
    ASSERT_EQ(TimedDeploy(*d, u"new.example.test", "a typed domain"), "succeed")
        << tomcat->LogTail();
    EXPECT_EQ(d->certName(), u"new.example.test");
    ExpectServed(kNew, d->certPem(), KeyStore("new.example.test"));
    // Over HTTPS the name shows what it showed over HTTP.
    EXPECT_EQ(Https(kNew).body, plain);
    EXPECT_EQ(Http(kNew).body, plain);
    const std::string xml = tomcat->ReadServerXml();
    ExpectOnlyLinesAdded(original, xml);
    EXPECT_EQ(Count(xml, "<Host name=\"new.example.test\"") +
                  Count(xml, "<Alias>new.example.test</Alias>"),
              1u)
        << xml;
    // The other sites keep what they served.
    EXPECT_EQ(Http().body, kShopPage);
    EXPECT_EQ(Http("other.example.test").body, kOtherPage);

    ExpectUndone("undo of a typed domain");
    EXPECT_FALSE(Https(kNew).ok);
}

TEST_F(TomcatE2E, AKeyStoreTomcatCannotOpenIsRolledBackWithTomcatsOwnWords) {
    StartTomcat();
    auto d = Deployer<UnreadableKeyStoreTomcat>();
    EXPECT_EQ(TimedDeploy(*d, u"shop.example.test", "a refused key store, rolled back"),
              "web server restart failed");
    ExpectHttpAnswersAtOnce("the rolled back BindCertToSite");
    std::string shown;
    bool fromTheLog = false;
    const std::string log = tomcat->CatalinaOut();
    for (const auto& note : d->TakeUserNotes()) {
        const std::string line = Utf8FromWide(note);
        shown += line + "\n";
        if (line.size() > 20 && log.find(line) != std::string::npos)
            fromTheLog = true;
    }
    EXPECT_TRUE(fromTheLog) << "notes:\n" << shown << "log:\n" << tomcat->LogTail(120);
    EXPECT_NE(shown.find("Connector"), std::string::npos) << shown;
    // Everything as before, and Tomcat serving as before.
    EXPECT_EQ(tomcat->ReadServerXml(), original);
    EXPECT_EQ(Differences(before, Snapshot(tomcat->confDir())), "");
    EXPECT_FALSE(fs::exists(KeyStore("shop.example.test")));
    EXPECT_TRUE(tomcat->Running());
    const auto page = Http();
    ASSERT_TRUE(page.ok) << page.error << "\n" << tomcat->LogTail();
    EXPECT_EQ(page.body, kShopPage);
    EXPECT_FALSE(Https(kShop).ok);
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(TomcatE2E, AServerXmlWithWindowsLineEndsGetsItsAdditionsWithThemToo) {
    StartTomcat(true);
    ASSERT_NE(original.find("\r\n"), std::string::npos);
    auto d = Deployer();
    ASSERT_EQ(DeployWith(*d, u"shop.example.test"), "succeed") << tomcat->LogTail();
    ExpectServed(kShop, d->certPem(), KeyStore("shop.example.test"));
    const std::string xml = tomcat->ReadServerXml();
    ExpectOnlyLinesAdded(original, xml);
    size_t bare = 0;
    for (size_t i = 0; i < xml.size(); ++i) {
        if (xml[i] == '\n' && (i == 0 || xml[i - 1] != '\r'))
            ++bare;
    }
    EXPECT_EQ(bare, 0u) << xml;
    EXPECT_EQ(Count(xml, "\r\r"), 0u);
    ExpectUndone();
}

// ---- Debian's own base ----

class TomcatDistroE2E : public TomcatDeployment {
protected:
    std::unique_ptr<DistroTomcat> tomcat;
    std::string original;
    std::map<std::string, std::string> before;
    struct stat originalStat {};

    TomcatBase& Tomcat() override { return *tomcat; }

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        QM_E2E_REQUIRE_DISTRO_TOMCAT();
        SetUpCenter();
        tomcat = std::make_unique<DistroTomcat>();
    }

    // The package's Server.xml on ports 80 and 443, with the shop's host
    // added as an administrator would: same owner, group and mode.
    void StartTomcat() {
        std::string xml = tomcat->ReadServerXml();
        const std::string from = "<Connector port=\"8080\"";
        ASSERT_NE(xml.find(from), std::string::npos) << xml;
        xml.replace(xml.find(from), from.size(), "<Connector port=\"80\"");
        for (size_t at; (at = xml.find("redirectPort=\"8443\"")) != std::string::npos;)
            xml.replace(at, 19, "redirectPort=\"443\"");
        const size_t engineEnd = xml.find("    </Engine>");
        ASSERT_NE(engineEnd, std::string::npos);
        xml.insert(engineEnd, std::string(kHosts).substr(1));
        const std::string path = DistroTomcat::ConfigPath("server.xml");
        struct stat packaged {};
        ASSERT_EQ(stat(path.c_str(), &packaged), 0);
        tomcat->WriteServerXmlText(xml);
        ASSERT_EQ(chown(path.c_str(), packaged.st_uid, packaged.st_gid), 0);
        ASSERT_EQ(chmod(path.c_str(), packaged.st_mode & 07777), 0);
        ASSERT_EQ(stat(path.c_str(), &originalStat), 0);
        tomcat->WriteFile("shopapps/ROOT/index.html", kShopPage);
        tomcat->WriteFile("otherapps/ROOT/index.html", kOtherPage);
        tomcat->Start({80});
        original = tomcat->ReadServerXml();
        before = Snapshot(DistroTomcat::kConfigDir);
        ASSERT_EQ(Http().body, kShopPage);
    }
};

TEST_F(TomcatDistroE2E, DebiansOwnBaseIsEditedThroughItsConfLinkAndRestored) {
    StartTomcat();
    auto d = Deployer();
    ASSERT_EQ(TimedDeploy(*d, u"shop.example.test", "Debian's own base"), "succeed")
        << tomcat->LogTail();
    EXPECT_EQ(d->catalinaBase(), u"/var/lib/tomcat10/");
    EXPECT_EQ(d->catalinaHome(), u"/usr/share/tomcat10/");
    const std::string pfx = "/var/lib/tomcat10/conf/sslcert/shop.example.test.pfx";
    EXPECT_EQ(d->pfxFilePath(), WideFromUtf8(pfx));
    ExpectServed(kShop, d->certPem(), pfx);
    EXPECT_EQ(Https(kShop).body, kShopPage);

    // The edit went through the link into /etc/tomcat10; the link stayed.
    EXPECT_TRUE(fs::is_symlink("/var/lib/tomcat10/conf"));
    EXPECT_EQ(fs::read_symlink("/var/lib/tomcat10/conf"), "/etc/tomcat10");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(DistroTomcat::ConfigPath("server.xml"))));
    EXPECT_TRUE(fs::exists(DistroTomcat::ConfigPath("sslcert/shop.example.test.pfx")));
    const std::string xml = ReadTextFile(DistroTomcat::ConfigPath("server.xml"));
    ExpectOnlyLinesAdded(original, xml);
    EXPECT_EQ(Count(xml, pfx), 1u) << xml;
    // Tomcat's group keeps reading Server.xml, and may read the key store.
    struct stat now {};
    ASSERT_EQ(stat(DistroTomcat::ConfigPath("server.xml").c_str(), &now), 0);
    EXPECT_EQ(now.st_gid, originalStat.st_gid);
    EXPECT_EQ(now.st_mode & 07777, originalStat.st_mode & 07777);
    struct stat key {};
    ASSERT_EQ(stat(DistroTomcat::ConfigPath("sslcert/shop.example.test.pfx").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0007, 0u);
    EXPECT_EQ(key.st_gid, originalStat.st_gid);

    ASSERT_EQ(Undo("undo on Debian's own base"), "succeed") << tomcat->LogTail();
    ExpectHttpAnswersAtOnce("RestoreWeb");
    EXPECT_EQ(ReadTextFile(DistroTomcat::ConfigPath("server.xml")), original);
    EXPECT_EQ(Differences(before, Snapshot(DistroTomcat::kConfigDir)), "");
    EXPECT_TRUE(fs::is_symlink("/var/lib/tomcat10/conf"));
    EXPECT_EQ(Http().body, kShopPage);
    EXPECT_FALSE(Https(kShop).ok);
}

TEST_F(TomcatDistroE2E, ARenewalRewritesTheKeyStoreWithItsPasswordAndAccess) {
    StartTomcat();
    auto d = Deployer();
    ASSERT_EQ(DeployWith(*d, u"shop.example.test"), "succeed") << tomcat->LogTail();
    const std::string deployed = ReadTextFile(DistroTomcat::ConfigPath("server.xml"));
    const std::string pfx = "/var/lib/tomcat10/conf/sslcert/shop.example.test.pfx";
    auto renewal = Deployer();
    std::vector<std::u16string> names;
    renewal->GetSitesInfo(names);
    ASSERT_EQ(ResultOf([&] { renewal->RenewCertificate({u"shop.example.test"}, 1); }), "succeed")
        << tomcat->LogTail();
    ExpectServed(kShop, renewal->certPem(), pfx);
    EXPECT_NE(CertificateFingerprint(renewal->certPem()), CertificateFingerprint(d->certPem()));
    // Server.xml as the deployment left it; the key store readable by
    // Tomcat's group as before, the previous one kept beside it.
    EXPECT_EQ(ReadTextFile(DistroTomcat::ConfigPath("server.xml")), deployed);
    struct stat key {};
    ASSERT_EQ(stat(pfx.c_str(), &key), 0);
    EXPECT_EQ(key.st_gid, originalStat.st_gid);
    EXPECT_EQ(key.st_mode & 0007, 0u);
    EXPECT_TRUE(fs::exists(pfx + ".previous"));

    ASSERT_EQ(Undo("undo after a renewal"), "succeed") << tomcat->LogTail();
    EXPECT_EQ(ReadTextFile(DistroTomcat::ConfigPath("server.xml")), original);
    EXPECT_FALSE(Https(kShop).ok);
}

}  // namespace
}  // namespace qm
