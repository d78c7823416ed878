#include "app/selfupdate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "Common/OpenSSL/quorp/digest.h"
#include "app/updatearchive.h"
#include "deploy/faultpoints.h"
#include "enrollment/communicator.h"
#include "foundation/filelock.h"
#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr std::u16string_view kStagingName = u"Quillmate_tmp";
constexpr std::u16string_view kPreviousName = u"Quillmate_old";
constexpr std::u16string_view kJournalName = u"update.journal";
constexpr std::u16string_view kLockName = u"Quillmate_update.lock";
constexpr std::string_view kJournalHeader = "quillmate update journal 1\n";

void Progress(const std::function<void(int)>& progress, int percent) {
    if (progress)
        progress(percent);
}

std::u16string PreviousDir(const std::u16string& installDir) {
    return installDir + std::u16string(kPreviousName);
}

std::u16string JournalPath(const std::u16string& installDir) {
    return PreviousDir(installDir) + PathSeparator() + std::u16string(kJournalName);
}

std::u16string Under(const std::u16string& dir, const std::u16string& relative) {
    std::u16string path = dir;
    EnsureTrailingSeparator(path);
    return path + NativeSeparators(relative);
}

// Files of the installation's records and settings: a release's copies are
// templates, installed only where the installation has none.
bool IsInstallationState(const std::u16string& relative) {
    return relative.rfind(u"Config/", 0) == 0 || relative.rfind(u"RunLog/", 0) == 0;
}

// Names of the update's own working files, which no release may carry.
bool IsUpdateWorkName(const std::u16string& relative) {
    const std::u16string top = relative.substr(0, relative.find(u'/'));
    return top.rfind(kStagingName, 0) == 0 || top == kPreviousName || top == kLockName;
}

// Relative paths ("/"-separated) of the regular files under `dir`, sorted.
std::vector<std::u16string> FilesUnder(const std::u16string& dir) {
    std::vector<std::u16string> files;
    std::error_code error;
    const std::filesystem::path root = FsPath(dir);
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_symlink(error) || !it->is_regular_file(error))
            continue;
        std::u16string relative = WidePath(it->path().lexically_relative(root));
        ToForwardSlashes(relative);
        files.push_back(std::move(relative));
    }
    if (error)
        ThrowResult(u"cannot list %s", dir);
    std::sort(files.begin(), files.end());
    return files;
}

struct JournalEntry {
    bool replaced = false;  // a previous file was kept in the backup folder
    std::u16string relative;
};

std::vector<JournalEntry> ReadJournal(const std::u16string& path) {
    std::string text;
    if (!ReadFileBytes(path, text) || text.rfind(kJournalHeader, 0) != 0)
        ThrowResult(u"the update journal %s cannot be read", path);
    std::vector<JournalEntry> entries;
    size_t at = kJournalHeader.size();
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() < 3 || line[1] != '\t' || (line[0] != 'R' && line[0] != 'N'))
            ThrowResult(u"the update journal %s is damaged", path);
        entries.push_back({line[0] == 'R', WideFromUtf8(line.substr(2))});
    }
    return entries;
}

// Puts every journaled file back and removes the journal; raises (and keeps
// the journal for the next try) when a file cannot be put back.
void RollBack(const std::u16string& installDir) {
    const std::u16string journal = JournalPath(installDir);
    if (FileExists(journal)) {
        bool complete = true;
        for (const JournalEntry& entry : ReadJournal(journal)) {
            const std::u16string target = Under(installDir, entry.relative);
            if (entry.replaced) {
                const std::u16string kept = Under(PreviousDir(installDir), entry.relative);
                if (!CopyFileSilently(kept, target)) {
                    LogError(u"RollBack, cannot put back %s", target);
                    complete = false;
                }
            } else if (FileExists(target) && !DeleteFileToRecycleBin(target)) {
                LogError(u"RollBack, cannot remove %s", target);
                complete = false;
            }
        }
        if (!complete)
            ThrowResult(u"the previous installation could not be put back completely");
        DeleteFileToRecycleBin(journal);
    }
    DeleteDirectoryTree(PreviousDir(installDir));
}

