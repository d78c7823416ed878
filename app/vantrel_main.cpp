// vantrel: the renewal service "tarnix" and its commands.
#include <iostream>
#include <string>
#include <vector>

#include "app/settingsfile.h"
#include "app/vantrel.h"
#include "foundation/interrupts.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // A stop of the service is acted on between steps: a renewal under way
    // puts the previous files back first.
    qm::InstallInterruptHandlers();
    // The service's run log lives in the service directory.
    qm::SetLogDirectory(qm::Utf8FromWide(qm::ServiceDirectory()) + "RunLog");
    return qm::RunVantrel(args, std::cout, std::cerr);
}
