#include "media/environment.h"

#include <algorithm>
#include <charconv>
#include <functional>

#include "core/options.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

namespace {

std::vector<std::string> entriesOf(const std::string& directory) {
  std::vector<std::string> names;
  listDirectory(directory, names);
  return names;
}

// The number at the start of `text`: leading digits with at most one decimal
// point; the first other character ends it. Text without digits reads as 0.
// Parsed without the C locale so a comma-decimal locale cannot change it.
double leadingDecimal(const std::string& text) {
  std::string number;
  bool point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      number += c;
    } else if (c == '.' && !point) {
      point = true;
      number += c;
    } else {
      break;
    }
  }
  double value = 0.0;
  std::from_chars(number.data(), number.data() + number.size(), value);
  return value;
}

std::string bootToolsZipName(int variant) {
  return std::string(kBootToolsPrefix) + std::to_string(kBootToolsVersion) +
         kBootToolsSuffixes[variant];
}

// A candidate counts only as a readable regular file: a directory (or any
// other kind of entry) carrying the name cannot be unpacked later.
bool usableFile(const std::string& path) { return isRegularFile(path) && fileReadable(path); }

}  // namespace

std::string bootToolsBaseName(const std::vector<std::string>& functions) {
  if (functions.size() == 1 && functions.front() == "linuxtk") return kBootToolsBaseFull;
  return kBootToolsBaseMid;
}

int bootToolsNeed(const Options& options) {
  if (options.hasFunction("linuxtk")) return 3;
  if (options.hasFunction("novpi")) return 2;
  if (options.hasFunction("kyt")) return 2;
  return 0;
}

std::string findBootToolsZip(const Options& options, int need) {
  if (need < 1 || need > 3) return {};
  const std::string& workingDir = options.workingDir;
  constexpr int variants = sizeof(kBootToolsSuffixes) / sizeof(kBootToolsSuffixes[0]);
  // The exact variant first, then each larger one that can stand in for it.
  for (int variant = need - 1; variant < variants; ++variant) {
    std::string name = bootToolsZipName(variant);
    if (usableFile(joinPath(workingDir, name))) return name;
  }
  return {};
}

bool toolZipPresent(const Options& options) {
  return !options.toolZip.empty() && isRegularFile(joinPath(options.workingDir, options.toolZip));
}

std::string selectNovpiBinary(const Options& options) {
  const std::string prefix = kNovpiPrefix;
  std::string choice;
  double best = 0.0;
  for (const std::string& name : entriesOf(joinPath(options.workingDir, kNovpiDirectory))) {
    if (!name.starts_with(prefix) || !name.ends_with(kNovpiSuffix)) continue;
    std::string versionText = name.substr(prefix.size(), 4);
    double version = leadingDecimal(versionText);
    logEntry(LogVerbose, "find a NOVPI binary file:" + name + " ,version number is:" + versionText);
    // Strictly greater: of equal versions the one listed first stays.
    if (version > best) {
      best = version;
      choice = name;
    }
  }
  logEntry(LogVerbose, "NOVPI selected :" + choice);
  return choice;
}

std::vector<std::string> listKytPackages(const std::string& directory, const std::string& kind) {
  std::string prefix;
  std::string suffix;
  if (kind == "kyt") {
    prefix = kKytPrefix;
    suffix = kKytSuffix;
  }
  std::vector<std::string> packages;
  for (const std::string& name : entriesOf(directory)) {
    if (name == "." || name == "..") continue;
    if (name.starts_with(prefix) && name.ends_with(suffix)) packages.push_back(name);
  }
  std::sort(packages.begin(), packages.end(), std::greater<std::string>());
  return packages;
}

std::string selectKytPackage(const Options& options) {
  std::vector<std::string> packages = listKytPackages(joinPath(options.workingDir, kKytDirectory), "kyt");
  std::string choice = packages.empty() ? std::string() : packages.front();
  logEntry(LogVerbose, "KYT selected :" + choice);
  return choice;
}

std::string selectEsxiPackage(const Options& options, const std::string& version) {
  const std::string prefix = std::string(kEsxiPrefix) + version;
  std::string choice;
  for (const std::string& name : entriesOf(options.workingDir)) {
    // A later match replaces an earlier one: the last listed wins.
    if (name.starts_with(prefix) && name.ends_with(kEsxiSuffix)) choice = name;
  }
  return choice;
}

bool isEsxiPackage(const std::string& name) {
  return name.starts_with(kEsxiPrefix) && name.ends_with(kEsxiSuffix);
}

}  // namespace XELO
