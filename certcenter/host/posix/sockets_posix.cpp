#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

#include "certcenter/host/sockets.h"

namespace qm::certcenter::host {

Readiness WaitForSocket(int socket, bool forWriting, std::chrono::milliseconds timeout) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = forWriting ? POLLOUT : POLLIN;
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    const int result = poll(&entry, 1, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
    if (result < 0)
        return errno == EINTR ? Readiness::TimedOut : Readiness::Failed;
    if (result == 0)
        return Readiness::TimedOut;
    return (entry.revents & POLLNVAL) ? Readiness::Failed : Readiness::Ready;
}

void PrepareSockets() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

std::string SocketAddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) ? text : "";
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) ? text : "";
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
