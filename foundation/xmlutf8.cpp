#include "foundation/xmlutf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qm::xml {

std::u16string DecodeFileText(std::string_view bytes) {
    const size_t n = bytes.size();
    std::u16string text;
    text.reserve(n);  // never more units than bytes
    // Decoded in chunks through a small buffer, so the text's memory is
    // written once instead of being zero-filled first.
    constexpr size_t kChunk = 4096;
    char16_t buffer[kChunk + 8];
    char16_t* out = buffer;
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t i = 0;
    while (i < n) {
        if (out - buffer >= std::ptrdiff_t(kChunk - 8)) {
            text.append(buffer, size_t(out - buffer));
            out = buffer;
        }
        // Runs of ASCII without a zero byte, eight bytes at a time.
        while (i + 8 <= n && out - buffer < std::ptrdiff_t(kChunk)) {
            uint64_t word;
            std::memcpy(&word, in + i, sizeof word);
            constexpr uint64_t kHigh = 0x8080808080808080ULL;
            const bool zero = ((word - 0x0101010101010101ULL) & ~word & kHigh) != 0;
            if ((word & kHigh) != 0 || zero)
                break;
            for (int k = 0; k < 8; ++k)
                out[k] = in[i + k];
            out += 8;
            i += 8;
        }
        if (i >= n)
            break;
        const uint8_t lead = in[i];
        if (lead == 0)
            break;
        ++i;
        if (lead < 0x80) {
            *out++ = lead;
            continue;
        }
        // Bits 5, 4 and 3 of the lead byte give the sequence length.
        int more;
        uint32_t code;
        if (!(lead & 0x20)) {
            more = 1;
            code = lead & 0x1F;
        } else if (!(lead & 0x10)) {
            more = 2;
            code = lead & 0x0F;
        } else if (!(lead & 0x08)) {
            more = 3;
            code = lead & 0x07;
        } else {
            *out++ = u'?';
            continue;
        }
        bool complete = true;
        for (; more > 0; --more) {
            if (i >= n || !(in[i] & 0x80)) {
                complete = false;  // cut off, or this byte starts the next character
                break;
            }
            code = (code << 6) | (in[i] & 0x3F);
            ++i;
        }
        // An overlong U+0000 would be written back as a zero byte, which ends
        // the text at the next load: it is taken as invalid instead.
        if (!complete || code == 0 || code > 0x10FFFF) {
            *out++ = u'?';
        } else if (code > 0xFFFF) {
            code -= 0x10000;
            *out++ = static_cast<char16_t>(0xD800 | (code >> 10));
            *out++ = static_cast<char16_t>(0xDC00 | (code & 0x3FF));
        } else {
            *out++ = static_cast<char16_t>(code);
        }
    }
    text.append(buffer, size_t(out - buffer));
    return text;
}

std::string EncodeFileText(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 8);
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t code = text[i];
        if (code < 0x80) {
            bytes.push_back(static_cast<char>(code));
            continue;
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            if (code <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                code = (((code & 0x3FF) << 10) | (text[i + 1] & 0x3FF)) + 0x10000;
                ++i;
            } else {
                bytes.push_back('?');
                continue;
            }
        }
        if (code < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
        } else if (code < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        }
        bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return bytes;
}

}  // namespace qm::xml
