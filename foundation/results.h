// Result texts: every operation reports its outcome as a short English text
// carried by ExceptionEx. "succeed" ends an operation and is absorbed at its
// boundary; failures travel upward unchanged.
#pragma once

#include <array>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/format.h"

namespace qm {

class ExceptionEx : public std::exception {
public:
    explicit ExceptionEx(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// The fixed texts the system raises or recognises.
namespace result {
inline constexpr std::u16string_view kSucceed = u"succeed";
inline constexpr std::u16string_view kUndefined = u"undefined";
inline constexpr std::u16string_view kFailed = u"failed";
inline constexpr std::u16string_view kCommunicationFailed = u"communication failed";
inline constexpr std::u16string_view kPortNotListening = u"port is not listening.";
inline constexpr std::u16string_view kWebServiceNotRunning = u"web service is not running.";
inline constexpr std::u16string_view kInputSiteConflict = u"input site addr confilict.";
inline constexpr std::u16string_view kTooManyDomains = u"Too many domain names";
inline constexpr std::u16string_view kMoreThanOneSiteDir =
    u"more than one site directory configed, not support user assigned domain name.";
inline constexpr std::u16string_view kNoValidDomain = u"no valid domain or no valid input domain.";
inline constexpr std::u16string_view kInvalidDomain = u"invalid domain.";
inline constexpr std::u16string_view kHighFrequency = u"high frequency challenge request error";
// The same refusal to a certificate request or a status request.
inline constexpr std::u16string_view kHighFrequencyCertificate =
    u"high frequency certificate request error";
inline constexpr std::u16string_view kUnknownId =
    u"The server does not recognize an ID/token in the request";
inline constexpr std::u16string_view kInvalidParam = u"invalid param";
inline constexpr std::u16string_view kDeferCertState = u"defer cert state";
inline constexpr std::u16string_view kPublicKeyIllegal =
    u"The client public key not exist/exceed time limit";
// The start of the text of any other error answer of the center:
// "error: <code>, message: <message>".
inline constexpr std::u16string_view kCenterErrorPrefix = u"error: ";
inline constexpr std::u16string_view kInvalidSiteAddrInCert = u"Invalid siteaddr in cert";
inline constexpr std::u16string_view kNotSupportWildcard = u"Not support wildcard domain name";
inline constexpr std::u16string_view kGetCertHashError = u"Get CertHash error";
// The IIS administration cannot be reached (two blanks when an undo finds it so).
inline constexpr std::u16string_view kIisInitializeFailed = u"IIS Initialize failed";
inline constexpr std::u16string_view kIisRestoreInitializeFailed = u"IIS  Initialize failed";
inline constexpr std::u16string_view kInstallCertFailed = u"InstallCert failed";
// Raised when a web server rejects its edited configuration, or does not
// come back after the restart; both are shown as a failure report.
inline constexpr std::u16string_view kConfigTestFailed = u"web server configuration test failed";
inline constexpr std::u16string_view kRestartFailed = u"web server restart failed";
// Raised when the edited configuration cannot be written to its file; shown
// as a failure report too.
inline constexpr std::u16string_view kConfigWriteFailed =
    u"web server configuration cannot be written";
// Deployments as transactions: an interrupt (the deployment was rolled
// back), another run holding the lock, and the outcomes of an undo that
// cannot do what it was asked. The details (files, holder) go to the
// operator as notes beside the result.
inline constexpr std::u16string_view kInterrupted = u"interrupted";
inline constexpr std::u16string_view kBusy = u"another deployment or undo is running";
inline constexpr std::u16string_view kNothingToUndo = u"nothing to undo";
// A renewal finds no deployment in force, or a deployer that cannot renew in place.
inline constexpr std::u16string_view kNothingToRenew = u"nothing to renew";
inline constexpr std::u16string_view kEditedSinceDeployment =
    u"configuration edited since the deployment";
inline constexpr std::u16string_view kBackupUnusable = u"backup copy missing or altered";
inline constexpr std::u16string_view kRestoreFailed = u"configuration could not be restored";
// Plain texts of the lower layers.
inline constexpr std::u16string_view kStopProcessTimeout = u"stop process timeout";
inline constexpr std::u16string_view kEnvVariableNotExist = u"env variable is not exist";
}  // namespace result

// The longest result text that can be formed, in UTF-16 units; longer
// formatted results are cut there.
inline constexpr size_t kMaxResultLength = 1023;

[[noreturn]] void ThrowResultText(std::u16string_view text);

// Formats (printf style, wide) and throws. A fixed text is raised by passing
// its constant with no arguments; an outside text through u"%s".
template <class... A>
[[noreturn]] void ThrowResult(std::u16string_view format, const A&... args) {
    ThrowResultText(FormatWide(format, args...));
}

[[noreturn]] void ThrowSucceed();
bool IsSucceed(const std::exception& e);
bool IsFailure(const std::exception& e);
// Passes a failure on with its text unchanged; returns normally for "succeed".
void RethrowIfFailure(const std::exception& e);
std::u16string ResultTextOf(const std::exception& e);
// True when `e` carries exactly `text`.
bool IsResult(const std::exception& e, std::u16string_view text);

// How a final result is shown to the operator: the first row whose text
// matches wins; the last row (empty text) matches every other text.
struct ResultDisplayRow {
    std::u16string_view resultText;  // empty: any other text
    std::string_view messageKey;
    std::string_view followUpKey;  // shown after messageKey, or empty
};

inline constexpr std::array<ResultDisplayRow, 13> kResultDisplayMapping = {{
    {result::kSucceed, "succeed", "autoUpdateEnabled"},
    {result::kCommunicationFailed, "commFailed", ""},
    {result::kInputSiteConflict, "inputSiteConflict", ""},
    {result::kWebServiceNotRunning, "webServiceNotRunning", ""},
    {result::kPortNotListening, "webServiceNotRunning", ""},
    {result::kNoValidDomain, "noValidDomain", ""},
    {result::kHighFrequency, "highFrequency", ""},
    {result::kHighFrequencyCertificate, "highFrequency", ""},
    {result::kTooManyDomains, "tooManySites", ""},
    {result::kGetCertHashError, "getCertHashErr", ""},
    {result::kInvalidSiteAddrInCert, "invalidSiteAddrInCert", ""},
    {result::kNotSupportWildcard, "notSupportWildcardDomain", ""},
    {u"", "failedReport", ""},
}};

const ResultDisplayRow& ResultDisplayFor(std::u16string_view resultText);

}  // namespace qm
