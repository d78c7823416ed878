// The "publish" command: an installed program tree packed into the release
// folder the service serves, with the archive's checksum and the update
// description Quillmate's version check reads:
//
//   <?xml version="1.0" encoding="utf-8"?>
//   <config>
//     <file name="Quillmate.exe">
//       <version num="A.B.C.D" sha256="HEX" size="BYTES">
//         <desp-en>TEXT</desp-en>
//         <desp-cn>TEXT</desp-cn>
//       </version>
//     </file>
//   </config>
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "services/options.h"

namespace qm::services {

inline constexpr const char* kArchiveName = "Quillmate.zip";
inline constexpr const char* kChecksumName = "Quillmate.zip.sha256";
inline constexpr const char* kDescriptionName = "Quillmate.update.xml.txt";

std::string Sha256Hex(std::string_view bytes);  // lower case

// Text for XML element content and attribute values.
std::string XmlEscaped(std::string_view text);

std::string UpdateDescription(const std::string& version, const std::string& sha256, uint64_t size,
                              const std::string& despEn, const std::string& despCn);

struct TreeFile {
    std::string name;  // relative to the tree, "/" between folders
    std::filesystem::path path;
    unsigned mode = 0644;
    std::time_t modified = 0;
};

// Every regular file under `root`, sorted by name. Throws std::runtime_error
// for a symbolic link or any other kind of file in the tree.
std::vector<TreeFile> ListTree(const std::string& root);

struct Published {
    size_t files = 0;
    uint64_t size = 0;  // of the archive
    std::string sha256;
};

// Writes the archive, then its checksum, then the description, each
// atomically. Throws std::runtime_error.
Published Publish(const PublishOptions& options);

}  // namespace qm::services
