// quillmate: the window without a command, the command-line front end with one.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/desktop.h"
#include "foundation/interrupts.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Ctrl+C and its kin are acted on where it is safe: a web server being
    // restarted is brought back first, then the deployment rolls back.
    qm::InstallInterruptHandlers();
    qm::SetWindowFrontEnd(qm::RunDesktop);
    return qm::RunCommandLine(args, std::cout, std::cerr);
}
