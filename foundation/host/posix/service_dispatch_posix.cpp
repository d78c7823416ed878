// systemd runs a service's program as it is, stopping it with SIGTERM
// (an interrupt request, see InstallInterruptHandlers): there is no
// dispatcher to hand the program to.
#include <functional>
#include <string_view>

#include "foundation/host/process_host.h"

namespace qm::host {

bool RunAsService(std::u16string_view, const std::function<int()>&, int&) {
    return false;
}

}  // namespace qm::host
