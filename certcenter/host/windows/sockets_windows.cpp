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

std::string SocketAddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return InetNtopA(AF_INET, &v4->sin_addr, text, sizeof text) ? text : "";
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return InetNtopA(AF_INET6, &v6->sin6_addr, text, sizeof text) ? text : "";
    }
    return {};
}

int StreamSocketType() {
    return SOCK_STREAM;
}

int AnyAddressFamily() {
    return AF_UNSPEC;
}

}  // namespace qm::certcenter::host
