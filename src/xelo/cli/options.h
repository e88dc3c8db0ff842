// The one process-wide record of everything a run was asked to do, and the
// command-line parse that fills it.
#pragma once
#include <boost/program_options.hpp>
#include <iosfwd>
#include <string>
#include <vector>

namespace XELO {

// One configuration key of the media configuration file.
struct ConfigEntry {
  std::string key;
  std::string value;
  bool set = false;
};

inline constexpr const char* kProductLine = "QOR Tolvane Xelo";
inline constexpr const char* kToolVersion = "9.64.01";
inline constexpr const char* kConfigVersion = "9.64";
inline constexpr const char* kSupportListName = "SYSTEM_SUPPORT_LIST_9.64.xml";

struct Options {
  boost::program_options::variables_map variableMap;
  std::string workingDir = ".";
  std::string isoDir = ".";
  std::string isoName;
  std::string usbKey;
  std::string pxeDir;
  std::string toolZip;
  std::string configFile;
  std::string cdDevice;
  std::string mediaLabel;
  bool showHelp = false;
  bool acquire = true;
  bool tui = false;
  bool xmlOutput = false;
  bool showVersion = false;
  bool force = false;
  bool latest = false;
  std::vector<std::string> functions;
  std::vector<std::string> vmwareVersions;
  std::string autorun;
  std::string proxyAddress;
  int proxyPort = 0;
  std::string proxyUser;
  std::string proxyPassword;
  std::vector<std::string> machineTypes;
  std::vector<std::string> updateIds;
  std::string helpText;
  bool checkUpdate = false;
  unsigned int timeout = 60;
  std::vector<ConfigEntry> configEntries;
  std::string kernelArgs;
  bool noFirmware = false;
  std::vector<std::string> deployArch{"x64"};
  bool report = false;
  bool service = false;
  std::string unattended;
  std::string tftpPxeAddress;
  bool oem = false;
  bool eject = true;
  std::string configVersion = kConfigVersion;
  std::string zipInError;
  std::string extToolDir;
  bool updateHbaCna = false;
  std::string vlanId;
  std::string vlanIp;

  // The option was given on the command line.
  bool given(const char* name) const { return variableMap.count(name) != 0; }
};

// The process-wide instance.
Options& processOptions();

// Returned by parseOptions when the run is complete and the process must end
// with status 0 at once (--license, after the license was printed).
inline constexpr int kParseExitSuccess = -2;

// Parses the command line into `options` and its configuration keys.
// 0 on success; kParseExitSuccess when the process must end with status 0;
// any other value when the run must stop with code 101, `errorText` then
// holding the message for the result file (empty when none). Prints its own
// console messages; questions read words from std::cin. Never throws.
int parseOptions(char** argv, std::string& errorText, Options& options, int argc);

// "QOR Tolvane Xelo Version 9.64.01", a notice line and an empty line.
void printBanner(std::ostream& out);

// The help text: the visible option group followed by the examples.
std::string buildHelpText();

// Machine types named by the installed support list, in file order.
// False (after printing the error) when the list cannot be opened.
bool supportListMachineTypes(std::vector<std::string>& machineTypes);

}  // namespace XELO
