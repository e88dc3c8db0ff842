// Boots the environment zips made by tools/bootenv/build-bootenv.sh in QEMU
// and reads what the environment's init reports on the serial console.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "media/bootconfig.h"
#include "qemu_boot.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace XELO;
using xelotest::kOvmfCode;
using xelotest::kOvmfVars;
using xelotest::readFile;
using xelotest::reported;
using xelotest::reportLines;
using xelotest::tail;
using xelotest::writeFile;

namespace {

const std::string kBasicZip = "qor_utl_boot_tools-141_anyos_x86-64.zip";
const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kFullZip = "qor_utl_boot_tools-141_anyos_x86-64-full.zip";

// A media configuration as the program writes it for an update medium.
const std::string kMediaConfig =
    "QOR_SYSTEM_MACHINETYPE=7X21,7Z70\n"
    "QOR_SYSTEM_WORKINGDIR=\\\\srv\\\\work\n"
    "QOR_SYSTEM_KERNEL_ARGS=console=ttyS0,19200 console=tty1\n"
    "QOR_SYSTEM_FUNCTION=novpi\n"
    "QOR_SYSTEM_AUTORUN=novpi\n"
    "QOR_SYSTEM_UNATTENDED=NULL\n"
    "QOR_SYSTEM_VERSION=9.64\n"
    "QOR_SYSTEM_MT_NOVPI=7X21\n";

std::string zipPath(const std::string& name) { return std::string(XELO_BOOTENV_DIR) + "/" + name; }

class BootEnvironment : public ::testing::Test {
 protected:
  // Runs a tool with its output in the test's log; its exit status.
  int run(const std::vector<std::string>& argv) { return runToFile(dir / "tools.log", argv); }
  std::string toolLog() { return readFile(dir / "tools.log"); }

  xelotest::TempDir dir{"xelo-boot"};
};

}  // namespace

TEST_F(BootEnvironment, EveryVariantHoldsTheBootTree) {
  for (const std::string& name : {kBasicZip, kMidZip, kFullZip}) {
    SCOPED_TRACE(name);
    const std::string zip = zipPath(name);
    ASSERT_TRUE(isRegularFile(zip)) << "the bootenv_build test did not leave " << zip;
    EXPECT_LT(fs::file_size(zip), 100u * 1024 * 1024);

    const std::string listing = dir / "listing.txt";
    ASSERT_EQ(runToFile(listing, {"unzip", "-Z1", zip}), 0);
    const std::string names = readFile(listing);
    for (const char* entry : {"linuxboot/EFI/BOOT/BOOTX64.EFI", "linuxboot/EFI/BOOT/grub.cfg", "linuxboot/vmlinuz",
                              "linuxboot/initrd.gz", "linuxboot/environment.txt", "linuxboot/menu/", "linuxboot/novpi/",
                              "linuxboot/kyt/", "linuxboot/dndeploy/", "linuxbootkyt/kyt/",
                              // BIOS loaders: CD/disk image, hybrid MBR boot code, network image
                              "linuxboot/grub/i386-pc/eltorito.img", "linuxboot/grub/i386-pc/boot_hybrid.img",
                              "linuxboot/grub/i386-pc/core.0",
                              // the signed UEFI chain: second stages and the hand-overs to the menu
                              "linuxboot/EFI/BOOT/grubx64.efi", "linuxboot/EFI/BOOT/grubnetx64.efi",
                              "linuxboot/EFI/debian/grub.cfg", "linuxboot/grub/grub.cfg"})
      EXPECT_NE(names.find(std::string(entry) + "\n"), std::string::npos) << entry;

    // Every kernel line carries the marker that the media builder edits.
    const std::string cfg = dir / "grub.cfg";
    ASSERT_EQ(runToFile(cfg, {"unzip", "-p", zip, "linuxboot/EFI/BOOT/grub.cfg"}), 0);
    std::stringstream lines(readFile(cfg));
    int kernelLines = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" linux ") == std::string::npos && line.rfind("linux ", 0) != 0) continue;
      ++kernelLines;
      EXPECT_NE(line.find(kKernelLineMarker), std::string::npos) << line;
    }
    EXPECT_GT(kernelLines, 0);
  }
}

