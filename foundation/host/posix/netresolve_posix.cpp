#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "foundation/netresolve.h"

namespace qm {

std::vector<std::string> ResolveIPv4Addresses(std::string_view hostName) {
    std::vector<std::string> out;
    const std::string name(hostName);
    if (name.empty())
        return out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0)
        return out;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text))
            out.emplace_back(text);
    }
    freeaddrinfo(list);
    return out;
}

}  // namespace qm
