#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform.h"

extern char** environ;

namespace Velmake::platform {

bool pathExists(const std::string& path);

namespace {

std::string baseName(const std::string& path) {
  const auto at = path.find_last_of('/');
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string resolved(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out = real;
  std::free(real);
  return out;
}

// The kernel's name of the whole disk holding block device `dev` (itself
// for a whole disk), from sysfs.
std::string wholeDiskName(dev_t dev) {
  std::ostringstream link;
  link << "/sys/dev/block/" << ::major(dev) << ":" << ::minor(dev);
  const std::string sysPath = resolved(link.str());
  if (pathExists(sysPath + "/partition")) {
    const auto at = sysPath.find_last_of('/');
    return baseName(sysPath.substr(0, at));
  }
  return baseName(sysPath);
}

// "vendor model" of the disk `disk` (a name under /sys/class/block), with
// the padding the kernel keeps removed; empty when the disk tells neither.
std::string diskModel(const std::string& disk) {
  std::string text;
  for (const char* field : {"vendor", "model"}) {
    std::ifstream in("/sys/class/block/" + disk + "/device/" + field);
    std::string value;
    std::getline(in, value);
    const auto first = value.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    value = value.substr(first, value.find_last_not_of(" \t\r") - first + 1);
    text += (text.empty() ? "" : " ") + value;
  }
  return text;
}

}  // namespace

int runProgram(const std::vector<std::string>& argv, const std::string& outputFile, const std::vector<std::string>& env,
               const std::string& inputFile) {
  if (argv.empty() || argv[0].empty()) return -1;
  std::vector<std::string> args(argv);
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& add : env)
      if (add.substr(0, add.find('=')) == key) replaced = true;
    if (!replaced) envText.push_back(entry);
  }
  envText.insert(envText.end(), env.begin(), env.end());
  std::vector<char*> cenv;
  for (auto& e : envText) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputFile.empty() ? "/dev/null" : inputFile.c_str(),
                                   O_RDONLY, 0);
  if (outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, cargs[0], &actions, nullptr, cargs.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool programAvailable(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin:/usr/sbin:/sbin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  return false;
}

int64_t freeBytes(const std::string& path) {
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

bool syncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

namespace {
// Writeback is requested for every completed 8 MiB and waited for 32 MiB
// behind the writer: at most about 40 MiB of the image are dirty at a time.
constexpr uint64_t kWritebackChunk = 8ull << 20;
constexpr uint64_t kWritebackLag = 32ull << 20;
}  // namespace

SequentialFile::~SequentialFile() {
  if (fd >= 0) ::close(fd);
}

bool SequentialFile::open(const std::string& path) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  offset = started = waited = 0;
  return fd >= 0;
}

bool SequentialFile::write(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t put = ::write(fd, p, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    p += put;
    length -= static_cast<size_t>(put);
    offset += static_cast<uint64_t>(put);
  }
  if (offset - started >= kWritebackChunk) startWriteback(false);
  return true;
}

// Only a hint: failures of the device show in finish()'s fsync. A file that
// refuses range requests (not a regular file) is synced at the end only.
void SequentialFile::startWriteback(bool all) {
  if (!rangeSync) return;
  const uint64_t end = all ? offset : offset / kWritebackChunk * kWritebackChunk;
  if (end > started && ::sync_file_range(fd, static_cast<off_t>(started), static_cast<off_t>(end - started),
                                         SYNC_FILE_RANGE_WRITE) != 0) {
    rangeSync = false;
    return;
  }
  started = std::max(started, end);
  if (started > waited + kWritebackLag) {
    const uint64_t until = started - kWritebackLag;
    ::sync_file_range(fd, static_cast<off_t>(waited), static_cast<off_t>(until - waited),
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    waited = until;
  }
}

bool SequentialFile::finish() {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  startWriteback(true);
  const bool synced = ::fsync(fd) == 0;
  const int err = errno;
  const bool closed = ::close(fd) == 0;
  fd = -1;
  if (!synced) errno = err;
  return synced && closed;
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

VolumeInfo volumeInfo(const std::string& path) {
  VolumeInfo info;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return info;
  info.exists = true;
  info.blockDevice = S_ISBLK(st.st_mode);
  info.regularFile = S_ISREG(st.st_mode);
  if (info.regularFile) {
    info.sizeBytes = static_cast<uint64_t>(st.st_size);
    return info;
  }
  if (!info.blockDevice) return info;

  // An exclusive open fails while the device, or a partition of it, is
  // mounted or claimed by the kernel.
  const int fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    info.inUse = errno == EBUSY;
  } else {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) info.sizeBytes = bytes;
    ::close(fd);
  }
  // A mounted partition of the same disk counts as well.
  const std::string disk = wholeDiskName(st.st_rdev);
  info.model = diskModel(disk);
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    const std::string source = line.substr(0, line.find(' '));
    if (source.rfind("/dev/", 0) != 0) continue;
    struct stat mst {};
    if (::stat(source.c_str(), &mst) != 0 || !S_ISBLK(mst.st_mode)) continue;
    if (wholeDiskName(mst.st_rdev) == disk) info.inUse = true;
  }
  return info;
}

bool readAt(const std::string& path, uint64_t offset, void* buffer, size_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = ::pread(fd, buffer, length, static_cast<off_t>(offset));
  ::close(fd);
  return got == static_cast<ssize_t>(length);
}

bool writeAt(const std::string& path, uint64_t offset, const void* buffer, size_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t put = ::pwrite(fd, buffer, length, static_cast<off_t>(offset));
  const bool ok = put == static_cast<ssize_t>(length) && ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

void rereadPartitions(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::ioctl(fd, BLKRRPART);
  ::close(fd);
}

bool isOpticalDevice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  if (::major(st.st_rdev) == 11) return true;  // SCSI CD-ROM
  const std::string name = baseName(resolved(path));
  return name.rfind("sr", 0) == 0 || name.rfind("scd", 0) == 0;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) return path;
  std::string dir = buffer;
  if (dir.back() != '/') dir += '/';
  return dir + path;
}

}  // namespace Velmake::platform
