#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string>
#include <vector>

#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm::host {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(Utf8FromWide(reinterpret_cast<const char16_t*>(wide[i])));
    LocalFree(wide);
    return args;
}

}  // namespace qm::host
