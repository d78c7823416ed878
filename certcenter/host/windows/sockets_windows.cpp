#include <winsock2.h>
#include <ws2tcpip.h>

#include "certcenter/host/sockets.h"

namespace qm::certcenter::host {

Readiness WaitForSocket(int socket, bool forWriting, std::chrono::milliseconds timeout) {
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(socket);
    entry.events = forWriting ? POLLWRNORM : POLLRDNORM;
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    const int result = WSAPoll(&entry, 1, ms > 0x7fffffff ? 0x7fffffff : static_cast<INT>(ms));
    if (result == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? Readiness::TimedOut : Readiness::Failed;
    if (result == 0)
        return Readiness::TimedOut;
    return (entry.revents & POLLNVAL) ? Readiness::Failed : Readiness::Ready;
}

// Windows has no SIGPIPE; OpenSSL starts Winsock on its first socket call.
void PrepareSockets() {}

int StreamSocketType() {
    return SOCK_STREAM;
}

int AnyAddressFamily() {
    return AF_UNSPEC;
}

}  // namespace qm::certcenter::host
