// What the page asks for, checked and turned into the console program's
// argument vector. Every value travels as one "--option=value" argument, so
// nothing the page sends can become an option of its own.
#pragma once
#include <set>
#include <string>
#include <vector>

namespace XELO::launchpad {

enum class Action { Build, Report, ShowSupportList, UpdateSupportList, RollbackSupportList, CheckUpdate };

struct RunRequest {
  Action action = Action::Build;
  std::string workingDir;                 // absolute
  std::vector<std::string> machineTypes;  // 4 digits each
  std::vector<std::string> functions;     // novpi, kyt, dunvar, linuxtk
  std::string medium;                     // "iso", "usb", "pxe", "cd"
  std::string target;                     // ISO file, USB device, PXE directory or CD drive
  std::string tftpAddress;                // PXE only, optional
  std::string description;
  std::string kernelArgs;
  std::string autorun;  // "" for the default (the first function), "none", or a function
  int timeout = 0;      // 0 for the default
  bool force = false;
  bool noAcquire = false;
  bool verify = false;
  std::string proxyAddress;
  int proxyPort = 0;
  std::string proxyUser;
  std::string proxyPassword;  // never goes into the vector
};

struct BuiltCommand {
  std::vector<std::string> args;  // without the program itself
  std::string error;              // why the request was refused; empty when accepted
};

// `usbDevices`: the device paths the server lists as removable USB disks; a
// USB target must be one of them. `progressFile` is passed as --progress-json.
BuiltCommand buildArguments(const RunRequest& request, const std::set<std::string>& usbDevices,
                            const std::string& progressFile);

// Text the page may send as an action name; false for an unknown one.
bool parseAction(const std::string& name, Action& action);

}  // namespace XELO::launchpad
