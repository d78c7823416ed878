// Which process listens on a TCP port, on Linux.
//
// The kernel's socket table is asked through sock_diag netlink, filtered to
// listening sockets on the port inside the kernel, so the cost does not grow
// with the number of other sockets. Unlike /proc/net/tcp6, the answer says
// whether an IPv6 socket is IPv6-only: a "[::]:port" socket with IPv6-only
// off serves IPv4 clients too and counts; an IPv6-only one does not.
// Sockets carry no owner, so the socket's inode is then looked for among the
// open descriptors of the processes (/proc/PID/fd). That scan is the main
// cost and grows with the descriptors open on the machine; it stops at the
// first holder and then only climbs through that holder's parents.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/host/posix/process_listen_posix.h"
#include "foundation/host/posix/process_posix.h"
#include "foundation/host/process_host.h"

namespace qm::host {

namespace posix {

namespace {

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0)
            close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

bool IsWildcardOrMapped(const uint32_t address[4]) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(address);
    const bool prefixZero = std::all_of(bytes, bytes + 10, [](uint8_t b) { return b == 0; });
    if (!prefixZero)
        return false;
    const bool wildcard = std::all_of(bytes + 10, bytes + 16, [](uint8_t b) { return b == 0; });
    const bool mapped = bytes[10] == 0xff && bytes[11] == 0xff;
    return wildcard || mapped;
}

}  // namespace

bool SystemDefaultV6Only() {
    std::string text;
    return ReadProcFile("/proc/sys/net/ipv6/bindv6only", text) && !text.empty() && text[0] == '1';
}

bool DumpListeners(int family, int port, std::vector<ListenSocket>& sockets) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    FdCloser closer(fd);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    // The kernel skips listeners on other ports itself.
    message.request.id.idiag_sport = htons(static_cast<uint16_t>(port));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
        return false;
    }

    const bool v6OnlyDefault = family == AF_INET6 && SystemDefaultV6Only();
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return false;
        int length = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE)
                return true;
            if (header->nlmsg_type == NLMSG_ERROR)
                return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (entry->idiag_state != TCP_LISTEN || ntohs(entry->id.idiag_sport) != port)
                continue;
            ListenSocket socket{entry->idiag_inode, family == AF_INET6, true};
            if (socket.ipv6) {
                int v6Only = v6OnlyDefault ? 1 : 0;  // kernels before 3.x do not say
                int attrLength =
                    static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
                for (auto* attr = reinterpret_cast<rtattr*>(const_cast<inet_diag_msg*>(entry) + 1);
                     RTA_OK(attr, attrLength); attr = RTA_NEXT(attr, attrLength)) {
                    if (attr->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attr) >= 1)
                        v6Only = *static_cast<const uint8_t*>(RTA_DATA(attr));
                }
                socket.acceptsIpv4 = v6Only == 0 && IsWildcardOrMapped(entry->id.idiag_src);
            }
            sockets.push_back(socket);
        }
    }
}

void ParseProcNetTcp(const std::string& text, bool ipv6, int port, bool v6OnlyDefault,
                     std::vector<ListenSocket>& sockets) {
    size_t lineStart = text.find('\n');  // skip the heading
    while (lineStart != std::string::npos && lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart + 1);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        const std::string line = text.substr(lineStart + 1, lineEnd - lineStart - 1);
        lineStart = lineEnd;
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
        std::vector<std::string> fields;
        size_t at = 0;
        while (fields.size() < 10) {
            at = line.find_first_not_of(' ', at);
            if (at == std::string::npos)
                break;
            const size_t end = std::min(line.find(' ', at), line.size());
            fields.push_back(line.substr(at, end - at));
            at = end;
        }
        if (fields.size() < 10 || fields[3] != "0A")
            continue;
        const std::string& local = fields[1];
        const size_t colon = local.find(':');
        if (colon == std::string::npos ||
            std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) {
            continue;
        }
        ListenSocket socket{std::strtoull(fields[9].c_str(), nullptr, 10), ipv6, true};
        if (ipv6) {
            // Four 32-bit words in the kernel's byte order, as hex. Whether the
            // socket is IPv6-only is not shown; the system default is the best
            // guess this table allows.
            const std::string address = local.substr(0, colon);
            const bool wildcard = address == std::string(32, '0');
            const bool mapped = address.size() == 32 &&
                                address.compare(0, 16, std::string(16, '0')) == 0 &&
                                (address.compare(16, 8, "FFFF0000") == 0 ||
                                 address.compare(16, 8, "0000FFFF") == 0);
            socket.acceptsIpv4 = !v6OnlyDefault && (wildcard || mapped);
        }
        sockets.push_back(socket);
    }
}

