// The enrollment session: the order of the exchanges and how a later run
// resumes from the progress record.
#include "enrollment/certcentercomm.h"

#include "enrollment/communicator.h"
#include "enrollment/jsonanswer.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

std::string AnswerType(const std::string& answer) {
    Json::Value root;
    ParseAnswer(answer, root);
    return StringMember(root, "type");
}

}  // namespace

CertCenterComm::CertCenterComm() = default;

CertCenterComm::~CertCenterComm() {
    Uninit();
}

void CertCenterComm::Initialize(std::u16string_view baseUrl, std::u16string_view customerId,
                                std::u16string_view logFolder, bool noLogFolder,
                                std::u16string_view caFile) {
    if (!noLogFolder)
        SetLogDirectory(NarrowFromWide(logFolder));
    RunOperation("CertCenterComm::Initialize",
                 [&] {
                     Uninit();
                     baseUrl_ = baseUrl;
                     customerId_ = customerId;
                     recordPath_ = RecordPath();
                     auto record = std::make_unique<XmlDocument>();
                     if (!record->Load(recordPath_)) {
                         LogError(u"CertCenterComm::Initialize, progress record %s: %s",
                                  recordPath_, record->ResultText());
                         ThrowResult(result::kUndefined);
                     }
                     record_ = std::move(record);
                     transport_ = std::make_unique<CCommunicator>(baseUrl_, std::u16string(caFile));
                 },
                 {.logFailure = true});
}

void CertCenterComm::Uninit() {
    FreeSelfKey();
    certificate_.clear();
    chain_.clear();
    chainList_.clear();
    record_.reset();
    transport_.reset();
}

void CertCenterComm::RequireInitialized() const {
    if (!record_ || !transport_) {
        LogError("CertCenterComm: used before Initialize");
        ThrowResult(result::kUndefined);
    }
}

void CertCenterComm::LogSiteVerifyInfoParam() {
    LogTrace("");
    LogTrace("CertCenterComm::LogSiteVerifyInfoParam");
    LogInfo(u"webType: %s", webType_);
    LogInfo(u"webVersion: %s", webVersion_);
    for (const DomainVerifyInfo& info : verifyList_) {
        LogInfo(u"domain: %s", info.siteAddr);
        LogInfo(u"isHttps: %s", info.isHttps ? u"true" : u"false");
        LogInfo(u"port: %d", info.sitePort);
        LogInfo(u"verifyFileLocalPath: %s", info.verifyFileLocalPath);
        LogInfo(u"verifyFileUrlPath: %s", info.verifyFileUrlPath);
    }
    LogTrace("");
}

void CertCenterComm::SetDemand(const std::vector<DomainVerifyInfo>& verifyList,
                               std::u16string_view webType, std::u16string_view webVersion) {
    verifyList_ = verifyList;
    webType_ = webType;
    webVersion_ = webVersion;
    // One record per domain: an HTTP and an HTTPS site of the same domain
    // are one demand.
    demandList_.clear();
    for (const DomainVerifyInfo& info : verifyList_) {
        bool seen = false;
        for (const DomainVerifyInfo& taken : demandList_)
            seen = seen || EqualsIgnoreCaseAscii(taken.siteAddr, info.siteAddr);
        if (!seen)
            demandList_.push_back(info);
    }
}

void CertCenterComm::DomainVerify(const std::vector<DomainVerifyInfo>& verifyList,
                                  std::u16string_view webType, std::u16string_view webVersion) {
    RunOperation("CertCenterComm::DomainVerify",
                 [&] {
                     RequireInitialized();
                     for (int attempt = 1;; ++attempt) {
                         try {
                             SetDemand(verifyList, webType, webVersion);
                             LogSiteVerifyInfoParam();
                             SendChallengeRequest();
                             SetSucceed(false);
                             LoadKeyPair();
                             SendAuthRequest();
                             return;
                         } catch (const std::exception& e) {
                             if (!IsResult(e, result::kUnknownId))
                                 throw;
                             // The center has forgotten the session: start over with
                             // a new challenge, a bounded number of times.
                             LogInfo("StateCodeUnknowID! goto _verify_again!");
                             ResetProcess();
                             if (attempt >= kMaxDomainVerifyAttempts) {
                                 LogWarn(
                                     "CertCenterComm::DomainVerify, giving up after %d attempts",
                                     attempt);
                                 throw;
                             }
                         }
                     }
                 },
                 {.logFailure = true});
}

