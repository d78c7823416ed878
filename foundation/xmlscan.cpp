#include "foundation/xmlscan.h"

#include <bit>
#include <cstring>

namespace qm::xml {

namespace {

// Offset of `marker` at or after `pos` (the whole marker before `end`), or npos.
size_t FindMarker(std::u16string_view text, size_t pos, size_t end, std::u16string_view marker) {
    if (end < marker.size())
        return std::u16string_view::npos;
    const size_t last = end - marker.size();
    for (size_t i = pos; i <= last; ++i) {
        if (text[i] == marker[0] && text.compare(i, marker.size(), marker) == 0)
            return i;
    }
    return std::u16string_view::npos;
}

// Offset of the next ">" at or after `pos` that stands outside a quoted
// string (either quote kind), or npos.
size_t FindCloseOutsideQuotes(std::u16string_view text, size_t pos, size_t end) {
    char16_t quote = 0;
    for (size_t i = pos; i < end; ++i) {
        const char16_t c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (IsQuote(c)) {
            quote = c;
        } else if (c == u'>') {
            return i;
        }
    }
    return std::u16string_view::npos;
}

void Unterminated(Node& node, size_t end, const char16_t* what) {
    node.end = end;
    node.unterminated = what;
}

// Character classes of the hot loops; units from 0x80 up belong to none.
enum : uint8_t { kBlank = 1, kNameEnd = 2, kTagStop = 4 };

struct ClassTable {
    uint8_t bits[128] = {};
    constexpr ClassTable() {
        for (const char c : {' ', '\t', '\n', '\r'})
            bits[uint8_t(c)] |= kBlank | kNameEnd;
        bits[uint8_t('/')] |= kNameEnd;
        bits[uint8_t('>')] |= kNameEnd | kTagStop;
        bits[uint8_t('"')] |= kTagStop;
        bits[uint8_t('\'')] |= kTagStop;
    }
};
constexpr ClassTable kClasses;

inline bool Is(char16_t c, uint8_t cls) {
    return c < 128 && (kClasses.bits[c] & cls) != 0;
}

// Offset of the first unit at or after `pos` in class `cls`, or `end`.
inline size_t SkipUntil(const char16_t* p, size_t pos, size_t end, uint8_t cls) {
    while (pos < end && !Is(p[pos], cls))
        ++pos;
    return pos;
}

void ScanStartTag(std::u16string_view text, size_t pos, size_t end, Node& node) {
    const char16_t* p = text.data();
    size_t i = SkipUntil(p, pos + 1, end, kNameEnd);
    node.nameBegin = pos + 1;
    node.nameEnd = i;
    while (true) {
        i = SkipUntil(p, i, end, kTagStop);
        if (i >= end)
            break;
        const char16_t c = p[i];
        if (c == u'>') {
            node.end = i + 1;
            bool empty = false;
            if (p[i - 1] == u'/') {
                const size_t before = i - 2;
                empty = before + 1 == node.nameEnd || IsSpace(p[before]) || IsQuote(p[before]);
            }
            node.kind = empty ? NodeKind::EmptyTag : NodeKind::StartTag;
            return;
        }
        // A quote opens a value only after "=" (blanks may stand between).
        // The unit before the name's end is never blank, so this stops there.
        size_t back = i - 1;
        while (IsSpace(p[back]))
            --back;
        if (p[back] != u'=') {
            ++i;
            continue;
        }
        size_t close = i + 1;
        while (close < end && p[close] != c)
            ++close;
        if (close >= end)
            break;
        i = close + 1;
    }
    node.kind = NodeKind::StartTag;
    Unterminated(node, end, u"Element tag");
}

void ScanEndTag(std::u16string_view text, size_t pos, size_t end, Node& node) {
    node.kind = NodeKind::EndTag;
    const char16_t* p = text.data();
    size_t i = SkipUntil(p, pos + 2, end, kNameEnd);
    node.nameBegin = pos + 2;
    node.nameEnd = i;
    while (i < end && p[i] != u'>')
        ++i;
    if (i < end)
        node.end = i + 1;
    else
        Unterminated(node, end, u"Element end tag");
}

// A DOCTYPE: quotes are honoured and nested markup is skipped to its own end.
void ScanDoctype(std::u16string_view text, size_t pos, size_t end, Node& node) {
    node.kind = NodeKind::Doctype;
    char16_t quote = 0;
    size_t i = pos + 2;
    while (i < end) {
        const char16_t c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            ++i;
            continue;
        }
        if (IsQuote(c)) {
            quote = c;
            ++i;
            continue;
        }
        if (c == u'>') {
            node.end = i + 1;
            return;
        }
        if (c == u'<') {
            size_t close;
            size_t skip = 1;
            if (text.substr(i, 4) == u"<!--") {
                close = FindMarker(text, i + 4, end, u"-->");
                skip = 3;
            } else if (text.substr(i, 2) == u"<?") {
                close = FindMarker(text, i + 2, end, u"?>");
                skip = 2;
            } else {
                close = FindCloseOutsideQuotes(text, i + 1, end);
            }
            if (close == std::u16string_view::npos)
                break;
            i = close + skip;
            continue;
        }
        ++i;
    }
    Unterminated(node, end, u"Doctype");
}

void ScanUntil(std::u16string_view text, size_t from, size_t end, std::u16string_view marker,
               Node& node, const char16_t* what) {
    const size_t close = FindMarker(text, from, end, marker);
    if (close == std::u16string_view::npos)
        Unterminated(node, end, what);
    else
        node.end = close + marker.size();
}

// An error node ends at the next ">" or just before the next "<".
void ScanError(std::u16string_view text, size_t pos, size_t end, Node& node,
               const char16_t* incorrect) {
    node.kind = NodeKind::Error;
    node.incorrect = incorrect;
    for (size_t i = pos + 1; i < end; ++i) {
        if (text[i] == u'>') {
            node.end = i + 1;
            return;
        }
        if (text[i] == u'<') {
            node.end = i;
            return;
        }
    }
    Unterminated(node, end, u"tag");
}

}  // namespace

