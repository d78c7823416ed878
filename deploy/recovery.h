// What every command does before anything else: take the service
// directory's lock (one deployment, undo or renewal at a time), and finish
// what an interrupted run left (roll back an unfinished deployment, or
// complete an unfinished undo), telling the operator what it found.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/deploymentrecord.h"
#include "foundation/filelock.h"

namespace qm {

class SslCertSrvBase;

class ServiceLock {
public:
    // Takes the lock of the service directory for `command` ("deploy",
    // "undo", ...). False when another run holds it: `holder` then says
    // which (its process id, command and start time).
    bool Acquire(std::u16string_view command, std::u16string& holder);
    void Release() { lock_.Release(); }
    bool Held() const { return lock_.Held(); }

private:
    FileLock lock_;
};

// Creates the deployer for a kind of server as records name it ("nginx");
// nullptr when this build has none.
using DeployerForKind = std::function<std::unique_ptr<SslCertSrvBase>(const std::u16string& kind)>;

struct RecoveryOutcome {
    bool found = false;                 // an unfinished deployment or undo was there
    bool complete = false;              // and everything is as it was (or as undone)
    std::vector<std::u16string> lines;  // what was found and done, for the operator
};

// Finishes the newest record when it is unfinished. The caller holds the
// service lock.
RecoveryOutcome RecoverUnfinishedDeployment(const DeployerForKind& deployerFor);

// The newest deployment in force (committed), if any.
std::optional<DeploymentRecord> NewestDeployment();

// How many deployments are in force (each one undo step).
size_t DeploymentsInForce();

}  // namespace qm
