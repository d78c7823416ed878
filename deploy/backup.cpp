// Backup of the configuration files a deployment edits, and undo. Each
// deployment keeps its own record with the copies (transaction.cpp); the
// undo record "Config/Backup/Backup.xml" lists the files of the newest
// deployment in force with their copies.
#include <cstdint>

#include "deploy/deploymentrecord.h"
#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

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
        RecordFileChange(source);
        copy.clear();
        if (record_) {
            if (const RecordedFile* recorded = record_->FindFile(source);
                recorded && recorded->existed) {
                copy = record_->CopyPath(*recorded);
            }
        }
    }
}

void SslCertSrvBase::BackupWebConfig(std::map<std::u16string, std::u16string>& files) {
    RunOperation("SslCertSrvBase::BackupWebConfig", [&] {
        // The undo record is rewritten when the deployment commits; one
        // that cannot be read stops the deployment before any edit.
        XmlDocument record;
        OpenUndoRecord(record);
        BackupFiles(files);
    });
}

void SslCertSrvBase::RestoreWeb() {
    RunOperation("SslCertSrvBase::RestoreWeb", [&] {
        if (!DeploymentHistory(GetServiceDirectory()).Folders().empty()) {
            UndoLastDeployment(false);
            return;
        }
        RestoreLegacyRecord();
    });
}

// An undo record written before deployments kept records of their own:
// its file entries, each restored only when its copy is there, and
// checked afterwards.
void SslCertSrvBase::RestoreLegacyRecord() {
    XmlDocument record;
    OpenUndoRecord(record);
    std::vector<std::pair<std::u16string, std::u16string>> entries;
    while (record.FindElement(u"operate")) {
        if (record.GetAttribute(u"type") == u"modifyFile")
            entries.emplace_back(record.GetAttribute(u"srcFilePath"),
                                 record.GetAttribute(u"bakFilePath"));
    }
    if (entries.empty())
        ThrowResult(result::kNothingToUndo);
    for (const auto& [source, copy] : entries) {
        if (!FileExists(copy)) {
            AddUserNote(u"The backup copy " + copy + u" of " + source + u" is missing.");
            ThrowResult(result::kBackupUnusable);
        }
    }
    for (const auto& [source, copy] : entries) {
        std::string expected, restored;
        if (!ReadFileBytes(copy, expected) || !CopyFileSilently(copy, source) ||
            !ReadFileBytes(source, restored) || restored != expected) {
            AddUserNote(u"Could not restore " + source + u" from " + copy + u".");
            ThrowResult(result::kRestoreFailed);
        }
        LogInfo(u"restored %s from %s", source, copy);
    }
    ApplyRestoredConfig();
    // Done: the entries would otherwise be restored again over later edits.
    record.ResetPosition();
    if (record.FindElement(u"config") && record.IntoElement()) {
        while (record.FindElement(u"operate"))
            record.RemoveElement();
        record.Save(BackupRecordPath());
    }
    for (const auto& entry : entries)
        DeleteFileToRecycleBin(entry.second);
}

}  // namespace qm
