// The nginx configuration language as nginx itself reads it: words separated
// by blanks and line ends, double- and single-quoted words with backslash
// escapes, "#" comments from the start of a word to the end of the line,
// "${name}" inside a word, and ";", "{" and "}" as the only structure. A
// brace inside a quoted word, inside a comment, or in the middle of a word
// ("a}b") is part of that word, exactly as nginx sees it.
//
// The parse keeps every word's place in the text, so edits can be splices
// that leave every byte outside them unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct NginxWord {
    size_t start = 0;      // first character (an opening quote included)
    size_t end = 0;        // one past the last (the closing quote included)
    std::u16string value;  // as nginx takes it: quotes removed, escapes resolved
    bool quoted = false;
};

struct NginxDirective {
    static constexpr size_t npos = std::u16string_view::npos;

    std::vector<NginxWord> words;  // the name first, then the arguments
    size_t end = 0;                // one past its ";" or its block's "}"
    size_t terminator = npos;      // where its ";" or "{" stands; npos: the text ended first
    size_t close = npos;           // where its block's "}" stands; npos: no block, or unclosed
    bool hasBlock = false;
    std::vector<NginxDirective> children;

    const std::u16string& name() const { return words.front().value; }
    size_t start() const { return words.front().start; }
    size_t argCount() const { return words.size() - 1; }
    const std::u16string& arg(size_t i) const { return words[i + 1].value; }
};

struct NginxParse {
    std::vector<NginxDirective> directives;
    // The first thing nginx would refuse, in nginx's words, and where it
    // stands; empty when the text is well formed. The parse goes on past
    // it: a directive the text ends in is closed at the end of the text, a
    // stray "}" or ";" is passed over.
    std::u16string error;
    size_t errorAt = NginxDirective::npos;
};

NginxParse ParseNginxText(std::u16string_view text);

// The 1-based line number of a position.
size_t LineNumberAt(std::u16string_view text, size_t position);

}  // namespace qm
