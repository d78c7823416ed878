// Path texts. Helpers that depend on the separator take a path style, so the
// Windows and POSIX forms are both available (and tested) on every host;
// server-configuration code uses the native style.
#pragma once

#include <string>
#include <string_view>

namespace qm {

enum class PathStyle { Windows, Posix };

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

constexpr char16_t PathSeparator(PathStyle style = kNativePathStyle) {
    return style == PathStyle::Windows ? u'\\' : u'/';
}

// Whether `c` ends a path component in the style (Windows accepts both).
bool IsPathSeparator(char16_t c, PathStyle style = kNativePathStyle);

// Appends the style's separator unless the path already ends in one (or, in
// the Windows style, is "/"). An empty path becomes the bare separator.
void EnsureTrailingSeparator(std::u16string& path, PathStyle style = kNativePathStyle);

// A relative path written with "/" in the host's own separators.
std::u16string NativeSeparators(std::u16string_view path);

void ToForwardSlashes(std::u16string& path);
void ToBackslashes(std::u16string& path);

// The directory part of `path` (without its trailing separator) joined with
// `fileName`; just `fileName` when the path has no directory part.
std::u16string SiblingPath(std::u16string_view path, std::u16string_view fileName,
                           PathStyle style = kNativePathStyle);

// The text after the last separator.
std::u16string FileNameOf(std::u16string_view path, PathStyle style = kNativePathStyle);

// The text up to and including the last separator; empty when there is none.
std::u16string DirectoryOf(std::u16string_view path, PathStyle style = kNativePathStyle);

// The file name without its extension: the text before the last ".", or the
// whole text when there is no "." or the last "." is its first or second
// character.
std::u16string StripExtension(std::u16string_view fileName);

// The path without trailing separators (a root stays as it is).
std::u16string WithoutTrailingSeparator(std::u16string path, PathStyle style = kNativePathStyle);

// `path` against the folder `base` when it is relative (and `base` is
// given); an absolute path as it stands.
std::u16string PathAgainst(const std::u16string& path, const std::u16string& base,
                           PathStyle style = kNativePathStyle);

// Whether the path is absolute in the style ("/..." on POSIX; a drive root
// "C:\...", or a "\\server\..." share, on Windows).
bool IsAbsolutePath(std::u16string_view path, PathStyle style = kNativePathStyle);

}  // namespace qm
