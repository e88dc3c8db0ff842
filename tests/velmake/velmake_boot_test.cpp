// Media made by the library from the real boot environment, booted in QEMU
// with UEFI firmware: as a CD, as the same ISO written raw to a USB key, and
// as a USB key made by the library; and with BIOS firmware (SeaBIOS): the
// ISO as a CD and written raw to a disk, and the network boot directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qemu_boot.h"
#include "test_support.h"
#include "velmake.h"

namespace fs = std::filesystem;
using xelotest::BootDevice;
using xelotest::readFile;
using xelotest::reported;
using xelotest::writeFile;

namespace {

const std::string kZipName = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";

// The program's boot-tree hook, reduced to what booting needs: the
// environment becomes "boot" and every kernel line gets the boot source.
class BootTreeLogger : public XELO::BMLoggerIfc {
 public:
  explicit BootTreeLogger(std::string source) : bootSrc(std::move(source)) {}
  void OutputLogEntry(int32_t, std::string message) override { log += message + "\n"; }
  int32_t OutputLogEntryEx(int32_t level, std::string message) override {
    OutputLogEntry(level, message);
    if (level != 6) return 0;
    std::error_code ec;
    fs::rename("linuxboot", "boot", ec);
    if (ec) return 100;
    const std::string cfg = "boot/EFI/BOOT/grub.cfg";
    std::string text = readFile(cfg);
    // A kernel that cannot start the init restarts at once, which ends QEMU;
    // its messages go to the serial console too.
    for (size_t at = 0; (at = text.find("iommu=soft", at)) != std::string::npos; at += 10)
      text.insert(at + 10, " boot_src=" + bootSrc + " panic=5 console=ttyS0");
    writeFile(cfg, text);
    return 0;
  }
  std::string log;
  std::string bootSrc;
};

class VelmakeBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools({"qemu-system-x86_64", "timeout", "mformat", "mkfs.fat"},
                                                      {xelotest::kOvmfCode, xelotest::kOvmfVars});
    if (!absent.empty()) GTEST_SKIP() << "QEMU/OVMF boot test skipped, not installed:" << absent;
    const std::string zip = std::string(XELO_BOOTENV_DIR) + "/" + kZipName;
    ASSERT_TRUE(fs::is_regular_file(zip)) << "the bootenv_build test did not leave " << zip;
    fs::create_directories(work);
    fs::copy_file(zip, work + "/" + kZipName);
    writeFile(work + "/xelo.config",
              "QOR_SYSTEM_MACHINETYPE=7X21\nQOR_SYSTEM_FUNCTION=novpi\nQOR_SYSTEM_AUTORUN=novpi\n");
    fs::create_directories(work + "/novpi");
    writeFile(work + "/novpi/qor_utl_novpi_9.63.bin", "installer");
  }

  void expectBooted(const xelotest::BootRun& run, const std::string& medium, const std::string& bootSrc) {
    EXPECT_EQ(run.status, 0) << "QEMU did not power off by itself\n" << xelotest::tail(run.serial);
    ASSERT_FALSE(run.lines.empty()) << xelotest::tail(run.serial);
    EXPECT_EQ(reported(run.lines, "medium").rfind(medium, 0), 0u) << xelotest::tail(run.serial);
    EXPECT_EQ(reported(run.lines, "boot_src"), bootSrc);
    EXPECT_EQ(reported(run.lines, "config"), "found");
    EXPECT_EQ(reported(run.lines, "machine_types"), "7X21");
    EXPECT_EQ(reported(run.lines, "start"), "novpi");
    EXPECT_EQ(run.lines.back(), "end");
  }

  std::vector<std::string> files{".", "..", "novpi/qor_utl_novpi_9.63.bin"};
  xelotest::TempDir dir{"velmake-boot"};
  const std::string work = dir / "work";
};

TEST_F(VelmakeBoot, IsoBootsAsACdAndWrittenRawToAUsbKey) {
  BootTreeLogger logger("3");
  const std::string iso = dir / "medium.iso";
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;

  {
    SCOPED_TRACE("as a CD");
    expectBooted(xelotest::bootUefi(iso, BootDevice::Cdrom, dir.path()), "cdrom", "3");
  }
  {
    SCOPED_TRACE("written raw to a USB key");
    expectBooted(xelotest::bootUefi(iso, BootDevice::UsbKey, dir.path()), "usb", "3");
  }
}

TEST_F(VelmakeBoot, IsoBootsByBiosAsACdAndWrittenRawToADisk) {
  BootTreeLogger logger("3");
  const std::string iso = dir / "medium.iso";
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;

  const struct {
    const char* how;
    BootDevice device;
    const char* medium;
  } cases[] = {{"as a CD", BootDevice::Cdrom, "cdrom"}, {"written raw to a disk", BootDevice::Disk, "disk"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    const xelotest::BootRun run = xelotest::bootBios(iso, c.device, dir.path());
    EXPECT_EQ(run.serial.find("No bootable device"), std::string::npos) << xelotest::tail(run.serial);
    expectBooted(run, c.medium, "3");
  }
}

TEST_F(VelmakeBoot, UsbKeyMadeByTheLibraryBoots) {
  BootTreeLogger logger("2");
  const std::string key = dir / "key.img";
  { std::ofstream(key, std::ios::binary); }
  fs::resize_file(key, 96u * 1024 * 1024);
  Velmake::BootableUSB usb(logger);
  bool needsFormat = false;
  ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0) << logger.log;
  ASSERT_EQ(usb.CreateUSBKey(true), 0) << logger.log;

  const xelotest::BootRun run = xelotest::bootUefi(key, BootDevice::UsbKey, dir.path());
  // The environment must carry the kernel's default FAT character set, or it
  // cannot read any FAT medium.
  ASSERT_EQ(run.serial.find("IO charset ascii not found"), std::string::npos)
      << "the boot environment cannot mount FAT file systems (its initrd lacks nls_ascii)";
  expectBooted(run, "usb", "2");
}

TEST_F(VelmakeBoot, PxeDirectoryBootsByUefiNetworkBoot) {
  if (!fs::is_directory("/usr/lib/grub/x86_64-efi"))
    GTEST_SKIP() << "the network loader needs the host's GRUB modules (grub-efi-amd64-bin)";
  BootTreeLogger logger("4");
  const std::string pxe = dir / "pxe";
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, pxe, files, kZipName), 0) << logger.log;

  const xelotest::BootRun run = xelotest::bootUefi(pxe, BootDevice::Network, dir.path());
  // Without a medium the environment takes the configuration appended to its initrd.
  expectBooted(run, "initrd", "4");
  EXPECT_NE(reported(run.lines, "kernel_args").find("tftp_server="), std::string::npos);
}

TEST_F(VelmakeBoot, PxeDirectoryBootsByBiosNetworkBoot) {
  BootTreeLogger logger("4");
  const std::string pxe = dir / "pxe";
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, pxe, files, kZipName), 0) << logger.log;
  ASSERT_TRUE(fs::is_regular_file(pxe + "/pxelinux.0")) << logger.log;

  const xelotest::BootRun run = xelotest::bootBios(pxe, BootDevice::Network, dir.path());
  expectBooted(run, "initrd", "4");
  // The kernel came from the TFTP server through the shared, edited menu.
  const std::string args = reported(run.lines, "kernel_args");
  EXPECT_NE(args.find("(tftp,"), std::string::npos) << args;
  EXPECT_NE(args.find("tftp_server="), std::string::npos) << args;
}

}  // namespace
