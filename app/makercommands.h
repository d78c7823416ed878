// `quillmate update [--check]` and `quillmate feedback ...`: the version
// window's and the feedback window's work without a display.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm {

extern const char* const kUpdateUsage;
extern const char* const kFeedbackUsage;

// `args` start with the command's name. Exit codes as for every command.
int UpdateCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int FeedbackCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qm
