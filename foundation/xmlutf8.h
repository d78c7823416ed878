// The file boundary of XmlDocument: documents are stored as UTF-8 and held
// as UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace qm::xml {

// Decodes file bytes. There is no byte-order-mark handling (a mark becomes
// U+FEFF and is written back by EncodeFileText); an invalid or cut-off
// sequence becomes "?"; overlong forms and encoded surrogates are accepted,
// except an overlong U+0000 (also "?"); a zero byte ends the text, so the
// text never holds U+0000.
std::u16string DecodeFileText(std::string_view bytes);

// Encodes the text as UTF-8 without a byte-order mark. A surrogate pair is
// one code point; a surrogate without its partner is written as "?".
std::string EncodeFileText(std::u16string_view text);

}  // namespace qm::xml
