// The "serve" command: the service's CA and TLS identity from the state
// folder, downloads (downloads.h) and posted messages (feedback.h) behind an
// HTTPS endpoint, and the request log.
#pragma once

#include "services/options.h"

namespace qm::services {

// Runs until SIGTERM or SIGINT. Returns the exit code when the service
// cannot start or stops serving; the reason is on stderr.
int RunServe(const ServeOptions& options);

}  // namespace qm::services
