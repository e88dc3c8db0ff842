#include "qemu_boot.h"

#include <filesystem>
#include <sstream>

#include "host/host.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace xelotest {

bool onPath(const std::string& program) {
  std::stringstream dirs(XELO::getEnv("PATH"));
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && XELO::isRegularFile(dir + "/" + program)) return true;
  return false;
}

std::string missingTools(const std::vector<std::string>& programs, const std::vector<std::string>& files) {
  std::string absent;
  for (const std::string& p : programs)
    if (!onPath(p)) absent += " " + p;
  for (const std::string& f : files)
    if (!XELO::isRegularFile(f)) absent += " " + f;
  return absent;
}

std::vector<std::string> reportLines(const std::string& serial) {
  const std::string mark = "XELO-ENV: ";
  std::vector<std::string> lines;
  std::stringstream in(serial);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(mark);
    if (at == std::string::npos) continue;
    line = line.substr(at + mark.size());
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string reported(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "<absent>";
}

std::string tail(const std::string& text) { return text.size() > 3000 ? text.substr(text.size() - 3000) : text; }

namespace {

// QEMU's arguments that attach `image` as `device`; `loader` is the file the
// firmware loads on network boot, through the network card `nic`.
std::vector<std::string> deviceArguments(const std::string& image, BootDevice device, const std::string& loader,
                                         const std::string& nic) {
  switch (device) {
    case BootDevice::Cdrom: return {"-cdrom", image};
    case BootDevice::UsbKey:
      return {"-drive",  "if=none,id=key,format=raw,file=" + image,
              "-device", "qemu-xhci",
              "-device", "usb-storage,drive=key"};
    // A copy on write: the guest never changes the image under test.
    case BootDevice::Disk: return {"-drive", "if=ide,format=raw,snapshot=on,file=" + image};
    case BootDevice::Network:
      // QEMU's user network is private to the guest: its DHCP and TFTP
      // servers live inside QEMU and nothing leaves the machine.
      return {"-netdev", "user,id=net0,restrict=on,tftp=" + image + ",bootfile=" + loader, "-device",
              nic + ",netdev=net0"};
  }
  return {};
}

// QEMU on `machine`, 512 MiB, no display, ended after `seconds`.
std::vector<std::string> qemuCommand(int seconds, const std::string& machine) {
  return {"timeout",   std::to_string(seconds), "qemu-system-x86_64", "-machine", machine, "-m", "512", "-nographic",
          "-no-reboot"};
}

// Runs QEMU with the first serial port on its standard output, kept in
// `scratch`/serial.log.
BootRun runQemu(std::vector<std::string> argv, const std::string& scratch) {
  argv.insert(argv.end(), {"-serial", "mon:stdio"});
  const std::string serialLog = scratch + "/serial.log";
  fs::remove(serialLog);  // the run appends to it
  BootRun run;
  run.status = XELO::runToFile(serialLog, argv);
  run.serial = readFile(serialLog);
  run.lines = reportLines(run.serial);
  return run;
}

}  // namespace

namespace {

// QEMU with OVMF firmware `code` and a copy of the variables `varsTemplate`.
BootRun bootOvmf(const std::string& image, BootDevice device, const std::string& scratch, int seconds,
                 const std::string& machine, const std::string& code, const std::string& varsTemplate) {
  const std::string vars = scratch + "/vars.fd";
  fs::copy_file(varsTemplate, vars, fs::copy_options::overwrite_existing);
  std::vector<std::string> argv = qemuCommand(seconds, machine);
  argv.insert(argv.end(), {"-cpu", "max", "-drive", "if=pflash,format=raw,readonly=on,file=" + code, "-drive",
                           "if=pflash,format=raw,file=" + vars});
  // OVMF's own network stack, as a server's firmware has one: the card's
  // boot ROM is left out, because the network boot program in QEMU's ROMs
  // hands shim a wrong size for TFTP files and the signed second stage then
  // fails its check under Secure Boot.
  const auto attach = deviceArguments(image, device, "BOOTX64.EFI", "virtio-net-pci,romfile=");
  argv.insert(argv.end(), attach.begin(), attach.end());
  return runQemu(argv, scratch);
}

}  // namespace

BootRun bootUefi(const std::string& image, BootDevice device, const std::string& scratch, int seconds) {
  return bootOvmf(image, device, scratch, seconds, "q35", kOvmfCode, kOvmfVars);
}

BootRun bootSecure(const std::string& image, BootDevice device, const std::string& scratch, int seconds) {
  // The secure firmware keeps its variables safe only in system management
  // mode, which it requires.
  return bootOvmf(image, device, scratch, seconds, "q35,smm=on", kOvmfSecureCode, kOvmfSecureVars);
}

BootRun bootBios(const std::string& image, BootDevice device, const std::string& scratch, int seconds) {
  std::vector<std::string> argv = qemuCommand(seconds, "pc");
  const auto attach = deviceArguments(image, device, "pxelinux.0", "e1000");
  argv.insert(argv.end(), attach.begin(), attach.end());
  // SeaBIOS tries the attached device first; when nothing boots it prints
  // "No bootable device" and restarts, which ends QEMU (-no-reboot).
  const char* order = device == BootDevice::Network ? "order=n" : device == BootDevice::Cdrom ? "order=d" : "order=c";
  argv.insert(argv.end(), {"-boot", order});
  return runQemu(argv, scratch);
}

const char* firmwareName(Firmware firmware) {
  switch (firmware) {
    case Firmware::Bios: return "BIOS";
    case Firmware::Uefi: return "UEFI";
    case Firmware::SecureBoot: return "UEFI with Secure Boot";
  }
  return "?";
}

BootRun boot(Firmware firmware, const std::string& image, BootDevice device, const std::string& scratch, int seconds) {
  switch (firmware) {
    case Firmware::Bios: return bootBios(image, device, scratch, seconds);
    case Firmware::Uefi: return bootUefi(image, device, scratch, seconds);
    case Firmware::SecureBoot: return bootSecure(image, device, scratch, seconds);
  }
  return {};
}

}  // namespace xelotest