TEST_F(BootEnvironment, UnchangedInputsReuseTheBuiltZips) {
  xelotest::TempDir out("xelo-bootenv-out");
  const std::string log = dir / "build.log";
  ASSERT_EQ(runToFile(log, {"bash", XELO_BOOTENV_SCRIPT, "--out", out.path(), "--cache", XELO_BOOTENV_CACHE,
                            "--variant", "full"}),
            0)
      << readFile(log);
  const std::string output = readFile(log);
  EXPECT_NE(output.find("reusing the environment built earlier"), std::string::npos) << output;
  EXPECT_EQ(output.substr(output.rfind('\n', output.size() - 2) + 1), out / kFullZip + "\n");
  for (const std::string& name : {kBasicZip, kMidZip, kFullZip})
    EXPECT_TRUE(readFile(out / name) == readFile(zipPath(name))) << name;
}

TEST_F(BootEnvironment, UefiCdBootReportsTheMediumItsConfigurationAndKernelArguments) {
  const std::string absent = xelotest::missingTools(
      {"qemu-system-x86_64", "xorriso", "mformat", "mmd", "mcopy", "unzip", "timeout"}, {kOvmfCode, kOvmfVars});
  if (!absent.empty()) GTEST_SKIP() << "QEMU/OVMF boot test skipped, not installed:" << absent;
  ASSERT_TRUE(isRegularFile(zipPath(kMidZip))) << "the bootenv_build test did not leave " << zipPath(kMidZip);

  // The medium tree: the environment's "linuxboot" as "boot", staged for the
  // update function alone, with its configuration at the root.
  const std::string unpacked = dir / "unpacked";
  const std::string medium = dir / "medium";
  ASSERT_EQ(run({"unzip", "-q", zipPath(kMidZip), "-d", unpacked}), 0) << toolLog();
  fs::create_directories(medium);
  fs::rename(unpacked + "/linuxboot", medium + "/boot");
  fs::remove_all(medium + "/boot/kyt");
  fs::remove_all(medium + "/boot/dndeploy");
  writeFile(medium + "/xelo.config", kMediaConfig);

  const std::string cfg = bootLoaderConfigPath(medium);
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcIso));
  ASSERT_TRUE(appendKernelArgs(cfg, "console=ttyS0,19200 console=tty1"));
  // A kernel that cannot start the init restarts at once, which ends QEMU.
  ASSERT_TRUE(appendKernelArgs(cfg, "panic=5"));

  // UEFI El Torito image holding the loader, appended as the EFI partition.
  const std::string efi = dir / "efi.img";
  { std::ofstream(efi, std::ios::binary); }
  fs::resize_file(efi, 16u * 1024 * 1024);
  ASSERT_EQ(run({"mformat", "-i", efi, "::"}), 0) << toolLog();
  ASSERT_EQ(run({"mmd", "-i", efi, "::/EFI", "::/EFI/BOOT", "::/EFI/debian"}), 0) << toolLog();
  // shim, the signed GRUB it starts from its own directory, and the GRUB's hand-over.
  for (const char* file : {"EFI/BOOT/BOOTX64.EFI", "EFI/BOOT/grubx64.efi", "EFI/debian/grub.cfg"})
    ASSERT_EQ(run({"mcopy", "-i", efi, medium + "/boot/" + file, std::string("::/") + file}), 0) << toolLog();
  const std::string iso = dir / "medium.iso";
  ASSERT_EQ(
      run({"xorriso", "-as", "mkisofs", "-R", "-J", "-V", "XELO", "-append_partition", "2", "0xef", efi,
           "-appended_part_as_gpt", "-e", "--interval:appended_partition_2:all::", "-no-emul-boot", "-o", iso, medium}),
      0)
      << toolLog();

  const xelotest::BootRun boot = xelotest::bootUefi(iso, xelotest::BootDevice::Cdrom, dir.path());
  const int status = boot.status;
  const std::string& serial = boot.serial;
  const std::vector<std::string>& lines = boot.lines;

  EXPECT_EQ(status, 0) << "QEMU did not power off by itself\n" << tail(serial);
  ASSERT_FALSE(lines.empty()) << tail(serial);
  EXPECT_EQ(lines.front(), "begin");
  EXPECT_EQ(lines.back(), "end");
  EXPECT_EQ(reported(lines, "medium"), "cdrom device=/dev/sr0");
  EXPECT_EQ(reported(lines, "boot_src"), "3");
  EXPECT_EQ(reported(lines, "environment"), "qor_utl_boot_tools-141_anyos_x86-64-mid");
  EXPECT_EQ(reported(lines, "tools"), "menu novpi");
  EXPECT_EQ(reported(lines, "config"), "found");
  EXPECT_EQ(reported(lines, "machine_types"), "7X21,7Z70");
  EXPECT_EQ(reported(lines, "machine_types_novpi"), "7X21");
  EXPECT_EQ(reported(lines, "machine_types_kyt"), "<absent>");
  EXPECT_EQ(reported(lines, "functions"), "novpi");
  EXPECT_EQ(reported(lines, "start"), "novpi");
  const std::string args = reported(lines, "kernel_args");
  EXPECT_NE(args.find("iommu=soft quiet boot_src=3 console=ttyS0,19200 console=tty1 panic=5"), std::string::npos)
      << args;
}

