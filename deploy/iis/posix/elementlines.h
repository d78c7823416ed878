// Where an element of a hand-formatted XML file begins its line: what a
// splice that adds an element on a line of its own, and the removal that
// takes exactly that line again, work from.
#pragma once

#include <cstddef>
#include <string>

namespace qm {

// Where the blanks before `pos` on its line begin.
size_t IndentStart(const std::u16string& text, size_t pos);
// Where the removal of an element that starts at `start` begins: its line
// end and indentation go with it when it stands at the start of a line.
size_t RemovalStart(const std::u16string& text, size_t start);
// The line end the text uses: "\r\n" when it has one, else "\n".
std::u16string LineEndOfText(const std::u16string& text);

}  // namespace qm
