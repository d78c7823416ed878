#include "foundation/paths.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

std::u16string Ensured(std::u16string p, PathStyle style) {
    EnsureTrailingSeparator(p, style);
    return p;
}

TEST(Paths, TrailingSeparatorWindowsStyle) {
    EXPECT_EQ(Ensured(u"C:\\nginx", PathStyle::Windows), u"C:\\nginx\\");
    EXPECT_EQ(Ensured(u"C:\\nginx\\", PathStyle::Windows), u"C:\\nginx\\");
    EXPECT_EQ(Ensured(u"C:/nginx/", PathStyle::Windows), u"C:/nginx/");
    EXPECT_EQ(Ensured(u"/", PathStyle::Windows), u"/");
    EXPECT_EQ(Ensured(u"", PathStyle::Windows), u"\\");
}

TEST(Paths, TrailingSeparatorPosixStyle) {
    EXPECT_EQ(Ensured(u"/opt/nginx", PathStyle::Posix), u"/opt/nginx/");
    EXPECT_EQ(Ensured(u"/opt/nginx/", PathStyle::Posix), u"/opt/nginx/");
    EXPECT_EQ(Ensured(u"", PathStyle::Posix), u"/");
    // A backslash is an ordinary character in POSIX names.
    EXPECT_EQ(Ensured(u"/opt/a\\", PathStyle::Posix), u"/opt/a\\/");
}

TEST(Paths, SlashConversions) {
    std::u16string p = u"C:\\a/b\\c";
    ToForwardSlashes(p);
    EXPECT_EQ(p, u"C:/a/b/c");
    ToBackslashes(p);
    EXPECT_EQ(p, u"C:\\a\\b\\c");
}

TEST(Paths, SiblingFileAndDirectoryParts) {
    EXPECT_EQ(SiblingPath(u"C:\\q\\Quillmate.exe", u"Vantrel.exe", PathStyle::Windows),
              u"C:\\q\\Vantrel.exe");
    EXPECT_EQ(SiblingPath(u"/opt/quillmate/quillmate", u"vantrel", PathStyle::Posix),
              u"/opt/quillmate/vantrel");
    EXPECT_EQ(SiblingPath(u"/quillmate", u"x", PathStyle::Posix), u"/x");
    EXPECT_EQ(SiblingPath(u"quillmate", u"x", PathStyle::Posix), u"x");
    EXPECT_EQ(FileNameOf(u"C:\\a\\b.conf", PathStyle::Windows), u"b.conf");
    EXPECT_EQ(FileNameOf(u"C:\\a\\b.conf", PathStyle::Posix), u"C:\\a\\b.conf");
    EXPECT_EQ(DirectoryOf(u"/etc/nginx/nginx.conf", PathStyle::Posix), u"/etc/nginx/");
    EXPECT_EQ(DirectoryOf(u"nginx.conf", PathStyle::Posix), u"");
}

TEST(Paths, StripExtension) {
    EXPECT_EQ(StripExtension(u"Quillmate.exe"), u"Quillmate");
    EXPECT_EQ(StripExtension(u"quillmate.tar.gz"), u"quillmate.tar");
    EXPECT_EQ(StripExtension(u".profile"), u".profile");
    EXPECT_EQ(StripExtension(u"a.b"), u"a.b");  // only dot is the second character
    EXPECT_EQ(StripExtension(u"nodot"), u"nodot");
}

TEST(Paths, AbsolutePaths) {
    EXPECT_TRUE(IsAbsolutePath(u"/srv/www", PathStyle::Posix));
    EXPECT_FALSE(IsAbsolutePath(u"html", PathStyle::Posix));
    EXPECT_TRUE(IsAbsolutePath(u"D:\\www", PathStyle::Windows));
    EXPECT_TRUE(IsAbsolutePath(u"\\\\server\\share", PathStyle::Windows));
    EXPECT_FALSE(IsAbsolutePath(u"html\\a", PathStyle::Windows));
    EXPECT_FALSE(IsAbsolutePath(u"/srv", PathStyle::Windows));
}

}  // namespace
}  // namespace qm
