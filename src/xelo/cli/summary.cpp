#include "cli/summary.h"

#include <chrono>
#include <iostream>

#include "core/run_tally.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

namespace {

void printElapsedAndLog() {
  const auto elapsed = std::chrono::steady_clock::now() - runTally().start;
  std::cout << "Elapsed:    " << durationText(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count())
            << std::endl
            << "Log:        " << processLogger().getLogFilePath() << std::endl;
}

void printTransfer() {
  const RunTally& tally = runTally();
  std::cout << "Downloaded: " << sizeText(tally.downloadedKb * 1024)
            << "; reused from the working directory: " << sizeText(tally.reusedKb * 1024) << std::endl;
}

}  // namespace

MediumTarget mediumTarget(const Options& options) {
  if (!options.isoName.empty()) return {absolutePath(joinPath(options.isoDir, options.isoName)), "ISO image"};
  if (!options.usbKey.empty()) return {absolutePath(options.usbKey), "USB key"};
  if (!options.cdDevice.empty()) return {absolutePath(options.cdDevice), "CD/DVD"};
  if (!options.pxeDir.empty()) return {absolutePath(options.pxeDir), "PXE directory"};
  return {};
}

int updatesStaged(const std::vector<std::string>& pushed) {
  int count = 0;
  for (const auto& entry : pushed)
    if (entry.size() > 4 && entry.ends_with(".xml") && lastSeparator(entry) == std::string::npos) ++count;
  return count;
}

void printMediumSummary(const Options& options, const std::vector<std::string>& pushed) {
  if (options.xmlOutput) return;
  const MediumTarget target = mediumTarget(options);
  const long long size = storageSize(target.path);
  std::cout << "Medium:     " << target.path << " (" << target.kind;
  if (size >= 0) std::cout << ", " << sizeText(size);
  std::cout << ")" << std::endl << "Updates:    " << updatesStaged(pushed) << " on the medium" << std::endl;
  printTransfer();
  printElapsedAndLog();
}

void printAcquisitionSummary(const Options& options) {
  if (options.xmlOutput) return;
  std::cout << "Working directory: " << absolutePath(options.workingDir) << std::endl;
  printTransfer();
  printElapsedAndLog();
}

void printReportSummary(const Options& options) {
  if (options.xmlOutput) return;
  const RunTally& tally = runTally();
  if (!tally.reportOrder.empty())
    std::cout << "To download: " << sizeText(tally.reportMissingKb() * 1024) << " (" << tally.reportOrder.size()
              << " updates and packages listed); already present: " << sizeText(tally.reportPresentKb() * 1024)
              << std::endl;
  printElapsedAndLog();
}

}  // namespace XELO
