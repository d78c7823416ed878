#include "certcenter/verification.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "certcenter/crypto.h"
#include "certcenter/host/sockets.h"

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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A self-signed certificate for "localhost", as a site without a trusted
// certificate has.
std::pair<PKey, Cert> SelfSigned() {
    PKey key = GenerateKey(KeyKind::Ec);
    Cert cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    return {std::move(key), std::move(cert)};
}

// A web site on a loopback port, counting the requests that reach it.
class Site {
public:
    explicit Site(bool tls = false) {
        if (tls) {
            auto [key, cert] = SelfSigned();
            server_ = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
        } else {
            server_ = std::make_unique<httplib::Server>();
        }
        server_->set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response&) {
                std::lock_guard lock(mutex_);
                paths_.push_back(request.path);
                userAgent_ = request.get_header_value("User-Agent");
                return httplib::Server::HandlerResponse::Unhandled;
            });
        server_->Get("/auth/auth.txt", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("line1\r\nline2", "text/plain");
        });
    }
    ~Site() { Stop(); }

    httplib::Server& operator*() { return *server_; }
    httplib::Server* operator->() { return server_.get(); }

    void Start() {
        port_ = server_->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running())
            std::this_thread::sleep_for(1ms);
    }
    void Stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }
    int port() const { return port_; }
    std::string Url(const std::string& path, const std::string& host = "localhost") const {
        const bool tls = dynamic_cast<httplib::SSLServer*>(server_.get()) != nullptr;
        return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(port_) +
               path;
    }
    std::vector<std::string> Paths() {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    std::string UserAgent() {
        std::lock_guard lock(mutex_);
        return userAgent_;
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> paths_;
    std::string userAgent_;
};

void Redirect(httplib::Server& server, const std::string& path, int status,
              const std::string& location, const std::string& body = {}) {
    server.Get(path, [=](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_header("Location", location);
        if (!body.empty())
            response.set_content(body, "text/plain");
    });
}

FetchPolicy LoopbackPolicy(std::vector<int> ports) {
    FetchPolicy policy;
    policy.allowPrivateAddresses = true;
    policy.allowedPorts = {};
    for (const int port : ports)
        policy.allowedPorts.Add(port, port);
    policy.deadline = 5s;
    policy.connectTimeout = 2s;
    return policy;
}

TEST(FetchTest, FetchesTheFileAsServedAndRecordsTheHop) {
    Site site;
    site.Start();
    const std::string url = site.Url("/auth/auth.txt");
    const FetchResult result = FetchVerificationFile(url, LoopbackPolicy({site.port()}));
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.body, "line1\r\nline2");
    EXPECT_TRUE(result.problem.empty());
    ASSERT_EQ(result.hops.size(), 1u);
    EXPECT_EQ(result.hops[0].url, url);
    EXPECT_EQ(result.hops[0].address, "127.0.0.1");
    EXPECT_EQ(result.hops[0].status, 200);
    EXPECT_NE(site.UserAgent().find("quillmate-certcenter"), std::string::npos);
}

