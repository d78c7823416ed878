// Deployment records, recovery of what an interrupted run left, interrupts
// and the locks, with a deployer whose server is only files.
#include <gtest/gtest.h>

#include "deploy/recovery.h"
#include "deploy/tests/test_deployer.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::ResultOf;
using test::TestDeployer;

bool AnyMentions(const std::vector<std::u16string>& lines, std::u16string_view what) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::u16string& line) {
        return line.find(what) != std::u16string::npos;
    });
}

TEST(DeploymentRecord, EveryValueReadsBackExactly) {
    test::TempDir dir;
    DeploymentRecord record;
    record.folder = dir.path();
    record.phase = u"applying";
    record.httpPort = 8080;
    record.httpsPort = 8443;
    record.started = u"2026-12-09 10:00:00";
    record.owner = 4242;
    record.server.kind = u"nginx";
    record.server.launch.program = u"/opt/web \"x\"/sbin/nginx";
    record.server.launch.arguments = {u"nginx", u"-g", u"daemon on; <x> & 'y';"};
    record.server.launch.directory = u"/";
    record.server.launch.environment = {u"A=line1\nline2\ttab", u"B=\u00E9\u4E2D"};
    record.server.launch.environmentKnown = true;
    record.server.serviceUnit = u"nginx.service";
    record.server.properties = {{u"prefix", u"/usr/share/nginx/"}, {u"option", u"-c"}};
    record.sites = {u"shop.example.test"};
    record.files.push_back({u"/etc/nginx/a&b.conf", u"1-a&b.conf", "aa", "bb", true, false});
    record.files.push_back({u"/etc/nginx/new.conf", u"", "", "cc", false, false});
    record.files.push_back(
        {u"/var/lib/vantrel/Config/Vantrel.xml", u"3-Vantrel.xml", "dd", "", true, true});
    record.created = {u"/etc/nginx/sslcert/", u"/etc/nginx/sslcert/shop.crt"};
    record.certificateFingerprint = "0123abcd";
    record.wireTargets = {{u"shop.example.test", u"::1", 443}};
    record.changes = {{u"tlsBinding", {{u"address", u"a&b"}, {u"previousHash", u""}}},
                      {u"backupSite", {}}};
    record.serverTouched = true;
    ASSERT_TRUE(record.Save());

    std::u16string problem;
    const auto read = DeploymentRecord::Load(dir.path(), problem);
    ASSERT_TRUE(read) << Utf8FromWide(problem);
    EXPECT_EQ(read->phase, record.phase);
    EXPECT_EQ(read->httpPort, 8080);
    EXPECT_EQ(read->httpsPort, 8443);
    EXPECT_EQ(read->started, record.started);
    EXPECT_EQ(read->owner, 4242u);
    EXPECT_EQ(read->server.kind, u"nginx");
    EXPECT_EQ(read->server.launch.program, record.server.launch.program);
    EXPECT_EQ(read->server.launch.arguments, record.server.launch.arguments);
    EXPECT_EQ(read->server.launch.environment, record.server.launch.environment);
    EXPECT_TRUE(read->server.launch.environmentKnown);
    EXPECT_EQ(read->server.serviceUnit, u"nginx.service");
    EXPECT_EQ(read->server.Property(u"prefix"), u"/usr/share/nginx/");
    EXPECT_EQ(read->sites, record.sites);
    ASSERT_EQ(read->files.size(), 3u);
    EXPECT_EQ(read->files[0].path, u"/etc/nginx/a&b.conf");
    EXPECT_EQ(read->files[0].originalHash, "aa");
    EXPECT_EQ(read->files[0].deployedHash, "bb");
    EXPECT_FALSE(read->files[1].existed);
    EXPECT_TRUE(read->files[2].state);
    EXPECT_EQ(read->created, record.created);
    EXPECT_EQ(read->certificateFingerprint, "0123abcd");
    EXPECT_EQ(read->wireTargets, record.wireTargets);
    EXPECT_EQ(read->changes, record.changes);
    EXPECT_TRUE(read->serverTouched);
#ifndef _WIN32  // file modes
    // It may hold the server's environment: the owner's alone.
    EXPECT_EQ(std::filesystem::status(FsPath(record.RecordPath())).permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif

    EXPECT_FALSE(DeploymentRecord::Load(dir / u"missing/", problem));
    EXPECT_NE(problem.find(u"record.xml"), std::u16string::npos);
}

TEST(DeploymentHistory, FoldersAreNumberedOldestFirst) {
    test::TempDir dir;
    const DeploymentHistory history(dir.path());
    EXPECT_TRUE(history.Folders().empty());
    std::vector<std::u16string> made;
    for (int i = 0; i < 11; ++i)
        made.push_back(history.CreateFolder());
    ASSERT_EQ(history.Folders(), made);
    EXPECT_EQ(FileNameOf(made[9].substr(0, made[9].size() - 1)), u"000010");
    // Only numbered folders are records; a gap does not renumber.
    ASSERT_TRUE(MakeDirectoryTree(history.Directory() + u"kept/"));
    ASSERT_TRUE(DeleteDirectoryTree(made[4]));
    EXPECT_EQ(history.Folders().size(), 10u);
    EXPECT_EQ(FileNameOf(history.CreateFolder().substr(0, made[0].size() - 1)), u"000012");
#ifndef _WIN32  // file modes
    EXPECT_EQ(std::filesystem::status(FsPath(made[0])).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
#endif
}

class Transactions : public ::testing::Test {
protected:
    test::TempDir dir;
    std::u16string conf;

    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        DeleteDirectoryTree(GetServiceDirectory() + u"Undo");
        conf = dir / u"site.conf";
        test::WriteAll(conf, "original\n");
    }

    std::unique_ptr<TestDeployer> Deployer() {
        auto d = std::make_unique<TestDeployer>();
        const SiteInfo site{u"a.example.test", dir / u"www/", 80, false, u""};
        d->SetSites({site}, site);
        d->SetRoot(dir.path());
        d->SetConfigFiles({conf});
        d->enroll = false;
        return d;
    }

    DeployerForKind Factory(int* made = nullptr) {
        return [this, made](const std::u16string& kind) -> std::unique_ptr<SslCertSrvBase> {
            if (kind != u"test")
                return nullptr;
            if (made)
                ++*made;
            return Deployer();
        };
    }

    // A deployment that stops, as a killed program would, right after its
    // configuration step: its record and its edit stay as they were then.
    void CrashAfterTheEdit() {
        auto d = Deployer();
        std::u16string keptFolder;
        std::string edited;
        d->configHook = [&] {
            keptFolder = d->CurrentRecord()->folder;
            ASSERT_TRUE(CopyDirectoryTree(keptFolder, dir / u"kept/"));
            edited = test::ReadAll(conf);
            ThrowResult(u"%s", u"the program ends here");
        };
        ASSERT_EQ(ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); }),
                  "the program ends here");
        // Put back what the rollback of this test's stand-in took away.
        ASSERT_TRUE(CopyDirectoryTree(dir / u"kept/", keptFolder));
        test::WriteAll(conf, edited);
    }
};

