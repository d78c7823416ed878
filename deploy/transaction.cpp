// Deployments as transactions: the record written before the first change,
// the copies and hashes of every changed file, commit, rollback, undo one
// deployment at a time, and the recovery of what an interrupted run left.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "deploy/faultpoints.h"
#include "deploy/sslcertsrvbase.h"
#include "deploy/wirecheck.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/operation.h"
#include "foundation/paths.h"
#include "foundation/processmanager.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

// The SHA-256 of a file's content; empty when it cannot be read.
std::string HashOfFile(const std::u16string& path, bool& exists) {
    std::string bytes;
    exists = FileExists(path);
    if (!exists || !ReadFileBytes(path, bytes))
        return {};
    return Sha256Hex(bytes);
}

std::string HashOfFile(const std::u16string& path) {
    bool exists = false;
    return HashOfFile(path, exists);
}

bool IsFolderEntry(const std::u16string& path) {
    return !path.empty() && IsPathSeparator(path.back());
}

// A time for file names: "20261209-101500".
std::u16string CompactTimestamp() {
    std::u16string text = RecordTimestamp();
    std::u16string out;
    for (char16_t c : text) {
        if (c == u' ')
            out.push_back(u'-');
        else if (c != u':' && c != u'-')
            out.push_back(c);
    }
    return out;
}

// A copy name that says which file it keeps: "<n>-<file name>".
std::u16string CopyName(size_t index, const std::u16string& path) {
    return FormatWide(u"%d-%s", static_cast<int>(index + 1), FileNameOf(path));
}

}  // namespace

std::vector<std::u16string> SslCertSrvBase::TakeUserNotes() {
    std::vector<std::u16string> notes;
    notes.swap(userNotes_);
    return notes;
}

void SslCertSrvBase::AddUserNote(std::u16string note) {
    LogInfo(u"note for the operator: %s", note);
    userNotes_.push_back(std::move(note));
}

std::u16string SslCertSrvBase::ServerKind() const {
    return webType_;
}

std::u16string SslCertSrvBase::ConfigurationIdentity() const {
    return {};
}

void SslCertSrvBase::DescribeServer(ServerRecord& server) const {
    server.kind = ServerKind();
}

void SslCertSrvBase::AdoptServer(const ServerRecord&) {}

bool SslCertSrvBase::ServerRunning() {
    for (int32_t port : {httpPort_, httpsPort_}) {
        ProcessId pid = 0;
        try {
            GetListeningPid(port, pid);
        } catch (const std::exception&) {
            pid = 0;
        }
        if (pid != 0)
            return true;
    }
    return false;
}

void SslCertSrvBase::ApplyRestoredConfig() {
    ApplyConfig();
}

std::vector<WireTarget> SslCertSrvBase::WireTargets() const {
    return {};
}

void SslCertSrvBase::CheckInterrupt() const {
    if (InterruptRequested()) {
        LogInfo(u"SslCertSrvBase, %s received: stopping here", InterruptName());
        ThrowResult(result::kInterrupted);
    }
}

void SslCertSrvBase::BeginDeployment() {
    BeginRecord(DeploymentHistory(GetServiceDirectory()));
}

void SslCertSrvBase::BeginRecord(const DeploymentHistory& history) {
    auto record = std::make_unique<DeploymentRecord>();
    record->folder = history.CreateFolder();
    if (record->folder.empty()) {
        LogError(u"SslCertSrvBase::BeginDeployment, cannot create a folder in %s",
                 history.Directory());
        AddUserNote(u"The deployment record cannot be created in " + history.Directory() +
                    u" (is the disk full or the folder read-only?). Nothing was changed.");
        ThrowResult(result::kUndefined);
    }
    record->phase = phase::kObtaining;
    record->httpPort = httpPort_;
    record->httpsPort = httpsPort_;
    record->started = RecordTimestamp();
    record->owner = CurrentProcessIdentifier();
    record->sites = inputDomains_;
    DescribeServer(record->server);
    if (!record->Save()) {
        DeleteDirectoryTree(record->folder);
        AddUserNote(u"The deployment record cannot be written in " + history.Directory() +
                    u" (is the disk full?). Nothing was changed.");
        ThrowResult(result::kUndefined);
    }
    LogInfo(u"deployment record %s", record->folder);
    record_ = std::move(record);
    FaultPoint(u"obtaining");
}

