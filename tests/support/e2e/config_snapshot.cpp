#include "tests/support/e2e/config_snapshot.h"

#include <filesystem>

#include "foundation/files.h"
#include "foundation/textconv.h"

namespace qm::test {

namespace fs = std::filesystem;

std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string path = entry.path().string();
        if (path.find("/sslcert") != std::string::npos)
            continue;
        if (entry.is_symlink()) {
            entries[path] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            std::string text;
            ReadFileBytes(WideFromUtf8(path), text);
            entries[path] = text;
        }
    }
    return entries;
}

std::string Differences(const std::map<std::string, std::string>& then,
                        const std::map<std::string, std::string>& now) {
    std::string lines;
    for (const auto& [path, text] : then) {
        const auto it = now.find(path);
        if (it == now.end())
            lines += "removed: " + path + "\n";
        else if (it->second != text)
            lines += "changed: " + path + (text.rfind("-> ", 0) == 0 ? " " + text : "") + " now " +
                     (it->second.rfind("-> ", 0) == 0 ? it->second : "other text") + "\n";
    }
    for (const auto& [path, text] : now) {
        if (!then.count(path))
            lines += "added: " + path + (text.rfind("-> ", 0) == 0 ? " " + text : "") + "\n";
    }
    return lines;
}

}  // namespace qm::test
