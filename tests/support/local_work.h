// Working directories prepared by hand for runs with --no-acquire: a boot
// environment zip with the layout the program expects, the NOVPI installer
// and updates with their descriptors, payloads and readmes. And a reader of
// the images such runs make.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace xelotest {

inline const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
inline const std::string kNovpiBinary = "qor_utl_novpi_9.63_anyos_x86-64.bin";

// What the boot environment zip holds: the UEFI loader and grub.cfg, kernel
// and initrd, a folder per tool, and optionally the diagnostics tree.
struct BootEnvironment {
  std::string loader = "loader";
  std::string kernel = "kernel";
  std::string initrd = "initrd";
  std::string kernelArgs = "iommu=soft quiet";
  bool withKyt = false;
};

// Builds the environment in `scratch`/env and zips it to `zipPath` with the
// zip program; false (with a test failure) when zip fails.
bool writeBootEnvironmentZip(const std::string& scratch, const std::string& zipPath,
                             const BootEnvironment& environment = {});

// The descriptor, payload and readme of update `id` for `machineType` (Linux).
void addLocalUpdate(const std::string& work, const std::string& id, const std::string& machineType,
                    const std::string& payload);

// A working directory ready for a no-acquire run for machine type 7101:
// the environment zip (kMidZip), the installer and update `id`.
bool prepareLocalWork(const std::string& scratch, const std::string& work, const std::string& id,
                      const std::string& payload, const BootEnvironment& environment = {});

// Path -> content (empty for directories, and for every entry without
// `contents`) of every entry of an ISO image (or of another archive libarchive
// reads, such as a zip); paths without "./" and without a trailing "/".
std::map<std::string, std::string> isoEntries(const std::string& iso, bool contents = true);

}  // namespace xelotest
