// The progress record "Config/Trace.xml": which request comes next, the
// values the center handed out between requests, and the domains the stored
// challenge was made for.
//
// A record without its "process" or "demand" element is left as it is: the
// writers then do nothing (an edit at whatever position the document was
// left could remove or corrupt another element), and the readers see empty
// values.
#include <cstdint>

#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

constexpr std::u16string_view kProcess = u"process";
constexpr std::u16string_view kDemand = u"demand";
constexpr std::u16string_view kStepAuth = u"requestAuth";
constexpr std::u16string_view kStepCert = u"requestCert";
constexpr std::u16string_view kStepDeferCert = u"requestDeferCert";

bool GoToTop(XmlDocument& doc, std::u16string_view child) {
    doc.ResetPosition();
    return doc.FindElement(u"config") && doc.IntoElement() && doc.FindElement(child);
}

bool NameMatches(std::u16string_view found, std::u16string_view wanted, bool ignoreCase) {
    return ignoreCase ? EqualsIgnoreCaseAscii(found, wanted) : found == wanted;
}

// From "process", into it and on to the first "step" named `name`. When there
// is none, the position is left on the last "step" (or before the first
// child when there is no step), where a new one belongs.
bool FindStepIn(XmlDocument& doc, std::u16string_view name, bool ignoreCase) {
    if (!GoToTop(doc, kProcess) || !doc.IntoElement())
        return false;
    while (doc.FindElement(u"step")) {
        if (NameMatches(doc.GetAttribute(u"name"), name, ignoreCase))
            return true;
    }
    return false;
}

// Decimal integer with optional sign, read as far as digits go; 0 for none.
long long LeadingDecimal(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > INT32_MAX)
            return negative ? INT32_MIN : INT32_MAX;
    }
    return negative ? -value : value;
}

std::u16string Decimal(long long value) {
    return WideFromAscii(std::to_string(value));
}

const char16_t* TrueFalse(bool value) {
    return value ? u"true" : u"false";
}

}  // namespace

std::u16string CertCenterComm::RecordPath() {
    std::u16string path = GetProgramDirectory() + u"Config";
    path += PathSeparator();
    path += u"Trace.xml";
    return path;
}

bool CertCenterComm::GoToTopElement(std::u16string_view child) {
    if (!record_)
        return false;  // not initialised
    if (GoToTop(*record_, child))
        return true;
    LogWarn(u"CertCenterComm: the progress record %s has no %s element", recordPath_, child);
    return false;
}

bool CertCenterComm::FindStep(std::u16string_view name, bool ignoreCase) {
    return record_ && FindStepIn(*record_, name, ignoreCase);
}

bool CertCenterComm::FindOrAddStep(std::u16string_view name, bool ignoreCase) {
    if (!GoToTopElement(kProcess))
        return false;
    if (FindStepIn(*record_, name, ignoreCase))
        return true;
    // Right after the last step, or as the last child when there is none.
    if (!record_->AddElement(u"step"))
        return false;
    record_->SetAttribute(u"name", name);
    return true;
}

void CertCenterComm::SaveRecord() {
    if (record_ && !record_->Save(recordPath_))
        LogWarn(u"CertCenterComm: cannot save %s: %s", recordPath_, record_->ResultText());
}

void CertCenterComm::SetProcessAttribute(std::u16string_view name, std::u16string_view value) {
    if (GoToTopElement(kProcess))
        record_->SetAttribute(name, value);
}

bool CertCenterComm::IsCurStep(std::u16string_view step, const char* operation) {
    const bool waiting = GoToTopElement(kProcess) && record_->GetAttribute(u"curStep") == step;
    if (waiting)
        LogInfo("%s", operation);
    return waiting;
}

bool CertCenterComm::IsWaitAuth() {
    return IsCurStep(kStepAuth, "CertCenterComm::IsWaitAuth");
}

bool CertCenterComm::IsWaitCert() {
    return IsCurStep(kStepCert, "CertCenterComm::IsWaitCert");
}

bool CertCenterComm::IsWaitDeferCert() {
    return IsCurStep(kStepDeferCert, "CertCenterComm::IsWaitDeferCert");
}

void CertCenterComm::SetCurStep(std::u16string_view step) {
    SetProcessAttribute(u"curStep", step);
    SaveRecord();
}

void CertCenterComm::SetSucceed(bool succeed) {
    SetProcessAttribute(u"succeed", succeed ? u"yes" : u"no");
    SaveRecord();
}

void CertCenterComm::MarkCertificateReceived() {
    SetSucceed(true);
}

void CertCenterComm::ResetProcess() {
    if (GoToTopElement(kProcess)) {
        record_->SetAttribute(u"curStep", u"");
        record_->SetAttribute(u"succeed", u"yes");
    }
    SaveRecord();
}

