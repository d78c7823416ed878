#include "deploy/apache/apachelexer.h"

namespace qm {

namespace {

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

std::u16string_view Trim(std::u16string_view s) {
    size_t b = 0;
    while (b < s.size() && IsSpace(s[b]))
        ++b;
    size_t e = s.size();
    while (e > b && IsSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// The word's text with the escapes of its quoting removed.
std::u16string Unescape(std::u16string_view word, char16_t quote) {
    std::u16string out;
    out.reserve(word.size());
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == u'\\' && i + 1 < word.size() &&
            (word[i + 1] == u'\\' || (quote && word[i + 1] == quote))) {
            ++i;
        }
        out.push_back(word[i]);
    }
    return out;
}

}  // namespace

std::vector<ApacheLine> LexApacheLines(std::u16string_view text) {
    std::vector<ApacheLine> lines;
    size_t pos = 0;
    uint32_t number = 0;
    std::u16string joined;
    while (pos < text.size()) {
        ApacheLine line;
        line.start = pos;
        joined.clear();
        for (;;) {
            ++number;
            const size_t lf = text.find(u'\n', pos);
            if (lf == std::u16string_view::npos) {
                joined.append(text.substr(pos));
                line.contentEnd = line.end = text.size();
                pos = text.size();
                break;
            }
            size_t contentEnd = lf;
            if (contentEnd > pos && text[contentEnd - 1] == u'\r')
                --contentEnd;
            if (contentEnd > pos && text[contentEnd - 1] == u'\\') {
                // Continued: the backslash and the line end go.
                joined.append(text.substr(pos, contentEnd - 1 - pos));
                pos = lf + 1;
                if (pos < text.size())
                    continue;
                line.contentEnd = contentEnd;
                line.end = pos;
                break;
            }
            joined.append(text.substr(pos, contentEnd - pos));
            line.contentEnd = contentEnd;
            line.end = lf + 1;
            pos = lf + 1;
            break;
        }
        const std::u16string_view trimmed = Trim(joined);
        if (trimmed.empty() || trimmed.front() == u'#')
            continue;
        line.number = number;
        line.text.assign(trimmed);
        line.hasVariables = line.text.find(u"${") != std::u16string::npos;
        line.words = SplitApacheWords(line.text);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::u16string> SplitApacheWords(std::u16string_view line) {
    std::vector<std::u16string> words;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && IsSpace(line[i]))
            ++i;
        if (i >= line.size())
            break;
        const char16_t quote = line[i];
        if (quote == u'"' || quote == u'\'') {
            size_t end = i + 1;
            while (end < line.size() && line[end] != quote) {
                if (line[end] == u'\\' && end + 1 < line.size() &&
                    (line[end + 1] == quote || line[end + 1] == u'\\'))
                    end += 2;
                else
                    ++end;
            }
            words.push_back(Unescape(line.substr(i + 1, end - i - 1), quote));
            i = end < line.size() ? end + 1 : end;
        } else {
            size_t end = i;
            while (end < line.size() && !IsSpace(line[end]))
                ++end;
            words.push_back(Unescape(line.substr(i, end - i), 0));
            i = end;
        }
    }
    return words;
}

std::u16string ExpandApacheVariables(std::u16string_view line, const ApacheVariableLookup& lookup) {
    std::u16string out;
    out.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == u'$' && i + 1 < line.size() && line[i + 1] == u'{') {
            const size_t close = line.find(u'}', i + 2);
            if (close != std::u16string_view::npos) {
                const std::u16string_view name = line.substr(i + 2, close - i - 2);
                if (const std::u16string* value = lookup ? lookup(name) : nullptr) {
                    out.append(*value);
                    i = close + 1;
                    continue;
                }
            }
        }
        out.push_back(line[i++]);
    }
    return out;
}

std::u16string QuoteApacheArgument(std::u16string_view value) {
    std::u16string out = u"\"";
    for (char16_t c : value) {
        if (c == u'"' || c == u'\\')
            out.push_back(u'\\');
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

std::u16string_view IndentationAt(std::u16string_view text, size_t start) {
    size_t end = start;
    while (end < text.size() && (text[end] == u' ' || text[end] == u'\t'))
        ++end;
    return text.substr(start, end - start);
}

}  // namespace qm
