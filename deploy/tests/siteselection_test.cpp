#include <gtest/gtest.h>

#include "deploy/tests/test_deployer.h"
#include "foundation/results.h"

namespace qm {
namespace {

using test::FixedResolver;
using test::TestDeployer;

SiteInfo Site(std::u16string addr, std::u16string dir, int port, bool https = false,
              std::u16string ip = u"") {
    return SiteInfo{std::move(addr), std::move(dir), port, https, std::move(ip)};
}

// Runs the selection; returns the result text ("succeed" when it passed).
std::u16string Select(TestDeployer& d, std::vector<std::u16string> domains) {
    d.SetInputDomains(std::move(domains));
    try {
        d.ConstructSelSiteInfo();
        return u"succeed";
    } catch (const std::exception& e) {
        return ResultTextOf(e);
    }
}

std::vector<std::u16string> Addrs(const std::vector<SiteInfo>& sites) {
    std::vector<std::u16string> out;
    for (const auto& s : sites)
        out.push_back(s.siteAddr);
    return out;
}

class SiteSelection : public ::testing::Test {
protected:
    FixedResolver resolver{{{"shop.example.test", {"10.0.0.5"}},
                            {"www.shop.example.test", {"10.0.0.5"}},
                            {"blog.example.test", {"10.0.0.5"}},
                            {"www.blog.example.test", {"10.0.0.9"}},
                            {"api.example.test", {"10.0.0.5"}},
                            {"far.example.test", {"192.0.2.1"}},
                            {"www.far.example.test", {"192.0.2.1"}},
                            {"secure.example.test", {"10.0.0.7"}}}};
    TestDeployer d;
    SiteInfo main = Site(u"shop.example.test", u"/srv/shop/", 80, false, u"");

