#include "devices.h"

#include <nlohmann/json.hpp>
#include <set>

#include "platform.h"

namespace XELO::launchpad {
namespace {

using nlohmann::json;

std::string text(const json& node, const char* name) {
  const auto it = node.find(name);
  return it != node.end() && it->is_string() ? it->get<std::string>() : "";
}

// lsblk writes flags as booleans (newer) or "0"/"1" (older).
bool flag(const json& node, const char* name) {
  const auto it = node.find(name);
  if (it == node.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_string()) return it->get<std::string>() == "1";
  if (it->is_number_integer()) return it->get<long long>() != 0;
  return false;
}

long long size(const json& node) {
  const auto it = node.find("size");
  if (it == node.end()) return 0;
  if (it->is_number_integer()) return it->get<long long>();
  if (it->is_string()) {
    const std::string s = it->get<std::string>();
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos && s.size() < 19 ? std::stoll(s) : 0;
  }
  return 0;
}

// True when the node or any node below it is mounted where the running
// system lives.
bool holdsSystem(const json& node, int depth = 0) {
  static const std::set<std::string> systemMounts{"/", "/boot", "/boot/efi", "/usr", "[SWAP]"};
  if (depth > 16) return true;  // a listing this deep is not trusted
  for (const char* key : {"mountpoints", "mountpoint"}) {
    const auto it = node.find(key);
    if (it == node.end()) continue;
    if (it->is_string() && systemMounts.count(it->get<std::string>())) return true;
    if (it->is_array())
      for (const auto& m : *it)
        if (m.is_string() && systemMounts.count(m.get<std::string>())) return true;
  }
  const auto children = node.find("children");
  if (children != node.end() && children->is_array())
    for (const auto& child : *children)
      if (child.is_object() && holdsSystem(child, depth + 1)) return true;
  return false;
}

}  // namespace

std::vector<UsbDevice> usbDevicesFromLsblk(const std::string& listing) {
  std::vector<UsbDevice> devices;
  const json root = json::parse(listing, nullptr, false);
  if (!root.is_object() || !root.contains("blockdevices") || !root["blockdevices"].is_array()) return devices;
  for (const auto& disk : root["blockdevices"]) {
    if (!disk.is_object() || text(disk, "type") != "disk") continue;
    const bool usb = text(disk, "tran") == "usb" || flag(disk, "rm") || flag(disk, "hotplug");
    const std::string path = text(disk, "path");
    if (!usb || path.rfind("/dev/", 0) != 0 || holdsSystem(disk)) continue;
    std::string model = text(disk, "vendor");
    const std::string name = text(disk, "model");
    while (!model.empty() && model.back() == ' ') model.pop_back();
    model += (model.empty() || name.empty() ? "" : " ") + name;
    devices.push_back({path, model, size(disk)});
  }
  return devices;
}

std::vector<UsbDevice> listUsbDevices() {
  return usbDevicesFromLsblk(
      captureOutput({"lsblk", "-J", "-b", "-o", "NAME,PATH,TYPE,TRAN,RM,HOTPLUG,SIZE,VENDOR,MODEL,MOUNTPOINTS"}));
}

}  // namespace XELO::launchpad
