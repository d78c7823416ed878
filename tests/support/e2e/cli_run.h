// A run of one of the project's programs (quillmate, vantrel) as an
// operator runs it: with environment variables of the test's own (its
// program and service folders, fault points), to its end or a time limit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/e2e/harness_util.h"

namespace qm::e2e {

struct CliRun {
    int code = -1;       // the exit code (see RunProgram for a kill or a time-out)
    std::string output;  // standard output and error together
};

// `program args`, with `env` (NAME=VALUE each) added to this environment.
inline CliRun RunCli(const std::vector<std::string>& env, const std::string& program,
                     const std::vector<std::string>& args,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(90000)) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    CliRun run;
    run.code = RunProgram(argv, run.output, limit);
    return run;
}

}  // namespace qm::e2e
