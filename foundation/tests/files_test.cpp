#include "foundation/files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

fs::perms Perms(const std::u16string& p) {
    return fs::status(FsPath(p)).permissions();
}

TEST(Files, MakeDirectoryTreeReplacesAFileThatBlocksAFolder) {
    test::TempDir dir;
    test::WriteAll(dir / u"a", "I am a file");
    ASSERT_TRUE(MakeDirectoryTree(dir / u"a/b/c"));
    EXPECT_TRUE(DirectoryExists(dir / u"a/b/c"));
    EXPECT_TRUE(MakeDirectoryTree(dir / u"a/b/c/"));  // existing: fine
    EXPECT_FALSE(MakeDirectoryTree(u""));
}

TEST(Files, AtomicWriteKeepsModeAndWritesPrivateFilesOwnerOnly) {
    test::TempDir dir;
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "old");
    fs::permissions(FsPath(conf),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(WriteFileAtomic(conf, "new"));
    EXPECT_EQ(test::ReadAll(conf), "new");
    EXPECT_EQ(Perms(conf), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    const auto key = dir / u"site.key";
    ASSERT_TRUE(WriteFileAtomic(key, "secret", FilePrivacy::OwnerOnly));
    EXPECT_EQ(Perms(key), fs::perms::owner_read | fs::perms::owner_write);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(FsPath(dir.path())), fs::directory_iterator()),
              2);
    EXPECT_FALSE(WriteFileAtomic(dir / u"missing/x", "y"));
}

TEST(Files, AtomicWriteFollowsSymbolicLinks) {
    test::TempDir dir;
    test::WriteAll(dir / u"real.conf", "one");
    fs::create_symlink(FsPath(dir / u"real.conf"), FsPath(dir / u"link.conf"));
    ASSERT_TRUE(WriteFileAtomic(dir / u"link.conf", "two"));
    EXPECT_TRUE(fs::is_symlink(FsPath(dir / u"link.conf")));
    EXPECT_EQ(test::ReadAll(dir / u"real.conf"), "two");
}

TEST(Files, CopyOverReadOnlyTargetAndDelete) {
    test::TempDir dir;
    test::WriteAll(dir / u"src", "content");
    test::WriteAll(dir / u"dst", "stale");
    fs::permissions(FsPath(dir / u"dst"), fs::perms::owner_read);
    ASSERT_TRUE(CopyFileSilently(dir / u"src", dir / u"dst"));
    EXPECT_EQ(test::ReadAll(dir / u"dst"), "content");
    EXPECT_FALSE(CopyFileSilently(dir / u"nothing", dir / u"dst"));
    EXPECT_TRUE(DeleteFileToRecycleBin(dir / u"dst"));
    EXPECT_FALSE(FileExists(dir / u"dst"));
    EXPECT_FALSE(DeleteFileToRecycleBin(dir / u"dst"));
}

TEST(Files, DirectoryTreeCopyAndDelete) {
    test::TempDir dir;
    ASSERT_TRUE(MakeDirectoryTree(dir / u"src/sub/deeper"));
    test::WriteAll(dir / u"src/a.txt", "a");
    test::WriteAll(dir / u"src/sub/deeper/b.txt", "b");
    fs::permissions(FsPath(dir / u"src/sub/deeper/b.txt"), fs::perms::owner_read);
    ASSERT_TRUE(CopyDirectoryTree(dir / u"src", dir / u"copy"));
    EXPECT_EQ(test::ReadAll(dir / u"copy/a.txt"), "a");
    EXPECT_EQ(test::ReadAll(dir / u"copy/sub/deeper/b.txt"), "b");
    EXPECT_FALSE(CopyDirectoryTree(dir / u"none", dir / u"copy2"));
    ASSERT_TRUE(DeleteDirectoryTree(dir / u"src"));
    EXPECT_FALSE(DirectoryExists(dir / u"src"));
    EXPECT_FALSE(DeleteDirectoryTree(dir / u"src"));
}

}  // namespace
}  // namespace qm
