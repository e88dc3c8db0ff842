// Everything the program asks of the operating system. The rest of the
// program is plain portable C++ and calls only these functions; the
// implementation lives in host_posix.cpp (a Windows build adds host_win32.cpp).
//
// The command-style helpers keep the status convention of a command shell:
// 0 on success, non-zero on failure. Where a step's output is captured, the
// error text of a failed file-system operation is written to "stdout.txt" in
// the current directory (the program directory during a run), so that
// lackSpace() can read what the last step left there. Nothing here starts a
// shell.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace XELO {

// ---- environment ---------------------------------------------------------

// Value of an environment variable; `defined` (optional) tells whether it is set.
std::string getEnv(const std::string& name, bool* defined = nullptr);

// The system drive: SYSTEMDRIVE, or on POSIX "/var/lib/xelo" when unset.
std::string systemDrive();

// systemDrive() joined with "QOR_Support".
std::string supportDirectory();

// supportDirectory() joined with "Xelo" (support list, traces, replies).
std::string supportListDirectory();

// ---- process -------------------------------------------------------------

// The local wall-clock time, to the millisecond, with the offset from UTC.
struct LocalTime {
  int year = 1970;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int utcOffsetMinutes = 0;  // minutes east of UTC, daylight saving included
};
LocalTime localTimeNow();

// Full path of the running executable ("" when it cannot be read).
std::string executablePath();
std::string currentDirectory();
bool changeDirectory(const std::string& dir);
void sleepMilliseconds(int ms);

// Watches for the signals that ask a run to stop (SIGINT, SIGTERM). When one
// arrives, `onCancel` runs on a thread of its own with the signal's name
// ("SIGINT") and the status the process then ends with (128 + its number:
// 130, 143); the process ends right after it, without running destructors.
// Set once, before any other thread starts; started programs get the
// default handling back.
void onCancelSignal(std::function<void(const std::string& signalName, int status)> onCancel);

// The lock file that one run holds in its working directory.
inline constexpr const char* kWorkingDirLockName = ".xelo.lock";

// Takes the exclusive lock on `dir` (an flock on kWorkingDirLockName in it,
// holding this process id) for the rest of the process; the system releases
// it when the process ends, however it ends. False when another process holds
// it (`holder` then has its process id, "" when unknown) or when the lock
// file cannot be made (`holder` empty, `error` the reason).
bool lockDirectory(const std::string& dir, std::string& holder, std::string& error);

// ---- file predicates -----------------------------------------------------

bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// The path opens for reading (directories included where the OS allows).
bool fileReadable(const std::string& path);

// ---- plain file operations (nothing written to "stdout.txt") --------------

// Creates `dir` and missing parents quietly; true when it is a directory
// afterwards (whether or not it existed).
bool ensureDirectory(const std::string& dir);
// Appends `text` to `path` (created when missing) in one write, so lines
// appended by several threads or processes never interleave. False on failure.
bool appendToFile(const std::string& path, const std::string& text);

// A file kept open for appending, for a writer that appends many times
// (the run's log). Each append is one write straight to the file, as with
// appendToFile, so nothing waits in this process if it ends abruptly.
class AppendOnlyFile {
 public:
  AppendOnlyFile() = default;
  ~AppendOnlyFile();
  AppendOnlyFile(const AppendOnlyFile&) = delete;
  AppendOnlyFile& operator=(const AppendOnlyFile&) = delete;

  // Opens `path` (created when missing); false when it cannot be.
  bool open(const std::string& path);
  bool isOpen() const { return fd >= 0; }
  // False when not open or the write fails.
  bool append(const std::string& text) const;

 private:
  int fd = -1;
};
// Replaces the contents of `path` with `text`: written beside it first and
// renamed over it, so a failed write leaves the old contents in place.
bool replaceFileContents(const std::string& path, const std::string& text);

// ---- shell-style helpers ---------------------------------------------------

// Failures of these helpers return 1, as the shell commands they stand for do.

