// Apache httpd's line rules for configuration files: a line ends at a line
// feed; a backslash right before the line end (a carriage return may stand
// between) joins the next line to it, backslash and line end removed;
// leading and trailing white space is dropped; a line whose first character
// is then "#" is a comment (only whole lines are comments). The words of a
// line are split as Apache splits them: white space separates, double or
// single quotes group (a backslash escapes the quote or a backslash inside
// them), and ${NAME} is replaced before the line is split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

enum class ApacheLineKind : uint8_t {
    Directive,
    Open,   // <Name args>
    Close,  // </Name>
};

// One directive or section tag of a file: its logical line.
struct ApacheLine {
    size_t start = 0;           // first character of its first physical line (indentation included)
    size_t contentEnd = 0;      // one past its last character before the final line end
    size_t end = 0;             // one past that line end (the text's end when there is none)
    uint32_t number = 0;        // number of its last physical line, counted from 1 as Apache does
    bool hasVariables = false;  // holds "${": its words depend on the defines
    bool continued = false;     // made of more than one physical line
    ApacheLineKind kind = ApacheLineKind::Directive;
    // The directive's or section's name in lower case, without "<", "</"
    // and ">"; then its arguments (a tag's ">" removed), split as written
    // (variables not replaced).
    std::u16string name;
    std::vector<std::u16string> words;
};

// The directive and section lines of a text; blank and comment lines are
// left out.
std::vector<ApacheLine> LexApacheLines(std::u16string_view text);
// The lines of text[from, to), where `from` starts a line and the lines
// before it end with physical line `numberBefore`.
std::vector<ApacheLine> LexApacheLines(std::u16string_view text, size_t from, size_t to,
                                       uint32_t numberBefore);
// The joined, trimmed text of a line (continuations removed).
std::u16string ApacheLineText(std::u16string_view text, const ApacheLine& line);

// Name, kind and arguments of a line from its words (the first word is the
// name as written); what LexApacheLines keeps of each line.
void ShapeApacheWords(std::vector<std::u16string> words, ApacheLineKind& kind, std::u16string& name,
                      std::vector<std::u16string>& args);

// The words of a logical line, as Apache's configuration reader takes them.
std::vector<std::u16string> SplitApacheWords(std::u16string_view line);

// ${NAME} replaced by what `lookup` gives (nullptr: the name is unknown and
// the text stays as it stands, as Apache leaves it).
using ApacheVariableLookup = std::function<const std::u16string*(std::u16string_view)>;
std::u16string ExpandApacheVariables(std::u16string_view line, const ApacheVariableLookup& lookup);

// A value as a directive argument: in double quotes, with quotes and
// backslashes escaped.
std::u16string QuoteApacheArgument(std::u16string_view value);

// The white space at the start of the line that begins at `start`.
std::u16string_view IndentationAt(std::u16string_view text, size_t start);

}  // namespace qm
