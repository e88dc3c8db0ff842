// The host layer on POSIX systems. Every call into the operating system that
// the program makes is here; no shell is ever started.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/log_sink.h"
#include "host/paths.h"

extern char** environ;

namespace XELO {

namespace {

constexpr const char* kCommandOutputFile = "stdout.txt";
constexpr const char* kSpaceProbeDirectory = "check_space";
constexpr const char* kNoSpaceText = "No space left on device";
constexpr const char* kNotEnoughSpaceText = "There is not enough space on the disk";

std::string errorText(int err) { return std::system_category().message(err); }

// Writes all of `text`; false (errno set) when a write fails.
bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Leaves "stdout.txt" in the current directory as a command with redirected
// output would: empty after success, the error text after a failure.
void writeCommandOutput(const std::string& text) {
  int fd = ::open(kCommandOutputFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, text.data(), text.size());
  ::close(fd);
}

// The status of a shell-style helper for the error number `err` (0 = success),
// with "stdout.txt" written to match.
int commandStatus(int err) {
  if (err == 0) {
    writeCommandOutput("");
    return 0;
  }
  writeCommandOutput(errorText(err) + "\n");
  return 1;
}

int commandStatusText(const std::string& text) {
  writeCommandOutput(text + "\n");
  return 1;
}

// The last name of a real file-system path.
std::string baseName(const std::string& path) {
  auto pos = path.rfind(kPathSeparator);
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

// `path` without trailing separators, unless it is the root itself.
std::string withoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
  return path;
}

// mkdir of `dir` and every missing parent; 0 or the error number.
int makeDirectories(const std::string& path) {
  const std::string dir = withoutTrailingSeparators(path);
  if (dir.empty()) return ENOENT;
  for (std::string::size_type i = 1; i < dir.size(); ++i) {
    if (dir[i] != kPathSeparator || dir[i - 1] == kPathSeparator) continue;
    const std::string parent = dir.substr(0, i);
    if (::mkdir(parent.c_str(), 0777) != 0) {
      if (errno != EEXIST) return errno;
      struct stat st {};
      if (::stat(parent.c_str(), &st) != 0) return errno;
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    }
  }
  if (::mkdir(dir.c_str(), 0777) != 0) return errno;
  return 0;
}

// Copies the open file `in` (of mode `mode`) to `target`, created or
// truncated. A failed copy removes the partial target. 0 or the error number.
int copyOpenFile(int in, mode_t mode, const std::string& target) {
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 07777);
  if (out < 0) return errno;
  // An existing target keeps the mode of the file it replaces otherwise.
  (void)::fchmod(out, mode & 07777);
  int err = 0;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) break;
    if (!writeAll(out, buffer, static_cast<size_t>(n))) {
      err = errno;
      break;
    }
  }
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(target.c_str());
  return err;
}

// Same device and inode: the two names are one file.
bool sameFile(const struct stat& a, const std::string& path) {
  struct stat b {};
  return ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int copyFilePath(const std::string& src, const std::string& target) {
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st {};
  int err = 0;
  if (::fstat(in, &st) != 0)
    err = errno;
  else if (S_ISDIR(st.st_mode))
    err = EISDIR;
  else if (sameFile(st, target))
    err = EINVAL;
  else
    err = copyOpenFile(in, st.st_mode, target);
  ::close(in);
  return err;
}

// Recreates the symbolic link `src` as `target`, replacing a file there.
int copySymlink(const std::string& src, const std::string& target) {
  std::string link(4096, '\0');
  ssize_t n = ::readlink(src.c_str(), link.data(), link.size());
  if (n < 0) return errno;
  link.resize(static_cast<size_t>(n));
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (::unlink(target.c_str()) != 0) return errno;
  }
  if (::symlink(link.c_str(), target.c_str()) != 0) return errno;
  return 0;
}

