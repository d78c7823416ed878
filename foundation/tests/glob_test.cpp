// File-name patterns: one component against one name, and whole patterns
// expanded over a real folder tree, compared with what glob(3) gives.
#include "foundation/glob.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "tests/support/platform_skip.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

// Test files are written plainly: the atomic, synced writer is needlessly
// slow for dozens of throwaway files.
void WriteText(const std::u16string& path, std::string_view text) {
    test::WritePlain(path, text);
}

TEST(GlobWildcard, StarQuestionMarkAndBracketCount) {
    EXPECT_TRUE(HasGlobWildcard(u"conf.d/*.conf"));
    EXPECT_TRUE(HasGlobWildcard(u"site?.conf"));
    EXPECT_TRUE(HasGlobWildcard(u"site[12].conf"));
    EXPECT_FALSE(HasGlobWildcard(u"sites/default"));
    EXPECT_FALSE(HasGlobWildcard(u""));
    // A "]" alone opens nothing.
    EXPECT_FALSE(HasGlobWildcard(u"a]b"));
}

TEST(GlobMatch, StarMatchesAnyRunIncludingNone) {
    EXPECT_TRUE(GlobMatch(u"*", u"abc"));
    EXPECT_TRUE(GlobMatch(u"*", u""));
    EXPECT_TRUE(GlobMatch(u"*.conf", u"a.conf"));
    EXPECT_FALSE(GlobMatch(u"*.conf", u".conf.conf"));  // a leading dot
    EXPECT_TRUE(GlobMatch(u"*.conf", u"a.b.conf"));
    EXPECT_FALSE(GlobMatch(u"*.conf", u"a.conf.bak"));
    EXPECT_FALSE(GlobMatch(u"*.conf", u"a.con"));
    EXPECT_TRUE(GlobMatch(u"a*b*c", u"aXXbYYc"));
    EXPECT_TRUE(GlobMatch(u"a*b*c", u"abc"));
    EXPECT_FALSE(GlobMatch(u"a*b*c", u"abcd"));
    EXPECT_TRUE(GlobMatch(u"a**c", u"abbc"));
    // Backtracking: the first "b" is not the one that must match.
    EXPECT_TRUE(GlobMatch(u"*b.conf", u"bbb.conf"));
    EXPECT_TRUE(GlobMatch(u"*ab", u"aab"));
}

TEST(GlobMatch, QuestionMarkMatchesExactlyOne) {
    EXPECT_TRUE(GlobMatch(u"a?c", u"abc"));
    EXPECT_FALSE(GlobMatch(u"a?c", u"ac"));
    EXPECT_FALSE(GlobMatch(u"a?c", u"abbc"));
    EXPECT_TRUE(GlobMatch(u"???", u"xyz"));
    EXPECT_FALSE(GlobMatch(u"???", u"xy"));
    EXPECT_FALSE(GlobMatch(u"?", u""));
}

