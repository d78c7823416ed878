// The server's processes as the deployers see them: who listens on the
// configured ports, starting a server from its recorded launch, and the
// certificate name no configured line uses yet.
#include <algorithm>

#include "deploy/sslcertsrvbase.h"
#include "foundation/format.h"
#include "foundation/operation.h"
#include "foundation/processmanager.h"

namespace qm {

ProcessId SslCertSrvBase::PortListener(int32_t port) {
    ProcessId pid = 0;
    try {
        GetListeningPid(port, pid);
    } catch (const std::exception&) {
        pid = 0;  // an unreadable socket table counts as not listening yet
    }
    return pid;
}

ProcessId SslCertSrvBase::ConfiguredPortListener() const {
    const ProcessId http = PortListener(httpPort_);
    return http != 0 ? http : PortListener(httpsPort_);
}

std::vector<int32_t> SslCertSrvBase::ListeningConfiguredPorts() const {
    std::vector<int32_t> ports;
    for (int32_t port : {httpPort_, httpsPort_}) {
        if (PortListener(port) != 0)
            ports.push_back(port);
    }
    return ports;
}

ProcessId SslCertSrvBase::CommonListener(const std::vector<int32_t>& ports) {
    ProcessId common = 0;
    for (int32_t port : ports) {
        const ProcessId pid = PortListener(port);
        if (pid == 0 || (common != 0 && pid != common))
            return 0;
        common = pid;
    }
    return common;
}

void SslCertSrvBase::StartFromLaunch(const ProcessLaunch& launch) {
    LogInfo(u"start: %s (in %s)", JoinCommandLine(launch.arguments), launch.directory);
    ProcessId started = 0;
    if (StartDetached(launch, &started) <= kShellOpenFailureMax)
        LogError(u"SslCertSrvBase::StartFromLaunch, cannot start %s", launch.program);
}

void SslCertSrvBase::PickUnusedCertName(std::initializer_list<std::u16string_view> suffixes) {
    const std::u16string base = certName_;
    for (int n = 0;; ++n) {
        const std::u16string candidate = n == 0 ? base : FormatWide(u"%s(%d)", base, n);
        const bool used =
            std::any_of(usedCertFiles_.begin(), usedCertFiles_.end(), [&](const auto& line) {
                return std::any_of(suffixes.begin(), suffixes.end(), [&](std::u16string_view s) {
                    return line.find(candidate + std::u16string(s)) != std::u16string::npos;
                });
            });
        if (!used) {
            certName_ = candidate;
            return;
        }
    }
}

}  // namespace qm
