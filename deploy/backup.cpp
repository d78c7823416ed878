// Backup and undo of the configuration files a deployment edits. The undo
// record ("Config/Backup/Backup.xml") holds one "operate" entry per file;
// only the most recent deployment is recorded.
#include <cstdint>

#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

// A short, stable tag for a source path: copies of two files with the same
// name (conf/httpd.conf and conf/extra/httpd.conf) must not share one copy.
std::u16string PathTag(const std::u16string& path) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (char16_t c : path) {
        hash ^= static_cast<uint32_t>(c);
        hash *= 16777619u;
    }
    return FormatWide(u"%08x", hash);
}

// Loads the undo record and enters its "config" root.
void OpenUndoRecord(XmlDocument& record) {
    if (!record.Load(SslCertSrvBase::BackupRecordPath()) || !record.FindElement(u"config") ||
        !record.IntoElement()) {
        LogError(u"cannot read the undo record %s: %s", SslCertSrvBase::BackupRecordPath(),
                 record.ResultText());
        ThrowResult(result::kUndefined);
    }
}

}  // namespace

std::u16string SslCertSrvBase::BackupDirectory() {
    return GetProgramDirectory() + NativeSeparators(u"Config/Backup/");
}

std::u16string SslCertSrvBase::BackupRecordPath() {
    return BackupDirectory() + u"Backup.xml";
}

void SslCertSrvBase::BackupFiles(std::map<std::u16string, std::u16string>& files) {
    for (auto& [source, copy] : files) {
        copy = BackupDirectory() + FileNameOf(source) + u"." + PathTag(source);
        if (!CopyFileSilently(source, copy)) {
            // Recording an entry without its copy would let undo "restore"
            // stale content; stop before anything is edited instead.
            LogError(u"SslCertSrvBase::BackupFiles, cannot copy %s to %s", source, copy);
            ThrowResult(result::kUndefined);
        }
        LogInfo(u"backup %s -> %s", source, copy);
    }
}

void SslCertSrvBase::BackupWebConfig(std::map<std::u16string, std::u16string>& files) {
    RunOperation("SslCertSrvBase::BackupWebConfig", [&] {
        MakeDirectoryTree(BackupDirectory());
        BackupFiles(files);

        XmlDocument record;
        OpenUndoRecord(record);
        while (record.FindElement(u"operate"))
            record.RemoveElement();
        for (const auto& [source, copy] : files) {
            if (!record.AddElement(u"operate") || !record.SetAttribute(u"type", u"modifyFile") ||
                !record.SetAttribute(u"srcFilePath", source) ||
                !record.SetAttribute(u"bakFilePath", copy)) {
                ThrowResult(result::kUndefined);
            }
        }
        // Without the record on disk an undo could not find this backup.
        if (!record.Save(BackupRecordPath())) {
            LogError(u"cannot write the undo record %s: %s", BackupRecordPath(),
                     record.ResultText());
            ThrowResult(result::kUndefined);
        }
    });
}

void SslCertSrvBase::RestoreWeb() {
    RunOperation("SslCertSrvBase::RestoreWeb", [&] {
        XmlDocument record;
        OpenUndoRecord(record);
        while (record.FindElement(u"operate")) {
            if (record.GetAttribute(u"type") != u"modifyFile")
                continue;
            const std::u16string source = record.GetAttribute(u"srcFilePath");
            const std::u16string copy = record.GetAttribute(u"bakFilePath");
            if (CopyFileSilently(copy, source)) {
                DeleteFileToRecycleBin(copy);
                LogInfo(u"restored %s from %s", source, copy);
            } else {
                LogWarn(u"SslCertSrvBase::RestoreWeb, nothing restored to %s from %s", source,
                        copy);
            }
        }
        ApplyConfig();
    });
}

}  // namespace qm
