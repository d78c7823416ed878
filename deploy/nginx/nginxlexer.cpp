#include "deploy/nginx/nginxlexer.h"

#include <algorithm>
#include <iterator>

namespace qm {

namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// The size of nginx's reading buffer, which bounds a word.
constexpr size_t kBuffer = 4096;

// What ends a plain word, or needs the careful path (an escape, a variable).
constexpr std::u16string_view kWordStops = u" \t\r\n;{\\$";

// How a statement ended.
enum class Stop { Semicolon, BlockStart, BlockDone, End };

// The word's value as nginx builds it: \" \' \\ stand for the character,
// \t \r \n for the control character, any other backslash stays.
std::u16string Unescape(std::u16string_view raw) {
    if (raw.find(u'\\') == std::u16string_view::npos)
        return std::u16string(raw);
    std::u16string value;
    value.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == u'\\' && i + 1 < raw.size()) {
            switch (raw[i + 1]) {
                case u'"':
                case u'\'':
                case u'\\':
                    ++i;
                    break;
                case u't':
                    value.push_back(u'\t');
                    ++i;
                    continue;
                case u'r':
                    value.push_back(u'\r');
                    ++i;
                    continue;
                case u'n':
                    value.push_back(u'\n');
                    ++i;
                    continue;
                default:
                    break;
            }
        }
        value.push_back(raw[i]);
    }
    return value;
}

// Reads one statement the way nginx's own reader does: words up to a ";",
// a "{", a "}" or the end of the text.
class Lexer {
public:
    Lexer(std::u16string_view text, NginxParse& parse) : text_(text), parse_(parse) {}

    Stop Read(std::vector<NginxWord>& words, size_t& stopAt) {
        words.clear();
        bool needSpace = false, lastSpace = true, comment = false, variable = false;
        bool escaped = false, singleQuoted = false, doubleQuoted = false;
        size_t start = pos_;
        size_t commentStart = pos_;
        while (pos_ < text_.size()) {
            // nginx reads through a buffer of 4096 bytes: a word (or comment)
            // that does not fit into it is refused.
            if ((comment || !lastSpace) && pos_ - (comment ? commentStart : start) >= kBuffer)
                TooLong(comment ? commentStart : start, singleQuoted, doubleQuoted);
            const char16_t ch = text_[pos_++];
            if (ch == u'\n')
                comment = false;
            if (comment)
                continue;
            if (escaped) {
                escaped = false;
                continue;
            }
            if (needSpace) {
                if (IsBlank(ch)) {
                    lastSpace = true;
                    needSpace = false;
                    continue;
                }
                if (ch == u';' || ch == u'{') {
                    stopAt = pos_ - 1;
                    return ch == u';' ? Stop::Semicolon : Stop::BlockStart;
                }
                if (ch != u')')
                    Fail(std::u16string(u"unexpected \"") + ch + u"\"", pos_ - 1);
                // ")" after a quoted word (if ($a = "b")) starts a word of its own.
                lastSpace = true;
                needSpace = false;
            }
            if (lastSpace) {
                start = pos_ - 1;
                if (IsBlank(ch))
                    continue;
                switch (ch) {
                    case u';':
                    case u'{':
                        stopAt = pos_ - 1;
                        if (words.empty()) {
                            Fail(std::u16string(u"unexpected \"") + ch + u"\"", stopAt);
                            if (ch == u';')
                                continue;  // nothing to end: passed over
                        }
                        return ch == u';' ? Stop::Semicolon : Stop::BlockStart;
                    case u'}':
                        stopAt = pos_ - 1;
                        if (!words.empty())
                            Fail(u"unexpected \"}\"", stopAt);
                        return Stop::BlockDone;
                    case u'#': {
                        // The rest of the line at once.
                        commentStart = pos_ - 1;
                        size_t lf = text_.find(u'\n', pos_);
                        if (lf == std::u16string_view::npos)
                            lf = text_.size();
                        if (lf + 1 - commentStart > kBuffer)
                            TooLong(commentStart, false, false);
                        pos_ = lf;
                        continue;
                    }
                    case u'\\':
                        escaped = true;
                        lastSpace = false;
                        continue;
                    case u'"':
                        ++start;
                        doubleQuoted = true;
                        lastSpace = false;
                        continue;
                    case u'\'':
                        ++start;
                        singleQuoted = true;
                        lastSpace = false;
                        continue;
                    case u'$':
                        variable = true;
                        lastSpace = false;
                        continue;
                    default: {
                        lastSpace = false;
                        // A plain word: straight to the character that ends
                        // it, unless an escape or a variable comes first.
                        const size_t stop = text_.find_first_of(kWordStops, pos_);
                        if (stop != std::u16string_view::npos && text_[stop] != u'\\' &&
                            text_[stop] != u'$')
                            pos_ = stop;
                    }
                }
                continue;
            }
            if (ch == u'{' && variable)
                continue;  // "${name}"
            variable = false;
            if (ch == u'\\') {
                escaped = true;
                continue;
            }
            if (ch == u'$') {
                variable = true;
                continue;
            }
            bool found = false;
            if (doubleQuoted) {
                if (ch == u'"') {
                    doubleQuoted = false;
                    needSpace = found = true;
                }
            } else if (singleQuoted) {
                if (ch == u'\'') {
                    singleQuoted = false;
                    needSpace = found = true;
                }
            } else if (IsBlank(ch) || ch == u';' || ch == u'{') {
                lastSpace = found = true;
            }
            if (!found)
                continue;
            const bool quoted = needSpace;
            NginxWord word;
            word.start = quoted ? start - 1 : start;
            word.end = quoted ? pos_ : pos_ - 1;
            word.value = Unescape(text_.substr(start, pos_ - 1 - start));
            word.quoted = quoted;
            words.push_back(std::move(word));
            if (ch == u';' || ch == u'{') {
                stopAt = pos_ - 1;
                return ch == u';' ? Stop::Semicolon : Stop::BlockStart;
            }
        }
        // The text ends inside a word: it is the statement's last one.
        if (!lastSpace && !needSpace) {
            NginxWord word;
            const bool quoted = singleQuoted || doubleQuoted;
            word.start = quoted ? start - 1 : start;
            word.end = text_.size();
            word.value = Unescape(text_.substr(start));
            word.quoted = quoted;
            words.push_back(std::move(word));
        }
        if (!words.empty())
            Fail(u"unexpected end of file, expecting \";\" or \"}\"", text_.size());
        stopAt = text_.size();
        return Stop::End;
    }

