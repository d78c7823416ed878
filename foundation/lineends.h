// Line ends of text files: CR LF on Windows, LF on POSIX hosts.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Every LF not already preceded by CR becomes CR LF.
std::string WithCrLf(std::string_view text);

// Every CR LF becomes LF.
std::string WithoutCrLf(std::string_view text);

// The text as a text file of this host holds it (CR LF on Windows).
std::string HostTextBytes(std::string_view text);

// A text file's content with its lines ending in LF, whatever wrote it;
// empty when the file cannot be read.
std::string ReadTextFileLf(std::u16string_view path);

}  // namespace qm
