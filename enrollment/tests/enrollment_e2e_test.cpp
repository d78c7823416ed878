// The enrollment client against the real certificate center over HTTPS, with
// the verification files served by a local web site under test domain names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace qm {
namespace {

using test::FailureOf;

using e2e::CertCenterProcess;
using e2e::StaticFileServer;
using Types = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kDomain = "shop.example.test";

std::string AttributeIn(const std::string& text, const std::string& name) {
    const std::string key = name + "=\"";
    const size_t from = text.find(key);
    if (from == std::string::npos)
        return {};
    const size_t start = from + key.size();
    return text.substr(start, text.find('"', start) - start);
}

class EnrollmentE2e : public testing::Test {
protected:
    static void SetUpTestSuite() {
        quorp crypto;
        std::string key;
        ASSERT_TRUE(crypto.MakeCsr(kDomain, "", csr_, key));
    }

    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        std::filesystem::create_directories(site_.narrow() + "auth");
        site_server_ = std::make_unique<StaticFileServer>(site_.narrow());
        test::WriteAll(work_ / u"csr.txt", csr_);
        test::InstallConfigTemplates(test::ProgramHome());
    }

    std::vector<DomainVerifyInfo> VerifyList() const {
        return {{false, site_server_->port(), WideFromUtf8(kDomain),
                 WideFromUtf8(site_server_->UrlFor(kDomain, "/auth/auth.txt")),
                 site_ / u"auth/auth.txt"}};
    }

    std::unique_ptr<CertCenterComm> NewSession(const CertCenterProcess& center,
                                               const std::string& caFile) {
        auto session = std::make_unique<CertCenterComm>();
        session->Initialize(WideFromUtf8(center.url()), u"general", u"", true,
                            WideFromUtf8(caFile));
        return session;
    }
    std::unique_ptr<CertCenterComm> NewSession(const CertCenterProcess& center) {
        return NewSession(center, center.caFile());
    }

    void Verify(CertCenterComm& session) {
        session.DomainVerify(VerifyList(), u"nginx", u"1.22.1");
    }
    void Request(CertCenterComm& session) {
        session.CertRequest(work_ / u"csr.txt", work_ / u"conf/sslcert", WideFromUtf8(kDomain), 1);
    }
    std::u16string CertFile(const char16_t* suffix) const {
        return work_ / (u"conf/sslcert/" + WideFromUtf8(kDomain) + suffix);
    }

    static std::string csr_;
    test::TempDir site_;
    test::TempDir work_;
    std::unique_ptr<StaticFileServer> site_server_;
};
std::string EnrollmentE2e::csr_;

TEST_F(EnrollmentE2e, FreshEnrollmentObtainsTheCertificate) {
    CertCenterProcess center;
    auto session = NewSession(center);
    Verify(*session);
    Request(*session);

    EXPECT_EQ(center.RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "certificateRequest"}));
    std::string_view certificate, chain;
    std::vector<std::string> chainList;
    session->ExportCertificate(certificate, chain, chainList);
    EXPECT_EQ(test::ReadAll(CertFile(u".crt")), certificate);
    EXPECT_EQ(test::ReadAll(CertFile(u".chain.crt")), chain);
    EXPECT_EQ(chain, test::ReadAll(WideFromUtf8(center.caFile())));
    quorp crypto;
    EXPECT_NE(crypto.LoadCert(std::string_view(certificate)), nullptr);

    const std::string record = test::ReadAll(CertCenterComm::RecordPath());
    EXPECT_EQ(AttributeIn(record, "succeed"), "yes") << record;
    EXPECT_EQ(AttributeIn(record, "isRecvedInfo"), "true") << record;
    EXPECT_EQ(site_server_->Fetched(), (Types{std::string(kDomain) + " /auth/auth.txt"}));
}

