// Where the engine puts the http-01 challenges of an ACME CA: in the folder
// of every site of the name (the selected one, whose folder may be another
// server's, and its twin on the other port), with the files a server needs
// beside them, and away again afterwards.
#include <gtest/gtest.h>

#include <filesystem>

#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

class ChallengeDeployer : public test::TestDeployer {
public:
    using SslCertSrvBase::PlaceChallenge;
    using SslCertSrvBase::RemoveChallenge;
    void Select(std::vector<SiteInfo> selected) { selectedSites_ = std::move(selected); }
    std::vector<std::pair<std::u16string, std::string>> ChallengeFolderFiles() const override {
        return {{u"web.config", "<configuration/>"}};
    }
};

class AcmeChallenges : public ::testing::Test {
protected:
    std::u16string Root(const char16_t* name) {
        const std::u16string root = dir_.path() + name + PathSeparator();
        MakeDirectoryTree(root);
        return root;
    }
    static std::u16string Challenge(const std::u16string& root, const std::u16string& file) {
        return root + u".well-known" + PathSeparator() + u"acme-challenge" + PathSeparator() + file;
    }
    static std::string Read(const std::u16string& path) {
        std::string text;
        ReadFileBytes(path, text);
        return text;
    }

    test::TempDir dir_;
};

TEST_F(AcmeChallenges, EverySiteOfTheNameAnswersAndTheFolderFilesStayUntilTheLastGoes) {
    const std::u16string shop = Root(u"shop");
    const std::u16string shopTls = Root(u"shop-tls");
    const std::u16string fallback = Root(u"default");
    const std::u16string other = Root(u"other");
    ChallengeDeployer d;
    d.SetSites({{u"shop.example.com", shop, 80, false, u""},
                {u"shop.example.com", shopTls, 443, true, u""},
                {u"other.example.com", other, 80, false, u""}},
               {});
    // www. has no site of its own: the server answers it from another folder.
    d.Select({{u"shop.example.com", shop, 80, false, u""},
              {u"www.shop.example.com", fallback, 80, false, u""}});
    // An operator's own folder settings are never replaced.
    ASSERT_TRUE(MakeDirectoryTree(DirectoryOf(Challenge(shopTls, u"x"))));
    ASSERT_TRUE(WriteFileAtomic(Challenge(shopTls, u"web.config"), "mine"));

    d.PlaceChallenge("shop.example.com", "tok1", "tok1.thumb");
    d.PlaceChallenge("www.shop.example.com", "tok2", "tok2.thumb");
    for (const auto& root : {shop, shopTls})
        EXPECT_EQ(Read(Challenge(root, u"tok1")), "tok1.thumb") << Utf8FromWide(root);
    EXPECT_EQ(Read(Challenge(fallback, u"tok2")), "tok2.thumb");
    EXPECT_FALSE(FileExists(Challenge(other, u"tok1")));
    EXPECT_FALSE(FileExists(Challenge(shop, u"tok2")));
    EXPECT_EQ(Read(Challenge(shop, u"web.config")), "<configuration/>");
    EXPECT_EQ(Read(Challenge(shopTls, u"web.config")), "mine");

    // The names are compared as DNS names are: without regard to case.
    d.RemoveChallenge("SHOP.example.com", "tok1");
    EXPECT_FALSE(FileExists(Challenge(shop, u"tok1")));
    EXPECT_FALSE(FileExists(Challenge(shopTls, u"tok1")));
    EXPECT_EQ(Read(Challenge(shopTls, u"web.config")), "mine");
    d.RemoveChallenge("www.shop.example.com", "tok2");
    EXPECT_FALSE(FileExists(Challenge(fallback, u"tok2")));
    // Removing twice is harmless.
    d.RemoveChallenge("www.shop.example.com", "tok2");
}

}  // namespace
}  // namespace qm
