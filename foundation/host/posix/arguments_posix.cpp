#include <string>
#include <vector>

#include "foundation/host/host.h"

namespace qm::host {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace qm::host
