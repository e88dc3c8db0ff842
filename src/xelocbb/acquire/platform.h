// What the acquisition library asks of the operating system. The
// implementation lives in platform_posix.cpp (a Windows build adds
// platform_win32.cpp); the rest of the library is portable C++.
#pragma once
#include <cstdint>
#include <string>

namespace QYXAcquistion::platform {

// `dir` joined with `name` by the native separator (none added when `dir`
// already ends in one).
std::string joinLocalPath(const std::string& dir, const std::string& name);

// Deletes one file. Returns 0 when it was deleted or did not exist, else the
// system's error number.
int deleteLocalFile(const std::string& path);

// Size of a file in bytes; false when it cannot be read (missing, say).
bool localFileSize(const std::string& path, std::uint64_t& size);

// Sleeps the calling thread.
void sleepMilliseconds(int ms);

}  // namespace QYXAcquistion::platform