size_t FindMarkup(std::u16string_view text, size_t pos, size_t end) {
    const char16_t* p = text.data();
    if constexpr (std::endian::native == std::endian::little) {
        // Four units per step: a lane equal to "<" becomes zero after the
        // exclusive or; the lowest flagged lane is always a true match.
        constexpr uint64_t kLt = 0x003C003C003C003CULL;
        constexpr uint64_t kOnes = 0x0001000100010001ULL;
        constexpr uint64_t kHigh = 0x8000800080008000ULL;
        while (pos + 4 <= end) {
            uint64_t word;
            std::memcpy(&word, p + pos, sizeof word);
            const uint64_t x = word ^ kLt;
            const uint64_t hit = (x - kOnes) & ~x & kHigh;
            if (hit != 0)
                return pos + size_t(std::countr_zero(hit)) / 16;
            pos += 4;
        }
    }
    while (pos < end && p[pos] != u'<')
        ++pos;
    return pos;
}

void ScanNode(std::u16string_view text, size_t pos, size_t end, Node& node) {
    node = Node{};
    node.begin = pos;
    if (text[pos] != u'<') {
        node.kind = NodeKind::Text;
        node.end = FindMarkup(text, pos + 1, end);
        return;
    }
    if (pos + 1 >= end) {
        node.kind = NodeKind::Error;
        Unterminated(node, end, u"tag");
        return;
    }
    const char16_t c = text[pos + 1];
    if (c == u'/') {
        ScanEndTag(text, pos, end, node);
    } else if (IsNameStart(c)) {
        ScanStartTag(text, pos, end, node);
    } else if (c == u'?') {
        node.kind = NodeKind::Instruction;
        ScanUntil(text, pos + 2, end, u"?>", node, u"Processing instruction");
    } else if (c != u'!') {
        ScanError(text, pos, end, node, u"tag name character");
    } else if (pos + 2 >= end) {
        node.kind = NodeKind::Error;
        Unterminated(node, end, u"tag");
    } else {
        const char16_t d = text[pos + 2];
        if (d == u'-') {
            if (pos + 3 >= end) {
                node.kind = NodeKind::Error;
                Unterminated(node, end, u"tag");
            } else if (text[pos + 3] != u'-') {
                ScanError(text, pos, end, node, u"comment tag");
            } else {
                node.kind = NodeKind::Comment;
                ScanUntil(text, pos + 4, end, u"-->", node, u"Comment");
            }
        } else if (d == u'[') {
            if (pos + 3 >= end) {
                node.kind = NodeKind::Error;
                Unterminated(node, end, u"tag");
            } else if (text[pos + 3] != u'C') {
                ScanError(text, pos, end, node, u"tag");
            } else {
                node.kind = NodeKind::CData;
                ScanUntil(text, pos + 4, end, u"]]>", node, u"CDATA Section");
            }
        } else if (d == u'D') {
            ScanDoctype(text, pos, end, node);
        } else if (d == u'E' || d == u'A' || d == u'N') {
            node.kind = NodeKind::Declaration;
            const size_t close = FindCloseOutsideQuotes(text, pos + 2, end);
            if (close == std::u16string_view::npos)
                Unterminated(node, end, u"Doctype");
            else
                node.end = close + 1;
        } else {
            ScanError(text, pos, end, node, u"! tag");
        }
    }
}

