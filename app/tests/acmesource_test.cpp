// The ACME source as the program sets it up: one account folder per CA, and
// the renewal moment the CA's renewal information gives a certificate.
#include "app/acmesource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "acme/acmeclient.h"
#include "acme/tests/fake_acme_server.h"
#include "acme/tests/test_certs.h"
#include "app/renewal.h"
#include "app/settingsfile.h"
#include "deploy/deploymentrecord.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "tests/support/temp_dir.h"

namespace qm {
namespace {

class AcmeSourceTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("VANTREL_HOME", service_.narrow().c_str(), 1); }
    void TearDown() override { test::RestoreServiceHome(); }

    // A fake CA with renewal information, issuing for names it validates
    // against the files Issue places.
    acme::test::FakeAcmeServer& ServeWithRenewalInfo() {
        pki_ = std::make_unique<qm::test::TestPki>();
        acme::test::FakeCaScript script;
        script.renewalInfo = true;
        ca_ = std::make_unique<acme::test::FakeAcmeServer>(
            *pki_, script, [this](const std::string& name, const std::string& token) {
                const auto it = files_.find(name + "/" + token);
                return it == files_.end() ? std::nullopt : std::optional<std::string>(it->second);
            });
        return *ca_;
    }
    acme::IssuedChain Issue(const std::string& name) {
        acme::AcmeOptions options;
        options.directoryUrl = ca_->directoryUrl();
        options.caFile = pki_->caFile();
        options.accountDir = service_.path() + u"account";
        options.agreeToTerms = true;
        options.stopRequested = [] { return false; };
        const EvpPkeyPtr key = acme::test::NewEcKey();
        return acme::AcmeClient(options).Obtain(
            {name}, acme::test::MakeCsr(key.get(), {name}),
            {[this](const std::string& n, const std::string& t, const std::string& k) {
                 files_[n + "/" + t] = k;
             },
             [this](const std::string& n, const std::string& t) { files_.erase(n + "/" + t); }});
    }

    test::TempDir service_;
    std::unique_ptr<qm::test::TestPki> pki_;
    std::map<std::string, std::string> files_;
    std::unique_ptr<acme::test::FakeAcmeServer> ca_;
};

TEST_F(AcmeSourceTest, EachCaHasAnAccountFolderOfItsOwnInTheServiceDirectory) {
    const std::u16string a = AcmeAccountDirectory(u"https://acme-v02.example.org/directory");
    const std::u16string b = AcmeAccountDirectory(u"https://acme-staging.example.org/directory");
    const std::u16string c = AcmeAccountDirectory(u"https://acme-v02.example.org:8443/directory");
    const std::u16string folder = service_.path() + u"Acme" + PathSeparator();
    EXPECT_EQ(a.rfind(folder + u"acme-v02.example.org-", 0), 0u) << Utf8FromWide(a);
    EXPECT_EQ(a.back(), PathSeparator());
    EXPECT_EQ((std::set<std::u16string>{a, b, c}).size(), 3u);
    EXPECT_EQ(AcmeAccountDirectory(u"https://acme-v02.example.org/directory"), a);
    // Credentials never reach a folder name, nor does a path.
    const std::u16string secret = AcmeAccountDirectory(u"https://user:pw@ca.example/../x/dir");
    EXPECT_EQ(secret.find(u"pw"), std::u16string::npos) << Utf8FromWide(secret);
    EXPECT_EQ(secret.find(u".."), std::u16string::npos) << Utf8FromWide(secret);

    const AcmeSource source = MakeAcmeSource(u"https://ca.example/dir", true, "kid", "key");
    EXPECT_TRUE(source.enabled);
    EXPECT_TRUE(source.agreeToTerms);
    EXPECT_EQ(source.accountDir, AcmeAccountDirectory(u"https://ca.example/dir"));
    EXPECT_EQ(source.eabKid, "kid");
    EXPECT_TRUE(source.replacesCertId.empty());
}

TEST_F(AcmeSourceTest, OnlyAnHttpsAddressWithAPathIsAskedWhetherItIsAnAcmeDirectory) {
    for (const char16_t* url :
         {u"https://acme-v02.api.letsencrypt.org/directory", u"https://acme.zerossl.com/v2/DV90",
          u"https://localhost:14000/dir"})
        EXPECT_TRUE(MayBeAcmeDirectory(url)) << Utf8FromWide(url);
    for (const char16_t* url : {u"https://localhost:8443", u"https://localhost:8443/",
                                u"http://ca.example/directory", u"", u"https://"})
        EXPECT_FALSE(MayBeAcmeDirectory(url)) << Utf8FromWide(url);
    EXPECT_FALSE(IsAcmeCenter(u"https://localhost:8443", u""));
}

