// Processes as Windows shows them: the TCP owner table, process handles,
// Toolhelp snapshots for parents and descendants, and the service control
// manager for the service a process runs.
#include "foundation/host/windows/win32util.h"

// winsock2.h before iphlpapi.h: the IP helper headers need its types.
#include <winsock2.h>

#include <iphlpapi.h>
#include <tlhelp32.h>
#include <winsvc.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "foundation/host/process_host.h"

namespace qm::host {

namespace {

// The table keeps ports in network byte order in the low 16 bits.
int PortOf(DWORD tablePort) {
    return static_cast<int>(((tablePort & 0xff) << 8) | ((tablePort >> 8) & 0xff));
}

// GetExtendedTcpTable into a buffer of the size it asks for; the table may
// grow between the size query and the read, hence the loop.
bool ReadTcpTable(ULONG family, std::vector<unsigned char>& buffer) {
    DWORD size = static_cast<DWORD>(buffer.size());
    for (int attempt = 0; attempt < 8; ++attempt) {
        const DWORD error = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size,
                                                FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (error == NO_ERROR)
            return true;
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return false;
        buffer.resize(size + 1024);
        size = static_cast<DWORD>(buffer.size());
    }
    return false;
}

// An IPv6 listener serves IPv4 clients only on the wildcard or a mapped
// IPv4 address. The table does not say whether the socket is IPv6-only
// (the Windows default), so these count only when no IPv4 entry exists:
// a dual-mode socket shows in the IPv4 table as well.
bool MayAcceptIpv4(const UCHAR address[16]) {
    for (int i = 0; i < 10; ++i) {
        if (address[i] != 0)
            return false;
    }
    const bool wildcard = std::all_of(address + 10, address + 16, [](UCHAR b) { return b == 0; });
    const bool mapped = address[10] == 0xff && address[11] == 0xff;
    return wildcard || mapped;
}

std::map<ProcessId, ProcessId> ParentTable() {
    std::map<ProcessId, ProcessId> parents;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return parents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        parents[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
    return parents;
}

// Of several processes holding listeners on the port, the topmost one whose
// parent does not hold one too (a master and the workers it shares the
// socket with).
ProcessId MasterOf(const std::vector<ProcessId>& holders) {
    const std::set<ProcessId> holding(holders.begin(), holders.end());
    if (holding.size() == 1)
        return holders.front();
    const std::map<ProcessId, ProcessId> parents = ParentTable();
    ProcessId master = holders.front();
    for (int depth = 0; depth < 64; ++depth) {
        const auto it = parents.find(master);
        if (it == parents.end() || it->second == master || !holding.count(it->second))
            break;
        master = it->second;
    }
    return master;
}

FILETIME CreationTimeOf(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    return created;
}

}  // namespace

ListenerLookup FindListeningProcess(int port, ProcessId& pid) {
    pid = 0;
    std::vector<unsigned char> buffer;
    if (!ReadTcpTable(AF_INET, buffer))
        return ListenerLookup::TableUnreadable;
    std::vector<ProcessId> holders;
    bool listenerSeen = false;
    {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            if (row.dwState != MIB_TCP_STATE_LISTEN || PortOf(row.dwLocalPort) != port)
                continue;
            listenerSeen = true;
            if (row.dwOwningPid != 0)
                holders.push_back(row.dwOwningPid);
        }
    }
    // No IPv6 stack leaves the IPv6 table unreadable: only IPv4 counts then.
    if (!listenerSeen && ReadTcpTable(AF_INET6, buffer)) {
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
            if (row.dwState != MIB_TCP_STATE_LISTEN || PortOf(row.dwLocalPort) != port ||
                !MayAcceptIpv4(row.ucLocalAddr)) {
                continue;
            }
            listenerSeen = true;
            if (row.dwOwningPid != 0)
                holders.push_back(row.dwOwningPid);
        }
    }
    if (!listenerSeen)
        return ListenerLookup::NotListening;
    if (holders.empty())
        return ListenerLookup::HolderUnknown;
    pid = MasterOf(holders);
    return ListenerLookup::Found;
}

bool ProcessImagePath(ProcessId pid, std::u16string& path, int& errorNumber) {
    path.clear();
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        errorNumber = static_cast<int>(GetLastError());
        return false;
    }
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.Get(), 0, buffer.data(), &size)) {
        errorNumber = static_cast<int>(GetLastError());
        return false;
    }
    path = U16(std::wstring_view(buffer.data(), size));
    return true;
}

