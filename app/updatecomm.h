// The update lookup: the maker's update description (an XML file) read for
// the newest version of this program and the change description in the
// operator's language, plus the archive's digest and size, which the
// self-update checks the downloaded archive against.
#pragma once

#include <string>
#include <string_view>

namespace qm {

struct UpdateDescription {
    std::u16string version;      // "num" of the program's first "version"
    std::u16string description;  // the text of the requested description element
    std::string sha256;          // the archive's SHA-256, lower-case hex; empty when not given
    long long size = -1;         // the archive's size in bytes; -1 when not given
};

class UpdateComm {
public:
    // Downloads the description at `url` (trusting `caFile` besides the
    // system's anchors) and reads the first "config"/"file" whose "name" is
    // exactly `programName`: its first "version"'s "num", and the text of
    // the element `despName` ("desp-en" or "desp-cn") inside it. Every
    // failure raises "UpdateComm::GetVerInfo"; `out.version` keeps what was
    // read before a later step failed.
    static void GetVerInfo(std::u16string_view url, std::u16string_view programName,
                           std::u16string_view despName, std::u16string_view caFile,
                           UpdateDescription& out);

    // The reading part on its own: the description's text (UTF-8).
    // Raises "undefined" for a missing element or an unreadable document.
    static void ReadDescription(std::u16string_view xmlText, std::u16string_view programName,
                                std::u16string_view despName, UpdateDescription& out);
};

}  // namespace qm
