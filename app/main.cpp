// quillmate: the window without a command, the command-line front end with one.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/desktop.h"
#include "app/selfupdate.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/textconv.h"

namespace {
// Set while the program starts again after taking back an interrupted update.
constexpr std::u16string_view kTakenBack = u"QUILLMATE_UPDATE_TAKEN_BACK";
}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> commandLine = qm::host::ProgramArguments(argc, argv);
    std::vector<std::string> args(commandLine.begin() + 1, commandLine.end());
    // Started from the staging directory by a self-update: install, then
    // start the updated program.
    if (const std::optional<int> code = qm::FinishSelfUpdate(args))
        return *code;
    // An install cut off half way is taken back before anything else runs;
    // the program then starts again as the version put back (once: a
    // journal that cannot be removed must not make it start for ever).
    const bool startedAgain = qm::host::ProcessEnvironmentValue(kTakenBack).has_value();
    qm::host::SetProcessEnvironmentValue(kTakenBack, std::nullopt);
    if (qm::RecoverInterruptedUpdate(qm::RunningInstallDirectory()) && !startedAgain) {
        const std::u16string program = qm::GetProgramPath();
        qm::host::SetProcessEnvironmentValue(kTakenBack, u"1");
        qm::host::ReplaceProcessImage(program, commandLine);
        std::cerr << "quillmate: cannot start " << qm::Utf8FromWide(program) << " again\n";
        return 1;
    }
    // Ctrl+C and its kin are acted on where it is safe: a web server being
    // restarted is brought back first, then the deployment rolls back.
    qm::InstallInterruptHandlers();
    qm::SetWindowFrontEnd(qm::RunDesktop);
    return qm::RunCommandLine(args, std::cout, std::cerr);
}