// Copies every entry of the directory `src` into the existing directory
// `dst`; stops at the first failure. 0 or the error number.
int copyTree(const std::string& src, const std::string& dst) {
  DIR* d = ::opendir(src.c_str());
  if (!d) return errno;
  int err = 0;
  while (err == 0) {
    errno = 0;
    struct dirent* entry = ::readdir(d);
    if (!entry) {
      err = errno;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string from = joinPath(src, name);
    const std::string to = joinPath(dst, name);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) {
      err = errno;
    } else if (S_ISDIR(st.st_mode)) {
      if (::mkdir(to.c_str(), 0777) != 0) {
        err = errno;
        struct stat existing {};
        if (err == EEXIST && ::stat(to.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) err = 0;
      }
      if (err == 0) err = copyTree(from, to);
    } else if (S_ISLNK(st.st_mode)) {
      err = copySymlink(from, to);
    } else if (S_ISREG(st.st_mode)) {
      err = copyFilePath(from, to);
    }
    // Devices, pipes and sockets have no contents to copy; they are passed over.
  }
  ::closedir(d);
  return err;
}

// Removes `path` and everything below it. 0 or the error number.
int removeTreeAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) {
    // A link to a directory goes; what it points to stays.
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) return ENOTDIR;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
  }
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  char* resolved = ::realpath(path.c_str(), nullptr);
  const bool isRoot = resolved && std::strcmp(resolved, "/") == 0;
  std::free(resolved);
  if (isRoot) return EBUSY;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return ec.value();
}

bool lineNamesFullDisk(const std::string& line) {
  return line.find(kNoSpaceText) != std::string::npos || line.find(kNotEnoughSpaceText) != std::string::npos;
}

}  // namespace

// ---- environment -----------------------------------------------------------

std::string getEnv(const std::string& name, bool* defined) {
  const char* value = std::getenv(name.c_str());
  if (defined) *defined = value != nullptr;
  return value ? value : "";
}

std::string systemDrive() {
  std::string drive = getEnv("SYSTEMDRIVE");
  // An empty value would put the support files under the current directory.
  return drive.empty() ? "/var/lib/xelo" : drive;
}

std::string supportDirectory() { return joinPath(systemDrive(), "QOR_Support"); }

std::string supportListDirectory() { return joinPath(supportDirectory(), "Xelo"); }

// ---- process ---------------------------------------------------------------

LocalTime localTimeNow() {
  LocalTime t;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  if (!::localtime_r(&now.tv_sec, &local)) return t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  t.utcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
  return t;
}

std::string executablePath() {
  std::string buffer(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return "";
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

std::string currentDirectory() {
  std::string buffer(4096, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

bool changeDirectory(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

void sleepMilliseconds(int ms) {
  if (ms <= 0) return;
  struct timespec left {
    ms / 1000, (ms % 1000) * 1000000L
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ---- file predicates -------------------------------------------------------

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool fileReadable(const std::string& path) {
  // Non-blocking, so that a named pipe does not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// ---- plain file operations -------------------------------------------------

bool ensureDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  if (!isDirectory(dir)) makeDirectories(dir);
  return isDirectory(dir);
}

bool appendToFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text.data(), text.size());
  if (::close(fd) != 0) ok = false;
  return ok;
}

AppendOnlyFile::~AppendOnlyFile() {
  if (fd >= 0) ::close(fd);
}

bool AppendOnlyFile::open(const std::string& path) {
  if (fd >= 0) ::close(fd);
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd >= 0;
}

bool AppendOnlyFile::append(const std::string& text) const { return fd >= 0 && writeAll(fd, text.data(), text.size()); }

bool replaceFileContents(const std::string& path, const std::string& text) {
  if (path.empty()) return false;
  // Through a symbolic link the file it names is replaced, not the link.
  std::string target = path;
  mode_t mode = 0644;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  }
  std::string temp = target + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text.data(), text.size());
  ok = ::fchmod(fd, mode) == 0 && ok;
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// ---- shell-style helpers ---------------------------------------------------

int makeDirectory(const std::string& dir) {
  if (dir.empty()) return -1;
  if (pathExists(dir)) return commandStatus(EEXIST);
  return commandStatus(makeDirectories(dir));
}

int removeDirectory(const std::string& dir) {
  if (dir.empty()) return -1;
  return commandStatus(removeTreeAt(dir));
}

void removeTree(const std::string& path) { commandStatus(removeTreeAt(path)); }

int copyFileOver(const std::string& src, const std::string& dst) {
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  struct stat st {};
  if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(in);
    return -1;
  }
  const std::string target = isDirectory(dst) ? joinPath(dst, baseName(src)) : dst;
  if (sameFile(st, target)) {
    ::close(in);
    return commandStatusText("The file cannot be copied onto itself.");
  }
  int err = copyOpenFile(in, st.st_mode, target);
  ::close(in);
  return commandStatus(err);
}

int moveFileOver(const std::string& src, const std::string& dst) {
  struct stat st {};
  if (::lstat(src.c_str(), &st) != 0) return commandStatus(errno);
  const std::string target = isDirectory(dst) ? joinPath(dst, baseName(withoutTrailingSeparators(src))) : dst;
  if (::rename(src.c_str(), target.c_str()) == 0) return commandStatus(0);
  int err = errno;
  if (err != EXDEV || !S_ISREG(st.st_mode)) return commandStatus(err);
  // Another file system: copy, and remove the source only once the copy is whole.
  err = copyFilePath(src, target);
  if (err == 0 && ::unlink(src.c_str()) != 0) err = errno;
  return commandStatus(err);
}

void deleteFile(const std::string& path) { ::unlink(path.c_str()); }

bool makeExecutable(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return false;
  fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add,
                  error);
  return !error;
}

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

long long storageSize(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error) return -1;
  if (fs::is_regular_file(status)) {
    const auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
  }
  if (fs::is_block_file(status)) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    return end < 0 ? -1 : static_cast<long long>(end);
  }
  if (!fs::is_directory(status)) return -1;
  long long total = 0;
  for (fs::recursive_directory_iterator it(path, error), last; !error && it != last; it.increment(error))
    if (it->is_regular_file(error) && !it->is_symlink(error)) total += static_cast<long long>(it->file_size(error));
  return total;
}

