// The file list of a medium: which entries of the working directory, which
// update files and which descriptors go onto it.
#include "media/staging.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "core/options.h"
#include "core/text.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/environment.h"
#include "metadata/descriptors.h"

namespace XELO {

namespace {

// Entries that never go onto the medium as they are: environments, earlier
// images, media configuration files, the toolkit, and the tool folders.
bool setAside(const std::string& n) {
  return boost::algorithm::iends_with(n, ".iso") || n == kEnvironmentDir || n == kEnvironmentKytDir || n == kEnvironmentPpcDir ||
         n.starts_with(kBootToolsPrefix) || n == kKytDirectory || n == kNovpiDirectory ||
         n.starts_with(kBootUpgradePrefix) || n == kToolkitDir || (n.starts_with("xelo") && n.ends_with(".config"));
}

void logToolDirectory(const std::string& n) {
  logEntry(LogWarning, "getFiles()::directory for tool will be copyied: " + n);
}

// Adds the update files `files` to `list`, leaving out descriptors that were
// cut short.
void addUpdateFiles(const std::string& dir, const std::vector<std::string>& files, std::vector<std::string>& list) {
  for (const auto& name : files) {
    if (name.ends_with(".xml")) {
      const std::string path = joinPath(dir, name);
      if (!descriptorComplete(path)) {
        logEntry(LogError, "Do not copy the damaged xml file:" + path);
        continue;
      }
    }
    list.push_back(name);
  }
}

// An index over `dir` for reading the files of single updates.
DescriptorIndex indexFor(const std::string& dir) {
  DescriptorIndex index;
  index.workDir = dir;
  return index;
}

// The files of the requisite updates of the descriptors in `staged`, and of
// their requisites in turn, that the working directory holds. A requisite's
// descriptor is the last descriptor (by name) whose name contains its id.
std::vector<std::string> requisiteFiles(const std::string& dir, const std::vector<std::string>& staged) {
  std::vector<std::string> descriptors;
  listDirectory(dir, descriptors);
  descriptors.erase(std::remove_if(descriptors.begin(), descriptors.end(),
                                   [](const std::string& n) { return !n.ends_with(".xml"); }),
                    descriptors.end());
  std::sort(descriptors.begin(), descriptors.end());

  const DescriptorIndex index = indexFor(dir);
  std::set<std::string> seenIds;
  std::set<std::string> seenDescriptors;
  std::vector<std::string> sources;
  for (const auto& name : staged)
    if (name.ends_with(".xml") && seenDescriptors.insert(name).second) sources.push_back(name);

  std::vector<std::string> files;
  while (!sources.empty()) {
    const std::set<std::string> ids = collectRequisites(dir, sources);
    sources.clear();
    for (const auto& id : ids) {
      if (!seenIds.insert(id).second) continue;
      auto match = std::find_if(descriptors.rbegin(), descriptors.rend(),
                                [&](const std::string& n) { return n.find(id) != std::string::npos; });
      if (match == descriptors.rend() || !seenDescriptors.insert(*match).second) continue;
      logEntry(LogVerbose, "requisite " + id + " is staged from " + *match);
      addUpdateFiles(dir, getUpdateFiles(index, *match), files);
      sources.push_back(*match);
    }
  }
  return files;
}

// The files (descriptor, readme, history) of updates whose payload is
// missing. Such an update would reach the medium as a descriptor the tools
// on it cannot apply; it is left out whole, with a warning for each.
std::set<std::string> incompleteUpdateFiles(const std::string& dir) {
  const DescriptorIndex index = indexFor(dir);
  std::set<std::string> files;
  for (const auto& descriptor : descriptorIndex().incompleteUpdates) {
    const std::string text = "The update " + descriptor +
                             " has no payload in the working directory; it is left out of the medium.";
    logEntry(LogWarning, text);
    std::cout << " Warning! " << text << std::endl;
    files.insert(descriptor);
    for (const auto& file : getUpdateFiles(index, descriptor)) files.insert(file);
  }
  return files;
}

// The entries of the medium other than update files (steps shared by both
// ways of choosing updates).
std::vector<std::string> entriesBesideUpdates(const Options& options, const std::string& dir) {
  std::vector<std::string> list = dropCreatedPxeDirs(options, dir);
  std::set<std::string> updateFiles;
  for (const auto& [type, file] : descriptorIndex().filesByMachineType) updateFiles.insert(file);
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& n) {
                              // Update files enter only through the update selection, ESXi
                              // packages only through the ESXi selection.
                              return updateFiles.count(n) != 0 || n.starts_with("qor_fw_esxi");
                            }),
             list.end());
  return list;
}

