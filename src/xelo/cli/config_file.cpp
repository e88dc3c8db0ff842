#include "cli/config_file.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>

#include "cli/config.h"
#include "core/codes.h"
#include "core/errors.h"
#include "core/validation.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "supportlist/supportlist.h"

namespace XELO {

namespace {

// Splits a configuration line into key and value: the first "=" divides
// them, and the value ends at its first '@', '#' or '$'. False when the line
// holds no key with a non-empty value.
bool splitConfigLine(std::string line, std::string& key, std::string& value) {
  const auto equals = line.find('=');
  if (equals == std::string::npos) return false;
  line.replace(equals, 1, "@#$");
  std::vector<std::string> parts;
  std::string part;
  bool inSeparators = false;
  for (char c : line) {
    const bool separator = c == '@' || c == '#' || c == '$';
    if (separator) {
      if (!inSeparators) parts.push_back(part), part.clear();
      inSeparators = true;
    } else {
      part += c;
      inSeparators = false;
    }
  }
  parts.push_back(part);
  if (parts.size() < 2 || parts[1].empty()) return false;
  key = parts[0];
  value = parts[1];
  return true;
}

// Reads "YES"/"NO" into `flag`; "NULL" leaves it alone. False for any other value.
bool readFlag(const std::string& value, bool& flag) {
  if (value == "YES") {
    flag = true;
  } else if (value == "NO") {
    flag = false;
  } else if (value != "NULL") {
    return false;
  }
  return true;
}

// The refusal of a loaded value: printed on its own line.
bool refuse(const std::string& message) {
  std::cout << message << std::endl;
  return false;
}

// Applies one key to the options; false when the value is refused.
using KeyRule = std::function<bool(Options&, const std::string&)>;

KeyRule text(std::string Options::*field) {
  return [field](Options& o, const std::string& v) {
    if (v != "NULL") o.*field = v;
    return true;
  };
}

KeyRule flag(bool Options::*field, const std::string& key) {
  return [field, key](Options& o, const std::string& v) {
    return readFlag(v, o.*field) || refuse("Invalid value for " + key + " configuration.");
  };
}

KeyRule entryOnly() {
  return [](Options&, const std::string&) { return true; };
}

const std::vector<std::pair<std::string, KeyRule>>& keyRules() {
  static const std::vector<std::pair<std::string, KeyRule>> rules = {
      {"QOR_SYSTEM_VERSION", text(&Options::configVersion)},
      {"QOR_SYSTEM_MACHINETYPE",
       [](Options& o, const std::string& v) {
         if (v != "NULL") {
           o.machineTypes = splitList(v);
         } else {
           logEntry(LogVerbose, "No machine type specified in config file, use \"all\" as the default value.");
           o.machineTypes = {"all"};
         }
         return true;
       }},
      {"QOR_SYSTEM_WORKINGDIR",
       [](Options& o, const std::string& v) {
         if (v != "NULL") o.workingDir = undoubleSeparators(v);
         return true;
       }},
      {"QOR_SYSTEM_TOOL_FILE", text(&Options::toolZip)},
      {"QOR_SYSTEM_KERNEL_ARGS", text(&Options::kernelArgs)},
      {"QOR_SYSTEM_UNATTENDED", text(&Options::unattended)},
      {"QOR_SYSTEM_PAUSE_ON_ERROR", entryOnly()},
      {"QOR_SYSTEM_NO_TIMESTAMP", entryOnly()},
      {"QOR_SYSTEM_ACQUIRE", flag(&Options::acquire, "QOR_SYSTEM_ACQUIRE")},
      {"QOR_SYSTEM_MEDIA_EJECT", flag(&Options::eject, "QOR_SYSTEM_MEDIA_EJECT")},
      {"QOR_SYSTEM_TUI", flag(&Options::tui, "QOR_SYSTEM_TUI")},
      {"QOR_SYSTEM_TIMEOUT",
       [](Options& o, const std::string& v) {
         if (v != "NULL") o.timeout = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
         return true;
       }},
      {"QOR_SYSTEM_LATEST", flag(&Options::latest, "QOR_SYSTEM_LATEST")},
      {"QOR_SYSTEM_FUNCTION",
       [](Options& o, const std::string& v) {
         if (v != "NULL") o.functions = splitList(v);
         return true;
       }},
      {"QOR_SYSTEM_AUTORUN", entryOnly()},
      {"QOR_SYSTEM_ISO_FILE",
       [](Options& o, const std::string& v) {
         if (v == "NULL") return true;
         const auto at = lastSeparator(v);
         if (at == std::string::npos) {
           // A bare file name lies in the working directory, as on the
           // command line; the directory is settled when the load ends.
           o.isoDir.clear();
           o.isoName = v;
         } else {
           o.isoDir = v.substr(0, at);
           o.isoName = v.substr(at + 1);
         }
         return true;
       }},
      {"QOR_SYSTEM_PXE_FILE", text(&Options::pxeDir)},
      {"QOR_SYSTEM_PXE_TFTP_ADDRESS", text(&Options::tftpPxeAddress)},
      {"QOR_SYSTEM_USB_KEY", text(&Options::usbKey)},
      {"QOR_SYSTEM_CD", text(&Options::cdDevice)},
      {"QOR_SYSTEM_PROXY_USER", text(&Options::proxyUser)},
      {"QOR_SYSTEM_PROXY_PORT",
       [](Options& o, const std::string& v) {
         if (v != "NULL") o.proxyPort = std::atoi(v.c_str());
         return true;
       }},
      {"QOR_SYSTEM_PROXY_ADDRESS", text(&Options::proxyAddress)},
      {"QOR_SYSTEM_MEDIALABEL", text(&Options::mediaLabel)},
      {"QOR_SYSTEM_FORCE_OVERWRITE", flag(&Options::force, "QOR_SYSTEM_FORCE_OVERWRITE")},
      {"QOR_SYSTEM_VMWARE_ESXI_UPDATE",
       [](Options& o, const std::string& v) {
         if (v == "NULL") return true;
         if (o.hasFunction("dunvar"))
           return refuse("Error: Specified --vmware-esxi-update when creating a dunvar media");
         if (!o.hasFunction("novpi"))
           return refuse("Error: The option vmware-esxi-update doesn't work unless novpi is enabled");
         auto versions = splitList(v);
         if (versions.size() > 1) return refuse("Error: Please specify only one version of VMWare Update.");
         o.vmwareVersions = versions;
         return true;
       }},
      {"QOR_SYSTEM_NO_FIRMWARE_UPDATE",
       [](Options& o, const std::string& v) {
         if (v == "YES" && !o.hasFunction("dunvar"))
           return refuse("Error: Selected to create a MCP image but specified --no-firmware.");
         return readFlag(v, o.noFirmware) || refuse("Invalid value for QOR_SYSTEM_NO_FIRMWARE_UPDATE configuration.");
       }},
      {"QOR_SYSTEM_DEPLOY_ARCHITECTURE",
       [](Options& o, const std::string& v) {
         if (v == "NULL") return true;
         auto arch = splitList(v);
         if (o.hasFunction("dunvar") && (arch.size() > 1 || (arch[0] != "x86" && arch[0] != "x64")))
           return refuse("Error: The valid values for arch option is \"x86\" or \"x64\".");
         o.deployArch = arch;
         return true;
       }},
  };
  return rules;
}

}  // namespace

bool loadConfigFile(Options& options, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cout << "loading config file failed. Please check the file " << path << std::endl;
    return false;
  }
  bool taken = false;
  bool versionGiven = false;
  bool isoGiven = false;
  std::string line;
  while (std::getline(in, line)) {
    // Files written on Windows end their lines with a carriage return.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string key, value;
    if (!splitConfigLine(line, key, value)) continue;
    const auto& rules = keyRules();
    auto rule = std::find_if(rules.begin(), rules.end(), [&](const auto& r) { return r.first == key; });
    if (rule == rules.end()) continue;
    if (!rule->second(options, value)) return false;
    setConfigValue(options, key, value);
    taken = true;
    if (key == "QOR_SYSTEM_VERSION" && value != "NULL") versionGiven = true;
    if (key == "QOR_SYSTEM_ISO_FILE" && value != "NULL") isoGiven = true;
  }
  if (isoGiven && options.isoDir.empty()) options.isoDir = options.workingDir;
  if (!versionGiven) options.configVersion = "1.x";
  return taken;
}

