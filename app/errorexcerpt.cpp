#include "app/errorexcerpt.h"

#include <algorithm>
#include <regex>
#include <string_view>
#include <vector>

#include "foundation/files.h"

namespace qm {

namespace {

constexpr std::string_view kErrorTag = "[Error]";
constexpr size_t kMaxLines = 5;
// How far before the tag a search window starts: past the time stamp that
// opens every log line.
constexpr size_t kLookBehind = 30;
constexpr size_t kWindowSize = 200;

}  // namespace

std::string ExtractErrorLines(const std::u16string& path) {
    std::string log;
    if (!ReadFileBytes(path, log))
        return {};
    // "." would let a match run across a lone CR, so line breaks are spelled out.
    static const std::regex lineWithTag(R"([^\r\n]*\[Error\][^\r\n]*)");
    static const std::regex taggedLine(R"(^\s*\[.*\[Error\].*)");

    std::vector<std::string> found;
    size_t pos = log.size();
    while (found.size() < kMaxLines) {
        const size_t tag = log.rfind(kErrorTag, pos);
        if (tag == std::string::npos)
            break;
        const size_t start = tag > kLookBehind ? tag - kLookBehind : 0;
        const std::string window = log.substr(start, kWindowSize);
        std::smatch line;
        if (!std::regex_search(window, line, lineWithTag)) {
            // Cannot happen (the tag lies inside the window), but the search
            // must still move backwards.
            if (start == 0 || start >= pos)
                break;
            pos = start;
            continue;
        }
        const std::string text = line.str();
        if (std::regex_search(text, taggedLine)) {
            found.push_back(text);
            if (start == 0)
                break;
            pos = start;
        } else {
            // The tag sits inside some other line: go on before that line.
            const size_t lineBreak = log.rfind('\n', start);
            if (lineBreak == std::string::npos)
                break;
            pos = lineBreak;
        }
    }
    std::string excerpt;
    for (auto it = found.rbegin(); it != found.rend(); ++it)
        excerpt += *it;
    return excerpt;
}

}  // namespace qm
