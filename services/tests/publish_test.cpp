#include "services/publish.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/textconv.h"
#include "services/ziparchive.h"
#include "tests/support/platform_skip.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"

namespace qm::services {
namespace {

using test::FailureOf;

struct ReadEntry {
    std::string name;
    std::string data;
    unsigned mode = 0;  // the Unix permission bits from the external attributes
    unsigned madeBy = 0;
    int method = 0;
};

// Reads an archive back with minizip's reader.
std::vector<ReadEntry> Unzip(const std::string& path) {
    std::vector<ReadEntry> entries;
    unzFile zip = unzOpen64(path.c_str());
    EXPECT_NE(zip, nullptr) << path;
    if (!zip)
        return entries;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        char name[1024];
        EXPECT_EQ(unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0),
                  UNZ_OK);
        ReadEntry entry;
        entry.name = name;
        entry.mode = static_cast<unsigned>(info.external_fa >> 16) & 0777;
        entry.madeBy = static_cast<unsigned>(info.version);
        entry.method = static_cast<int>(info.compression_method);
        EXPECT_EQ((info.external_fa >> 16) & S_IFMT, static_cast<uLong>(S_IFREG)) << name;
        EXPECT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
        char buffer[4096];
        for (int n; (n = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0;)
            entry.data.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << "CRC of " << name;
        entries.push_back(std::move(entry));
    }
    unzClose(zip);
    return entries;
}

std::vector<std::string> Names(const std::vector<ReadEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.name);
    return names;
}

void Put(const test::TempDir& dir, const std::string& relative, const std::string& bytes,
         unsigned mode = 0644) {
    const std::string path = dir.narrow() + relative;
    ASSERT_TRUE(
        MakeDirectoryTree(WideFromUtf8(std::filesystem::path(path).parent_path().string())));
    test::WriteAll(WideFromUtf8(path), bytes);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

TEST(ZipArchiveTest, WritesNamesVerbatimWithModesAndDeflate) {
    test::TempDir dir;
    const std::string path = dir.narrow() + "hostile.zip";
    const std::vector<ZipEntry> entries = {{"../evil", "up", 0644},
                                           {"/abs", "root", 0600},
                                           {"C:/x", "drive", 0644},
                                           {"a\\b", "backslash", 0644},
                                           {"run.sh", "#!/bin/sh\n", 0755},
                                           {"名字.txt", "utf-8", 0644},
                                           {"empty", "", 0644},
                                           {"dir/", "", 0755}};
    WriteZip(path, entries);
    const auto read = Unzip(path);
    ASSERT_EQ(read.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(read[i].name, entries[i].name);
        EXPECT_EQ(read[i].data, entries[i].data) << entries[i].name;
        EXPECT_EQ(read[i].mode, entries[i].mode) << entries[i].name;
        EXPECT_EQ(read[i].madeBy >> 8, 3u) << "made by Unix, so readers take the mode";
        EXPECT_EQ(read[i].method, Z_DEFLATED);
    }
    EXPECT_EQ(std::filesystem::directory_iterator(dir.narrow())->path().filename(), "hostile.zip")
        << "no temporary file stays behind";
}

TEST(ZipArchiveTest, AnArchiveNeverCommittedLeavesNothing) {
    test::TempDir dir;
    {
        ZipWriter writer(dir.narrow() + "half.zip");
        writer.Add({"a", "b"});
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.narrow()));
    EXPECT_NE(FailureOf([&] { WriteZip(dir.narrow() + "missing/x.zip", {}); }), "");
}

TEST(PublishTest, XmlEscapingAndTheDescription) {
    EXPECT_EQ(XmlEscaped("a & <b> \"c\" 'd' 中"),
              "a &amp; &lt;b&gt; &quot;c&quot; &apos;d&apos; 中");
    EXPECT_EQ(UpdateDescription("1.2.3.4", "ab12", 42, "New & <better>", "更新"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<config>\n"
              "  <file name=\"Quillmate.exe\">\n"
              "    <version num=\"1.2.3.4\" sha256=\"ab12\" size=\"42\">\n"
              "      <desp-en>New &amp; &lt;better&gt;</desp-en>\n"
              "      <desp-cn>更新</desp-cn>\n"
              "    </version>\n"
              "  </file>\n"
              "</config>\n");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(PublishTest, PacksTheTreeAndDescribesTheArchive) {
    test::TempDir tree, out;
    Put(tree, "quillmate", "#!/bin/sh\necho run\n", 0755);
    Put(tree, "vantrel", "service", 0750);
    Put(tree, "Config/Vantrel.xml", "<Vantrel/>");
    Put(tree, "Config/a/deep.txt", std::string(100000, 'z'));
    Put(tree, "README", "read me", 0600);
    ASSERT_TRUE(MakeDirectoryTree(tree / u"empty-folder"));

    PublishOptions options{tree.narrow(), out.narrow() + "release", "0.2.0.0", "Better & faster",
                           "更好"};
    const Published published = Publish(options);
    EXPECT_EQ(published.files, 5u);

    const std::string release = out.narrow() + "release/";
    const auto entries = Unzip(release + "Quillmate.zip");
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"Config/Vantrel.xml", "Config/a/deep.txt",
                                                        "README", "quillmate", "vantrel"}));
    EXPECT_EQ(entries[1].data, std::string(100000, 'z'));
    EXPECT_EQ(entries[3].data, "#!/bin/sh\necho run\n");
