#define PCRE2_CODE_UNIT_WIDTH 16
#include "foundation/regex.h"

#include <pcre2.h>

#include <map>
#include <mutex>

#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

struct Regex::Compiled {
    pcre2_code* code = nullptr;
    uint32_t groupCount = 0;
    ~Compiled() { pcre2_code_free(code); }
};

namespace {

static_assert(sizeof(PCRE2_UCHAR) == sizeof(char16_t));

PCRE2_SPTR Units(std::u16string_view text) {
    return reinterpret_cast<PCRE2_SPTR>(text.data());
}

// PCRE2's "." skips only the newline sequence; rewrite every "." outside a
// character class as "[^\r\n]" so that it also skips a lone carriage return
// while "^" and "$" keep to line feeds.
std::u16string TranslatePattern(std::u16string_view pattern) {
    std::u16string out;
    out.reserve(pattern.size() + 16);
    bool inClass = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char16_t c = pattern[i];
        if (c == u'\\' && i + 1 < pattern.size()) {
            out.push_back(c);
            out.push_back(pattern[++i]);
            continue;
        }
        if (inClass) {
            if (c == u']')
                inClass = false;
            out.push_back(c);
            continue;
        }
        if (c == u'[') {
            inClass = true;
            out.push_back(c);
            // A "]" right after "[" or "[^" is a literal member.
            if (i + 1 < pattern.size() && pattern[i + 1] == u'^')
                out.push_back(pattern[++i]);
            if (i + 1 < pattern.size() && pattern[i + 1] == u']')
                out.push_back(pattern[++i]);
            continue;
        }
        if (c == u'.') {
            out += u"[^\\r\\n]";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::shared_ptr<const Regex::Compiled> Compile(std::u16string_view pattern, unsigned flags) {
    static std::mutex lock;
    static std::map<std::pair<std::u16string, unsigned>, std::shared_ptr<const Regex::Compiled>>
        cache;
    std::lock_guard<std::mutex> guard(lock);
    auto key = std::make_pair(std::u16string(pattern), flags);
    if (auto it = cache.find(key); it != cache.end())
        return it->second;
    // Patterns built from configuration values could grow the cache without
    // bound; start afresh when it gets large (holders keep their entries).
    if (cache.size() >= 4096)
        cache.clear();

    const std::u16string translated = TranslatePattern(pattern);
    uint32_t options = PCRE2_MULTILINE | PCRE2_ALT_BSUX;
    if (flags & Regex::kIgnoreCase)
        options |= PCRE2_CASELESS;
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_LF);
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code =
        pcre2_compile(Units(translated), translated.size(), options, &error, &errorOffset, context);
    pcre2_compile_context_free(context);
    if (!code) {
        PCRE2_UCHAR message[256] = {};
        pcre2_get_error_message(error, message, 256);
        LogError(u"Regex: cannot compile \"%s\" at %d: %s", std::u16string(pattern),
                 static_cast<int>(errorOffset),
                 std::u16string(reinterpret_cast<const char16_t*>(message)));
        ThrowResult(result::kUndefined);
    }
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter
    auto compiled = std::make_shared<Regex::Compiled>();
    compiled->code = code;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &compiled->groupCount);
    cache.emplace(std::move(key), compiled);
    return compiled;
}

struct MatchData {
    explicit MatchData(const pcre2_code* code)
        : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
    ~MatchData() { pcre2_match_data_free(data); }
    MatchData(const MatchData&) = delete;
    MatchData& operator=(const MatchData&) = delete;
    pcre2_match_data* data;
};

// One match attempt on `range` starting at `start`; offsets are relative to
// the range and shifted by `base`.
std::optional<RegexMatch> MatchAt(const Regex::Compiled& c, MatchData& md,
                                  std::u16string_view range, size_t start, uint32_t options,
                                  size_t base) {
    const int rc =
        pcre2_match(c.code, Units(range), range.size(), start, options, md.data, nullptr);
    if (rc < 0) {
        if (rc != PCRE2_ERROR_NOMATCH) {
            LogError("Regex: match failed with PCRE2 error %d", rc);
        }
        return std::nullopt;
    }
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
    RegexMatch m;
    m.groups.resize(c.groupCount + 1);
    for (uint32_t g = 0; g <= c.groupCount; ++g) {
        if (static_cast<int>(g) >= rc || ov[2 * g] == PCRE2_UNSET) {
            m.groups[g] = {RegexMatch::npos, 0};
        } else {
            m.groups[g] = {base + ov[2 * g], ov[2 * g + 1] - ov[2 * g]};
        }
    }
    return m;
}

}  // namespace

