// quillmate-certcenter: a certificate center for the enrollment protocol.
#include <iostream>
#include <string>
#include <vector>

#include "certcenter/center_state.h"
#include "certcenter/options.h"
#include "certcenter/server.h"

int main(int argc, char** argv) {
    using namespace qm::certcenter;
    const std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    try {
        line = ParseCommandLine(args);
    } catch (const UsageError& e) {
        std::cerr << "quillmate-certcenter: " << e.what() << "\n";
        return 2;
    }
    switch (line.command) {
        case CommandLine::Command::Help:
            std::cout << line.helpText;
            return 0;
        case CommandLine::Command::Approve:
            try {
                CenterState::Approve(line.approve.stateDir, line.approve.token);
                std::cout << "approved " << line.approve.token << "\n";
                return 0;
            } catch (const std::exception& e) {
                std::cerr << "quillmate-certcenter: " << e.what() << "\n";
                return 1;
            }
        case CommandLine::Command::Serve:
            break;
    }
    return RunServe(line.serve);
}