#ifndef _WIN32  // Unix modes
    EXPECT_EQ(entries[3].mode, 0755u) << "executables keep their execute bit";
    EXPECT_EQ(entries[4].mode, 0750u);
    EXPECT_EQ(entries[2].mode, 0600u);
    EXPECT_EQ(entries[0].mode, 0644u);
#endif

    const std::string archive = test::ReadAll(WideFromUtf8(release + "Quillmate.zip"));
    EXPECT_EQ(published.size, archive.size());
    EXPECT_EQ(published.sha256, Sha256Hex(archive));
    EXPECT_EQ(test::ReadAll(WideFromUtf8(release + "Quillmate.zip.sha256")),
              Sha256Hex(archive) + "  Quillmate.zip\n");
    EXPECT_EQ(test::ReadAll(WideFromUtf8(release + "Quillmate.update.xml.txt")),
              UpdateDescription("0.2.0.0", Sha256Hex(archive), archive.size(), "Better & faster",
                                "更好"));
    EXPECT_NE(test::ReadAll(WideFromUtf8(release + "Quillmate.update.xml.txt"))
                  .find("<desp-en>Better &amp; faster</desp-en>"),
              std::string::npos);
    std::vector<std::string> files;
    for (const auto& f : std::filesystem::directory_iterator(release))
        files.push_back(f.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Quillmate.update.xml.txt", "Quillmate.zip",
                                               "Quillmate.zip.sha256"}))
        << "no temporary files stay behind";

    // Publishing again replaces the release.
    Put(tree, "quillmate", "#!/bin/sh\necho new\n", 0755);
    const Published again = Publish(options);
    EXPECT_NE(again.sha256, published.sha256);
    EXPECT_EQ(Unzip(release + "Quillmate.zip")[3].data, "#!/bin/sh\necho new\n");
}

TEST(PublishTest, RefusesSymbolicLinksAndOddTrees) {
    test::TempDir tree, out;
    Put(tree, "bin/quillmate", "x", 0755);
    QM_NEEDS_SYMBOLIC_LINKS(FsPath(tree.path()));
    std::filesystem::create_symlink("quillmate", tree.narrow() + "bin/ql");
    PublishOptions options{tree.narrow(), out.narrow() + "release", "1", "en", "cn"};
    EXPECT_EQ(FailureOf([&] { Publish(options); }),
              "bin/ql is a symbolic link; a release holds only regular files and folders");
    EXPECT_FALSE(std::filesystem::exists(out.narrow() + "release/Quillmate.zip"));

    std::filesystem::remove(tree.narrow() + "bin/ql");
    std::filesystem::create_directory_symlink("/etc", tree.narrow() + "etc");
    EXPECT_EQ(FailureOf([&] { Publish(options); }),
              "etc is a symbolic link; a release holds only regular files and folders");
    std::filesystem::remove(tree.narrow() + "etc");

    PublishOptions inside = options;
    inside.toDir = tree.narrow() + "release";
    EXPECT_NE(FailureOf([&] { Publish(inside); }).find("lies inside the program tree"),
              std::string::npos);
    PublishOptions missing = options;
    missing.fromDir = tree.narrow() + "absent";
    EXPECT_NE(FailureOf([&] { Publish(missing); }).find("is not a folder"), std::string::npos);
    test::TempDir emptyTree;
    PublishOptions empty = options;
    empty.fromDir = emptyTree.narrow();
    EXPECT_NE(FailureOf([&] { Publish(empty); }).find("holds no files"), std::string::npos);
}

}  // namespace
}  // namespace qm::services
