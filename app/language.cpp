#include "app/language.h"

#include <atomic>

#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm {

namespace {
// -1: no override; otherwise a Language value.
std::atomic<int> g_override{-1};

std::u16string EnvironmentValue(std::u16string_view name) {
    return host::ProcessEnvironmentValue(name).value_or(u"");
}
}  // namespace

Language LanguageFromLocale(std::u16string_view lcAll, std::u16string_view lcMessages,
                            std::u16string_view lang) {
    std::u16string_view locale;
    for (std::u16string_view value : {lcAll, lcMessages, lang}) {
        if (!value.empty()) {
            locale = value;
            break;
        }
    }
    // "zh_CN.UTF-8", "zh_TW@variant", "zh": the language is the part before
    // the territory, code set and modifier.
    const size_t end = locale.find_first_of(u"_.@");
    const std::u16string_view languagePart = locale.substr(0, end);
    return EqualsIgnoreCaseAscii(languagePart, u"zh") ? Language::Chinese : Language::English;
}

Language CurrentLanguage() {
    const int chosen = g_override.load();
    if (chosen >= 0)
        return static_cast<Language>(chosen);
    return LanguageFromLocale(EnvironmentValue(u"LC_ALL"), EnvironmentValue(u"LC_MESSAGES"),
                              EnvironmentValue(u"LANG"));
}

void SetLanguageOverride(std::optional<Language> language) {
    g_override = language ? static_cast<int>(*language) : -1;
}

std::optional<Language> ParseLanguage(std::u16string_view name) {
    if (EqualsIgnoreCaseAscii(name, u"en"))
        return Language::English;
    if (EqualsIgnoreCaseAscii(name, u"zh"))
        return Language::Chinese;
    return std::nullopt;
}

int CertificateTypeFor(Language language) {
    return language == Language::Chinese ? 2 : 1;
}

int StringTableIdFor(Language language) {
    return language == Language::Chinese ? kChineseStringTableId : kEnglishStringTableId;
}

}  // namespace qm