TEST(GlobMatch, Classes) {
    EXPECT_TRUE(GlobMatch(u"[a-z]", u"q"));
    EXPECT_TRUE(GlobMatch(u"[a-z]", u"a"));
    EXPECT_TRUE(GlobMatch(u"[a-z]", u"z"));
    EXPECT_FALSE(GlobMatch(u"[a-z]", u"Q"));
    EXPECT_FALSE(GlobMatch(u"[a-z]", u"ab"));
    EXPECT_TRUE(GlobMatch(u"site[0-9][0-9].conf", u"site42.conf"));
    EXPECT_FALSE(GlobMatch(u"site[0-9][0-9].conf", u"site4x.conf"));
    EXPECT_TRUE(GlobMatch(u"[abc]", u"b"));
    EXPECT_FALSE(GlobMatch(u"[abc]", u"d"));
    // Negation with "!" and with "^".
    EXPECT_TRUE(GlobMatch(u"[!x]", u"y"));
    EXPECT_FALSE(GlobMatch(u"[!x]", u"x"));
    EXPECT_TRUE(GlobMatch(u"[^x]", u"y"));
    EXPECT_FALSE(GlobMatch(u"[^x]", u"x"));
    EXPECT_FALSE(GlobMatch(u"[!a-c]", u"b"));
    EXPECT_TRUE(GlobMatch(u"[!a-c]", u"d"));
    // A "]" first in the class (also after the negation) is a member.
    EXPECT_TRUE(GlobMatch(u"[]a]", u"]"));
    EXPECT_TRUE(GlobMatch(u"[]a]", u"a"));
    EXPECT_FALSE(GlobMatch(u"[]a]", u"b"));
    EXPECT_TRUE(GlobMatch(u"[!]a]", u"b"));
    EXPECT_FALSE(GlobMatch(u"[!]a]", u"]"));
    EXPECT_TRUE(GlobMatch(u"[]-a]", u"^"));  // the range "]".."a"
    // A "-" first or last is a member, not a range.
    EXPECT_TRUE(GlobMatch(u"[a-]", u"-"));
    EXPECT_TRUE(GlobMatch(u"[-a]", u"-"));
    EXPECT_FALSE(GlobMatch(u"[a-]", u"b"));
    // A "[" that never closes is a plain character.
    EXPECT_TRUE(GlobMatch(u"a[b", u"a[b"));
    EXPECT_FALSE(GlobMatch(u"a[b", u"ab"));
    // The class matches one character of the name, no more.
    EXPECT_TRUE(GlobMatch(u"[ab]*", u"bcd"));
    EXPECT_FALSE(GlobMatch(u"x[ab]", u"x"));
}

TEST(GlobMatch, BackslashQuotesTheNextCharacter) {
    EXPECT_TRUE(GlobMatch(u"\\*", u"*"));
    EXPECT_FALSE(GlobMatch(u"\\*", u"a"));
    EXPECT_TRUE(GlobMatch(u"a\\?", u"a?"));
    EXPECT_FALSE(GlobMatch(u"a\\?", u"ab"));
    EXPECT_TRUE(GlobMatch(u"\\[a]", u"[a]"));
    EXPECT_FALSE(GlobMatch(u"\\[a]", u"a"));
    EXPECT_TRUE(GlobMatch(u"\\a\\b", u"ab"));
    // Inside a class too.
    EXPECT_TRUE(GlobMatch(u"[\\]]", u"]"));
    EXPECT_TRUE(GlobMatch(u"[a\\-z]", u"-"));
    EXPECT_FALSE(GlobMatch(u"[a\\-z]", u"m"));
}

TEST(GlobMatch, LeadingDotOnlyMatchedByADotWrittenOut) {
    EXPECT_FALSE(GlobMatch(u"*", u".hidden"));
    EXPECT_FALSE(GlobMatch(u"?hidden", u".hidden"));
    EXPECT_FALSE(GlobMatch(u"[.]hidden", u".hidden"));
    EXPECT_FALSE(GlobMatch(u"*.conf", u".site.conf"));
    EXPECT_TRUE(GlobMatch(u".*", u".hidden"));
    EXPECT_TRUE(GlobMatch(u".h*", u".hidden"));
    EXPECT_TRUE(GlobMatch(u".hidden", u".hidden"));
    // A dot later in the name is an ordinary character.
    EXPECT_TRUE(GlobMatch(u"*", u"a.b"));
    EXPECT_TRUE(GlobMatch(u"a?b", u"a.b"));
    EXPECT_TRUE(GlobMatch(u"a[.]b", u"a.b"));
}

TEST(GlobMatch, QuotedLeadingDotMatchesAHiddenName) {
    EXPECT_TRUE(GlobMatch(u"\\.h*", u".hidden"));
    EXPECT_TRUE(GlobMatch(u"\\.*", u".hidden"));
}