// Creates `dir` (and missing parents). -1 without doing anything when empty;
// non-zero when it fails or already exists, with the error in "stdout.txt".
int makeDirectory(const std::string& dir);
// Removes `dir` and everything below it (a symbolic link is removed, never
// followed). -1 without doing anything when empty. The root directory is
// never removed.
int removeDirectory(const std::string& dir);
// Same as removeDirectory for a path given unquoted; the outcome is not reported.
void removeTree(const std::string& path);
// Copies a file over `dst` (a file, or a directory to copy into). -1 without
// doing anything when `src` is a directory or cannot be opened for reading.
// A copy that fails part-way leaves no partial destination; a file is never
// copied onto itself.
int copyFileOver(const std::string& src, const std::string& dst);
// Moves `src` over `dst` (a file, or a directory to move into); 0 on success
// (a missing source is a failure the callers may ignore).
int moveFileOver(const std::string& src, const std::string& dst);
// Deletes one file; the outcome is ignored.
void deleteFile(const std::string& path);
// Lets the owner, group and others run the regular file `path` (execute
// permission added); false when it is no regular file or that fails.
bool makeExecutable(const std::string& path);

// Standard output is a terminal (progress may then rewrite its line).
bool standardOutputIsTerminal();

// `path` when absolute, else the current directory joined with it.
std::string absolutePath(const std::string& path);
// The bytes `path` holds: a regular file's size, a block device's capacity,
// a directory's files summed (links not followed); -1 when it cannot be told.
long long storageSize(const std::string& path);

// Copies the contents of `srcDir` (files and sub-directories) into `dstDir`,
// creating it when missing and overwriting files; symbolic links are copied
// as links. Relative paths are taken from the current directory. False on
// empty arguments, when `dstDir` is `srcDir` or lies inside it, or on any
// failure ("stdout.txt" then holds the error text).
bool copyDirectory(const std::string& srcDir, const std::string& dstDir);

// Appends the name of every entry of `dir`, including "." and "..", in the
// order the file system returns them. A missing directory adds nothing.
void listDirectory(const std::string& dir, std::vector<std::string>& names);

// Starts argv[0] (searched in PATH when it holds no separator) with the
// arguments, standard output and error appended to `outFile` when it is not
// empty, waits for it and returns its exit code. When it cannot be started,
// writes "CreateProcess failed (<errno>).\n" to standard error and returns 1.
int runToFile(const std::string& outFile, const std::vector<std::string>& argv);

// Free space of the volume holding `root`, in MB; -1 on failure (logged).
double getFreeSpaceMB(const std::string& root);

// The out-of-space verdict after a failed step: "stdout.txt" names a full
// disk, or making a probe directory fails for lack of space.
bool lackSpace();

// Whether the process has super-user rights (effective uid 0 on POSIX).
bool isSuperUser();

// ---- programs and libraries of the host ------------------------------------

// A supported deployment toolkit is installed: TK_Path_WAIK_Source names a
// directory holding Tools/PETools/copype.cmd as a readable file.
bool isWaikInstalled();

// The helper programs the deployment job copies from the program directory
// into its working directory; none on POSIX, where it unpacks and burns in-process.
std::vector<std::string> deploymentHelperPrograms();

// File name of the shared curl library loaded at run time: "libcurl.so.4" on POSIX.
std::string defaultCurlLibraryName();

// Classification of the host Windows version; 0 on every other host.
int getWindowsKind();

// The result file for the graphical front end: <support dir>/xelo_cli.xml.
std::string cliResultPath();
// The reply file of the USB-key question: <support dir>/xelo_tmp.dat.
std::string tempReplyPath();

// ---- volumes -------------------------------------------------------------

// The root directory of the volume that holds `path`: "/" on POSIX.
std::string volumeRoot(const std::string& path);

// A volume that is a single letter gets a colon (it then names nothing on
// POSIX and fails like a missing volume).
std::string volumeWithColon(const std::string& volume);
// The volume (block device or disk-image file) opens, read and write shared.
bool volumeOpens(const std::string& volume);
// The volume is an optical drive, or a regular file standing for one.
bool isOpticalVolume(const std::string& volume);

}  // namespace XELO
