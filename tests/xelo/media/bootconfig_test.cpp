#include "media/bootconfig.h"

#include <gtest/gtest.h>

#include <string>

#include "host/host.h"
#include "log/logger.h"
#include "test_support.h"

using namespace XELO;
using xelotest::readFile;
using xelotest::writeFile;

namespace {

bool logged(const std::string& text) {
  return readFile(processLogger().getLogFilePath()).find(text) != std::string::npos;
}

// A boot loader configuration like the environment's: two kernel lines (the
// marker at the end of one, inside the other, each followed by its suffix)
// and lines that must never change.
std::string grubCfg(const std::string& first = "", const std::string& second = "") {
  return "set timeout=3\n"
         "\n"
         "menuentry \"Boot environment\" {\n"
         "  linux /boot/vmlinuz iommu=soft" + first + "\n"
         "  initrd /boot/initrd.gz\n"
         "}\n"
         "menuentry \"Safe graphics\" {\n"
         "  linux /boot/vmlinuz quiet iommu=soft nomodeset" + second + "\n"
         "  initrd /boot/initrd.gz\n"
         "}\n";
}
const std::string kGrubCfg = grubCfg();

}  // namespace

TEST(BootConfig, BootSourceThenUserArgumentsOnEveryKernelLine) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  writeFile(cfg, kGrubCfg);

  const std::string args = "console=ttyS0,19200 console=tty1";
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcIso));
  ASSERT_TRUE(appendKernelArgs(cfg, args));
  EXPECT_EQ(readFile(cfg), grubCfg(" boot_src=3 " + args, " boot_src=3 " + args));
  EXPECT_TRUE(logged("changed line:  linux /boot/vmlinuz iommu=soft boot_src=3 " + args));

  // A second boot-source edit changes only the code.
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcUsb));
  EXPECT_EQ(readFile(cfg), grubCfg(" boot_src=2 " + args, " boot_src=2 " + args));
}

TEST(BootConfig, ExistingBootSourceValueIsReplacedWhole) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  writeFile(cfg,
            "linux /k iommu=soft boot_src= quiet\n"
            "linux /k iommu=soft boot_src=12 quiet\n"
            "linux /k iommu=soft boot_src=\n");
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcPxe));
  EXPECT_EQ(readFile(cfg),
            "linux /k iommu=soft boot_src=4 quiet\n"
            "linux /k iommu=soft boot_src=4 quiet\n"
            "linux /k iommu=soft boot_src=4\n");
}

TEST(BootConfig, LineEndsOfTheFileAreKept) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  writeFile(cfg, "set timeout=3\r\n\r\nlinux /k iommu=soft\r\ninitrd /i\r\n");
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcIso));
  ASSERT_TRUE(appendKernelArgs(cfg, "quiet"));
  EXPECT_EQ(readFile(cfg), "set timeout=3\r\n\r\nlinux /k iommu=soft boot_src=3 quiet\r\ninitrd /i\r\n");

  // A last line without a line feed gets one; nothing else changes.
  writeFile(cfg, "linux /k iommu=soft");
  ASSERT_TRUE(modifyBootSrc(cfg, kBootSrcIso));
  EXPECT_EQ(readFile(cfg), "linux /k iommu=soft boot_src=3\n");
}

TEST(BootConfig, LineEditsOfAMissingFileCreateNothing) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  EXPECT_FALSE(modifyBootSrc(cfg, kBootSrcIso));
  EXPECT_FALSE(appendKernelArgs(cfg, "quiet"));
  EXPECT_FALSE(xelotest::exists(cfg));
}

TEST(BootConfig, EveryTftpServerValueIsReplaced) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  writeFile(cfg,
            "menuentry \"Updates\" {\n"
            "  linux /img2a iommu=soft tftp_server=192.0.2.1 boot_src=4\n"
            "  initrd /img3a\n"
            "}\n"
            "  linux /img2a iommu=soft boot_src=4 tftp_server=192.0.2.1\n"
            "  initrd /img3a\n"
            "  linux /img2a tftp_server=");
  ASSERT_TRUE(setPxeTftpAddress(cfg, "127.0.0.1"));
  // A value at the end of a line ends there: the next line stays whole.
  EXPECT_EQ(readFile(cfg),
            "menuentry \"Updates\" {\n"
            "  linux /img2a iommu=soft tftp_server=127.0.0.1 boot_src=4\n"
            "  initrd /img3a\n"
            "}\n"
            "  linux /img2a iommu=soft boot_src=4 tftp_server=127.0.0.1\n"
            "  initrd /img3a\n"
            "  linux /img2a tftp_server=127.0.0.1");
  EXPECT_TRUE(logged("Setting pxe tftp address successfully, fileName=" + cfg));
}