void SslCertSrvBase::NoteServerTouched() {
    if (!record_ || record_->serverTouched)
        return;
    record_->serverTouched = true;
    record_->Save();
}

void SslCertSrvBase::SetDeploymentPhase(std::u16string_view phase) {
    if (!record_)
        return;
    record_->phase = std::u16string(phase);
    if (!record_->Save()) {
        LogError(u"SslCertSrvBase, cannot write the deployment record %s", record_->RecordPath());
        ThrowResult(result::kUndefined);
    }
}

void SslCertSrvBase::RecordFileChange(const std::u16string& path, bool state) {
    if (!record_ || record_->phase == phase::kCommitted || record_->FindFile(path))
        return;
    RecordedFile file;
    file.path = path;
    file.state = state;
    file.copy = CopyName(record_->files.size(), path);
    file.originalHash = HashOfFile(path, file.existed);
    if (file.existed) {
        // The copy is checked against the original before anything changes:
        // an undo must never rely on a copy that is not the original.
        const std::u16string copy = record_->CopyPath(file);
        if (!CopyFileSilently(path, copy) || HashOfFile(copy) != file.originalHash ||
            file.originalHash.empty()) {
            LogError(u"SslCertSrvBase::RecordFileChange, cannot back up %s to %s", path, copy);
            AddUserNote(u"A backup copy of " + path + u" cannot be made in " + record_->folder +
                        u" (is the disk full?).");
            ThrowResult(result::kUndefined);
        }
        LogInfo(u"backup %s -> %s", path, copy);
    } else {
        file.copy.clear();
    }
    record_->files.push_back(std::move(file));
    if (!record_->Save()) {
        record_->files.pop_back();
        AddUserNote(u"The deployment record " + record_->RecordPath() +
                    u" cannot be written (is the disk full?).");
        ThrowResult(result::kUndefined);
    }
}

size_t SslCertSrvBase::RecordChange(RecordedChange change) {
    if (!record_)
        return 0;
    record_->changes.push_back(std::move(change));
    if (!record_->Save()) {
        record_->changes.pop_back();
        AddUserNote(u"The deployment record " + record_->RecordPath() +
                    u" cannot be written (is the disk full?).");
        ThrowResult(result::kUndefined);
    }
    return record_->changes.size() - 1;
}

void SslCertSrvBase::UpdateRecordedChange(size_t index, RecordedChange change) {
    if (!record_ || index >= record_->changes.size())
        return;
    record_->changes[index] = std::move(change);
    if (!record_->Save()) {
        AddUserNote(u"The deployment record " + record_->RecordPath() +
                    u" cannot be written (is the disk full?).");
        ThrowResult(result::kUndefined);
    }
}

bool SslCertSrvBase::RestoreRecordedChanges(DeploymentRecord&) {
    return true;
}

void SslCertSrvBase::CollectAlteredChanges(const DeploymentRecord&, std::vector<std::u16string>&) {}

void SslCertSrvBase::RecordCreatedFile(const std::u16string& path) {
    if (!record_ || record_->phase == phase::kCommitted)
        return;
    if (IsFolderEntry(path) ? DirectoryExists(path) : FileExists(path)) {
        if (!IsFolderEntry(path))
            RecordFileChange(path);
        return;
    }
    if (std::find(record_->created.begin(), record_->created.end(), path) != record_->created.end())
        return;
    record_->created.push_back(path);
    if (!record_->Save()) {
        record_->created.pop_back();
        ThrowResult(result::kUndefined);
    }
}

namespace {

// Whether a directory entry is there: a link counts even when what it
// points to is gone (a site file and its link in sites-enabled/ are both
// removed, the file first).
bool EntryExists(const std::u16string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(FsPath(path), ec));
}

}  // namespace

