// Media made by the library from the real boot environment, booted in QEMU
// under BIOS (SeaBIOS), UEFI (OVMF) and UEFI with Secure Boot on: the ISO as
// a CD and written raw to a disk or USB key, a USB key made by the library,
// and the network boot directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qemu_boot.h"
#include "test_support.h"
#include "velmake.h"

namespace fs = std::filesystem;
using xelotest::BootDevice;
using xelotest::Firmware;
using xelotest::readFile;
using xelotest::reported;
using xelotest::writeFile;

namespace {

// One boot of a medium: the firmware, how the medium is attached, and where
// the environment must report having found it.
struct BootCase {
  Firmware firmware;
  BootDevice device;
  const char* how;
  const char* medium;
};

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
    // all its messages go to the serial console too (whether Secure Boot is
    // on among them).
    for (size_t at = 0; (at = text.find("iommu=soft", at)) != std::string::npos; at += 10)
      text.insert(at + 10, " boot_src=" + bootSrc + " panic=5 console=ttyS0 ignore_loglevel");
    writeFile(cfg, text);
    return 0;
  }
  std::string log;
  std::string bootSrc;
};

class VelmakeBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools(
        {"qemu-system-x86_64", "timeout", "mformat", "mkfs.fat"},
        {xelotest::kOvmfCode, xelotest::kOvmfVars, xelotest::kOvmfSecureCode, xelotest::kOvmfSecureVars});
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

  // Boots `image` once per case and checks each report; the runs, in order.
  std::vector<xelotest::BootRun> bootAll(const std::string& image, const std::string& bootSrc,
                                         const std::vector<BootCase>& cases);

  std::vector<std::string> files{".", "..", "novpi/qor_utl_novpi_9.63.bin"};
  xelotest::TempDir dir{"velmake-boot"};
  const std::string work = dir / "work";
};

std::vector<xelotest::BootRun> VelmakeBoot::bootAll(const std::string& image, const std::string& bootSrc,
                                                    const std::vector<BootCase>& cases) {
  std::vector<xelotest::BootRun> runs;
  for (const BootCase& c : cases) {
    SCOPED_TRACE(std::string(c.how) + " under " + xelotest::firmwareName(c.firmware));
    runs.push_back(xelotest::boot(c.firmware, image, c.device, dir.path()));
    const xelotest::BootRun& run = runs.back();
    EXPECT_EQ(run.serial.find("No bootable device"), std::string::npos) << xelotest::tail(run.serial);
    // The environment must carry the kernel's default FAT character set, or
    // it cannot read any FAT medium.
    EXPECT_EQ(run.serial.find("IO charset ascii not found"), std::string::npos) << xelotest::tail(run.serial);
    if (c.firmware == Firmware::SecureBoot) {
      EXPECT_NE(run.serial.find("Secure boot enabled"), std::string::npos) << xelotest::tail(run.serial);
    }
    expectBooted(run, c.medium, bootSrc);
  }
  return runs;
}

TEST_F(VelmakeBoot, IsoBootsAsACdAndWrittenRawToADiskOnEveryFirmware) {
  BootTreeLogger logger("3");
  const std::string iso = dir / "medium.iso";
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;
  bootAll(iso, "3",
          {{Firmware::Bios, BootDevice::Cdrom, "as a CD", "cdrom"},
           {Firmware::Uefi, BootDevice::Cdrom, "as a CD", "cdrom"},
           {Firmware::SecureBoot, BootDevice::Cdrom, "as a CD", "cdrom"},
           {Firmware::Bios, BootDevice::Disk, "written raw to a disk", "disk"},
           {Firmware::Uefi, BootDevice::Disk, "written raw to a disk", "disk"},
           {Firmware::SecureBoot, BootDevice::UsbKey, "written raw to a USB key", "usb"}});
}

TEST_F(VelmakeBoot, UsbKeyMadeByTheLibraryBootsOnEveryFirmware) {
  BootTreeLogger logger("2");
  const std::string key = dir / "key.img";
  { std::ofstream(key, std::ios::binary); }
  fs::resize_file(key, 96u * 1024 * 1024);
  Velmake::BootableUSB usb(logger);
  bool needsFormat = false;
  ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0) << logger.log;
  ASSERT_EQ(usb.CreateUSBKey(true), 0) << logger.log;
  bootAll(key, "2",
          {{Firmware::Bios, BootDevice::UsbKey, "as a USB key", "usb"},
           {Firmware::Uefi, BootDevice::UsbKey, "as a USB key", "usb"},
           {Firmware::SecureBoot, BootDevice::UsbKey, "as a USB key", "usb"}});
}

TEST_F(VelmakeBoot, PxeDirectoryBootsByNetworkBootOnEveryFirmware) {
  BootTreeLogger logger("4");
  const std::string pxe = dir / "pxe";
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, pxe, files, kZipName), 0) << logger.log;
  ASSERT_TRUE(fs::is_regular_file(pxe + "/pxelinux.0")) << logger.log;
  // Without a medium the environment takes the configuration appended to its
  // initrd; the kernel came from the TFTP server through the shared, edited
  // menu.
  for (const xelotest::BootRun& run :
       bootAll(pxe, "4",
               {{Firmware::Bios, BootDevice::Network, "by network boot", "initrd"},
                {Firmware::Uefi, BootDevice::Network, "by network boot", "initrd"},
                {Firmware::SecureBoot, BootDevice::Network, "by network boot", "initrd"}})) {
    const std::string args = reported(run.lines, "kernel_args");
    EXPECT_NE(args.find("(tftp,"), std::string::npos) << args;
    EXPECT_NE(args.find("tftp_server="), std::string::npos) << args;
  }
}

}  // namespace
