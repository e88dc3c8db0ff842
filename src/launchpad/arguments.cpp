#include "arguments.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace XELO::launchpad {
namespace {

constexpr std::size_t kMaxText = 4096;
constexpr std::size_t kMaxKernelArgs = 1900;  // the program checks the exact limit
const std::set<std::string> kFunctions{"novpi", "kyt", "dunvar", "linuxtk"};

bool hasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

// An absolute path without control characters or "." / ".." steps.
bool plainAbsolutePath(const std::string& path) {
  if (path.empty() || path.front() != '/' || path.size() > kMaxText || hasControl(path)) return false;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string step = path.substr(pos, end - pos);
    if (step == "." || step == "..") return false;
    pos = end + 1;
  }
  return true;
}

// A host name, IPv4 or IPv6 address: letters, digits, '.', '-', ':', not
// beginning with '-'.
bool hostText(const std::string& host) {
  if (host.empty() || host.size() > 253 || host.front() == '-') return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
  });
}

bool machineType(const std::string& mt) {
  return mt.size() == 4 && std::all_of(mt.begin(), mt.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

std::string checkSelection(const RunRequest& r) {
  if (r.machineTypes.empty()) return "Choose at least one machine type.";
  if (r.machineTypes.size() > 64) return "Too many machine types.";
  for (const auto& mt : r.machineTypes)
    if (!machineType(mt)) return "A machine type is 4 digits.";
  if (r.functions.empty()) return "Choose at least one function.";
  std::set<std::string> seen;
  for (const auto& f : r.functions)
    if (!kFunctions.count(f) || !seen.insert(f).second) return "Unknown or repeated function.";
  return "";
}

std::string checkMedium(const RunRequest& r, const std::set<std::string>& usbDevices) {
  if (r.medium == "iso" || r.medium == "pxe" || r.medium == "cd") {
    if (!plainAbsolutePath(r.target)) return "The target must be an absolute path.";
  } else if (r.medium == "usb") {
    if (!usbDevices.count(r.target)) return "The USB key must be one of the listed removable disks.";
  } else {
    return "Choose a medium.";
  }
  if (!r.tftpAddress.empty() && (r.medium != "pxe" || !hostText(r.tftpAddress)))
    return "The TFTP address is a host name or an IP address, for a PXE directory.";
  return "";
}

std::string checkTexts(const RunRequest& r) {
  for (const std::string* text : {&r.description, &r.proxyUser, &r.proxyPassword})
    if (text->size() > kMaxText || hasControl(*text)) return "Texts may not hold control characters.";
  if (r.kernelArgs.size() > kMaxKernelArgs || hasControl(r.kernelArgs))
    return "The kernel arguments are too long or hold control characters.";
  if (!r.autorun.empty() && r.autorun != "none" &&
      std::find(r.functions.begin(), r.functions.end(), r.autorun) == r.functions.end())
    return "Autorun names one of the chosen functions, or none.";
  if (r.timeout < 0 || r.timeout > 65535) return "The timeout is 1 to 65535 seconds.";
  if (r.proxyAddress.empty() != (r.proxyPort == 0)) return "A proxy needs both an address and a port.";
  if (!r.proxyAddress.empty() && (!hostText(r.proxyAddress) || r.proxyPort < 1 || r.proxyPort > 65535))
    return "The proxy address or port is not valid.";
  if (r.proxyAddress.empty() && (!r.proxyUser.empty() || !r.proxyPassword.empty()))
    return "A proxy user needs a proxy address and port.";
  return "";
}

void addProxy(const RunRequest& r, std::vector<std::string>& args) {
  if (r.proxyAddress.empty()) return;
  args.push_back("--proxy-address=" + r.proxyAddress);
  args.push_back("--proxy-port=" + std::to_string(r.proxyPort));
  if (!r.proxyUser.empty()) args.push_back("--proxy-user=" + r.proxyUser);
}

void addBuildOptions(const RunRequest& r, std::vector<std::string>& args) {
  static const std::map<std::string, std::string> option{
      {"iso", "--iso="}, {"usb", "--usbkey="}, {"pxe", "--pxe="}, {"cd", "--cd="}};
  args.push_back(option.at(r.medium) + r.target);
  if (!r.tftpAddress.empty()) args.push_back("--tftp-pxe-address=" + r.tftpAddress);
  if (!r.description.empty()) args.push_back("--description=" + r.description);
  if (!r.kernelArgs.empty()) args.push_back("--kernel-args=" + r.kernelArgs);
  if (!r.autorun.empty()) args.push_back("--autorun=" + r.autorun);
  if (r.timeout > 0) args.push_back("--timeout=" + std::to_string(r.timeout));
  if (r.force) args.push_back("--force");
  if (r.verify) args.push_back("--verify");
}

}  // namespace

bool parseAction(const std::string& name, Action& action) {
  static const std::map<std::string, Action> names{{"build", Action::Build},
                                                   {"report", Action::Report},
                                                   {"show-supportlist", Action::ShowSupportList},
                                                   {"update-supportlist", Action::UpdateSupportList},
                                                   {"rollback-supportlist", Action::RollbackSupportList},
                                                   {"check-update", Action::CheckUpdate}};
  const auto found = names.find(name);
  if (found == names.end()) return false;
  action = found->second;
  return true;
}

BuiltCommand buildArguments(const RunRequest& r, const std::set<std::string>& usbDevices,
                            const std::string& progressFile) {
  BuiltCommand command;
  std::vector<std::string>& args = command.args;
  args = {"--xml", "--progress-json=" + progressFile};
  switch (r.action) {
    case Action::ShowSupportList: args.push_back("--show-supportlist"); return command;
    case Action::RollbackSupportList: args.push_back("--rollback-supportlist"); return command;
    case Action::UpdateSupportList: args.push_back("--update-supportlist"); break;
    case Action::CheckUpdate: args.push_back("--check-update"); break;
    case Action::Build:
    case Action::Report: break;
  }
  if (!plainAbsolutePath(r.workingDir)) command.error = "The working directory must be an absolute path.";
  if (command.error.empty() && (r.action == Action::Build || r.action == Action::Report))
    command.error = checkSelection(r);
  if (command.error.empty() && r.action == Action::Build) command.error = checkMedium(r, usbDevices);
  if (command.error.empty()) command.error = checkTexts(r);
  if (!command.error.empty()) {
    args.clear();
    return command;
  }
  args.push_back("--local=" + r.workingDir);
  if (r.action == Action::Build || r.action == Action::Report) {
    args.push_back("--machine-type=" + joined(r.machineTypes));
    args.push_back("--function=" + joined(r.functions));
    if (r.noAcquire) args.push_back("--no-acquire");
  }
  if (r.action == Action::Build) addBuildOptions(r, args);
  if (r.action == Action::Report) args.push_back("--report");
  if (r.action == Action::CheckUpdate) args.push_back("--report");
  addProxy(r, args);
  return command;
}

}  // namespace XELO::launchpad
