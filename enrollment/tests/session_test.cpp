// The enrollment session against a scripted center over loopback HTTPS:
// which requests a run sends, and how a later run resumes from the record.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>

#include "enrollment/certcentercomm.h"
#include "enrollment/tests/tls_test_server.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "tests/support/result_of.h"

namespace qm {
namespace {

using test::FailureOf;

using Types = std::vector<std::string>;

std::string Answer(const char* type, std::vector<std::pair<std::string, Json::Value>> more = {}) {
    more.insert(more.begin(), {"type", type});
    return test::JsonAnswer(more);
}

std::string ErrorAnswer(const char* error) {
    return Answer("error", {{"error", error}, {"message", "scripted"}});
}

class Session : public testing::Test {
protected:
    static void SetUpTestSuite() {
        pki_ = new test::TestPki();
        quorp crypto;
        std::string key;
        ASSERT_TRUE(crypto.MakeCsr("shop.example.test", "", csr_, key));
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }

    void SetUp() override {
        test::InstallConfigTemplates(test::ProgramHome());
        test::WriteAll(dir_ / u"csr.txt", csr_);
        verifyList_ = {{false, 80, u"shop.example.test",
                        u"http://shop.example.test:80/auth/auth.txt", dir_ / u"auth.txt"}};
        leaf_ = pki_->IssueLeaf("shop.example.test", "");
    }

    // The scripted center: by default every request succeeds at once.
    void StartCenter(test::ScriptedCenter::Rule rule = {}) {
        center_ = std::make_unique<test::ScriptedCenter>(
            *pki_, [this, rule](const Json::Value& request, int index) {
                if (rule) {
                    std::string answer = rule(request, index);
                    if (!answer.empty())
                        return answer;
                }
                return DefaultAnswer(request, index);
            });
    }

    std::string DefaultAnswer(const Json::Value& request, int index) {
        const std::string type = request["type"].asString();
        if (type == "challengeRequest")
            return Answer("challenge", {{"nonce", "nonce-" + std::to_string(index)},
                                        {"sessionID", "sess-" + std::to_string(index)}});
        if (type == "authorizationRequest")
            return Answer("authorization");
        Json::Value chain(Json::arrayValue);
        chain.append(pki_->caPem());
        return Answer("certificate", {{"certificate", leaf_}, {"chain", chain}});
    }

    // A new session, as a new run of the program makes it.
    std::unique_ptr<CertCenterComm> NewRun() {
        auto session = std::make_unique<CertCenterComm>();
        session->Initialize(center_->Url(), u"general", u"", true, pki_->caFile());
        return session;
    }

    void Verify(CertCenterComm& session) { session.DomainVerify(verifyList_, u"nginx", u"1.22.1"); }
    void Request(CertCenterComm& session) {
        session.CertRequest(dir_ / u"csr.txt", dir_ / u"sslcert", u"shop.example.test", 3);
    }

    std::string Record() { return test::ReadAll(CertCenterComm::RecordPath()); }
    bool RecordHas(const std::string& text) { return Record().find(text) != std::string::npos; }

    static test::TestPki* pki_;
    static std::string csr_;
    test::TempDir dir_;
    std::vector<DomainVerifyInfo> verifyList_;
    std::string leaf_;
    std::unique_ptr<test::ScriptedCenter> center_;
};
test::TestPki* Session::pki_ = nullptr;
std::string Session::csr_;

TEST_F(Session, FreshEnrollmentSendsChallengeAuthorizationAndCertificateRequest) {
    StartCenter();
    auto run = NewRun();
    Verify(*run);
    Request(*run);
    EXPECT_EQ(center_->RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "certificateRequest"}));
    const std::vector<Json::Value> requests = center_->Requests();
    EXPECT_EQ(requests[1]["nonce"].asString(), "nonce-0");
    EXPECT_EQ(requests[1]["sessionID"].asString(), "sess-0");
    EXPECT_EQ(requests[1]["customerID"].asString(), "general");
    EXPECT_EQ(requests[2]["csr"].asString(), csr_);
    EXPECT_TRUE(requests[2]["templateID"].isUInt());
    EXPECT_EQ(requests[2]["templateID"].asUInt(), 3u);
    EXPECT_EQ(requests[1]["publicKey"], requests[2]["publicKey"]);

    EXPECT_TRUE(RecordHas("succeed=\"yes\" isRecvedInfo=\"true\"")) << Record();
    EXPECT_EQ(test::ReadAll(dir_ / u"sslcert/shop.example.test.crt"), HostTextBytes(leaf_));
    EXPECT_EQ(test::ReadAll(dir_ / u"sslcert/shop.example.test.chain.crt"),
              HostTextBytes(pki_->caPem()));
    std::string_view certificate, chain;
    std::vector<std::string> chainList;
    run->ExportCertificate(certificate, chain, chainList);
    EXPECT_EQ(certificate, leaf_);
    EXPECT_EQ(chainList.size(), 1u);

