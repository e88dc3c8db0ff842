#include "supportlist/supportlist_actions.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <set>

#include "cli/errors.h"
#include "cli/unavailable.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "supportlist/supportlist.h"

namespace XELO {

namespace {

const std::string kNoneSupported = "None of the systems selected is supported by the following tools:";
const std::string kUpdateHint = "\nYou can update the system support list using --update-supportlist";

// The text between `open` and `close` on `line` ("" when `open` is missing).
std::string between(const std::string& line, const std::string& open, const std::string& close) {
  const auto start = line.find(open);
  if (start == std::string::npos) return "";
  const auto from = start + open.size();
  const auto end = line.find(close, from);
  return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

}  // namespace

std::pair<int, std::string> supportListAction(const Options& options) {
  const bool show = options.given("show-supportlist");
  const bool update = options.given("update-supportlist");
  const bool rollback = options.given("rollback-supportlist");
  if (update && rollback)
    return {1, "\"update-supportlist\" and \"rollback-supportlist\" should be specified exclusively."};
  if (show && update) return {5, ""};
  if (show && rollback) return {6, ""};
  if (update) return {3, ""};
  if (rollback) return {4, ""};
  if (show) return {2, ""};
  return {0, "Unknown Operation: No operation on system support list performed."};
}

void clearAcquiredToolPackages() {
  std::vector<std::string> names;
  const std::string dir = supportListDirectory();
  listDirectory(dir, names);
  for (const auto& name : names)
    if (name.rfind("qor_utl_", 0) == 0) deleteFile(joinPath(dir, name));
}

std::string supportListResultPath() { return joinPath(supportListDirectory(), "supportlist_ac_result.xml"); }

void writeSupportListResult(const std::string& word) {
  std::ofstream out(supportListResultPath(), std::ios::binary | std::ios::trunc);
  out << "<?xml version=\"1.0\" ?>\n<root>\n<result>" << word << "</result>\n</root>";
}

void clearSupportListResult() { deleteFile(supportListResultPath()); }

bool rollbackSupportList() {
  if (processOptions().xmlOutput) clearSupportListResult();
  makeDirectory(supportListDirectory());
  const bool copied = copyFileOver(kSupportListName, workingSupportListPath()) == 0;
  writeSupportListResult(copied ? "SUCCESS" : "FAIL");
  return copied;
}

bool showSupportList() {
  std::ifstream in(workingSupportListPath());
  if (!in) {
    std::cout << "localFile not existed, rollback first" << std::endl;
    rollbackSupportList();
    in.open(workingSupportListPath());
  }
  struct Row {
    std::string family, machineType, kyt, novpi, dunvar;
  };
  std::vector<Row> rows;
  std::size_t widths[4] = {11, 12, 11, 7};
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("system") == std::string::npos) continue;
    Row row{between(line, "<xname>", "</xname>"), between(line, "<machineType>", "</machineType>"),
            between(line, "<kyt>", "</kyt>"), between(line, "<novpi>", "</novpi>"),
            between(line, "<dunvar>", "</dunvar>")};
    widths[0] = std::max(widths[0], row.family.size());
    widths[1] = std::max(widths[1], row.machineType.size());
    widths[2] = std::max(widths[2], row.kyt.size());
    widths[3] = std::max(widths[3], row.novpi.size());
    rows.push_back(row);
  }
  auto cell = [&](const std::string& value, std::size_t width) {
    return value + std::string(width > value.size() ? width - value.size() : 0, ' ') + "|";
  };
  std::cout << cell("Family Name", widths[0]) << cell("Machine Type", widths[1]) << cell("Diagnostics", widths[2])
            << cell("Updates", widths[3]) << "Deployment" << std::endl;
  for (const auto& r : rows)
    std::cout << cell(r.family, widths[0]) << cell(r.machineType, widths[1]) << cell(r.kyt, widths[2])
              << cell(r.novpi, widths[3]) << r.dunvar << std::endl;
  return true;
}

bool updateSupportList() {
  unavailableStep("Updating the system support list", 110);
  return false;
}

