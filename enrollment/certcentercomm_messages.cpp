// The enrollment messages: requests built as JSON objects and written with
// JsonCpp's StyledWriter, the common error check of every answer, the
// "encrypt" signature and the domain-verification files.
#include <json/json.h>

#include <algorithm>
#include <ctime>
#include <mutex>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/certcentercomm.h"
#include "enrollment/jsonanswer.h"
#include "foundation/files.h"
#include "foundation/lineends.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

std::string Styled(const Json::Value& root) {
    Json::StyledWriter writer;
    return writer.write(root);
}

}  // namespace

CalendarTime LocalCalendarTime(int64_t secondsSinceEpoch) {
    static std::mutex localtimeLock;  // std::localtime shares one buffer
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm parts{};
    {
        std::lock_guard<std::mutex> lock(localtimeLock);
        const std::tm* local = std::localtime(&t);
        if (local == nullptr)
            return {};
        parts = *local;
    }
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_wday, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec,  0};
}

std::string CertCenterComm::CreateChallengeRequest() {
    return RunOperation("CertCenterComm::CreateChallengeRequest", [&] {
        Json::Value root(Json::objectValue);
        root["type"] = "challengeRequest";
        Json::Value identifiers(Json::arrayValue);
        for (const DomainVerifyInfo& info : verifyList_)
            identifiers.append(NarrowFromWide(info.siteAddr));
        root["identifier"] = identifiers;
        root["webType"] = NarrowFromWide(webType_);
        root["webVersion"] = NarrowFromWide(webVersion_);
        return Styled(root);
    });
}

std::string CertCenterComm::CreateAuthRequest(const std::string& sessionId,
                                              const std::string& nonce) {
    return RunOperation("CertCenterComm::CreateAuthRequest", [&] {
        const std::string encrypt = SignText(nonce);
        WriteVerifyFiles(encrypt);
        Json::Value root(Json::objectValue);
        root["type"] = "authorizationRequest";
        root["sessionID"] = sessionId;
        root["nonce"] = nonce;
        root["customerID"] = NarrowFromWide(customerId_);
        Json::Value resources(Json::arrayValue);
        for (const DomainVerifyInfo& info : verifyList_)
            resources.append(NarrowFromWide(info.verifyFileUrlPath));
        root["verifyRes"] = resources;
        root["publicKey"] = publicKey_;
        root["encrypt"] = encrypt;
        return Styled(root);
    });
}

std::string CertCenterComm::CreateCertRequest(const std::string& csr, int templateId) {
    return RunOperation("CertCenterComm::CreateCertRequest", [&] {
        Json::Value root(Json::objectValue);
        root["type"] = "certificateRequest";
        root["csr"] = csr;
        root["templateID"] = Json::UInt(std::max(templateId, 0));
        root["publicKey"] = publicKey_;
        root["encrypt"] = SignText(csr);
        return Styled(root);
    });
}

std::string CertCenterComm::CreateStatusRequest(const std::string& token, int templateId) {
    return RunOperation("CertCenterComm::CreateStatusRequest", [&] {
        Json::Value root(Json::objectValue);
        root["type"] = "statusRequest";
        root["token"] = token;
        root["templateID"] = Json::UInt(std::max(templateId, 0));
        root["publicKey"] = publicKey_;
        root["encrypt"] = SignText(token);
        return Styled(root);
    });
}

void CertCenterComm::CheckResponse(const std::string& answer, Exchange exchange) {
    RunOperation("CertCenterComm::CheckResponse", [&] {
        Json::Value root;
        if (!ParseAnswer(answer, root))
            ThrowResult(result::kUndefined);
        if (StringMember(root, "type") != "error")
            return;
        const bool certificateStep =
            exchange == Exchange::Certificate || exchange == Exchange::Status;
        const std::string error = StringMember(root, "error");
        if (error == "highFrequency") {
            ThrowResult(certificateStep ? result::kHighFrequencyCertificate
                                        : result::kHighFrequency);
        }
        if (error == "unknown")
            ThrowResult(result::kUnknownId);
        if (error == "publicKeyIllegal" && exchange == Exchange::Status)
            ThrowResult(result::kPublicKeyIllegal);
        ThrowResult(u"%s%s", result::kCenterErrorPrefix,
                    WideFromNarrow(error + ", message: " + StringMember(root, "message")));
    });
}

std::string CertCenterComm::SignText(const std::string& text) {
    return RunOperation("CertCenterComm::SignText", [&] {
        quorp::PrepareLibrary();
        quorp crypto;
        std::string signature;
        if (!crypto.SignData(text, privateKey_, keyPassPhrase_, signature))
            ThrowResult(result::kUndefined);
        std::string encoded = crypto.Base64Encode(signature);
        if (encoded.empty())
            ThrowResult(result::kUndefined);
        return encoded;
    });
}

void CertCenterComm::WriteVerifyFiles(const std::string& content) {
    RunOperation("CertCenterComm::WriteVerifyFiles", [&] {
        std::vector<std::u16string> paths;
        for (const DomainVerifyInfo& info : verifyList_)
            paths.push_back(info.verifyFileLocalPath);
        std::sort(paths.begin(), paths.end());
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        const std::string bytes = WithCrLf(content);
        LogTrace("");
        for (const std::u16string& path : paths) {
            // A fresh file, not a replaced one: an old file's permissions
            // might keep the web server from reading it.
            DeleteFileToRecycleBin(path);
            if (!WriteFileAtomic(path, bytes)) {
                // The center's check then fails, and its answer says so.
                LogWarn(u"CreateAuthRequest, cannot save file = %s", path);
                continue;
            }
            LogInfo(u"CreateAuthRequest, save file = %s", path);
        }
        LogTrace("");
    });
}

void CertCenterComm::ParseRecvCert(const std::string& answer) {
    RunOperation("CertCenterComm::ParseRecvCert",
                 [&] {
                     Json::Value root;
                     ParseAnswer(answer, root);
                     certificate_ = StringMember(root, "certificate");
                     quorp::PrepareLibrary();
                     quorp crypto;
                     X509Ptr certificate = crypto.LoadCert(std::string_view(certificate_));
                     if (!certificate)
                         ThrowResult(result::kUndefined);
                     bool error = true;
                     const int64_t notAfter =
                         quorp::AsnTimeToTime(X509_get0_notAfter(certificate.get()), error);
                     if (error)
                         ThrowResult(u"parse asn time failed");
                     expiryTime_ = LocalCalendarTime(notAfter);
                     LogInfo("cert expire time: %d, %d, %d", expiryTime_.year, expiryTime_.month,
                             expiryTime_.day);
                     chain_.clear();
                     chainList_.clear();
                     for (const Json::Value& element : ArrayMember(root, "chain")) {
                         std::string block = ScalarText(element);
                         chain_ += block;
                         chainList_.push_back(std::move(block));
                     }
                     LogInfo("complete: certificate request\n");
                 },
                 {.logLeave = true});
}

}  // namespace qm
