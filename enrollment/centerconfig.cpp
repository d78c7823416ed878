#include "enrollment/centerconfig.h"

#include <exception>

#include "foundation/hostfacts.h"

namespace qm {

namespace {

std::u16string EnvironmentOrEmpty(std::u16string_view name) {
    try {
        return GetEnvironmentValue(name);
    } catch (const std::exception&) {
        return {};  // unset, or the system environment cannot be read
    }
}

std::u16string Resolve(std::u16string_view option, std::u16string_view variable,
                       std::u16string_view fallback) {
    if (!option.empty())
        return std::u16string(option);
    std::u16string value = EnvironmentOrEmpty(variable);
    return value.empty() ? std::u16string(fallback) : value;
}

}  // namespace

CenterEndpoint ResolveCenterEndpoint(std::u16string_view urlOption,
                                     std::u16string_view caFileOption) {
    return {Resolve(urlOption, kCenterUrlVariable, kDefaultCenterUrl),
            Resolve(caFileOption, kCenterCaFileVariable, {})};
}

}  // namespace qm