    void TooLong(size_t start, bool singleQuoted, bool doubleQuoted) {
        if (singleQuoted || doubleQuoted) {
            Fail(std::u16string(u"too long parameter, probably missing terminating \"") +
                     (doubleQuoted ? u'"' : u'\'') + u"\" character",
                 start);
        } else {
            Fail(u"too long parameter \"" + std::u16string(text_.substr(start, 10)) +
                     u"...\" started",
                 start);
        }
    }

    void Fail(std::u16string message, size_t at) {
        if (!parse_.error.empty())
            return;
        parse_.error = std::move(message);
        parse_.errorAt = at;
    }

private:
    std::u16string_view text_;
    NginxParse& parse_;
    size_t pos_ = 0;
};

NginxDirective MakeDirective(std::vector<NginxWord>& words, size_t at) {
    NginxDirective d;
    if (words.empty()) {
        // A "{" with no name before it: an unnamed block where it stands.
        NginxWord nameless;
        nameless.start = nameless.end = at;
        words.push_back(std::move(nameless));
    }
    // An exact copy: the scratch list keeps its room for the next statement.
    d.words.reserve(words.size());
    std::move(words.begin(), words.end(), std::back_inserter(d.words));
    words.clear();
    return d;
}

}  // namespace

NginxParse ParseNginxText(std::u16string_view text) {
    NginxParse parse;
    Lexer lexer(text, parse);
    // Open blocks, innermost last; iterative, so no nesting depth can
    // exhaust the stack.
    std::vector<NginxDirective> open;
    auto level = [&]() -> std::vector<NginxDirective>& {
        return open.empty() ? parse.directives : open.back().children;
    };
    std::vector<NginxWord> words;
    for (;;) {
        size_t at = 0;
        const Stop stop = lexer.Read(words, at);
        if (stop == Stop::Semicolon) {
            NginxDirective d = MakeDirective(words, at);
            d.terminator = at;
            d.end = at + 1;
            level().push_back(std::move(d));
            continue;
        }
        if (stop == Stop::BlockStart) {
            NginxDirective d = MakeDirective(words, at);
            d.terminator = at;
            d.hasBlock = true;
            open.push_back(std::move(d));
            continue;
        }
        if (!words.empty()) {
            // Words without their ";": they end where the statement did.
            NginxDirective d = MakeDirective(words, at);
            d.end = d.words.back().end;
            level().push_back(std::move(d));
        }
        if (stop == Stop::BlockDone) {
            if (open.empty()) {
                lexer.Fail(u"unexpected \"}\"", at);
                continue;
            }
            NginxDirective d = std::move(open.back());
            open.pop_back();
            d.close = at;
            d.end = at + 1;
            level().push_back(std::move(d));
            continue;
        }
        // The end of the text closes what is still open.
        if (!open.empty())
            lexer.Fail(u"unexpected end of file, expecting \"}\"", text.size());
        while (!open.empty()) {
            NginxDirective d = std::move(open.back());
            open.pop_back();
            d.end = text.size();
            level().push_back(std::move(d));
        }
        return parse;
    }
}

size_t LineNumberAt(std::u16string_view text, size_t position) {
    position = std::min(position, text.size());
    return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + position, u'\n'));
}

}  // namespace qm