bool SslCertSrvBase::RestoreRecordedFiles(DeploymentRecord& record, bool deleteCreated) {
    bool all = record.changes.empty() || RestoreRecordedChanges(record);
    for (const RecordedFile& file : record.files) {
        bool exists = false;
        const std::string now = HashOfFile(file.path, exists);
        if (!file.existed) {
            if (EntryExists(file.path) && !DeleteFileToRecycleBin(file.path)) {
                AddUserNote(u"Could not remove " + file.path + u", which the deployment created.");
                all = false;
            }
            continue;
        }
        if (exists && now == file.originalHash)
            continue;  // never changed, or already back
        const std::u16string copy = record.CopyPath(file);
        if (!CopyFileSilently(copy, file.path) || HashOfFile(file.path) != file.originalHash) {
            LogError(u"SslCertSrvBase, cannot restore %s from %s", file.path, copy);
            AddUserNote(u"Could not restore " + file.path + u" from its backup copy " + copy +
                        u".");
            all = false;
            continue;
        }
        LogInfo(u"restored %s from %s", file.path, copy);
    }
    if (deleteCreated) {
        // Files first, then the folders the deployment made, innermost first.
        for (auto it = record.created.rbegin(); it != record.created.rend(); ++it) {
            if (IsFolderEntry(*it)) {
                std::error_code ec;
                std::filesystem::remove(FsPath(*it), ec);  // only when empty
            } else if (EntryExists(*it)) {
                DeleteFileToRecycleBin(*it);
                LogInfo(u"removed %s", *it);
            }
        }
    }
    return all;
}

void SslCertSrvBase::RollBack(DeploymentRecord& record) {
    LogInfo(u"SslCertSrvBase, rolling back the deployment recorded in %s", record.folder);
    // The server is brought to the restored files when it may have taken
    // the change (or its stop), or when it is down while files had changed.
    const bool serverTouched = record.serverTouched || record.phase == phase::kApplying ||
                               record.phase == phase::kApplied || record.phase == phase::kCommitted;
    record.phase = std::u16string(phase::kRollingBack);
    record.Save();  // best effort: a full disk must not stop the rollback
    bool ok = RestoreRecordedFiles(record, true);
    try {
        if (serverTouched || (record.HasServerFiles() && !ServerRunning())) {
            ApplyRestoredConfig();
            if (!record.wireTargets.empty() && !record.certificateFingerprint.empty() &&
                !WaitForServedCertificate(record.wireTargets, record.certificateFingerprint, false,
                                          applyWaitMs_)) {
                AddUserNote(
                    u"The web server still serves the certificate of the rolled-back "
                    u"deployment.");
                ok = false;
            }
        }
    } catch (const std::exception& e) {
        LogError(u"SslCertSrvBase::RollBack, the server did not take the restored files: %s",
                 ResultTextOf(e));
        AddUserNote(u"The restored configuration could not be applied: " + ResultTextOf(e) + u".");
        ok = false;
    }
    if (ok) {
        DeleteDirectoryTree(record.folder);
        LogInfo("the deployment was rolled back; the server runs as before");
    } else {
        record.Save();
        AddUserNote(u"The rollback is not complete; the record stays in " + record.folder +
                    u" and the next run tries again.");
    }
}

void SslCertSrvBase::CommitDeployment() {
    DeploymentRecord& record = *record_;
    for (RecordedFile& file : record.files) {
        bool exists = false;
        file.deployedHash = HashOfFile(file.path, exists);
    }
    record.certificateFingerprint = CertificateFingerprint(certPem_);
    record.phase = std::u16string(phase::kCommitted);
    if (!record.Save()) {
        AddUserNote(u"The deployment record " + record.RecordPath() +
                    u" cannot be written (is the disk full?).");
        ThrowResult(result::kUndefined);
    }
    WriteUndoRecordMirror();
    LogInfo(u"deployment committed: %s", record.folder);
}

