// What the harnesses of real servers (the packaged nginx and Apache on their
// own layouts, the upstream Apache layout) share about the server's
// processes: a temporary folder with a guard process that cleans up after a
// test process that died, the main process named by a pid file, every
// process of the server, waiting for a start or a reload, and a stop that
// kills what does not end by itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qm::e2e {

// A temporary folder that goes with this object, and with the guard process
// it may leave behind should this process die first (a crash, a kill at a
// time limit).
class GuardedFolder {
public:
    GuardedFolder() = default;
    ~GuardedFolder() { Remove(); }
    GuardedFolder(const GuardedFolder&) = delete;
    GuardedFolder& operator=(const GuardedFolder&) = delete;

    // Creates TMPDIR/quillmate-NAME.XXXXXX (/tmp without TMPDIR), readable
    // by all (mode 0755): the server's children run as a user of their own.
    void Create(const std::string& name);
    // Leaves a guard process behind: when this process dies before Remove,
    // the guard kills every process running `executable` (in this mount
    // namespace only, when `ownMountNamespace`) and removes the folder.
    void Guard(const std::string& executable, bool ownMountNamespace);
    // Removes the folder (links themselves, never what they point to) and
    // tells the guard that everything is cleaned up.
    void Remove() noexcept;

    const std::string& path() const { return path_; }  // ends in "/"; empty when there is none
    bool empty() const { return path_.empty(); }

private:
    std::string path_;
    int guard_ = -1;  // this end of the connection to the guard process
};

// The namespace of a kind ("mnt", "net") a process ("self" for this one)
// is in, as /proc/PID/ns/KIND names it; empty when it cannot be read.
std::string NamespaceOf(const std::string& pid, const char* kind);

// The process the pid file names when it lives and runs `executable` (in
// this mount namespace, when `ownMountNamespace`); 0 otherwise.
int ProcessOfPidFile(const std::string& pidFile, const std::string& executable,
                     bool ownMountNamespace);
// The living child processes of `parent`.
std::vector<int> ChildrenOf(int parent);
// Every living process of a server: `parent`, its children, and every
// process running `executable` (in this mount namespace only, when
// `ownMountNamespace`).
std::vector<int> ServerProcesses(int parent, const std::string& executable, bool ownMountNamespace);

// Runs `argv` followed by `args` to its end; returns its exit code,
// `output` (when given) receives its messages.
int RunToEnd(std::vector<std::string> argv, const std::vector<std::string>& args,
             std::string* output);
// Throws "WHAT (exit CODE):" with the output and the error log when
// `exitCode` is not 0.
void ThrowUnlessZero(int exitCode, const std::string& what, const std::string& output,
                     const std::function<std::string()>& errorLog);

// After a start of `server` ("nginx", "httpd"): waits until every port
// accepts connections on 127.0.0.1 and `mainPid` names the main process (a
// daemon binds its ports before it writes its pid file). Throws with the
// start's `output` and the error log otherwise, saying "SERVER listens but
// NO_MAIN_PROCESS" when only the main process is missing.
void WaitToServe(const std::string& server, const std::vector<int>& ports, int timeoutMs,
                 const std::string& output, const std::function<int()>& mainPid,
                 const std::function<std::string()>& errorLog, const std::string& noMainProcess);
// After a reload was asked for: waits until `ready` and the process
// `mainPid` names runs a child that is not in `childrenBefore`. Throws
// `failure` with the error log otherwise.
void WaitForNewChild(const std::vector<int>& childrenBefore, int timeoutMs,
                     const std::function<int()>& mainPid, const std::function<bool()>& ready,
                     const std::string& failure, const std::function<std::string()>& errorLog);
// After a stop was asked for: waits `graceMs` for `processes` to end, then
// kills what is left. Throws `failure` when that outlives five more seconds.
void EndProcesses(const std::function<std::vector<int>()>& processes, int graceMs,
                  const std::string& failure);

// For the tests of the guards: forks a child that sets up a server with
// `start` (in a mount namespace of its own, when `ownMounts`, so that its
// mounts go with it), reports what `start` returns (its folder, say) and
// dies without its destructors. Returns that report, empty when the child
// failed.
std::string ReportOfAChildThatDied(const std::function<std::string()>& start, bool ownMounts);
// Whether the folder is gone within three seconds.
bool RemovedSoon(const std::string& folder);

}  // namespace qm::e2e
