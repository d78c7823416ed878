#include "services/feedback.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm::services {
namespace {

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        ADD_FAILURE() << "not JSON: " << text;
    return value;
}

Json::Value Feedback() {
    Json::Value m;
    m["type"] = "msgReq";
    m["product"] = "Quillmate";
    m["version"] = "0.1.0.0";
    m["loginfo"] = "12:00 deploy nginx: failed";
    m["msgType"] = "bug";
    m["contact"] = "ops@example.test";
    m["desc"] = "部署失败 after restart";
    m["platform"] = "Debian 12";
    return m;
}

Json::Value StartReport() {
    Json::Value m;
    m["type"] = "userStatReq";
    m["platform"] = "Debian 12";
    m["product"] = "Quillmate";
    m["version"] = "0.1.0.0";
    return m;
}

Json::Value ActionReport(const std::string& action = "applyCert", const std::string& count = "1") {
    Json::Value m;
    m["type"] = "userActionReq";
    m["product"] = "Quillmate";
    m["action"] = action;
    m["actionCnt"] = count;
    return m;
}

std::string Problem(const Json::Value& message) {
    const CheckedMessage checked = CheckMessage(OneLineJson(message));
    EXPECT_FALSE(checked.ok) << OneLineJson(message);
    return checked.problem;
}

std::string Problem(const std::string& body) {
    const CheckedMessage checked = CheckMessage(body);
    EXPECT_FALSE(checked.ok) << body;
    return checked.problem;
}

TEST(MessageCheckTest, AcceptsEachKindOfMessage) {
    for (const auto& [message, answer] :
         std::vector<std::pair<Json::Value, std::string>>{{Feedback(), "msgResp"},
                                                          {StartReport(), "userStatResp"},
                                                          {ActionReport(), "userActionResp"}}) {
        const CheckedMessage checked = CheckMessage(OneLineJson(message));
        EXPECT_TRUE(checked.ok) << checked.problem;
        EXPECT_EQ(checked.type, message["type"].asString());
        EXPECT_EQ(checked.answerType, answer);
        EXPECT_EQ(checked.message, message);
    }
    for (const char* msgType : {"bug", "advice", "null"}) {
        Json::Value m = Feedback();
        m["msgType"] = msgType;
        EXPECT_TRUE(CheckMessage(OneLineJson(m)).ok) << msgType;
    }
    for (const char* action : {"buyLink", "otherLink", "applyCert"})
        EXPECT_TRUE(CheckMessage(OneLineJson(ActionReport(action, "3"))).ok) << action;
    EXPECT_TRUE(CheckMessage(OneLineJson(ActionReport("buyLink", "999999999"))).ok);
    EXPECT_TRUE(CheckMessage(OneLineJson(ActionReport("buyLink", "007"))).ok);
    // Further members are kept, empty texts are fine where nothing is required.
    Json::Value extra = Feedback();
    extra["contact"] = "";
    extra["screen"] = Json::Value(Json::arrayValue);
    EXPECT_TRUE(CheckMessage(OneLineJson(extra)).ok);
}

TEST(MessageCheckTest, RefusesWhatIsNoJsonObject) {
    EXPECT_EQ(Problem(std::string("")), "the message is not JSON");
    EXPECT_EQ(Problem(std::string("{not json")), "the message is not JSON");
    EXPECT_EQ(Problem(std::string("{\"type\":\"msgReq\"} trailing")), "the message is not JSON");
    EXPECT_EQ(Problem(std::string("{\"type\":\"a\",\"type\":\"b\"}")), "the message is not JSON");
    EXPECT_EQ(Problem(std::string("/* c */ {}")), "the message is not JSON");
    EXPECT_EQ(Problem(std::string(200, '[') + std::string(200, ']')), "the message is not JSON");
    EXPECT_EQ(Problem(std::string("[1,2]")), "the message is not a JSON object");
    EXPECT_EQ(Problem(std::string("\"msgReq\"")), "the message is not a JSON object");
    EXPECT_EQ(Problem(std::string("{\"type\":\"msgReq\",\"desc\":\"caf\xe9\"}")),
              "the message is not UTF-8");
}

