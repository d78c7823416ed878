// Backup and undo: every deployment keeps its own record with copies and
// hashes; undo steps back one deployment at a time, checks before it
// changes anything, and says honestly what it could not do.
#include <gtest/gtest.h>

#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::ResultOf;
using test::TestDeployer;

class BackupUndo : public ::testing::Test {
protected:
    test::TempDir dir;
    test::FixedResolver resolver{
        std::map<std::string, std::vector<std::string>>{{"a.example.test", {"10.0.0.5"}}}};
    std::vector<std::u16string> notes;

    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
    }

    std::unique_ptr<TestDeployer> Deployer(std::vector<std::u16string> files) {
        auto d = std::make_unique<TestDeployer>();
        const SiteInfo site{u"a.example.test", dir / u"www/", 80, false, u""};
        d->SetSites({site}, site);
        d->SetRoot(dir.path());
        d->SetConfigFiles(std::move(files));
        d->enroll = false;  // these tests are about backup and undo only
        return d;
    }

    std::string Deploy(std::vector<std::u16string> files) {
        auto d = Deployer(std::move(files));
        const std::string result = ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); });
        notes = d->TakeUserNotes();
        return result;
    }

    std::string Undo(bool force = false, int* restarts = nullptr) {
        auto d = Deployer({});
        const std::string result = ResultOf([&] { d->UndoLastDeployment(force); });
        notes = d->TakeUserNotes();
        if (restarts)
            *restarts = d->restarts;
        return result;
    }

    size_t Records() { return DeploymentHistory(GetServiceDirectory()).Folders().size(); }

    // The entries of the undo record in the program's Config/Backup/.
    std::vector<std::u16string> MirrorSources() {
        XmlDocument record;
        EXPECT_TRUE(record.Load(SslCertSrvBase::BackupRecordPath()));
        record.FindElement(u"config");
        record.IntoElement();
        std::vector<std::u16string> sources;
        while (record.FindElement(u"operate"))
            sources.push_back(record.GetAttribute(u"srcFilePath"));
        return sources;
    }
};

TEST_F(BackupUndo, UndoStepsBackOneDeploymentAtATimeToTheOriginal) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    const std::string afterFirst = test::ReadAll(conf);
    EXPECT_EQ(afterFirst, "original\nedited for a.example.test\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    EXPECT_NE(test::ReadAll(conf), afterFirst);
    EXPECT_EQ(Records(), 2u);
    EXPECT_EQ(MirrorSources(), std::vector<std::u16string>{conf});

    int restarts = 0;
    EXPECT_EQ(Undo(false, &restarts), "succeed");
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(test::ReadAll(conf), afterFirst);
    EXPECT_EQ(Undo(), "succeed");
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    EXPECT_EQ(Records(), 0u);
    EXPECT_TRUE(MirrorSources().empty());
    EXPECT_EQ(Undo(), "nothing to undo");
}

TEST_F(BackupUndo, SameNamedFilesKeepTheirOwnCopies) {
    ASSERT_TRUE(MakeDirectoryTree(dir / u"conf/extra"));
    const auto main = dir / u"conf/httpd.conf";
    const auto extra = dir / u"conf/extra/httpd.conf";
    test::WriteAll(main, "main\n");
    test::WriteAll(extra, "extra\n");
    ASSERT_EQ(Deploy({main, extra}), "succeed");
    EXPECT_EQ(MirrorSources().size(), 2u);
    EXPECT_EQ(Undo(), "succeed");
    EXPECT_EQ(test::ReadAll(main), "main\n");
    EXPECT_EQ(test::ReadAll(extra), "extra\n");
}

TEST_F(BackupUndo, AFileTheDeploymentCreatedIsGoneAfterTheUndo) {
    const auto made = dir / u"made.conf";
    ASSERT_EQ(Deploy({made}), "succeed");
    EXPECT_TRUE(FileExists(made));
    EXPECT_EQ(Undo(), "succeed");
    EXPECT_FALSE(FileExists(made));
}

