#include "supportlist/supportlist_actions.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>

#include "core/codes.h"
#include "core/errors.h"
#include "core/text.h"
#include "acquisition/callbacks.h"
#include "acquisition/service.h"
#include "downloadmanager.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "metadata/descriptors.h"
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

}  // namespace

std::pair<SupportListAction, std::string> supportListAction(const Options& options) {
  using Action = SupportListAction;
  const bool show = options.given("show-supportlist");
  const bool update = options.given("update-supportlist");
  const bool rollback = options.given("rollback-supportlist");
  if (update && rollback)
    return {Action::UpdateAndRollback,
            "\"update-supportlist\" and \"rollback-supportlist\" should be specified exclusively."};
  if (show && update) return {Action::UpdateAndShow, ""};
  if (show && rollback) return {Action::RollbackAndShow, ""};
  if (update) return {Action::Update, ""};
  if (rollback) return {Action::Rollback, ""};
  if (show) return {Action::Show, ""};
  return {Action::None, "Unknown Operation: No operation on system support list performed."};
}

std::string toolListDirectory() { return joinPath(supportListDirectory(), "toollists"); }

void clearAcquiredToolPackages() {
  removeTree(toolListDirectory());
  std::vector<std::string> names;
  const std::string dir = supportListDirectory();
  listDirectory(dir, names);
  for (const auto& name : names)
    if (name.starts_with("qor_utl_")) deleteFile(joinPath(dir, name));
}

std::string supportListResultPath() { return joinPath(supportListDirectory(), "supportlist_ac_result.xml"); }

void writeSupportListResult(const std::string& word) {
  // Replaced whole, so that the front end never reads a half-written file.
  replaceFileContents(supportListResultPath(), "<?xml version=\"1.0\" ?>\n<root>\n<result>" + word + "</result>\n</root>");
}

void clearSupportListResult() { deleteFile(supportListResultPath()); }

bool rollbackSupportList(const Options& options) {
  if (options.xmlOutput) clearSupportListResult();
  makeDirectory(supportListDirectory());
  // The shipped list is read whole and written beside the working list,
  // which it replaces only once complete: a full disk leaves the old list.
  std::ifstream shipped(kSupportListName, std::ios::binary);
  std::ostringstream text;
  text << shipped.rdbuf();
  const bool copied = shipped.is_open() && replaceFileContents(workingSupportListPath(), text.str());
  writeSupportListResult(copied ? "SUCCESS" : "FAIL");
  return copied;
}