AttributeSpot FindAttribute(std::u16string_view text, size_t from, size_t limit,
                            std::u16string_view name) {
    AttributeSpot spot;
    spot.insertAt = from;
    size_t wordBegin = 0, wordEnd = 0;  // a word not (yet) followed by "="
    bool pendingWord = false;
    bool expectValue = false;  // the token after "=" is a value
    bool namedValue = false;   // that "=" followed the looked-up name
    auto isName = [&](size_t b, size_t e) { return text.substr(b, e - b) == name; };
    size_t i = from;
    while (true) {
        while (i < limit && IsSpace(text[i]))
            ++i;
        if (i >= limit)
            break;
        const char16_t c = text[i];
        if (expectValue) {
            size_t e = i;
            if (IsQuote(c)) {
                e = i + 1;
                while (e < limit && text[e] != c)
                    ++e;
                if (e < limit)
                    ++e;
            } else {
                while (e < limit && !IsSpace(text[e]) && text[e] != u'>')
                    ++e;
            }
            expectValue = false;
            if (namedValue) {
                spot.hasValue = e > i;
                spot.valueBegin = i;
                spot.valueEnd = e;
                return spot;
            }
            spot.insertAt = e;
            i = e;
            continue;
        }
        if (c == u'=') {
            expectValue = true;
            namedValue = pendingWord && isName(wordBegin, wordEnd);
            if (namedValue) {
                spot.found = true;
                spot.hasEquals = true;
                spot.nameEnd = wordEnd;
                spot.equalsEnd = i + 1;
            }
            pendingWord = false;
            spot.insertAt = i + 1;
            ++i;
            continue;
        }
        if (c == u'/' || c == u'>' || c == u'?')
            break;
        if (pendingWord && isName(wordBegin, wordEnd)) {
            spot.found = true;
            spot.nameEnd = wordEnd;
            return spot;
        }
        pendingWord = false;
        size_t e = i + 1;
        if (IsQuote(c)) {
            while (e < limit && text[e] != c)
                ++e;
            if (e < limit)
                ++e;
        } else {
            while (e < limit && !IsSpace(text[e]) && text[e] != u'=' && text[e] != u'>' &&
                   text[e] != u'/' && text[e] != u'?')
                ++e;
            pendingWord = true;
            wordBegin = i;
            wordEnd = e;
        }
        spot.insertAt = e;
        i = e;
    }
    if (namedValue) {
        spot.valueBegin = spot.valueEnd = spot.equalsEnd;  // "=" with no value
        return spot;
    }
    if (pendingWord && isName(wordBegin, wordEnd)) {
        spot.found = true;
        spot.nameEnd = wordEnd;
    }
    return spot;
}

