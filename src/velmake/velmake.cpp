// The base of the media writers: the environment, the boot-tree hook, the
// medium's entries and the library's temporary files.
#include "velmake.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "internal.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;

namespace detail {

bool endsWithNoCase(const std::string& name, const std::string& suffix) {
  if (name.size() < suffix.size()) return false;
  return std::equal(suffix.rbegin(), suffix.rend(), name.rbegin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool liesWithin(const fs::path& path, const fs::path& root) {
  const fs::path rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

namespace {

// The link at `link` leads outside `root` once followed: its target (every
// link on the way resolved) lies outside, cannot be resolved (dangling,
// looping), or is a directory from which a link below leads outside. A
// writer that follows links would copy what lies there.
bool leadsOutside(const fs::path& link, const fs::path& root, std::set<fs::path>& visited) {
  std::error_code ec;
  const fs::path real = fs::canonical(link, ec);
  if (ec || !liesWithin(real, root)) return true;
  if (!fs::is_directory(real, ec) || !visited.insert(real).second) return false;
  for (auto it = fs::recursive_directory_iterator(real, ec); !ec && it != fs::end(it); it.increment(ec))
    if (it->is_symlink(ec) && leadsOutside(it->path(), root, visited)) return true;
  return false;
}

// The symbolic links at or below `path` that lead outside `root`.
std::vector<fs::path> outsideLinksBelow(const fs::path& path, const fs::path& root) {
  std::vector<fs::path> found;
  auto check = [&](const fs::path& link) {
    std::set<fs::path> visited;  // directories entered for this link, against cycles
    if (leadsOutside(link, root, visited)) found.push_back(link);
  };
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    check(path);
    return found;
  }
  if (!fs::is_directory(path, ec)) return found;
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it); it.increment(ec))
    if (it->is_symlink(ec)) check(it->path());
  return found;
}

// The entries without the links in `links`: an entry that is one is left
// out, a directory with one below it is replaced by its contents.
std::vector<MediumEntry> withoutLinks(const std::vector<MediumEntry>& entries, const std::vector<fs::path>& links) {
  auto isLink = [&](const fs::path& source) { return std::find(links.begin(), links.end(), source) != links.end(); };
  auto holdsLink = [&](const fs::path& source) {
    return std::any_of(links.begin(), links.end(), [&](const fs::path& link) {
      const fs::path rel = link.lexically_relative(source);
      return !rel.empty() && rel != "." && *rel.begin() != "..";
    });
  };
  std::vector<MediumEntry> kept;
  for (const MediumEntry& e : entries) {
    if (isLink(e.sourcePath)) continue;
    if (!e.directory || !holdsLink(e.sourcePath)) {
      kept.push_back(e);
      continue;
    }
    MediumEntry dir = e;
    dir.contentsListed = true;
    kept.push_back(dir);
    std::vector<MediumEntry> children;
    std::error_code ec;
    for (const auto& child : fs::directory_iterator(e.sourcePath, ec))
      children.push_back(
          {e.mediumPath + "/" + child.path().filename().string(), child.path().string(), child.is_directory(ec)});
    std::sort(children.begin(), children.end(),
              [](const MediumEntry& a, const MediumEntry& b) { return a.mediumPath < b.mediumPath; });
    for (const MediumEntry& child : withoutLinks(children, links)) kept.push_back(child);
  }
  return kept;
}

}  // namespace

bool fileInTree(const fs::path& path, const fs::path& root) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec || !fs::is_regular_file(real, ec)) return false;
  const fs::path realRoot = fs::canonical(root, ec);
  return !ec && liesWithin(real, realRoot);
}

