#include "foundation/format.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(Format, NarrowAndWideConversions) {
    EXPECT_EQ(FormatNarrow("%s=%d, %u%%", "port", -80, 443u), "port=-80, 443%");
    EXPECT_EQ(FormatWide(u"%s : %s", u"CGuiWnd::OnExe", u"undefined"),
              u"CGuiWnd::OnExe : undefined");
    EXPECT_EQ(FormatNarrow("%04d-%02d|%-4s|%4s|%x|%X", 7, 3, "ab", "cd", 255, 255),
              "0007-03|ab  |  cd|ff|FF");
    EXPECT_EQ(FormatNarrow("%.3s|%c|%lld|%zu", "abcdef", 'z', 1LL << 40, size_t{5}),
              "abc|z|1099511627776|5");
}

TEST(Format, TextsCrossBetweenNarrowAndWide) {
    // A wide argument in a narrow format (and back) is converted, not misread.
    EXPECT_EQ(FormatNarrow("%s", u"wide"), "wide");
    EXPECT_EQ(FormatWide(u"%s", "narrow"), u"narrow");
    EXPECT_EQ(FormatWide(u"%s", u"\u4e2d\u6587"), u"\u4e2d\u6587");
}

TEST(Format, ArgumentTextIsNeverReinterpreted) {
    EXPECT_EQ(FormatNarrow("%s", "100% %s %d"), "100% %s %d");
    EXPECT_EQ(FormatWide(u"%s", u"50%"), u"50%");
}

TEST(Format, MissingAndSurplusArguments) {
    EXPECT_EQ(FormatNarrow("a%sb%dc"), "abc");
    EXPECT_EQ(FormatNarrow("x", 1, 2), "x");
    EXPECT_EQ(FormatNarrow("trailing %"), "trailing %");
}

}  // namespace
}  // namespace qm
