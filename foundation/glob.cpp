#include "foundation/glob.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "foundation/files.h"
#include "foundation/paths.h"

namespace fs = std::filesystem;

namespace qm {

namespace {

// A "[...]" class at `p` (just after the "["): whether `c` is in it, and
// where the class ends (npos when it never closes: the "[" is literal).
size_t MatchClass(std::u16string_view pattern, size_t p, char16_t c, bool& matched) {
    bool negate = false;
    if (p < pattern.size() && (pattern[p] == u'!' || pattern[p] == u'^')) {
        negate = true;
        ++p;
    }
    bool inClass = false;
    bool first = true;
    while (p < pattern.size() && (first || pattern[p] != u']')) {
        first = false;
        char16_t low = pattern[p];
        if (low == u'\\' && p + 1 < pattern.size())
            low = pattern[++p];
        char16_t high = low;
        if (p + 2 < pattern.size() && pattern[p + 1] == u'-' && pattern[p + 2] != u']') {
            high = pattern[p + 2];
            if (high == u'\\' && p + 3 < pattern.size())
                high = pattern[++p + 2];
            p += 2;
        }
        if (low <= c && c <= high)
            inClass = true;
        ++p;
    }
    if (p >= pattern.size())
        return std::u16string_view::npos;
    matched = inClass != negate;
    return p + 1;
}

bool MatchFrom(std::u16string_view pattern, size_t p, std::u16string_view name, size_t n) {
    while (p < pattern.size()) {
        const char16_t pc = pattern[p];
        if (pc == u'*') {
            while (p < pattern.size() && pattern[p] == u'*')
                ++p;
            if (p == pattern.size())
                return true;
            for (size_t k = n; k <= name.size(); ++k) {
                if (MatchFrom(pattern, p, name, k))
                    return true;
            }
            return false;
        }
        if (n >= name.size())
            return false;
        if (pc == u'?') {
            ++p;
            ++n;
            continue;
        }
        if (pc == u'[') {
            bool matched = false;
            const size_t next = MatchClass(pattern, p + 1, name[n], matched);
            if (next != std::u16string_view::npos) {
                if (!matched)
                    return false;
                p = next;
                ++n;
                continue;
            }
        }
        char16_t literal = pc;
        if (pc == u'\\' && p + 1 < pattern.size())
            literal = pattern[++p];
        if (literal != name[n])
            return false;
        ++p;
        ++n;
    }
    return n == name.size();
}

std::vector<std::u16string> SplitComponents(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (IsPathSeparator(c)) {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    parts.push_back(part);
    return parts;
}

// A component without wildcards, its quoting backslashes removed.
std::u16string Unquoted(std::u16string_view component) {
    std::u16string out;
    for (size_t i = 0; i < component.size(); ++i) {
        if (component[i] == u'\\' && i + 1 < component.size())
            ++i;
        out.push_back(component[i]);
    }
    return out;
}

}  // namespace

bool HasGlobWildcard(std::u16string_view pattern) {
    return pattern.find_first_of(u"*?[") != std::u16string_view::npos;
}

bool GlobMatch(std::u16string_view pattern, std::u16string_view name) {
    // Only a "." written out (or quoted) matches a leading "." (hidden files).
    if (!name.empty() && name.front() == u'.' && !pattern.starts_with(u".") &&
        !pattern.starts_with(u"\\."))
        return false;
    return MatchFrom(pattern, 0, name, 0);
}

std::vector<std::u16string> ExpandGlob(std::u16string_view pattern) {
    if (pattern.empty())
        return {};
    if (!HasGlobWildcard(pattern)) {
        std::error_code ec;
        if (fs::exists(FsPath(pattern), ec))
            return {std::u16string(pattern)};
        return {};
    }
    const std::vector<std::u16string> parts = SplitComponents(pattern);
    const std::u16string separator(1, PathSeparator());
    // Candidates so far, each a path prefix ending where the next component goes.
    std::vector<std::u16string> candidates = {u""};
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::u16string& part = parts[i];
        const bool last = i + 1 == parts.size();
        std::vector<std::u16string> next;
        for (const std::u16string& base : candidates) {
            if (!HasGlobWildcard(part)) {
                next.push_back(base + Unquoted(part) + (last ? u"" : separator));
                continue;
            }
            const std::u16string folder = base.empty() ? u"." : base;
            std::error_code ec;
            fs::directory_iterator it(FsPath(folder), ec);
            if (ec)
                continue;
            for (const auto& entry : it) {
                const std::u16string name = WidePath(entry.path().filename());
                if (!GlobMatch(part, name))
                    continue;
                if (!last) {
                    std::error_code dirEc;
                    if (!entry.is_directory(dirEc))
                        continue;
                }
                next.push_back(base + name + (last ? u"" : separator));
            }
        }
        candidates = std::move(next);
        if (candidates.empty())
            return {};
    }
    std::vector<std::u16string> found;
    for (auto& path : candidates) {
        std::error_code ec;
        if (fs::exists(FsPath(path), ec))
            found.push_back(std::move(path));
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace qm
