#include "cli/config.h"

#include <array>

namespace XELO {

namespace {

// The keys in the order in which the media configuration file lists them.
constexpr std::array<const char*, 35> kOptionKeys = {
    "QOR_SYSTEM_MACHINETYPE",        "QOR_SYSTEM_WORKINGDIR",
    "QOR_SYSTEM_TOOL_FILE",          "QOR_SYSTEM_KERNEL_ARGS",
    "QOR_SYSTEM_ACQUIRE",            "QOR_SYSTEM_CONFIG_FILE",
    "QOR_SYSTEM_FORCE_OVERWRITE",    "QOR_SYSTEM_TUI",
    "QOR_SYSTEM_LATEST",             "QOR_SYSTEM_CHECKUPDATE",
    "QOR_SYSTEM_UNATTENDED",         "QOR_SYSTEM_PAUSE_ON_ERROR",
    "QOR_SYSTEM_NO_TIMESTAMP",       "QOR_SYSTEM_FUNCTION",
    "QOR_SYSTEM_AUTORUN",            "QOR_SYSTEM_TIMEOUT",
    "QOR_SYSTEM_ISO_FILE",           "QOR_SYSTEM_PXE_FILE",
    "QOR_SYSTEM_USB_KEY",            "QOR_SYSTEM_CD",
    "QOR_SYSTEM_PROXY_USER",         "QOR_SYSTEM_PROXY_PORT",
    "QOR_SYSTEM_PROXY_ADDRESS",      "QOR_SYSTEM_MEDIALABEL",
    "QOR_SYSTEM_VMWARE_ESXI_UPDATE", "QOR_SYSTEM_NO_FIRMWARE_UPDATE",
    "QOR_SYSTEM_DEPLOY_ARCHITECTURE", "QOR_SYSTEM_PXE_TFTP_ADDRESS",
    "QOR_SYSTEM_MEDIA_EJECT",        "QOR_SYSTEM_EXT_TOOL",
    "QOR_SYSTEM_VLANID",             "QOR_SYSTEM_VLANIP",
    "QOR_SYSTEM_UPDATE_ID",          "QOR_SYSTEM_VERSION",
    "QOR_SYSTEM_UPDATE_HBACNA",
};

}  // namespace

void initOptionKeys(Options& options) {
  options.configEntries.clear();
  options.configEntries.reserve(kOptionKeys.size());
  for (const char* key : kOptionKeys) options.configEntries.push_back(ConfigEntry{key, "", false});
}

bool setConfigValue(Options& options, const std::string& key, const std::string& value) {
  for (ConfigEntry& entry : options.configEntries) {
    if (entry.key == key) {
      entry.value = value;
      entry.set = true;
      return false;
    }
  }
  return true;
}

std::string configValue(const Options& options, const std::string& key) {
  for (const ConfigEntry& entry : options.configEntries)
    if (entry.key == key) return entry.value;
  return std::string();
}

std::string serializeConfig(const Options& options) {
  std::string text;
  for (const ConfigEntry& entry : options.configEntries) {
    text += entry.key;
    text += '=';
    text += entry.value.empty() ? std::string("NULL") : entry.value;
    text += '\n';
  }
  return text;
}

}  // namespace XELO
