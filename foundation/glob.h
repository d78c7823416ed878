// File-name patterns as the POSIX shell and glob(3) read them: "*", "?" and
// "[...]" in any component of a path, a leading "." matched only by a "."
// written out, a backslash quoting the next character. Servers such as
// nginx and Apache expand their include patterns this way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Whether the text holds a wildcard ("*", "?" or "[").
bool HasGlobWildcard(std::u16string_view pattern);

// Whether one file name matches one pattern component.
bool GlobMatch(std::u16string_view pattern, std::u16string_view name);

// The existing paths the pattern names, sorted in code-unit order (as
// glob(3) sorts them in the C locale). A pattern without wildcards gives
// itself when the path exists. Folders that cannot be listed give nothing.
std::vector<std::u16string> ExpandGlob(std::u16string_view pattern);

}  // namespace qm
