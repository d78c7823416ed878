#include "foundation/lineends.h"

#include "foundation/files.h"

namespace qm {

std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

std::string WithoutCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

std::string HostTextBytes(std::string_view text) {
#ifdef _WIN32
    return WithCrLf(text);
#else
    return std::string(text);
#endif
}

std::string ReadTextFileLf(std::u16string_view path) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        return {};
    return WithoutCrLf(bytes);
}

}  // namespace qm
