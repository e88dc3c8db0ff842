#include "core/run_tally.h"

#include <algorithm>
#include <cstdio>

namespace XELO {

void RunTally::fileFetched(const std::string& idFile) {
  const auto size = fileKb.find(idFile);
  if (size == fileKb.end()) return;
  downloadedKb += size->second;
  fetchedKb[idFile.substr(0, idFile.find(':'))] += size->second;
  fileKb.erase(size);
}

void RunTally::updateSettled(const std::string& id) {
  // The update's size counts the files fetched now and those found present.
  const auto size = updateKb.find(id);
  if (size == updateKb.end()) return;
  if (!settled.insert(id).second) {
    fetchedKb.erase(id);
    return;
  }
  const long long rest = size->second - fetchedKb[id];
  if (rest > 0) reusedKb += rest;
  fetchedKb.erase(id);
}

void RunTally::reported(const std::string& id, bool present) {
  const auto [at, added] = reportPresent.try_emplace(id, present);
  if (added)
    reportOrder.push_back(id);
  else if (!present)
    at->second = false;
}

namespace {

long long reportTotal(const RunTally& tally, bool present) {
  long long total = 0;
  for (const auto& id : tally.reportOrder) {
    const auto size = tally.updateKb.find(id);
    if (size != tally.updateKb.end() && tally.reportPresent.at(id) == present) total += size->second;
  }
  return total;
}

}  // namespace

long long RunTally::reportMissingKb() const { return reportTotal(*this, false); }
long long RunTally::reportPresentKb() const { return reportTotal(*this, true); }

RunTally& runTally() {
  static RunTally tally;
  return tally;
}

std::string sizeText(long long bytes) {
  if (bytes < 1024) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string durationText(long long seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds < 60)
    std::snprintf(text, sizeof text, "%lld s", seconds);
  else if (seconds < 3600)
    std::snprintf(text, sizeof text, "%lld min %02lld s", seconds / 60, seconds % 60);
  else
    std::snprintf(text, sizeof text, "%lld h %02lld min", seconds / 3600, seconds % 3600 / 60);
  return text;
}

std::string downloadRateText(long long kb, long long totalKb, double seconds) {
  if (totalKb <= 0) return "";
  const long long percent = std::min<long long>(100, kb * 100 / totalKb);
  std::string text = " " + std::to_string(percent) + "%";
  if (seconds <= 0 || kb <= 0) return text;
  const double bytesPerSecond = kb * 1024.0 / seconds;
  text += " " + sizeText(static_cast<long long>(bytesPerSecond)) + "/s";
  const long long left = totalKb > kb ? static_cast<long long>((totalKb - kb) * 1024.0 / bytesPerSecond + 0.5) : 0;
  return text + " " + durationText(left) + " left";
}

std::string stepProgressText(const std::string& lastStep, int lastPercent, const std::string& step, int percent) {
  const bool sameStep = step == lastStep && lastPercent >= 0;
  if (sameStep && percent == lastPercent) return "";
  std::string text;
  // A step left unfinished keeps its last line.
  if (!sameStep && lastPercent >= 0 && lastPercent < 100) text += "\n";
  text += "\r " + step + "... " + std::to_string(percent) + "%";
  if (percent >= 100) text += "\n";
  return text;
}

}  // namespace XELO
