// The HTTPS front end on a loopback port with short limits: answers through
// the handler, refusals, deadlines for idle and slow clients, the connection
// caps, and that no client, however slow, holds up another.
#include "certcenter/httpsfront.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/err.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "certcenter/authority.h"
#include "certcenter/host/sockets.h"
#include "tests/support/temp_dir.h"

namespace qm::certcenter {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kNoSocket = -1;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// The server side's TLS set-up, made once: the center's own CA and TLS identity.
SSL_CTX* ServerContext() {
    static SSL_CTX* context = [] {
        test::TempDir dir;
        const auto authority = CertificateAuthority::OpenOrCreate(dir.narrow(), KeyKind::Ec);
        const auto identity = authority.MakeTlsIdentity({});
        SSL_CTX* made = SSL_CTX_new(TLS_server_method());
        if (!made || SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION) != 1 ||
            SSL_CTX_use_certificate(made, identity.certificate.get()) != 1 ||
            SSL_CTX_use_PrivateKey(made, identity.key.get()) != 1)
            throw std::runtime_error("cannot set up the test server's TLS");
        return made;
    }();
    return context;
}

SSL_CTX* ClientContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        return made;
    }();
    return context;
}

// A TCP connection to 127.0.0.1:port from `source` (empty: the system's
// choice), non-blocking once connected; kNoSocket when it cannot be made.
int ConnectTcp(int port, const std::string& source = {}) {
    BIO_ADDRINFO* target = nullptr;
    if (BIO_lookup_ex("127.0.0.1", std::to_string(port).c_str(), BIO_LOOKUP_CLIENT,
                      host::AnyAddressFamily(), host::StreamSocketType(), 0, &target) != 1)
        return kNoSocket;
    int socket = BIO_socket(BIO_ADDRINFO_family(target), BIO_ADDRINFO_socktype(target),
                            BIO_ADDRINFO_protocol(target), 0);
    bool ok = socket != kNoSocket;
    if (ok && !source.empty()) {
        BIO_ADDRINFO* from = nullptr;
        ok = BIO_lookup_ex(source.c_str(), "0", BIO_LOOKUP_CLIENT, host::AnyAddressFamily(),
                           host::StreamSocketType(), 0, &from) == 1 &&
             BIO_bind(socket, BIO_ADDRINFO_address(from), 0) == 1;
        BIO_ADDRINFO_free(from);
    }
    ok = ok && BIO_connect(socket, BIO_ADDRINFO_address(target), BIO_SOCK_NODELAY) == 1 &&
         BIO_socket_nbio(socket, 1) == 1;
    BIO_ADDRINFO_free(target);
    ERR_clear_error();
    if (!ok && socket != kNoSocket) {
        BIO_closesocket(socket);
        socket = kNoSocket;
    }
    return socket;
}

// A TCP connection that never starts TLS.
class IdleConnection {
public:
    explicit IdleConnection(int port, const std::string& source = {})
        : socket_(ConnectTcp(port, source)) {}
    ~IdleConnection() { Close(); }
    IdleConnection(const IdleConnection&) = delete;
    IdleConnection& operator=(const IdleConnection&) = delete;

    bool connected() const { return socket_ != kNoSocket; }
    void Close() {
        if (socket_ != kNoSocket)
            BIO_closesocket(socket_);
        socket_ = kNoSocket;
    }

    // Whether the server closes it within `limit` (whatever it sends first).
    bool ClosedWithin(milliseconds limit) const {
        if (socket_ == kNoSocket)
            return true;
        BIO* bio = BIO_new_socket(socket_, BIO_NOCLOSE);
        const auto deadline = Clock::now() + limit;
        bool closed = false;
        while (!closed && Clock::now() < deadline) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            if (host::WaitForSocket(socket_, false, left) != host::Readiness::Ready)
                continue;
            char scratch[512];
            const int read = BIO_read(bio, scratch, sizeof scratch);
            closed = read == 0 || (read < 0 && !BIO_should_retry(bio));
        }
        BIO_free(bio);
        ERR_clear_error();
        return closed;
    }

    void SendPlain(const std::string& text) {
        BIO* bio = BIO_new_socket(socket_, BIO_NOCLOSE);
        BIO_write(bio, text.data(), static_cast<int>(text.size()));
        BIO_free(bio);
    }

private:
    int socket_;
};