// A shared service process (svchost) runs several services; the first
// listed is returned. Web servers run in processes of their own.
std::u16string ServiceUnitOfProcess(ProcessId pid) {
    if (pid == 0)
        return {};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr)
        return {};
    std::u16string name;
    std::vector<unsigned char> buffer(64 * 1024);
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        const BOOL done = EnumServicesStatusExW(
            manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        if (!done && GetLastError() != ERROR_MORE_DATA)
            break;
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count && name.empty(); ++i) {
            if (services[i].ServiceStatusProcess.dwProcessId == pid)
                name = U16(services[i].lpServiceName);
        }
        if (done || !name.empty())
            break;
        if (count == 0) {  // nothing fitted: a larger buffer for the next entry
            if (needed <= buffer.size())
                break;
            buffer.resize(needed);
        }
    }
    CloseServiceHandle(manager);
    return name;
}

bool ProcessGone(ProcessId pid) {
    if (pid == 0)
        return true;  // the idle process is no process of anyone's
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        // An id no process has is refused as a bad parameter; a process we
        // may not open (the system's, another user's) still exists.
        if (GetLastError() == ERROR_INVALID_PARAMETER)
            return true;
        process.Reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process)
            return GetLastError() == ERROR_INVALID_PARAMETER;
        DWORD code = 0;
        return GetExitCodeProcess(process.Get(), &code) && code != STILL_ACTIVE;
    }
    // The object of an ended process lives on while handles to it are open.
    return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

// Windows has no signals: nothing stands for SIGHUP or SIGUSR1 that any
// server would understand, so these requests cannot be delivered. The
// deployers reload through the server's own tools or its service instead.
bool SendReload(ProcessId) {
    return false;
}

bool SendGracefulRestart(ProcessId) {
    return false;
}

// The nearest thing to a polite termination request: WM_CLOSE to the
// process's top-level windows, as closing them would. A console or service
// process has none on our desktop, so it cannot be asked.
bool SendTerminate(ProcessId pid) {
    struct Target {
        DWORD pid;
        bool posted;
    } target{pid, false};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* t = reinterpret_cast<Target*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == t->pid && PostMessageW(window, WM_CLOSE, 0, 0))
                t->posted = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&target));
    return target.posted;
}

// The root is killed first so that a master cannot replace the workers that
// die after it; then every process descending from a killed one, in rounds
// until a snapshot shows no new one (a process may have started a child
// between the snapshot and its end). The handles stay open until the end:
// an id cannot be given to a new process while a handle to the old one
// exists, so the parent links read from the snapshots stay true. A child
// must also be younger than its parent: Windows keeps the parent id of an
// orphan, and that id may already have been reused before we started.
bool KillProcessTreeNow(ProcessId pid) {
    const ProcessId self = GetCurrentProcessId();
    if (pid == 0 || pid == self)
        return false;
    const DWORD access = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    UniqueHandle root(OpenProcess(access, FALSE, pid));
    if (!root) {
        // Gone already, or not ours to kill: the caller's wait tells which.
        return true;
    }
    std::map<ProcessId, FILETIME> killed;  // id -> creation time
    std::vector<UniqueHandle> held;
    killed[pid] = CreationTimeOf(root.Get());
    TerminateProcess(root.Get(), 1);
    held.push_back(std::move(root));
    for (int round = 0; round < 64; ++round) {
        UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot)
            break;
        std::multimap<ProcessId, ProcessId> children;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
             more = Process32NextW(snapshot.Get(), &entry)) {
            if (entry.th32ProcessID != entry.th32ParentProcessID)
                children.emplace(entry.th32ParentProcessID, entry.th32ProcessID);
        }
        bool added = false;
        std::vector<ProcessId> queue;
        for (const auto& [id, created] : killed)
            queue.push_back(id);
        while (!queue.empty()) {
            const ProcessId parent = queue.back();
            queue.pop_back();
            const auto [begin, end] = children.equal_range(parent);
            for (auto it = begin; it != end; ++it) {
                const ProcessId child = it->second;
                if (child == self || child == 0 || killed.count(child))
                    continue;  // never take this program down with the tree
                UniqueHandle handle(OpenProcess(access, FALSE, child));
                if (!handle)
                    continue;
                const FILETIME created = CreationTimeOf(handle.Get());
                if (CompareFileTime(&created, &killed[parent]) < 0)
                    continue;  // a reused parent id: not a descendant
                killed[child] = created;
                TerminateProcess(handle.Get(), 1);
                held.push_back(std::move(handle));
                queue.push_back(child);
                added = true;
            }
        }
        if (!added)
            break;
    }
    return true;
}

ProcessId CurrentProcessId() {
    return GetCurrentProcessId();
}

// Windows keeps a process's command line, working directory and
// environment only in that process's own memory (its PEB), at layouts the
// system does not document. Reading them would be guesswork, so the
// launch is unknown here and callers fall back on the configured server
// folders.
std::optional<ProcessLaunch> ReadLaunch(ProcessId) {
    return std::nullopt;
}

}  // namespace qm::host
