// The interface language of the whole process. On POSIX it follows the
// locale's language (LC_ALL, else LC_MESSAGES, else LANG): Chinese for "zh"
// (zh_CN.UTF-8, zh_TW, ...), English otherwise. A front end may override it
// (--lang). The certificate type follows the same choice.
#pragma once

#include <optional>
#include <string_view>

namespace qm {

enum class Language { English, Chinese };

// The language named by locale values in precedence order; the first
// non-empty one decides.
Language LanguageFromLocale(std::u16string_view lcAll, std::u16string_view lcMessages,
                            std::u16string_view lang);

// The language of this process: the override when set, else the locale's.
Language CurrentLanguage();
void SetLanguageOverride(std::optional<Language> language);

// Parses "en" or "zh" (any case); nullopt for anything else.
std::optional<Language> ParseLanguage(std::u16string_view name);

// Certificate type requested from the center: 2 for Chinese, 1 otherwise.
int CertificateTypeFor(Language language);

// Resource ids of the language tables.
inline constexpr int kChineseStringTableId = 139;
inline constexpr int kEnglishStringTableId = 140;
int StringTableIdFor(Language language);

}  // namespace qm
