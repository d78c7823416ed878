// Lexical layer of XmlDocument: cuts a text into nodes (text, tags,
// comments, processing instructions, CDATA sections, declarations, errors)
// and reads names, attributes and character references. No allocation, no
// dependencies beyond the standard library, so the fuzzer can build it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::xml {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}
inline bool IsQuote(char16_t c) {
    return c == u'"' || c == u'\'';
}
// A character that may begin an element name after "<".
inline bool IsNameStart(char16_t c) {
    return c == u':' || c == u'_' || (c >= u'A' && c <= u'Z') || c >= u'a';
}
// Where the name of a tag ends while the document is cut into nodes.
inline bool EndsTagName(char16_t c) {
    return IsSpace(c) || c == u'/' || c == u'>';
}
// Where an element's name ends when it is read back for comparison.
inline bool EndsElementName(char16_t c) {
    return IsSpace(c) || c == u'<' || c == u'>' || c == u'=' || c == u'\\' || c == u'/' ||
           c == u'?' || c == u'!';
}

enum class NodeKind : uint8_t {
    Text,  // character data or whitespace up to the next "<"
    StartTag,
    EmptyTag,  // start tag closed by "/>"
    EndTag,
    Instruction,
    Comment,
    CData,
    Doctype,
    Declaration,  // "<!ELEMENT", "<!ATTLIST", "<!NOTATION", "<!ENTITY" outside a DOCTYPE
    Error,
};

struct Node {
    NodeKind kind = NodeKind::Text;
    size_t begin = 0;
    size_t end = 0;        // one past the node's last unit
    size_t nameBegin = 0;  // tags: the name as used to pair start and end tags
    size_t nameEnd = 0;
    const char16_t* incorrect = nullptr;     // "Incorrect %s at offset %d"
    const char16_t* unterminated = nullptr;  // "%s at offset %d unterminated"
};

// Scans the node that begins at `pos` (< `end`). A node cut off by `end`
// runs to `end` and carries `unterminated`.
void ScanNode(std::u16string_view text, size_t pos, size_t end, Node& node);

// Offset of the next "<" at or after `pos`, or `end`.
size_t FindMarkup(std::u16string_view text, size_t pos, size_t end);

// One attribute found in a start tag (see FindAttribute).
struct AttributeSpot {
    bool found = false;
    bool hasEquals = false;
    bool hasValue = false;
    size_t nameEnd = 0;
    size_t equalsEnd = 0;
    size_t valueBegin = 0;  // including the quotes of a quoted value
    size_t valueEnd = 0;
    size_t insertAt = 0;  // after the last token before "/", ">" or "?"
};

// Looks `name` up among the attribute tokens of the start tag range
// [from, limit): `from` is the end of the element name, `limit` the "/" of a
// closing "/>" or the closing ">". A bare word counts as an attribute whose
// value is the word itself.
AttributeSpot FindAttribute(std::u16string_view text, size_t from, size_t limit,
                            std::u16string_view name);

// Appends `raw` with the five predefined entities and numeric character
// references resolved.
void AppendDecoded(std::u16string& out, std::u16string_view raw);

// Attribute values: all of < & > ' " escaped. Character data: < & > only.
void AppendEncodedAttribute(std::u16string& out, std::u16string_view value);
void AppendEncodedData(std::u16string& out, std::u16string_view data);

}  // namespace qm::xml
