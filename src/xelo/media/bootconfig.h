// Edits of the boot environment's configuration for one medium, the
// memory-test modules of the diagnostics menu, and the serial-console check
// of the user's kernel arguments.
//
// The boot loader configuration marks its kernel lines with the environment's
// own default argument "iommu=soft"; only lines holding that marker are
// changed. The environment reads "boot_src=" to learn which kind of medium it
// booted from, and on network boot "tftp_server=" to find the server that
// holds the medium's files.
#pragma once
#include <string>

namespace XELO {

// Marker of a kernel line in the boot loader configuration.
inline constexpr const char* kKernelLineMarker = "iommu=soft";
inline constexpr const char* kBootSrcKey = "boot_src=";
inline constexpr const char* kTftpServerKey = "tftp_server=";

// Boot-source codes, one character each.
inline constexpr const char* kBootSrcIso = "3";  // ISO file, CD or DVD
inline constexpr const char* kBootSrcUsb = "2";  // USB key
inline constexpr const char* kBootSrcPxe = "4";  // network boot

// The memory-test modules, found in the "mem" sub-directory of a source tree.
inline constexpr const char* kMemTestModules[] = {"intlamd.c32", "rom.c32", "summit.c32"};
inline constexpr const char* kMemTestDirectory = "mem";

// The boot loader configuration of the boot tree below `root`:
// root/boot/EFI/BOOT/grub.cfg.
std::string bootLoaderConfigPath(const std::string& root);

// Appends a blank and `kernelArgs` to every kernel line of the file. Other
// lines, and the line ends of the file, stay as they were. False (after
// logging) when the file cannot be read or rewritten; the file is then
// unchanged. Empty arguments change nothing.
bool appendKernelArgs(const std::string& filePath, const std::string& kernelArgs);

// Sets the boot source on every kernel line: an existing "boot_src=" value is
// replaced, otherwise a blank and "boot_src=" + `bootSrc` are appended.
// False (after logging) when the file cannot be read or rewritten.
bool modifyBootSrc(const std::string& filePath, const std::string& bootSrc);

// Replaces the value of every "tftp_server=" in the file (up to the next
// blank or line end) with `address`. A file that cannot be opened, or that
// holds no such entry, is left unchanged and the failure is logged; true
// when the file was rewritten.
bool setPxeTftpAddress(const std::string& filePath, const std::string& address);

// Copies the three memory-test modules from `sourceDir`/mem into `destDir`,
// or with `removeOnly` deletes them from `sourceDir`/mem and returns 0.
// Returns 0 when all three were copied; -1 when a module is missing; when a
// copy fails, 105 (out of space on `destDir`), 101 (the free space could not
// be read), or the copy's own status, and the source modules are deleted.
int copyMemTestFiles(const std::string& destDir, const std::string& sourceDir, bool removeOnly);

// The arguments name a serial console ("ttys" in any letter case).
bool hasSerialConsole(const std::string& kernelArgs);

// The serial console is console 0 or 1 at a supported baud rate, followed by
// " console=tty1"; arguments without a serial console pass.
bool isValidSolConsole(const std::string& kernelArgs);

// Rewrites the first "ttys" (any letter case) as "ttyS".
void normalizeSerialConsole(std::string& kernelArgs);

}  // namespace XELO
