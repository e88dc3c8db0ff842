// The command line: argument vectors made of the input's NUL-separated parts.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/config.h"
#include "cli/options.h"
#include "core/validation.h"
#include "fuzz_support.h"
#include "host/host.h"

namespace {

constexpr std::size_t kMaxArguments = 48;

void installSupportList() {
  std::filesystem::create_directories(XELO::supportListDirectory());
  std::ofstream(XELO::supportListDirectory() + "/" + XELO::kSupportListName)
      << "<?xml version=\"1.0\" ?>\n<root>\n"
         "<system><xname>A</xname><machineType>7101</machineType><kyt>yes</kyt><novpi>yes</novpi>"
         "<dunvar>no</dunvar><vmwareupdate5.0>yes</vmwareupdate5.0></system>\n"
         "<system><xname>B</xname><machineType>7845</machineType><novpi>yes</novpi></system>\n</root>\n";
}

// Options that name a drive to open (--cd, --usbkey) are left out: their
// values would reach devices of the machine running the fuzzer.
bool namesDevice(const std::string& argument) {
  return argument.rfind("--cd", 0) == 0 || argument.rfind("--usbkey", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool prepared = (xelofuzz::sandbox(), installSupportList(), true);
  (void)prepared;

  std::vector<std::string> args{"xelo"};
  for (auto& part : xelofuzz::splitAtNul(data, size)) {
    if (args.size() > kMaxArguments) break;
    if (!namesDevice(part)) args.push_back(std::move(part));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The working-directory question reads one word.
  std::istringstream answer("y\n");
  auto* oldIn = std::cin.rdbuf(answer.rdbuf());
  std::cin.clear();

  XELO::Options options;
  XELO::initOptionKeys(options);
  std::string errorText;
  const int rc = XELO::parseOptions(argv.data(), errorText, options, static_cast<int>(args.size()));
  std::cin.rdbuf(oldIn);
  std::cin.clear();

  if (rc != 0 && rc != 1 && rc != XELO::kParseExitSuccess) xelofuzz::finding("unexpected parse result");
  if (rc != 0) return 0;
  // An accepted command line leaves options a run can use.
  if (options.timeout < 1 || options.timeout > 65535) xelofuzz::finding("timeout out of range");
  for (const auto& name : options.functions)
    if (!XELO::isFunctionName(name)) xelofuzz::finding("function accepted: " + name);
  if (options.given("machine-type"))
    for (const auto& type : options.machineTypes)
      if (!XELO::isMachineType(type)) xelofuzz::finding("machine type accepted: " + type);
  return 0;
}