std::u16string RegexMatch::str(std::u16string_view text, size_t group) const {
    if (!matched(group))
        return {};
    return std::u16string(text.substr(groups[group].first, groups[group].second));
}

Regex::Regex(std::u16string_view pattern, unsigned flags) : compiled_(Compile(pattern, flags)) {}

std::optional<RegexMatch> Regex::Search(std::u16string_view text, size_t from) const {
    if (from > text.size())
        return std::nullopt;
    MatchData md(compiled_->code);
    return MatchAt(*compiled_, md, text.substr(from), 0, 0, from);
}

std::vector<RegexMatch> Regex::SearchAll(std::u16string_view text, size_t from) const {
    std::vector<RegexMatch> out;
    if (from > text.size())
        return out;
    const std::u16string_view range = text.substr(from);
    MatchData md(compiled_->code);
    size_t start = 0;
    uint32_t options = 0;
    while (start <= range.size()) {
        auto m = MatchAt(*compiled_, md, range, start, options, from);
        if (!m) {
            if (options == 0)
                break;
            // No non-empty match at this place: move on by one character.
            options = 0;
            ++start;
            continue;
        }
        const size_t relEnd = m->end() - from;
        const bool empty = m->length() == 0;
        out.push_back(std::move(*m));
        start = relEnd;
        // After an empty match, look for a non-empty one at the same place
        // before stepping on, as ECMAScript iteration does.
        options = empty ? (PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED) : 0;
    }
    return out;
}

bool Regex::FullMatch(std::u16string_view text) const {
    MatchData md(compiled_->code);
    auto m = MatchAt(*compiled_, md, text, 0, PCRE2_ANCHORED | PCRE2_ENDANCHORED, 0);
    return m.has_value();
}

std::u16string RegexEscape(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        if (std::u16string_view(u"\\^$.|?*+()[]{}/-").find(c) != std::u16string_view::npos) {
            out.push_back(u'\\');
        }
        out.push_back(c);
    }
    return out;
}

std::u16string ReplacementEscape(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c == u'$')
            out.push_back(u'$');
        out.push_back(c);
    }
    return out;
}

std::u16string ExpandReplacement(std::u16string_view text, const RegexMatch& match,
                                 std::u16string_view replacement) {
    std::u16string out;
    out.reserve(replacement.size());
    for (size_t i = 0; i < replacement.size(); ++i) {
        const char16_t c = replacement[i];
        if (c != u'$' || i + 1 >= replacement.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t n = replacement[i + 1];
        if (n == u'$') {
            out.push_back(u'$');
            ++i;
        } else if (n == u'&') {
            out += match.str(text);
            ++i;
        } else if (n == u'`') {
            out += text.substr(0, match.position());
            ++i;
        } else if (n == u'\'') {
            out += text.substr(match.end());
            ++i;
        } else if (n >= u'0' && n <= u'9') {
            size_t group = n - u'0';
            size_t used = 1;
            if (i + 2 < replacement.size() && replacement[i + 2] >= u'0' &&
                replacement[i + 2] <= u'9') {
                const size_t two = group * 10 + (replacement[i + 2] - u'0');
                if (two > 0 && two < match.groups.size())
                    group = two, used = 2;
            }
            if (group == 0 || group >= match.groups.size()) {
                out.push_back(c);  // not a group reference: keep "$" literally
                continue;
            }
            out += match.str(text, group);
            i += used;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::u16string Regex::ReplaceFirst(std::u16string_view text,
                                   std::u16string_view replacement) const {
    auto m = Search(text);
    if (!m)
        return std::u16string(text);
    std::u16string out(text.substr(0, m->position()));
    out += ExpandReplacement(text, *m, replacement);
    out += text.substr(m->end());
    return out;
}

std::u16string Regex::ReplaceAll(std::u16string_view text, std::u16string_view replacement) const {
    const auto matches = SearchAll(text);
    if (matches.empty())
        return std::u16string(text);
    std::u16string out;
    out.reserve(text.size());
    size_t last = 0;
    for (const auto& m : matches) {
        out += text.substr(last, m.position() - last);
        out += ExpandReplacement(text, m, replacement);
        last = m.end();
    }
    out += text.substr(last);
    return out;
}

}  // namespace qm
