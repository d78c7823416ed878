#include "foundation/xmlutf8.h"

#include <cstdint>

namespace qm::xml {

std::u16string DecodeFileText(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = static_cast<uint8_t>(bytes[i]);
        if (lead == 0)
            break;
        ++i;
        if (lead < 0x80) {
            text.push_back(lead);
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
            text.push_back(u'?');
            continue;
        }
        bool complete = true;
        for (; more > 0; --more) {
            if (i >= n) {
                complete = false;
                break;
            }
            const uint8_t next = static_cast<uint8_t>(bytes[i]);
            if (!(next & 0x80)) {
                complete = false;  // this byte starts the next character
                break;
            }
            code = (code << 6) | (next & 0x3F);
            ++i;
        }
        // An overlong U+0000 would be written back as a zero byte, which ends
        // the text at the next load: it is taken as invalid instead.
        if (!complete || code == 0 || code > 0x10FFFF) {
            text.push_back(u'?');
        } else if (code > 0xFFFF) {
            code -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 | (code >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(code));
        }
    }
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
