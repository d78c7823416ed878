#include "deploy/nginx/nginxtext.h"

namespace qm {

namespace {

bool IsLineBreak(char16_t c) {
    return c == u'\n' || c == u'\r';
}

// The characters "\s" matches within a line.
bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\f' || c == u'\v';
}

}  // namespace

NginxBlockScan ScanNginxBlock(std::u16string_view text, size_t start) {
    NginxBlockScan scan;
    const size_t size = text.size();
    size_t pos = start;
    int opens = 0;
    int closes = 0;
    while (pos < size) {
        if (IsLineBreak(text[pos])) {
            ++pos;
            continue;
        }
        size_t lineEnd = pos;
        while (lineEnd < size && !IsLineBreak(text[lineEnd]))
            ++lineEnd;
        size_t first = pos;
        while (first < lineEnd && IsBlank(text[first]))
            ++first;
        if (first < lineEnd && text[first] == u'#') {
            pos = lineEnd;
            continue;
        }
        size_t brace = pos;
        while (brace < lineEnd && text[brace] != u'{' && text[brace] != u'}')
            ++brace;
        if (brace == lineEnd) {
            pos = lineEnd;
            continue;
        }
        pos = brace + 1;
        if (text[brace] == u'{') {
            ++opens;
        } else if (++closes > opens) {
            scan.end = pos;
            scan.closedFirst = true;
            return scan;
        }
        if (opens == closes) {
            scan.end = pos;
            scan.balanced = true;
            return scan;
        }
    }
    scan.end = size;
    return scan;
}

const Regex& NginxCertificateLine() {
    static const Regex re(u"^\\s*ssl_certificate\\s+.*");
    return re;
}

const Regex& NginxCertificateKeyLine() {
    static const Regex re(u"^\\s*ssl_certificate_key\\s+.*");
    return re;
}

bool HasCertificateLines(std::u16string_view block) {
    return NginxCertificateLine().Search(block) && NginxCertificateKeyLine().Search(block);
}

}  // namespace qm