bool writeMediaConfig(const Options& options) {
  std::ofstream out(joinPath(options.workingDir, "xelo.config"), std::ios::binary | std::ios::trunc);
  if (!out) return true;
  out << serializeConfig(options);
  for (const auto& [function, key] :
       {std::pair{"novpi", "QOR_SYSTEM_MT_NOVPI"}, std::pair{"kyt", "QOR_SYSTEM_MT_KYT"}}) {
    if (!options.hasFunction(function)) continue;
    const std::string types = joinList(supportedMachineTypes(function));
    out << key << "=" << (types.empty() ? "NULL" : types) << "\n";
  }
  out.close();
  return false;
}

std::string resolvePortablePath(const std::string& execDir, const std::string& path) {
  if (execDir.empty() || isAbsolutePath(path)) return path;
  std::string rest = path;
  if (!rest.empty() && rest[0] == '.') rest = rest.size() > 2 ? rest.substr(2) : std::string();
  return rest.empty() ? execDir : joinPath(execDir, rest);
}

namespace {

int refuseMerged(const std::string& word) {
  const std::string text = errorMessage(Exit::OptionsInvalid) + word;
  logEntry(LogError, "main()::Options::" + text);
  writeCliError(Exit::OptionsInvalid, text, Step::None);
  return Exit::OptionsInvalid;
}

}  // namespace

