#include "deploy/tomcat/tomcatlaunch.h"

#include <unzip.h>

#include "foundation/textconv.h"

namespace qm {

std::u16string EnvironmentValue(const std::vector<std::u16string>& environment,
                                std::u16string_view name) {
    for (const auto& entry : environment) {
        if (entry.size() > name.size() && entry[name.size()] == u'=' &&
            std::u16string_view(entry).substr(0, name.size()) == name)
            return entry.substr(name.size() + 1);
    }
    return u"";
}

TomcatFolders TomcatFoldersOf(const std::vector<std::u16string>& arguments,
                              const std::vector<std::u16string>& environment) {
    TomcatFolders folders;
    for (const auto& argument : arguments) {
        static constexpr std::u16string_view kBase = u"-Dcatalina.base=";
        static constexpr std::u16string_view kHome = u"-Dcatalina.home=";
        if (argument.rfind(kBase, 0) == 0)
            folders.base = argument.substr(kBase.size());
        else if (argument.rfind(kHome, 0) == 0)
            folders.home = argument.substr(kHome.size());
    }
    if (folders.home.empty())
        folders.home = EnvironmentValue(environment, u"CATALINA_HOME");
    if (folders.base.empty())
        folders.base = EnvironmentValue(environment, u"CATALINA_BASE");
    if (folders.base.empty())
        folders.base = folders.home;
    return folders;
}

bool IsJavaProgram(std::u16string_view fileName) {
    return EqualsIgnoreCaseAscii(fileName, u"java") || EqualsIgnoreCaseAscii(fileName, u"java.exe");
}

std::u16string ServerNumberOf(std::string_view properties) {
    size_t start = 0;
    while (start < properties.size()) {
        size_t end = properties.find('\n', start);
        if (end == std::string_view::npos)
            end = properties.size();
        std::string_view line = properties.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.rfind("server.number", 0) != 0)
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return u"";
        std::string_view value = line.substr(eq + 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
            value.remove_suffix(1);
        return WideFromNarrow(value);
    }
    return u"";
}

bool ReadCatalinaVersion(const std::u16string& jarPath, std::u16string& version) {
    version.clear();
    unzFile zip = unzOpen64(Utf8FromWide(jarPath).c_str());
    if (!zip)
        return false;
    bool found = false;
    std::string content;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK && !found; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        char name[512] = {};
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            break;
        const std::string_view entry(name);
        if (entry.empty() || entry.back() == '/' ||
            entry.find("ServerInfo.properties") == std::string_view::npos)
            continue;
        // The entry is small; a bound keeps a damaged archive from claiming more.
        constexpr uint64_t kLimit = 1 << 20;
        if (info.uncompressed_size > kLimit || unzOpenCurrentFile(zip) != UNZ_OK)
            break;
        content.resize(static_cast<size_t>(info.uncompressed_size));
        const int read =
            content.empty()
                ? 0
                : unzReadCurrentFile(zip, content.data(), static_cast<unsigned>(content.size()));
        unzCloseCurrentFile(zip);
        if (read < 0)
            break;
        content.resize(static_cast<size_t>(read));
        found = true;
    }
    unzClose(zip);
    if (!found)
        return false;
    version = ServerNumberOf(content);
    return true;
}

}  // namespace qm
