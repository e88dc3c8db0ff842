#include "readers.h"

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

namespace XELO::launchpad {
namespace {

// The text between the first `open` tag and the `close` tag after it; with
// `lastClose` the last such close tag (for a message that may hold tags).
std::optional<std::string> between(const std::string& text, const std::string& open, const std::string& close,
                                   bool lastClose = false) {
  const auto start = text.find(open);
  if (start == std::string::npos) return std::nullopt;
  const auto from = start + open.size();
  const auto end = lastClose ? text.rfind(close) : text.find(close, from);
  if (end == std::string::npos || end < from) return std::nullopt;
  return text.substr(from, end - from);
}

std::optional<long long> number(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  for (std::size_t k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return std::nullopt;
  return std::stoll(text);
}

long long childNumber(const pugi::xml_node& node, const char* name) {
  return number(node.child_value(name)).value_or(0);
}

bool parse(pugi::xml_document& doc, const std::string& text) {
  return doc.load_buffer(text.data(), text.size(), pugi::parse_default).status == pugi::status_ok;
}

}  // namespace

std::optional<CliResult> readCliResult(const std::string& text) {
  if (text.find("</CLIERROR>") == std::string::npos) return std::nullopt;
  const auto code = between(text, "<CODE>", "</CODE>");
  const auto message = between(text, "<MESSAGE>", "</MESSAGE>", true);
  const auto step = between(text, "<STEPSERIAL>", "</STEPSERIAL>");
  if (!code || !message || !step) return std::nullopt;
  const auto codeValue = number(*code), stepValue = number(*step);
  if (!codeValue || !stepValue) return std::nullopt;
  return CliResult{static_cast<int>(*codeValue), *message, static_cast<int>(*stepValue)};
}

std::optional<std::vector<AcquisitionPass>> readAcquisition(const std::string& text) {
  pugi::xml_document doc;
  if (!parse(doc, text) || !doc.child("ACQUISITION")) return std::nullopt;
  std::vector<AcquisitionPass> passes;
  for (const auto& content : doc.child("ACQUISITION").children("CONTENT")) {
    AcquisitionPass pass{content.child_value("MT"),
                         content.child_value("OS"),
                         content.child_value("CURRENTUPDATEID"),
                         childNumber(content, "TOTAL"),
                         {}};
    for (const auto& pkg : content.children("PACKAGE"))
      pass.packages.push_back({pkg.child_value("UPDATEID"), pkg.child_value("COMPONENT"), pkg.child_value("STATUS"),
                               childNumber(pkg, "SIZE"), childNumber(pkg, "DOWNLOADSIZE"),
                               childNumber(pkg, "DOWNLOADSPEED")});
    passes.push_back(std::move(pass));
  }
  return passes;
}

std::optional<std::vector<LocalReportEntry>> readLocalReport(const std::string& text) {
  pugi::xml_document doc;
  if (!parse(doc, text) || !doc.child("LOCAL_REPORT")) return std::nullopt;
  std::vector<LocalReportEntry> entries;
  for (const auto& content : doc.child("LOCAL_REPORT").children("CONTENT")) {
    LocalReportEntry entry{content.child_value("MT"), {}};
    for (const auto& pkg : content.children("PACKAGE")) entry.updateIds.push_back(pkg.child_value("UPDATEID"));
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<bool> readSupportListResult(const std::string& text) {
  pugi::xml_document doc;
  if (!parse(doc, text)) return std::nullopt;
  const std::string result = doc.child("root").child_value("result");
  if (result == "SUCCESS") return true;
  if (result == "FAIL") return false;
  return std::nullopt;
}

std::vector<SupportedSystem> readSupportList(const std::string& text) {
  pugi::xml_document doc;
  std::vector<SupportedSystem> systems;
  if (!parse(doc, text)) return systems;
  for (const auto& system : doc.child("root").children("system")) {
    const std::string mt = system.child_value("machineType");
    if (mt.empty()) continue;
    auto yes = [&](const char* tool) { return std::string(system.child_value(tool)) == "yes"; };
    systems.push_back({mt, system.child_value("xname"), yes("kyt"), yes("novpi"), yes("dunvar")});
  }
  return systems;
}

namespace {

void applyEvent(const nlohmann::json& e, ProgressSummary& s, std::vector<std::string>& phases) {
  const std::string event = e.value("event", "");
  if (event == "phase_start") {
    phases.push_back(e.value("phase", ""));
  } else if (event == "phase_end") {
    const std::string phase = e.value("phase", "");
    for (auto it = phases.rbegin(); it != phases.rend(); ++it)
      if (*it == phase) {
        phases.erase(std::next(it).base());
        break;
      }
  } else if (event == "file_progress") {
    s.update = e.value("update", "");
    s.file = e.value("file", "");
    s.kb = e.value("kb", 0LL);
    s.totalKb = e.value("total_kb", 0LL);
  } else if ((event == "file_done" || event == "file_failed") && e.value("file", "") == s.file) {
    s.update.clear(), s.file.clear();  // no file is being downloaded now
    s.kb = s.totalKb = 0;
  } else if (event == "question") {
    ++s.questions;
    s.questionText = e.value("text", "");
    s.questionByFile = e.value("reply", "") == "file";
  } else if (event == "result") {
    s.finished = true;
    s.code = e.value("code", 0);
    s.message = e.value("message", "");
    s.medium = e.value("medium", "");
  }
}

}  // namespace

ProgressSummary readProgress(const std::string& text) {
  ProgressSummary summary;
  std::vector<std::string> phases;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a line still being written
    const auto event = nlohmann::json::parse(text.begin() + pos, text.begin() + end, nullptr, false);
    pos = end + 1;
    if (!event.is_object()) continue;
    try {
      applyEvent(event, summary, phases);
    } catch (const nlohmann::json::exception&) {
      // a member of the wrong type: the line is skipped
    }
  }
  summary.phase = phases.empty() ? "" : phases.back();
  return summary;
}

}  // namespace XELO::launchpad