// Adds the requisites of the chosen updates and leaves out what never goes
// onto these media: updates without their payload, the deployment kit's
// folders, the directory entries "." and "..", a boot tree left by an earlier
// run (the library adds the one assembled now), the output file of the
// file-system steps, which the boot-tree assembly leaves in the working
// directory, and the lock file of the run. Every name once, in first-listed
// order.
std::vector<std::string> finishList(const std::string& dir, std::vector<std::string> list,
                                    const std::vector<std::string>& updates) {
  list.insert(list.end(), updates.begin(), updates.end());
  const std::vector<std::string> extra = requisiteFiles(dir, updates);
  list.insert(list.end(), extra.begin(), extra.end());

  std::vector<std::string> result;
  std::set<std::string> seen = incompleteUpdateFiles(dir);
  for (const auto& name : list) {
    if (name == "dunvar" || name == "wtoolkit" || name == "." || name == ".." || name == kBootTreeDir ||
        name == "stdout.txt" || name == kWorkingDirLockName)
      continue;
    if (seen.insert(name).second) result.push_back(name);
  }
  return result;
}

}  // namespace

std::vector<std::string> environmentDirs(const Options& options) {
  std::vector<std::string> dirs{kEnvironmentDir};
  if (options.hasFunction("kyt")) dirs.push_back(kEnvironmentKytDir);
  return dirs;
}

std::vector<std::string> getFiles(const Options& options, const std::string& dir) {
  std::vector<std::string> names;
  listDirectory(dir, names);
  std::vector<std::string> list;
  for (const auto& n : names) {
    if (!setAside(n)) {
      list.push_back(n);
    } else if (options.hasFunction(n) && n != kKytDirectory) {
      // The folder of a selected tool. The diagnostics package reaches the
      // medium only unpacked into the boot tree.
      if (n == kNovpiDirectory)
        pushNovpiFiles(options, list);
      else
        list.push_back(n);
      logToolDirectory(n);
    } else if (options.hasFunction("linuxtk") && n.starts_with(kBootUpgradePrefix)) {
      list.push_back(n);
      logToolDirectory(n);
    }
  }
  return list;
}

void pushNovpiFiles(const Options& options, std::vector<std::string>& list) {
  const std::string dir = joinPath(options.workingDir, kNovpiDirectory);
  logEntry(LogWarning, "novpi path:" + dir);
  std::vector<std::string> names;
  listDirectory(dir, names);
  for (const auto& e : names) {
    if (e == "." || e == "..") continue;
    if (e.starts_with("novpi") && e.ends_with(".exe")) {
      logEntry(LogWarning, "DO NOT copy incompatible novpi binary:" + e);
      continue;
    }
    const std::string entry = joinPath(kNovpiDirectory, e);
    logEntry(LogWarning, "to push:" + entry);
    list.push_back(entry);
  }
}

bool holdsCreatedPxeOutput(const std::string& dir) {
  std::vector<std::string> inside;
  listDirectory(dir, inside);
  return contains(inside, "img2a") && contains(inside, "img3a") && contains(inside, "tc.zip");
}

std::vector<std::string> dropCreatedPxeDirs(const Options& options, const std::string& dir) {
  std::vector<std::string> kept;
  for (const auto& e : getFiles(options, dir)) {
    if (holdsCreatedPxeOutput(joinPath(dir, e))) {
      logEntry(LogVerbose, e + " is a created pxe dir.");
      continue;
    }
    kept.push_back(e);
  }
  return kept;
}

std::vector<std::string> stageUpdateFiles(const Options& options, const std::string& dir) {
  std::vector<std::string> updates;
  if (options.hasFunction("novpi")) {
    for (const auto& type : options.machineTypes) addUpdateFiles(dir, filesForMachineType(type), updates);
  }
  return finishList(dir, entriesBesideUpdates(options, dir), updates);
}

std::vector<std::string> stageUpdateFilesById(const std::vector<std::string>& updateIds, const std::string& dir) {
  const DescriptorIndex index = indexFor(dir);
  std::vector<std::string> files;
  for (const auto& id : updateIds) {
    const std::string descriptor = id + ".xml";
    if (!isRegularFile(joinPath(dir, descriptor))) {
      logEntry(LogError, "XML file for update-id " + id + " can't be found so it won't be in the created media.");
      continue;
    }
    if (!isUpdatePackDescriptor(descriptor) && getUpdatePayload(index, descriptor).empty()) {
      logEntry(LogWarning, "The update " + id + " has no payload in the working directory; it is left out of the medium.");
      continue;
    }
    const std::vector<std::string> updateFiles = getUpdateFiles(index, descriptor);
    files.insert(files.end(), updateFiles.begin(), updateFiles.end());
  }
  return files;
}

std::vector<std::string> stageMediaFiles(const Options& options) {
  const std::string& dir = options.workingDir;
  if (options.updateIds.empty()) return stageUpdateFiles(options, dir);
  std::vector<std::string> updates;
  addUpdateFiles(dir, stageUpdateFilesById(options.updateIds, dir), updates);
  return finishList(dir, entriesBesideUpdates(options, dir), updates);
}

}  // namespace XELO
