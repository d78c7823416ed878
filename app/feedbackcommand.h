// `quillmate feedback`: the feedback window's report without a display.
#pragma once

#include <iosfwd>
#include <string>

namespace qm {

// Sends a report of `type` ("error" or "advice") with the description `text`
// and an optional `contact` to the maker's feedback service, with the most
// recent error lines of this program's run log. Prints the window's prompt
// for the outcome (success to `out`, anything else to `err`) in the current
// language; returns 0 when the report was accepted, 1 otherwise.
int SendFeedbackFromCommandLine(const std::string& type, const std::u16string& text,
                                const std::u16string& contact, std::ostream& out,
                                std::ostream& err);

}  // namespace qm
