// Snapshots of a configuration folder, to compare before a deployment and
// after its undo or rollback.
#pragma once

#include <map>
#include <string>

namespace qm::test {

// Every file and link below `dir` by its path: a file's bytes, a link's
// target (as "-> target"), so that a link a deployment adds or turns into a
// file shows; the certificates a deployment adds (and leaves, as undo does)
// not counted.
std::map<std::string, std::string> Snapshot(const std::string& dir);
// What differs between two snapshots, one path a line ("" when nothing).
std::string Differences(const std::map<std::string, std::string>& then,
                        const std::map<std::string, std::string>& now);

}  // namespace qm::test
