#include <gtest/gtest.h>

#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/xmldocument.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::TestDeployer;

class BackupUndo : public ::testing::Test {
protected:
    test::TempDir dir;
    test::FixedResolver resolver{
        std::map<std::string, std::vector<std::string>>{{"a.example.test", {"10.0.0.5"}}}};

    void SetUp() override { test::InstallConfigTemplates(test::ProgramHome()); }

    std::unique_ptr<TestDeployer> Deployer(std::vector<std::u16string> files) {
        auto d = std::make_unique<TestDeployer>();
        const SiteInfo site{u"a.example.test", dir / u"www/", 80, false, u""};
        d->SetSites({site}, site);
        d->SetRoot(dir.path());
        d->SetConfigFiles(std::move(files));
        d->enroll = false;  // these tests are about backup and undo only
        return d;
    }

    std::u16string Deploy(std::vector<std::u16string> files) {
        auto d = Deployer(std::move(files));
        try {
            d->BindCertToSite({u"a.example.test"}, 1);
            return u"succeed";
        } catch (const std::exception& e) {
            return ResultTextOf(e);
        }
    }

    int Undo() {
        auto d = Deployer({});
        d->RestoreWeb();
        return d->restarts;
    }

    int RecordedEntries() {
        XmlDocument record;
        EXPECT_TRUE(record.Load(SslCertSrvBase::BackupRecordPath()));
        record.FindElement(u"config");
        record.IntoElement();
        int n = 0;
        while (record.FindElement(u"operate"))
            ++n;
        return n;
    }
};

TEST_F(BackupUndo, UndoReturnsToTheStateBeforeTheLastDeployment) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), u"succeed");
    const std::string afterFirst = test::ReadAll(conf);
    EXPECT_EQ(afterFirst, "original\nedited for a.example.test\n");
    ASSERT_EQ(Deploy({conf}), u"succeed");
    EXPECT_NE(test::ReadAll(conf), afterFirst);
    EXPECT_EQ(RecordedEntries(), 1);

    EXPECT_EQ(Undo(), 1);
    EXPECT_EQ(test::ReadAll(conf), afterFirst);
    // A second undo finds no copies left and only restarts the server.
    test::WriteAll(conf, "changed by hand\n");
    EXPECT_EQ(Undo(), 1);
    EXPECT_EQ(test::ReadAll(conf), "changed by hand\n");
}

TEST_F(BackupUndo, SameNamedFilesKeepTheirOwnCopies) {
    ASSERT_TRUE(MakeDirectoryTree(dir / u"conf/extra"));
    const auto main = dir / u"conf/httpd.conf";
    const auto extra = dir / u"conf/extra/httpd.conf";
    test::WriteAll(main, "main\n");
    test::WriteAll(extra, "extra\n");
    ASSERT_EQ(Deploy({main, extra}), u"succeed");
    EXPECT_EQ(RecordedEntries(), 2);
    Undo();
    EXPECT_EQ(test::ReadAll(main), "main\n");
    EXPECT_EQ(test::ReadAll(extra), "extra\n");
}

TEST_F(BackupUndo, AFailedCopyStopsTheDeploymentBeforeAnyEdit) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), u"succeed");
    const std::string deployed = test::ReadAll(conf);

    auto d = Deployer({conf, dir / u"missing.conf"});
    try {
        d->BindCertToSite({u"a.example.test"}, 1);
        FAIL() << "the backup should have failed";
    } catch (const std::exception& e) {
        EXPECT_EQ(ResultTextOf(e), result::kUndefined);
    }
    int32_t stage = 0;
    d->GetDeployStage(stage);
    EXPECT_EQ(stage, kStageObtained);
    EXPECT_EQ(test::ReadAll(conf), deployed);  // not edited
    ASSERT_EQ(d->calls.back().first, "BackupWeb");
    // The earlier deployment's record is still in force.
    EXPECT_EQ(RecordedEntries(), 1);
    Undo();
    EXPECT_EQ(test::ReadAll(conf), "original\n");
}

TEST_F(BackupUndo, AFailureWhileConfiguringLeavesStageFourAndTheBackup) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    auto d = Deployer({conf});
    d->configHook = [] { ThrowResult(u"%s", u"injected failure"); };
    EXPECT_THROW(d->BindCertToSite({u"a.example.test"}, 1), std::exception);
    int32_t stage = 0;
    d->GetDeployStage(stage);
    EXPECT_EQ(stage, kStageConfiguring);
    EXPECT_EQ(RecordedEntries(), 1);
    EXPECT_EQ(d->restarts, 0);
}

TEST_F(BackupUndo, EmptyBackupClearsTheRecord) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "x\n");
    ASSERT_EQ(Deploy({conf}), u"succeed");
    ASSERT_EQ(Deploy({}), u"succeed");
    EXPECT_EQ(RecordedEntries(), 0);
    EXPECT_EQ(Undo(), 1);
}

TEST_F(BackupUndo, MissingRecordFailsBackupAndUndo) {
    ASSERT_TRUE(DeleteFileToRecycleBin(SslCertSrvBase::BackupRecordPath()));
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "x\n");
    EXPECT_EQ(Deploy({conf}), result::kUndefined);
    auto d = Deployer({});
    EXPECT_THROW(d->RestoreWeb(), std::exception);
    EXPECT_EQ(d->restarts, 0);
}

}  // namespace
}  // namespace qm
