// Pieces of the listening-port lookup, separate so that tests can drive them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
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

using InodeSet = std::unordered_set<std::uint64_t>;

// True when the process has one of the sockets open (stops at the first).
bool HoldsAnySocket(pid_t pid, const InodeSet& inodes);

// Climbs from a process holding the socket through the parents that hold it
// too; the topmost is the master. 0 for a holder of 0.
pid_t ClimbToMaster(pid_t holder, const std::function<bool(pid_t)>& holds,
                    const std::function<pid_t(pid_t)>& parentOf);

// The master of the first process found holding one of the sockets; 0 when
// no visible process holds any.
pid_t FindMaster(const std::vector<ListenSocket>& sockets);

}  // namespace qm::host::posix
