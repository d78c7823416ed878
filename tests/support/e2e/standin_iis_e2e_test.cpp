// The stand-in IIS on ports 80 and 443 of a private network: two started
// sites (one bound by host name with an SNI certificate, one host-less with
// the 0.0.0.0:443 certificate) and a stopped one; certificates chosen as
// HTTP.sys does, changes of the TLS bindings and the sites taken without a
// restart, SIGHUP as a restart, and a clean stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/standin_iis.h"

namespace qm::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kA = "a.example.test";
constexpr const char* kB = "b.example.test";
constexpr const char* kPageA = "<h1>site a</h1>\n";
constexpr const char* kPageB = "<h1>site b</h1>\n";
constexpr int kWaitMs = 10000;

// What one HTTPS GET saw: the page and the served certificate's thumbprint.
struct Served {
    HttpResult result;
    std::string thumbprint;
};

Served GetHttps(const std::string& url, const std::string& connectTo = {}) {
    Served served;
    served.result = HttpGet(url, HttpOptions().Insecure().ConnectTo(connectTo));
    served.thumbprint = CertificateThumbprint(served.result.peerCertPem);
    return served;
}

// Polls until `url` serves the certificate `thumbprint`.
bool ServedSoon(const std::string& url, const std::string& thumbprint) {
    const auto end = steady_clock::now() + milliseconds(kWaitMs);
    while (GetHttps(url).thumbprint != thumbprint) {
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return true;
}

class StandinIisE2E : public testing::Test {
protected:
    StandinIis iis;
    std::string certA, certB;
    std::vector<StandinIis::Site> sites;

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        if (!InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network, as "
                            "root";
        const std::string rootA = iis.MakeFolder("a");
        const std::string rootB = iis.MakeFolder("b");
        WriteTextFile(rootA + "Default.htm", kPageA);
        WriteTextFile(rootA + "index.html", "not the default document\n");
        WriteTextFile(rootA + "notes.txt", "a's notes\n");
        WriteTextFile(rootB + "index.html", kPageB);
        sites = {
            {"Site A",
             1,
             "Started",
             rootA,
             {{"http", "*:80:a.example.test"}, {"https", "*:443:a.example.test", 1}}},
            {"Site B", 2, "started", rootB, {{"http", "*:80:"}, {"https", "*:443:", 0}}},
            {"Stopped", 3, "Stopped", rootB, {{"http", "*:8080:"}}},
        };
        iis.WriteSites(sites);
        certA = iis.AddSelfSigned({kA});
        certB = iis.AddSelfSigned({kB});
        iis.WriteSslBindings({{"a.example.test:443", true, certA}, {"0.0.0.0:443", false, certB}});
        iis.Start({80, 443});
    }
};

TEST_F(StandinIisE2E, ChoosesCertificatesAndSitesAsIisDoes) {
    EXPECT_EQ(std::atoi(ReadTextFile(iis.PidFile()).c_str()), iis.Pid());

    const Served a = GetHttps("https://a.example.test/");
    ASSERT_TRUE(a.result.ok) << a.result.error << "\n" << iis.Output();
    EXPECT_EQ(a.result.status, 200);
    EXPECT_EQ(a.result.body, kPageA);
    EXPECT_EQ(a.thumbprint, certA);

    // No host name binding for b: the certificate of 0.0.0.0:443.
    const Served b = GetHttps("https://b.example.test/");
    ASSERT_TRUE(b.result.ok) << b.result.error << "\n" << iis.Output();
    EXPECT_EQ(b.result.body, kPageB);
    EXPECT_EQ(b.thumbprint, certB);

    // Without SNI the address decides; the host-less site takes the request.
    const Served noSni = GetHttps("https://127.0.0.1/");
    ASSERT_TRUE(noSni.result.ok) << noSni.result.error;
    EXPECT_EQ(noSni.thumbprint, certB);
    EXPECT_EQ(noSni.result.body, kPageB);

    // Over IPv6 the SNI binding still serves a; b has no [::]:443 binding.
    const Served a6 = GetHttps("https://a.example.test/", "::1");
    ASSERT_TRUE(a6.result.ok) << a6.result.error;
    EXPECT_EQ(a6.thumbprint, certA);
    EXPECT_FALSE(GetHttps("https://b.example.test/", "::1").result.ok);
    EXPECT_NE(iis.Output().find("no TLS binding"), std::string::npos) << iis.Output();

    const HttpResult httpA = HttpGet("http://a.example.test/");
    ASSERT_TRUE(httpA.ok) << httpA.error;
    EXPECT_EQ(httpA.body, kPageA);
    EXPECT_EQ(HttpGet("http://A.Example.Test/notes.txt").body, "a's notes\n");
    EXPECT_EQ(HttpGet("http://b.example.test/").body, kPageB);
    EXPECT_EQ(HttpGet("http://127.0.0.1/").body, kPageB);
    EXPECT_EQ(HttpGet("http://[::1]/").body, kPageB);
    EXPECT_EQ(HttpGet("http://a.example.test/missing.htm").status, 404);
    EXPECT_EQ(HttpGet("http://a.example.test/%2e%2e/b/index.html").status, 400);

    // The stopped site's port stays closed.
    EXPECT_FALSE(PortAcceptsConnections(8080));
}

TEST_F(StandinIisE2E, TakesChangedBindingsWithoutARestart) {
    const int pid = iis.Pid();
    const std::string renewed = iis.AddSelfSigned({kA});
    iis.WriteSslBindings({{"a.example.test:443", true, renewed}, {"0.0.0.0:443", false, certB}});
    EXPECT_TRUE(ServedSoon("https://a.example.test/", renewed)) << iis.Output();
    EXPECT_EQ(GetHttps("https://b.example.test/").thumbprint, certB);

    // A new https binding on 8443 with an address binding of its own.
    sites[0].bindings.push_back({"https", "*:8443:a.example.test", 1});
    iis.WriteSites(sites);
    iis.WriteSslBindings({{"a.example.test:443", true, renewed},
                          {"0.0.0.0:443", false, certB},
                          {"0.0.0.0:8443", false, certA}});
    ASSERT_TRUE(WaitForPort(8443, kWaitMs)) << iis.Output();
    EXPECT_TRUE(ServedSoon("https://a.example.test:8443/", certA)) << iis.Output();
    EXPECT_EQ(GetHttps("https://a.example.test:8443/").result.body, kPageA);

    // A configuration that does not parse leaves everything as it was.
    const int loads = iis.Loads();
    iis.WriteApplicationHostConfig("<configuration><system.applicationHost>");
    ASSERT_TRUE(iis.WaitForLoad(loads)) << iis.Output();
    EXPECT_NE(iis.Output().find("keeping the previous state"), std::string::npos);
    EXPECT_EQ(GetHttps("https://a.example.test:8443/").thumbprint, certA);

    // Without the binding the port closes again.
    sites[0].bindings.pop_back();
    iis.WriteSites(sites);
    EXPECT_TRUE(WaitForPortClosed(8443, kWaitMs)) << iis.Output();
    EXPECT_EQ(GetHttps("https://a.example.test/").thumbprint, renewed);
    EXPECT_EQ(iis.Pid(), pid);
    EXPECT_TRUE(iis.Running());
}

TEST_F(StandinIisE2E, RestartsOnHangupAndStopsCleanly) {
    const int pid = iis.Pid();
    iis.Restart();
    EXPECT_EQ(iis.Pid(), pid);
    const Served a = GetHttps("https://a.example.test/");
    ASSERT_TRUE(a.result.ok) << a.result.error << "\n" << iis.Output();
    EXPECT_EQ(a.thumbprint, certA);
    EXPECT_EQ(GetHttps("https://b.example.test/").thumbprint, certB);
    EXPECT_EQ(HttpGet("http://a.example.test/").body, kPageA);

    EXPECT_EQ(iis.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(iis.PidFile()));
    EXPECT_FALSE(PortAcceptsConnections(80));
    EXPECT_FALSE(PortAcceptsConnections(443));
}

TEST(StandinIis, RefusesAConfigurationThatDoesNotParse) {
    StandinIis iis;
    iis.WriteApplicationHostConfig("<configuration>\n");
    try {
        iis.Start();
        FAIL() << "it started:\n" << iis.Output();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("exited with 1"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("not well-formed"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace qm::e2e