bool CertCenterComm::IsRecvedInfo() {
    return GoToTopElement(kProcess) &&
           EqualsIgnoreCaseAscii(record_->GetAttribute(u"isRecvedInfo"), u"true");
}

void CertCenterComm::SetRecvedInfo(bool received) {
    SetProcessAttribute(u"isRecvedInfo", TrueFalse(received));
    SaveRecord();
}

void CertCenterComm::SaveAuthStep(const std::string& nonce, const std::string& session) {
    SetProcessAttribute(u"curStep", kStepAuth);
    if (FindOrAddStep(kStepAuth, false)) {
        record_->SetAttribute(u"nonce", WideFromNarrow(nonce));
        record_->SetAttribute(u"session", WideFromNarrow(session));
    }
    SaveRecord();
}

std::pair<std::string, std::string> CertCenterComm::ReadAuthStep() {
    if (!FindStep(kStepAuth, false))
        return {};
    return {NarrowFromWide(record_->GetAttribute(u"nonce")),
            NarrowFromWide(record_->GetAttribute(u"session"))};
}

void CertCenterComm::SaveCertStep(int certType) {
    if (FindOrAddStep(kStepCert, false))
        record_->SetAttribute(u"certType", Decimal(certType));
    SaveRecord();
}

int CertCenterComm::ReadRequestCertInfo() {
    if (!FindStep(kStepCert, false))
        ThrowResult(u"CertCenterComm::ReadRequestCertInfo, isExist = false");
    return static_cast<int>(LeadingDecimal(record_->GetAttribute(u"certType")));
}

void CertCenterComm::SaveDeferStep(const std::string& token) {
    SetProcessAttribute(u"curStep", kStepDeferCert);
    if (FindOrAddStep(kStepDeferCert, false))
        record_->SetAttribute(u"token", WideFromNarrow(token));
    SaveRecord();
}

std::string CertCenterComm::ReadDeferStep() {
    if (!FindStep(kStepDeferCert, false))
        return {};
    return NarrowFromWide(record_->GetAttribute(u"token"));
}

void CertCenterComm::SetDeferRecv(bool received) {
    if (FindOrAddStep(kStepDeferCert, true))
        record_->SetAttribute(u"deferRecv", TrueFalse(received));
    SaveRecord();
}

bool CertCenterComm::IsDemandChanged() {
    bool changed = true;
    if (GoToTopElement(kDemand) && record_->GetAttribute(u"webType") == webType_) {
        struct Stored {
            std::u16string domain;
            bool isHttps;
            long long port;
        };
        std::vector<Stored> stored;
        record_->IntoElement();
        while (record_->FindElement(u"verifySiteInfo")) {
            stored.push_back({record_->GetAttribute(u"domain"),
                              record_->GetAttribute(u"isHttps") == u"true",
                              LeadingDecimal(record_->GetAttribute(u"port"))});
        }
        changed = stored.size() != demandList_.size();
        for (size_t i = 0; !changed && i < demandList_.size(); ++i) {
            const DomainVerifyInfo& wanted = demandList_[i];
            bool found = false;
            for (const Stored& s : stored) {
                if (s.domain == wanted.siteAddr && s.isHttps == wanted.isHttps &&
                    s.port == wanted.sitePort) {
                    found = true;
                    break;
                }
            }
            changed = !found;
        }
    }
    LogInfo("CertCenterComm::IsDemandChanged return %s", changed ? "true" : "false");
    return changed;
}

void CertCenterComm::SaveDemand() {
    if (!GoToTopElement(kDemand))
        return;
    record_->SetAttribute(u"webType", webType_);
    record_->IntoElement();
    while (record_->FindElement())
        record_->RemoveElement();
    for (const DomainVerifyInfo& info : demandList_) {
        record_->AddElement(u"verifySiteInfo");
        record_->SetAttribute(u"domain", info.siteAddr);
        record_->SetAttribute(u"isHttps", TrueFalse(info.isHttps));
        record_->SetAttribute(u"port", Decimal(info.sitePort));
    }
    SaveRecord();
}

bool CertCenterComm::IsDeferReqRecved() {
    const std::u16string path = RecordPath();
    if (!FileExists(path))
        return true;
    XmlDocument doc;
    doc.Load(path);
    if (!GoToTop(doc, kProcess) || doc.GetAttribute(u"curStep") != kStepDeferCert)
        return true;
    if (!FindStepIn(doc, kStepDeferCert, true))
        return true;
    return !EqualsIgnoreCaseAscii(doc.GetAttribute(u"deferRecv"), u"false");
}

}  // namespace qm
