#include "app/makercommands.h"

#include <exception>
#include <ostream>

#include "app/cli.h"
#include "app/feedbackcommand.h"
#include "app/language.h"
#include "app/makerservice.h"
#include "app/selfupdate.h"
#include "app/strings.h"
#include "app/updatecomm.h"
#include "app/verwnd.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

const char* const kUpdateUsage = R"(Usage: quillmate update [--check] [--lang en|zh]

Looks up the newest version on the maker's service (QUILLMATE_SERVICES_URL,
trusting QUILLMATE_SERVICES_CA besides the system's anchors) and, without
--check, installs it over this program's folder: the archive is checked
against the digest the update description gives, unpacked beside the
program and installed file by file; a failure puts every file back.
Settings and records in Config/ and RunLog/ are kept.

  --check   only show the running and the newest version
)";

const char* const kFeedbackUsage =
    R"(Usage: quillmate feedback --type error|advice --text TEXT [--contact CONTACT]
                          [--lang en|zh]

Sends a report to the maker (QUILLMATE_SERVICES_URL) with the product's name
and version and the most recent error lines of the run log.
)";

namespace {

// The longest a staged install may take before the command gives up on it.
constexpr int kInstallTimeoutMs = 10 * 60 * 1000;

std::string Utf8(std::u16string_view text) {
    return Utf8FromWide(text);
}

bool IsHelp(const std::string& arg) {
    return arg == "-h" || arg == "--help";
}

}  // namespace

int UpdateCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool checkOnly = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            out << kUpdateUsage;
            return kExitSucceed;
        }
        if (args[i] != "--check") {
            err << "quillmate: update does not know \"" << args[i] << "\"\n"
                << "Try \"quillmate update --help\".\n";
            return kExitUsage;
        }
        checkOnly = true;
    }
    const StringTable strings =
        StringTable::Load(StringTableIdFor(CurrentLanguage()), VersionWindowStringKeys());
    const MakerService service = ResolveMakerService();
    const std::u16string current = GetFileVersion(GetProgramPath());
    UpdateDescription update;
    try {
        UpdateComm::GetVerInfo(service.UpdateDescriptionUrl(), kUpdateProgramName,
                               strings.Get("XmlDespName"), service.caFile, update);
    } catch (const std::exception&) {
        err << "quillmate: " << Utf8(strings.Get("StateNotConnect")) << " ("
            << Utf8(service.UpdateDescriptionUrl()) << ")\n";
        return kExitFailed;
    }
    const bool newer = CompareVersions(update.version, current) > 0;
    out << "Current version: " << Utf8(current) << "\n"
        << "Newest version:  " << Utf8(update.version) << "\n"
        << Utf8(strings.Get(newer ? "StateHaveNew" : "StateIsNew")) << "\n";
    if (newer && !update.description.empty())
        out << Utf8(update.description) << "\n";
    if (checkOnly || !newer)
        return kExitSucceed;

    out << Utf8(strings.Get("StateUpdateing")) << std::endl;
    const SelfUpdatePaths paths = SelfUpdatePathsFor(RunningInstallDirectory());
    try {
        StageUpdate(service, update, paths);
    } catch (const std::exception& e) {
        err << "quillmate: " << Utf8(strings.Get("StateUpdateFail")) << ": "
            << Utf8(ResultTextOf(e)) << "\n";
        return kExitFailed;
    }
    // The staged copy installs itself, as it does for the window; this
    // process waits for it instead of ending.
    std::string output;
    int exitCode = -1;
    const bool ran = RunAndCapture({StagedProgramPath(paths), u"/UpdateVersion:" + update.version,
                                    WideFromUtf8(std::string(kNoRelaunchSwitch))},
                                   kInstallTimeoutMs, output, exitCode);
    DeleteDirectoryTree(paths.stagingDir);
    if (!ran || exitCode != 0) {
        err << output << "quillmate: " << Utf8(strings.Get("StateUpdateFail")) << "\n";
        return kExitFailed;
    }
    out << "Updated to " << Utf8(update.version) << " in " << Utf8(paths.installDir) << "\n";
    return kExitSucceed;
}

int FeedbackCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string type;
    std::string text;
    std::string contact;
    for (size_t i = 1; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            out << kFeedbackUsage;
            return kExitSucceed;
        }
        std::string* value = args[i] == "--type"      ? &type
                             : args[i] == "--text"    ? &text
                             : args[i] == "--contact" ? &contact
                                                      : nullptr;
        if (!value || i + 1 >= args.size()) {
            err << "quillmate: feedback does not know \"" << args[i] << "\""
                << (value ? " without a value" : "") << "\n"
                << "Try \"quillmate feedback --help\".\n";
            return kExitUsage;
        }
        *value = args[++i];
    }
    if (type != "error" && type != "advice") {
        err << "quillmate: feedback needs --type error or --type advice\n";
        return kExitUsage;
    }
    if (text.empty()) {
        err << "quillmate: feedback needs --text\n";
        return kExitUsage;
    }
    return SendFeedbackFromCommandLine(type, WideFromUtf8(text), WideFromUtf8(contact), out, err);
}

}  // namespace qm