// A hand-driven TLS client, for requests no library would send.
class TlsClient {
public:
    explicit TlsClient(int port, const std::string& source = {})
        : socket_(ConnectTcp(port, source)) {
        if (socket_ == kNoSocket)
            return;
        ssl_ = SSL_new(ClientContext());
        SSL_set_fd(ssl_, socket_);
        connected_ = Drive([this] { return SSL_connect(ssl_); }, milliseconds(3000)) > 0;
    }
    ~TlsClient() {
        if (ssl_)
            SSL_free(ssl_);
        if (socket_ != kNoSocket)
            BIO_closesocket(socket_);
        ERR_clear_error();
    }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool connected() const { return connected_; }

    bool Send(const std::string& data) {
        return connected_ &&
               Drive([&] { return SSL_write(ssl_, data.data(), static_cast<int>(data.size())); },
                     milliseconds(3000)) > 0;
    }

    // What arrives while `more` says so, until the server closes or `limit` passes.
    std::string ReadWhile(const std::function<bool()>& more,
                          milliseconds limit = milliseconds(3000)) {
        const auto deadline = Clock::now() + limit;
        while (connected_ && !closed_ && more() && Clock::now() < deadline) {
            char buffer[4096];
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            const int read = Drive(
                [&] { return SSL_read(ssl_, buffer, static_cast<int>(sizeof buffer)); }, left);
            if (read > 0)
                received_.append(buffer, static_cast<size_t>(read));
            else if (!timedOut_)
                closed_ = true;
        }
        return received_;
    }
    std::string ReadUntil(const std::string& marker) {
        return ReadWhile([&] { return received_.find(marker) == std::string::npos; });
    }
    // One answer: its head, then the body its Content-Length announces
    // (none when `headOnly`). After a refusal the front waits for the client
    // to close, so reading up to the close would wait for nothing.
    std::string ReadAnswer(bool headOnly = false) {
        return ReadWhile([&] {
            const auto headEnd = received_.find("\r\n\r\n");
            if (headEnd == std::string::npos)
                return true;
            const auto length = received_.find("\r\nContent-Length: ");
            if (headOnly || length == std::string::npos || length > headEnd)
                return false;
            return received_.size() < headEnd + 4 + std::stoul(received_.substr(length + 18));
        });
    }
    // The whole answer: everything until the server closes.
    std::string ReadAll(milliseconds limit = milliseconds(3000)) {
        return ReadWhile([] { return true; }, limit);
    }
    bool closed() const { return closed_; }
    // Whether the server closes the connection within `limit`.
    bool ClosedWithin(milliseconds limit) {
        ReadAll(limit);
        return closed_;
    }

private:
    template <class Operation>
    int Drive(Operation operation, milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        timedOut_ = false;
        for (;;) {
            ERR_clear_error();
            const int result = operation();
            if (result > 0)
                return result;
            const int error = SSL_get_error(ssl_, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return -1;
            const auto now = Clock::now();
            if (now >= deadline) {
                timedOut_ = true;
                return -1;
            }
            host::WaitForSocket(socket_, error == SSL_ERROR_WANT_WRITE,
                                std::chrono::ceil<milliseconds>(deadline - now));
        }
    }

    int socket_;
    SSL* ssl_ = nullptr;
    bool connected_ = false;
    bool closed_ = false;
    bool timedOut_ = false;
    std::string received_;
};

int StatusOf(const std::string& answer) {
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12)
        return 0;
    return std::stoi(answer.substr(9, 3));
}

