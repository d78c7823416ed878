// quillmate: the command-line front end (the window comes later).
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return qm::RunCommandLine(args, std::cout, std::cerr);
}
