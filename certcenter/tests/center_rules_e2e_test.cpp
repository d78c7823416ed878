// The real center's checks before issuing, tried as an attacker would: proof
// published elsewhere on the host, redirects, private addresses, idle and
// slow connections, and a center killed in the middle of its work.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/writer.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "certcenter/tests/test_client.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/temp_dir.h"

namespace qm::certcenter {
namespace {

using e2e::CertCenterProcess;
using test::ParseAnswer;
using test::TestClient;
using Checks = CertCenterProcess::Checks;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const TestClient& Client() {
    static const TestClient client;
    return client;
}

// Posts to the center; a null answer when there is none (a killed center).
Json::Value Post(const CertCenterProcess& center, const std::string& body,
                 std::chrono::seconds readTimeout = std::chrono::seconds(30)) {
    httplib::Client client(center.url());
    client.set_ca_cert_path(center.caFile().c_str());
    client.enable_server_certificate_verification(true);
    client.set_read_timeout(readTimeout.count());
    const auto response = client.Post("/", body, "application/x-www-form-urlencoded");
    return response ? ParseAnswer(response->body) : Json::Value();
}

// A web site on a free loopback port whose handlers the test sets.
class Site {
public:
    Site() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(milliseconds(5));
    }
    ~Site() {
        server_.stop();
        thread_.join();
    }
    httplib::Server& server() { return server_; }
    int port() const { return port_; }
    std::string Url(const std::string& host, const std::string& path) const {
        return "http://" + host + ":" + std::to_string(port_) + path;
    }
    int requests() const { return requests_; }
    void Count() { ++requests_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_ = 0;
};

// The verification file as the client writes it.
std::string FileFor(const std::string& nonce) {
    std::string text;
    for (const char c : Client().Sign(nonce))
        text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return text;
}

struct Challenge {
    std::string session, nonce;
};

Challenge Challenged(const CertCenterProcess& center, const std::vector<std::string>& names) {
    const Json::Value answer = Post(center, TestClient::Challenge(names));
    EXPECT_EQ(answer["type"], "challenge") << answer;
    return {answer["sessionID"].asString(), answer["nonce"].asString()};
}

Json::Value Authorize(const CertCenterProcess& center, const Challenge& challenge,
                      const std::vector<std::string>& urls) {
    return Post(center, Client().Authorization(challenge.session, challenge.nonce, urls));
}

void ExpectRefused(const Json::Value& answer, const std::string& error, const std::string& why) {
    EXPECT_EQ(answer["type"], "error") << answer;
    EXPECT_EQ(answer["error"], error) << answer;
    EXPECT_NE(answer["message"].asString().find(why), std::string::npos) << answer;
}

class CenterRulesE2eTest : public ::testing::Test {
protected:
    void SetUp() override { QM_E2E_REQUIRE_PRIVATE_HOSTS(); }
};

TEST_F(CenterRulesE2eTest, ProofCountsOnlyAtTheVerificationFileOnAnAllowedPort) {
    Site site, other;
    std::string file;
    std::atomic<bool> redirect = false;
    site.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        site.Count();
        if (redirect)
            response.set_redirect(other.Url("shop.example.test", "/auth/auth.txt"));
        else
            response.set_content(file, "text/plain");  // the proof on every path
    });
    other.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        other.Count();
        response.set_content(file, "text/plain");
    });
    CertCenterProcess center({"--allow-local", "--allow-port", std::to_string(site.port())},
                             Checks::AsConfigured);
    const Challenge challenge = Challenged(center, {"shop.example.test"});
    file = FileFor(challenge.nonce);

    // Another path, a query, another port: refused before anything is fetched.
    ExpectRefused(
        Authorize(center, challenge, {site.Url("shop.example.test", "/uploads/auth.txt")}),
        "verifyFailed", "/auth/auth.txt");
    ExpectRefused(
        Authorize(center, challenge, {site.Url("shop.example.test", "/auth/auth.txt?u=1")}),
        "verifyFailed", "/auth/auth.txt");
    ExpectRefused(Authorize(center, challenge, {other.Url("shop.example.test", "/auth/auth.txt")}),
                  "verifyFailed", "ports");
    EXPECT_EQ(site.requests() + other.requests(), 0);

    // A redirect to a port that is not allowed is not followed.
    redirect = true;
    ExpectRefused(Authorize(center, challenge, {site.Url("shop.example.test", "/auth/auth.txt")}),
                  "verifyFailed", std::to_string(other.port()));
    EXPECT_EQ(site.requests(), 1);
    EXPECT_EQ(other.requests(), 0);

    // Allowed, the redirect is followed, and both requests are in the log.
    center.Restart({"--allow-local", "--allow-port", std::to_string(site.port()), "--allow-port",
                    std::to_string(other.port())});
    const Challenge again = Challenged(center, {"shop.example.test"});
    file = FileFor(again.nonce);
    const Json::Value answer =
        Authorize(center, again, {site.Url("shop.example.test", "/auth/auth.txt")});
    ASSERT_EQ(answer["type"], "authorization") << answer;
    EXPECT_EQ(other.requests(), 1);
    const auto log = center.RequestLog();
    ASSERT_FALSE(log.empty());
    const Json::Value& hops = log.back().line["fetches"][0]["hops"];
    ASSERT_EQ(hops.size(), 2u) << log.back().line;
    EXPECT_EQ(hops[0]["status"], 302);
    EXPECT_EQ(hops[1]["url"], other.Url("shop.example.test", "/auth/auth.txt"));
    EXPECT_EQ(hops[1]["address"], "127.0.0.1");
    EXPECT_EQ(hops[1]["status"], 200);
}