TEST(MessageCheckTest, RefusesAMissingOrUnknownType) {
    EXPECT_EQ(Problem(std::string("{}")), "member \"type\" is missing");
    EXPECT_EQ(Problem(std::string("{\"type\":7}")), "member \"type\" must be a string");
    EXPECT_EQ(Problem(std::string("{\"type\":\"challengeRequest\"}")),
              "unknown message type \"challengeRequest\"");
    const CheckedMessage checked = CheckMessage("{\"type\":\"" + std::string(100, 'x') + "\"}");
    EXPECT_EQ(checked.type.size(), 64u) << "the logged type is cut short";
}

TEST(MessageCheckTest, RefusesFeedbackWithMissingOrWrongMembers) {
    for (const char* member :
         {"product", "version", "loginfo", "msgType", "contact", "desc", "platform"}) {
        Json::Value missing = Feedback();
        missing.removeMember(member);
        EXPECT_EQ(Problem(missing), std::string("member \"") + member + "\" is missing");
        Json::Value number = Feedback();
        number[member] = 1;
        EXPECT_EQ(Problem(number), std::string("member \"") + member + "\" must be a string");
    }
    Json::Value m = Feedback();
    m["msgType"] = "praise";
    EXPECT_EQ(Problem(m), "member \"msgType\" must be one of bug, advice, null");
    m["msgType"] = Json::Value();  // JSON null is not the text "null"
    EXPECT_EQ(Problem(m), "member \"msgType\" must be a string");
    for (const char* blank : {"", " ", " \t\r\n "}) {
        m = Feedback();
        m["desc"] = blank;
        EXPECT_EQ(Problem(m), "member \"desc\" is blank");
    }
}

TEST(MessageCheckTest, RefusesReportsWithMissingOrWrongMembers) {
    for (const char* member : {"platform", "product", "version"}) {
        Json::Value m = StartReport();
        m.removeMember(member);
        EXPECT_EQ(Problem(m), std::string("member \"") + member + "\" is missing");
    }
    Json::Value m = StartReport();
    m["version"] = Json::Value(Json::objectValue);
    EXPECT_EQ(Problem(m), "member \"version\" must be a string");

    m = ActionReport();
    m.removeMember("action");
    EXPECT_EQ(Problem(m), "member \"action\" is missing");
    EXPECT_EQ(Problem(ActionReport("download")),
              "member \"action\" must be one of buyLink, otherLink, applyCert");
    m = ActionReport();
    m["actionCnt"] = 2;  // a count, but not as the client sends it
    EXPECT_EQ(Problem(m), "member \"actionCnt\" must be a string");
    for (const char* count : {"0", "000", "abc", "", "-1", "+1", " 1", "1.5", "1234567890"})
        EXPECT_EQ(Problem(ActionReport("buyLink", count)),
                  "member \"actionCnt\" must be a count of 1 to 9 decimal digits, at least 1")
            << count;
}

TEST(MessageCheckTest, RefusesOversizeAndBrokenTextEscapes) {
    Json::Value m = Feedback();
    m["desc"] = std::string(kMaxMessageBytes, 'x');
    EXPECT_EQ(Problem(m), "the message exceeds 65536 bytes");
    // A lone surrogate escape decodes to bytes that are no UTF-8.
    EXPECT_EQ(Problem(std::string(R"({"type":"userStatReq","platform":"\udc00","product":"Q",)"
                                  R"("version":"1"})")),
              "the message holds text that is not UTF-8");
}

// ---------------------------------------------------------------------------
// The desk: answers, storage and injected faults.

struct Desk {
    test::TempDir dir;
    ReceivedStore store{dir.narrow() + "received.jsonl"};

