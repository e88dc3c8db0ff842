// The few plain lines that close a successful run on the console: where the
// medium went and how big it is, how many updates it carries, what was
// downloaded and what was reused from the working directory, how long the
// run took and which log file it wrote. The graphical front end reads its
// files, not these lines: runs with XML output print none.
#pragma once
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// The target of the run's medium as an absolute path, and what it is.
struct MediumTarget {
  std::string path;
  std::string kind;  // "ISO image", "USB key", "CD/DVD", "PXE directory"
};
MediumTarget mediumTarget(const Options& options);

// The number of updates among the entries staged for a medium: their
// descriptors at the top of the working directory.
int updatesStaged(const std::vector<std::string>& pushed);

// After "The bootable media was created successfully!".
void printMediumSummary(const Options& options, const std::vector<std::string>& pushed);
// After an acquisition without a medium.
void printAcquisitionSummary(const Options& options);
// After a report: the totals to download and already present.
void printReportSummary(const Options& options);

}  // namespace XELO
