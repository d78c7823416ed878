#include <gtest/gtest.h>

#include "deploy/sslcertsrvsubbase.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/lineends.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using Sub = SslCertSrvSubBase;

TEST(TextFile, AnyEncodingAndLineEndSurvivesARoundTrip) {
    test::TempDir dir;
    const std::string bytes =
        "# caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87\r\n"  // UTF-8
        "server_name \xd6\xd0\xce\xc4;\r\n"           // code page 936
        "root html;\n"                                // a bare LF
        "\x1a trailing\xff";
    test::WriteAll(dir / u"in.conf", bytes);
    const std::u16string text = Sub::ReadTextFile(dir / u"in.conf");
#ifdef _WIN32
    // Text mode: CR LF is read as LF, Ctrl-Z ends the text, LF is written as CR LF.
    const std::string kept = WithoutCrLf(bytes.substr(0, bytes.find('\x1a')));
    EXPECT_EQ(text.size(), kept.size());  // one character per byte
    ASSERT_TRUE(Sub::WriteTextFile(text, dir / u"out.conf"));
    EXPECT_EQ(test::ReadAll(dir / u"out.conf"), WithCrLf(kept));
#else
    EXPECT_EQ(text.size(), bytes.size());  // one character per byte
    ASSERT_TRUE(Sub::WriteTextFile(text, dir / u"out.conf"));
    EXPECT_EQ(test::ReadAll(dir / u"out.conf"), bytes);
#endif
}

TEST(TextFile, MissingFileReadsEmptyAndWideCharactersBecomeUtf8) {
    test::TempDir dir;
    EXPECT_EQ(Sub::ReadTextFile(dir / u"none.conf"), u"");
    ASSERT_TRUE(Sub::WriteTextFile(u"server_name \u4e2d.test;\n", dir / u"w.conf"));
    EXPECT_EQ(test::ReadAll(dir / u"w.conf"), HostTextBytes("server_name \xe4\xb8\xad.test;\n"));
    EXPECT_FALSE(Sub::WriteTextFile(u"x", dir / u"no/such/dir.conf"));
}

TEST(AddOrReplaceDirective, ExistingDirectiveFirstOnlyOrAll) {
    const std::u16string text = u"SSLProtocol all\nListen 80\n  SSLProtocol TLSv1\n";
    std::u16string all = text;
    Sub::AddOrReplaceDirective(all, false, u"^\\s*Listen.*", u"^\\s*SSLProtocol.*",
                               u"SSLProtocol -all +TLSv1.2");
    EXPECT_EQ(all, u"SSLProtocol -all +TLSv1.2\nListen 80\nSSLProtocol -all +TLSv1.2\n");
    std::u16string first = text;
    Sub::AddOrReplaceDirective(first, true, u"^\\s*Listen.*", u"^\\s*SSLProtocol.*",
                               u"SSLProtocol -all +TLSv1.2");
    EXPECT_EQ(first, u"SSLProtocol -all +TLSv1.2\nListen 80\n  SSLProtocol TLSv1\n");
}

TEST(AddOrReplaceDirective, CommentedDirectiveCountsAsAbsent) {
    std::u16string text = u"Listen 80\n  Listen 443\n#Listen 8443\n#SSLEngine on\nEnd\n";
    Sub::AddOrReplaceDirective(text, true, u"^\\s*Listen.*", u"^\\s*SSLEngine.*", u"SSLEngine on");
    // Inserted after the last uncommented anchor line, without indentation.
    EXPECT_EQ(text, u"Listen 80\n  Listen 443\nSSLEngine on\n#Listen 8443\n#SSLEngine on\nEnd\n");
}

TEST(AddOrReplaceDirective, IdenticalAnchorLinesGetTheTextAfterEach) {
    std::u16string text = u"<A>\nInclude x.conf\n</A>\n<B>\nInclude x.conf\n</B>\n";
    Sub::AddOrReplaceDirective(text, false, u"^\\s*Include.*", u"^\\s*SSLEngine.*",
                               u"SSLEngine on");
    EXPECT_EQ(
        text,
        u"<A>\nInclude x.conf\nSSLEngine on\n</A>\n<B>\nInclude x.conf\nSSLEngine on\n</B>\n");
}

TEST(AddOrReplaceDirective, NoAnchorInsertsAtTheStart) {
    std::u16string text = u"\n  ServerName a.test\n";
    Sub::AddOrReplaceDirective(text, true, u"^\\s*Listen.*", u"^\\s*SSLEngine.*", u"SSLEngine on");
    EXPECT_EQ(text, u"\nSSLEngine onServerName a.test\n");
}

TEST(AddOrReplaceDirective, AnchorLineIsMatchedLiterally) {
    // "$", "(" and "." in the anchor line mean nothing special.
    std::u16string text = u"set $x (a.b);\nset $x (aXb);\n";
    Sub::AddOrReplaceDirective(text, false, u"^\\s*set \\$x \\(a\\.b\\).*", u"^\\s*absent.*",
                               u"added;");
    EXPECT_EQ(text, u"set $x (a.b);\nadded;\nset $x (aXb);\n");
}

TEST(Aliases, LookUpsAndSortedUniqueLists) {
    test::TestDeployer d;
    d.AddAlias(u"www.shop.test", u"shop.test");
    d.AddAlias(u"m.shop.test", u"shop.test");
    d.AddAlias(u"www.blog.test", u"blog.test");
    EXPECT_EQ(d.ResolveAlias(u"www.shop.test"), u"shop.test");
    EXPECT_EQ(d.ResolveAlias(u"shop.test"), u"shop.test");
    EXPECT_TRUE(d.IsAlias(u"m.shop.test"));
    EXPECT_FALSE(d.IsAlias(u"shop.test"));
    std::vector<std::u16string> list{u"z.test", u"m.shop.test"};
    d.GetAliasesOf(list, u"shop.test");
    EXPECT_EQ(list, (std::vector<std::u16string>{u"m.shop.test", u"www.shop.test", u"z.test"}));
    std::vector<std::u16string> none{u"b", u"a", u"a"};
    d.GetAliasesOf(none, u"nobody.test");
    EXPECT_EQ(none, (std::vector<std::u16string>{u"a", u"b"}));
}

}  // namespace
}  // namespace qm
