// The record of everything a run was asked to do: filled once by the
// command-line parse, owned by the run driver, and handed to each subsystem.
#pragma once
#include <algorithm>
#include <boost/program_options.hpp>
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
// The package id of the running version in the update repository.
inline constexpr const char* kSelfPackageId = "qor_utl_xelo_9.64_windows_i386";
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
  std::string progressJson;  // where progress events go as JSON lines ("-": standard error)
  bool verify = false;  // read the medium back after writing and compare it with what was staged
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
  // The function list holds `name`.
  bool hasFunction(const std::string& name) const {
    return std::find(functions.begin(), functions.end(), name) != functions.end();
  }
};

}  // namespace XELO