std::string absolutePath(const std::string& path) {
  return isAbsolutePath(path) ? path : joinPath(currentDirectory(), path);
}

bool copyDirectory(const std::string& srcDir, const std::string& dstDir) {
  if (srcDir.empty() || dstDir.empty()) return false;
  const std::string src = absolutePath(withoutTrailingSeparators(srcDir));
  const std::string dst = absolutePath(withoutTrailingSeparators(dstDir));

  struct stat st {};
  if (::stat(src.c_str(), &st) != 0) return commandStatus(errno) == 0;
  if (!S_ISDIR(st.st_mode)) return commandStatus(ENOTDIR) == 0;

  // A destination inside the source would be copied into itself without end.
  std::error_code ec;
  const auto srcReal = std::filesystem::canonical(src, ec);
  if (ec) return commandStatus(ec.value()) == 0;
  const auto dstReal = std::filesystem::weakly_canonical(dst, ec);
  if (ec) return commandStatus(ec.value()) == 0;
  const std::string srcText = srcReal.string();
  const std::string dstText = dstReal.string();
  if (dstText == srcText || (dstText.size() > srcText.size() && dstText.compare(0, srcText.size(), srcText) == 0 &&
                             (srcText.back() == kPathSeparator || dstText[srcText.size()] == kPathSeparator)))
    return commandStatusText("The destination folder is the source folder or lies inside it.") == 0;

  int err = 0;
  if (!isDirectory(dst)) err = makeDirectories(dst);
  if (err == 0) err = copyTree(src, dst);
  return commandStatus(err) == 0;
}

void listDirectory(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* entry = ::readdir(d)) names.emplace_back(entry->d_name);
  ::closedir(d);
}

int runToFile(const std::string& outFile, const std::vector<std::string>& argv) {
  auto startFailed = [](int err) {
    std::fprintf(stderr, "CreateProcess failed (%d).\n", err);
    return 1;
  };
  if (argv.empty() || argv[0].empty()) return startFailed(EINVAL);

  std::vector<char*> args;
  std::vector<std::string> copies(argv);
  for (auto& a : copies) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int outFd = -1;
  if (!outFile.empty()) {
    outFd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (outFd < 0) {
      int err = errno;
      posix_spawn_file_actions_destroy(&actions);
      return startFailed(err);
    }
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  } else {
    // The child writes to the same streams; what the program printed comes first.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
  }

  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (outFd >= 0) ::close(outFd);
  if (rc != 0) return startFailed(rc);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return startFailed(errno);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

double getFreeSpaceMB(const std::string& root) {
  struct statvfs vfs {};
  if (::statvfs(root.c_str(), &vfs) != 0) {
    const int err = errno;
    std::ostringstream message;
    message << "Error for getting " << root << " free space: " << err;
    hostLog(HostReport::Error, message.str());
    return -1;
  }
  double mb = static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize) / 1024.0 / 1024.0;
  std::ostringstream message;
  message << root << " free space: " << mb << " MB";
  hostLog(HostReport::Detail, message.str());
  return mb;
}

