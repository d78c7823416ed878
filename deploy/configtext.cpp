#include "deploy/configtext.h"

#include "foundation/textconv.h"

namespace qm {

std::u16string PathFromConfigText(std::u16string_view written) {
    std::string bytes;
    bool ascii = true;
    for (char16_t c : written) {
        if (c > 0xFF)
            return std::u16string(written);  // not a text read from a file
        ascii = ascii && c < 0x80;
        bytes.push_back(static_cast<char>(c));
    }
    if (ascii)
        return std::u16string(written);
    std::u16string path = WideFromUtf8(bytes);
    return Utf8FromWide(path) == bytes ? path : std::u16string(written);
}

std::u16string ConfigTextFromPath(std::u16string_view path) {
    const std::string bytes = Utf8FromWide(path);
    std::u16string text;
    text.reserve(bytes.size());
    for (char c : bytes)
        text.push_back(static_cast<unsigned char>(c));
    return text;
}

std::u16string_view LineEndOf(std::u16string_view text) {
    const size_t lf = text.find(u'\n');
    return lf != std::u16string_view::npos && lf > 0 && text[lf - 1] == u'\r' ? u"\r\n" : u"\n";
}

std::u16string WithLineEnds(std::u16string_view inserted, std::u16string_view lineEnd) {
    if (lineEnd == u"\n")
        return std::u16string(inserted);
    std::u16string out;
    out.reserve(inserted.size() + inserted.size() / 16);
    for (size_t i = 0; i < inserted.size(); ++i) {
        if (inserted[i] == u'\n' && (i == 0 || inserted[i - 1] != u'\r'))
            out.push_back(u'\r');
        out.push_back(inserted[i]);
    }
    return out;
}

}  // namespace qm
