// The record of one deployment: written before the first change to any file
// and kept up to date as the deployment moves on, it is the journal that
// lets an interrupted deployment be rolled back, and once committed it is
// the undo record of that deployment. It holds everything an undo needs on
// its own: the server and how it was launched, every file changed with its
// backup copy and the SHA-256 of its original and deployed content, and the
// files the deployment created.
//
// Records live in the service directory's "Undo/" folder, one numbered
// folder per deployment still in force, oldest first; the newest one may be
// unfinished.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/processmanager.h"

namespace qm {

// The phases a record passes through.
namespace phase {
inline constexpr std::u16string_view kObtaining =
    u"obtaining";                                              // nothing changed yet but new files
inline constexpr std::u16string_view kEditing = u"editing";    // server files may be changed
inline constexpr std::u16string_view kApplying = u"applying";  // the server takes the change
inline constexpr std::u16string_view kApplied = u"applied";    // serving it, not yet committed
inline constexpr std::u16string_view kCommitted = u"committed";       // in force: an undo record
inline constexpr std::u16string_view kRollingBack = u"rolling back";  // being taken back
inline constexpr std::u16string_view kUndoing = u"undoing";           // an undo under way
}  // namespace phase

struct RecordedFile {
    std::u16string path;
    std::u16string copy;       // name of the backup copy in the record's folder
    std::string originalHash;  // SHA-256 before the deployment; empty when the file was new
    std::string deployedHash;  // SHA-256 when the deployment was committed
    bool existed = true;
    bool state = false;  // the program's own state (settings): restored without the edit check
};

// A change made through a server's own administration rather than to a
// file (IIS bindings, a certificate imported into a store): its kind and
// what it was before and after, in the deployer's own terms. It is written
// before the change is made, so a rollback or an undo can always replay
// its reverse (which does nothing when the change was not made).
struct RecordedChange {
    std::u16string type;
    std::vector<std::pair<std::u16string, std::u16string>> values;

    std::u16string Value(std::u16string_view name) const;
    bool operator==(const RecordedChange&) const = default;
};

// What the server is and how to bring it back.
struct ServerRecord {
    std::u16string kind;  // "nginx", "apache", ...
    ProcessLaunch launch;
    std::u16string serviceUnit;  // the systemd unit it runs in, if any
    std::vector<std::pair<std::u16string, std::u16string>> properties;  // deployer's own facts

    std::u16string Property(std::u16string_view name) const;
};

// Where the deployed certificate is checked on the wire.
struct WireTarget {
    std::u16string host;     // the name sent as SNI
    std::u16string address;  // the address connected to ("127.0.0.1", "::1", ...)
    int32_t port = 0;
    bool operator==(const WireTarget&) const = default;
};

struct DeploymentRecord {
    std::u16string folder;  // ends in a separator
    std::u16string phase;
    int32_t httpPort = 0;
    int32_t httpsPort = 0;
    std::u16string started;  // local time, "YYYY-MM-DD hh:mm:ss"
    uint32_t owner = 0;      // process id of the run that made it
    ServerRecord server;
    std::vector<std::u16string> sites;
    std::vector<RecordedFile> files;
    std::vector<std::u16string> created;
    std::vector<RecordedChange> changes;
    std::string certificateFingerprint;
    std::vector<WireTarget> wireTargets;
    bool serverTouched = false;  // the server was reloaded or restarted with recorded changes

    std::u16string RecordPath() const { return folder + u"record.xml"; }
    std::u16string CopyPath(const RecordedFile& file) const { return folder + file.copy; }
    RecordedFile* FindFile(std::u16string_view path);
    // Whether the server's configuration was (or may have been) changed: a
    // file of its own, or a change through its administration.
    bool HasServerFiles() const;

    // Written through an atomic replace, synced.
    bool Save() const;
    // Reads the record in `folder`; nullopt (with `problem`) when it is
    // missing or unreadable.
    static std::optional<DeploymentRecord> Load(const std::u16string& folder,
                                                std::u16string& problem);
};

// The records in the service directory's "Undo/" folder.
class DeploymentHistory {
public:
    // The records of deployments ("Undo/"), or of renewals under way
    // ("Renewal/"), in the service directory.
    explicit DeploymentHistory(std::u16string serviceDirectory,
                               std::u16string_view folder = u"Undo");

    const std::u16string& Directory() const { return directory_; }
    // The record folders, oldest first.
    std::vector<std::u16string> Folders() const;
    // Creates the folder for a new record (owner-only), after the newest.
    std::u16string CreateFolder() const;

private:
    std::u16string directory_;
};

// The current local time as records show it.
std::u16string RecordTimestamp();

}  // namespace qm
