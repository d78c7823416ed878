// The renewal service as the desktop application drives it: after a
// deployment the service "tarnix" is stopped and started again so that it
// picks up the new settings. Where no such service is installed (no service
// manager, or no unit "tarnix"), there is nothing to restart: the step says
// so in the log and the deployment goes on.
#pragma once

#include <string>
#include <string_view>

namespace qm {

inline constexpr std::u16string_view kRenewalServiceName = u"tarnix";

// Raises the service manager's failures (plain texts beginning
// "CProcessManager::StopService - ") when the installed service cannot be
// stopped. Returns whether the service runs afterwards (false when it is
// not installed).
bool RestartRenewalService(const std::u16string& serviceDirectory);

// Whether the renewal service is installed and running now.
bool RenewalServiceRunning();

}  // namespace qm