std::string BodyOf(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// Short limits so that deadlines show within a test.
FrontLimits ShortLimits() {
    FrontLimits limits;
    limits.handshakeTimeout = milliseconds(10000);
    limits.requestTimeout = milliseconds(10000);
    limits.writeTimeout = milliseconds(2000);
    limits.maxConnections = 100;
    limits.maxConnectionsPerAddress = 64;
    limits.maxHeaderBytes = 2048;
    limits.maxBodyBytes = 1024;
    return limits;
}

class HttpsFrontTest : public ::testing::Test {
protected:
    ~HttpsFrontTest() override {
        if (front_)
            front_->Stop();
    }

    // The handler answers POSTs with "got:" and the body, other methods with
    // 405, refusals with the status the center gives them; "slow" bodies
    // take a while, "throw" bodies throw.
    void StartFront(FrontLimits limits = ShortLimits()) {
        front_ = std::make_unique<HttpsFront>(
            ServerContext(), limits, [this](const FrontRequest& request) -> FrontAnswer {
                {
                    std::lock_guard lock(mutex_);
                    seen_.push_back(request);
                }
                switch (request.problem) {
                    case FrontRequest::Problem::TooLarge:
                        return {413, "application/json", "{\"error\":\"tooLarge\"}"};
                    case FrontRequest::Problem::BadHead:
                    case FrontRequest::Problem::BadBody:
                        return {400, "application/json", "{\"error\":\"badRequest\"}"};
                    case FrontRequest::Problem::None:
                        break;
                }
                if (request.method != "POST")
                    return {405, "application/json", "{\"error\":\"method\"}"};
                if (request.body == "slow") {
                    slowStarted_ = true;
                    std::this_thread::sleep_for(milliseconds(1000));
                }
                if (request.body == "throw")
                    throw std::runtime_error("handler failure");
                return {200, "text/plain", "got:" + request.body};
            });
        port_ = front_->Listen("127.0.0.1", 0);
        front_->Start();
    }

    std::unique_ptr<httplib::SSLClient> Client() const {
        auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
        client->enable_server_certificate_verification(false);
        client->set_connection_timeout(3);
        client->set_read_timeout(3);
        return client;
    }

    // The answer to `request`, sent whole by a hand-driven client.
    std::string Exchange(const std::string& request) {
        TlsClient client(port_);
        EXPECT_TRUE(client.connected());
        client.Send(request);
        return client.ReadAnswer(request.rfind("HEAD ", 0) == 0);
    }

    std::vector<FrontRequest> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    bool WaitForOpenConnections(size_t count, milliseconds limit = milliseconds(2000)) {
        const auto deadline = Clock::now() + limit;
        while (front_->OpenConnections() != count && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(5));
        return front_->OpenConnections() == count;
    }

    std::unique_ptr<HttpsFront> front_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<FrontRequest> seen_;
    std::atomic<bool> slowStarted_{false};
};

TEST_F(HttpsFrontTest, AnswersEachMethodThroughTheHandler) {
    StartFront();
    auto client = Client();
    const auto posted = client->Post("/any/path?x=1", "{\"type\":\"x\"}", "application/json");
    ASSERT_TRUE(posted) << httplib::to_string(posted.error());
    EXPECT_EQ(posted->status, 200);
    EXPECT_EQ(posted->body, "got:{\"type\":\"x\"}");
    EXPECT_EQ(posted->get_header_value("Content-Type"), "text/plain");
    EXPECT_EQ(posted->get_header_value("Connection"), "close");

    const auto got = Client()->Get("/");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 405);
    EXPECT_EQ(got->body, "{\"error\":\"method\"}");

    // HEAD: the headers of the answer without its body.
    const std::string head = Exchange("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(StatusOf(head), 405);
    EXPECT_NE(head.find("Content-Length: 18\r\n"), std::string::npos) << head;
    EXPECT_EQ(BodyOf(head), "");

    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/any/path?x=1");
    EXPECT_EQ(seen[0].peerAddress, "127.0.0.1");
    EXPECT_EQ(seen[0].problem, FrontRequest::Problem::None);
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[2].method, "HEAD");

    // A handler that throws costs only its own answer.
    EXPECT_EQ(StatusOf(Exchange("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nthrow")), 500);
    EXPECT_EQ(Client()->Post("/", "after", "text/plain")->body, "got:after");
}

