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
// The renewal program's file name in the program and service directories.
#ifdef _WIN32
inline constexpr std::u16string_view kRenewalProgramFile = u"Vantrel.exe";
#else
inline constexpr std::u16string_view kRenewalProgramFile = u"vantrel";
#endif

// Raises the service manager's failures (plain texts beginning
// "CProcessManager::StopService - ") when the installed service cannot be
// stopped. Returns whether the service runs afterwards (false when it is
// not installed).
bool RestartRenewalService(const std::u16string& serviceDirectory);

// Whether the renewal service is installed and running now.
bool RenewalServiceRunning();
// Its state for the operator: "running", "installed, not running" or "not
// installed (install it with "vantrel /Service")".
std::string RenewalServiceStateText();

// What every start of the desktop program does for the renewal service, in
// this order: stop the service, unregister it, clean the service
// directory's copies (Config/Trace.xml, Config/Backup/, RunLog/, the
// program), copy the program's current ones there (Config/Vantrel.xml only
// when the service directory has none), register the copied program as the
// service and start it. Without a service manager the files are still
// refreshed and the service steps are said in the log and skipped. Never
// raises: every step's trouble goes to the log.
void InstallServiceComponent();

}  // namespace qm
