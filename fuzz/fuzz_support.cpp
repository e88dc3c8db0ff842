#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "log/logger.h"

namespace fs = std::filesystem;

namespace xelofuzz {

namespace {

std::string root;
std::istringstream emptyInput;

void removeSandbox() {
  if (root.empty()) return;
  std::error_code ec;
  fs::current_path(fs::temp_directory_path(ec), ec);
  fs::remove_all(root, ec);
}

// Output is thrown away every now and then so that it cannot grow without bound.
class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c == EOF ? 0 : c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
DiscardBuffer discard;

void setUp() {
  std::string pattern = (fs::temp_directory_path() / "xelo-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  root = pattern;
  std::atexit(removeSandbox);
  setenv("SYSTEMDRIVE", root.c_str(), 1);
  fs::current_path(root);
  // The client's properties files are rewritten beside the current
  // directory, never beside the fuzz executable.
  std::ofstream("qyxBase.properties") << "LOG_DIR = .\nWS_TRACE_PROP_FILE = wsTrace.properties\n";
  std::ofstream("wsTrace.properties") << "traceFileName = wsTrace.log\n";
  const std::string log = XELO::processLogger().getLogFilePath();
  std::error_code ec;
  fs::remove(log, ec);
  fs::create_directories(log, ec);
  std::cout.rdbuf(&discard);
  std::cin.rdbuf(emptyInput.rdbuf());
}

}  // namespace

const std::string& sandbox() {
  if (root.empty()) setUp();
  return root;
}

void freshDirectory(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
}

void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> treeBelow(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    paths.push_back(fs::relative(it->path(), dir, ec).string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

void finding(const std::string& what) {
  std::cerr.flush();
  std::fprintf(stderr, "==xelo-fuzz== invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<std::string> splitAtNul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      parts.emplace_back();
    else
      parts.back().push_back(static_cast<char>(data[i]));
  }
  return parts;
}

}  // namespace xelofuzz
