// The error lines a feedback report carries: the most recent lines of a run
// log that are tagged "[Error]", read straight from the log's bytes.
#pragma once

#include <string>

namespace qm {

// The five most recent error lines of the run log at `path` (fewer when it
// has fewer), oldest first and run together without their line breaks, in
// the log's own encoding. Empty when the file cannot be read or has none.
std::string ExtractErrorLines(const std::u16string& path);

}  // namespace qm