namespace {

// The value of a numeric reference "&#...;" that starts at `amp`; 0 when
// there is none (the "&" then stays literal).
uint32_t NumericReference(std::u16string_view raw, size_t amp, size_t& after) {
    size_t i = amp + 2;
    if (i >= raw.size())
        return 0;
    // The ";" must follow within seven units.
    size_t semicolon = i;
    const size_t reach = std::min(raw.size(), i + 8);
    while (semicolon < reach && raw[semicolon] != u';')
        ++semicolon;
    if (semicolon >= reach)
        return 0;
    uint32_t value = 0;
    if (raw[i] == u'x') {
        for (++i; i < semicolon; ++i) {
            const char16_t c = raw[i];
            uint32_t digit;
            if (c >= u'0' && c <= u'9')
                digit = c - u'0';
            else if (c >= u'a' && c <= u'f')
                digit = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                digit = c - u'A' + 10;
            else
                break;
            value = value * 16 + digit;
        }
    } else {
        for (; i < semicolon && raw[i] >= u'0' && raw[i] <= u'9'; ++i)
            value = value * 10 + (raw[i] - u'0');
    }
    after = semicolon + 1;
    return value;
}

}  // namespace

void AppendDecoded(std::u16string& out, std::u16string_view raw) {
    struct Entity {
        std::u16string_view name;
        char16_t c;
    };
    static constexpr Entity kEntities[] = {
        {u"&lt;", u'<'}, {u"&amp;", u'&'}, {u"&gt;", u'>'}, {u"&apos;", u'\''}, {u"&quot;", u'"'},
    };
    size_t i = 0;
    while (i < raw.size()) {
        size_t amp = raw.find(u'&', i);
        if (amp == std::u16string_view::npos) {
            out.append(raw.substr(i));
            return;
        }
        out.append(raw.substr(i, amp - i));
        i = amp + 1;
        bool replaced = false;
        if (amp + 1 < raw.size() && raw[amp + 1] == u'#') {
            size_t after = 0;
            const uint32_t value = NumericReference(raw, amp, after);
            if (value != 0) {
                out.push_back(static_cast<char16_t>(value & 0xFFFF));
                i = after;
                replaced = true;
            }
        } else {
            for (const Entity& entity : kEntities) {
                if (raw.compare(amp, entity.name.size(), entity.name) == 0) {
                    out.push_back(entity.c);
                    i = amp + entity.name.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out.push_back(u'&');
    }
}

namespace {
// "<", "&" and ">" always; the quotes too inside attribute values.
void AppendEncoded(std::u16string& out, std::u16string_view text, bool quotes) {
    for (const char16_t c : text) {
        switch (c) {
            case u'<':
                out.append(u"&lt;");
                break;
            case u'&':
                out.append(u"&amp;");
                break;
            case u'>':
                out.append(u"&gt;");
                break;
            case u'\'':
                out.append(quotes ? u"&apos;" : u"'");
                break;
            case u'"':
                out.append(quotes ? u"&quot;" : u"\"");
                break;
            default:
                out.push_back(c);
        }
    }
}
}  // namespace

void AppendEncodedAttribute(std::u16string& out, std::u16string_view value) {
    AppendEncoded(out, value, true);
}

void AppendEncodedData(std::u16string& out, std::u16string_view data) {
    AppendEncoded(out, data, false);
}

}  // namespace qm::xml
