// What a run fetched, found and made, gathered as it goes, for the few lines
// that close a run: where the medium went, how big it is, what was downloaded
// and what was already there, how long it took and where the log is.
#pragma once
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace XELO {

struct RunTally {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  long long downloadedKb = 0;  // files fetched by this run
  long long reusedKb = 0;      // files already in the working directory
  // Sizes of the updates of the passes so far (KB), by update id.
  std::map<std::string, long long> updateKb;
  // The size of each file being fetched ("id:file"), and what each update
  // fetched so far.
  std::map<std::string, long long> fileKb;
  std::map<std::string, long long> fetchedKb;
  // Updates already counted: a later pass of the run (the requisites) finds
  // what an earlier one fetched, which is not reused from before the run.
  std::set<std::string> settled;
  // Report mode: every update told, in order, and whether all its files are
  // already present.
  std::vector<std::string> reportOrder;
  std::map<std::string, bool> reportPresent;

  // A file of an update was fetched, or the update ended with the rest of
  // its files already present.
  void fileFetched(const std::string& idFile);
  void updateSettled(const std::string& id);
  // Report mode: an update with (or without) all of its files present; a
  // later missing file of the same update makes it not present.
  void reported(const std::string& id, bool present);
  // Report totals, in KB: to download, and already present.
  long long reportMissingKb() const;
  long long reportPresentKb() const;
};

// The run's tally (one per process).
RunTally& runTally();

// A byte count for people: "0 B", "512 B", "12.3 KB", "4.0 MB", "1.2 GB".
std::string sizeText(long long bytes);
// A duration for people: "42 s", "3 min 05 s", "1 h 02 min".
std::string durationText(long long seconds);

// Progress on a terminal. What a download line adds: " 45%", then the rate
// and the time left once `seconds` have passed with something received.
std::string downloadRateText(long long kb, long long totalKb, double seconds);
// What to write for a media step's progress on a terminal, given the step and
// percent written last (empty and -1 at first): the step's one line is
// rewritten in place ("\r"), and ended when it reaches 100 % or another step
// begins. Empty when nothing changed.
std::string stepProgressText(const std::string& lastStep, int lastPercent, const std::string& step, int percent);

}  // namespace XELO
