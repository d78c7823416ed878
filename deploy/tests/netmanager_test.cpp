#include "deploy/netmanager.h"

#include <gtest/gtest.h>

#include "deploy/tests/test_deployer.h"
#include "foundation/runlog.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

TEST(NetManager, FormatCheck) {
    std::u16string addr = u" shop. example .test ";
    EXPECT_TRUE(CNetManager::CheckSiteAddrFormat(addr));
    EXPECT_EQ(addr, u"shop.example.test");  // blanks removed in place
    for (std::u16string bad :
         {u"", u"  \t ", u"localhost", u"*.example.test", u"a~b.test", u"a."}) {
        EXPECT_FALSE(CNetManager::CheckSiteAddrFormat(bad)) << bad.size();
    }
    std::u16string three = u"a.b";
    EXPECT_TRUE(CNetManager::CheckSiteAddrFormat(three));
    std::u16string ip = u"10.0.0.1";
    EXPECT_TRUE(CNetManager::CheckSiteAddrFormat(ip));
}

TEST(NetManager, ResolutionTakesTheLastAddressListed) {
    test::FixedResolver resolver({{"multi.example.test", {"10.0.0.1", "10.0.0.2"}},
                                  {"other.example.test", {"10.0.0.2", "10.0.0.1"}},
                                  {"localhost", {"127.0.0.1"}},
                                  {"shop.example.test", {"127.0.0.1"}}});
    EXPECT_EQ(CNetManager::GetSiteAddrIP(u"multi.example.test"), u"10.0.0.2");
    EXPECT_EQ(CNetManager::GetSiteAddrIP(u"nowhere.example.test"), u"");
    // The same host listed in another order counts as another address.
    EXPECT_FALSE(CNetManager::IsSiteAddrHaveSameIP(u"multi.example.test", u"other.example.test"));
    // localhost is no valid site address, but resolves like any name.
    EXPECT_FALSE(CNetManager::IsValidSiteAddr(u"localhost"));
    EXPECT_TRUE(CNetManager::IsSiteAddrHaveSameIP(u"localhost", u"shop.example.test"));
    EXPECT_TRUE(CNetManager::IsValidSiteAddr(u" shop.example .test"));
    EXPECT_FALSE(CNetManager::IsValidSiteAddr(u"nowhere.example.test"));
}

TEST(NetManager, UnresolvableNamesAreNotTheSameMachine) {
    test::FixedResolver resolver(
        std::map<std::string, std::vector<std::string>>{{"a.example.test", {"10.1.1.1"}}});
    const auto logPath = CurrentLogFilePath();
    const auto before = test::ReadAll(logPath).size();
    EXPECT_FALSE(CNetManager::IsSiteAddrHaveSameIP(u"x.example.test", u"y.example.test"));
    std::string written = test::ReadAll(logPath).substr(before);
    // A name that does not resolve is an expected answer, not an error.
    EXPECT_EQ(written.find("[Error]"), std::string::npos) << written;
    EXPECT_NE(written.find("CNetManager::IsSiteAddrHaveSameIP, not resolved:  vs "),
              std::string::npos);
    EXPECT_EQ(written.find("[Warn]"), std::string::npos);  // both empty: no Warn line

    const auto middle = test::ReadAll(logPath).size();
    EXPECT_FALSE(CNetManager::IsSiteAddrHaveSameIP(u"a.example.test", u"y.example.test"));
    written = test::ReadAll(logPath).substr(middle);
    EXPECT_NE(written.find("not resolved: 10.1.1.1 vs "), std::string::npos);
    EXPECT_EQ(written.find("[Error]"), std::string::npos) << written;
    EXPECT_NE(written.find("[Warn] CNetManager::IsSiteAddrHaveSameIP, 10.1.1.1 != "),
              std::string::npos);
}

TEST(NetManager, SystemResolverKnowsLoopbackLiterals) {
    EXPECT_EQ(CNetManager::GetSiteAddrIP(u"127.0.0.1"), u"127.0.0.1");
    EXPECT_TRUE(CNetManager::IsValidSiteAddr(u"127.0.0.1"));
}

TEST(NetManager, WhitespaceOfEveryKindLeavesTypedNames) {
    // Blanks, tabs, line ends, and the no-break and ideographic spaces an
    // input method types.
    EXPECT_EQ(RemoveWhitespace(u" shop.\u3000example.test\u00A0\t\r\n"), u"shop.example.test");
    EXPECT_EQ(RemoveWhitespace(u"\u2002a.b\u202F\uFEFF"), u"a.b");
    std::u16string typed = u"\u3000www.shop.example.test\u3000";
    EXPECT_TRUE(CNetManager::CheckSiteAddrFormat(typed));
    EXPECT_EQ(typed, u"www.shop.example.test");
    // Other characters stay.
    EXPECT_EQ(RemoveWhitespace(u"b\u00FCcher.example"), u"b\u00FCcher.example");
}

}  // namespace
}  // namespace qm
