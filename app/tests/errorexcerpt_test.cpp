// The error lines a feedback report carries, from logs in the run log's own
// line format.
#include "app/errorexcerpt.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/runlog.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

std::string Line(const std::string& level, const std::string& message, const char* end = "\n") {
    // Trace lines have no level tag.
    return "[2024-05-01 10:00:00] " + (level.empty() ? "" : level + " ") + message + end;
}

std::string Excerpt(const std::string& log) {
    test::TempDir dir;
    test::WriteAll(dir / u"quillmate.log", log);
    return ExtractErrorLines(dir / u"quillmate.log");
}

TEST(ErrorExcerpt, KeepsTheLastFiveErrorLinesOldestFirstRunTogether) {
    std::string log;
    std::string expected;
    for (int i = 1; i <= 7; ++i) {
        const std::string line = Line("[Error]", "failure number " + std::to_string(i));
        log += line;
        if (i >= 3)
            expected += line.substr(0, line.size() - 1);
    }
    EXPECT_EQ(Excerpt(log), expected);
}

TEST(ErrorExcerpt, NothingWithoutErrorLinesOrWithoutAFile) {
    EXPECT_EQ(Excerpt(Line("[Info]", "started") + Line("[Warn]", "slow disk")), "");
    EXPECT_EQ(Excerpt(""), "");
    test::TempDir dir;
    EXPECT_EQ(ExtractErrorLines(dir / u"missing.log"), "");
    EXPECT_EQ(ExtractErrorLines(dir.path()), "");
}

TEST(ErrorExcerpt, SkipsOtherLevelsBetweenErrorLines) {
    const std::string log = Line("[Info]", "CGuiWnd::InitWindow") +
                            Line("[Error]", "CCommunicator::Post : communication failed") +
                            Line("", "CertCenterComm::Apply") + Line("[Warn]", "retrying") +
                            Line("[Error]", "SslCertSrvNginx::Restart : restart failed") +
                            Line("[Info]", "done");
    EXPECT_EQ(Excerpt(log),
              "[2024-05-01 10:00:00] [Error] CCommunicator::Post : communication failed"
              "[2024-05-01 10:00:00] [Error] SslCertSrvNginx::Restart : restart failed");
}

TEST(ErrorExcerpt, ATagInsideAnotherLineIsPassedOver) {
    const std::string log =
        Line("[Error]", "first") +
        Line("[Info]", "the answer of the peer server contained [Error] somewhere in its text");
    EXPECT_EQ(Excerpt(log), "[2024-05-01 10:00:00] [Error] first");
    // With nothing before it, the search ends there.
    EXPECT_EQ(Excerpt(Line("[Info]", "a long line whose text mentions [Error] late")), "");
}

TEST(ErrorExcerpt, WindowsLineEndsAndLongLines) {
    EXPECT_EQ(Excerpt(Line("[Error]", "a", "\r\n") + Line("[Error]", "b", "\r\n")),
              "[2024-05-01 10:00:00] [Error] a[2024-05-01 10:00:00] [Error] b");
    // A line is read through a window of 200 bytes from 30 before its tag.
    const std::string longLine = Line("[Error]", std::string(300, 'x'));
    EXPECT_EQ(Excerpt(Line("[Info]", "before") + longLine), longLine.substr(0, 192));
}

TEST(ErrorExcerpt, ReadsTheRunLogAsItIsWritten) {
    LogError("%s : %s", "ErrorExcerpt::Test", "a marker for the excerpt");
    const std::string excerpt = ExtractErrorLines(CurrentLogFilePath());
    const std::string tail = "[Error] ErrorExcerpt::Test : a marker for the excerpt";
    ASSERT_GE(excerpt.size(), tail.size());
    EXPECT_EQ(excerpt.substr(excerpt.size() - tail.size()), tail);
    EXPECT_EQ(excerpt.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace qm
