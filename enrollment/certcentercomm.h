// CertCenterComm: the enrollment session. It drives the exchanges with the
// certificate center (challenge, authorization, certificate request, status
// requests while the center defers), keeps its progress in
// "Config/Trace.xml" so that an interrupted or deferred enrollment resumes
// where it stopped, writes the domain-verification files and keeps the
// issued certificate and its chain.
//
// Call order: Initialize, DomainVerify, CertRequest, then on
// "defer cert state" any number of CertDeferRequest calls; ExportCertificate
// after each call that did not fail.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "enrollment/domainverifyinfo.h"

namespace qm {

class CCommunicator;
class XmlDocument;

// A calendar date and time in local time.
struct CalendarTime {
    int year = 0;
    int month = 0;
    int dayOfWeek = 0;  // 0 = Sunday
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

// The local calendar time of seconds since 1970 (all zero when it has none).
CalendarTime LocalCalendarTime(int64_t secondsSinceEpoch);

class CertCenterComm {
public:
    // How often DomainVerify starts over while the center does not know the
    // request's identifier; the last failure then passes on.
    static constexpr int kMaxDomainVerifyAttempts = 3;
    static constexpr std::string_view kKeyPassPhrase = "plenkovar";

    CertCenterComm();
    ~CertCenterComm();
    CertCenterComm(const CertCenterComm&) = delete;
    CertCenterComm& operator=(const CertCenterComm&) = delete;

    // Loads the progress record and creates the transport for `baseUrl`,
    // trusting `caFile` (PEM) besides the system's trust store. The log
    // folder is used only when `noLogFolder` is false.
    void Initialize(std::u16string_view baseUrl, std::u16string_view customerId,
                    std::u16string_view logFolder, bool noLogFolder,
                    std::u16string_view caFile = {});
    void Uninit();

    // The domains to certify and the server they are for; DomainVerify
    // starts with this.
    void SetDemand(const std::vector<DomainVerifyInfo>& verifyList, std::u16string_view webType,
                   std::u16string_view webVersion);
    // Challenge and authorization for the domains.
    void DomainVerify(const std::vector<DomainVerifyInfo>& verifyList, std::u16string_view webType,
                      std::u16string_view webVersion);
    // Submits the CSR file; writes certName + ".crt" and ".chain.crt" into
    // certFolder when the certificate arrives; "defer cert state" otherwise.
    void CertRequest(std::u16string_view requestFilePath, std::u16string_view certFolder,
                     std::u16string_view certName, int certType);
    // One status request for a deferred certificate.
    void CertDeferRequest();

    // The session keeps the texts; the views live until Uninit.
    void ExportCertificate(std::string_view& certificate, std::string_view& chain,
                           std::vector<std::string>& chainList) const;
    const CalendarTime& ExpiryTime() const { return expiryTime_; }

    // --- enrollment messages ---
    std::string CreateChallengeRequest();
    // Also writes the verification files.
    std::string CreateAuthRequest(const std::string& sessionId, const std::string& nonce);
    std::string CreateCertRequest(const std::string& csr, int templateId);
    std::string CreateStatusRequest(const std::string& token, int templateId);
    // The request an answer replies to.
    enum class Exchange { Challenge, Authorization, Certificate, Status };
    // Fails with the result text the answer calls for. "highFrequency" names
    // the step that was refused (a challenge or authorization, or a
    // certificate or status request); only the answer to a status request
    // may say "publicKeyIllegal".
    void CheckResponse(const std::string& answer, Exchange exchange);
    std::string SignText(const std::string& text);
    void WriteVerifyFiles(const std::string& content);
    void ParseRecvCert(const std::string& answer);

    // --- keys and certificate files ---
    void CreateSelfKeyPair();
    void SaveKeyFiles();
    void FreeSelfKey();
    void LoadKeyPair();
    void SaveCertFile();

    // --- progress record ---
    bool IsWaitAuth();
    bool IsWaitCert();
    bool IsWaitDeferCert();
    void SetCurStep(std::u16string_view step);
    void SetSucceed(bool succeed);
    void ResetProcess();
    bool IsRecvedInfo();
    void SetRecvedInfo(bool received);
    void SaveAuthStep(const std::string& nonce, const std::string& session);
    // nonce, session
    std::pair<std::string, std::string> ReadAuthStep();
    void SaveCertStep(int certType);
    int ReadRequestCertInfo();
    void SaveDeferStep(const std::string& token);
    std::string ReadDeferStep();
    void SetDeferRecv(bool received);
    bool IsDemandChanged();
    void SaveDemand();
    // Whether the last status request has been answered; reads the record on
    // its own, so the window thread can ask while the session works.
    static bool IsDeferReqRecved();

    static std::u16string RecordPath();
    const std::string& PublicKeyText() const { return publicKey_; }
    const std::string& PrivateKeyText() const { return privateKey_; }
    const std::vector<DomainVerifyInfo>& DemandList() const { return demandList_; }

private:
    void RequireInitialized() const;
    void SendChallengeRequest();
    void SendAuthRequest();
    std::string SendCertRequest();
    std::string SendDeferCertRequest();
    void LogSiteVerifyInfoParam();
    void MarkCertificateReceived();

    // Record navigation: position on config/<child>; false when missing.
    bool GoToTopElement(std::u16string_view child);
    // Positions on the first "step" child of process named `name`, adding it
    // when there is none; false when the record has no process element.
    bool FindOrAddStep(std::u16string_view name, bool ignoreCase);
    bool FindStep(std::u16string_view name, bool ignoreCase);
    void SaveRecord();
    bool IsCurStep(std::u16string_view step, const char* operation);
    void SetProcessAttribute(std::u16string_view name, std::u16string_view value);

    std::u16string baseUrl_;
    std::u16string customerId_;
    std::vector<DomainVerifyInfo> verifyList_;
    std::vector<DomainVerifyInfo> demandList_;
    std::u16string webType_;
    std::u16string webVersion_ = u"0.0.0.0";
    std::unique_ptr<CCommunicator> transport_;
    int certType_ = 0;
    std::u16string certFolder_;
    std::u16string certFileName_;
    std::u16string chainFileName_;
    std::u16string requestFilePath_;
    std::u16string recordPath_;
    std::unique_ptr<XmlDocument> record_;
    std::string keyPassPhrase_{kKeyPassPhrase};
    std::string publicKey_;
    std::string privateKey_;
    CalendarTime expiryTime_;
    std::string certificate_;
    std::string chain_;
    std::vector<std::string> chainList_;
};

}  // namespace qm
