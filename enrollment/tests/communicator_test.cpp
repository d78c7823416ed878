#include "enrollment/communicator.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "enrollment/tests/tls_test_server.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"

namespace qm {
namespace {

using test::FailureOf;

using test::TestPki;
using test::TlsTestServer;

// The failure text of `action`, or "" when it succeeds.
class Transport : public testing::Test {
protected:
    static void SetUpTestSuite() { pki_ = new TestPki(); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }

    // A server answering POST and GET on "/" with `body` and `status`.
    std::unique_ptr<TlsTestServer> Serve(std::string body, int status = 200,
                                         bool wrongHost = false) {
        auto server = std::make_unique<TlsTestServer>(
            wrongHost ? pki_->wrongHostCertFile() : pki_->serverCertFile(),
            wrongHost ? pki_->wrongHostKeyFile() : pki_->serverKeyFile());
        auto handler = [body, status](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, "text/plain");
        };
        server->Handlers().Post("/", handler);
        server->Handlers().Get("/file", handler);
        server->Start();
        return server;
    }

    std::string Post(const TlsTestServer& server, std::string body = "{}") {
        return CCommunicator(server.Url(), pki_->caFile()).Post(std::move(body));
    }

    static TestPki* pki_;
};
TestPki* Transport::pki_ = nullptr;

TEST_F(Transport, AnswerStartsAtItsFirstBraceAndEndsAtAZeroByte) {
    static constexpr char kAnswer[] =
        "\xEF\xBB\xBF"
        "banner {\"type\":\"x\"}\0trailer";
    auto server = Serve(std::string(kAnswer, sizeof kAnswer - 1));
    EXPECT_EQ(Post(*server), "{\"type\":\"x\"}");
}

TEST_F(Transport, ErrorPageWithABraceIsAnAnswerWithoutOneAFailure) {
    auto errorPage = Serve("<html>{ oops }</html>", 500);
    EXPECT_EQ(Post(*errorPage), "{ oops }</html>");
    auto noJson = Serve("<html>plain</html>", 200);
    EXPECT_EQ(FailureOf([&] { Post(*noJson); }), "communication failed");
    auto empty = Serve("", 200);
    EXPECT_EQ(FailureOf([&] { Post(*empty); }), "communication failed");
}

TEST_F(Transport, SendsTheBodyUnchangedWithItsUserAgentToTheBareUrl) {
    TlsTestServer server(pki_->serverCertFile(), pki_->serverKeyFile());
    std::string method, path, body, agent;
    server.Handlers().Post("/", [&](const httplib::Request& request, httplib::Response& response) {
        method = request.method;
        path = request.path;
        body = request.body;
        agent = request.get_header_value("User-Agent");
        response.set_content("{}", "application/json");
    });
    server.Start();
    const std::string sent = "{\n   \"type\" : \"challengeRequest\"\n}\n\x01\xC4\xE3";
    EXPECT_EQ(Post(server, sent), "{}");
    EXPECT_EQ(method, "POST");
    EXPECT_EQ(path, "/");
    EXPECT_EQ(body, sent);
    EXPECT_EQ(agent, "quillmate-0.1.0-windows08.x86_64");
}

TEST_F(Transport, OnlyTrustedServersForTheirOwnNameAreAnswered) {
    auto server = Serve("{\"ok\":1}");
    // The test CA is in no system store: without it the server is a stranger.
    EXPECT_EQ(FailureOf([&] { CCommunicator(server->Url()).Post("{}"); }), "communication failed");
    EXPECT_EQ(Post(*server), "{\"ok\":1}");
    // Chains to the trusted CA, but is made out to another name.
    auto impostor = Serve("{\"ok\":1}", 200, true);
    EXPECT_EQ(FailureOf([&] { Post(*impostor); }), "communication failed");
    // A trust anchor that cannot be read is not silently dropped.
    test::TempDir dir;
    EXPECT_EQ(FailureOf([&] { CCommunicator(server->Url(), dir / u"none.pem").Post("{}"); }),
              "communication failed");
}

TEST_F(Transport, RefusedConnectionAndOversizedAnswerFail) {
    auto server = Serve("{}");
    const std::u16string url = server->Url();
    server->Stop();
    EXPECT_EQ(FailureOf([&] { CCommunicator(url, pki_->caFile()).Post("{}"); }),
              "communication failed");

    std::string huge(CCommunicator::kMaxResponseSize + 1, 'a');
    huge[0] = '{';
    auto tooBig = Serve(huge);
    EXPECT_EQ(FailureOf([&] { Post(*tooBig); }), "communication failed");
    huge.resize(CCommunicator::kMaxResponseSize);
    auto justFits = Serve(huge);
    EXPECT_EQ(Post(*justFits).size(), CCommunicator::kMaxResponseSize);
}

TEST_F(Transport, TheRunLogNeverHoldsTheCredentialsOfTheUrl) {
    auto plain = Serve("no json here");
    const std::u16string withPassword = u"https://quill:s3cret-pass@" + plain->Url().substr(8);
    EXPECT_EQ(FailureOf([&] { CCommunicator(withPassword, pki_->caFile()).Post("{}"); }),
              "communication failed");
    plain->Stop();
    EXPECT_EQ(FailureOf([&] { CCommunicator(withPassword, pki_->caFile()).Post("{}"); }),
              "communication failed");
    const std::string log = test::ReadAll(CurrentLogFilePath());
    EXPECT_EQ(log.find("s3cret-pass"), std::string::npos);
    EXPECT_NE(log.find("CCommunicator::Post, https://***@localhost:"), std::string::npos) << log;
}

TEST_F(Transport, TransfersNeverOverlap) {
    TlsTestServer server(pki_->serverCertFile(), pki_->serverKeyFile());
    std::atomic<int> active{0};
    std::atomic<int> most{0};
    server.Handlers().Post("/", [&](const httplib::Request&, httplib::Response& response) {
        const int now = ++active;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        --active;
        response.set_content("{}", "application/json");
    });
    server.Start();
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 2; ++j)
                answered += Post(server) == "{}" ? 1 : 0;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(answered, 8);
    EXPECT_EQ(most, 1);
}

TEST_F(Transport, DownloadWritesTheWholeFileOrNothing) {
    auto server = Serve("update archive bytes");
    test::TempDir dir;
    const std::u16string url = server->Url() + u"/file";
    CCommunicator::Download(url, dir / u"update.zip", pki_->caFile());
    EXPECT_EQ(test::ReadAll(dir / u"update.zip"), "update archive bytes");

    const std::u16string missingFolder = dir / u"no/such/update.zip";
    EXPECT_EQ(FailureOf([&] { CCommunicator::Download(url, missingFolder, pki_->caFile()); }),
              "CCommunicator::Download, file path: " + Utf8FromWide(missingFolder));

    // Untrusted: fails, and no file appears.
    EXPECT_EQ(FailureOf([&] { CCommunicator::Download(url, dir / u"untrusted.zip"); }),
              "CCommunicator::Download, file path: " + Utf8FromWide(dir / u"untrusted.zip"));
    EXPECT_FALSE(FileExists(dir / u"untrusted.zip"));
}

}  // namespace
}  // namespace qm