TEST_F(EnrollmentE2e, VerificationFileHoldsTheEncryptLinesWithCrLf) {
    CertCenterProcess center;
    auto session = NewSession(center);
    Verify(*session);
    const std::string file = test::ReadAll(site_ / u"auth/auth.txt");
    // RSA PKCS#1 v1.5 signatures are deterministic: signing the stored nonce
    // again gives the "encrypt" value that was sent.
    const std::string encrypt = session->SignText(session->ReadAuthStep().first);
    std::string expected;
    for (char c : encrypt)
        expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(file, expected);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\r'), 5);
    EXPECT_NE(file.back(), '\n');
    EXPECT_EQ(file.size(), 344u + 10u);
}

TEST_F(EnrollmentE2e, UnknownOnceLeadsToANewChallenge) {
    CertCenterProcess center({"--fail-authorization", "unknown:once"});
    auto session = NewSession(center);
    Verify(*session);
    Request(*session);
    EXPECT_EQ(center.RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "challengeRequest",
                     "authorizationRequest", "certificateRequest"}));
    EXPECT_TRUE(FileExists(CertFile(u".crt")));
}

TEST_F(EnrollmentE2e, UnknownEveryTimeStopsAfterThreeChallenges) {
    CertCenterProcess center({"--fail-authorization", "unknown:always"});
    auto session = NewSession(center);
    EXPECT_EQ(FailureOf([&] { Verify(*session); }),
              "The server does not recognize an ID/token in the request");
    const Types types = center.RequestTypes();
    EXPECT_EQ(std::count(types.begin(), types.end(), "challengeRequest"), 3);
}

TEST_F(EnrollmentE2e, HighFrequencyIsReportedWithItsResultText) {
    CertCenterProcess center({"--fail-challenge", "highFrequency"});
    auto session = NewSession(center);
    EXPECT_EQ(FailureOf([&] { Verify(*session); }), "high frequency challenge request error");
    EXPECT_EQ(center.RequestTypes(), (Types{"challengeRequest"}));
}

TEST_F(EnrollmentE2e, HighFrequencyOnTheCertificateRequestNamesThatStep) {
    CertCenterProcess center({"--fail-certificate", "highFrequency"});
    auto session = NewSession(center);
    Verify(*session);
    EXPECT_EQ(FailureOf([&] { Request(*session); }), "high frequency certificate request error");
}

TEST_F(EnrollmentE2e, HighFrequencyOnTheStatusRequestNamesTheCertificateStep) {
    CertCenterProcess center({"--defer", "--fail-status", "highFrequency"});
    auto session = NewSession(center);
    Verify(*session);
    EXPECT_EQ(FailureOf([&] { Request(*session); }), "defer cert state");
    EXPECT_EQ(FailureOf([&] { session->CertDeferRequest(); }),
              "high frequency certificate request error");
}

TEST_F(EnrollmentE2e, IllegalPublicKeyOnStatusIsReportedWithItsResultText) {
    CertCenterProcess center({"--defer", "--fail-status", "publicKeyIllegal"});
    auto session = NewSession(center);
    Verify(*session);
    EXPECT_EQ(FailureOf([&] { Request(*session); }), "defer cert state");
    EXPECT_EQ(FailureOf([&] { session->CertDeferRequest(); }),
              "The client public key not exist/exceed time limit");
}

TEST_F(EnrollmentE2e, UntrustedCenterIsACommunicationFailure) {
    CertCenterProcess center;
    CertCenterProcess stranger;
    // Neither the system store nor the configured anchor vouches for it.
    auto untrusted = NewSession(center, "");
    EXPECT_EQ(FailureOf([&] { Verify(*untrusted); }), "communication failed");
    auto wrongAnchor = NewSession(center, stranger.caFile());
    EXPECT_EQ(FailureOf([&] { Verify(*wrongAnchor); }), "communication failed");
    EXPECT_TRUE(center.RequestTypes().empty());
}