    void SetUp() override {
        d.SetSites({main, Site(u"blog.example.test", u"/srv/blog/", 80)}, main);
        d.SetListenAddrs({u""}, {});
    }
};

TEST_F(SiteSelection, UnconfiguredNameGainsItsWwwTwin) {
    d.SetSites({Site(u"blog.example.test", u"/srv/blog/", 80)}, main);
    ASSERT_EQ(Select(d, {u"api.example.test"}), u"succeed");
    // www.api does not resolve: no twin. api borrows blog's record (same address).
    ASSERT_EQ(d.selectedSites().size(), 1u);
    EXPECT_EQ(d.selectedSites()[0], Site(u"api.example.test", u"/srv/blog/", 80));

    TestDeployer fresh;
    fresh.SetSites({}, main);
    fresh.SetListenAddrs({u"*"}, {});
    ASSERT_EQ(Select(fresh, {u"far.example.test"}), u"succeed");
    EXPECT_EQ(Addrs(fresh.selectedSites()),
              (std::vector<std::u16string>{u"far.example.test", u"www.far.example.test"}));
    EXPECT_EQ(fresh.selectedSites()[0].siteDir, u"/srv/shop/");  // from the main site
}

TEST_F(SiteSelection, TwinAlreadyConfiguredAddsNothing) {
    d.SetSites({Site(u"www.shop.example.test", u"/srv/www/", 8080)}, main);
    ASSERT_EQ(Select(d, {u"shop.example.test"}), u"succeed");
    ASSERT_EQ(d.selectedSites().size(), 1u);
    // The twin's site is taken, under the requested name.
    EXPECT_EQ(d.selectedSites()[0], Site(u"shop.example.test", u"/srv/www/", 8080));
}

TEST_F(SiteSelection, TwoNamesAreAcceptedOnlyAsATwinPair) {
    ASSERT_EQ(Select(d, {u"www.shop.example.test", u"shop.example.test"}), u"succeed");
    EXPECT_EQ(Addrs(d.selectedSites()),
              (std::vector<std::u16string>{u"shop.example.test", u"www.shop.example.test"}));

    TestDeployer other;
    other.SetSites({main}, main);
    EXPECT_EQ(Select(other, {u"shop.example.test", u"blog.example.test"}), result::kTooManyDomains);
    // A twin pair on different addresses is refused too.
    EXPECT_EQ(Select(other, {u"blog.example.test", u"www.blog.example.test"}),
              result::kTooManyDomains);
}

TEST_F(SiteSelection, ThreeNamesAreRefusedEvenWithDuplicates) {
    EXPECT_EQ(Select(d, {u"shop.example.test", u"shop.example.test", u"www.shop.example.test"}),
              result::kTooManyDomains);
    EXPECT_TRUE(d.selectedSites().empty());
}

TEST_F(SiteSelection, NamesTypedWithBlanksAreUsedWithoutThem) {
    d.SetSites({Site(u"blog.example.test", u"/srv/blog/", 80)}, main);
    ASSERT_EQ(Select(d, {u" shop.example .test"}), u"succeed");
    // Its twin is found through the blank-free name and is itself cleaned.
    EXPECT_EQ(d.inputDomains(),
              (std::vector<std::u16string>{u"shop.example.test", u"www.shop.example.test"}));
    EXPECT_EQ(Addrs(d.selectedSites()), d.inputDomains());
}

TEST_F(SiteSelection, EmptyEntriesCountButSelectNothing) {
    EXPECT_EQ(Select(d, {u"", u"", u""}), result::kTooManyDomains);
    ASSERT_EQ(Select(d, {u""}), u"succeed");
    EXPECT_TRUE(d.selectedSites().empty());
}

TEST_F(SiteSelection, UnknownNamesConflictWhenTheDeployerRefusesThem) {
    d.SetAcceptsUserDomains(false);
    EXPECT_EQ(Select(d, {u"api.example.test"}), result::kInputSiteConflict);
    EXPECT_EQ(d.inputDomains(), (std::vector<std::u16string>{u"api.example.test"}));
    EXPECT_EQ(Select(d, {u"blog.example.test"}), u"succeed");
}

TEST_F(SiteSelection, IisNeverBorrowsASiteByAddress) {
    d.SetWebType(u"IIS");
    ASSERT_EQ(Select(d, {u"api.example.test"}), u"succeed");
    ASSERT_EQ(d.selectedSites().size(), 1u);
    // Built from the main site, not from blog (which has the same address).
    EXPECT_EQ(d.selectedSites()[0], Site(u"api.example.test", u"/srv/shop/", 80));
}

TEST_F(SiteSelection, NameOnAnHttpsOnlyAddressGetsTheHttpsPort) {
    TestDeployer https;
    const SiteInfo m = Site(u"main.example.test", u"/srv/main/", 8080, false, u"10.0.0.1");
    https.SetSites({}, m);
    https.SetListenAddrs({u"10.0.0.1"}, {u"10.0.0.7"});
    ASSERT_EQ(Select(https, {u"secure.example.test"}), u"succeed");
    ASSERT_EQ(https.selectedSites().size(), 1u);
    EXPECT_EQ(https.selectedSites()[0],
              Site(u"secure.example.test", u"/srv/main/", 443, true, u"10.0.0.1"));
    // Neither listen list fits: the main site's port and protocol stay.
    https.SetListenAddrs({u"10.0.0.1"}, {u"10.0.0.2"});
    ASSERT_EQ(Select(https, {u"secure.example.test"}), u"succeed");
    EXPECT_EQ(https.selectedSites()[0].sitePort, 8080);
    EXPECT_FALSE(https.selectedSites()[0].isHttps);
}

TEST(RemoveDuplicateSites, KeepsTheFirstOfEqualRecordsInOrder) {
    std::vector<SiteInfo> sites = {
        {u"b.test", u"/b/", 80, false, u""},         {u"a.test", u"/a/", 80, false, u""},
        {u"b.test", u"/b/", 80, false, u""},         {u"b.test", u"/b/", 443, true, u""},
        {u"a.test", u"/a/", 80, false, u"10.0.0.1"}, {u"a.test", u"/a/", 80, false, u""}};
    SslCertSrvBase::RemoveDuplicateSites(sites);
    EXPECT_EQ(sites, (std::vector<SiteInfo>{{u"b.test", u"/b/", 80, false, u""},
                                            {u"a.test", u"/a/", 80, false, u""},
                                            {u"b.test", u"/b/", 443, true, u""},
                                            {u"a.test", u"/a/", 80, false, u"10.0.0.1"}}));
}

TEST(ToggleWww, OnlyTheExactPrefixesCount) {
    EXPECT_EQ(SslCertSrvBase::ToggleWww(u"www.shop.test"), u"shop.test");
    EXPECT_EQ(SslCertSrvBase::ToggleWww(u"WWW.shop.test"), u"shop.test");
    EXPECT_EQ(SslCertSrvBase::ToggleWww(u"shop.test"), u"www.shop.test");
    EXPECT_EQ(SslCertSrvBase::ToggleWww(u"Www.shop.test"), u"www.Www.shop.test");
}

}  // namespace
}  // namespace qm