TEST_F(CenterRulesE2eTest, ReservedNamesAndPrivateAddressesAreRefusedUnlessAllowed) {
    Site site;
    std::string file;
    site.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        site.Count();
        response.set_content(file, "text/plain");
    });
    CertCenterProcess center({"--allow-port", std::to_string(site.port())}, Checks::AsConfigured);
    for (const char* name : {"shop.example.test", "localhost", "intranet"})
        ExpectRefused(Post(center, TestClient::Challenge({name})), "rejectedName", name);

    // A public-looking name whose address (here, in the private hosts file)
    // is a loopback one: the address connected to is refused, before any
    // request reaches the site.
    const Challenge challenge = Challenged(center, {"shop.example.com"});
    file = FileFor(challenge.nonce);
    ExpectRefused(Authorize(center, challenge, {site.Url("shop.example.com", "/auth/auth.txt")}),
                  "verifyFailed", "127.0.0.1");
    EXPECT_EQ(site.requests(), 0);

    center.Restart({"--allow-port", std::to_string(site.port()), "--allow-local"});
    const Challenge allowed = Challenged(center, {"shop.example.com", "shop.example.test"});
    file = FileFor(allowed.nonce);
    EXPECT_EQ(Authorize(center, allowed,
                        {site.Url("shop.example.com", "/auth/auth.txt"),
                         site.Url("shop.example.test", "/auth/auth.txt")})["type"],
              "authorization");
}