// A tree of files and folders under a fresh temporary folder.
class GlobTree : public ::testing::Test {
protected:
    void Put(std::u16string_view relative) {
        const std::u16string path = dir_ / relative;
        ASSERT_TRUE(MakeDirectoryTree(DirectoryOf(path)));
        WriteText(path, "x\n");
    }
    void Folder(std::u16string_view relative) { ASSERT_TRUE(MakeDirectoryTree(dir_ / relative)); }
    std::vector<std::u16string> Expand(std::u16string_view pattern) {
        std::vector<std::u16string> out;
        for (const std::u16string& path : ExpandGlob(dir_.path() + std::u16string(pattern))) {
            EXPECT_EQ(path.rfind(dir_.path(), 0), 0u) << Utf8FromWide(path);
            std::u16string relative = path.substr(dir_.path().size());
            ToForwardSlashes(relative);  // the expectations are written with "/"
            out.push_back(relative);
        }
        return out;
    }

    test::TempDir dir_;
};

using Paths = std::vector<std::u16string>;

TEST_F(GlobTree, LastComponentSortedInCodeUnitOrder) {
    QM_POSIX_ONLY("names differing only in case are one file on Windows");
    for (const char16_t* name : {u"conf.d/b.conf", u"conf.d/a.conf", u"conf.d/B.conf",
                                 u"conf.d/_.conf", u"conf.d/a.conf.bak", u"conf.d/.hidden.conf",
                                 u"conf.d/z.txt", u"conf.d/10.conf", u"conf.d/9.conf"})
        Put(name);
    EXPECT_EQ(Expand(u"conf.d/*.conf"),
              (Paths{u"conf.d/10.conf", u"conf.d/9.conf", u"conf.d/B.conf", u"conf.d/_.conf",
                     u"conf.d/a.conf", u"conf.d/b.conf"}));
    EXPECT_EQ(Expand(u"conf.d/?.conf"), (Paths{u"conf.d/9.conf", u"conf.d/B.conf", u"conf.d/_.conf",
                                               u"conf.d/a.conf", u"conf.d/b.conf"}));
    EXPECT_EQ(Expand(u"conf.d/[a-z].conf"), (Paths{u"conf.d/a.conf", u"conf.d/b.conf"}));
    EXPECT_EQ(Expand(u"conf.d/[!a-z].conf"),
              (Paths{u"conf.d/9.conf", u"conf.d/B.conf", u"conf.d/_.conf"}));
}

TEST_F(GlobTree, HiddenEntriesOnlyWithADotWrittenOut) {
    Put(u"d/.hidden");
    Put(u"d/.h2");
    Put(u"d/shown");
    Put(u"d/.cfg/site.conf");
    Put(u"d/cfg/site.conf");
    EXPECT_EQ(Expand(u"d/*"), (Paths{u"d/cfg", u"d/shown"}));
    EXPECT_EQ(Expand(u"d/.[ch]*"), (Paths{u"d/.cfg", u"d/.h2", u"d/.hidden"}));
    EXPECT_EQ(Expand(u"d/.h*"), (Paths{u"d/.h2", u"d/.hidden"}));
    // A wildcard folder component skips hidden folders as well.
    EXPECT_EQ(Expand(u"d/*/site.conf"), (Paths{u"d/cfg/site.conf"}));
    EXPECT_EQ(Expand(u"d/.*/site.conf"), (Paths{u"d/.cfg/site.conf"}));
}

