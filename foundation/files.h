// File-system chores on wide paths. Every file that holds configuration or
// state is written through WriteFileAtomic, so a crash leaves either the old
// or the new content, never a truncated file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qm {

// The host path for a wide path text.
std::filesystem::path FsPath(std::u16string_view path);
std::u16string WidePath(const std::filesystem::path& path);

bool FileExists(std::u16string_view path);       // a regular file (or a link to one)
bool DirectoryExists(std::u16string_view path);  // a directory (or a link to one)

// Reads the whole file; false when it cannot be read.
bool ReadFileBytes(std::u16string_view path, std::string& bytes);

// Who may read a file or folder the program writes. The modes are fixed,
// whatever the process umask is (on POSIX: files 0644 or 0600, folders 0755
// or 0700).
enum class FilePrivacy {
    Normal,         // readable by all when new; an existing file keeps its mode
    ReadableByAll,  // readable by all, writable by the owner, even over an existing file
    OwnerOnly,      // the owner's only (private keys, credentials)
};

// Writes `bytes` to a temporary file in the target's folder and renames it
// over the target. With Normal an existing target keeps its permissions and
// owner and a new file is readable by all; the other two set the mode they
// name.
bool WriteFileAtomic(std::u16string_view path, std::string_view bytes,
                     FilePrivacy privacy = FilePrivacy::Normal);

// Creates the directory and all missing parents, readable by all. A file
// standing where one of the directories is needed is deleted. OwnerOnly
// makes the last directory its owner's only, also when it exists already.
// False for an empty path or when a directory cannot be made.
bool MakeDirectoryTree(std::u16string_view path, FilePrivacy privacy = FilePrivacy::Normal);

// Copies a file over the target (atomically, with the source's permissions),
// after making a read-only target writable. False when the copy failed.
bool CopyFileSilently(std::u16string_view source, std::u16string_view target);

// Deletes a file after making it writable. There is no recycle bin on POSIX
// servers, so this is a plain deletion there. False when nothing was deleted.
bool DeleteFileToRecycleBin(std::u16string_view path);

// A secret file a server reads: the owner and group of `reference` (the
// server's own configuration file), readable by that group, written by the
// owner only. False when that cannot be done.
bool ShareWithGroupOf(std::u16string_view path, std::u16string_view reference);

// Copies the tree under `source` into `target` (created when missing).
// Failures of single files are ignored; false only when a folder cannot be
// listed or created.
bool CopyDirectoryTree(std::u16string_view source, std::u16string_view target);

// Deletes the directory with everything in it; false when something stays.
bool DeleteDirectoryTree(std::u16string_view directory);

}  // namespace qm
