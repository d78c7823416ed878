// Apache's line rules: continuation lines, whole-line comments, quoting,
// variables, and where each line stands in the text.
#include <gtest/gtest.h>

#include "deploy/apache/apachelexer.h"

namespace qm {
namespace {

TEST(ApacheLexer, JoinsContinuedLinesAndKeepsTheirPlaces) {
    const std::u16string text =
        u"  Listen 80\n"
        u"\n"
        u"ServerAlias a.test \\\n"
        u"    b.test\\\r\n"
        u"c.test\r\n"
        u"# a comment \\\n"
        u"  this line is still the comment\n"
        u"DocumentRoot /srv  # not a comment\n"
        u"LastLine";
    const auto lines = LexApacheLines(text);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(ApacheLineText(text, lines[0]), u"Listen 80");
    EXPECT_EQ(lines[0].name, u"listen");
    EXPECT_EQ(lines[0].start, 0u);
    EXPECT_EQ(lines[0].contentEnd, 11u);
    EXPECT_EQ(lines[0].end, 12u);
    EXPECT_EQ(lines[0].number, 1u);
    // The backslash and the line end go; nothing stands in their place.
    EXPECT_EQ(ApacheLineText(text, lines[1]), u"ServerAlias a.test     b.testc.test");
    EXPECT_TRUE(lines[1].continued);
    EXPECT_EQ(lines[1].words, (std::vector<std::u16string>{u"a.test", u"b.testc.test"}));
    EXPECT_EQ(lines[1].number, 5u);  // Apache counts the last physical line
    EXPECT_EQ(text.substr(lines[1].start, 11), u"ServerAlias");
    EXPECT_EQ(text.substr(lines[1].contentEnd, 2), u"\r\n");
    // A "#" starts a comment only as a line's first character.
    EXPECT_EQ(lines[2].words,
              (std::vector<std::u16string>{u"/srv", u"#", u"not", u"a", u"comment"}));
    EXPECT_EQ(lines[2].number, 8u);
    // The last line needs no line end.
    EXPECT_EQ(ApacheLineText(text, lines[3]), u"LastLine");
    EXPECT_EQ(lines[3].contentEnd, text.size());
    EXPECT_EQ(lines[3].end, text.size());
}

TEST(ApacheLexer, SectionTagsHaveTheirNameAndArguments) {
    const auto lines = LexApacheLines(
        u"<VirtualHost *:80 [::]:80>\n<IfModule ssl_module >\n</virtualHOST>\n<Files>\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].kind, ApacheLineKind::Open);
    EXPECT_EQ(lines[0].name, u"virtualhost");
    EXPECT_EQ(lines[0].words, (std::vector<std::u16string>{u"*:80", u"[::]:80"}));
    EXPECT_EQ(lines[1].words, (std::vector<std::u16string>{u"ssl_module"}));
    EXPECT_EQ(lines[2].kind, ApacheLineKind::Close);
    EXPECT_EQ(lines[2].name, u"virtualhost");
    EXPECT_EQ(lines[3].name, u"files");
    EXPECT_TRUE(lines[3].words.empty());
}

TEST(ApacheLexer, SplitsWordsAsApacheDoes) {
    EXPECT_EQ(SplitApacheWords(u"  <VirtualHost   *:80 [::]:80>  "),
              (std::vector<std::u16string>{u"<VirtualHost", u"*:80", u"[::]:80>"}));
    EXPECT_EQ(SplitApacheWords(u"DocumentRoot \"/srv/my site\" 'it''s'"),
              (std::vector<std::u16string>{u"DocumentRoot", u"/srv/my site", u"it", u"s"}));
    // Inside quotes a backslash escapes the quote or a backslash only.
    EXPECT_EQ(SplitApacheWords(u"X \"a \\\"b\\\" c\\\\d \\n\""),
              (std::vector<std::u16string>{u"X", u"a \"b\" c\\d \\n"}));
    // An unclosed quote runs to the end of the line.
    EXPECT_EQ(SplitApacheWords(u"X \"open end"), (std::vector<std::u16string>{u"X", u"open end"}));
    EXPECT_TRUE(SplitApacheWords(u"   ").empty());
}

TEST(ApacheLexer, ReplacesKnownVariablesOnly) {
    const std::u16string logDir = u"/var/log/apache2";
    const ApacheVariableLookup lookup = [&](std::u16string_view name) -> const std::u16string* {
        return name == u"APACHE_LOG_DIR" ? &logDir : nullptr;
    };
    EXPECT_EQ(ExpandApacheVariables(u"ErrorLog ${APACHE_LOG_DIR}/error.log", lookup),
              u"ErrorLog /var/log/apache2/error.log");
    EXPECT_EQ(ExpandApacheVariables(u"X ${UNKNOWN} ${unclosed", lookup),
              u"X ${UNKNOWN} ${unclosed");
    const auto lines = LexApacheLines(u"PidFile ${APACHE_PID_FILE}\nListen 80\n");
    EXPECT_TRUE(lines[0].hasVariables);
    EXPECT_FALSE(lines[1].hasVariables);
}

TEST(ApacheLexer, QuotesArguments) {
    EXPECT_EQ(QuoteApacheArgument(u"/etc/apache2/sslcert/a(1).crt"),
              u"\"/etc/apache2/sslcert/a(1).crt\"");
    EXPECT_EQ(QuoteApacheArgument(u"C:\\a \"b\""), u"\"C:\\\\a \\\"b\\\"\"");
    // What is quoted splits back to the value.
    EXPECT_EQ(SplitApacheWords(u"X " + QuoteApacheArgument(u"C:\\a \"b\""))[1], u"C:\\a \"b\"");
}

}  // namespace
}  // namespace qm