TEST(BootConfig, TftpEditWithoutEntryOrFileChangesNothing) {
  xelotest::TempDir dir;
  const std::string cfg = dir / "grub.cfg";
  writeFile(cfg, kGrubCfg);
  EXPECT_FALSE(setPxeTftpAddress(cfg, "127.0.0.1"));
  EXPECT_EQ(readFile(cfg), kGrubCfg);
  EXPECT_TRUE(logged("Setting pxe tftp address failed, fileName=" + cfg));

  const std::string missing = dir / "default";
  EXPECT_FALSE(setPxeTftpAddress(missing, "127.0.0.1"));
  EXPECT_FALSE(xelotest::exists(missing));
  EXPECT_TRUE(logged("Opening pxe config file - 'default' failed, fileName=" + missing));
}

class MemTestFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ensureDirectory(source / "mem"));
    for (const char* module : kMemTestModules) writeFile(source / (std::string("mem/") + module), module);
    ASSERT_EQ(xelotest::listFiles(source / "mem").size(), 3u);
  }
  xelotest::TempDir source{"xelo-zad"};
  xelotest::TempDir dest{"xelo-boot"};
};

TEST_F(MemTestFiles, CopiedIntoTheDestinationAndRemovedFromTheSource) {
  EXPECT_EQ(copyMemTestFiles(dest.path(), source.path(), false), 0);
  for (const char* module : kMemTestModules) {
    EXPECT_EQ(readFile(dest / module), module);
    EXPECT_TRUE(xelotest::exists(source / (std::string("mem/") + module)));
  }

  EXPECT_EQ(copyMemTestFiles(dest.path(), source.path(), true), 0);
  EXPECT_TRUE(xelotest::listFiles(source / "mem").empty());
  EXPECT_EQ(xelotest::listFiles(dest.path()).size(), 3u);
}

TEST_F(MemTestFiles, MissingModuleIsReported) {
  deleteFile(source / "mem/summit.c32");
  EXPECT_EQ(copyMemTestFiles(dest.path(), source.path(), false), -1);
  EXPECT_TRUE(logged("The standalone memory test binary files needed to make your media bootable could not be located in " +
                     (source / "mem")));
}

TEST_F(MemTestFiles, FailedCopyIsACodeAndNeverAFileNamedLikeTheDirectory) {
  const std::string missingDir = dest / "boot";
  const int code = copyMemTestFiles(missingDir, source.path(), false);
  // The free space of a directory that does not exist cannot be read.
  EXPECT_EQ(code, 101);
  EXPECT_FALSE(xelotest::exists(missingDir));
  EXPECT_TRUE(logged("BootableMedia::copyFiles. system(cmd) error copy /Y \""));
}

TEST(BootConfig, SerialConsoleArguments) {
  EXPECT_TRUE(hasSerialConsole("console=TTYS0,19200"));
  EXPECT_FALSE(hasSerialConsole("console=tty1 quiet"));

  // The help example in lower case passes and is stored with "ttyS".
  std::string args = "console=ttys0,19200 console=tty1";
  EXPECT_TRUE(isValidSolConsole(args));
  EXPECT_EQ(args, "console=ttys0,19200 console=tty1");  // the check alone changes nothing
  normalizeSerialConsole(args);
  EXPECT_EQ(args, "console=ttyS0,19200 console=tty1");

  EXPECT_TRUE(isValidSolConsole("quiet"));
  EXPECT_FALSE(isValidSolConsole("console=ttys2,19200 console=tty1"));
  EXPECT_FALSE(isValidSolConsole("console=ttys0,14400 console=tty1"));
  // A capital S is checked too: an unsupported rate never reaches a medium.
  EXPECT_TRUE(isValidSolConsole("console=ttyS1,115200 console=tty1"));
  EXPECT_FALSE(isValidSolConsole("console=ttyS0,14400 console=tty1"));

  std::string two = "console=TtYs1,9600 console=tty1 console=ttys0";
  normalizeSerialConsole(two);
  EXPECT_EQ(two, "console=ttyS1,9600 console=tty1 console=ttys0");
}
