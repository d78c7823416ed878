// Usage statistics and the maker's message sender against a loopback HTTPS
// service.
#include "app/usagestats.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/makermessages.h"
#include "app/tests/maker_test_server.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::MakerTestServer;

std::string RecordWith(const ProductIdentity& product) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<config>\r\n<product name=\"" +
           Utf8FromWide(product.name) + "\" version=\"" + Utf8FromWide(product.version) +
           "\" />\r\n</config>\r\n";
}

class UsageStatsTest : public ::testing::Test {
protected:
    // A program directory of its own, without Config/ to begin with.
    void SetUp() override { setenv("QUILLMATE_HOME", home_.narrow().c_str(), 1); }
    void TearDown() override {
        setenv("QUILLMATE_HOME", Utf8FromWide(test::ProgramHome()).c_str(), 1);
    }
    void WriteRecord(const std::string& text) {
        ASSERT_TRUE(MakeDirectoryTree(home_ / u"Config"));
        test::WriteAll(UsageStats::RecordPath(), text);
    }

    UsageStats Stats() const {
        const MakerService service = server_.Service();
        return UsageStats(service.FeedbackUrl(), service.caFile);
    }
    std::string Record() const { return test::ReadAll(UsageStats::RecordPath()); }

    test::TempDir home_;
    const ProductIdentity product_ = ExecutableProduct();
    MakerTestServer server_{MakerTestServer::Answer("userStatResp")};
};

