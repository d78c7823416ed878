// Pieces of the listening-port lookup, separate so that tests can drive them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::host::posix {

struct ListenSocket {
    std::uint64_t inode;
    bool ipv6;
    bool acceptsIpv4;  // IPv4 sockets, and IPv6 sockets on [::] or ::ffff:a.b.c.d that are not
                       // IPv6-only
};

// Listening TCP sockets of one address family on the port, from sock_diag.
bool DumpListeners(int family, int port, std::vector<ListenSocket>& sockets);

// The same from the text of /proc/net/tcp or /proc/net/tcp6, which cannot
// tell whether an IPv6 socket is IPv6-only (`v6OnlyDefault` is assumed).
void ParseProcNetTcp(const std::string& text, bool ipv6, int port, bool v6OnlyDefault,
                     std::vector<ListenSocket>& sockets);

// net.ipv6.bindv6only: the IPv6-only setting of sockets that do not choose.
bool SystemDefaultV6Only();

// The sockets that serve IPv4 clients on the port: IPv4 ones first, then
// dual-stack IPv6 ones. False when no socket table can be read.
bool ListListeners(int port, std::vector<ListenSocket>& sockets);

struct SocketHolder {
    pid_t pid;
    pid_t parent;
    std::size_t firstSocket;  // index of the earliest of `sockets` it holds
};

// The living processes holding any of the sockets.
bool FindSocketHolders(const std::vector<ListenSocket>& sockets,
                       std::vector<SocketHolder>& holders);

// The holder whose parent holds none of the sockets (the master); among
// several, the one holding the earliest socket, then the lowest id. 0: none.
pid_t ChooseMaster(const std::vector<SocketHolder>& holders);

}  // namespace qm::host::posix
