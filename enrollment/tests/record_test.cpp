// The progress record "Config/Trace.xml": every read and write, and the
// layout a deferred enrollment leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"
#include "tests/support/platform_skip.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

using test::FailureOf;

std::string RecordText() {
    return test::ReadAll(CertCenterComm::RecordPath());
}

void WriteRecord(const std::string& text) {
    test::WriteAll(CertCenterComm::RecordPath(), text);
}

DomainVerifyInfo Site(const char16_t* domain, bool https, int port) {
    return {https, port, domain, u"", u""};
}

class Record : public testing::Test {
protected:
    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        Open();
    }
    void Open() {
        session_ = std::make_unique<CertCenterComm>();
        session_->Initialize(u"https://localhost:1", u"general", u"", true);
    }

    std::unique_ptr<CertCenterComm> session_;
};

TEST_F(Record, ShippedTemplateIsAnIdleRecord) {
    const std::string text = test::ReadAll(test::ProgramHome() + u"Config/Trace.xml");
    XmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(WideFromUtf8(text)));
    EXPECT_FALSE(session_->IsWaitAuth());
    EXPECT_FALSE(session_->IsWaitCert());
    EXPECT_FALSE(session_->IsWaitDeferCert());
    EXPECT_TRUE(session_->IsRecvedInfo());
    EXPECT_TRUE(CertCenterComm::IsDeferReqRecved());
}

