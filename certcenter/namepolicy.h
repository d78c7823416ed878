// Which names the center certifies. A public CA must not certify names that
// mean a different machine on every network (single labels, localhost) or
// that are reserved and never delegated (.test, .local, ...): nobody can
// prove control of them.
#pragma once

#include <string>

namespace qm::certcenter {

// Why the center refuses to certify `name` (a lower-case name that passed
// IsValidDnsName), or empty when it may. `allowLocal` (the --allow-local
// option: tests, demos, private networks) accepts them all.
std::string RefusedNameReason(const std::string& name, bool allowLocal);

}  // namespace qm::certcenter