namespace {

bool ReadProcNetTcp(const char* path, bool ipv6, int port, std::vector<ListenSocket>& sockets) {
    std::string text;
    if (!ReadProcFile(path, text))
        return false;
    ParseProcNetTcp(text, ipv6, port, ipv6 && SystemDefaultV6Only(), sockets);
    return true;
}

}  // namespace

bool ListListeners(int port, std::vector<ListenSocket>& sockets) {
    sockets.clear();
    std::vector<ListenSocket> v4;
    std::vector<ListenSocket> v6;
    if (!DumpListeners(AF_INET, port, v4)) {
        v4.clear();
        if (!ReadProcNetTcp("/proc/net/tcp", false, port, v4))
            return false;
    }
    if (!DumpListeners(AF_INET6, port, v6)) {
        v6.clear();
        ReadProcNetTcp("/proc/net/tcp6", true, port, v6);  // absent: no IPv6 on this system
    }
    // IPv4 listeners first, as the system's IPv4 table would list them.
    sockets = std::move(v4);
    for (const auto& s : v6) {
        if (s.acceptsIpv4)
            sockets.push_back(s);
    }
    return true;
}

bool HoldsAnySocket(pid_t pid, const InodeSet& inodes) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fdDir.c_str());
    if (!dir)
        return false;  // ended meanwhile, or not ours to inspect
    bool holds = false;
    char target[64];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        const ssize_t n = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
        // "socket:[12345]"
        if (n < 9 || std::memcmp(target, "socket:[", 8) != 0)
            continue;
        target[n] = '\0';
        if (inodes.count(std::strtoull(target + 8, nullptr, 10))) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

pid_t ClimbToMaster(pid_t holder, const std::function<bool(pid_t)>& holds,
                    const std::function<pid_t(pid_t)>& parentOf) {
    pid_t master = holder;
    // The depth limit only guards against a parent table read while
    // processes come and go; real trees of listeners are shallow.
    for (int depth = 0; master > 0 && depth < 64; ++depth) {
        const pid_t parent = parentOf(master);
        if (parent <= 0 || parent == master || !holds(parent))
            break;
        master = parent;
    }
    return master;
}

pid_t FindMaster(const std::vector<ListenSocket>& sockets) {
    InodeSet inodes;
    for (const auto& socket : sockets)
        inodes.insert(socket.inode);
    // Stop at the first holder: the scan of every descriptor on the machine
    // is the expensive part, and /proc lists masters before the workers
    // they fork, whose descriptors then need not be read at all.
    for (pid_t pid : ListProcesses()) {
        if (!HoldsAnySocket(pid, inodes))
            continue;
        const auto stat = ReadProcStat(pid);
        if (!stat || stat->state == 'Z' || stat->state == 'X')
            continue;
        return ClimbToMaster(
            pid, [&](pid_t p) { return HoldsAnySocket(p, inodes); },
            [](pid_t p) {
                const auto parent = ReadProcStat(p);
                return parent ? parent->parent : 0;
            });
    }
    return 0;
}

}  // namespace posix

ListenerLookup FindListeningProcess(int port, ProcessId& pid) {
    pid = 0;
    // A listener closed between reading the table and scanning the
    // processes leaves no holder; a second look tells that from a holder we
    // cannot see.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<posix::ListenSocket> sockets;
        if (!posix::ListListeners(port, sockets))
            return ListenerLookup::TableUnreadable;
        if (sockets.empty())
            return ListenerLookup::NotListening;
        const pid_t master = posix::FindMaster(sockets);
        if (master > 0) {
            pid = static_cast<ProcessId>(master);
            return ListenerLookup::Found;
        }
    }
    return ListenerLookup::HolderUnknown;
}

}  // namespace qm::host
