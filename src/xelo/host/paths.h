// Path text rules shared by every part of the program. No other code writes
// a separator literally: names are joined here with the native separator.
#pragma once
#include <string>

namespace XELO {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// A separator in text that may come from either platform: the native one,
// and on POSIX also a backslash, so files written on Windows still load.
bool isPathSeparator(char c);

// Position of the last separator in `path`, or std::string::npos.
std::string::size_type lastSeparator(const std::string& path);

// `dir` + separator + `name`; no separator is added when `dir` is empty or
// already ends in one.
std::string joinPath(const std::string& dir, const std::string& name);

// Absolute: holds a colon on Windows, begins with '/' on POSIX.
bool isAbsolutePath(const std::string& path);

// Every native separator doubled; a pair already doubled stays one pair.
// Used for path values written to configuration files.
std::string doubleSeparators(const std::string& path);

// Every pair of native separators made one; a single one stays.
std::string undoubleSeparators(const std::string& path);

}  // namespace XELO
