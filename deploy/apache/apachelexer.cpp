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
    return LexApacheLines(text, 0, text.size(), 0);
}

std::vector<ApacheLine> LexApacheLines(std::u16string_view text, size_t from, size_t to,
                                       uint32_t numberBefore) {
    std::vector<ApacheLine> lines;
    size_t pos = from;
    uint32_t number = numberBefore;
    std::u16string joined;
    while (pos < to) {
        ApacheLine line;
        line.start = pos;
        joined.clear();
        for (;;) {
            ++number;
            const size_t lf = text.find(u'\n', pos);
            if (lf == std::u16string_view::npos || lf >= to) {
                if (line.continued)
                    joined.append(text.substr(pos, to - pos));
                line.contentEnd = line.end = to;
                pos = to;
                break;
            }
            size_t contentEnd = lf;
            if (contentEnd > pos && text[contentEnd - 1] == u'\r')
                --contentEnd;
            if (contentEnd > pos && text[contentEnd - 1] == u'\\') {
                // Continued: the backslash and the line end go.
                joined.append(text.substr(pos, contentEnd - 1 - pos));
                line.continued = true;
                pos = lf + 1;
                if (pos < to)
                    continue;
                line.contentEnd = contentEnd;
                line.end = pos;
                break;
            }
            if (line.continued)
                joined.append(text.substr(pos, contentEnd - pos));
            line.contentEnd = contentEnd;
            line.end = lf + 1;
            pos = lf + 1;
            break;
        }
        // A line of one physical line is read where it stands.
        const std::u16string_view trimmed =
            line.continued ? Trim(joined)
                           : Trim(text.substr(line.start, line.contentEnd - line.start));
        if (trimmed.empty() || trimmed.front() == u'#')
            continue;
        line.number = number;
        line.hasVariables = trimmed.find(u"${") != std::u16string_view::npos;
        ShapeApacheWords(SplitApacheWords(trimmed), line.kind, line.name, line.words);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::u16string ApacheLineText(std::u16string_view text, const ApacheLine& line) {
    std::u16string joined;
    size_t pos = line.start;
    while (pos < line.contentEnd) {
        size_t lf = text.find(u'\n', pos);
        if (lf == std::u16string_view::npos || lf > line.contentEnd)
            lf = line.contentEnd;
        size_t contentEnd = lf;
        if (contentEnd > pos && text[contentEnd - 1] == u'\r')
            --contentEnd;
        if (lf < line.contentEnd && contentEnd > pos && text[contentEnd - 1] == u'\\')
            --contentEnd;
        joined.append(text.substr(pos, contentEnd - pos));
        pos = lf + 1;
    }
    return std::u16string(Trim(joined));
}

void ShapeApacheWords(std::vector<std::u16string> words, ApacheLineKind& kind, std::u16string& name,
                      std::vector<std::u16string>& args) {
    kind = ApacheLineKind::Directive;
    name.clear();
    args.clear();
    if (words.empty())
        return;
    std::u16string first = std::move(words.front());
    if (first.size() >= 2 && first[0] == u'<' && first[1] == u'/') {
        kind = ApacheLineKind::Close;
        first.erase(0, 2);
    } else if (first.size() >= 2 && first[0] == u'<') {
        kind = ApacheLineKind::Open;
        first.erase(0, 1);
    }
    if (kind != ApacheLineKind::Directive && !first.empty() && first.back() == u'>')
        first.pop_back();
    for (char16_t& c : first) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    name = std::move(first);
    args.assign(std::make_move_iterator(words.begin() + 1), std::make_move_iterator(words.end()));
    if (kind == ApacheLineKind::Open && !args.empty()) {
        if (args.back() == u">")
            args.pop_back();
        else if (!args.back().empty() && args.back().back() == u'>')
            args.back().pop_back();
    }
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
