#include "foundation/hostfacts.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/files.h"
#include "foundation/results.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

TEST(HostFacts, CompareVersions) {
    EXPECT_GT(CompareVersions(u"6.0.39.0", u"6.0.38.0"), 0);
    EXPECT_GT(CompareVersions(u"7", u"6.9"), 0);
    EXPECT_LT(CompareVersions(u"1.0", u"1.0.0"), 0);
    EXPECT_GT(CompareVersions(u"1.0.0", u"1.0"), 0);
    EXPECT_EQ(CompareVersions(u"1.2.3", u"1.2.3"), 0);
    EXPECT_EQ(CompareVersions(u"1.10", u"1.9"), 1);
    EXPECT_EQ(CompareVersions(u"", u""), 0);
    EXPECT_LT(CompareVersions(u"", u"0"), 0);
    EXPECT_GT(CompareVersions(u"0", u""), 0);
}

TEST(HostFacts, ProgramDirectoryFollowsQuillmateHome) {
    EXPECT_EQ(GetProgramDirectory(), test::ProgramHome());
    EXPECT_FALSE(GetProgramPath().empty());
    EXPECT_TRUE(FileExists(GetProgramPath()));
}

TEST(HostFacts, OperatingSystemIsNamedAndSupported) {
    EXPECT_FALSE(GetOsName().empty());
    EXPECT_TRUE(IsSupportedOs());
}

TEST(HostFacts, WindowsReleasesFromServer2008OnAreSupported) {
    EXPECT_TRUE(IsSupportedWindowsRelease(6, 0, true));    // Server 2008
    EXPECT_FALSE(IsSupportedWindowsRelease(6, 0, false));  // Vista
    for (bool server : {false, true}) {
        EXPECT_TRUE(IsSupportedWindowsRelease(6, 1, server));   // 7, 2008 R2
        EXPECT_TRUE(IsSupportedWindowsRelease(6, 3, server));   // 8.1, 2012 R2
        EXPECT_TRUE(IsSupportedWindowsRelease(10, 0, server));  // 10, 11, 2016 to 2025
        EXPECT_FALSE(IsSupportedWindowsRelease(5, 2, server));  // XP, 2003
        EXPECT_FALSE(IsSupportedWindowsRelease(6, 4, server));
    }
}

TEST(HostFacts, TempFilePathsAreFreshAndPrivate) {
    const auto a = TempFilePath();
    const auto b = TempFilePath();
    EXPECT_NE(a, b);
    EXPECT_TRUE(FileExists(a));
#ifndef _WIN32  // file modes
    EXPECT_EQ(std::filesystem::status(FsPath(a)).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
    DeleteFileToRecycleBin(a);
    DeleteFileToRecycleBin(b);
    const auto named = TempFilePath(u"x.txt");
    EXPECT_EQ(named.substr(named.size() - 6), PathSeparator() + std::u16string(u"x.txt"));
}

TEST(HostFacts, EnvironmentValues) {
    setenv("QM_TEST_VALUE", "present", 1);
    EXPECT_EQ(GetEnvironmentValue(u"QM_TEST_VALUE"), u"present");
    try {
        GetEnvironmentValue(u"QM_TEST_SURELY_NOT_SET_ANYWHERE");
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), result::kEnvVariableNotExist);
    }
}

TEST(HostFacts, FileVersionOfOwnExecutables) {
    EXPECT_EQ(GetFileVersion(GetProgramPath()), OwnProductVersion());
    EXPECT_EQ(GetFileVersionString(GetProgramPath(), u"ProductName"), OwnProductName());
    EXPECT_EQ(OwnProductName(), u"Quillmate");
    test::TempDir dir;
    test::WriteAll(dir / u"plain", "no version here");
    EXPECT_EQ(GetFileVersion(dir / u"plain"), u"");
    EXPECT_EQ(GetFileVersion(dir / u"missing"), u"");
}

}  // namespace
}  // namespace qm