TEST_F(HttpsFrontTest, ReadsChunkedBodiesAndAnswersExpectContinue) {
    StartFront();
    const std::string chunked = Exchange(
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n4;name=value\r\ndefg\r\n0\r\nTrailer: x\r\n\r\n");
    EXPECT_EQ(StatusOf(chunked), 200) << chunked;
    EXPECT_EQ(BodyOf(chunked), "got:abcdefg");

    // The body follows only once the center has said it wants it.
    TlsClient client(port_);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(
        client.Send("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_EQ(client.ReadUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.Send("hello"));
    const std::string answer = client.ReadAll();
    EXPECT_EQ(StatusOf(answer.substr(25)), 200) << answer;
    EXPECT_EQ(BodyOf(answer.substr(25)), "got:hello");
}

TEST_F(HttpsFrontTest, RefusesOversizeAndMalformedRequests) {
    StartFront();
    using Problem = FrontRequest::Problem;
    struct Case {
        std::string request;
        int status;
        Problem problem;
    };
    const std::vector<Case> cases = {
        // Refused on the declared length, before any body, without a 100.
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5000\r\n\r\n", 413,
         Problem::TooLarge},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413,
         Problem::TooLarge},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + std::string(1024, 'a') +
             "\r\n1\r\nb\r\n0\r\n\r\n",
         413, Problem::TooLarge},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\n", 413,
         Problem::TooLarge},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n", 400,
         Problem::BadBody},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", 400,
         Problem::BadBody},
        {"HELLO\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/2.0\r\n\r\n", 400, Problem::BadHead},
        {"POST  / HTTP/1.1\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400,
         Problem::BadHead},
        {"POST / HTTP/1.1\r\nContent-Length: -3\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400,
         Problem::BadHead},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/1.1\r\nHost : a\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400, Problem::BadHead},
        {"POST / HTTP/1.1\r\nX: " + std::string(3000, 'x') + "\r\n\r\n", 400, Problem::BadHead},
        {std::string("\x16\x03\x01\x00\xff\r\n\r\n", 9), 400, Problem::BadHead},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard lock(mutex_);
            seen_.clear();
        }
        const std::string answer = Exchange(c.request);
        EXPECT_EQ(StatusOf(answer), c.status) << c.request.substr(0, 120) << "\n" << answer;
        EXPECT_EQ(answer.find("100 Continue"), std::string::npos);
        const auto seen = Seen();
        ASSERT_EQ(seen.size(), 1u) << c.request.substr(0, 120);
        EXPECT_EQ(seen[0].problem, c.problem) << c.request.substr(0, 120);
        EXPECT_EQ(seen[0].body, "");
    }

    // A client that sends the oversize body anyway still reads the answer.
    const auto posted = Client()->Post("/", std::string(200000, 'x'), "text/plain");
    ASSERT_TRUE(posted) << httplib::to_string(posted.error());
    EXPECT_EQ(posted->status, 413);

    // Plain HTTP on the TLS port ends the connection without an answer.
    IdleConnection plain(port_);
    plain.SendPlain("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_TRUE(plain.ClosedWithin(milliseconds(2000)));
}

TEST_F(HttpsFrontTest, SurvivesMangledRequests) {
    FrontLimits limits = ShortLimits();
    limits.requestTimeout = milliseconds(100);
    StartFront(limits);
    const std::string valid =
        "POST /p HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\nabc";
    const std::string chunked =
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    std::mt19937 random(20240611);
    for (int i = 0; i < 40; ++i) {
        std::string request = i % 2 ? valid : chunked;
        for (int changes = 1 + static_cast<int>(random() % 4); changes > 0; --changes)
            request[random() % request.size()] = static_cast<char>(random() % 256);
        const std::string answer = Exchange(request);
        const int status =
            StatusOf(answer.rfind("HTTP/1.1 100 ", 0) == 0 ? answer.substr(25) : answer);
        EXPECT_TRUE(answer.empty() || status == 200 || status == 400 || status == 405 ||
                    status == 413)
            << answer;
    }
    const auto posted = Client()->Post("/", "still", "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->body, "got:still");
}

TEST_F(HttpsFrontTest, IdleConnectionsDoNotBlockOthersAndStopEndsThem) {
    StartFront();
    std::vector<std::unique_ptr<IdleConnection>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<IdleConnection>(port_));
        ASSERT_TRUE(idle.back()->connected());
    }
    // Two more that stop halfway through their requests.
    TlsClient halfway(port_), halfway2(port_);
    ASSERT_TRUE(halfway.Send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    ASSERT_TRUE(halfway2.Send("POST / HTT"));
    ASSERT_TRUE(WaitForOpenConnections(22));

    const auto start = Clock::now();
    const auto posted = Client()->Post("/", "ping", "text/plain");
    ASSERT_TRUE(posted) << httplib::to_string(posted.error());
    EXPECT_EQ(posted->body, "got:ping");
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(WaitForOpenConnections(22));

    const auto stopStart = Clock::now();
    front_->Stop();
    EXPECT_LT(MsSince(stopStart), 1000);
    EXPECT_EQ(front_->OpenConnections(), 0u);
    for (const auto& connection : idle)
        EXPECT_TRUE(connection->ClosedWithin(milliseconds(500)));
    EXPECT_TRUE(halfway.ClosedWithin(milliseconds(500)));
    EXPECT_EQ(Seen().size(), 1u);
}