TEST_F(CenterRulesE2eTest, IdleConnectionsAndSlowSitesDoNotKeepOthersWaiting) {
    // A site that sends its headers and then one byte a second.
    Site slow;
    slow.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        slow.Count();
        response.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(milliseconds(1000));
            return sink.write("x", 1);
        });
    });
    CertCenterProcess center({"--fetch-timeout", "6s", "--handshake-timeout", "20s"});
    // Key generation is not what is timed below.
    Client();
    TestClient::MakeCsr("warm.example.test");

    // 60 idle connections from other addresses, and 6 authorizations held by
    // the slow site (the site's own worker threads are the limit there).
    std::vector<int> idle;
    for (int i = 0; i < 60; ++i)
        if (const int fd = e2e::ConnectFrom("127.0.0." + std::to_string(2 + i / 10), center.port());
            fd >= 0)
            idle.push_back(fd);
    EXPECT_EQ(idle.size(), 60u);
    std::vector<std::future<std::pair<Json::Value, milliseconds>>> held;
    for (int i = 0; i < 6; ++i)
        held.push_back(std::async(std::launch::async, [&] {
            const auto start = steady_clock::now();
            const Challenge challenge = Challenged(center, {"slow.example.test"});
            const Json::Value answer =
                Authorize(center, challenge, {slow.Url("slow.example.test", "/auth/auth.txt")});
            return std::make_pair(
                answer, std::chrono::duration_cast<milliseconds>(steady_clock::now() - start));
        }));
    std::this_thread::sleep_for(milliseconds(500));

    // Meanwhile a whole enrollment is answered promptly.
    const auto start = steady_clock::now();
    std::string file;
    Site site;
    site.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(file, "text/plain");
    });
    const Challenge challenge = Challenged(center, {"shop.example.test"});
    file = FileFor(challenge.nonce);
    ASSERT_EQ(
        Authorize(center, challenge, {site.Url("shop.example.test", "/auth/auth.txt")})["type"],
        "authorization");
    EXPECT_EQ(
        Post(center, Client().CertificateRequest(TestClient::MakeCsr("shop.example.test")))["type"],
        "certificate");
    EXPECT_LT(steady_clock::now() - start, milliseconds(4000))
        << "the center kept a legitimate client waiting";

    // The slow fetches end at the wall-clock limit, however the site trickles.
    for (auto& result : held) {
        const auto [answer, took] = result.get();
        ExpectRefused(answer, "verifyFailed", "slow.example.test");
        EXPECT_LT(took, milliseconds(11000)) << answer;
    }
    for (const int fd : idle)
        close(fd);
}

TEST_F(CenterRulesE2eTest, CenterKilledDuringIssuanceRestartsConsistent) {
    std::string file;
    std::mutex fileMutex;
    Site site;
    site.server().Get(".*", [&](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(fileMutex);
        response.set_content(file, "text/plain");
    });
    CertCenterProcess center({"--defer", "--requests-per-key", "0", "--requests-per-address", "0"});
    std::vector<std::string> tokens;  // every deferral the center answered
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> stop = false;
        std::thread client([&] {
            while (!stop) {
                const Json::Value challenge =
                    Post(center, TestClient::Challenge({"shop.example.test"}));
                if (challenge["type"] != "challenge")
                    continue;
                {
                    std::lock_guard lock(fileMutex);
                    file = FileFor(challenge["nonce"].asString());
                }
                const Json::Value authorized = Post(
                    center, Client().Authorization(
                                challenge["sessionID"].asString(), challenge["nonce"].asString(),
                                {site.Url("shop.example.test", "/auth/auth.txt")}));
                if (authorized["type"] != "authorization")
                    continue;
                const Json::Value deferred = Post(
                    center, Client().CertificateRequest(TestClient::MakeCsr("shop.example.test")));
                if (deferred["type"] == "defer")
                    tokens.push_back(deferred["token"].asString());
            }
        });
        std::this_thread::sleep_for(milliseconds(150 + 97 * round));
        center.KillAndRestart();
        stop = true;
        client.join();
    }
    ASSERT_FALSE(tokens.empty());
    // Every request the center acknowledged before a kill is still known,
    // and the state is whole: the center started again each time.
    for (const auto& token : tokens)
        EXPECT_EQ(Post(center, Client().StatusRequest(token))["type"], "defer") << token;
    const std::string state = qm::test::ReadAll(WideFromUtf8(center.stateDir() + "/center.json"));
    EXPECT_GE(ParseAnswer(state)["requests"].size(), tokens.size());
    for (const auto& entry : std::filesystem::directory_iterator(center.stateDir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
            << "a temporary file was left: " << entry.path();
}

}  // namespace
}  // namespace qm::certcenter
