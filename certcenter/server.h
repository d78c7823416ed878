// The "serve" command: the center's CA and state from the state folder, the
// protocol (center.h) behind an HTTPS endpoint, and the request log.
#pragma once

#include "certcenter/options.h"

namespace qm::certcenter {

// Runs until the process is ended. Returns the exit code when the center
// cannot start or stops serving; the reason is on stderr.
int RunServe(const ServeOptions& options);

}  // namespace qm::certcenter