TEST_F(Record, StepsAreWrittenInOrderEachOnItsOwnLine) {
    session_->SaveAuthStep("nonce-1", "sess & <1>");
    session_->SaveCertStep(3);
    session_->SetRecvedInfo(false);
    session_->SaveDeferStep("tok-1");
    session_->SetRecvedInfo(true);
    session_->SetSucceed(false);
    EXPECT_EQ(RecordText(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
              "<config>\r\n"
              "<process curStep=\"requestDeferCert\" succeed=\"no\" isRecvedInfo=\"true\">\r\n"
              "<step name=\"requestAuth\" nonce=\"nonce-1\" session=\"sess &amp; &lt;1&gt;\"/>\r\n"
              "<step name=\"requestCert\" certType=\"3\"/>\r\n"
              "<step name=\"requestDeferCert\" token=\"tok-1\"/>\r\n"
              "</process>\r\n"
              "<demand webType=\"\">\r\n"
              "</demand>\r\n"
              "</config>\r\n");

    // A new session (a later run) reads the same values back.
    Open();
    EXPECT_TRUE(session_->IsWaitDeferCert());
    EXPECT_FALSE(session_->IsWaitAuth());
    EXPECT_EQ(session_->ReadAuthStep(),
              (std::pair<std::string, std::string>{"nonce-1", "sess & <1>"}));
    EXPECT_EQ(session_->ReadRequestCertInfo(), 3);
    EXPECT_EQ(session_->ReadDeferStep(), "tok-1");

    // Rewriting a step reuses it.
    session_->SaveAuthStep("nonce-2", "sess-2");
    session_->SaveCertStep(5);
    EXPECT_TRUE(session_->IsWaitAuth());
    EXPECT_EQ(session_->ReadAuthStep().first, "nonce-2");
    EXPECT_EQ(session_->ReadRequestCertInfo(), 5);
    const std::string text = RecordText();
    EXPECT_EQ(text.find("name=\"requestAuth\""), text.rfind("name=\"requestAuth\""));
}

TEST_F(Record, MissingStepsReadAsEmptyExceptTheCertificateType) {
    EXPECT_EQ(session_->ReadAuthStep(), (std::pair<std::string, std::string>{}));
    EXPECT_EQ(session_->ReadDeferStep(), "");
    EXPECT_EQ(FailureOf([&] { session_->ReadRequestCertInfo(); }),
              "CertCenterComm::ReadRequestCertInfo, isExist = false");
}

TEST_F(Record, ResetAndFlagsWriteTheirAttributes) {
    session_->SaveAuthStep("n", "s");
    session_->SetCurStep(u"requestCert");
    EXPECT_TRUE(session_->IsWaitCert());
    session_->SetSucceed(false);
    session_->ResetProcess();
    Open();
    EXPECT_FALSE(session_->IsWaitCert());
    const std::string text = RecordText();
    EXPECT_NE(text.find("<process curStep=\"\" succeed=\"yes\""), std::string::npos) << text;
    session_->SetRecvedInfo(false);
    EXPECT_FALSE(session_->IsRecvedInfo());
}

TEST_F(Record, RecvedInfoIgnoresCaseAndDeferRecvFindsItsStepIgnoringCase) {
    WriteRecord(
        "<config>\r\n<process curStep=\"requestDeferCert\" isRecvedInfo=\"TRUE\">\r\n"
        "<step name=\"REQUESTDEFERCERT\" token=\"t\" deferRecv=\"true\"/>\r\n"
        "</process>\r\n<demand/>\r\n</config>\r\n");
    Open();
    EXPECT_TRUE(session_->IsRecvedInfo());
    EXPECT_TRUE(CertCenterComm::IsDeferReqRecved());
    session_->SetDeferRecv(false);
    EXPECT_FALSE(CertCenterComm::IsDeferReqRecved());
    // The upper-case step was reused, not joined by a second one.
    const std::string text = RecordText();
    EXPECT_EQ(text.find("<step"), text.rfind("<step"));
    EXPECT_NE(text.find("deferRecv=\"false\""), std::string::npos);
    // The token reader compares the name exactly.
    EXPECT_EQ(session_->ReadDeferStep(), "");
}

TEST_F(Record, DeferReqRecvedIsTrueUnlessAStatusRequestIsUnderWay) {
    auto recved = [](const std::string& record) {
        WriteRecord(record);
        return CertCenterComm::IsDeferReqRecved();
    };
    EXPECT_TRUE(recved("<config><process curStep=\"requestCert\"/><demand/></config>"));
    EXPECT_TRUE(recved("<config><process curStep=\"requestDeferCert\"/><demand/></config>"));
    EXPECT_TRUE(
        recved("<config><process curStep=\"requestDeferCert\"><step name=\"requestDeferCert\" "
               "deferRecv=\"no\"/></process><demand/></config>"));
    EXPECT_FALSE(
        recved("<config><process curStep=\"requestDeferCert\"><step name=\"requestDeferCert\" "
               "deferRecv=\"False\"/></process><demand/></config>"));
    DeleteFileToRecycleBin(CertCenterComm::RecordPath());
    EXPECT_TRUE(CertCenterComm::IsDeferReqRecved());
}

TEST_F(Record, DemandIsOneEntryPerDomainAndAnyDifferenceCountsAsAChange) {
    const std::vector<DomainVerifyInfo> sites = {Site(u"shop.example.test", false, 80),
                                                 Site(u"SHOP.example.test", true, 443),
                                                 Site(u"www.shop.example.test", false, 80)};
    session_->SetDemand(sites, u"nginx", u"1.22.1");
    EXPECT_TRUE(session_->IsDemandChanged());  // nothing stored yet
    session_->SaveDemand();
    EXPECT_FALSE(session_->IsDemandChanged());
    const std::string text = RecordText();
    EXPECT_NE(
        text.find(
            "<demand webType=\"nginx\">\r\n"
            "<verifySiteInfo domain=\"shop.example.test\" isHttps=\"false\" port=\"80\"/>\r\n"
            "<verifySiteInfo domain=\"www.shop.example.test\" isHttps=\"false\" port=\"80\"/>\r\n"
            "</demand>"),
        std::string::npos)
        << text;

    auto changedFor = [&](std::vector<DomainVerifyInfo> list, const char16_t* webType) {
        session_->SetDemand(list, webType, u"");
        return session_->IsDemandChanged();
    };
    EXPECT_FALSE(changedFor(sites, u"nginx"));
    EXPECT_TRUE(changedFor(sites, u"apache"));
    EXPECT_TRUE(changedFor({sites[0], Site(u"www.shop.example.test", false, 8080)}, u"nginx"));
    EXPECT_TRUE(changedFor({sites[0], Site(u"www.shop.example.test", true, 80)}, u"nginx"));
    EXPECT_TRUE(changedFor({sites[0], Site(u"WWW.shop.example.test", false, 80)}, u"nginx"));
    EXPECT_TRUE(changedFor({sites[0]}, u"nginx"));
    EXPECT_FALSE(changedFor({sites[2], sites[0]}, u"nginx"));  // order does not matter

    // Saving another demand replaces the entries.
    session_->SetDemand({Site(u"a.example.test", true, 8443)}, u"apache", u"");
    session_->SaveDemand();
    Open();
    session_->SetDemand({Site(u"a.example.test", true, 8443)}, u"apache", u"");
    EXPECT_FALSE(session_->IsDemandChanged());
    const std::string after = RecordText();
    EXPECT_EQ(after.find("shop.example.test"), std::string::npos);
}

TEST_F(Record, KeyPathsAreRecordedAndTheKeysReadBack) {
    session_->SaveAuthStep("n", "s");
    session_->CreateSelfKeyPair();
    const std::string publicKey = session_->PublicKeyText();
    const std::string privateKey = session_->PrivateKeyText();
    session_->SaveKeyFiles();
    session_->FreeSelfKey();
    EXPECT_TRUE(session_->PrivateKeyText().empty());
    session_->SaveCertStep(2);  // steps stay together, ahead of the key

    const std::u16string keyFolder = test::ProgramHome() + NativeSeparators(u"Config/Key/");
    const std::string text = RecordText();
    EXPECT_NE(text.find("<step name=\"requestAuth\" nonce=\"n\" session=\"s\"/>\r\n"
                        "<step name=\"requestCert\" certType=\"2\"/>\r\n<key pukPath=\"" +
                        Utf8FromWide(keyFolder) + "puk.txt\" pvkPath=\"" + Utf8FromWide(keyFolder) +
                        "pvk.txt\"/>\r\n</process>"),
              std::string::npos)
        << text;
    EXPECT_EQ(test::ReadAll(keyFolder + u"puk.txt"), HostTextBytes(publicKey));
    EXPECT_EQ(test::ReadAll(keyFolder + u"pvk.txt"), HostTextBytes(privateKey));
#ifndef _WIN32  // file modes: the Windows access lists are the backend's own tests
    // The private key is for its owner's eyes only.
    const auto permissions = std::filesystem::status(FsPath(keyFolder + u"pvk.txt")).permissions();
    EXPECT_EQ(
        permissions & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
        std::filesystem::perms::none);
#endif

    Open();
    session_->LoadKeyPair();
    EXPECT_EQ(session_->PublicKeyText(), publicKey);
    EXPECT_EQ(session_->PrivateKeyText(), privateKey);
}

TEST_F(Record, TheKeyFolderIsTheOwnersOnlyWhateverTheUmask) {
    QM_POSIX_ONLY("file modes and the umask");
    namespace fs = std::filesystem;
    const std::u16string keyFolder = test::ProgramHome() + u"Config/Key";
    for (mode_t mask : {mode_t(000), mode_t(077)}) {
        SCOPED_TRACE(mask);
        ASSERT_TRUE(DeleteDirectoryTree(keyFolder));
        session_->CreateSelfKeyPair();
        const mode_t old = umask(mask);
        session_->SaveKeyFiles();
        umask(old);
        EXPECT_EQ(fs::status(FsPath(keyFolder)).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(FsPath(keyFolder + u"/pvk.txt")).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::status(FsPath(keyFolder + u"/puk.txt")).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read);
    }
    // A folder an earlier version left open to others is closed.
    fs::permissions(FsPath(keyFolder), fs::perms::all);
    session_->CreateSelfKeyPair();
    session_->SaveKeyFiles();
    EXPECT_EQ(fs::status(FsPath(keyFolder)).permissions(), fs::perms::owner_all);
}

TEST_F(Record, RecordWithoutItsElementsIsLeftAlone) {
    const std::string odd = "<config>\r\n<other keep=\"1\"/>\r\n</config>\r\n";
    WriteRecord(odd);
    Open();
    session_->SetDemand({Site(u"a.example.test", true, 443)}, u"nginx", u"");
    session_->SaveDemand();
    session_->SaveAuthStep("n", "s");
    session_->SetRecvedInfo(true);
    session_->SetDeferRecv(true);
    EXPECT_EQ(RecordText(), odd);
    EXPECT_TRUE(session_->IsDemandChanged());
    EXPECT_FALSE(session_->IsWaitAuth());
}

TEST_F(Record, InitializeNeedsAReadableWellFormedRecord) {
    CertCenterComm other;
    WriteRecord("<config><process>");
    EXPECT_EQ(FailureOf([&] { other.Initialize(u"https://localhost:1", u"general", u"", true); }),
              "undefined");
    DeleteFileToRecycleBin(CertCenterComm::RecordPath());
    EXPECT_EQ(FailureOf([&] { other.Initialize(u"https://localhost:1", u"general", u"", true); }),
              "undefined");
    // Unusable sessions refuse work instead of crashing.
    EXPECT_EQ(FailureOf([&] { other.DomainVerify({}, u"nginx", u""); }), "undefined");
    EXPECT_EQ(FailureOf([&] { other.CertDeferRequest(); }), "undefined");
}

}  // namespace
}  // namespace qm