bool showSupportList(const Options& options) {
  std::ifstream in(workingSupportListPath());
  if (!in) {
    std::cout << "localFile not existed, rollback first" << std::endl;
    rollbackSupportList(options);
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

namespace {

struct ToolListPackage {
  const char* id;
  const char* prefix;
  const char* suffix;
};

// The tools' own lists in the repository, and how a list published under a
// newer package id is still recognised.
const ToolListPackage kToolLists[] = {
    {"qor_utl_dnxelo_9.63_windows_32-64", "qor_utl_dnxelo_", "_windows_32-64"},
    {"qor_utl_kyt_961cp_anyos_x86-64", "qor_utl_kyt_", "cp_anyos_i386"},
    {"qor_utl_novpi_9.63_anyos_x86-64", "qor_utl_novpi_", "_anyos_x86-64"},
};

const std::string kDefaultTools = "<kyt>no</kyt><novpi>no</novpi><dunvar>no</dunvar>";

bool endsWithXml(const std::string& name) { return boost::algorithm::iends_with(name, ".xml"); }

// Collects the descriptors of the tool list packages as they arrive.
class SupportListResultBuilder : public QYXAcquistion::AcquireCallbackIfc {
  using Message = QYXAcquistion::AcquireMessage;

 public:
  explicit SupportListResultBuilder(bool gui) : gui(gui) {}
  // A failure is only logged: a tool list that did not arrive is found
  // missing by its descriptor.
  void sendInfo(int messageId, std::string text, int /*code*/) override {
    const auto pieces = messageFields(text);
    std::string items;
    for (std::size_t i = 0; i < pieces.size(); ++i) items += "\nitem[" + std::to_string(i) + "]=" + pieces[i];
    logEntry(LogVerbose, items);
    const std::string lead = gui ? "" : "\n";
    switch (messageId) {
      case Message::FileStarted:
        logEntry(LogVerbose, lead + "File download started");
        break;
      case Message::FileHandled:
      case Message::FilePresent:
        if (pieces.size() >= 2 && endsWithXml(pieces[1])) xmlFiles[pieces[0]] = pieces[1];
        logEntry(LogVerbose, lead + (messageId == Message::FileHandled ? "Done: " : "Already Downloaded: ") +
                                 (pieces.size() >= 2 ? pieces[1] : std::string()));
        break;
      case Message::Warning:
        logEntry(LogTimeStamp, "There is a warning: " + text);
        if (!gui) std::cout << "There is a warning: " << text << std::endl;
        break;
      case Message::Error:
        logEntry(LogVerbose, text);
        break;
      case Message::FilesEnded:
        logEntry(LogVerbose, lead + "File download ended");
        break;
      default:
        logEntry(LogVerbose, (gui ? "Unexpected State occured : " : "Unexpected State returned, just ignore : ") +
                                 std::to_string(messageId));
        break;
    }
  }

  std::map<std::string, std::string> xmlFiles;  // package id -> descriptor name

 private:
  bool gui;
};

// Downloads the tool list packages and finds each tool's descriptor.
// `toolLists` maps each package id to the path of its descriptor.
bool acquireLists(const Options& options, std::map<std::string, std::string>& toolLists) {
  SupportListResultBuilder callback(options.xmlOutput);
  for (const auto& entry : toolLists) callback.xmlFiles[entry.first] = "";

  QYXAcquistion::DownloadManager manager;
  ensureDirectory(toolListDirectory());
  manager.setDownloadPath(toolListDirectory());
  manager.setIsLatest(true);
  manager.setIncludeData(false);
  manager.setIncludeMetaData(true);
  manager.setSubjectVersion("Xelo");
  const auto& proxy = runProxyRecord();
  if (!proxy.host.empty() && proxy.port != 0) manager.setProxy(proxy);
  std::vector<std::string> ids;
  for (const auto& entry : callback.xmlFiles) ids.push_back(entry.first);
  manager.setFixIds(ids);

  useTestServiceProvider();
  manager.startDownload(callback);
  restoreProductionServiceProvider();

  std::string listing = "builderTools:";
  for (const auto& [id, file] : callback.xmlFiles) listing += "fixId:" + id + " | xmlFileName:" + file + "\n";
  listing += "tools:\n";
  for (const auto& [id, path] : toolLists) listing += "fixId:" + id + " | xmlFileName:" + path + "\n";
  logEntry(LogVerbose, listing + "detecting:\n");

  bool allFound = true;
  for (auto& [id, path] : toolLists) {
    const auto exact = callback.xmlFiles.find(id);
    if (exact != callback.xmlFiles.end() && !exact->second.empty()) {
      path += exact->second;
      continue;
    }
    logEntry(LogVerbose, "No accurate fixid matched for " + id);
    const ToolListPackage* tool = nullptr;
    for (const auto& candidate : kToolLists)
      if (id == candidate.id) tool = &candidate;
    if (tool == nullptr || toolKeyForPackage(id).empty()) {
      logEntry(LogVerbose, "No tool name found for " + id);
      logEntry(LogVerbose, "xml not found for " + id);
      allFound = false;
      continue;
    }
    bool matched = false;
    for (const auto& [otherId, file] : callback.xmlFiles) {
      if (!otherId.starts_with(tool->prefix) || !contains(otherId, tool->suffix) || file.empty())
        continue;
      logEntry(LogVerbose, "dynamically found fixid=" + otherId);
      logEntry(LogVerbose, "xml name=" + file);
      path += file;
      matched = true;
      break;
    }
    if (!matched) {
      logEntry(LogVerbose, "xml for " + id + " not found with *fix matching algorithm");
      return false;
    }
  }
  return allFound;
}

// The family names of the shipped list, by machine type.
std::map<std::string, std::string> shippedFamilyNames() {
  std::map<std::string, std::string> names;
  std::ifstream in(kSupportListName);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("<system>") == std::string::npos) continue;
    const auto at = line.find("<machineType>");
    if (at == std::string::npos) continue;
    names.emplace(line.substr(at + 13, 4), between(line, "<xname>", "</xname>"));
  }
  return names;
}

// Rebuilds the working list from the tools' lists. It is written only when
// every list was read: a list made from some of them would mark the systems
// of the others unsupported, and later runs would be refused for them.
bool generateXMLForAllLists(const std::map<std::string, std::string>& toolLists) {
  auto familyNames = shippedFamilyNames();
  std::map<std::string, std::string> flags;
  bool ok = true;
  for (const auto& [id, path] : toolLists) {
    const std::string toolKey = toolKeyForPackage(id);
    if (!isRegularFile(path) || !fileReadable(path)) {
      logEntry(LogVerbose, "faile to open " + path + " for " + toolKey);
      ok = false;
      break;
    }
    bool found = false;
    const auto elements = readArrayProperty(path, "applicableMachineTypes", &found);
    if (!found || elements.empty()) {
      logEntry(LogVerbose, "No applicableMachineTypes found");
      ok = false;
      break;
    }
    for (const auto& element : elements) {
      const auto bracket = element.find("-[");
      if (bracket == std::string::npos || element.size() < bracket + 6) continue;
      const std::string family = element.substr(0, bracket);
      const std::string machineType = element.substr(bracket + 2, 4);
      auto known = familyNames.find(machineType);
      if (known == familyNames.end())
        familyNames.emplace(machineType, family);
      else
        known->second = mergeFamilyName(known->second, family);
      auto entry = flags.emplace(machineType, kDefaultTools).first;
      entry->second = setXmlElementText(entry->second, toolKey, "yes");
    }
  }
  std::string text = "<?xml version=\"1.0\" ?>\n<root>\n";
  for (const auto& [machineType, tools] : flags)
    text += "<system><xname>" + familyNames[machineType] + "</xname><machineType>" + machineType +
            "</machineType>" + tools + "</system>\n";
  text += "</root>";
  if (!ok) {
    logEntry(LogWarning, "The working support list is kept as it was: not every tool list could be read");
    return false;
  }
  makeDirectory(supportListDirectory());
  return replaceFileContents(workingSupportListPath(), text);
}

}  // namespace

