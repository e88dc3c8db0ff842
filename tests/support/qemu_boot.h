// Booting media in QEMU with OVMF (UEFI) or SeaBIOS firmware and reading
// what the boot environment reports on the serial console ("XELO-ENV: "
// lines).
#pragma once
#include <string>
#include <vector>

namespace xelotest {

inline const std::string kOvmfCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
inline const std::string kOvmfVars = "/usr/share/OVMF/OVMF_VARS_4M.fd";
// Secure Boot: the firmware that enforces it, and variables with the
// Microsoft keys enrolled and Secure Boot switched on.
inline const std::string kOvmfSecureCode = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd";
inline const std::string kOvmfSecureVars = "/usr/share/OVMF/OVMF_VARS_4M.ms.fd";

// The program is found in PATH.
bool onPath(const std::string& program);

// The programs and files of the lists that this machine lacks, each after a
// blank; empty when all are there.
std::string missingTools(const std::vector<std::string>& programs, const std::vector<std::string>& files = {});

// The report lines of a serial log, without their "XELO-ENV: " mark.
std::vector<std::string> reportLines(const std::string& serial);

// The value of the report line "key=value", or "<absent>".
std::string reported(const std::vector<std::string>& lines, const std::string& key);

// The last 3000 characters of a log, for failure messages.
std::string tail(const std::string& text);

// How the medium is attached: a CD-ROM, a USB key, a hard disk (the image
// written raw to it), or a network boot directory served by QEMU's private
// TFTP server (the image is then the directory and the firmware loads
// BOOTX64.EFI, or pxelinux.0 under BIOS, from it).
enum class BootDevice { Cdrom, UsbKey, Disk, Network };

struct BootRun {
  int status = -1;                 // QEMU's exit status (0 when the environment powered off)
  std::string serial;              // everything the serial console printed
  std::vector<std::string> lines;  // its report lines
};

// Boots `image` under UEFI (q35, OVMF, 512 MiB, no KVM) from `device`, for
// at most `seconds`. `scratch` receives the firmware variables
// and the serial log.
BootRun bootUefi(const std::string& image, BootDevice device, const std::string& scratch, int seconds = 110);

// As bootUefi, with Secure Boot on (q35 with SMM, the secure firmware and
// the enrolled keys): only signed loaders and kernels start.
BootRun bootSecure(const std::string& image, BootDevice device, const std::string& scratch, int seconds = 110);

enum class Firmware { Bios, Uefi, SecureBoot };
const char* firmwareName(Firmware firmware);
// bootBios, bootUefi or bootSecure.
BootRun boot(Firmware firmware, const std::string& image, BootDevice device, const std::string& scratch,
             int seconds = 110);

// Boots `image` under BIOS (QEMU's default SeaBIOS on the pc machine,
// 512 MiB, no KVM) from `device`, for at most `seconds`. `scratch`
// receives the serial log.
BootRun bootBios(const std::string& image, BootDevice device, const std::string& scratch, int seconds = 110);

}  // namespace xelotest