bool IsVersionText(const std::u16string& version) {
    if (version.empty() || version.size() > 64 || version.front() == u'.' || version.back() == u'.')
        return false;
    for (const char16_t c : version) {
        if ((c < u'0' || c > u'9') && c != u'.')
            return false;
    }
    return true;
}

void TakeInstallLock(FileLock& lock, const std::u16string& installDir) {
    std::u16string holder;
    if (!lock.TryAcquire(installDir + std::u16string(kLockName), u"quillmate update", holder))
        ThrowResult(u"another update of %s is running (%s)", installDir, holder);
}

}  // namespace

SelfUpdatePaths SelfUpdatePathsFor(const std::u16string& installDir) {
    SelfUpdatePaths paths;
    paths.installDir = installDir;
    EnsureTrailingSeparator(paths.installDir);
    paths.stagingArchive = paths.installDir + std::u16string(kStagingName) + u".zip";
    paths.stagingDir = paths.installDir + std::u16string(kStagingName);
    return paths;
}

std::u16string RunningInstallDirectory() {
    return DirectoryOf(GetProgramPath());
}

std::u16string StagedProgramPath(const SelfUpdatePaths& paths) {
    return paths.stagingDir + PathSeparator() + FileNameOf(GetProgramPath());
}

void StageUpdate(const MakerService& service, const UpdateDescription& update,
                 const SelfUpdatePaths& paths, const std::function<void(int)>& progress) {
    auto cleanUp = [&] {
        DeleteFileToRecycleBin(paths.stagingArchive);
        DeleteDirectoryTree(paths.stagingDir);
    };
    try {
        // The version goes on the staged program's command line: digits
        // and dots only.
        if (!IsVersionText(update.version))
            ThrowResult(u"the update description names no valid version");
        // Without a digest nothing proves the archive is the one described.
        if (update.sha256.empty())
            ThrowResult(u"the update description gives no digest of the archive");
        Progress(progress, 20);
        cleanUp();
        try {
            CCommunicator::Download(service.UpdateArchiveUrl(), paths.stagingArchive,
                                    service.caFile);
        } catch (const std::exception& e) {
            ThrowResult(u"update archive download failed: %s", ResultTextOf(e));
        }
        Progress(progress, 40);
        std::string bytes;
        if (!ReadFileBytes(paths.stagingArchive, bytes))
            ThrowResult(u"update archive cannot be read");
        if (update.size >= 0 && static_cast<long long>(bytes.size()) != update.size)
            ThrowResult(u"update archive has %s bytes, the description says %s",
                        WideFromAscii(std::to_string(bytes.size())),
                        WideFromAscii(std::to_string(update.size)));
        if (Sha256Hex(bytes) != update.sha256)
            ThrowResult(u"update archive does not match the digest of the update description");
        Progress(progress, 60);
        UnpackUpdateArchive(paths.stagingArchive, paths.stagingDir);
        if (!FileExists(StagedProgramPath(paths)))
            ThrowResult(u"update archive holds no %s", FileNameOf(GetProgramPath()));
        DeleteFileToRecycleBin(paths.stagingArchive);
        Progress(progress, 80);
    } catch (const std::exception& e) {
        LogError(u"StageUpdate, %s", ResultTextOf(e));
        cleanUp();
        throw;
    }
}

std::u16string UpdateVersionArgument(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-'))
            continue;
        const size_t colon = arg.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = arg.substr(1, colon - 1);
        for (char& c : name)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (name != "updateversion")
            continue;
        std::string value = arg.substr(colon + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return WideFromUtf8(value);
    }
    return {};
}