TEST(FetchTest, FailsOnStatusAndSize) {
    Site site;
    site->Get("/gone", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content(std::string(200 * 1024, 'x'), "text/plain");
    });
    site->Get("/big", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(100 * 1024, 'x'), "text/plain");
    });
    site->Get("/exact", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(64 * 1024, 'x'), "text/plain");
    });
    site->Get("/stream", [](const httplib::Request&, httplib::Response& response) {
        // Chunked, so no length is announced.
        response.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            const std::string block(8 * 1024, 'y');
            for (int i = 0; i < 16; ++i)
                if (!sink.write(block.data(), block.size()))
                    return false;
            sink.done();
            return true;
        });
    });
    site->Get("/moved-nowhere", [](const httplib::Request&, httplib::Response& response) {
        response.status = 302;  // no Location
    });
    site.Start();
    const FetchPolicy policy = LoopbackPolicy({site.port()});

    FetchResult result = FetchVerificationFile(site.Url("/missing"), policy);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.problem, "HTTP status 404");
    ASSERT_EQ(result.hops.size(), 1u);
    EXPECT_EQ(result.hops[0].status, 404);

    result = FetchVerificationFile(site.Url("/gone"), policy);
    EXPECT_EQ(result.problem, "HTTP status 404") << "the status counts, not the page's size";

    result = FetchVerificationFile(site.Url("/moved-nowhere"), policy);
    EXPECT_EQ(result.problem, "HTTP status 302");

    for (const char* path : {"/big", "/stream"}) {
        result = FetchVerificationFile(site.Url(path), policy);
        EXPECT_FALSE(result.ok) << path;
        EXPECT_EQ(result.problem, "the file is larger than 65536 bytes") << path;
        EXPECT_TRUE(result.body.empty()) << path;
    }
    result = FetchVerificationFile(site.Url("/exact"), policy);
    EXPECT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.body.size(), 64u * 1024);

    FetchPolicy small = policy;
    small.maxBytes = 5;
    result = FetchVerificationFile(site.Url("/auth/auth.txt"), small);
    EXPECT_EQ(result.problem, "the file is larger than 5 bytes");
}

TEST(FetchTest, FailsWhenNobodyListens) {
    Site site;
    site.Start();
    const std::string url = site.Url("/auth/auth.txt");
    const FetchPolicy policy = LoopbackPolicy({site.port()});
    site.Stop();
    const FetchResult result = FetchVerificationFile(url, policy);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.problem.empty());
    EXPECT_EQ(result.problem.find('\n'), std::string::npos);
    ASSERT_EQ(result.hops.size(), 1u);
    EXPECT_EQ(result.hops[0].address, "");
    EXPECT_EQ(result.hops[0].status, 0);
}

TEST(FetchTest, RefusesFirstUrlsOutsideThePolicy) {
    Site site;
    site.Start();
    FetchPolicy policy = LoopbackPolicy({site.port() == 80 ? 81 : 80});
    FetchResult result = FetchVerificationFile(site.Url("/auth/auth.txt"), policy);
    EXPECT_EQ(result.problem, "port " + std::to_string(site.port()) + " is not allowed");
    EXPECT_TRUE(result.hops.empty());

    policy = LoopbackPolicy({site.port()});
    result = FetchVerificationFile("ftp://localhost:" + std::to_string(site.port()) + "/a", policy);
    EXPECT_EQ(result.problem,
              "ftp://localhost:" + std::to_string(site.port()) + "/a is not http or https");
    result = FetchVerificationFile(site.Url("/auth/auth.txt", "user:pw@localhost"), policy);
    EXPECT_EQ(result.problem, "a URL with user information is not allowed");
    result = FetchVerificationFile(site.Url("/auth/auth.txt", "bad_name"), policy);
    EXPECT_EQ(result.problem, "\"bad_name\" is not a domain name");

    // IP hosts: only where private addresses are allowed.
    result = FetchVerificationFile(site.Url("/auth/auth.txt", "127.0.0.1"), policy);
    EXPECT_TRUE(result.ok) << result.problem;
    policy.allowPrivateAddresses = false;
    result = FetchVerificationFile(site.Url("/auth/auth.txt", "127.0.0.1"), policy);
    EXPECT_EQ(result.problem, "an IP address host (127.0.0.1) is not allowed");
    EXPECT_EQ(site.Paths().size(), 1u);

    for (const std::string& junk :
         {std::string(), std::string("http://"), std::string("http://[::1"),
          std::string("localhost/auth"), std::string("http://localhost:99999/"),
          std::string("http://local host/"), "http://" + std::string(100000, 'a') + "/",
          std::string("http://\x01\xff/")}) {
        result = FetchVerificationFile(junk, policy);
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.problem.empty());
        EXPECT_LT(result.problem.size(), 400u);
    }
}

