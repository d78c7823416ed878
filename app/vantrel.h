// The renewal service's command line:
//
//   vantrel /Service      registers and starts the service "tarnix"
//   vantrel /Unregister   stops and removes it
//   vantrel run [--interval S] [--renew-at P] [--retry S] [--poll S]
//   vantrel renew [--force] [--dry-run] [--renew-at P] [--poll S]
//   vantrel status
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm {

inline constexpr char kVantrelUsage[] =
    "Usage: vantrel COMMAND [OPTIONS]\n"
    "Keeps the certificate of the last deployment renewed.\n\n"
    "  /Service     register the service \"tarnix\" (running \"vantrel run\") and start it\n"
    "  /Unregister  stop and remove the service\n"
    "  run          the service loop: a check every --interval seconds (default 43200,\n"
    "               with 10% jitter), renewal when due, retries with backoff\n"
    "  renew        one check; --force renews even when not due, --dry-run only says\n"
    "  status       the deployment, its certificate, and the service\n\n"
    "Options: --renew-at P   when to renew: a share of the lifetime left (\"1/3\", the\n"
    "                        default, or \"0.25\") or days left (\"30d\")\n"
    "         --retry S      first retry after a failure (default 60; doubles up to the\n"
    "                        interval)\n"
    "         --poll S       how often a deferred request is asked about (default 15)\n\n"
    "Exit codes: 0 done (or not due), 1 the renewal failed, 2 usage, 8 nothing deployed.\n";

int RunVantrel(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qm
