#include "services/downloads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "foundation/files.h"
#include "tests/support/temp_dir.h"

namespace qm::services {
namespace {

using Kind = DownloadStep::Kind;
using std::chrono::milliseconds;

// What a client receives when the provider follows NextStep with chunks of
// `chunk` bytes, and whether the stream ended early.
struct Wire {
    std::string received;
    bool closed = false;  // cut off before the declared length
    int stalls = 0;
};

Wire Walk(const DownloadBody& body, size_t chunk) {
    Wire wire;
    bool stalled = false;
    size_t offset = 0;
    while (offset < body.bytes.size()) {
        const DownloadStep step = NextStep(body, offset, stalled, chunk);
        if (step.kind == Kind::Close) {
            wire.closed = true;
            break;
        }
        if (step.kind == Kind::Stall) {
            stalled = true;
            ++wire.stalls;
            continue;
        }
        EXPECT_GT(step.size, 0u);
        EXPECT_LE(step.size, chunk);
        wire.received += body.bytes.substr(offset, step.size);
        offset += step.size;
    }
    return wire;
}

const std::string kFile = "0123456789abcdefghijklmnopqrstuvwxyz!";  // 37 bytes

TEST(DownloadNameTest, OnlyPlainNamesInTheReleaseFolder) {
    for (const char* good : {"Quillmate.zip", "Quillmate.update.xml.txt", "a", "a.b.c", "x-1_2"})
        EXPECT_TRUE(IsPlainFileName(good)) << good;
    for (const char* bad : {"", ".", "..", ".hidden", "../state/ca-key.pem", "a/b", "/etc/passwd",
                            "a\\b", "a..b", "..zip"})
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    EXPECT_FALSE(IsPlainFileName(std::string("a\0b", 3)));
}

TEST(DownloadNameTest, TextFilesAreTextEverythingElseBytes) {
    EXPECT_EQ(ContentTypeFor("Quillmate.update.xml.txt"), "text/plain");
    EXPECT_EQ(ContentTypeFor("Quillmate.zip"), "application/octet-stream");
    EXPECT_EQ(ContentTypeFor("Quillmate.zip.sha256"), "application/octet-stream");
    EXPECT_EQ(ContentTypeFor("txt"), "application/octet-stream");
}

TEST(DownloadNameTest, ReadsOnlyRegularFilesOfTheReleaseFolder) {
    test::TempDir dir;
    ASSERT_TRUE(MakeDirectoryTree(dir / u"release/sub"));
    test::WriteAll(dir / u"release/Quillmate.zip", "zip bytes");
    test::WriteAll(dir / u"secret", "not served");
    test::WriteAll(dir / u"release/sub/inner", "not served");
    const std::string release = dir.narrow() + "release";
    std::string bytes;
    EXPECT_TRUE(ReadReleaseFile(release, "Quillmate.zip", bytes));
    EXPECT_EQ(bytes, "zip bytes");
    EXPECT_FALSE(ReadReleaseFile(release, "missing", bytes));
    EXPECT_FALSE(ReadReleaseFile(release, "sub", bytes)) << "a folder is no file";
    EXPECT_FALSE(ReadReleaseFile(release, "../secret", bytes));
    EXPECT_FALSE(ReadReleaseFile("", "Quillmate.zip", bytes)) << "no release folder given";
    EXPECT_FALSE(ReadReleaseFile(dir.narrow() + "absent", "Quillmate.zip", bytes));
}

TEST(DownloadPlanTest, WithoutAFaultTheFileGoesOutWhole) {
    const DownloadBody body = PlanDownload(kFile, "");
    const Wire wire = Walk(body, 5);
    EXPECT_EQ(wire.received, kFile);
    EXPECT_FALSE(wire.closed);
    EXPECT_EQ(wire.stalls, 0);
}

TEST(DownloadPlanTest, SlowSendsHalfThenStallsOnceThenTheRest) {
    const DownloadBody body = PlanDownload(kFile, "slow");
    EXPECT_EQ(body.stallAt, kFile.size() / 2);
    // Before the stall nothing beyond half leaves, even with a large chunk.
    EXPECT_EQ(NextStep(body, 0, false, 1000).size, kFile.size() / 2);
    EXPECT_EQ(NextStep(body, kFile.size() / 2, false, 1000).kind, Kind::Stall);
    const Wire wire = Walk(body, 7);
    EXPECT_EQ(wire.received, kFile);
    EXPECT_EQ(wire.stalls, 1);
    // A file too small to halve stalls before its first byte.
    EXPECT_EQ(NextStep(PlanDownload("x", "slow"), 0, false, 10).kind, Kind::Stall);
}

TEST(DownloadPlanTest, TruncatedDeclaresEverythingSendsHalfAndCloses) {
    const DownloadBody body = PlanDownload(kFile, "truncated");
    EXPECT_EQ(body.bytes.size(), kFile.size()) << "the declared length is the file's";
    const Wire wire = Walk(body, 4);
    EXPECT_EQ(wire.received, kFile.substr(0, kFile.size() / 2));
    EXPECT_TRUE(wire.closed);
}

TEST(DownloadPlanTest, WrongContentHasTheSameLengthAndAnotherLastByte) {
    const DownloadBody body = PlanDownload(kFile, "wrong-content");
    const Wire wire = Walk(body, 64 * 1024);
    ASSERT_EQ(wire.received.size(), kFile.size());
    EXPECT_NE(wire.received, kFile);
    EXPECT_EQ(wire.received.substr(0, kFile.size() - 1), kFile.substr(0, kFile.size() - 1));
    EXPECT_EQ(static_cast<unsigned char>(wire.received.back()),
              static_cast<unsigned char>(~kFile.back()));
    EXPECT_EQ(PlanDownload("", "wrong-content").bytes, "");
}

TEST(DownloadPlanTest, AStallEndsWhenTheServerStops) {
    std::atomic<bool> stopping = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(100));
        stopping = true;
    });
    EXPECT_TRUE(StallFor(std::chrono::seconds(120), [&] { return stopping.load(); }));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(StallFor(milliseconds(60), [] { return false; }));
}

}  // namespace
}  // namespace qm::services
