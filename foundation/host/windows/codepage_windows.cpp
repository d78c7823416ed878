#include <windows.h>

#include <string>

#include "foundation/host/host.h"

namespace qm::host {

namespace {

constexpr UINT kCodePage936 = 936;

// Decodes one unit (a byte, or a lead byte and its trail byte); false when
// the code page has no character for it.
bool DecodeUnit(const char* unit, int length, std::u16string& out) {
    wchar_t wide[2];
    const int n = MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, unit, length, wide, 2);
    if (n <= 0)
        return false;
    out.append(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(n));
    return true;
}

}  // namespace

std::string WideToCodePage936(std::u16string_view wide) {
    if (wide.empty())
        return {};
    const auto* in = reinterpret_cast<const wchar_t*>(wide.data());
    const int length = static_cast<int>(wide.size());
    // No best fit: a character the code page lacks becomes "?", never a
    // look-alike ("e" for "é"), as iconv does on POSIX.
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, in, length, nullptr, 0,
                                         "?", &lossy);
    if (size <= 0)
        return std::string(wide.size(), '?');
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, in, length, out.data(), size, "?",
                        &lossy);
    return out;
}

std::u16string CodePage936ToWide(std::string_view narrow) {
    if (narrow.empty())
        return {};
    const int length = static_cast<int>(narrow.size());
    // 0xFF is neither a character nor a lead or trail byte in this code page,
    // yet Windows maps it to a private-use character: the careful path below
    // turns it into "?".
    if (narrow.find('\xff') == std::string_view::npos) {
        const int size = MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, narrow.data(),
                                             length, nullptr, 0);
        if (size > 0) {
            std::u16string out(static_cast<size_t>(size), u'\0');
            MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, narrow.data(), length,
                                reinterpret_cast<wchar_t*>(out.data()), size);
            return out;
        }
    }
    // Unit by unit: a byte that does not decode becomes "?" and decoding
    // goes on with the next byte, as iconv does on POSIX.
    std::u16string out;
    out.reserve(narrow.size());
    size_t i = 0;
    while (i < narrow.size()) {
        const auto byte = static_cast<unsigned char>(narrow[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<char16_t>(byte));
            ++i;
            continue;
        }
        if (byte != 0xFF && IsDBCSLeadByteEx(kCodePage936, byte) && i + 1 < narrow.size() &&
            DecodeUnit(narrow.data() + i, 2, out)) {
            i += 2;
            continue;
        }
        if (byte == 0x80 && DecodeUnit(narrow.data() + i, 1, out)) {
            ++i;  // the euro sign, the only single high byte
            continue;
        }
        out.push_back(u'?');
        ++i;
    }
    return out;
}

}  // namespace qm::host