int collectEntries(const std::string& workingDir, const std::vector<std::string>& files,
                   std::vector<MediumEntry>& entries, std::string& problem, std::vector<std::string>& outsideLinks) {
  entries.clear();
  std::vector<std::string> seen;
  auto add = [&](const std::string& name, bool mustExist) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    const fs::path normal = fs::path(path).lexically_normal();
    std::string medium = normal.generic_string();
    while (!medium.empty() && medium.back() == '/') medium.pop_back();
    if (medium.empty() || medium == "." || medium == "..") return static_cast<int>(kMediaOk);
    if (normal.is_absolute() || *normal.begin() == "..") {
      problem = name;
      return static_cast<int>(kBadName);
    }
    if (std::find(seen.begin(), seen.end(), medium) != seen.end()) return static_cast<int>(kMediaOk);
    const fs::path source = fs::path(workingDir) / normal;
    std::error_code ec;
    const auto status = fs::status(source, ec);
    if (ec || !fs::exists(status)) {
      if (!mustExist) return static_cast<int>(kMediaOk);
      problem = source.string();
      return static_cast<int>(kNotFound);
    }
    seen.push_back(medium);
    entries.push_back({medium, source.string(), fs::is_directory(status)});
    return static_cast<int>(kMediaOk);
  };
  for (const std::string& name : files)
    if (const int code = add(name, true); code != kMediaOk) return code;
  // Entries inside a listed directory already come with it.
  std::vector<MediumEntry> kept;
  for (const MediumEntry& e : entries) {
    const bool covered = std::any_of(entries.begin(), entries.end(), [&](const MediumEntry& d) {
      return d.directory && e.mediumPath.size() > d.mediumPath.size() &&
             e.mediumPath.compare(0, d.mediumPath.size() + 1, d.mediumPath + "/") == 0;
    });
    if (!covered) kept.push_back(e);
  }
  entries = std::move(kept);
  add("boot", true);
  add(kMediaConfig, false);

  std::error_code ec;
  const fs::path root = fs::weakly_canonical(fs::absolute(workingDir, ec), ec);
  std::vector<fs::path> links;
  for (const MediumEntry& e : entries) {
    const auto below = outsideLinksBelow(e.sourcePath, root);
    links.insert(links.end(), below.begin(), below.end());
  }
  outsideLinks.clear();
  for (const fs::path& link : links) outsideLinks.push_back(link.string());
  if (!links.empty()) entries = withoutLinks(entries, links);
  return kMediaOk;
}

uint64_t totalBytes(const std::vector<MediumEntry>& entries, uint64_t* largest) {
  uint64_t total = 0;
  uint64_t biggest = 0;
  auto count = [&](const fs::path& p) {
    std::error_code ec;
    const uint64_t size = fs::file_size(p, ec);
    if (ec) return;
    total += size;
    biggest = std::max(biggest, size);
  };
  for (const MediumEntry& e : entries) {
    if (!e.directory) {
      count(e.sourcePath);
      continue;
    }
    if (e.contentsListed) continue;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(e.sourcePath, ec); !ec && it != fs::end(it); it.increment(ec))
      if (it->is_regular_file()) count(it->path());
  }
  if (largest) *largest = biggest;
  return total;
}

}  // namespace detail

BootableMedia::BootableMedia(XELO::BMLoggerIfc& l) : logger(l) {}

BootableMedia::~BootableMedia() { leaveWorkingDirectory(); }

void BootableMedia::log(int level, const std::string& message) { logger.OutputLogEntry(level, "Velmake::" + message); }

void BootableMedia::progress(const std::string& step, int percent) {
  if (progressFn) progressFn(step, std::clamp(percent, 0, 100));
}

void BootableMedia::addTempPath(const std::string& path) {
  if (std::find(tempPaths.begin(), tempPaths.end(), path) == tempPaths.end()) tempPaths.push_back(path);
}

void BootableMedia::rememberWorkingDirectory(const std::string& workingDir) {
  std::error_code ec;
  workingDirectory = fs::absolute(workingDir, ec).lexically_normal().string();
  addTempPath((fs::path(workingDirectory) / kScratchDirectory).string());
}

int BootableMedia::prepareBootTree(const std::string& workingDir, const std::string& toolZip) {
  std::error_code ec;
  if (!fs::is_directory(workingDir, ec)) {
    log(kLogError, "the working directory " + workingDir + " was not found");
    return kNotFound;
  }
  rememberWorkingDirectory(workingDir);

  if (!endsWithNoCase(toolZip, ".zip")) {
    log(kLogError, "the environment " + toolZip + " has no .zip extension");
    return kNotZip;
  }
  fs::path zip = toolZip;
  if (zip.is_relative()) zip = fs::path(workingDirectory) / zip;
  if (!fs::is_regular_file(zip, ec)) {
    log(kLogError, "the environment " + zip.string() + " was not found");
    return kNotFound;
  }
  progress("Unpacking the boot environment", 0);
  std::string error;
  if (unpackZip(zip.string(), workingDirectory, error) != kMediaOk) {
    log(kLogError, "unpacking " + zip.string() + " failed: " + error);
    return kUnzipFailed;
  }
  progress("Unpacking the boot environment", 100);

  if (previousDirectory.empty()) previousDirectory = fs::current_path(ec).string();
  fs::current_path(workingDirectory, ec);
  if (ec) {
    log(kLogError, "cannot enter " + workingDirectory + ": " + ec.message());
    return kNotFound;
  }
  const int hook = logger.OutputLogEntryEx(kLogCopyBootDir, "Velmake: assembling the boot tree in " + workingDirectory);
  if (hook != 0) {
    log(kLogError, "the boot tree could not be assembled, code " + std::to_string(hook));
    return hook;
  }
  return kMediaOk;
}

