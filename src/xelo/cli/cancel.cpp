#include "cli/cancel.h"

#include <boost/algorithm/string/predicate.hpp>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "core/codes.h"
#include "core/errors.h"
#include "downloadmanager.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "velmake.h"

namespace XELO {

namespace {

// What the watcher thread removes; filled once by the main thread.
struct Cleanup {
  std::mutex lock;
  bool known = false;
  std::string workingDir;
  std::string isoPath;
  std::string pxeDir;
  std::string cdImage;
};

Cleanup& cleanup() {
  static Cleanup* const c = new Cleanup;  // never destroyed: the watcher may outlive main
  return *c;
}

// Files under download: the acquisition writes "<name>.part", the service
// file download "<name>.xelo-partial<n>", each beside the final file.
bool downloadInFlight(const std::string& name) {
  return boost::algorithm::ends_with(name, ".part") || name.find(".xelo-partial") != std::string::npos;
}

void removeDownloadsInFlight(const std::string& dir) {
  std::vector<std::string> names;
  listDirectory(dir, names);
  for (const auto& name : names)
    if (downloadInFlight(name) && isRegularFile(joinPath(dir, name))) deleteFile(joinPath(dir, name));
}

void removeTemporaries(const Cleanup& c) {
  removeDownloadsInFlight(c.workingDir);
  for (const char* toolDir : {"novpi", "kyt", "dunvar"}) removeDownloadsInFlight(joinPath(c.workingDir, toolDir));
  // The environment copies staged for the medium; the library removes them
  // after every medium it makes.
  for (const char* staged : {"linuxboot", "linuxbootkyt"}) removeTree(joinPath(c.workingDir, staged));
  Velmake::removeInterruptedOutput(c.workingDir, c.isoPath, c.pxeDir);
  if (!c.cdImage.empty()) deleteFile(c.cdImage);
}

}  // namespace

void watchForCancel() {
  onCancelSignal([](const std::string& signalName, int status) {
    {
      Cleanup& c = cleanup();
      std::lock_guard<std::mutex> hold(c.lock);
      // No download may create a file after the listing that removes them.
      QYXAcquistion::DownloadManager::stopDownloads();
      if (c.known) removeTemporaries(c);
    }
    const std::string text = "Xelo was cancelled by " + signalName + "; the temporary files of this run were removed.";
    logEntry(LogError, "main()::" + text);
    std::cout << std::endl << text << std::endl;
    writeCliError(status, text, Step::None);
  });
}

void setCancelCleanup(const Options& options) {
  Cleanup& c = cleanup();
  std::lock_guard<std::mutex> hold(c.lock);
  c.workingDir = absolutePath(options.workingDir);
  c.isoPath = options.isoName.empty() ? "" : absolutePath(joinPath(options.isoDir, options.isoName));
  c.pxeDir = options.pxeDir.empty() ? "" : absolutePath(options.pxeDir);
  // A disc is burned from an image in the program directory, the current
  // directory while the run is not inside the media library.
  c.cdImage = options.cdDevice.empty() ? "" : absolutePath("tmp.iso");
  c.known = !options.workingDir.empty();
}

}  // namespace XELO