// The client program, run as its own process.
class ClientProcess {
public:
    ClientProcess(const std::vector<std::string>& args, const std::string& home,
                  const std::string& outputFile)
        : output_(outputFile) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (outputFile + ".err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> env = {"QUILLMATE_HOME=" + home};
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("QUILLMATE_HOME=", 0) != 0)
                env.emplace_back(*e);
        }
        std::vector<char*> argv = {const_cast<char*>(QUILLMATE_E2E_CLIENT)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const int rc =
            posix_spawn(&pid_, QUILLMATE_E2E_CLIENT, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            pid_ = -1;
    }
    ~ClientProcess() { Kill(); }

    bool started() const { return pid_ > 0; }
    std::string Output() const {
        std::string text;
        ReadFileBytes(WideFromUtf8(output_), text);
        return text;
    }
    // Waits until the output holds `text` `times` times; false on time-out
    // or when the process ends first.
    bool WaitForOutput(const std::string& text, int times, milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (steady_clock::now() < end) {
            const std::string out = Output();
            int found = 0;
            for (size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1))
                ++found;
            if (found >= times)
                return true;
            if (Exited())
                return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }
    // The exit code, or -1 when it is still running after `limit`.
    int Wait(milliseconds limit) {
        const auto end = steady_clock::now() + limit;
        while (!Exited()) {
            if (steady_clock::now() >= end)
                return -1;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return exitCode_;
    }
    void Kill() {
        if (pid_ > 0 && !Exited()) {
            kill(pid_, SIGKILL);
            Wait(milliseconds(5000));
        }
    }

private:
    bool Exited() {
        if (pid_ <= 0)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return true;
        }
        return false;
    }

    std::string output_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

TEST_F(EnrollmentE2e, DeferredRequestSurvivesAKilledClient) {
    CertCenterProcess center({"--defer"});
    test::TempDir home;
    test::InstallConfigTemplates(home.path());
    const std::vector<DomainVerifyInfo> verify = VerifyList();
    auto args = [&](const char* pollMs) {
        return std::vector<std::string>{center.url(),
                                        center.caFile(),
                                        kDomain,
                                        Utf8FromWide(verify[0].verifyFileUrlPath),
                                        Utf8FromWide(verify[0].verifyFileLocalPath),
                                        work_.narrow() + "csr.txt",
                                        work_.narrow() + "conf/sslcert",
                                        pollMs};
    };
    const std::u16string record = home / u"Config/Trace.xml";

    // First run: deferred, polled once, then killed while it waits.
    {
        ClientProcess first(args("60000"), home.narrow(), work_.narrow() + "first.out");
        ASSERT_TRUE(first.started());
        ASSERT_TRUE(first.WaitForOutput("deferred", 1, milliseconds(60000))) << first.Output();
        first.Kill();
    }
    EXPECT_EQ(center.RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "certificateRequest"}));
    const std::string waiting = test::ReadAll(record);
    EXPECT_EQ(AttributeIn(waiting, "curStep"), "requestDeferCert") << waiting;
    EXPECT_EQ(AttributeIn(waiting, "isRecvedInfo"), "true") << waiting;
    const std::string token = AttributeIn(waiting, "token");
    ASSERT_FALSE(token.empty()) << waiting;

    // Second run: status requests only, until the certificate is approved.
    const size_t before = center.RequestTypes().size();
    ClientProcess second(args("100"), home.narrow(), work_.narrow() + "second.out");
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(second.WaitForOutput("deferred", 3, milliseconds(60000))) << second.Output();
    EXPECT_EQ(center.Approve(token), 0);
    EXPECT_EQ(second.Wait(milliseconds(60000)), 0) << second.Output();
    EXPECT_NE(second.Output().find("result: succeed"), std::string::npos) << second.Output();

    const Types types = center.RequestTypes();
    ASSERT_GT(types.size(), before + 2);
    for (size_t i = before; i < types.size(); ++i)
        EXPECT_EQ(types[i], "statusRequest") << i;
    EXPECT_FALSE(test::ReadAll(CertFile(u".crt")).empty());
    EXPECT_EQ(test::ReadAll(CertFile(u".chain.crt")), test::ReadAll(WideFromUtf8(center.caFile())));
    const std::string done = test::ReadAll(record);
    EXPECT_EQ(AttributeIn(done, "succeed"), "yes") << done;
    EXPECT_EQ(AttributeIn(done, "isRecvedInfo"), "true") << done;
}

}  // namespace
}  // namespace qm
