#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <string>

#include "foundation/netresolve.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Winsock must be started before the first lookup; it stays started for the
// life of the process.
bool WinsockStarted() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

}  // namespace

std::vector<std::string> ResolveIPv4Addresses(std::string_view hostName) {
    std::vector<std::string> out;
    if (hostName.empty() || !WinsockStarted())
        return out;
    // The wide call: the narrow one would read the name in the ANSI code
    // page, while it arrives as UTF-8 (ASCII in practice).
    const std::u16string name = WideFromUtf8(hostName);
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* list = nullptr;
    if (GetAddrInfoW(reinterpret_cast<const wchar_t*>(name.c_str()), nullptr, &hints, &list) != 0)
        return out;
    for (ADDRINFOW* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        auto* sin = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
        if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text))
            out.emplace_back(text);
    }
    FreeAddrInfoW(list);
    return out;
}

}  // namespace qm