TEST_F(GlobTree, WildcardsInAMiddleComponent) {
    Put(u"sites/a/site.conf");
    Put(u"sites/b/site.conf");
    Put(u"sites/b/other.conf");
    Put(u"sites/c/nothing.txt");
    Put(u"sites/plain-file");  // a file where a folder is wanted
    Folder(u"sites/empty");
    EXPECT_EQ(Expand(u"sites/*/site.conf"), (Paths{u"sites/a/site.conf", u"sites/b/site.conf"}));
    EXPECT_EQ(Expand(u"sites/*/*.conf"),
              (Paths{u"sites/a/site.conf", u"sites/b/other.conf", u"sites/b/site.conf"}));
    EXPECT_EQ(Expand(u"s*/[ab]/s*"), (Paths{u"sites/a/site.conf", u"sites/b/site.conf"}));
    // Two wildcard components in a row.
    EXPECT_EQ(Expand(u"*/*/other.conf"), (Paths{u"sites/b/other.conf"}));
    EXPECT_TRUE(Expand(u"sites/*/missing.conf").empty());
}

TEST_F(GlobTree, WholePathsAreSortedNotEachFolderOnItsOwn) {
    QM_POSIX_ONLY("names differing only in case are one file on Windows");
    // glob(3) sorts the complete paths: "a-1/" comes before "a/" because
    // "-" (0x2d) sorts before "/" (0x2f).
    Put(u"d/a/x.conf");
    Put(u"d/a-1/x.conf");
    Put(u"d/A/x.conf");
    EXPECT_EQ(Expand(u"d/*/x.conf"), (Paths{u"d/A/x.conf", u"d/a-1/x.conf", u"d/a/x.conf"}));
}

TEST_F(GlobTree, FoldersMatchTheLastComponentToo) {
    Put(u"conf.d/site.conf");
    Folder(u"conf.d/sub.conf");
    EXPECT_EQ(Expand(u"conf.d/*.conf"), (Paths{u"conf.d/site.conf", u"conf.d/sub.conf"}));
    // A trailing separator keeps folders only.
    EXPECT_EQ(Expand(u"conf.d/*/"), (Paths{u"conf.d/sub.conf/"}));
}

TEST_F(GlobTree, NothingMatchingIsAnEmptyList) {
    Folder(u"empty");
    EXPECT_TRUE(Expand(u"empty/*.conf").empty());
    EXPECT_TRUE(Expand(u"missing/*.conf").empty());
    EXPECT_TRUE(Expand(u"missing/*/x.conf").empty());
    EXPECT_TRUE(ExpandGlob(u"").empty());
}

TEST_F(GlobTree, PatternWithoutWildcards) {
    Put(u"plain.conf");
    Folder(u"folder");
    EXPECT_EQ(Expand(u"plain.conf"), (Paths{u"plain.conf"}));
    EXPECT_EQ(Expand(u"folder"), (Paths{u"folder"}));
    EXPECT_TRUE(Expand(u"absent.conf").empty());
}

TEST_F(GlobTree, QuotedWildcardsAreLiteral) {
    QM_POSIX_ONLY("Windows file names cannot hold \"*\" or \"?\", and \"\\\" separates there");
    Put(u"d/a*b");
    Put(u"d/axb");
    Put(u"d/q?/site.conf");
    Put(u"d/qq/site.conf");
    EXPECT_EQ(Expand(u"d/a\\*b"), (Paths{u"d/a*b"}));
    EXPECT_EQ(Expand(u"d/a*b"), (Paths{u"d/a*b", u"d/axb"}));
    // A folder component with a quoted "?" only names that folder.
    EXPECT_EQ(Expand(u"d/q\\?/*.conf"), (Paths{u"d/q?/site.conf"}));
}

TEST_F(GlobTree, NonAsciiNamesMatchAndSortByCodeUnits) {
    Put(u"d/\u00e9t\u00e9.conf");
    Put(u"d/zeta.conf");
    Put(u"d/\u00e0.conf");
    EXPECT_EQ(Expand(u"d/*.conf"),
              (Paths{u"d/zeta.conf", u"d/\u00e0.conf", u"d/\u00e9t\u00e9.conf"}));
    EXPECT_EQ(Expand(u"d/\u00e9*.conf"), (Paths{u"d/\u00e9t\u00e9.conf"}));
}

}  // namespace
}  // namespace qm