void InstallStagedTree(const std::u16string& stagingDir, const std::u16string& installDir) {
    FileLock lock;
    TakeInstallLock(lock, installDir);
    RollBack(installDir);  // what an interrupted install left

    std::vector<std::u16string> files;
    for (std::u16string& relative : FilesUnder(stagingDir)) {
        if (IsUpdateWorkName(relative))
            continue;
        if (IsInstallationState(relative) && FileExists(Under(installDir, relative)))
            continue;
        files.push_back(std::move(relative));
    }
    if (files.empty())
        ThrowResult(u"the staging directory %s holds nothing to install", stagingDir);

    // Keep the files about to be replaced, then write the journal: from
    // then on a failure or a kill puts them back.
    const std::u16string previous = PreviousDir(installDir);
    std::string journal(kJournalHeader);
    for (const std::u16string& relative : files) {
        const std::u16string target = Under(installDir, relative);
        const bool replaced = FileExists(target);
        if (replaced) {
            const std::u16string kept = Under(previous, relative);
            if (!MakeDirectoryTree(DirectoryOf(kept)) || !CopyFileSilently(target, kept))
                ThrowResult(u"cannot keep a copy of %s", target);
        }
        journal += (replaced ? "R\t" : "N\t") + Utf8FromWide(relative) + "\n";
    }
    if (!MakeDirectoryTree(previous) || !WriteFileAtomic(JournalPath(installDir), journal))
        ThrowResult(u"cannot write the update journal in %s", previous);

    try {
        for (const std::u16string& relative : files) {
            const std::u16string target = Under(installDir, relative);
            if (!MakeDirectoryTree(DirectoryOf(target)) ||
                !CopyFileSilently(Under(stagingDir, relative), target))
                ThrowResult(u"cannot install %s", target);
            FaultPoint(u"update-installing");
        }
    } catch (const std::exception& e) {
        LogError(u"InstallStagedTree, %s; putting the previous files back", ResultTextOf(e));
        RollBack(installDir);
        throw;
    }
    DeleteFileToRecycleBin(JournalPath(installDir));
    DeleteDirectoryTree(previous);
}

bool RecoverInterruptedUpdate(const std::u16string& installDir) {
    if (!DirectoryExists(PreviousDir(installDir)))
        return false;
    FileLock lock;
    std::u16string holder;
    // An install in progress holds the lock: its files are its own to put back.
    if (!lock.TryAcquire(installDir + std::u16string(kLockName), u"quillmate update", holder))
        return false;
    const bool interrupted = FileExists(JournalPath(installDir));
    try {
        RollBack(installDir);
    } catch (const std::exception& e) {
        LogError(u"RecoverInterruptedUpdate, %s", ResultTextOf(e));
        return false;
    }
    if (interrupted)
        LogInfo(u"RecoverInterruptedUpdate, an interrupted update of %s was taken back",
                installDir);
    return interrupted;
}

std::optional<int> FinishSelfUpdate(const std::vector<std::string>& args) {
    const std::u16string version = UpdateVersionArgument(args);
    if (version.empty())
        return std::nullopt;
    const std::u16string source = RunningInstallDirectory();
    const size_t staging = source.find(kStagingName);
    if (staging == std::u16string::npos) {
        LogError(u"FinishSelfUpdate, %s is not a staging directory", source);
        return 1;
    }
    const std::u16string target = source.substr(0, staging);
    // The staging directory goes once the update is over; the lines of the
    // install belong in the installation's own run log.
    if (!host::ProcessEnvironmentValue(u"QUILLMATE_HOME"))
        SetLogDirectory(Utf8FromWide(target + u"RunLog"));
    LogInfo(u"FinishSelfUpdate, installing version %s from %s into %s", version, source, target);
    int code = 0;
    try {
        InstallStagedTree(source, target);
        LogInfo(u"FinishSelfUpdate, version %s installed", version);
    } catch (const std::exception& e) {
        LogError(u"FinishSelfUpdate, %s", ResultTextOf(e));
        std::fprintf(stderr, "quillmate: the update was not installed: %s\n",
                     Utf8FromWide(ResultTextOf(e)).c_str());
        code = 1;
    }
    const bool relaunch =
        std::find(args.begin(), args.end(), std::string(kNoRelaunchSwitch)) == args.end();
    if (relaunch) {
        // The installed program, updated or not, comes back; it removes the
        // staging directory as it starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ShellOpen(target + FileNameOf(GetProgramPath()), u"", target, WindowMode::Shown);
    }
    return code;
}

}  // namespace qm
