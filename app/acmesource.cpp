#include "app/acmesource.h"

#include <chrono>

#include "Common/OpenSSL/quorp/digest.h"
#include "acme/acmeclient.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// The host (and port) of an URL as a folder name: letters, digits, '.'
// and '-' kept, anything else '_'.
std::string HostFolderName(std::string_view url) {
    std::string_view rest =
        url.substr(url.find("://") == std::string_view::npos ? 0 : url.find("://") + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t at = rest.rfind('@'); at != std::string_view::npos)
        rest = rest.substr(at + 1);  // never credentials in a folder name
    std::string name;
    for (char c : rest.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        name += plain ? c : '_';
    }
    return name.empty() ? std::string("ca") : name;
}

int64_t SecondsOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::u16string AcmeAccountDirectory(std::u16string_view directoryUrl) {
    const std::string url = Utf8FromWide(directoryUrl);
    return GetServiceDirectory() + u"Acme" + PathSeparator() +
           WideFromUtf8(HostFolderName(url) + "-" + Sha256Hex(url).substr(0, 12)) + PathSeparator();
}

AcmeSource MakeAcmeSource(std::u16string_view directoryUrl, bool agreeToTerms, std::string eabKid,
                          std::string eabHmacKey) {
    AcmeSource source;
    source.enabled = true;
    source.accountDir = AcmeAccountDirectory(directoryUrl);
    source.agreeToTerms = agreeToTerms;
    source.eabKid = std::move(eabKid);
    source.eabHmacKey = std::move(eabHmacKey);
    return source;
}

bool MayBeAcmeDirectory(std::u16string_view url) {
    constexpr std::u16string_view scheme = u"https://";
    if (url.substr(0, scheme.size()) != scheme)
        return false;
    const size_t slash = url.find(u'/', scheme.size());
    return slash != std::u16string_view::npos && slash + 1 < url.size();
}

bool IsAcmeCenter(std::u16string_view url, const std::u16string& caFile) {
    return MayBeAcmeDirectory(url) && acme::IsAcmeDirectory(Utf8FromWide(url), caFile);
}

int64_t RenewalMomentWithin(int64_t start, int64_t end, const std::string& certId) {
    if (end <= start)
        return start;
    const uint64_t spread = std::stoull(Sha256Hex(certId).substr(0, 12), nullptr, 16);
    const double fraction = static_cast<double>(spread) / static_cast<double>(1ULL << 48);
    return start + static_cast<int64_t>(fraction * static_cast<double>(end - start));
}

std::optional<AcmeRenewalAdvice> AskAcmeRenewalInfo(std::u16string_view directoryUrl,
                                                    const std::u16string& caFile,
                                                    const std::string& certificatePem) {
    try {
        acme::AcmeOptions options;
        options.directoryUrl = Utf8FromWide(directoryUrl);
        options.caFile = caFile;
        acme::AcmeClient client(options);
        const auto window = client.RenewalInfo(certificatePem);
        if (!window)
            return std::nullopt;
        AcmeRenewalAdvice advice;
        advice.certId = acme::AriCertId(certificatePem);
        advice.windowStart = SecondsOf(window->start);
        advice.windowEnd = SecondsOf(window->end);
        advice.renewAt = RenewalMomentWithin(advice.windowStart, advice.windowEnd, advice.certId);
        return advice;
    } catch (const acme::AcmeError& e) {
        LogWarn("vantrel, no renewal information from the CA: %s", e.what());
        return std::nullopt;
    }
}

}  // namespace qm
