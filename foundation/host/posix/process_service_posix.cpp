// Services on POSIX are systemd units, controlled through systemctl. The
// failure texts keep the steps' names of the service-stopping procedure so
// that an operator's log reads the same on every system; the parentheses say
// what went wrong here.
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm::host {

namespace posix {

bool SystemdRunning() {
    const char* chosen = std::getenv("QUILLMATE_SYSTEMD_RUNTIME");
    const std::string runtime = chosen && *chosen ? chosen : "/run/systemd/system";
    struct stat st {};
    return lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemdProperty(const std::string& output, const std::string& name) {
    const std::string key = name + "=";
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos)
            end = output.size();
        if (output.compare(at, key.size(), key) == 0) {
            std::string value = output.substr(at + key.size(), end - at - key.size());
            if (!value.empty() && value.back() == '\r')
                value.pop_back();
            return value;
        }
        at = end + 1;
    }
    return {};
}

}  // namespace posix

namespace {

// One systemctl call; its own limit keeps a stuck service manager from
// blocking the caller for ever.
constexpr int kSystemctlTimeoutMs = 15000;
// systemd gives no estimate of a stop's duration; this sets the polling.
constexpr int kSystemdWaitHintMs = 500;

[[noreturn]] void Fail(const std::string& step, const std::string& reason) {
    ThrowResult(u"%s", "CProcessManager::StopService - " + step + " failed (" + reason + ")\n");
}

// Letters, digits and ":-_.\@" as systemd allows in unit names; a leading "-"
// would read as an option.
bool IsValidUnitName(std::u16string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == u'-')
        return false;
    for (char16_t c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u':' || c == u'-' || c == u'_' ||
                        c == u'.' || c == u'\\' || c == u'@';
        if (!ok)
            return false;
    }
    return true;
}

std::string ExitReason(const char* command, bool ran, int exitStatus) {
    if (!ran)
        return std::string(command) + " did not finish";
    return std::string(command) + " exit status " + std::to_string(exitStatus);
}

class SystemdServiceManager : public ServiceManager {
public:
    ServiceStatus Query(std::u16string_view name) override {
        const std::string unit = UnitName(name);
        std::string output;
        int exitStatus = -1;
        const bool ran =
            posix::RunCapture({"systemctl", "show", "--no-pager", "--property=LoadState",
                               "--property=ActiveState", "--", unit},
                              kSystemctlTimeoutMs, output, exitStatus);
        if (!ran || exitStatus != 0)
            Fail("QueryServiceStatusEx", ExitReason("systemctl show", ran, exitStatus));
        if (posix::SystemdProperty(output, "LoadState") == "not-found")
            Fail("OpenService", "unit " + unit + " not found");
        const std::string active = posix::SystemdProperty(output, "ActiveState");
        ServiceStatus status;
        status.waitHintMs = kSystemdWaitHintMs;
        if (active == "inactive" || active == "failed")
            status.state = ServiceStatus::State::Stopped;
        else if (active == "deactivating")
            status.state = ServiceStatus::State::StopPending;
        else
            status.state = ServiceStatus::State::Running;
        return status;
    }

    // systemd stops the units that require this one with it. The request
    // does not wait for the stop: the caller's time limit governs the wait.
    void RequestStop(std::u16string_view name) override {
        const std::string unit = UnitName(name);
        std::string output;
        int exitStatus = -1;
        const bool ran = posix::RunCapture({"systemctl", "stop", "--no-block", "--", unit},
                                           kSystemctlTimeoutMs, output, exitStatus);
        if (!ran || exitStatus != 0)
            Fail("ControlService", ExitReason("systemctl stop", ran, exitStatus));
    }

private:
    static std::string UnitName(std::u16string_view name) {
        if (!IsValidUnitName(name))
            Fail("OpenService", "invalid unit name");
        return Utf8FromWide(name);
    }
};

}  // namespace

std::unique_ptr<ServiceManager> OpenServiceManager() {
    // The test systemd itself uses (sd_booted): without it no unit can be
    // controlled, and systemctl would only fail slowly.
    if (!posix::SystemdRunning())
        Fail("OpenSCManager", "systemd is not running");
    if (posix::FindExecutable("systemctl", {}).empty())
        Fail("OpenSCManager", "systemctl not found");
    return std::make_unique<SystemdServiceManager>();
}

}  // namespace qm::host