TEST_F(HttpsFrontTest, CutsOffAtTheHandshakeAndRequestDeadlines) {
    FrontLimits limits = ShortLimits();
    limits.handshakeTimeout = milliseconds(300);
    limits.requestTimeout = milliseconds(500);
    StartFront(limits);

    // No handshake: closed at the handshake deadline.
    auto start = Clock::now();
    IdleConnection idle(port_);
    ASSERT_TRUE(idle.ClosedWithin(milliseconds(3000)));
    EXPECT_GE(MsSince(start), 250);
    EXPECT_LT(MsSince(start), 1500);

    // A request trickled in, one byte every 50 ms: cut off at the request
    // deadline, however steadily it comes.
    TlsClient trickle(port_);
    ASSERT_TRUE(trickle.connected());
    start = Clock::now();
    const std::string request =
        "POST / HTTP/1.1\r\nContent-Length: 200\r\n\r\n" + std::string(200, 'x');
    bool cutOff = false;
    for (size_t i = 0; i < request.size() && !cutOff && MsSince(start) < 3000; ++i) {
        trickle.Send(request.substr(i, 1));
        cutOff = trickle.ClosedWithin(milliseconds(50));
    }
    EXPECT_TRUE(cutOff);
    EXPECT_GE(MsSince(start), 400);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_TRUE(Seen().empty());
    EXPECT_TRUE(WaitForOpenConnections(0));

    // A prompt client on the same front is answered.
    const auto posted = Client()->Post("/", "ping", "text/plain");
    ASSERT_TRUE(posted) << httplib::to_string(posted.error());
    EXPECT_EQ(posted->body, "got:ping");
}

TEST_F(HttpsFrontTest, CapsConnectionsPerAddressAndInAll) {
    FrontLimits limits = ShortLimits();
    limits.maxConnectionsPerAddress = 2;
    limits.maxConnections = 4;
    StartFront(limits);

    IdleConnection first(port_), second(port_);
    ASSERT_TRUE(WaitForOpenConnections(2));
    const auto start = Clock::now();
    IdleConnection third(port_);
    EXPECT_TRUE(third.ClosedWithin(milliseconds(1000)));
    EXPECT_LT(MsSince(start), 500);
    EXPECT_FALSE(first.ClosedWithin(milliseconds(50)));

    // Another address is served meanwhile.
    {
        TlsClient other(port_, "127.0.0.2");
        if (!other.connected())
            GTEST_SKIP() << "cannot connect from 127.0.0.2 here";
        ASSERT_TRUE(other.Send("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"));
        const std::string answer = other.ReadAll();
        EXPECT_EQ(BodyOf(answer), "got:hi") << answer;
    }
    ASSERT_TRUE(WaitForOpenConnections(2));
    EXPECT_EQ(Seen().at(0).peerAddress, "127.0.0.2");

    // A freed place is taken again.
    first.Close();
    ASSERT_TRUE(WaitForOpenConnections(1));
    IdleConnection again(port_);
    EXPECT_FALSE(again.ClosedWithin(milliseconds(200)));

    // All addresses together: two from .3, two open from .1, the fifth is refused.
    IdleConnection fromThird(port_, "127.0.0.3"), fromThird2(port_, "127.0.0.3");
    ASSERT_TRUE(WaitForOpenConnections(4));
    IdleConnection fifth(port_, "127.0.0.4");
    EXPECT_TRUE(fifth.ClosedWithin(milliseconds(1000)));
}

TEST_F(HttpsFrontTest, SlowHandlerHoldsOnlyItsOwnConnection) {
    StartFront();
    std::thread slow([this] {
        const auto posted = Client()->Post("/", "slow", "text/plain");
        EXPECT_TRUE(posted && posted->body == "got:slow");
    });
    const auto waitStart = Clock::now();
    while (!slowStarted_ && MsSince(waitStart) < 3000)
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_TRUE(slowStarted_);

    const auto start = Clock::now();
    const auto posted = Client()->Post("/", "fast", "text/plain");
    const auto elapsed = MsSince(start);
    slow.join();
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->body, "got:fast");
    EXPECT_LT(elapsed, 500);
}

TEST_F(HttpsFrontTest, ListenFailsOnAPortInUse) {
    StartFront();
    HttpsFront second(ServerContext(), ShortLimits(),
                      [](const FrontRequest&) { return FrontAnswer{}; });
    EXPECT_THROW(second.Listen("127.0.0.1", port_), std::runtime_error);
}

}  // namespace
}  // namespace qm::certcenter