    // Once a certificate has been issued, the next run starts afresh.
    center_->ClearLog();
    auto next = NewRun();
    Verify(*next);
    EXPECT_EQ(center_->RequestTypes(), (Types{"challengeRequest", "authorizationRequest"}));
}

TEST_F(Session, UnknownOnceStartsOverWithANewChallenge) {
    StartCenter([](const Json::Value& request, int index) {
        return request["type"] == "authorizationRequest" && index == 0 ? ErrorAnswer("unknown")
                                                                       : std::string();
    });
    auto run = NewRun();
    Verify(*run);
    Request(*run);
    EXPECT_EQ(center_->RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "challengeRequest",
                     "authorizationRequest", "certificateRequest"}));
    EXPECT_EQ(center_->Requests()[3]["nonce"].asString(), "nonce-1");
    EXPECT_NE(center_->Requests()[1]["publicKey"], center_->Requests()[3]["publicKey"]);
}

TEST_F(Session, UnknownEveryTimeGivesUpAfterThreeAttempts) {
    StartCenter([](const Json::Value& request, int) {
        return request["type"] == "challengeRequest" ? std::string() : ErrorAnswer("unknown");
    });
    auto run = NewRun();
    EXPECT_EQ(FailureOf([&] { Verify(*run); }),
              "The server does not recognize an ID/token in the request");
    EXPECT_EQ(center_->RequestTypes(),
              (Types{"challengeRequest", "authorizationRequest", "challengeRequest",
                     "authorizationRequest", "challengeRequest", "authorizationRequest"}));
    EXPECT_TRUE(RecordHas("curStep=\"\" succeed=\"yes\"")) << Record();
}

TEST_F(Session, DeferredRequestResumesInALaterRunWithStatusRequestsOnly) {
    std::string logBefore;
    ReadFileBytes(CurrentLogFilePath(), logBefore);
    std::atomic<bool> approved{false};
    std::atomic<int> recvedDuringStatus{-1};
    StartCenter([&](const Json::Value& request, int) {
        if (request["type"] == "certificateRequest")
            return Answer("defer", {{"token", "tok-1"}});
        if (request["type"] == "statusRequest") {
            // The window thread's view while a status request is under way.
            recvedDuringStatus = CertCenterComm::IsDeferReqRecved() ? 1 : 0;
            return approved ? std::string() : Answer("defer", {{"token", "tok-1"}});
        }
        return std::string();
    });
    {
        auto run = NewRun();
        Verify(*run);
        EXPECT_EQ(FailureOf([&] { Request(*run); }), "defer cert state");
    }
    EXPECT_TRUE(RecordHas("curStep=\"requestDeferCert\" succeed=\"no\" isRecvedInfo=\"true\""))
        << Record();
    EXPECT_TRUE(RecordHas("<step name=\"requestDeferCert\" token=\"tok-1\"/>")) << Record();
    // Deferral is not an error.
    std::string log;
    ReadFileBytes(CurrentLogFilePath(), log);
    ASSERT_GE(log.size(), logBefore.size());
    EXPECT_EQ(log.find("[Error] CertCenterComm::CertRequest", logBefore.size()), std::string::npos);

    center_->ClearLog();
    auto later = NewRun();
    Verify(*later);
    EXPECT_EQ(FailureOf([&] { Request(*later); }), "defer cert state");
    EXPECT_TRUE(center_->RequestTypes().empty());
    EXPECT_EQ(FailureOf([&] { later->CertDeferRequest(); }), "defer cert state");
    EXPECT_EQ(recvedDuringStatus, 0);
    EXPECT_TRUE(CertCenterComm::IsDeferReqRecved());
    approved = true;
    later->CertDeferRequest();
    EXPECT_EQ(center_->RequestTypes(), (Types{"statusRequest", "statusRequest"}));
    const Json::Value status = center_->Requests()[1];
    EXPECT_EQ(status["token"].asString(), "tok-1");
    EXPECT_EQ(status["templateID"].asUInt(), 3u);
    EXPECT_EQ(test::ReadAll(dir_ / u"sslcert/shop.example.test.crt"), HostTextBytes(leaf_));
    EXPECT_TRUE(RecordHas("succeed=\"yes\" isRecvedInfo=\"true\"")) << Record();
    EXPECT_TRUE(RecordHas("token=\"tok-1\" deferRecv=\"true\"")) << Record();
}