TEST_F(UsageStatsTest, TheFirstStartIsReportedAndRecorded) {
    ASSERT_FALSE(product_.name.empty());
    ASSERT_FALSE(product_.version.empty());
    EXPECT_EQ(UsageStats::RecordPath(), home_ / u"Config/User.xml");
    EXPECT_FALSE(DirectoryExists(home_ / u"Config"));

    EXPECT_TRUE(Stats().SendStartReport());
    ASSERT_EQ(server_.RequestCount(), 1u);
    const Json::Value report = server_.Requests()[0];
    EXPECT_EQ(report["type"], "userStatReq");
    EXPECT_EQ(report["platform"], std::string(kMakerPlatform));
    EXPECT_EQ(report["product"], Utf8FromWide(product_.name));
    EXPECT_EQ(report["version"], Utf8FromWide(product_.version));
    EXPECT_EQ(report.size(), 4u);
    EXPECT_EQ(server_.Paths()[0], "/ReceiveFeedbackServer");
    EXPECT_EQ(Record(), RecordWith(product_));

    // Unchanged: nothing to report.
    EXPECT_TRUE(Stats().SendStartReport());
    EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(UsageStatsTest, ARefusedReportLeavesTheRecordAndIsSentAgain) {
    server_.SetRule(MakerTestServer::Answer("error", "busy"));
    EXPECT_FALSE(Stats().SendStartReport());
    EXPECT_EQ(Record(), UsageStats::kEmptyRecord);

    server_.SetRule(MakerTestServer::Answer("userStatResp"));
    EXPECT_TRUE(Stats().SendStartReport());
    EXPECT_EQ(server_.RequestCount(), 2u);
    EXPECT_EQ(Record(), RecordWith(product_));
}

TEST_F(UsageStatsTest, ANewVersionIsReportedAgain) {
    WriteRecord(RecordWith({product_.name, u"0.0.0.1"}));
    EXPECT_TRUE(Stats().SendStartReport());
    EXPECT_EQ(server_.RequestCount(), 1u);
    EXPECT_EQ(Record(), RecordWith(product_));
}

TEST_F(UsageStatsTest, ARecordWithoutProductHasNothingToReport) {
    WriteRecord("<?xml version=\"1.0\"?>\n<config/>\n");
    EXPECT_TRUE(Stats().SendStartReport());
    EXPECT_EQ(server_.RequestCount(), 0u);
}

TEST_F(UsageStatsTest, ActionReportsCarryTheCountAsText) {
    server_.SetRule(MakerTestServer::Answer("userActionResp"));
    EXPECT_TRUE(Stats().SendActionReport(3, "otherLink"));
    ASSERT_EQ(server_.RequestCount(), 1u);
    const Json::Value report = server_.Requests()[0];
    EXPECT_EQ(report["type"], "userActionReq");
    EXPECT_EQ(report["product"], Utf8FromWide(product_.name));
    EXPECT_EQ(report["action"], "otherLink");
    EXPECT_EQ(report["actionCnt"], "3");

    server_.SetRule(MakerTestServer::Answer("userStatResp"));
    EXPECT_FALSE(Stats().SendActionReport(1, "buyLink"));
}

TEST_F(UsageStatsTest, NoServiceReadsAsFalseWithoutThrowing) {
    const MakerService down = test::UnreachableService();
    UsageStats stats(down.FeedbackUrl(), down.caFile);
    EXPECT_FALSE(stats.SendStartReport());
    EXPECT_FALSE(stats.SendActionReport(2, "otherLink"));
    EXPECT_EQ(Record(), UsageStats::kEmptyRecord);
}

std::u16string FailureOf(const MakerEndpoint& endpoint, std::string_view expectedType) {
    Json::Value message(Json::objectValue);
    message["type"] = "msgReq";
    try {
        PostMakerMessage(endpoint, message, expectedType);
    } catch (const std::exception& e) {
        return ResultTextOf(e);
    }
    return u"succeed";
}

TEST(MakerMessages, FailureTextsNameWhatCameBack) {
    MakerTestServer server(MakerTestServer::Answer("msgResp"));
    const MakerEndpoint endpoint{server.Service().FeedbackUrl(), server.Service().caFile};
    EXPECT_EQ(FailureOf(endpoint, "msgResp"), u"succeed");
    EXPECT_EQ(FailureOf(endpoint, "userStatResp"), u"type: msgResp, message: ");

    server.SetRule(MakerTestServer::Answer("error", "quota exceeded"));
    EXPECT_EQ(FailureOf(endpoint, "msgResp"), u"type: error, message: quota exceeded");
    server.SetRule([](const Json::Value&) { return std::string(R"({"type": 7, "msg": 1})"); });
    EXPECT_EQ(FailureOf(endpoint, "msgResp"), u"type: , message: ");
    server.SetRule([](const Json::Value&) { return std::string("{not json"); });
    EXPECT_EQ(FailureOf(endpoint, "msgResp"), u"undefined");

    const MakerService down = test::UnreachableService();
    EXPECT_EQ(FailureOf({down.FeedbackUrl(), down.caFile}, "msgResp"), u"communication failed");
    EXPECT_FALSE(PostStatisticsMessage({down.FeedbackUrl(), down.caFile}, Json::Value(), "x"));
}

TEST(MakerMessages, TrimmingCutsBlanksThenLineBreaksThenTabsOnce) {
    EXPECT_EQ(TrimFeedbackText(u"  text  "), u"text");
    EXPECT_EQ(TrimFeedbackText(u" \r\n\ttext\t\n\r "), u"text");
    // One pass each: blanks after a line break stay.
    EXPECT_EQ(TrimFeedbackText(u"\r\n text"), u" text");
    EXPECT_EQ(TrimFeedbackText(u" \t \r\n"), u" \r");
    EXPECT_EQ(TrimFeedbackText(u""), u"");
}

TEST(MakerMessages, TheFeedbackRequestHasEveryMemberAsText) {
    const Json::Value request =
        BuildFeedbackRequest({"advice", u"Gr\u00fc\u00dfe", u"me@example.test", "[t] [Error] x"});
    const ProductIdentity product = ExecutableProduct();
    EXPECT_EQ(request["type"], "msgReq");
    EXPECT_EQ(request["product"], Utf8FromWide(product.name));
    EXPECT_EQ(request["version"], Utf8FromWide(product.version));
    EXPECT_EQ(request["loginfo"], "[t] [Error] x");
    EXPECT_EQ(request["msgType"], "advice");
    EXPECT_EQ(request["contact"], "me@example.test");
    EXPECT_EQ(request["desc"],
              "Gr\xc3\xbc\xc3\x9f"
              "e");
    EXPECT_EQ(request["platform"], std::string(kMakerPlatform));
    EXPECT_EQ(request.size(), 8u);
}

}  // namespace
}  // namespace qm