TEST_F(BootEnvironment, NetworkBootFetchesTheConfigurationFromTheTftpServer) {
  const std::string absent = xelotest::missingTools({"qemu-system-x86_64", "unzip", "zip", "timeout"});
  if (!absent.empty()) GTEST_SKIP() << "QEMU boot test skipped, not installed:" << absent;
  ASSERT_TRUE(isRegularFile(zipPath(kBasicZip))) << "the bootenv_build test did not leave " << zipPath(kBasicZip);

  // Kernel and initrd started directly, as a network boot loader does; the
  // medium's files, its configuration among them, lie in "tc.zip" on the
  // TFTP server of QEMU's private user network (no traffic leaves QEMU).
  const std::string boot = dir / "boot";
  ASSERT_EQ(run({"unzip", "-q", "-j", zipPath(kBasicZip), "linuxboot/vmlinuz", "linuxboot/initrd.gz", "-d", boot}), 0)
      << toolLog();
  const std::string tftp = dir / "tftp";
  fs::create_directories(tftp);
  writeFile(dir / "xelo.config",
            "QOR_SYSTEM_MACHINETYPE=7X21\r\nQOR_SYSTEM_FUNCTION=novpi,kyt\r\nQOR_SYSTEM_AUTORUN=NULL\r\n"
            "QOR_SYSTEM_MT_NOVPI=7X21\r\nQOR_SYSTEM_MT_KYT=NULL\r\n");
  ASSERT_EQ(run({"zip", "-q", "-j", tftp + "/tc.zip", dir / "xelo.config"}), 0) << toolLog();

  const std::string serialLog = dir / "serial.log";
  const int status = runToFile(serialLog, {"timeout",
                                           "100",
                                           "qemu-system-x86_64",
                                           "-machine",
                                           "q35",
                                           "-cpu",
                                           "max",
                                           "-m",
                                           "512",
                                           "-nographic",
                                           "-no-reboot",
                                           "-kernel",
                                           boot + "/vmlinuz",
                                           "-initrd",
                                           boot + "/initrd.gz",
                                           "-append",
                                           "iommu=soft boot_src=4 panic=5",
                                           "-netdev",
                                           "user,id=net0,restrict=on,tftp=" + tftp,
                                           "-device",
                                           "e1000,netdev=net0",
                                           "-serial",
                                           "mon:stdio"});
  const std::string serial = readFile(serialLog);
  const std::vector<std::string> lines = reportLines(serial);

  EXPECT_EQ(status, 0) << "QEMU did not power off by itself\n" << tail(serial);
  ASSERT_FALSE(lines.empty()) << tail(serial);
  EXPECT_EQ(reported(lines, "medium"), "tftp server=10.0.2.2");
  EXPECT_EQ(reported(lines, "boot_src"), "4");
  EXPECT_EQ(reported(lines, "machine_types"), "7X21");
  EXPECT_EQ(reported(lines, "machine_types_kyt"), "NULL");
  EXPECT_EQ(reported(lines, "functions"), "novpi,kyt");
  // Without an autorun tool the environment shows its menu.
  EXPECT_EQ(reported(lines, "start"), "menu");
  EXPECT_EQ(lines.back(), "end");
}
