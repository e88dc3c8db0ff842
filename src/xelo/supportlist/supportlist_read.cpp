#include <fstream>

#include "host/host.h"
#include "host/paths.h"
#include "supportlist/supportlist.h"
#include "core/options.h"

namespace XELO {

std::string workingSupportListPath() { return joinPath(supportListDirectory(), kSupportListName); }

namespace {

// The working list; before the first update or rollback made one, the list
// shipped beside the program (the current directory during a run).
std::ifstream openSupportList(bool orShipped = true) {
  std::ifstream in(workingSupportListPath());
  if (!in && orShipped) in.open(kSupportListName);
  return in;
}

}  // namespace

std::map<std::string, std::string> readToolColumn(const std::string& toolKey, bool orShipped) {
  std::map<std::string, std::string> column;
  std::ifstream in = openSupportList(orShipped);
  const std::string open = "<" + toolKey + ">";
  const std::string close = "</" + toolKey + ">";
  const std::string typeTag = "<machineType>";
  std::string line;
  while (std::getline(in, line)) {
    auto at = line.find(open);
    if (at == std::string::npos) continue;
    auto valueStart = at + open.size();
    auto valueEnd = line.find(close, valueStart);
    std::string value = line.substr(valueStart, valueEnd == std::string::npos ? std::string::npos
                                                                              : valueEnd - valueStart);
    auto typeAt = line.find(typeTag);
    if (typeAt == std::string::npos) continue;
    std::string machineType = line.substr(typeAt + typeTag.size(), 4);
    column.emplace(machineType, value);
  }
  return column;
}

std::vector<std::string> supportedMachineTypes(const std::string& toolKey) {
  std::vector<std::string> types;
  for (const auto& [machineType, flag] : readToolColumn(toolKey))
    if (flag == "yes") types.push_back(machineType);
  return types;
}

std::vector<std::string> listVmwareUpdateVersions() {
  std::vector<std::string> versions;
  std::ifstream in = openSupportList();
  const std::string tag = "<vmwareupdate";
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("<system>") == std::string::npos || line.find("</system>") == std::string::npos)
      continue;
    // Each opening tag names one version in the three characters after it;
    // closing tags ("</vmwareupdate...") are not openings and are passed by.
    std::string::size_type from = 0;
    while ((from = line.find(tag, from)) != std::string::npos) {
      from += tag.size();
      versions.push_back(line.substr(from, 3));
    }
  }
  return versions;
}

}  // namespace XELO