bool updateSupportList(const Options& options) {
  const bool xmlMode = options.xmlOutput;
  if (xmlMode) clearSupportListResult();
  std::map<std::string, std::string> toolLists;
  for (const auto& tool : kToolLists) toolLists[tool.id] = joinPath(toolListDirectory(), "");
  const bool acquired = acquireLists(options, toolLists);
  logEntry(LogVerbose, acquired ? "acquireLists succeeded" : "acquireLists failed");
  const bool generated = acquired && generateXMLForAllLists(toolLists);
  logEntry(LogVerbose, generated ? "generateXMLForAllLists succeeded" : "generateXMLForAllLists failed");
  if (xmlMode) writeSupportListResult(generated ? "SUCCESS" : "FAIL");
  return generated;
}

namespace {

// What an action ends with: the exit status and the text of the record.
struct ActionOutcome {
  int status;
  std::string text;
};

ActionOutcome showOutcome(const Options& options, const std::string& done) {
  const std::string shown = "System support list displayed on console successfully";
  const std::string notShown = "System support list display on console failed";
  if (showSupportList(options)) return {Exit::Success, done.empty() ? shown : done + "\n" + shown};
  return {Exit::SupportListFailed, done.empty() ? notShown : done + "\n" + notShown};
}

// An update or a rollback that was `done` or not, with the list shown after
// it when asked for.
ActionOutcome changeOutcome(const Options& options, bool done, const std::string& doneText,
                            const std::string& failedText, bool showAfter) {
  if (done && showAfter) {
    std::cout << doneText << std::endl;
    return showOutcome(options, doneText);
  }
  const ActionOutcome outcome = done ? ActionOutcome{Exit::Success, doneText}
                                     : ActionOutcome{Exit::SupportListFailed, failedText};
  std::cout << outcome.text << std::endl;
  return outcome;
}

ActionOutcome performAction(const Options& options, SupportListAction action, const std::string& message) {
  using Action = SupportListAction;
  switch (action) {
    case Action::UpdateAndRollback:
      std::cout << message << std::endl;
      return {Exit::OptionsInvalid, message};
    case Action::Show:
      return showOutcome(options, "");
    case Action::Update:
    case Action::UpdateAndShow:
      std::cout << "Updating system support list now, please wait..." << std::endl;
      return changeOutcome(options, updateSupportList(options), "System support list updated successfully",
                           "System support list update failed", action == Action::UpdateAndShow);
    case Action::Rollback:
    case Action::RollbackAndShow:
      std::cout << "Rolling back system support list now, please wait..." << std::endl;
      return changeOutcome(options, rollbackSupportList(options), "System support list rolled back successfully",
                           "System support list rollback failed", action == Action::RollbackAndShow);
    case Action::None:
      break;
  }
  return {Exit::SupportListFailed, message};
}

}  // namespace

