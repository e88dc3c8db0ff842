// Update descriptors: the input is one descriptor, read by every reader and
// indexed (as an update and as an update pack) together with the files it
// names.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz_support.h"
#include "host/host.h"
#include "host/paths.h"
#include "metadata/descriptors.h"

namespace {

const char* const kUpdateName = "qor_fw_bmc_1.40_linux.xml";
const char* const kPackName = "qor_utl_novp_7101-1.10_anyos_noarch.xml";

// A name the fuzzer may create in the working directory: plain letters,
// digits and ".-_", not "." or "..".
bool creatable(const std::string& name) {
  if (name.empty() || name.size() > 100 || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_';
  });
}

void checkIndex(const XELO::DescriptorIndex& index, const std::string& work) {
  for (const auto& type : {std::string("all"), std::string("7101"), std::string("NULL")}) {
    XELO::updatesForMachineType(index, type);
    XELO::filesForMachineTypeNoFirmware(index, type);
    for (const auto& file : XELO::filesForMachineType(index, type)) {
      // Files of the index are names in the working directory, whatever the descriptor says.
      if (file.find('/') != std::string::npos || file.find('\\') != std::string::npos || file == "..")
        xelofuzz::finding("indexed file is not a plain name: " + file);
      if (!XELO::isRegularFile(XELO::joinPath(work, file))) xelofuzz::finding("indexed file missing: " + file);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string work = xelofuzz::sandbox() + "/work";
  xelofuzz::freshDirectory(work);
  const std::string update = XELO::joinPath(work, kUpdateName);
  const std::string pack = XELO::joinPath(work, kPackName);
  xelofuzz::writeBytes(update, data, size);
  xelofuzz::writeBytes(pack, data, size);

  // The files the descriptor names are there, so the index takes them.
  for (const char* property : {"payload", "readme", "readmeFilename", "xmlFilename", "changeHistoryFilename",
                               "revisionHistoryFile"}) {
    const std::string name = XELO::readDescriptorProperty(update, property);
    if (creatable(name) && !XELO::pathExists(XELO::joinPath(work, name)))
      std::ofstream(XELO::joinPath(work, name)) << "x";
  }

  XELO::readMachineTypeArray(update);
  XELO::readArrayProperty(update, "applicableOperatingSystems");
  XELO::getDescriptorOsClass(update);
  XELO::readDescriptorRequisites(update);
  XELO::collectRequisites(work, {kUpdateName, kPackName});

  XELO::Options options;
  options.workingDir = work;
  options.machineTypes = {"7101"};
  for (const char* function : {"novpi", "dunvar"}) {
    options.functions = {function};
    XELO::DescriptorIndex index;
    XELO::indexUpdateDescriptors(index, options);
    checkIndex(index, work);
    XELO::getUpdateFiles(index, kUpdateName);
    XELO::getUpdateFiles(index, kPackName);
  }
  return 0;
}
