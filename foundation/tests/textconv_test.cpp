#include "foundation/textconv.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(CodePage936, ChineseRoundTrip) {
    const std::u16string zh =
        u"\u4e00\u952e\u90e8\u7f72 HTTPS \u8bc1\u4e66";  // 一键部署 HTTPS 证书
    const std::string narrow = NarrowFromWide(zh);
    EXPECT_EQ(narrow.size(), 4 * 2 + 7 + 2 * 2);
    EXPECT_EQ(WideFromNarrow(narrow), zh);
    EXPECT_EQ(NarrowFromWide(u"\u4e2d\u6587"), "\xd6\xd0\xce\xc4");
    EXPECT_EQ(WideFromNarrow("\xd6\xd0\xce\xc4"), u"\u4e2d\u6587");
}

TEST(CodePage936, UnrepresentableCharactersAreLostAsQuestionMarks) {
    EXPECT_EQ(NarrowFromWide(u"a\u0e01b"), "a?b");  // Thai is not in the code page
    EXPECT_EQ(WideFromNarrow("a\xff"
                             "b"),
              u"a?b");                                 // 0xff starts no sequence
    EXPECT_EQ(NarrowFromWide(u"succeed"), "succeed");  // ASCII passes unchanged
}

TEST(Utf8, RoundTripIncludingSurrogatePairs) {
    const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
    const std::string utf8 = Utf8FromWide(text);
    EXPECT_EQ(utf8, "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
    EXPECT_EQ(WideFromUtf8(utf8), text);
}

TEST(Utf8, InvalidInputIsReplacedNotDropped) {
    EXPECT_EQ(WideFromUtf8("a\xc3"), u"a\ufffd");      // cut off
    EXPECT_EQ(WideFromUtf8("\xe4\xb8z"), u"\ufffdz");  // continuation missing
    EXPECT_EQ(WideFromUtf8("\xc0\xaf"), u"\ufffd");    // overlong
    EXPECT_EQ(Utf8FromWide(u"x\xd800y"), "x?y");       // lone surrogate
}

TEST(Ascii, CaseHelpers) {
    EXPECT_EQ(ToLowerAscii(u"WWW.Example.COM"), u"www.example.com");
    EXPECT_TRUE(EqualsIgnoreCaseAscii(u"RequestDeferCert", u"requestdefercert"));
    EXPECT_FALSE(EqualsIgnoreCaseAscii(u"abc", u"abd"));
}

}  // namespace
}  // namespace qm