// Private targets are refused on the address connected to, before a single
// request byte is sent: a name resolving to loopback reaches nothing.
TEST(FetchTest, RefusesPrivateAddressesBeforeTheRequest) {
    Site site;
    site.Start();
    FetchPolicy policy = LoopbackPolicy({site.port()});
    policy.allowPrivateAddresses = false;
    const FetchResult result = FetchVerificationFile(site.Url("/auth/auth.txt"), policy);
    EXPECT_FALSE(result.ok);
    // "localhost" has an IPv4 and an IPv6 address: each is refused in turn.
    ASSERT_EQ(result.hops.size(), 1u);
    const std::string address = result.hops[0].address;
    EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
    EXPECT_EQ(result.problem, address + " is a loopback address");
    EXPECT_EQ(result.hops[0].status, 0);
    EXPECT_TRUE(site.Paths().empty());
}

// The address is checked before connecting: a refused target sees no TCP
// connection at all, so no TLS hello either.
TEST(FetchTest, RefusedAddressesGetNoConnection) {
    BIO_ADDRINFO* info = nullptr;
    ASSERT_EQ(BIO_lookup_ex("127.0.0.1", "0", BIO_LOOKUP_SERVER, host::AnyAddressFamily(),
                            host::StreamSocketType(), 0, &info),
              1);
    const int listener = BIO_socket(BIO_ADDRINFO_family(info), BIO_ADDRINFO_socktype(info),
                                    BIO_ADDRINFO_protocol(info), 0);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(BIO_listen(listener, BIO_ADDRINFO_address(info), BIO_SOCK_NONBLOCK), 1);
    BIO_ADDRINFO_free(info);
    BIO_sock_info_u bound{};
    bound.addr = BIO_ADDR_new();
    ASSERT_EQ(BIO_sock_info(listener, BIO_SOCK_INFO_ADDRESS, &bound), 1);
    char* service = BIO_ADDR_service_string(bound.addr, 1);
    ASSERT_NE(service, nullptr);
    const int port = std::atoi(service);
    OPENSSL_free(service);
    BIO_ADDR_free(bound.addr);

    FetchPolicy policy = LoopbackPolicy({port});
    policy.allowPrivateAddresses = false;
    for (const std::string scheme : {"http", "https"}) {
        const FetchResult result = FetchVerificationFile(
            scheme + "://localhost:" + std::to_string(port) + "/auth/auth.txt", policy);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.problem.find("is a loopback address"), std::string::npos)
            << result.problem;
    }
    const int accepted = BIO_accept_ex(listener, nullptr, BIO_SOCK_NONBLOCK);
    EXPECT_LT(accepted, 0) << "a refused address was connected to";
    if (accepted >= 0)
        BIO_closesocket(accepted);
    BIO_closesocket(listener);
    ERR_clear_error();
}

TEST(FetchTest, FollowsRedirectsAcrossAllowedPortsAndRecordsEachHop) {
    Site a, b;
    a.Start();
    b.Start();
    // Absolute, relative with a body (read from the header), and back.
    Redirect(*a, "/start", 302, b.Url("/middle"));
    Redirect(*b, "/middle", 303, "/relative?x=1", "see elsewhere");
    Redirect(*b, "/relative", 308, a.Url("/auth/auth.txt"));
    const FetchResult result =
        FetchVerificationFile(a.Url("/start"), LoopbackPolicy({a.port(), b.port()}));
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.body, "line1\r\nline2");
    ASSERT_EQ(result.hops.size(), 4u);
    const std::vector<std::pair<std::string, int>> expected = {{a.Url("/start"), 302},
                                                               {b.Url("/middle"), 303},
                                                               {b.Url("/relative?x=1"), 308},
                                                               {a.Url("/auth/auth.txt"), 200}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(result.hops[i].url, expected[i].first) << i;
        EXPECT_EQ(result.hops[i].status, expected[i].second) << i;
        EXPECT_EQ(result.hops[i].address, "127.0.0.1") << i;
    }
    EXPECT_EQ(a.Paths(), (std::vector<std::string>{"/start", "/auth/auth.txt"}));
    EXPECT_EQ(b.Paths(), (std::vector<std::string>{"/middle", "/relative"}));
}

