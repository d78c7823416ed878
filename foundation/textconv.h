// Conversions between wide text (UTF-16) and the narrow encodings the program
// uses: code page 936 for log lines, result texts and protocol values, UTF-8
// at file and operating-system boundaries.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Code page 936 (simplified Chinese). Characters the code page cannot hold,
// and bytes that do not decode, become "?".
std::string NarrowFromWide(std::u16string_view wide);
std::u16string WideFromNarrow(std::string_view narrow);

// UTF-8. A lone surrogate becomes "?" on the way out; an invalid UTF-8
// sequence becomes U+FFFD on the way in.
std::string Utf8FromWide(std::u16string_view wide);
std::u16string WideFromUtf8(std::string_view utf8);

// ASCII-only helpers for program literals and protocol tokens.
std::u16string WideFromAscii(std::string_view ascii);
std::u16string ToLowerAscii(std::u16string_view text);
bool EqualsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b);

}  // namespace qm
