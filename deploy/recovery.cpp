#include "deploy/recovery.h"

#include "deploy/sslcertsrvbase.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

bool ServiceLock::Acquire(std::u16string_view command, std::u16string& holder) {
    const std::u16string directory = GetServiceDirectory();
    MakeDirectoryTree(directory);
    const std::u16string description =
        FormatWide(u"process %d, quillmate %s, since %s", CurrentProcessIdentifier(),
                   std::u16string(command), RecordTimestamp());
    return lock_.TryAcquire(directory + u"quillmate.lock", description, holder);
}

RecoveryOutcome RecoverUnfinishedDeployment(const DeployerForKind& deployerFor) {
    RecoveryOutcome outcome;
    const std::vector<std::u16string> folders = DeploymentHistory(GetServiceDirectory()).Folders();
    if (folders.empty())
        return outcome;
    std::u16string problem;
    const auto record = DeploymentRecord::Load(folders.back(), problem);
    if (!record) {
        // A folder whose record was never written completely holds nothing
        // that was changed: the record comes before every change.
        outcome.found = true;
        LogWarn(u"an unreadable deployment record: %s", problem);
        if (DeleteDirectoryTree(folders.back())) {
            outcome.complete = true;
            outcome.lines.push_back(
                u"Removed the folder of a deployment that stopped before it "
                u"changed anything: " +
                folders.back());
        } else {
            outcome.lines.push_back(u"Cannot read or remove " + folders.back() + u": " + problem);
        }
        return outcome;
    }
    if (record->phase == phase::kCommitted)
        return outcome;
    outcome.found = true;
    LogInfo(u"unfinished deployment record %s (phase %s)", record->folder, record->phase);
    std::unique_ptr<SslCertSrvBase> deployer =
        deployerFor ? deployerFor(record->server.kind) : nullptr;
    if (!deployer) {
        outcome.lines.push_back(u"A " + record->server.kind + u" deployment started " +
                                record->started +
                                u" did not finish, and this build cannot take it back.");
        return outcome;
    }
    try {
        deployer->RecoverRecord(*record);
        outcome.complete = true;
    } catch (const std::exception& e) {
        LogError(u"RecoverUnfinishedDeployment, %s", ResultTextOf(e));
    }
    for (auto& note : deployer->TakeUserNotes())
        outcome.lines.push_back(std::move(note));
    return outcome;
}

std::optional<DeploymentRecord> NewestDeployment() {
    const std::vector<std::u16string> folders = DeploymentHistory(GetServiceDirectory()).Folders();
    if (folders.empty())
        return std::nullopt;
    std::u16string problem;
    auto record = DeploymentRecord::Load(folders.back(), problem);
    if (!record || record->phase != phase::kCommitted)
        return std::nullopt;
    return record;
}

size_t DeploymentsInForce() {
    return DeploymentHistory(GetServiceDirectory()).Folders().size();
}

}  // namespace qm