// The undo record in the program's Config/Backup/ lists the files of the
// newest deployment in force, each with its backup copy.
void SslCertSrvBase::WriteUndoRecordMirror() const {
    XmlDocument mirror;
    if (!mirror.Load(BackupRecordPath()) || !mirror.FindElement(u"config") ||
        !mirror.IntoElement()) {
        LogError(u"cannot read the undo record %s: %s", BackupRecordPath(), mirror.ResultText());
        ThrowResult(result::kUndefined);
    }
    while (mirror.FindElement(u"operate"))
        mirror.RemoveElement();
    const std::vector<std::u16string> folders = DeploymentHistory(GetServiceDirectory()).Folders();
    if (!folders.empty()) {
        std::u16string problem;
        if (const auto top = DeploymentRecord::Load(folders.back(), problem)) {
            for (const RecordedFile& file : top->files) {
                if (file.state || !file.existed)
                    continue;
                if (!mirror.AddElement(u"operate") ||
                    !mirror.SetAttribute(u"type", u"modifyFile") ||
                    !mirror.SetAttribute(u"srcFilePath", file.path) ||
                    !mirror.SetAttribute(u"bakFilePath", top->CopyPath(file))) {
                    ThrowResult(result::kUndefined);
                }
            }
            // The bindings a server administered through its own interfaces
            // had before the deployment, one entry each.
            for (const RecordedChange& change : top->changes) {
                if (change.type != u"backupSite")
                    continue;
                bool ok =
                    mirror.AddElement(u"operate") && mirror.SetAttribute(u"type", u"backupSite");
                for (const char16_t* name :
                     {u"site", u"protocol", u"siteAddr", u"ipAddr", u"port", u"certHash"})
                    ok = ok && mirror.SetAttribute(name, change.Value(name));
                if (!ok)
                    ThrowResult(result::kUndefined);
            }
        }
    }
    if (!mirror.Save(BackupRecordPath())) {
        LogError(u"cannot write the undo record %s: %s", BackupRecordPath(), mirror.ResultText());
        ThrowResult(result::kUndefined);
    }
}

bool SslCertSrvBase::WaitForServedCertificate(const std::vector<WireTarget>& targets,
                                              const std::string& fingerprint, bool served,
                                              int timeoutMs) {
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(timeoutMs);
    // That a certificate is no longer served must hold for a while: a reload
    // asked for by a run that ended (a crash right after its signal) may
    // still be on its way and bring it back.
    const auto settle = served ? milliseconds(0) : milliseconds(kRemovalSettleMs);
    auto holdingSince = steady_clock::time_point::max();
    for (;;) {
        bool all = true;
        std::string problem;
        for (const WireTarget& target : targets) {
            problem.clear();
            const std::string seen = ServedCertificateFingerprint(target, 2000, problem);
            if ((seen == fingerprint) != served) {
                all = false;
                LogTrace(u"%s at %s:%d serves %s", target.host, target.address, target.port,
                         WideFromUtf8(seen.empty() ? problem : seen));
                break;
            }
        }
        const auto now = steady_clock::now();
        if (!all)
            holdingSince = steady_clock::time_point::max();
        else if (holdingSince == steady_clock::time_point::max())
            holdingSince = now;
        if (all && now - holdingSince >= settle) {
            LogInfo(served ? "the new certificate is served on every address"
                           : "the removed certificate is no longer served");
            return true;
        }
        if (now >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(100));
    }
}

