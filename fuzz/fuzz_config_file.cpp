// The configuration file given with --configfile: loaded into a fresh set of
// options, then the checks a run makes on the merged options.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/config.h"
#include "cli/config_file.h"
#include "cli/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = xelofuzz::sandbox() + "/fuzz.cfg";
  xelofuzz::writeBytes(path, data, size);

  XELO::Options options;
  XELO::initOptionKeys(options);
  options.functions = {"novpi"};
  if (!XELO::loadConfigFile(options, path)) return 0;
  XELO::recheckMergedOptions(options);
  XELO::checkUnattendedUrl(options);

  // What is written back for the media holds one line per key: a value read
  // from one line never spreads over several.
  const std::string text = XELO::serializeConfig(options);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (lines != options.configEntries.size()) xelofuzz::finding("a configuration value spans lines");
  return 0;
}
