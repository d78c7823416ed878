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

// One directive or section tag of a file: its logical line.
struct ApacheLine {
    size_t start = 0;           // first character of its first physical line (indentation included)
    size_t contentEnd = 0;      // one past its last character before the final line end
    size_t end = 0;             // one past that line end (the text's end when there is none)
    uint32_t number = 0;        // number of its last physical line, counted from 1 as Apache does
    bool hasVariables = false;  // holds "${": its words depend on the defines
    std::vector<std::u16string> words;  // split as written (variables not replaced)
    std::u16string text;                // the joined, trimmed line
};

// The directive and section lines of a text; blank and comment lines are
// left out.
std::vector<ApacheLine> LexApacheLines(std::u16string_view text);

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
