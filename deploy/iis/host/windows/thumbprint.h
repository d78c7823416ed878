// Certificate thumbprints (SHA-1 of the DER form) between their text, 40
// hexadecimal digits in either case, and the 20 bytes CryptoAPI and HTTP.sys
// take.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace qm::iiswin {

using ThumbprintBytes = std::array<unsigned char, 20>;

inline bool ParseThumbprint(std::u16string_view text, ThumbprintBytes& bytes) {
    if (text.size() != bytes.size() * 2)
        return false;
    auto nibble = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

// Upper-case hexadecimal, as the stores name certificates.
inline std::u16string ThumbprintText(const unsigned char* bytes, size_t size) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace qm::iiswin
