#include "foundation/regex.h"

#include <gtest/gtest.h>

#include "foundation/results.h"

namespace qm {
namespace {

TEST(Regex, CaretMatchesAfterLineFeedOnly) {
    const Regex re(u"^listen");
    const std::u16string text = u"a\rlisten\r\nlisten x\nlisten";
    const auto all = re.SearchAll(text);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].position(), text.find(u"listen x"));
    EXPECT_EQ(all[1].position(), text.rfind(u"listen"));
}

TEST(Regex, DotMatchesNeitherCarriageReturnNorLineFeed) {
    const Regex re(u"a.b");
    EXPECT_FALSE(re.Search(u"a\rb").has_value());
    EXPECT_FALSE(re.Search(u"a\nb").has_value());
    EXPECT_TRUE(re.Search(u"a-b").has_value());
    // Inside a class, and escaped, "." keeps its literal meaning.
    EXPECT_TRUE(Regex(u"[.]x").Search(u".x").has_value());
    EXPECT_FALSE(Regex(u"[.]x").Search(u"ax").has_value());
    EXPECT_FALSE(Regex(u"a\\.b").Search(u"a-b").has_value());
    // ".*" stops before the carriage return of a CR LF line end.
    const auto m = Regex(u"server_name.*").Search(u"server_name a b;\r\nroot");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->str(u"server_name a b;\r\nroot"), u"server_name a b;");
}

TEST(Regex, SearchFromAPositionTreatsItAsStart) {
    const Regex re(u"^\\s*ssl");
    const std::u16string text = u"xx  ssl on;";
    EXPECT_FALSE(re.Search(text).has_value());
    const auto m = re.Search(text, 2);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->position(), 2u);
    EXPECT_EQ(m->length(), 5u);
    EXPECT_FALSE(re.Search(text, 100).has_value());
}

TEST(Regex, GroupsAndLeftmostMatch) {
    const Regex re(u"listen\\s+(\\d+)(\\s+ssl)?");
    const std::u16string text = u"listen 80;\nlisten 443 ssl;";
    const auto all = re.SearchAll(text);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].str(text, 1), u"80");
    EXPECT_FALSE(all[0].matched(2));
    EXPECT_EQ(all[1].str(text, 1), u"443");
    EXPECT_EQ(all[1].str(text, 2), u" ssl");
}

TEST(Regex, ReplaceFirstAndAllWithReferences) {
    const Regex re(u"(\\w+)=(\\w+)");
    EXPECT_EQ(re.ReplaceFirst(u"a=1 b=2", u"$2=$1"), u"1=a b=2");
    EXPECT_EQ(re.ReplaceAll(u"a=1 b=2", u"[$&]"), u"[a=1] [b=2]");
    EXPECT_EQ(re.ReplaceAll(u"a=1", u"$$1 $3 $"), u"$1 $3 $");
    EXPECT_EQ(Regex(u"\\s*").ReplaceAll(u" www. example .com ", u""), u"www.example.com");
    EXPECT_EQ(Regex(u"x*").ReplaceAll(u"abc", u"-"), u"-a-b-c-");
    EXPECT_EQ(Regex(u"b").ReplaceAll(u"abc", u"<$`|$'>"), u"a<a|c>c");
    EXPECT_EQ(re.ReplaceAll(u"none here", u"x"), u"none here");
}

TEST(Regex, IgnoreCaseAndFullMatch) {
    EXPECT_TRUE(Regex(u"virtualhost", Regex::kIgnoreCase).Search(u"<VirtualHost *:80>"));
    EXPECT_FALSE(Regex(u"virtualhost").Search(u"<VirtualHost *:80>"));
    const Regex domain(u"[a-z0-9.-]+");
    EXPECT_TRUE(domain.FullMatch(u"shop.example.test"));
    EXPECT_FALSE(domain.FullMatch(u"shop example"));
}

TEST(Regex, NonAsciiTextAndLongInput) {
    const std::u16string text = u"server_name \u4e2d\u6587.example;";
    const auto m = Regex(u"server_name\\s+([^;]+);").Search(text);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->str(text, 1), u"\u4e2d\u6587.example");
    // A long single line must not exhaust the stack.
    const std::u16string longLine = u"a" + std::u16string(2'000'000, u'x') + u";";
    const auto far = Regex(u"a.*;").Search(longLine);
    ASSERT_TRUE(far);
    EXPECT_EQ(far->length(), longLine.size());
}

TEST(Regex, BadPatternIsAProgramFault) {
    try {
        Regex bad(u"(unclosed");
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), result::kUndefined);
    }
}

}  // namespace
}  // namespace qm