void SslCertSrvBase::UndoLastDeployment(bool force) {
    RunOperation("SslCertSrvBase::UndoLastDeployment", [&] {
        LockConfiguration();
        const ConfigurationLockRelease release{configLock_};
        const std::vector<std::u16string> folders =
            DeploymentHistory(GetServiceDirectory()).Folders();
        if (folders.empty())
            ThrowResult(result::kNothingToUndo);
        std::u16string problem;
        auto loaded = DeploymentRecord::Load(folders.back(), problem);
        if (!loaded) {
            AddUserNote(u"The record of the last deployment cannot be read: " + problem + u".");
            ThrowResult(result::kBackupUnusable);
        }
        DeploymentRecord& record = *loaded;
        if (record.phase != phase::kCommitted && record.phase != phase::kUndoing) {
            // Only the newest record can be unfinished; recovery runs first.
            RecoverRecord(record);
            return;
        }

        // Everything is checked before anything changes.
        bool usable = true;
        for (const RecordedFile& file : record.files) {
            if (file.existed && HashOfFile(record.CopyPath(file)) != file.originalHash) {
                AddUserNote(
                    u"The backup copy " + record.CopyPath(file) + u" of " + file.path +
                    (FileExists(record.CopyPath(file)) ? u" was altered." : u" is missing."));
                usable = false;
            }
        }
        if (!usable)
            ThrowResult(result::kBackupUnusable);
        std::vector<std::u16string> edited;
        for (const RecordedFile& file : record.files) {
            bool exists = false;
            const std::string now = HashOfFile(file.path, exists);
            if (file.state || now == file.deployedHash || record.phase == phase::kUndoing)
                continue;
            edited.push_back(file.path);
            if (exists) {
                // Whatever happens next, the administrator's version is kept,
                // beside the records (a record's folder goes with its undo).
                const std::u16string keptDir =
                    DeploymentHistory(GetServiceDirectory()).Directory() + u"kept" +
                    PathSeparator();
                const std::u16string keep =
                    keptDir + FileNameOf(file.path) + u".edited-" + CompactTimestamp();
                if (MakeDirectoryTree(keptDir) && CopyFileSilently(file.path, keep))
                    AddUserNote(u"Your edited " + file.path + u" is kept as " + keep + u".");
            }
        }
        if (record.phase != phase::kUndoing)
            CollectAlteredChanges(record, edited);
        if (!edited.empty() && !force) {
            for (const auto& path : edited)
                AddUserNote(u"Changed since the deployment: " + path);
            AddUserNote(
                u"Undo would overwrite these changes; nothing was restored. Undo with "
                u"--force to restore anyway.");
            ThrowResult(result::kEditedSinceDeployment);
        }

        record.phase = std::u16string(phase::kUndoing);
        if (!record.Save())
            ThrowResult(result::kUndefined);
        FaultPoint(u"undoing");
        httpPort_ = record.httpPort;
        httpsPort_ = record.httpsPort;
        if (webServicePid_ == 0 || !ServerRunning())
            AdoptServer(record.server);
        LockConfiguration();
        FinishUndo(record);
    });
}

// The files back, the server on them, the record gone.
void SslCertSrvBase::FinishUndo(DeploymentRecord& record) {
    if (!RestoreRecordedFiles(record, false))
        ThrowResult(result::kRestoreFailed);
    FaultPoint(u"undo-restored");
    ApplyRestoredConfig();
    if (!record.wireTargets.empty() && !record.certificateFingerprint.empty() &&
        !WaitForServedCertificate(record.wireTargets, record.certificateFingerprint, false,
                                  applyWaitMs_)) {
        AddUserNote(
            u"The files are restored, but the web server still serves the "
            u"certificate of the undone deployment.");
        ThrowResult(result::kRestartFailed);
    }
    DeleteDirectoryTree(record.folder);
    try {
        WriteUndoRecordMirror();
    } catch (const std::exception&) {
        LogWarn("SslCertSrvBase, the undo record mirror was not rewritten");
    }
    LogInfo(u"undone: %s", record.folder);
}

void SslCertSrvBase::RecoverRecord(const DeploymentRecord& original) {
    RunOperation("SslCertSrvBase::RecoverRecord", [&] {
        DeploymentRecord record = original;
        httpPort_ = record.httpPort;
        httpsPort_ = record.httpsPort;
        AdoptServer(record.server);
        LockConfiguration();
        const ConfigurationLockRelease release{configLock_};
        if (record.phase == phase::kUndoing) {
            AddUserNote(u"An undo started " + record.started + u" did not finish; completing it.");
            FinishUndo(record);
            AddUserNote(u"The undo is complete.");
            return;
        }
        AddUserNote(u"A deployment started " + record.started + u" did not finish (it stopped " +
                    (record.phase == phase::kObtaining ? u"while obtaining the certificate"
                                                       : u"in phase \"" + record.phase + u"\"") +
                    u"); rolling it back.");
        RollBack(record);
        if (DirectoryExists(record.folder))
            ThrowResult(result::kRestoreFailed);
        AddUserNote(u"Every file is as it was before that deployment, and the web server runs.");
    });
}

}  // namespace qm
