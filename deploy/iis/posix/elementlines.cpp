#include "deploy/iis/posix/elementlines.h"

namespace qm {

size_t IndentStart(const std::u16string& text, size_t pos) {
    while (pos > 0 && (text[pos - 1] == u' ' || text[pos - 1] == u'\t'))
        --pos;
    return pos;
}

size_t RemovalStart(const std::u16string& text, size_t start) {
    size_t begin = IndentStart(text, start);
    if (begin == 0 || text[begin - 1] != u'\n')
        return start;
    --begin;
    if (begin > 0 && text[begin - 1] == u'\r')
        --begin;
    return begin;
}

std::u16string LineEndOfText(const std::u16string& text) {
    return text.find(u"\r\n") != std::u16string::npos ? u"\r\n" : u"\n";
}

}  // namespace qm