TEST_F(AcmeSourceTest, TheRenewalMomentIsFixedPerCertificateAndSpreadOverTheWindow) {
    const int64_t start = 1'900'000'000;
    const int64_t end = start + 86400;
    std::set<int64_t> moments;
    for (int i = 0; i < 50; ++i) {
        const std::string id = "id-" + std::to_string(i);
        const int64_t at = RenewalMomentWithin(start, end, id);
        EXPECT_GE(at, start);
        EXPECT_LT(at, end);
        EXPECT_EQ(RenewalMomentWithin(start, end, id), at);
        moments.insert(at);
    }
    EXPECT_GT(moments.size(), 45u);
    EXPECT_EQ(RenewalMomentWithin(end, start, "x"), end);  // an empty window: its start
}

TEST_F(AcmeSourceTest, TheCasRenewalInformationGivesTheMomentAndTheReplacedCertificate) {
    acme::test::FakeAcmeServer& ca = ServeWithRenewalInfo();
    const acme::IssuedChain issued = Issue("a.example.test");
    const qm::test::TestPki& pki = *pki_;

    const auto advice = AskAcmeRenewalInfo(WideFromUtf8(ca.directoryUrl()), pki.caFile(),
                                           issued.chain.certificatePem);
    ASSERT_TRUE(advice);
    EXPECT_EQ(advice->certId, ca.LastCertId());
    // The fake CA suggests 2030-01-01T00:00:00Z to 2030-01-02T00:00:00Z.
    EXPECT_EQ(advice->windowStart, 1893456000);
    EXPECT_EQ(advice->windowEnd, 1893456000 + 86400);
    EXPECT_GE(advice->renewAt, advice->windowStart);
    EXPECT_LT(advice->renewAt, advice->windowEnd);

    // No advice from a CA that cannot be reached: the policy decides.
    EXPECT_FALSE(
        AskAcmeRenewalInfo(u"https://127.0.0.1:1/dir", pki.caFile(), issued.chain.certificatePem));
}

TEST_F(AcmeSourceTest, ACaWithoutRenewalInformationGivesNoAdvice) {
    qm::test::TestPki pki;
    acme::test::FakeAcmeServer ca(pki, {}, [](const std::string&, const std::string&) {
        return std::optional<std::string>();
    });
    const EvpPkeyPtr key = acme::test::NewEcKey();
    acme::test::CertFields fields;
    fields.commonName = "a.example.test";
    fields.authorityKeyId = "key id";
    const std::string pem = acme::test::PemOf(acme::test::MakeCert(key.get(), fields).get());
    EXPECT_FALSE(AskAcmeRenewalInfo(WideFromUtf8(ca.directoryUrl()), pki.caFile(), pem));
}

// A deployer that only notes the source a renewal hands it.
class SourceRecorder : public SslCertSrvBase {
public:
    explicit SourceRecorder(std::optional<AcmeSource>& seen) : seen_(seen) {}
    void Initialize(const std::u16string&, int32_t, int32_t) override {
        seen_ = acmeSource();
        ThrowResult(result::kFailed);
    }

private:
    std::optional<AcmeSource>& seen_;
};

TEST_F(AcmeSourceTest, ARenewalFollowsTheCasWindowAndNamesTheCertificateItReplaces) {
    acme::test::FakeAcmeServer& ca = ServeWithRenewalInfo();
    const acme::IssuedChain issued = Issue("a.example.test");
    const qm::test::TestPki& pki = *pki_;

    // A deployment in force of that certificate, made through the CA.
    test::InstallConfigTemplates(test::ProgramHome());
    ASSERT_TRUE(EnsureDeploymentSettingsFile());
    DeploymentSettings settings;
    settings.webServerType = 3;
    settings.httpPort = 80;
    settings.httpsPort = 443;
    settings.sites = {u"a.example.test"};
    settings.certType = 1;
    settings.centerUrl = WideFromUtf8(ca.directoryUrl());
    settings.centerCaFile = pki.caFile();
    settings.centerIsAcme = true;
    settings.acmeTermsAgreed = true;
    SaveDeploymentSettings(DeploymentSettingsPath(), settings);
    DeploymentRecord record;
    record.folder = DeploymentHistory(service_.path()).CreateFolder();
    record.phase = u"committed";
    const std::u16string certificate = service_.path() + u"a.example.test.crt";
    ASSERT_TRUE(WriteFileAtomic(certificate, issued.chain.certificatePem));
    record.created = {certificate};
    ASSERT_TRUE(record.Save());

    std::optional<AcmeSource> seen;
    RenewalOptions renewal;
    renewal.policy.days = 100000;  // due at once by the policy alone
    renewal.factory = [&](int32_t) { return std::make_unique<SourceRecorder>(seen); };
    // The CA's window (in 2030) says not yet.
    EXPECT_EQ(RenewIfDue(renewal).outcome, RenewalPass::Outcome::NotDue);
    EXPECT_FALSE(seen);

    // Forced: the same CA and account, the old certificate named as replaced.
    renewal.force = true;
    RenewIfDue(renewal);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(seen->enabled);
    EXPECT_TRUE(seen->agreeToTerms);
    EXPECT_EQ(seen->accountDir, AcmeAccountDirectory(settings.centerUrl));
    EXPECT_EQ(seen->replacesCertId, ca.LastCertId());
}

}  // namespace
}  // namespace qm
