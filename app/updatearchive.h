// Unpacking the update archive into the staging directory. Nothing of an
// archive is written until every entry name has been checked: one name that
// could land outside the staging directory (absolute, a drive or stream
// name, a ".." step, a backslash) or a link entry refuses the whole archive.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// Caps that keep a damaged or hostile archive from filling the disk.
inline constexpr size_t kMaxUpdateEntries = 4096;
inline constexpr uint64_t kMaxUpdateEntrySize = uint64_t{512} << 20;
inline constexpr uint64_t kMaxUpdateTotalSize = uint64_t{1} << 30;

// Whether an archive entry name is a safe relative path ("a/b/c", a
// trailing "/" for a folder).
bool IsSafeArchiveEntryName(const std::string& name);

// Unpacks `archivePath` into `stagingDir` (created when missing): "/" in
// names makes subfolders, folder entries and entries of length 0 make
// nothing, a later entry of the same name wins, and the Unix permission
// bits an entry carries are kept (read and execute bits only). Raises a
// text that names the fault ("update archive cannot be opened", "update
// archive entry refused: NAME", ...); what was written so far stays in the
// staging directory, never outside it.
void UnpackUpdateArchive(const std::u16string& archivePath, const std::u16string& stagingDir);

}  // namespace qm
