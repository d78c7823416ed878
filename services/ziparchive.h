// ZIP archives written with minizip: the release archive of "publish", and
// the archives tests craft (entry names are written exactly as given, also
// hostile ones such as "../evil", "/abs" or "C:/x").
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace qm::services {

struct ZipEntry {
    std::string name;  // written verbatim
    std::string data;
    unsigned mode = 0644;      // Unix permission bits, kept in the external attributes
    std::time_t modified = 0;  // 0: 1980-01-01 00:00, the earliest time a ZIP entry holds
};

// Writes an archive entry by entry (DEFLATE, "made by" Unix so the modes
// count) into a temporary file beside `path`, which Commit renames over
// `path`; an archive never committed is deleted. Throws std::runtime_error.
class ZipWriter {
public:
    explicit ZipWriter(std::string path);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    void Add(const ZipEntry& entry);
    void Commit();

private:
    std::string path_;
    std::string tempPath_;
    void* zip_ = nullptr;  // minizip's zipFile
};

// The archive of `entries`, in order, replacing `path` atomically.
// Throws std::runtime_error.
void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries);

}  // namespace qm::services
