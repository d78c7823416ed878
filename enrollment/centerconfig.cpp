#include "enrollment/centerconfig.h"

#include <exception>
#include <utility>

#include "foundation/hostfacts.h"

namespace qm {

namespace {

std::u16string Resolve(std::u16string_view option, std::u16string_view variable,
                       std::u16string_view fallback) {
    if (!option.empty())
        return std::u16string(option);
    std::u16string value = EnvironmentValueOrEmpty(variable);
    return value.empty() ? std::u16string(fallback) : value;
}

// Where the text after the scheme starts, and the "@" ending the
// credentials; npos when there are none.
std::pair<size_t, size_t> CredentialsSpan(std::u16string_view url) {
    const size_t scheme = url.find(u"://");
    const size_t start = scheme == std::u16string_view::npos ? 0 : scheme + 3;
    const size_t at = url.rfind(u'@');
    if (at == std::u16string_view::npos || at < start)
        return {start, std::u16string_view::npos};
    return {start, at};
}

}  // namespace

CenterEndpoint ResolveCenterEndpoint(std::u16string_view urlOption,
                                     std::u16string_view caFileOption) {
    return {Resolve(urlOption, kCenterUrlVariable, kDefaultCenterUrl),
            Resolve(caFileOption, kCenterCaFileVariable, {})};
}

bool UrlHasCredentials(std::u16string_view url) {
    return CredentialsSpan(url).second != std::u16string_view::npos;
}

std::u16string UrlWithoutCredentials(std::u16string_view url) {
    const auto [start, at] = CredentialsSpan(url);
    if (at == std::u16string_view::npos)
        return std::u16string(url);
    std::u16string masked(url.substr(0, start));
    masked += u"***";
    masked += url.substr(at);
    return masked;
}

}  // namespace qm
