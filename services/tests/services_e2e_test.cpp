// The real quillmate-services over HTTPS: a release published with its own
// publish command, downloads with and without injected faults, and posted
// messages stored or refused.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/textconv.h"
#include "services/feedback.h"
#include "services/publish.h"
#include "tests/support/e2e/services_process.h"
#include "tests/support/temp_dir.h"

namespace qm::services {
namespace {

using e2e::ServicesProcess;
using std::chrono::steady_clock;

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// A client that trusts only the service's CA, as Quillmate does with
// QUILLMATE_SERVICES_CA.
std::unique_ptr<httplib::SSLClient> Client(const ServicesProcess& services, int readTimeout = 10) {
    auto client = std::make_unique<httplib::SSLClient>("localhost", services.port());
    client->set_ca_cert_path(services.caFile().c_str());
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(readTimeout, 0);
    return client;
}

struct Posted {
    int status = 0;
    std::string body;
    Json::Value answer;
};

Posted Post(const ServicesProcess& services, const std::string& body,
            const std::string& path = "/ReceiveFeedbackServer") {
    const auto response = Client(services)->Post(path, body, "application/json");
    Posted posted;
    if (!response) {
        ADD_FAILURE() << "POST failed: " << httplib::to_string(response.error());
        return posted;
    }
    posted.status = response->status;
    posted.body = response->body;
    posted.answer = Parse(response->body);
    return posted;
}

Json::Value Message(const std::string& json) {
    return Parse(json);
}

const std::string kFeedback =
    R"({"type":"msgReq","product":"Quillmate","version":"0.1.0.0","loginfo":"deploy failed",)"
    R"("msgType":"bug","contact":"ops@example.test","desc":"证书没有更新","platform":"Debian 12"})";
const std::string kStart =
    R"({"type":"userStatReq","platform":"Debian 12","product":"Quillmate","version":"0.1.0.0"})";
const std::string kAction =
    R"({"type":"userActionReq","product":"Quillmate","action":"applyCert","actionCnt":"2"})";

class ServicesE2eTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDirectoryTree(tree_ / u"Config"));
        test::WriteAll(tree_ / u"quillmate",
                       "#!/bin/sh\necho quillmate\n" + std::string(50000, 'q'));
        ASSERT_EQ(::chmod((tree_.narrow() + "quillmate").c_str(), 0755), 0);
        test::WriteAll(tree_ / u"Config/Vantrel.xml", "<Vantrel/>\n");
        std::string output;
        ASSERT_EQ(e2e::PublishRelease(tree_.narrow(), release(), "0.2.0.0", "Faster & safer",
                                      "更快", &output),
                  0)
            << output;
        zip_ = test::ReadAll(WideFromUtf8(release() + "/Quillmate.zip"));
        description_ = test::ReadAll(WideFromUtf8(release() + "/Quillmate.update.xml.txt"));
    }

    std::string release() const { return out_.narrow() + "release"; }

    test::TempDir tree_, out_;
    std::string zip_, description_;
};

