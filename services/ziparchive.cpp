#include "services/ziparchive.h"

#include <minizip/zip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm::services {
namespace {

// "Version made by": Unix (3) in the high byte, so readers take the upper
// half of the external attributes as st_mode; ZIP 2.0 in the low byte.
constexpr uLong kMadeByUnix = 0x0314;
// The file-type bits of a regular file in a Unix mode, as ZIP stores them.
constexpr unsigned kUnixRegularFile = 0100000;
// General purpose flag bit 11: the name is UTF-8.
constexpr uLong kUtf8Name = 0x0800;

// DOS times are local time by convention; before 1980 they cannot be said.
tm_zip ZipTime(std::time_t modified) {
    tm_zip zipTime{};
    zipTime.tm_mday = 1;
    zipTime.tm_year = 1980;
    std::tm local{};
#ifdef _WIN32
    const bool converted = localtime_s(&local, &modified) == 0;
#else
    const bool converted = localtime_r(&modified, &local) != nullptr;
#endif
    if (modified == 0 || !converted || local.tm_year < 80)
        return zipTime;
    zipTime.tm_sec = static_cast<uInt>(local.tm_sec);
    zipTime.tm_min = static_cast<uInt>(local.tm_min);
    zipTime.tm_hour = static_cast<uInt>(local.tm_hour);
    zipTime.tm_mday = static_cast<uInt>(local.tm_mday);
    zipTime.tm_mon = static_cast<uInt>(local.tm_mon);
    zipTime.tm_year = static_cast<uInt>(local.tm_year + 1900);
    return zipTime;
}

}  // namespace

ZipWriter::ZipWriter(std::string path) : path_(std::move(path)) {
    static std::atomic<unsigned> serial = 0;
    tempPath_ = path_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    zip_ = zipOpen64(tempPath_.c_str(), APPEND_STATUS_CREATE);
    if (!zip_)
        throw std::runtime_error("cannot create " + tempPath_);
}

ZipWriter::~ZipWriter() {
    if (zip_) {
        zipClose(static_cast<zipFile>(zip_), nullptr);
        std::remove(tempPath_.c_str());
    }
}

void ZipWriter::Add(const ZipEntry& entry) {
    const auto zip = static_cast<zipFile>(zip_);
    if (!zip)
        throw std::runtime_error("the archive " + path_ + " is already closed");
    zip_fileinfo info{};
    info.tmz_date = ZipTime(entry.modified);
    info.external_fa = static_cast<uLong>((entry.mode & 0777) | kUnixRegularFile) << 16;
    const bool utf8 = std::any_of(entry.name.begin(), entry.name.end(),
                                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const int zip64 = entry.data.size() >= 0xffffffffu ? 1 : 0;
    if (zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByUnix, utf8 ? kUtf8Name : 0,
                                zip64) != ZIP_OK)
        throw std::runtime_error("cannot add " + entry.name + " to " + tempPath_);
    // minizip takes at most an unsigned int at a time.
    constexpr size_t kPiece = 1u << 30;
    for (size_t at = 0; at < entry.data.size(); at += kPiece) {
        const size_t size = std::min(kPiece, entry.data.size() - at);
        if (zipWriteInFileInZip(zip, entry.data.data() + at, static_cast<unsigned>(size)) != ZIP_OK)
            throw std::runtime_error("cannot write " + entry.name + " to " + tempPath_);
    }
    if (zipCloseFileInZip(zip) != ZIP_OK)
        throw std::runtime_error("cannot write " + entry.name + " to " + tempPath_);
}

void ZipWriter::Commit() {
    const auto zip = static_cast<zipFile>(zip_);
    if (!zip)
        throw std::runtime_error("the archive " + path_ + " is already closed");
    zip_ = nullptr;
    bool ok = zipClose(zip, nullptr) == ZIP_OK;
    // On disk before the rename, so a crash leaves the old archive or the new one.
    if (ok) {
        ok = host::SyncFile(WideFromUtf8(tempPath_));
    }
    // std::filesystem's rename replaces an existing archive on Windows too.
    std::error_code error;
    if (ok)
        std::filesystem::rename(FsPath(WideFromUtf8(tempPath_)), FsPath(WideFromUtf8(path_)),
                                error);
    if (!ok || error) {
        std::filesystem::remove(FsPath(WideFromUtf8(tempPath_)), error);
        throw std::runtime_error("cannot write " + path_);
    }
}

void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    ZipWriter writer(path);
    for (const auto& entry : entries)
        writer.Add(entry);
    writer.Commit();
}

}  // namespace qm::services