TEST_F(Transactions, AnUnfinishedDeploymentIsRolledBackByTheNextRun) {
    CrashAfterTheEdit();
    ASSERT_EQ(test::ReadAll(conf), "original\nedited for a.example.test\n");
    ASSERT_EQ(DeploymentsInForce(), 1u);
    EXPECT_FALSE(NewestDeployment());  // not committed

    int made = 0;
    const RecoveryOutcome outcome = RecoverUnfinishedDeployment(Factory(&made));
    EXPECT_TRUE(outcome.found);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(AnyMentions(outcome.lines, u"did not finish"));
    EXPECT_TRUE(AnyMentions(outcome.lines, u"Every file is as it was"));
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    EXPECT_EQ(DeploymentsInForce(), 0u);

    // Nothing left: a second look finds nothing.
    EXPECT_FALSE(RecoverUnfinishedDeployment(Factory()).found);
}

TEST_F(Transactions, AnUnfinishedUndoIsCompleted) {
    auto d = Deployer();
    ASSERT_EQ(ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); }), "succeed");
    auto record = NewestDeployment();
    ASSERT_TRUE(record);
    record->phase = u"undoing";
    ASSERT_TRUE(record->Save());

    const RecoveryOutcome outcome = RecoverUnfinishedDeployment(Factory());
    EXPECT_TRUE(outcome.complete);
    EXPECT_TRUE(AnyMentions(outcome.lines, u"undo"));
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    EXPECT_EQ(DeploymentsInForce(), 0u);
}

TEST_F(Transactions, ARecordThatWasNeverWrittenWholeIsRemoved) {
    const std::u16string folder = DeploymentHistory(GetServiceDirectory()).CreateFolder();
    test::WriteAll(folder + u"record.xml", "<deployment phase=\"obtai");
    const RecoveryOutcome outcome = RecoverUnfinishedDeployment(Factory());
    EXPECT_TRUE(outcome.found);
    EXPECT_TRUE(outcome.complete);
    EXPECT_FALSE(DirectoryExists(folder));
}

TEST_F(Transactions, AKindThisBuildCannotHandleIsReportedNotGuessed) {
    CrashAfterTheEdit();
    const RecoveryOutcome outcome =
        RecoverUnfinishedDeployment([](const std::u16string&) { return nullptr; });
    EXPECT_TRUE(outcome.found);
    EXPECT_FALSE(outcome.complete);
    EXPECT_TRUE(AnyMentions(outcome.lines, u"cannot take it back"));
    EXPECT_EQ(test::ReadAll(conf), "original\nedited for a.example.test\n");
    EXPECT_EQ(DeploymentsInForce(), 1u);
}

TEST_F(Transactions, AnInterruptIsActedOnAtTheNextBoundaryAndRollsBack) {
    InstallInterruptHandlers();
    auto d = Deployer();
    d->configHook = [] { InterruptThisProcess(); };
    EXPECT_EQ(ResultOf([&] { d->BindCertToSite({u"a.example.test"}, 1); }), "interrupted");
    ClearInterrupt();
    EXPECT_EQ(test::ReadAll(conf), "original\n");
    EXPECT_EQ(DeploymentsInForce(), 0u);
    EXPECT_TRUE(AnyMentions(d->TakeUserNotes(), u"SIGINT"));
    // The next deployment runs as if nothing had happened.
    auto next = Deployer();
    EXPECT_EQ(ResultOf([&] { next->BindCertToSite({u"a.example.test"}, 1); }), "succeed");
}

TEST_F(Transactions, OneRunAtATimeAndTheSecondSaysWhoHasIt) {
    ServiceLock first;
    std::u16string holder;
    ASSERT_TRUE(first.Acquire(u"deploy", holder)) << Utf8FromWide(holder);
    ServiceLock second;
    EXPECT_FALSE(second.Acquire(u"undo", holder));
    EXPECT_NE(holder.find(u"quillmate deploy"), std::u16string::npos) << Utf8FromWide(holder);
    first.Release();
    EXPECT_TRUE(second.Acquire(u"undo", holder));
}

}  // namespace
}  // namespace qm