int recheckMergedOptions(Options& options) {
  for (const auto& name : options.functions) {
    if (!isFunctionName(name)) {
      std::cout << "Error: The function \"" << name << "\" you specified is not supported!" << std::endl;
      return refuseMerged("invalid function");
    }
  }
  options.functions = withoutDuplicates(options.functions);

  std::vector<std::string> machineTypes;
  for (const auto& value : options.machineTypes) {
    if (value == "NULL") continue;
    if (!isMachineType(value)) {
      std::cout << "Error: The machine type \"" << value << "\" you specified is invalid!" << std::endl;
      return refuseMerged("invalid machine type");
    }
    machineTypes.push_back(value);
  }
  options.machineTypes = machineTypes;

  if (!checkSerialConsole(options.kernelArgs)) {
    printSolLines();
    return refuseMerged("invalid SOL configuration");
  }
  if (const std::string refusal = kernelArgsLengthRefusal(options.kernelArgs, options.tftpPxeAddress);
      !refusal.empty()) {
    std::cout << refusal << std::endl;
    return refuseMerged("kernel-args too long");
  }
  return 0;
}

namespace {

// Which of the known locations the --unattended value names: "" when exactly
// one, else the refusal.
std::string unattendedRefusal(const Options& options) {
  if (options.functions != std::vector<std::string>{"novpi"})
    return "Only Updates(novpi) supports unattended mode in current release";
  const std::string& url = options.unattended;
  int markers = 0;
  if (url.find("tftp://") != std::string::npos || url.find("ftp://") != std::string::npos) ++markers;
  for (const char* marker : {"nfs://", "smb://", "usb:/"})
    if (url.find(marker) != std::string::npos) ++markers;
  if (markers > 1) return "More than one location specified in the --unattended option";
  if (markers == 0) return "Invalid location specified in the --unattended option";
  return "";
}

}  // namespace

int checkUnattendedUrl(Options& options) {
  if (options.unattended.empty()) return 0;
  const std::string message = unattendedRefusal(options);
  if (message.empty()) return 0;
  logEntry(LogError, "main()::Options::invalid unattended mode configuration:" + message);
  std::cout << "ERROR: Options: " << message << std::endl
            << "Valid format: --function=novpi --unattended=protocol://address/directory" << std::endl
            << "Examples: " << std::endl;
  for (const char* protocol : {"tftp", "ftp", "nfs", "smb"})
    std::cout << "    --unattended=" << protocol << "://192.0.2.10/logdir" << std::endl;
  std::cout << "    --unattended=usb:/logdir" << std::endl;
  writeCliError(Exit::OptionsInvalid, message + "invalid unattended mode configuration", Step::None);
  return Exit::OptionsInvalid;
}

}  // namespace XELO