void CertCenterComm::SendChallengeRequest() {
    RunOperation("CertCenterComm::SendChallengeRequest", [&] {
        const bool succeeded =
            GoToTopElement(u"process") && record_->GetAttribute(u"succeed") == u"yes";
        const bool changed = IsDemandChanged();
        if (!changed && !succeeded && IsRecvedInfo()) {
            // The stored nonce, session and client key carry on.
            LogInfo("challengeRequest skipped: resuming the stored enrollment");
            return;
        }
        LogInfo("begin challengeRequest\n");
        const std::string answer = transport_->Post(CreateChallengeRequest());
        CheckResponse(answer, Exchange::Challenge);
        LogInfo("complete: challengeRequest\n");
        Json::Value root;
        ParseAnswer(answer, root);
        const std::string nonce = StringMember(root, "nonce");
        const std::string sessionId = StringMember(root, "sessionID");
        if (changed)
            SaveDemand();
        SaveAuthStep(nonce, sessionId);
        CreateSelfKeyPair();
        SaveKeyFiles();
        FreeSelfKey();
    });
}

void CertCenterComm::SendAuthRequest() {
    RunOperation("CertCenterComm::SendAuthRequest", [&] {
        if (!IsWaitAuth())
            return;
        const auto [nonce, sessionId] = ReadAuthStep();
        const std::string answer = transport_->Post(CreateAuthRequest(sessionId, nonce));
        CheckResponse(answer, Exchange::Authorization);
        LogInfo("complete: authorize request\n");
        SetCurStep(u"requestCert");
    });
}

void CertCenterComm::CertRequest(std::u16string_view requestFilePath,
                                 std::u16string_view certFolder, std::u16string_view certName,
                                 int certType) {
    RunOperation("CertCenterComm::CertRequest", [&] {
        RequireInitialized();
        requestFilePath_ = requestFilePath;
        certFolder_ = certFolder;
        certFileName_ = std::u16string(certName) + u".crt";
        chainFileName_ = std::u16string(certName) + u".chain.crt";
        certType_ = certType;
        LogInfo("certType: %d", certType_);
        LogInfo(u"certFilename %s", certFileName_);
        LogInfo(u"certDir %s", certFolder_);
        SetRecvedInfo(false);
        try {
            const std::string answer = SendCertRequest();
            if (IsWaitDeferCert())
                ThrowResult(result::kDeferCertState);
            ParseRecvCert(answer);
            SaveCertFile();
        } catch (const std::exception& e) {
            SetRecvedInfo(true);
            if (!IsResult(e, result::kDeferCertState))
                LogError("%s : %s", "CertCenterComm::CertRequest", e.what());
            throw;
        }
        SetRecvedInfo(true);
    });
}

std::string CertCenterComm::SendCertRequest() {
    return RunOperation("CertCenterComm::SendCertRequest", [&] {
        if (!IsWaitCert())
            return std::string();
        SaveCertStep(certType_);
        const std::string csr = ReadTextFileLf(requestFilePath_);
        const int templateId = ReadRequestCertInfo();
        std::string answer = transport_->Post(CreateCertRequest(csr, templateId));
        CheckResponse(answer, Exchange::Certificate);
        const std::string type = AnswerType(answer);
        if (type == "defer") {
            Json::Value root;
            ParseAnswer(answer, root);
            SaveDeferStep(StringMember(root, "token"));
        } else if (type == "certificate") {
            MarkCertificateReceived();
        }
        return answer;
    });
}

void CertCenterComm::CertDeferRequest() {
    RunOperation("CertCenterComm::CertDeferRequest", [&] {
        RequireInitialized();
        SetDeferRecv(false);
        SetRecvedInfo(false);
        try {
            const std::string answer = SendDeferCertRequest();
            if (AnswerType(answer) == "defer")
                ThrowResult(result::kDeferCertState);
            ParseRecvCert(answer);
            SaveCertFile();
        } catch (const std::exception& e) {
            SetRecvedInfo(true);
            SetDeferRecv(true);
            if (!IsResult(e, result::kDeferCertState))
                LogError("%s : %s", "CertCenterComm::CertDeferRequest", e.what());
            throw;
        }
        SetRecvedInfo(true);
        SetDeferRecv(true);
    });
}

std::string CertCenterComm::SendDeferCertRequest() {
    return RunOperation("CertCenterComm::SendDeferCertRequest", [&] {
        const int templateId = ReadRequestCertInfo();
        const std::string token = ReadDeferStep();
        std::string answer = transport_->Post(CreateStatusRequest(token, templateId));
        CheckResponse(answer, Exchange::Status);
        if (AnswerType(answer) == "certificate")
            MarkCertificateReceived();
        return answer;
    });
}

}  // namespace qm
