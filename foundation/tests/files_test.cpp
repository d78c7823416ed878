#include "foundation/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
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
    QM_POSIX_ONLY("file modes");
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

// Sets the process umask for one test and puts the old one back.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
    ~ScopedUmask() { umask(old_); }

private:
    mode_t old_;
};

constexpr fs::perms kShared =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
constexpr fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;
constexpr fs::perms kSharedFolder = fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec;

TEST(Files, NewFilesAndFoldersHaveFixedModesWhateverTheUmask) {
    QM_POSIX_ONLY("file modes and the umask");
    for (mode_t mask : {mode_t(077), mode_t(000), mode_t(022)}) {
        SCOPED_TRACE(mask);
        test::TempDir dir;
        ScopedUmask scoped(mask);

        ASSERT_TRUE(WriteFileAtomic(dir / u"state.xml", "new"));
        EXPECT_EQ(Perms(dir / u"state.xml"), kShared);
        ASSERT_TRUE(WriteFileAtomic(dir / u"key.txt", "secret", FilePrivacy::OwnerOnly));
        EXPECT_EQ(Perms(dir / u"key.txt"), kPrivate);
        ASSERT_TRUE(WriteFileAtomic(dir / u"shared.xml", "x", FilePrivacy::ReadableByAll));
        EXPECT_EQ(Perms(dir / u"shared.xml"), kShared);

        ASSERT_TRUE(MakeDirectoryTree(dir / u"a/b/c"));
        for (const char16_t* folder : {u"a", u"a/b", u"a/b/c"})
            EXPECT_EQ(Perms(dir / folder), kSharedFolder) << Utf8FromWide(folder);
        ASSERT_TRUE(MakeDirectoryTree(dir / u"Config/Key/", FilePrivacy::OwnerOnly));
        EXPECT_EQ(Perms(dir / u"Config"), kSharedFolder);
        EXPECT_EQ(Perms(dir / u"Config/Key"), fs::perms::owner_all);

        // A copied tree's folders too.
        test::WriteAll(dir / u"a/b/c/f", "f");
        ASSERT_TRUE(CopyDirectoryTree(dir / u"a", dir / u"copy/of/a"));
        for (const char16_t* folder : {u"copy", u"copy/of", u"copy/of/a/b/c"})
            EXPECT_EQ(Perms(dir / folder), kSharedFolder) << Utf8FromWide(folder);
    }
}

TEST(Files, FixedModesReplaceTheModeOfAnExistingFileOrFolder) {
    QM_POSIX_ONLY("file modes");
    test::TempDir dir;
    const auto file = dir / u"Vantrel.xml";
    test::WriteAll(file, "old");
    fs::permissions(FsPath(file), fs::perms::all);
    ASSERT_TRUE(WriteFileAtomic(file, "with a password", FilePrivacy::OwnerOnly));
    EXPECT_EQ(Perms(file), kPrivate);
    ASSERT_TRUE(WriteFileAtomic(file, "without", FilePrivacy::ReadableByAll));
    EXPECT_EQ(Perms(file), kShared);
    // Normal keeps what is there.
    fs::permissions(FsPath(file), kPrivate);
    ASSERT_TRUE(WriteFileAtomic(file, "again"));
    EXPECT_EQ(Perms(file), kPrivate);

    // An existing folder that is to hold secrets becomes owner-only; others
    // stay as they are.
    ASSERT_TRUE(MakeDirectoryTree(dir / u"Config/Key"));
    fs::permissions(FsPath(dir / u"Config"), fs::perms::all);
    ASSERT_TRUE(MakeDirectoryTree(dir / u"Config/Key", FilePrivacy::OwnerOnly));
    EXPECT_EQ(Perms(dir / u"Config/Key"), fs::perms::owner_all);
    EXPECT_EQ(Perms(dir / u"Config"), fs::perms::all);
}

TEST(Files, AtomicWriteFollowsSymbolicLinks) {
    test::TempDir dir;
    QM_NEEDS_SYMBOLIC_LINKS(FsPath(dir.path()));
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
