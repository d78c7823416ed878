// quillmate: the window without a command, the command-line front end with one.
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/desktop.h"
#include "app/selfupdate.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/textconv.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Started from the staging directory by a self-update: install, then
    // start the updated program.
    if (const std::optional<int> code = qm::FinishSelfUpdate(args))
        return *code;
    // An install cut off half way is taken back before anything else runs;
    // the program then starts again as the version put back (once: a
    // journal that cannot be removed must not make it start for ever).
    const bool startedAgain = getenv("QUILLMATE_UPDATE_TAKEN_BACK") != nullptr;
    unsetenv("QUILLMATE_UPDATE_TAKEN_BACK");
    if (qm::RecoverInterruptedUpdate(qm::RunningInstallDirectory()) && !startedAgain) {
        const std::string program = qm::Utf8FromWide(qm::GetProgramPath());
        setenv("QUILLMATE_UPDATE_TAKEN_BACK", "1", 1);
        execv(program.c_str(), argv);
        std::cerr << "quillmate: cannot start " << program << " again\n";
        return 1;
    }
    // Ctrl+C and its kin are acted on where it is safe: a web server being
    // restarted is brought back first, then the deployment rolls back.
    qm::InstallInterruptHandlers();
    qm::SetWindowFrontEnd(qm::RunDesktop);
    return qm::RunCommandLine(args, std::cout, std::cerr);
}
