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

bool hasPrefix(const std::string& name, const std::string& prefix) {
  return name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

bool hasSuffix(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool holds(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

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

int bootToolsNeed() {
  const std::vector<std::string>& functions = processOptions().functions;
  if (holds(functions, "linuxtk")) return 3;
  if (holds(functions, "novpi")) return 2;
  if (holds(functions, "kyt")) return 2;
  return 0;
}

std::string findBootToolsZip(int need) {
  if (need < 1 || need > 3) return {};
  const std::string& workingDir = processOptions().workingDir;
  constexpr int variants = sizeof(kBootToolsSuffixes) / sizeof(kBootToolsSuffixes[0]);
  // The exact variant first, then each larger one that can stand in for it.
  for (int variant = need - 1; variant < variants; ++variant) {
    std::string name = bootToolsZipName(variant);
    if (usableFile(joinPath(workingDir, name))) return name;
  }
  return {};
}

bool toolZipPresent() {
  const Options& options = processOptions();
  return !options.toolZip.empty() && isRegularFile(joinPath(options.workingDir, options.toolZip));
}

std::string selectNovpiBinary() {
  const std::string prefix = kNovpiPrefix;
  std::string choice;
  double best = 0.0;
  for (const std::string& name : entriesOf(joinPath(processOptions().workingDir, kNovpiDirectory))) {
    if (!hasPrefix(name, prefix) || !hasSuffix(name, kNovpiSuffix)) continue;
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
    if (hasPrefix(name, prefix) && hasSuffix(name, suffix)) packages.push_back(name);
  }
  std::sort(packages.begin(), packages.end(), std::greater<std::string>());
  return packages;
}

std::string selectKytPackage() {
  std::vector<std::string> packages =
      listKytPackages(joinPath(processOptions().workingDir, kKytDirectory), "kyt");
  std::string choice = packages.empty() ? std::string() : packages.front();
  logEntry(LogVerbose, "KYT selected :" + choice);
  return choice;
}

std::string selectEsxiPackage(const std::string& version) {
  const std::string prefix = std::string(kEsxiPrefix) + version;
  std::string choice;
  for (const std::string& name : entriesOf(processOptions().workingDir)) {
    // A later match replaces an earlier one: the last listed wins.
    if (hasPrefix(name, prefix) && hasSuffix(name, kEsxiSuffix)) choice = name;
  }
  return choice;
}

bool isEsxiPackage(const std::string& name) {
  return hasPrefix(name, kEsxiPrefix) && hasSuffix(name, kEsxiSuffix);
}

}  // namespace XELO
