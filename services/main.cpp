// quillmate-services: the maker's web service, and the tool that publishes
// a release into the folder it serves.
#include <iostream>
#include <string>
#include <vector>

#include "services/options.h"
#include "services/publish.h"
#include "services/server.h"

int main(int argc, char** argv) {
    using namespace qm::services;
    const std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    try {
        line = ParseCommandLine(args);
    } catch (const UsageError& e) {
        std::cerr << "quillmate-services: " << e.what() << "\n";
        return 2;
    }
    switch (line.command) {
        case CommandLine::Command::Help:
            std::cout << line.helpText;
            return 0;
        case CommandLine::Command::Publish:
            try {
                const Published published = Publish(line.publish);
                std::cout << "published " << line.publish.version << " to " << line.publish.toDir
                          << ": " << published.files << " files, " << kArchiveName << " "
                          << published.size << " bytes, sha256 " << published.sha256 << "\n";
                return 0;
            } catch (const std::exception& e) {
                std::cerr << "quillmate-services: " << e.what() << "\n";
                return 1;
            }
        case CommandLine::Command::Serve:
            break;
    }
    return RunServe(line.serve);
}
