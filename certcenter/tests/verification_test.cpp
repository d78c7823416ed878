#include "certcenter/verification.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

namespace qm::certcenter {
namespace {

TEST(VerificationUrlTest, ParsesWhatTheClientSends) {
    VerificationUrl url;
    ASSERT_TRUE(ParseVerificationUrl("http://Shop.Example.test:80/auth/auth.txt", url));
    EXPECT_EQ(url.scheme, "http");
    EXPECT_EQ(url.host, "shop.example.test");
    EXPECT_EQ(url.port, 80);
    EXPECT_EQ(url.target, "/auth/auth.txt");

    ASSERT_TRUE(ParseVerificationUrl("HTTPS://shop.example.test", url));
    EXPECT_EQ(url.port, 443);
    EXPECT_EQ(url.target, "/");
    ASSERT_TRUE(ParseVerificationUrl("http://shop.example.test:8080?x=1#frag", url));
    EXPECT_EQ(url.port, 8080);
    EXPECT_EQ(url.target, "/?x=1");
}

TEST(VerificationUrlTest, RefusesOtherSchemesHostsAndJunk) {
    VerificationUrl url;
    for (const char* bad :
         {"ftp://shop.example.test/a", "shop.example.test/auth", "http://user@shop.example.test/",
          "http://127.0.0.1/auth", "http://[::1]/auth", "http://shop.example.test:0/",
          "http://shop.example.test:99999/", "http://shop.example.test:/",
          "http://shop.example.test/a b", "http:///auth", "file:///etc/passwd",
          "http://shop.example.test/a\r\nHost: evil"})
        EXPECT_FALSE(ParseVerificationUrl(bad, url)) << bad;
}

TEST(DnsNameTest, AcceptsDomainNamesOnly) {
    for (const char* good : {"shop.example.test", "www.shop.example.test", "a-b.c", "localhost",
                             "x1.example.test", "123.example.test"})
        EXPECT_TRUE(IsValidDnsName(good)) << good;
    const std::string longLabel(64, 'a');
    for (const std::string& bad :
         {std::string(), std::string("*.example.test"), std::string("Shop.example.test"),
          std::string("a..b"), std::string(".a"), std::string("a."), std::string("-a.test"),
          std::string("a-.test"), std::string("a_b.test"), std::string("127.0.0.1"),
          std::string("example.123"), longLabel + ".test", std::string(254, 'a'),
          std::string("caf\xc3\xa9.test")})
        EXPECT_FALSE(IsValidDnsName(bad)) << bad;
}

TEST(VerificationTextTest, ReadsCrLfAsLfAndIgnoresTrailingBreaks) {
    EXPECT_EQ(NormalizeVerificationText("ab\r\ncd\r\nef"), "ab\ncd\nef");
    EXPECT_EQ(NormalizeVerificationText("ab\ncd\n"), "ab\ncd");
    EXPECT_EQ(NormalizeVerificationText("ab\r\ncd\r\n\r\n"), "ab\ncd");
    EXPECT_EQ(NormalizeVerificationText("ab\rcd"), "ab\rcd") << "a lone CR is content";
    EXPECT_EQ(NormalizeVerificationText(""), "");
}

// A web site on a loopback port for the fetcher.
class FetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.Get("/auth/auth.txt", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("line1\r\nline2", "text/plain");
        });
        server_.Get("/big", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(100 * 1024, 'x'), "text/plain");
        });
        server_.Get("/moved", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/auth/auth.txt");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::yield();
    }
    void TearDown() override {
        server_.stop();
        thread_.join();
    }
    std::string Url(const std::string& path) const {
        return "http://localhost:" + std::to_string(port_) + path;
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

TEST_F(FetchTest, FetchesTheFileAsServed) {
    const FetchResult result = FetchVerificationFile(Url("/auth/auth.txt"));
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.body, "line1\r\nline2");
}

TEST_F(FetchTest, FailsOnStatusSizeRedirectAndRefusal) {
    FetchResult result = FetchVerificationFile(Url("/missing"));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.problem, "HTTP status 404");

    result = FetchVerificationFile(Url("/big"));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.problem, "the file is larger than 65536 bytes");
    EXPECT_TRUE(result.body.empty());

    result = FetchVerificationFile(Url("/moved"));
    EXPECT_FALSE(result.ok) << "a redirect could send the check to another site";
    EXPECT_EQ(result.problem, "HTTP status 302");

    // A port nobody listens on any more.
    const std::string closed = Url("/auth/auth.txt");
    server_.stop();
    thread_.join();
    thread_ = std::thread([] {});
    result = FetchVerificationFile(closed);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.problem.empty());
}

}  // namespace
}  // namespace qm::certcenter