    std::vector<Json::Value> Lines() const {
        std::vector<Json::Value> lines;
        std::istringstream in(test::ReadAll(dir / u"received.jsonl"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(Parse(line));
        return lines;
    }
    bool HasFile() const { return std::filesystem::exists(dir.narrow() + "received.jsonl"); }
};

TEST(FeedbackDeskTest, AnswersAndStoresAcceptedMessages) {
    Desk d;
    FeedbackDesk desk(d.store, {});
    Answer a = desk.Handle(OneLineJson(Feedback()));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(Parse(a.body), Parse(R"({"type":"msgResp","msg":"thank you"})"));
    EXPECT_EQ(a.outcome, "stored");
    EXPECT_EQ(a.requestType, "msgReq");
    a = desk.Handle(OneLineJson(StartReport()));
    EXPECT_EQ(Parse(a.body), Parse(R"({"type":"userStatResp"})"));
    a = desk.Handle(OneLineJson(ActionReport()));
    EXPECT_EQ(Parse(a.body), Parse(R"({"type":"userActionResp"})"));

    const auto lines = d.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["message"], Feedback());
    EXPECT_EQ(lines[1]["message"], StartReport());
    EXPECT_EQ(lines[2]["message"], ActionReport());
    EXPECT_EQ(lines[0]["time"].asString().size(), 20u);
    EXPECT_EQ(lines[0]["time"].asString().back(), 'Z');
    // Chinese feedback stays readable in the file, "time" comes first.
    const std::string text = test::ReadAll(d.dir / u"received.jsonl");
    EXPECT_NE(text.find("部署失败"), std::string::npos);
    EXPECT_TRUE(text.starts_with("{\"time\":\"")) << text;
}

TEST(FeedbackDeskTest, RefusesInvalidMessagesWithoutStoringThem) {
    Desk d;
    FeedbackDesk desk(d.store, {});
    const Answer a = desk.Handle(OneLineJson(ActionReport("buyLink", "0")));
    EXPECT_EQ(a.status, 400);
    EXPECT_EQ(a.outcome, "refused");
    EXPECT_EQ(a.requestType, "userActionReq");
    const Json::Value body = Parse(a.body);
    EXPECT_EQ(body["type"], "error");
    EXPECT_EQ(body["msg"],
              "member \"actionCnt\" must be a count of 1 to 9 decimal digits, at least 1");
    EXPECT_EQ(desk.Handle("{not json").status, 400);
    EXPECT_EQ(desk.Handle(std::string(kMaxMessageBytes + 1, ' ')).status, 413);
    EXPECT_FALSE(d.HasFile());
}

TEST(FeedbackDeskTest, InjectedFaultsAnswerTheFirstMessagesAndStoreNothing) {
    Desk d;
    FeedbackDesk desk(d.store, FaultRule{"error", 1, ""});
    Answer a = desk.Handle(OneLineJson(Feedback()));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(Parse(a.body), Parse(R"({"type":"error","msg":"injected failure"})"));
    EXPECT_EQ(a.outcome, "injected");
    EXPECT_FALSE(d.HasFile());
    a = desk.Handle(OneLineJson(Feedback()));
    EXPECT_EQ(a.outcome, "stored");
    EXPECT_EQ(d.Lines().size(), 1u);

    FeedbackDesk broken(d.store, FaultRule{"not-json", -1, ""});
    for (int i = 0; i < 2; ++i) {
        a = broken.Handle(OneLineJson(StartReport()));
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.body, "{not json");
    }
    EXPECT_EQ(d.Lines().size(), 1u);
}

TEST(FeedbackDeskTest, AFailedAppendIsNoSuccess) {
    test::TempDir dir;
    ReceivedStore store(dir.narrow() + "missing-folder/received.jsonl");
    FeedbackDesk desk(store, {});
    const Answer a = desk.Handle(OneLineJson(StartReport()));
    EXPECT_EQ(a.status, 500);
    EXPECT_EQ(a.outcome, "failed");
    EXPECT_EQ(Parse(a.body), Parse(R"({"type":"error","msg":"cannot store"})"));
}

TEST(FeedbackDeskTest, ConcurrentMessagesEachGetAWholeLine) {
    Desk d;
    FeedbackDesk desk(d.store, {});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                Json::Value m = Feedback();
                m["desc"] = std::string(1000, static_cast<char>('a' + t));
                EXPECT_EQ(desk.Handle(OneLineJson(m)).status, 200);
            }
        });
    for (auto& thread : threads)
        thread.join();
    const auto lines = d.Lines();
    ASSERT_EQ(lines.size(), 100u);
    for (const auto& line : lines)
        EXPECT_EQ(line["message"]["desc"].asString().size(), 1000u);
}

}  // namespace
}  // namespace qm::services