TEST(FetchTest, RefusesRedirectsOutsideThePolicy) {
    Site a, b;
    a.Start();
    b.Start();
    Redirect(*a, "/other-port", 302, b.Url("/auth/auth.txt"));
    Redirect(*a, "/ftp", 301, "ftp://localhost/auth.txt");
    Redirect(*a, "/user", 307, a.Url("/auth/auth.txt", "me:secret@localhost"));
    Redirect(*a, "/literal", 302, a.Url("/auth/auth.txt", "127.0.0.1"));
    Redirect(*a, "/not-a-url", 302, "http://[zz/");
    const FetchPolicy policy = LoopbackPolicy({a.port()});

    FetchResult result = FetchVerificationFile(a.Url("/other-port"), policy);
    EXPECT_EQ(result.problem, "redirect to port " + std::to_string(b.port()) + " is not allowed");
    EXPECT_EQ(result.hops.size(), 1u);
    EXPECT_TRUE(b.Paths().empty()) << "nothing is fetched where the redirect points";

    result = FetchVerificationFile(a.Url("/ftp"), policy);
    EXPECT_EQ(result.problem, "redirect to ftp://localhost/auth.txt is not http or https");
    result = FetchVerificationFile(a.Url("/user"), policy);
    EXPECT_EQ(result.problem, "redirect to a URL with user information is not allowed");
    result = FetchVerificationFile(a.Url("/not-a-url"), policy);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.problem.find("http://[zz/"), std::string::npos) << result.problem;

    result = FetchVerificationFile(a.Url("/literal"), policy);
    EXPECT_TRUE(result.ok) << result.problem;

    FetchPolicy noRedirects = policy;
    noRedirects.maxRedirects = 0;
    result = FetchVerificationFile(a.Url("/literal"), noRedirects);
    EXPECT_EQ(result.problem, "more than 0 redirects");
}

TEST(FetchTest, FollowsAtMostTheAllowedNumberOfRedirects) {
    Site site;
    site->Get(R"(/hop/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const int left = std::stoi(request.matches[1]);
        response.status = 302;
        response.set_header("Location",
                            left == 0 ? "/auth/auth.txt" : "/hop/" + std::to_string(left - 1));
    });
    site.Start();
    const FetchPolicy policy = LoopbackPolicy({site.port()});

    FetchResult result = FetchVerificationFile(site.Url("/hop/9"), policy);  // 10 redirects
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.hops.size(), 11u);

    const size_t before = site.Paths().size();
    result = FetchVerificationFile(site.Url("/hop/10"), policy);  // 11 redirects
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.problem, "more than 10 redirects");
    EXPECT_EQ(result.hops.size(), 11u);
    EXPECT_EQ(site.Paths().size() - before, 11u) << "the 11th redirect is not followed";
}

// A loopback listener answering each connection with `serve`, on OpenSSL's
// portable socket calls; sockets are non-blocking.
class RawSite {
public:
    explicit RawSite(std::function<void(BIO*, const std::atomic<bool>&)> serve)
        : serve_(std::move(serve)) {
#ifdef SIGPIPE
        std::signal(SIGPIPE, SIG_IGN);  // a write after the fetcher hung up
#endif
        accept_ = BIO_new_accept("127.0.0.1:0");
        BIO_set_nbio_accept(accept_, 1);
        BIO_set_nbio(accept_, 1);
        if (BIO_do_accept(accept_) <= 0)
            return;
        int socket = -1;
        BIO_get_fd(accept_, &socket);
        BIO_ADDR* address = BIO_ADDR_new();
        BIO_sock_info_u info;
        info.addr = address;
        if (BIO_sock_info(socket, BIO_SOCK_INFO_ADDRESS, &info)) {
            char* service = BIO_ADDR_service_string(address, 1);
            port_ = std::atoi(service);
            OPENSSL_free(service);
        }
        BIO_ADDR_free(address);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawSite() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        BIO_free_all(accept_);
    }
    int port() const {
        return port_;
    }
    int connections() const {
        return connections_;
    }

