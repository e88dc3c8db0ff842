// Unpacking zip archives in-process. The result follows the convention of an
// unzip program's exit status: 0 when everything was unpacked, non-zero when
// it was not.
//
// Archives come from a remote repository, so every entry must stay inside the
// target directory. The whole archive is checked before anything is written,
// and an archive holding any of these is refused as a whole:
//   - an absolute name ("/x", "\x", "C:x") or a name with a ".." component;
//   - a hard link, a device, a pipe or a socket;
//   - a symbolic link whose target is absolute or leads out of the target
//     directory, or an entry that lies below a symbolic link of the archive.
// While unpacking, nothing is written through a symbolic link that already
// lies in the target directory, and symbolic links are made last and checked
// once more after all of them exist (a chain of links that leads outside is
// removed and refused).
//
// Existing files are overwritten; existing directories are merged into.
// Names are read with "/" and "\" both as separators.
#pragma once
#include <string>

namespace XELO {

// Exit statuses of unzipArchive.
inline constexpr int kUnzipOk = 0;
inline constexpr int kUnzipBadArchive = 2;   // not a zip archive, or damaged
inline constexpr int kUnzipUnsafeEntry = 3;  // an entry would leave the target; nothing unsafe written
inline constexpr int kUnzipWriteFailed = 4;  // the target or an entry could not be written
inline constexpr int kUnzipNotFound = 9;     // the archive does not exist or cannot be opened
inline constexpr int kUnzipNoSpace = 50;     // the disk filled up while unpacking
inline constexpr int kUnzipBadArguments = 10;  // empty archive or target name

// Unpacks `zipPath` into `targetDir` (created when missing). Relative paths
// are taken from the current directory. Progress and failures go to the log;
// when `messageFile` is not empty each failure is also appended there as one
// line (the text of a full disk reads "No space left on device", so the
// out-of-space check finds it). Returns one of the statuses above.
int unzipArchive(const std::string& zipPath, const std::string& targetDir, const std::string& messageFile = "");

}  // namespace XELO
