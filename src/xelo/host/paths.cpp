#include "host/paths.h"

namespace XELO {

bool isPathSeparator(char c) {
#if defined(_WIN32)
  return c == '\\';
#else
  return c == '/' || c == '\\';
#endif
}

std::string::size_type lastSeparator(const std::string& path) {
  for (auto i = path.size(); i > 0; --i)
    if (isPathSeparator(path[i - 1])) return i - 1;
  return std::string::npos;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || isPathSeparator(dir.back())) return dir + name;
  return dir + kPathSeparator + name;
}

bool isAbsolutePath(const std::string& path) {
#if defined(_WIN32)
  return path.find(':') != std::string::npos;
#else
  return !path.empty() && path.front() == '/';
#endif
}

namespace {

// Rewrites every run of native separators: a run of `n` becomes `pairs(n)`
// separators. Text between runs is copied unchanged.
template <typename RunLength>
std::string rewriteSeparatorRuns(const std::string& path, RunLength pairs) {
  std::string out;
  out.reserve(path.size() * 2);
  std::string::size_type i = 0;
  while (i < path.size()) {
    if (path[i] != kPathSeparator) {
      out += path[i++];
      continue;
    }
    std::string::size_type run = 0;
    while (i < path.size() && path[i] == kPathSeparator) {
      ++run;
      ++i;
    }
    out.append(pairs(run), kPathSeparator);
  }
  return out;
}

}  // namespace

std::string doubleSeparators(const std::string& path) {
  // Pairs stay pairs; a separator left over after the pairs is doubled.
  return rewriteSeparatorRuns(path, [](std::string::size_type n) { return n + n % 2; });
}

std::string undoubleSeparators(const std::string& path) {
  // Each pair becomes one; a separator left over after the pairs stays.
  return rewriteSeparatorRuns(path, [](std::string::size_type n) { return n / 2 + n % 2; });
}

}  // namespace XELO