TEST_F(ServicesE2eTest, ServesThePublishedReleaseByteExact) {
    ServicesProcess services(release());
    auto client = Client(services);
    const auto xml = client->Get("/download/Quillmate.update.xml.txt");
    ASSERT_TRUE(xml) << httplib::to_string(xml.error());
    EXPECT_EQ(xml->status, 200);
    EXPECT_EQ(xml->get_header_value("Content-Type"), "text/plain");
    EXPECT_EQ(xml->body, description_);
    const auto zip = client->Get("/download/Quillmate.zip");
    ASSERT_TRUE(zip) << httplib::to_string(zip.error());
    EXPECT_EQ(zip->status, 200);
    EXPECT_EQ(zip->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(zip->body, zip_);
    // The description names the archive that is served.
    EXPECT_NE(xml->body.find("sha256=\"" + Sha256Hex(zip->body) + "\" size=\"" +
                             std::to_string(zip->body.size()) + "\""),
              std::string::npos)
        << xml->body;
    EXPECT_NE(xml->body.find("<version num=\"0.2.0.0\""), std::string::npos);
    EXPECT_NE(xml->body.find("<desp-en>Faster &amp; safer</desp-en>"), std::string::npos);

    for (const char* path : {"/download/missing.zip", "/download/..%2Fstate%2Fca-key.pem",
                             "/download/.hidden", "/download/", "/Quillmate.zip"}) {
        const auto refused = client->Get(path);
        ASSERT_TRUE(refused) << path;
        EXPECT_EQ(refused->status, 404) << path;
        EXPECT_EQ(Parse(refused->body)["type"], "error") << path;
    }
    const auto log = services.RequestLog();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[1]["method"], "GET");
    EXPECT_EQ(log[1]["path"], "/download/Quillmate.zip");
    EXPECT_EQ(log[1]["status"], 200);
    EXPECT_EQ(log[1]["bytes"].asUInt64(), zip_.size());
    EXPECT_EQ(log[3]["path"], "/download/../state/ca-key.pem");
    EXPECT_EQ(log[3]["status"], 404);
}

TEST_F(ServicesE2eTest, WithoutAReleaseEveryDownloadIsMissing) {
    test::TempDir empty;
    ServicesProcess services(empty.narrow() + "absent");
    const auto response = Client(services)->Get("/download/Quillmate.zip");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 404);
}

TEST_F(ServicesE2eTest, TruncatedDownloadEndsShortThenTheNextIsWhole) {
    ServicesProcess services(release(), {"--fault-download", "truncated:1"});
    std::string received;
    const auto cut =
        Client(services)->Get("/download/Quillmate.zip", [&](const char* data, size_t length) {
            received.append(data, length);
            return true;
        });
    EXPECT_FALSE(cut) << "the connection closed before the declared length";
    EXPECT_EQ(received, zip_.substr(0, zip_.size() / 2));
    const auto whole = Client(services)->Get("/download/Quillmate.zip");
    ASSERT_TRUE(whole) << httplib::to_string(whole.error());
    EXPECT_EQ(whole->body, zip_);
    const auto log = services.RequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["fault"], "truncated");
    EXPECT_FALSE(log[1].isMember("fault"));
}

TEST_F(ServicesE2eTest, WrongContentKeepsTheLengthButNotTheBytes) {
    ServicesProcess services(release(), {"--fault-download", "wrong-content"});
    for (int i = 0; i < 2; ++i) {
        const auto response = Client(services)->Get("/download/Quillmate.zip");
        ASSERT_TRUE(response) << httplib::to_string(response.error());
        EXPECT_EQ(response->status, 200);
        ASSERT_EQ(response->body.size(), zip_.size());
        EXPECT_NE(response->body, zip_);
        EXPECT_NE(Sha256Hex(response->body), Sha256Hex(zip_));
        EXPECT_EQ(response->body.substr(0, zip_.size() - 1), zip_.substr(0, zip_.size() - 1));
    }
}

TEST_F(ServicesE2eTest, SlowDownloadOutlastsTheClientAndDoesNotHoldUpTheStop) {
    ServicesProcess services(release(), {"--fault-download", "slow:1"});
    const auto start = steady_clock::now();
    std::string received;
    const auto stalled =
        Client(services, 2)->Get("/download/Quillmate.zip", [&](const char* data, size_t length) {
            received.append(data, length);
            return true;
        });
    const auto waited = steady_clock::now() - start;
    EXPECT_FALSE(stalled) << "the client's read timeout ends the download";
    EXPECT_EQ(received, zip_.substr(0, zip_.size() / 2));
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    // The stalled worker does not keep others waiting.
    const auto next = Client(services)->Get("/download/Quillmate.zip");
    ASSERT_TRUE(next) << httplib::to_string(next.error());
    EXPECT_EQ(next->body, zip_);

    const auto stopping = steady_clock::now();
    EXPECT_EQ(services.Stop(), 0) << services.StderrText();
    EXPECT_LT(steady_clock::now() - stopping, std::chrono::seconds(3));
}