TEST_F(Session, ResumesAtTheStepTheRecordNames) {
    // The authorization fails for a reason of its own: the next run repeats
    // only the authorization, with the stored nonce.
    std::atomic<bool> refuse{true};
    StartCenter([&](const Json::Value& request, int) {
        return request["type"] == "authorizationRequest" && refuse ? ErrorAnswer("verifyFailed")
                                                                   : std::string();
    });
    auto run = NewRun();
    EXPECT_EQ(FailureOf([&] { Verify(*run); }), "error: verifyFailed, message: scripted");
    refuse = false;
    center_->ClearLog();
    auto later = NewRun();
    Verify(*later);
    Request(*later);
    EXPECT_EQ(center_->RequestTypes(), (Types{"authorizationRequest", "certificateRequest"}));
    EXPECT_EQ(center_->Requests()[0]["nonce"].asString(), "nonce-0");
}

TEST_F(Session, InterruptedRequestOrChangedDemandMeansANewChallenge) {
    StartCenter([](const Json::Value& request, int) {
        return request["type"] == "certificateRequest" ? Answer("defer", {{"token", "t"}})
                                                       : std::string();
    });
    {
        auto run = NewRun();
        Verify(*run);
        EXPECT_EQ(FailureOf([&] { Request(*run); }), "defer cert state");
    }
    // Another port for the same domain is another demand.
    center_->ClearLog();
    verifyList_[0].sitePort = 8080;
    auto changed = NewRun();
    Verify(*changed);
    EXPECT_EQ(center_->RequestTypes(), (Types{"challengeRequest", "authorizationRequest"}));
    EXPECT_TRUE(RecordHas("port=\"8080\"")) << Record();

    // A run that ended while its request was under way starts over.
    changed->SetRecvedInfo(false);
    center_->ClearLog();
    auto interrupted = NewRun();
    Verify(*interrupted);
    EXPECT_EQ(center_->RequestTypes(), (Types{"challengeRequest", "authorizationRequest"}));
}

TEST_F(Session, ErrorAnswersReachTheCallerAsTheirResultTexts) {
    StartCenter([](const Json::Value& request, int) {
        if (request["type"] == "challengeRequest")
            return ErrorAnswer("highFrequency");
        return std::string();
    });
    auto run = NewRun();
    EXPECT_EQ(FailureOf([&] { Verify(*run); }), "high frequency challenge request error");
    EXPECT_EQ(center_->RequestTypes(), (Types{"challengeRequest"}));

    center_ = nullptr;
    StartCenter([](const Json::Value& request, int) {
        if (request["type"] == "certificateRequest")
            return Answer("defer", {{"token", "t"}});
        if (request["type"] == "statusRequest")
            return ErrorAnswer("publicKeyIllegal");
        return std::string();
    });
    auto deferred = NewRun();
    Verify(*deferred);
    EXPECT_EQ(FailureOf([&] { Request(*deferred); }), "defer cert state");
    EXPECT_EQ(FailureOf([&] { deferred->CertDeferRequest(); }),
              "The client public key not exist/exceed time limit");
    EXPECT_TRUE(RecordHas("isRecvedInfo=\"true\"")) << Record();
    EXPECT_TRUE(CertCenterComm::IsDeferReqRecved());
}

TEST_F(Session, TooFrequentCertificateRequestsSayWhichStepWasRefused) {
    StartCenter([](const Json::Value& request, int) {
        if (request["type"] == "certificateRequest")
            return ErrorAnswer("highFrequency");
        return std::string();
    });
    auto run = NewRun();
    Verify(*run);
    EXPECT_EQ(FailureOf([&] { Request(*run); }), "high frequency certificate request error");
}

TEST_F(Session, TooFrequentStatusRequestsSayWhichStepWasRefused) {
    StartCenter([](const Json::Value& request, int) {
        if (request["type"] == "certificateRequest")
            return Answer("defer", {{"token", "t"}});
        if (request["type"] == "statusRequest")
            return ErrorAnswer("highFrequency");
        return std::string();
    });
    auto deferred = NewRun();
    Verify(*deferred);
    EXPECT_EQ(FailureOf([&] { Request(*deferred); }), "defer cert state");
    EXPECT_EQ(FailureOf([&] { deferred->CertDeferRequest(); }),
              "high frequency certificate request error");
}

TEST_F(Session, UnreachableCenterIsACommunicationFailure) {
    StartCenter();
    const std::u16string url = center_->Url();
    center_ = nullptr;
    CertCenterComm run;
    run.Initialize(url, u"general", u"", true, pki_->caFile());
    EXPECT_EQ(FailureOf([&] { Verify(run); }), "communication failed");
}

}  // namespace
}  // namespace qm
