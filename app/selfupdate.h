// The self-update. Its first half (StageUpdate) downloads the update
// archive, checks it against the digest the update description gives and
// unpacks it into the staging directory beside the program; the program
// then starts the staged copy with "/UpdateVersion:" and the new version
// and ends. The staged copy (FinishSelfUpdate) installs its files over the
// installation, each file replaced atomically and the whole install
// journaled: a failure, or a kill noticed at the next start, puts every
// file back as it was. The installation's records and settings (Config/,
// RunLog/) are never deleted; shipped templates are only added when
// missing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/makerservice.h"
#include "app/updatecomm.h"

namespace qm {

struct SelfUpdatePaths {
    std::u16string installDir;      // ends with a separator
    std::u16string stagingArchive;  // installDir + "Quillmate_tmp.zip"
    std::u16string stagingDir;      // installDir + "Quillmate_tmp"
};

// The paths beside the running program (the installation it belongs to).
SelfUpdatePaths SelfUpdatePathsFor(const std::u16string& installDir);
std::u16string RunningInstallDirectory();

// Downloads, checks and unpacks the update. `progress` (may be empty) gets
// percentages as the stages pass. Raises a text saying what failed; the
// staging directory and archive are then removed, the installation is
// untouched.
void StageUpdate(const MakerService& service, const UpdateDescription& update,
                 const SelfUpdatePaths& paths, const std::function<void(int)>& progress = {});

// The staged copy of the running program's file.
std::u16string StagedProgramPath(const SelfUpdatePaths& paths);

// The "/UpdateVersion:" switch's value in the arguments (the switch name
// in any case, after "/" or "-"); empty when there is none.
std::u16string UpdateVersionArgument(const std::vector<std::string>& args);
// Our own addition: the staged copy does not start the updated program
// afterwards (the command line waits for it instead).
inline constexpr std::string_view kNoRelaunchSwitch = "/NoRelaunch";

// The second half, for the program's entry point: nothing (an ordinary
// start) unless the arguments carry "/UpdateVersion:" with a version.
// Otherwise installs the staging directory the program runs from over the
// installation, starts the updated program (unless /NoRelaunch) and
// returns the exit code: 0 installed, 1 not (everything put back).
std::optional<int> FinishSelfUpdate(const std::vector<std::string>& args);

// Installs every file of `stagingDir` into `installDir` (see above).
// Raises what failed after putting every file back.
void InstallStagedTree(const std::u16string& stagingDir, const std::u16string& installDir);

// At start: puts back the files of an install that was interrupted (the
// process killed half way). True when it did.
bool RecoverInterruptedUpdate(const std::u16string& installDir);

}  // namespace qm