TEST_F(ServicesE2eTest, StoresEachKindOfMessage) {
    ServicesProcess services(release());
    Posted posted = Post(services, kFeedback);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.answer, Message(R"({"type":"msgResp","msg":"thank you"})"));
    posted = Post(services, kStart);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.answer, Message(R"({"type":"userStatResp"})"));
    posted = Post(services, kAction);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.answer, Message(R"({"type":"userActionResp"})"));

    EXPECT_EQ(services.Received(),
              (std::vector<Json::Value>{Message(kFeedback), Message(kStart), Message(kAction)}));
    const auto log = services.RequestLog();
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i]["method"], "POST");
        EXPECT_EQ(log[i]["path"], "/ReceiveFeedbackServer");
        EXPECT_EQ(log[i]["outcome"], "stored");
        EXPECT_EQ(log[i]["status"], 200);
    }
    EXPECT_EQ(log[0]["type"], "msgReq");
    EXPECT_EQ(log[2]["type"], "userActionReq");
    // The messages outlive the service.
    services.Restart();
    EXPECT_EQ(Post(services, kStart).status, 200);
    EXPECT_EQ(services.Received().size(), 4u);
}

TEST_F(ServicesE2eTest, RefusesInvalidMessagesAndStoresNone) {
    ServicesProcess services(release());
    const std::string zeroActions =
        R"({"type":"userActionReq","product":"Quillmate","action":"buyLink","actionCnt":"0"})";
    for (const std::string& body :
         {std::string("{not json"), std::string("[]"), std::string(R"({"type":"hello"})"),
          zeroActions, std::string(R"({"type":"userStatReq","product":"Q","version":"1"})")}) {
        const Posted posted = Post(services, body);
        EXPECT_EQ(posted.status, 400) << body;
        EXPECT_EQ(posted.answer["type"], "error") << body;
        EXPECT_FALSE(posted.answer["msg"].asString().empty()) << body;
    }
    EXPECT_EQ(Post(services, zeroActions).answer["msg"],
              "member \"actionCnt\" must be a count of 1 to 9 decimal digits, at least 1");
    const Posted oversize =
        Post(services, R"({"type":"msgReq","desc":")" + std::string(70000, 'x') + "\"}");
    EXPECT_EQ(oversize.status, 413);
    EXPECT_EQ(oversize.answer["type"], "error");
    EXPECT_EQ(Post(services, kStart, "/elsewhere").status, 404);
    const auto get = Client(services)->Get("/ReceiveFeedbackServer");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
    EXPECT_EQ(Parse(get->body)["type"], "error");

    EXPECT_TRUE(services.Received().empty());
    const auto log = services.RequestLog();
    ASSERT_EQ(log.size(), 9u) << "every request has its line";
    EXPECT_EQ(log[3]["type"], "userActionReq");
    EXPECT_EQ(log[3]["outcome"], "refused");
    EXPECT_EQ(log[6]["status"], 413);
}

TEST_F(ServicesE2eTest, InjectedFeedbackFaultsThenSuccess) {
    ServicesProcess services(release(), {"--fault-feedback", "error:1"});
    Posted posted = Post(services, kFeedback);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.answer, Message(R"({"type":"error","msg":"injected failure"})"));
    EXPECT_TRUE(services.Received().empty());
    posted = Post(services, kFeedback);
    EXPECT_EQ(posted.answer, Message(R"({"type":"msgResp","msg":"thank you"})"));
    EXPECT_EQ(services.Received(), std::vector<Json::Value>{Message(kFeedback)});

    services.Restart({"--fault-feedback", "not-json"});
    posted = Post(services, kAction);
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.body, "{not json");
    EXPECT_EQ(services.Received().size(), 1u);
    const auto log = services.RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["outcome"], "injected");
    EXPECT_EQ(log[1]["outcome"], "stored");
    EXPECT_EQ(log[2]["outcome"], "injected");
    EXPECT_EQ(log[2]["msg"], "not-json");
}

}  // namespace
}  // namespace qm::services
