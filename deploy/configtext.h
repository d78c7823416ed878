// Text of text-configured servers (Apache, nginx): paths as configuration
// files write them, and the line ends of inserted text.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// A path as a configuration writes it (one character per byte, as read)
// and as the file system names it: the bytes are UTF-8 (a text that is not
// stays as it is).
std::u16string PathFromConfigText(std::u16string_view written);
// A path as configuration text: its UTF-8 bytes, one character each.
std::u16string ConfigTextFromPath(std::u16string_view path);

// Line ends of a text: "\r\n" when its first line ends that way, else "\n".
std::u16string_view LineEndOf(std::u16string_view text);
// Inserted text written with "\n" in the line ends of the file it goes into.
std::u16string WithLineEnds(std::u16string_view inserted, std::u16string_view lineEnd);

}  // namespace qm
