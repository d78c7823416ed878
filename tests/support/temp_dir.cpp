#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"

namespace qm::test {

TempDir::TempDir() {
    // TempFilePath() reserves a unique name; the folder takes its place.
    path_ = TempFilePath();
    DeleteFileToRecycleBin(path_);
    path_ += u".d";
    MakeDirectoryTree(path_);
    EnsureTrailingSeparator(path_);
}

TempDir::~TempDir() {
    DeleteDirectoryTree(path_);
}

std::string TempDir::narrow() const {
    return Utf8FromWide(path_);
}

std::string ReadAll(const std::u16string& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, bytes)) << "cannot read " << Utf8FromWide(path);
    return bytes;
}

void WriteAll(const std::u16string& path, const std::string& bytes) {
    ASSERT_TRUE(WriteFileAtomic(path, bytes)) << "cannot write " << Utf8FromWide(path);
}

void WritePlain(const std::u16string& path, std::string_view bytes) {
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << Utf8FromWide(path);
}

void InstallConfigTemplates(const std::u16string& programDir) {
    const std::u16string source = WideFromUtf8(QUILLMATE_SOURCE_DIR "/resources/Config");
    ASSERT_TRUE(CopyDirectoryTree(source, programDir + u"Config"));
}

}  // namespace qm::test
