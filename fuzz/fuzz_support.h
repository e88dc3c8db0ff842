// Shared set-up of the fuzz targets: a private directory as the system
// drive and current directory, silenced console streams, and small file
// helpers. Nothing a target does may reach files outside that directory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xelofuzz {

// Prepared on first use, removed when the process exits: a private directory
// under TMPDIR that is SYSTEMDRIVE and the current directory. The process
// logger is created there and its log file replaced by a directory, so that
// every entry is formatted but none is written (a long run would otherwise
// fill the disk). Standard output is discarded and standard input is empty.
const std::string& sandbox();

// `dir` emptied (created when missing).
void freshDirectory(const std::string& dir);

// Writes `size` bytes to `path` (replacing it).
void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size);

// Names in `dir`, sorted, without "." and "..".
std::vector<std::string> entries(const std::string& dir);

// Every path below `root` (files, directories, links), relative to it.
std::vector<std::string> treeBelow(const std::string& root);

// A broken invariant: prints `what` and aborts, so that libFuzzer keeps the input.
[[noreturn]] void finding(const std::string& what);

// Splits `size` bytes at every NUL byte (empty parts kept).
std::vector<std::string> splitAtNul(const std::uint8_t* data, std::size_t size);

}  // namespace xelofuzz
