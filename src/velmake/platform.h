// What the media-image library asks of the operating system. The POSIX
// implementation is platform_posix.cpp; the rest of the library is portable.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace Velmake::platform {

// Starts argv[0] (searched in PATH when it holds no separator) with the
// arguments and waits for it. Standard input reads `inputFile` when not empty
// (else nothing); standard output and error are appended to `outputFile` when
// not empty (else discarded). `env` adds NAME=VALUE entries to the
// environment. The exit code, or -1 when the program could not be started.
int runProgram(const std::vector<std::string>& argv, const std::string& outputFile = "",
               const std::vector<std::string>& env = {}, const std::string& inputFile = "");

// The program is found in PATH (or is an executable path).
bool programAvailable(const std::string& name);

// Free bytes for an unprivileged writer on the file system holding `path`;
// -1 when unknown.
int64_t freeBytes(const std::string& path);

// Flushes a written file to its device; false on failure.
bool syncFile(const std::string& path);

// Writes a file from start to end and starts its writeback on the way:
// every completed range is handed to the device at once and waited for a
// few ranges later, so dirty pages stay bounded and the final sync has
// little left to do. finish() is the guarantee that the data is on disk.
class SequentialFile {
 public:
  SequentialFile() = default;
  ~SequentialFile();  // closes without syncing
  SequentialFile(const SequentialFile&) = delete;
  SequentialFile& operator=(const SequentialFile&) = delete;

  // Creates (or truncates) the file; false with errno set.
  bool open(const std::string& path);
  // Writes all of `length` bytes; false with errno set.
  bool write(const void* data, size_t length);
  // Flushes the file to its device and closes it; false with errno set.
  bool finish();

 private:
  void startWriteback(bool all);
  int fd = -1;
  uint64_t offset = 0;    // bytes written
  uint64_t started = 0;   // writeback requested up to here
  uint64_t waited = 0;    // writeback finished up to here
  bool rangeSync = true;  // the file accepts writeback requests
};

// A USB volume: a block device or a regular file standing for a disk.
struct VolumeInfo {
  bool exists = false;
  bool blockDevice = false;
  bool regularFile = false;
  uint64_t sizeBytes = 0;
  bool inUse = false;  // mounted, or held exclusively by someone else
  std::string model;   // vendor and model of a block device's disk; empty when unknown
};
VolumeInfo volumeInfo(const std::string& path);

// Reads `length` bytes at `offset`; false when fewer could be read.
bool readAt(const std::string& path, uint64_t offset, void* buffer, size_t length);
// Writes `length` bytes at `offset` and flushes them; false on failure.
bool writeAt(const std::string& path, uint64_t offset, const void* buffer, size_t length);
// After the partition table of a block device changed: asks the kernel to
// read it again. Nothing for a regular file.
void rereadPartitions(const std::string& path);

// A block device that is an optical drive.
bool isOpticalDevice(const std::string& path);

// Absolute form of `path` (from the current directory).
std::string absolutePath(const std::string& path);

}  // namespace Velmake::platform