bool lackSpace() {
  {
    std::ifstream in(kCommandOutputFile);
    std::string line;
    while (in && std::getline(in, line)) {
      if (line.find("space") == std::string::npos) continue;
      hostLog(HostReport::Error, line);
      if (lineNamesFullDisk(line)) {
        hostLog(HostReport::Error, "No space left on device. in main::lackSpace(), by checking stdout.txt");
        return true;
      }
    }
  }
  if (::mkdir(kSpaceProbeDirectory, 0777) != 0) {
    const std::string line = errorText(errno);
    if (line.find("space") != std::string::npos) hostLog(HostReport::Error, line);
    if (lineNamesFullDisk(line)) {
      hostLog(HostReport::Error, "No space left on device. in main::lackSpace(), by making dir");
      return true;
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(kSpaceProbeDirectory, ec);
  return false;
}

bool isSuperUser() { return ::geteuid() == 0; }

bool isWaikInstalled() {
  bool defined = false;
  const std::string root = getEnv("TK_Path_WAIK_Source", &defined);
  if (!defined) return false;
  const std::string script = joinPath(joinPath(joinPath(root, "Tools"), "PETools"), "copype.cmd");
  return isRegularFile(script) && fileReadable(script);
}

std::vector<std::string> deploymentHelperPrograms() { return {}; }

std::string defaultCurlLibraryName() { return "libcurl.so.4"; }

int getWindowsKind() { return 0; }

// ---- cancelling and locking -------------------------------------------------

namespace {

// The write end of the pipe that carries a caught signal to the watcher.
int cancelPipe[2] = {-1, -1};

extern "C" void forwardCancelSignal(int signalNumber) {
  const unsigned char number = static_cast<unsigned char>(signalNumber);
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(cancelPipe[1], &number, 1);
  errno = saved;
}

}  // namespace

void onCancelSignal(std::function<void(const std::string& signalName, int status)> onCancel) {
  if (cancelPipe[0] >= 0 || ::pipe2(cancelPipe, O_CLOEXEC) != 0) return;
  // A real handler rather than a blocked signal: programs started later get
  // the default handling back at exec, so a Ctrl-C stops them as well.
  struct sigaction action {};
  action.sa_handler = forwardCancelSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::thread([handler = std::move(onCancel)] {
    unsigned char number = 0;
    for (;;) {
      const ssize_t n = ::read(cancelPipe[0], &number, 1);
      if (n == 1) break;
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    const int signalNumber = number;
    handler(signalNumber == SIGINT ? "SIGINT" : "SIGTERM", 128 + signalNumber);
    std::cout << std::flush;
    std::_Exit(128 + signalNumber);
  }).detach();
}

bool lockDirectory(const std::string& dir, std::string& holder, std::string& error) {
  holder.clear();
  error.clear();
  const std::string path = joinPath(dir, kWorkingDirLockName);
  // Never closed: the lock lasts as long as the process. Not inherited by the
  // programs the run starts, so none of them can keep it after the run.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = errorText(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) writeAll(fd, pid.data(), pid.size());
    return true;
  }
  const int err = errno;
  if (err != EWOULDBLOCK) {
    error = errorText(err);
    ::close(fd);
    return false;
  }
  // The holder writes its id right after taking the lock; give it a moment.
  for (int attempt = 0; attempt < 20 && holder.empty(); ++attempt) {
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n > 0) holder.assign(buffer, static_cast<size_t>(n));
    while (!holder.empty() && !std::isdigit(static_cast<unsigned char>(holder.back()))) holder.pop_back();
    if (holder.empty()) ::usleep(10 * 1000);
  }
  ::close(fd);
  return false;
}

std::string cliResultPath() { return joinPath(supportDirectory(), "xelo_cli.xml"); }

std::string tempReplyPath() { return joinPath(supportDirectory(), "xelo_tmp.dat"); }

// ---- volumes ---------------------------------------------------------------

std::string volumeRoot(const std::string& /*path*/) { return std::string(1, kPathSeparator); }

std::string volumeWithColon(const std::string& volume) {
  if (volume.size() == 1 && std::isalpha(static_cast<unsigned char>(volume[0]))) return volume + ":";
  return volume;
}

bool volumeOpens(const std::string& volume) {
  // A volume is a block device or a file standing for a disk; a directory
  // or any other kind of file names none.
  struct stat st {};
  if (::stat(volume.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) return false;
  int fd = ::open(volume.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool isOpticalVolume(const std::string& volume) {
  struct stat st {};
  if (::stat(volume.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode)) return true;  // a disc image standing for a drive
  if (!S_ISBLK(st.st_mode)) return false;
  if (::major(st.st_rdev) == 11) return true;  // SCSI CD-ROM
  auto opticalName = [](const std::string& name) { return name.rfind("sr", 0) == 0 || name.rfind("scd", 0) == 0; };
  if (opticalName(baseName(volume))) return true;
  char* resolved = ::realpath(volume.c_str(), nullptr);
  bool optical = resolved && opticalName(baseName(resolved));
  std::free(resolved);
  return optical;
}

}  // namespace XELO