int runSupportListAction(const Options& options, SupportListAction action, const std::string& message) {
  const auto [result, text] = performAction(options, action, message);
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
  if (id == "qor_utl_kyt_961cp_anyos_x86-64" || id.starts_with("qor_utl_kyt_")) return "kyt";
  if (id == "qor_utl_novpi_9.63_anyos_x86-64" || id.starts_with("qor_utl_novpi_")) return "novpi";
  if (id == "qor_utl_dnxelo_9.63_windows_32-64" || id.starts_with("qor_utl_dnxelo_")) return "dunvar";
  if (contains(id, "esxi")) {
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
  // Only the working list decides; without one, nothing is refused.
  const auto column = readToolColumn(toolKey, false);
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
    const std::string u = upperCase(type);
    if (u == "ALL" || u.empty() || u == "NULL") return {0, ""};
  }
  int result = 0;
  std::string message = kNoneSupported;
  for (const auto& tool : tools) {
    if (!toolSupportsSelection(tool, machineTypes)) {
      result = Exit::OptionsInvalid;
      message += "\n" + tool;
    }
  }
  return {result, message + kUpdateHint};
}

std::pair<int, std::string> checkLocalSystemSupportability(const std::vector<std::string>& tools,
                                                           const std::vector<std::string>& machineTypes) {
  const bool updates = contains(tools, "novpi");
  if (updates && std::all_of(machineTypes.begin(), machineTypes.end(),
                             [](const std::string& type) { return filesForMachineType(type).empty(); })) {
    const std::string message = "No applicable updates found in the working directory you specified";
    logEntry(LogError, "checkLocalSystemSupportability()::" + message);
    std::cout << message << std::endl;
    if (confirmContinue()) {
      logEntry(LogError, "user confirms to continue");
      return {0, message};
    }
    logEntry(LogError, "user confirms to stop");
    return {Exit::NoNovpiUpdates, message};
  }
  if (machineTypes.empty() || machineTypes.front() == "all" || machineTypes.front() == "NULL") return {0, ""};
  int result = 0;
  std::string message = kNoneSupported;
  for (const auto& tool : tools) {
    const bool tested = tool == "kyt" || tool == "novpi" || contains(tool, "vmwareupdate");
    if (tested && !toolSupportsSelection(tool, machineTypes)) {
      result = Exit::OptionsInvalid;
      message += "\n" + tool;
    }
  }
  return {result, message + kUpdateHint};
}

}  // namespace XELO
