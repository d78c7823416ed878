// Regular expressions over UTF-16 text (PCRE2, 16-bit library), with the
// semantics the configuration editors rely on:
//   - "^" matches at the start of the searched range and after every line
//     feed (not after a lone carriage return); "$" before every line feed
//     and at the end;
//   - "." matches any character except carriage return and line feed;
//   - the leftmost match wins; replacements understand "$&", "$n", "$nn",
//     "$`", "$'" and "$$".
// Compiled patterns are cached process-wide, so constructing a Regex for a
// pattern used before costs one lookup.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct RegexMatch {
    // Offsets into the searched text; npos for a group that did not take part.
    static constexpr size_t npos = static_cast<size_t>(-1);
    std::vector<std::pair<size_t, size_t>> groups;  // [0] is the whole match: (offset, length)

    size_t position(size_t group = 0) const { return groups[group].first; }
    size_t length(size_t group = 0) const { return groups[group].second; }
    size_t end() const { return groups[0].first + groups[0].second; }
    bool matched(size_t group) const {
        return group < groups.size() && groups[group].first != npos;
    }
    std::u16string str(std::u16string_view text, size_t group = 0) const;
};

class Regex {
public:
    enum Flags : unsigned { kNone = 0, kIgnoreCase = 1 };

    // Throws ExceptionEx ("undefined", with an Error log line) when the
    // pattern does not compile: patterns are program text, so that is a
    // fault of the program.
    explicit Regex(std::u16string_view pattern, unsigned flags = kNone);

    // The leftmost match in text[from, end); "^" also matches at `from`.
    std::optional<RegexMatch> Search(std::u16string_view text, size_t from = 0) const;

    // Every non-overlapping match in text[from, end), left to right.
    std::vector<RegexMatch> SearchAll(std::u16string_view text, size_t from = 0) const;

    // Whether the whole text matches.
    bool FullMatch(std::u16string_view text) const;

    std::u16string ReplaceFirst(std::u16string_view text, std::u16string_view replacement) const;
    std::u16string ReplaceAll(std::u16string_view text, std::u16string_view replacement) const;

    struct Compiled;

private:
    std::shared_ptr<const Compiled> compiled_;
};

// A pattern that matches `text` literally.
std::u16string RegexEscape(std::u16string_view text);

// A replacement text that inserts `text` literally ("$" doubled).
std::u16string ReplacementEscape(std::u16string_view text);

// Expands "$&", "$n", "$nn", "$`", "$'" and "$$" of a replacement text.
std::u16string ExpandReplacement(std::u16string_view text, const RegexMatch& match,
                                 std::u16string_view replacement);

}  // namespace qm