TEST_F(BackupUndo, AFailureWhileConfiguringRollsEverythingBack) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    const std::string deployed = test::ReadAll(conf);

    auto d = Deployer({conf});
    d->configHook = [] { ThrowResult(u"%s", u"injected failure"); };
    EXPECT_EQ(ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); }), "injected failure");
    int32_t stage = 0;
    d->GetDeployStage(stage);
    EXPECT_EQ(stage, kStageConfiguring);
    // The file was written, then put back; the failed deployment left no
    // record, and the server was never touched.
    EXPECT_EQ(test::ReadAll(conf), deployed);
    EXPECT_EQ(Records(), 1u);
    EXPECT_EQ(d->restarts, 0);
    EXPECT_EQ(Undo(), "succeed");
    EXPECT_EQ(test::ReadAll(conf), "original\n");
}

TEST_F(BackupUndo, AStepBeforeTheCommitThatFailsRollsBackAfterTheRestart) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    auto d = Deployer({conf});
    d->SetBeforeCommit([] { ThrowResult(result::kUndefined); });
    EXPECT_EQ(ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); }), "undefined");
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    // Applied once with the change, once more with the original back.
    EXPECT_EQ(d->restarts, 2);
    EXPECT_EQ(Records(), 0u);
}

TEST_F(BackupUndo, EditsMadeAfterTheDeploymentAreNeverLost) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    test::WriteAll(conf, "changed by hand\n");

    EXPECT_EQ(Undo(), "configuration edited since the deployment");
    EXPECT_EQ(test::ReadAll(conf), "changed by hand\n");
    auto mentions = [&](std::u16string_view what) {
        return std::any_of(notes.begin(), notes.end(), [&](const std::u16string& n) {
            return n.find(what) != std::u16string::npos;
        });
    };
    EXPECT_TRUE(mentions(conf));
    EXPECT_TRUE(mentions(u"--force"));
    EXPECT_EQ(Records(), 1u);

    EXPECT_EQ(Undo(true), "succeed");
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    // The administrator's version was kept where the notes said.
    std::u16string kept;
    for (const auto& n : notes) {
        const size_t at = n.find(u" is kept as ");
        if (at != std::u16string::npos)
            kept = n.substr(at + 12, n.size() - at - 13);
    }
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(test::ReadAll(kept), "changed by hand\n");
}

TEST_F(BackupUndo, AMissingOrAlteredBackupCopyStopsTheUndoBeforeAnyChange) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    const std::string deployed = test::ReadAll(conf);
    const std::u16string folder = DeploymentHistory(GetServiceDirectory()).Folders().back();
    std::u16string problem;
    const auto record = DeploymentRecord::Load(folder, problem);
    ASSERT_TRUE(record) << Utf8FromWide(problem);
    const std::u16string copy = record->CopyPath(record->files.front());

    test::WriteAll(copy, "not the original\n");
    int restarts = 0;
    EXPECT_EQ(Undo(false, &restarts), "backup copy missing or altered");
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(test::ReadAll(conf), deployed);
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.front().find(copy), std::u16string::npos);

    ASSERT_TRUE(DeleteFileToRecycleBin(copy));
    EXPECT_EQ(Undo(), "backup copy missing or altered");
    EXPECT_NE(notes.front().find(u"is missing"), std::u16string::npos);
    EXPECT_EQ(test::ReadAll(conf), deployed);
}

TEST_F(BackupUndo, UndoWithTheServerStoppedRestoresAndStartsIt) {
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "original\n");
    ASSERT_EQ(Deploy({conf}), "succeed");
    auto d = Deployer({});
    d->running = false;
    EXPECT_EQ(ResultOf([&] { d->UndoLastDeployment(false); }), "succeed");
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    EXPECT_EQ(d->restarts, 1);
}

TEST_F(BackupUndo, AMissingUndoRecordTemplateStopsTheDeploymentUnchanged) {
    ASSERT_TRUE(DeleteFileToRecycleBin(SslCertSrvBase::BackupRecordPath()));
    const auto conf = dir / u"nginx.conf";
    test::WriteAll(conf, "x\n");
    EXPECT_EQ(Deploy({conf}), "undefined");
    EXPECT_EQ(test::ReadAll(conf), "x\n");
    EXPECT_EQ(Records(), 0u);
    EXPECT_EQ(Undo(), "nothing to undo");
}

}  // namespace
}  // namespace qm