    // Waits for bytes for at most `timeout`: false when the peer closed.
    static bool Read(BIO* client, std::string& into, std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        char buffer[4096];
        while (Clock::now() < end) {
            const int n = BIO_read(client, buffer, sizeof buffer);
            if (n > 0) {
                into.append(buffer, static_cast<size_t>(n));
                return true;
            }
            if (n == 0 || !BIO_should_retry(client))
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

private:
    void Run() {
        while (!stop_) {
            if (BIO_do_accept(accept_) <= 0) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            BIO* client = BIO_pop(accept_);
            ++connections_;
            serve_(client, stop_);
            BIO_free_all(client);
        }
    }

    std::function<void(BIO*, const std::atomic<bool>&)> serve_;
    BIO* accept_ = nullptr;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// A target that answers the status line and then trickles one header byte
// every 300 ms: each read is quick, only the deadline ends it.
TEST(FetchTest, EndsATricklingAnswerAtTheDeadline) {
    RawSite site([](BIO* client, const std::atomic<bool>& stop) {
        std::string request;
        while (!stop && request.find("\r\n\r\n") == std::string::npos)
            if (!RawSite::Read(client, request, 100ms))
                return;
        BIO_write(client, "HTTP/1.1 200 OK\r\nX-Slow: ", 25);
        for (int i = 0; i < 50 && !stop; ++i) {
            std::string ignored;
            if (!RawSite::Read(client, ignored, 300ms))
                return;  // the fetcher hung up
            if (BIO_write(client, "a", 1) <= 0 && !BIO_should_retry(client))
                return;
        }
    });
    ASSERT_GT(site.port(), 0);
    FetchPolicy policy = LoopbackPolicy({site.port()});
    policy.deadline = 1s;
    const auto start = Clock::now();
    const FetchResult result = FetchVerificationFile(
        "http://localhost:" + std::to_string(site.port()) + "/auth/auth.txt", policy);
    const auto elapsed = Clock::now() - start;
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.problem, "the fetch took longer than 1 second");
    EXPECT_LT(elapsed, 1s + 400ms);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_EQ(site.connections(), 1);
}

// The deadline covers the whole chain: slow redirects, each well within a
// per-request limit, still end at the deadline.
TEST(FetchTest, TheDeadlineCoversEveryRedirect) {
    Site site;
    site->Get(R"(/slow/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        std::this_thread::sleep_for(300ms);
        response.status = 302;
        response.set_header("Location",
                            "/slow/" + std::to_string(std::stoi(request.matches[1]) + 1));
    });
    site.Start();
    FetchPolicy policy = LoopbackPolicy({site.port()});
    policy.deadline = 1s;
    const auto start = Clock::now();
    const FetchResult result = FetchVerificationFile(site.Url("/slow/0"), policy);
    const auto elapsed = Clock::now() - start;
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.problem.find("the fetch took longer than 1 second"), std::string::npos)
        << result.problem;
    EXPECT_LT(elapsed, 1s + 400ms);
    EXPECT_GE(result.hops.size(), 3u);
    EXPECT_LE(result.hops.size(), 5u);
}

TEST(FetchTest, FetchesOverTlsWithoutTrustingTheCertificate) {
    Site site(true);
    site.Start();
    const FetchResult result =
        FetchVerificationFile(site.Url("/auth/auth.txt"), LoopbackPolicy({site.port()}));
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.body, "line1\r\nline2");
    ASSERT_EQ(result.hops.size(), 1u);
    EXPECT_EQ(result.hops[0].status, 200);
}

TEST(FetchTest, RunsManyFetchesAtOnce) {
    Site site;
    site.Start();
    const FetchPolicy policy = LoopbackPolicy({site.port()});
    std::atomic<int> fetched{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 4; ++j)
                if (FetchVerificationFile(site.Url("/auth/auth.txt"), policy).ok)
                    ++fetched;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(fetched, 32);
}

}  // namespace
}  // namespace qm::certcenter
