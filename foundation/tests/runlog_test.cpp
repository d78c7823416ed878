#include "foundation/runlog.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <thread>
#include <vector>

#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/regex.h"
#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

std::u16string DefaultLogPath() {
    return test::ProgramHome() + NativeSeparators(u"RunLog/") + FileNameOf(GetProgramPath()) +
           u".log";
}

// The log with LF line ends. On Windows it is written in text mode: every
// line ends in CR LF there.
std::string ReadLog(const std::u16string& path) {
    std::string bytes = test::ReadAll(path);
#ifdef _WIN32
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        EXPECT_FALSE(bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) << "a bare LF at " << i;
        text += bytes[i];
    }
    return text;
#else
    return bytes;
#endif
}

std::string LastLine(const std::string& log) {
    const size_t end = log.size() - 1;  // the final "\n"
    const size_t start = log.rfind('\n', end - 1);
    return log.substr(start == std::string::npos ? 0 : start + 1);
}

// These run first, while the log still uses its default directory.
TEST(RunLogDefault, FileIsProgramNameInRunLogUnderTheProgramDirectory) {
    LogInfo("hello %s", "world");
    EXPECT_EQ(CurrentLogFilePath(), DefaultLogPath());
    EXPECT_EQ(LastLine(ReadLog(DefaultLogPath())).substr(21), " [Info] hello world\n");
}

TEST(RunLogDefault, DeletedDirectoryIsMadeAgain) {
    ASSERT_TRUE(DeleteDirectoryTree(test::ProgramHome() + u"RunLog"));
    LogTrace("after delete");
    EXPECT_EQ(LastLine(ReadLog(DefaultLogPath())).substr(21), " after delete\n");
}

TEST(RunLogDefault, TheFolderAndTheLogHaveFixedModesWhateverTheUmask) {
    QM_POSIX_ONLY("file modes and the umask");
#ifndef _WIN32
    const fs::perms folder = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
    const fs::perms file = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read;
    for (mode_t mask : {mode_t(000), mode_t(077)}) {
        ASSERT_TRUE(DeleteDirectoryTree(test::ProgramHome() + u"RunLog"));
        const mode_t old = umask(mask);
        LogInfo("made under umask %03o", static_cast<unsigned>(mask));
        umask(old);
        EXPECT_EQ(fs::status(FsPath(test::ProgramHome() + u"RunLog")).permissions(), folder)
            << mask;
        EXPECT_EQ(fs::status(FsPath(DefaultLogPath())).permissions(), file) << mask;
        EXPECT_NE(ReadLog(DefaultLogPath()).find("made under umask"), std::string::npos);
    }
#endif
}

TEST(RunLogDefault, LineFormatPerLevel) {
    const Regex stamp(u"\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ");
    LogTrace("%s", "SslCertSrvBase::BindCertToSite");
    std::string line = LastLine(ReadLog(DefaultLogPath()));
    EXPECT_TRUE(stamp.Search(WideFromAscii(line)).has_value());
    EXPECT_EQ(line.substr(22), "SslCertSrvBase::BindCertToSite\n");
    LogWarn(u"CreateProcess wait timeout!param is %s", u"x");
    EXPECT_EQ(LastLine(ReadLog(DefaultLogPath())).substr(22),
              "[Warn] CreateProcess wait timeout!param is x\n");
    LogError(u"CGuiWnd::DisplayProcessResult, %s", u"undefined");
    EXPECT_EQ(LastLine(ReadLog(DefaultLogPath())).substr(22),
              "[Error] CGuiWnd::DisplayProcessResult, undefined\n");
    LogTrace("");
    line = LastLine(ReadLog(DefaultLogPath()));
    EXPECT_EQ(line.size(), 23u);  // "[YYYY-MM-DD hh:mm:ss] " and the line end
    EXPECT_EQ(line.substr(21), " \n");
}

TEST(RunLogDefault, NarrowAndWideWriteTheSameCodePage) {
    LogInfo(u"%s", u"\u4e2d\u6587");
    LogInfo("%s", "\xd6\xd0\xce\xc4");
    const std::string log = ReadLog(DefaultLogPath());
    const size_t last = log.rfind("[Info] ");
    const size_t previous = log.rfind("[Info] ", last - 1);
    EXPECT_EQ(log.substr(last), "[Info] \xd6\xd0\xce\xc4\n");
    EXPECT_EQ(log.substr(previous, last - previous).substr(0, 12), "[Info] \xd6\xd0\xce\xc4\n");
}

TEST(RunLogDefault, ConcurrentLinesNeverInterleave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                LogInfo("thread %d line %d %s", t, i, std::string(100, 'x'));
        });
    }
    for (auto& th : threads)
        th.join();
    const std::string log = ReadLog(DefaultLogPath());
    const Regex whole(u"^\\[[^\\]]+\\] \\[Info\\] thread \\d line \\d+ x{100}$");
    size_t count = 0;
    for (const auto& m : Regex(u"^.*thread \\d line.*$").SearchAll(WideFromAscii(log))) {
        EXPECT_TRUE(whole.FullMatch(m.str(WideFromAscii(log))));
        ++count;
    }
    EXPECT_EQ(count, 800u);
}

// Fixes the directory for the rest of this binary's tests.
class RunLogRotation : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SetLogDirectory(dir().narrow() + "logs")); }
    static test::TempDir& dir() {
        static test::TempDir d;
        return d;
    }
    std::u16string LogPath() const {
        return dir() / NativeSeparators(u"logs/" + FileNameOf(GetProgramPath()) + u".log");
    }
    std::vector<fs::path> Archives() const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(FsPath(dir() / u"logs"))) {
            if (WidePath(e.path()) != LogPath())
                out.push_back(e.path());
        }
        return out;
    }
    void TearDown() override {
        for (const auto& a : Archives())
            fs::remove(a);
    }
};

TEST_F(RunLogRotation, SetLogDirectoryMovesTheLog) {
    LogInfo("moved");
    EXPECT_EQ(CurrentLogFilePath(), LogPath());
    EXPECT_EQ(LastLine(ReadLog(LogPath())).substr(21), " [Info] moved\n");
}

TEST_F(RunLogRotation, OneByteBelowTheLimitStays) {
    const std::string content(kLogRotationSize - 1, 'a');
    test::WriteAll(LogPath(), content);
    LogInfo("next");
    EXPECT_TRUE(Archives().empty());
    EXPECT_EQ(test::ReadAll(LogPath()).substr(0, content.size()), content);
}

TEST_F(RunLogRotation, AtTheLimitTheLogMovesToATimeStampedArchive) {
    std::string content(kLogRotationSize, 'b');
    content[0] = 'B';
    test::WriteAll(LogPath(), content);
    LogInfo("first of the new log");
    const auto archives = Archives();
    ASSERT_EQ(archives.size(), 1u);
    const std::u16string name = WidePath(archives[0].filename());
    const std::u16string stem = StripExtension(FileNameOf(GetProgramPath()) + u".log");
    EXPECT_TRUE(Regex(u"_\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.log")
                    .FullMatch(name.substr(stem.size())))
        << Utf8FromWide(name);
    EXPECT_EQ(test::ReadAll(WidePath(archives[0])), content);
    const std::string fresh = ReadLog(LogPath());
    EXPECT_EQ(fresh.substr(21), " [Info] first of the new log\n");
}

TEST(RunLogDisabled, UncreatableDirectorySwitchesLoggingOff) {
    EXPECT_EXIT(
        {
            const bool ok = SetLogDirectory("/proc/no-such-dir/logs");
            LogInfo("dropped");
            std::exit(!ok && CurrentLogFilePath().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qm