int BootableMedia::buildMedium(const std::string& workingDir, const std::string& toolZip,
                               const std::function<int()>& write) {
  int code = prepareBootTree(workingDir, toolZip);
  if (code == kMediaOk) code = write();
  std::error_code ec;
  fs::remove_all(fs::path(workingDirectory) / kScratchDirectory, ec);
  leaveWorkingDirectory();
  return code;
}

Workspace BootableMedia::openWorkspace() const {
  Workspace workspace;
  workspace.scratch = fs::path(workingDirectory) / kScratchDirectory;
  std::error_code ec;
  fs::create_directories(workspace.scratch, ec);
  workspace.toolLog = (workspace.scratch / "tools.log").string();
  workspace.loader = fs::path(workingDirectory) / kEfiLoaderInTree;
  return workspace;
}

bool BootableMedia::fileInWorkingDirectory(const std::string& caller, const fs::path& path) {
  if (fileInTree(path, workingDirectory)) return true;
  std::error_code ec;
  if (fs::is_regular_file(path, ec))
    log(kLogError, caller + " " + path.string() + " lies outside the working directory and is not taken");
  return false;
}

std::vector<std::string> detail::directoriesToMake(const fs::path& dir, std::vector<std::string>& made) {
  std::vector<std::string> missing;
  std::string sofar;
  for (const auto& part : dir) {
    sofar += "/" + part.string();
    if (std::find(made.begin(), made.end(), sofar) != made.end()) continue;
    made.push_back(sofar);
    missing.push_back(sofar);
  }
  return missing;
}

std::vector<EfiFile> detail::efiBootFiles(const fs::path& workingDir, std::vector<std::string>* leftOut) {
  std::vector<EfiFile> files;
  if (fileInTree(workingDir / kEfiLoaderInTree, workingDir))
    files.push_back({workingDir / kEfiLoaderInTree, kEfiLoaderPath});
  std::error_code ec;
  for (const char* companion : kEfiCompanions) {
    const fs::path source = workingDir / "boot" / companion;
    if (fileInTree(source, workingDir))
      files.push_back({source, companion});
    else if (leftOut && fs::exists(fs::symlink_status(source, ec)))
      leftOut->push_back(source.string());
  }
  return files;
}

std::vector<EfiFile> BootableMedia::efiFiles(const std::string& caller) {
  std::vector<std::string> leftOut;
  std::vector<EfiFile> files = efiBootFiles(workingDirectory, &leftOut);
  for (const std::string& path : leftOut)
    log(kLogWarning, caller + " " + path + " is not a file inside the working directory and is left out");
  return files;
}

bool BootableMedia::loaderInTree(const Workspace& workspace, const std::string& caller, const std::string& missing) {
  if (fileInWorkingDirectory(caller, workspace.loader)) return true;
  std::error_code ec;
  if (!fs::is_regular_file(workspace.loader, ec))
    log(kLogError, caller + " " + missing + " " + workspace.loader.string());
  return false;
}

int BootableMedia::collectMedium(const std::string& caller, const std::vector<std::string>& files,
                                 std::vector<MediumEntry>& entries) {
  std::string problem;
  std::vector<std::string> outsideLinks;
  const int code = collectEntries(workingDirectory, files, entries, problem, outsideLinks);
  for (const std::string& link : outsideLinks)
    log(kLogWarning, caller + " leaves out " + link + ": a link to outside the working directory");
  if (code != kMediaOk) log(kLogError, caller + " cannot take " + problem);
  return code;
}

void BootableMedia::leaveWorkingDirectory() {
  if (previousDirectory.empty()) return;
  std::error_code ec;
  fs::current_path(previousDirectory, ec);
  previousDirectory.clear();
}

void BootableMedia::removeTempFilesAndDirs(const std::vector<std::string>& dirs) {
  leaveWorkingDirectory();
  std::error_code ec;
  for (const std::string& name : dirs) {
    // Names are taken in the working directory of the create calls; before
    // any there is none, and nothing elsewhere is touched.
    if (name.empty() || (workingDirectory.empty() && fs::path(name).is_relative())) continue;
    const fs::path target = fs::path(name).is_absolute() ? fs::path(name) : fs::path(workingDirectory) / name;
    fs::remove_all(target, ec);
    if (ec) log(kLogWarning, "cannot remove " + target.string() + ": " + ec.message());
  }
  for (const std::string& path : tempPaths) fs::remove_all(path, ec);
  tempPaths.clear();
}

}  // namespace Velmake
