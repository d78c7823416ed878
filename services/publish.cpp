#include "services/publish.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "foundation/files.h"
#include "foundation/textconv.h"
#include "foundation/xmlscan.h"
#include "services/ziparchive.h"

namespace qm::services {
namespace fs = std::filesystem;
namespace {

// The folder without a trailing separator, whose elements compare cleanly.
fs::path Folder(const std::string& path) {
    fs::path folder = fs::weakly_canonical(path);
    if (!folder.has_filename() && folder != folder.root_path())
        folder = folder.parent_path();
    return folder;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("cannot compute SHA-256");
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string XmlEscaped(std::string_view text) {
    std::u16string out;
    xml::AppendEncodedAttribute(out, WideFromUtf8(text));
    return Utf8FromWide(out);
}

std::string UpdateDescription(const std::string& version, const std::string& sha256, uint64_t size,
                              const std::string& despEn, const std::string& despCn) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<config>\n"
           "  <file name=\"Quillmate.exe\">\n"
           "    <version num=\"" +
           XmlEscaped(version) + "\" sha256=\"" + XmlEscaped(sha256) + "\" size=\"" +
           std::to_string(size) +
           "\">\n"
           "      <desp-en>" +
           XmlEscaped(despEn) +
           "</desp-en>\n"
           "      <desp-cn>" +
           XmlEscaped(despCn) +
           "</desp-cn>\n"
           "    </version>\n"
           "  </file>\n"
           "</config>\n";
}

std::vector<TreeFile> ListTree(const std::string& root) {
    std::error_code error;
    if (!fs::is_directory(fs::status(root, error)))
        throw std::runtime_error(root + " is not a folder");
    const fs::path base = Folder(root);
    std::vector<TreeFile> files;
    fs::recursive_directory_iterator it(base, error), end;
    for (; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        const std::string name = path.lexically_relative(base).generic_string();
        const fs::file_status status = fs::symlink_status(path, error);
        if (error)
            throw std::runtime_error("cannot read " + path.string());
        if (fs::is_symlink(status))
            throw std::runtime_error(name +
                                     " is a symbolic link; a release holds only regular "
                                     "files and folders");
        if (fs::is_directory(status))
            continue;
        if (!fs::is_regular_file(status))
            throw std::runtime_error(name + " is not a regular file");
        const auto written = fs::last_write_time(path, error);
        if (error)
            throw std::runtime_error("cannot read " + path.string());
        const std::time_t modified = std::chrono::system_clock::to_time_t(
            std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                std::chrono::file_clock::to_sys(written)));
        files.push_back(
            {name, path, static_cast<unsigned>(status.permissions()) & 0777u, modified});
    }
    if (error)
        throw std::runtime_error("cannot list " + root + ": " + error.message());
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
    return files;
}

Published Publish(const PublishOptions& options) {
    // A release folder inside the tree would pack earlier releases.
    const fs::path from = Folder(options.fromDir);
    const fs::path to = Folder(options.toDir);
    if (std::mismatch(from.begin(), from.end(), to.begin(), to.end()).first == from.end())
        throw std::runtime_error("the release folder " + options.toDir +
                                 " lies inside the program tree " + options.fromDir);
    const std::vector<TreeFile> files = ListTree(options.fromDir);
    if (files.empty())
        throw std::runtime_error(options.fromDir + " holds no files");
    if (!MakeDirectoryTree(WideFromUtf8(options.toDir)))
        throw std::runtime_error("cannot create the release folder " + options.toDir);

    const std::string archivePath = options.toDir + "/" + kArchiveName;
    ZipWriter writer(archivePath);
    for (const TreeFile& file : files) {
        ZipEntry entry{file.name, {}, file.mode, file.modified};
        if (!ReadFileBytes(WidePath(file.path), entry.data))
            throw std::runtime_error("cannot read " + file.path.string());
        writer.Add(entry);
    }
    writer.Commit();

    Published published;
    published.files = files.size();
    std::string archive;
    if (!ReadFileBytes(WideFromUtf8(archivePath), archive))
        throw std::runtime_error("cannot read " + archivePath + " back");
    published.size = archive.size();
    published.sha256 = Sha256Hex(archive);

    // The description last: a client that reads it finds the archive it names.
    const auto write = [&](const char* name, const std::string& text) {
        const std::string path = options.toDir + "/" + name;
        if (!WriteFileAtomic(WideFromUtf8(path), text, FilePrivacy::ReadableByAll))
            throw std::runtime_error("cannot write " + path);
    };
    write(kChecksumName, published.sha256 + "  " + kArchiveName + "\n");
    write(kDescriptionName, UpdateDescription(options.version, published.sha256, published.size,
                                              options.despEn, options.despCn));
    return published;
}

}  // namespace qm::services
