#include "foundation/paths.h"

namespace qm {

bool IsPathSeparator(char16_t c, PathStyle style) {
    return c == u'/' || (style == PathStyle::Windows && c == u'\\');
}

void EnsureTrailingSeparator(std::u16string& path, PathStyle style) {
    if (path.empty()) {
        path.push_back(PathSeparator(style));
        return;
    }
    const char16_t last = path.back();
    if (last == u'/' || (style == PathStyle::Windows && last == u'\\'))
        return;
    path.push_back(PathSeparator(style));
}

std::u16string NativeSeparators(std::u16string_view path) {
    std::u16string out(path);
    if constexpr (kNativePathStyle == PathStyle::Windows)
        ToBackslashes(out);
    return out;
}

void ToForwardSlashes(std::u16string& path) {
    for (auto& c : path) {
        if (c == u'\\')
            c = u'/';
    }
}

void ToBackslashes(std::u16string& path) {
    for (auto& c : path) {
        if (c == u'/')
            c = u'\\';
    }
}

namespace {
size_t LastSeparator(std::u16string_view path, PathStyle style) {
    for (size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1], style))
            return i - 1;
    }
    return std::u16string_view::npos;
}
}  // namespace

std::u16string SiblingPath(std::u16string_view path, std::u16string_view fileName,
                           PathStyle style) {
    const size_t sep = LastSeparator(path, style);
    if (sep == std::u16string_view::npos)
        return std::u16string(fileName);
    std::u16string out(path.substr(0, sep == 0 ? 1 : sep));
    EnsureTrailingSeparator(out, style);
    out += fileName;
    return out;
}

std::u16string FileNameOf(std::u16string_view path, PathStyle style) {
    const size_t sep = LastSeparator(path, style);
    return std::u16string(sep == std::u16string_view::npos ? path : path.substr(sep + 1));
}

std::u16string DirectoryOf(std::u16string_view path, PathStyle style) {
    const size_t sep = LastSeparator(path, style);
    return sep == std::u16string_view::npos ? std::u16string()
                                            : std::u16string(path.substr(0, sep + 1));
}

std::u16string StripExtension(std::u16string_view fileName) {
    const size_t dot = fileName.rfind(u'.');
    if (dot == std::u16string_view::npos || dot < 2)
        return std::u16string(fileName);
    return std::u16string(fileName.substr(0, dot));
}

bool IsAbsolutePath(std::u16string_view path, PathStyle style) {
    if (style == PathStyle::Posix)
        return !path.empty() && path[0] == u'/';
    if (path.size() >= 3 && path[1] == u':' && IsPathSeparator(path[2], style)) {
        const char16_t d = path[0];
        return (d >= u'A' && d <= u'Z') || (d >= u'a' && d <= u'z');
    }
    return path.size() >= 2 && IsPathSeparator(path[0], style) && IsPathSeparator(path[1], style);
}

std::u16string WithoutTrailingSeparator(std::u16string path, PathStyle style) {
    while (path.size() > 1 && IsPathSeparator(path.back(), style))
        path.pop_back();
    return path;
}

std::u16string PathAgainst(const std::u16string& path, const std::u16string& base,
                           PathStyle style) {
    if (path.empty() || base.empty() || IsAbsolutePath(path, style))
        return path;
    std::u16string dir = base;
    EnsureTrailingSeparator(dir, style);
    if (path == u".")
        return dir;
    if (path.size() > 2 && path[0] == u'.' && IsPathSeparator(path[1], style))
        return dir + path.substr(2);
    return dir + path;
}

}  // namespace qm