int runSupportListAction(int code, const std::string& message) {
  int result = 0;
  std::string text = message;
  const auto showAfter = [&](const std::string& done) {
    std::cout << done << std::endl;
    if (showSupportList()) {
      text = done + "\nSystem support list displayed on console successfully";
      result = 0;
    } else {
      text = done + "\nSystem support list display on console failed";
      result = 110;
    }
  };
  switch (code) {
    case 0:
      result = 110;
      break;
    case 1:
      result = 101;
      std::cout << text << std::endl;
      break;
    case 2:
      if (showSupportList()) {
        text = "System support list displayed on console successfully";
      } else {
        result = 110;
        text = "System support list display on console failed";
      }
      break;
    case 3:
    case 5:
      std::cout << "Updating system support list now, please wait..." << std::endl;
      if (updateSupportList()) {
        if (code == 5) {
          showAfter("System support list updated successfully");
          break;
        }
        text = "System support list updated successfully";
      } else {
        result = 110;
        text = "System support list update failed";
      }
      std::cout << text << std::endl;
      break;
    case 4:
    case 6:
      std::cout << "Rolling back system support list now, please wait..." << std::endl;
      if (rollbackSupportList()) {
        if (code == 6) {
          showAfter("System support list rolled back successfully");
          break;
        }
        text = "System support list rolled back successfully";
      } else {
        result = 110;
        text = "System support list rollback failed";
      }
      std::cout << text << std::endl;
      break;
    default:
      result = 110;
      break;
  }
  logEntry(LogError, errorMessage(result) + " " + text);
  writeCliError(result, text, 0);
  return result;
}

std::string setXmlElementText(const std::string& text, const std::string& tag, const std::string& value) {
  const std::string open = "<" + tag + ">";
  const auto start = text.find(open);
  const auto end = text.find("</" + tag + ">");
  if (start == std::string::npos || end == std::string::npos || end < start + open.size()) return text;
  return text.substr(0, start + open.size()) + value + text.substr(end);
}

std::string toolKeyForPackage(const std::string& id) {
  auto startsWith = [&](const char* prefix) { return id.rfind(prefix, 0) == 0; };
  if (id == "qor_utl_kyt_961cp_anyos_x86-64" || startsWith("qor_utl_kyt_")) return "kyt";
  if (id == "qor_utl_novpi_9.63_anyos_x86-64" || startsWith("qor_utl_novpi_")) return "novpi";
  if (id == "qor_utl_dnxelo_9.63_windows_32-64" || startsWith("qor_utl_dnxelo_")) return "dunvar";
  if (id.find("esxi") != std::string::npos) {
    const auto at = id.find("qor_fw_esxi_");
    return "vmwareupdate" + (at == std::string::npos ? std::string() : id.substr(at + 12, 3));
  }
  return "";
}

std::string mergeFamilyName(const std::string& stored, const std::string& family) {
  auto parts = [](const std::string& name) {
    std::vector<std::string> out;
    std::string::size_type from = 0;
    for (;;) {
      const auto slash = name.find('/', from);
      out.push_back(trim(name.substr(from, slash == std::string::npos ? std::string::npos : slash - from)));
      if (slash == std::string::npos) return out;
      from = slash + 1;
    }
  };
  std::string merged = stored;
  auto known = parts(stored);
  for (const auto& part : parts(family)) {
    if (std::find(known.begin(), known.end(), part) != known.end()) continue;
    merged += " / " + part;
    known.push_back(part);
  }
  return merged;
}

bool toolSupportsSelection(const std::string& toolKey, const std::vector<std::string>& machineTypes) {
  const auto column = readToolColumn(toolKey);
  const std::set<std::string> selected(machineTypes.begin(), machineTypes.end());
  for (const auto& machineType : selected) {
    const auto it = column.find(machineType);
    if (it == column.end() || it->second == "yes") return true;
  }
  return false;
}

std::pair<int, std::string> checkSelectedSystems(const std::vector<std::string>& tools,
                                                 const std::vector<std::string>& machineTypes) {
  if (machineTypes.empty()) return {0, ""};
  for (const auto& type : machineTypes) {
    const std::string u = upper(type);
    if (u == "ALL" || u.empty() || u == "NULL") return {0, ""};
  }
  int result = 0;
  std::string message = kNoneSupported;
  for (const auto& tool : tools) {
    if (!toolSupportsSelection(tool, machineTypes)) {
      result = 101;
      message += "\n" + tool;
    }
  }
  return {result, message + kUpdateHint};
}

std::pair<int, std::string> checkLocalSystemSupportability(const std::vector<std::string>& tools,
                                                           const std::vector<std::string>& machineTypes) {
  return {unavailableStep("The support-list check of the working directory", 101), ""};
}

}  // namespace XELO
