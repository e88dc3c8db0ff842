// Readers of the files the console program writes for a front end. Each
// takes the file's text and never throws: a file caught half-written, or
// holding something else, reads as "nothing" (std::nullopt) so the caller
// keeps what it read before.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace XELO::launchpad {

// The result record: code, message (written unescaped, so it may hold '<'
// or '&'), and the media step reached.
struct CliResult {
  int code = 0;
  std::string message;
  int step = 0;
};
std::optional<CliResult> readCliResult(const std::string& text);

// The acquisition progress: one pass per content element.
struct PackageProgress {
  std::string updateId, component, status;
  long long sizeKb = 0, downloadedKb = 0, speedKb = 0;
};
struct AcquisitionPass {
  std::string machineType, os, currentUpdateId;
  long long total = 0;
  std::vector<PackageProgress> packages;
};
std::optional<std::vector<AcquisitionPass>> readAcquisition(const std::string& text);

// The local report: update ids per machine type.
struct LocalReportEntry {
  std::string machineType;
  std::vector<std::string> updateIds;
};
std::optional<std::vector<LocalReportEntry>> readLocalReport(const std::string& text);

// The support-list result: true for SUCCESS, false for FAIL.
std::optional<bool> readSupportListResult(const std::string& text);

// The installed system support list.
struct SupportedSystem {
  std::string machineType, name;
  bool kyt = false, novpi = false, dunvar = false;
};
std::vector<SupportedSystem> readSupportList(const std::string& text);

// What the progress lines (--progress-json) tell so far. Lines that are not
// complete JSON objects (the last one may still be written) are skipped.
struct ProgressSummary {
  std::string phase;  // the innermost phase still open
  std::string file, update;
  long long kb = 0, totalKb = 0;
  int questions = 0;            // questions asked so far
  std::string questionText;     // the last one
  bool questionByFile = false;  // the last one is answered through the reply file
  bool finished = false;        // the result line came
  int code = 0;
  std::string message, medium;
};
ProgressSummary readProgress(const std::string& text);

}  // namespace XELO::launchpad
