// The system support list: the input is the working list, read by every
// reader and check that looks at it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz_support.h"
#include "host/host.h"
#include "supportlist/supportlist.h"
#include "supportlist/supportlist_actions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool prepared = (xelofuzz::sandbox(), std::filesystem::create_directories(XELO::supportListDirectory()), true);
  (void)prepared;
  xelofuzz::writeBytes(XELO::workingSupportListPath(), data, size);

  for (const char* tool : {"novpi", "kyt", "dunvar"}) {
    const auto column = XELO::readToolColumn(tool);
    for (const auto& type : XELO::supportedMachineTypes(tool)) {
      const auto it = column.find(type);
      if (it == column.end() || it->second != "yes") xelofuzz::finding("supported type not in its column");
    }
  }
  for (const auto& version : XELO::listVmwareUpdateVersions()) {
    XELO::readToolColumn("vmwareupdate" + version);
    XELO::toolKeyForPackage("qor_fw_esxi_" + version);
  }
  std::vector<std::string> types;
  XELO::supportListMachineTypes(types);
  XELO::showSupportList(XELO::Options());
  XELO::checkSelectedSystems({"novpi", "kyt", "vmwareupdate5.0"}, {"7101", "7845"});
  if (!types.empty()) {
    XELO::checkSelectedSystems({"novpi", "kyt"}, {types.front()});
    XELO::mergeFamilyName(types.front(), types.back());
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  XELO::setXmlElementText(text, "novpi", "yes");
  XELO::mergeFamilyName(text, text.substr(text.size() / 2));
  XELO::toolKeyForPackage(text);
  return 0;
}
