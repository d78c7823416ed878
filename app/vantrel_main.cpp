// vantrel: the renewal service "tarnix" and its commands.
#include <iostream>
#include <string>
#include <vector>

#include "app/settingsfile.h"
#include "app/vantrel.h"
#include "foundation/host/host.h"
#include "foundation/interrupts.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

int main(int argc, char** argv) {
    const std::vector<std::string> commandLine = qm::host::ProgramArguments(argc, argv);
    std::vector<std::string> args(commandLine.begin() + 1, commandLine.end());
    // A stop of the service is acted on between steps: a renewal under way
    // puts the previous files back first.
    qm::InstallInterruptHandlers();
    // The service's run log lives in the service directory.
    qm::SetLogDirectory(qm::Utf8FromWide(qm::ServiceDirectory()) + "RunLog");
    return qm::RunVantrel(args, std::cout, std::cerr);
}
